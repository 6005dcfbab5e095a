#include "HistoryWindow.h"
#include "platform/OpenWindow.h"

#include "platform/MessageBox.h"

#include <QCheckBox>
#include <QDateEdit>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QSplitter>
#include <QTextBrowser>
#include <QVBoxLayout>

namespace {

QString Stamp(const QDateTime& at) {
    return at.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString Who(const HistoryStore::Line& line) {
    return line.outgoing ? QStringLiteral("me") : line.peer;
}

QString AckNote(const HistoryStore::Line& line) {
    if (!line.outgoing) {
        return {};
    }
    return line.ack == 1   ? QStringLiteral(" (CRC OK)")
           : line.ack == 0 ? QStringLiteral(" (CRC BAD)")
                           : QStringLiteral(" (no answer)");
}

} // namespace

frmHistory* frmHistory::Instance() {
    return platform::OpenWindow<frmHistory>();
}

frmHistory* frmHistory::ShowFor(HistoryStore* store, QWidget* near) {
    frmHistory* window = Instance();
    if (window == nullptr) {
        window = new frmHistory(store); // deletes itself on close
        if (near != nullptr) {
            window->move(near->frameGeometry().topLeft() + QPoint(30, 30));
        }
    }
    window->Refresh();
    window->show();
    window->raise();
    window->activateWindow();
    window->txtSearch->setFocus();
    return window;
}

frmHistory::frmHistory(HistoryStore* store) : QWidget(nullptr, Qt::Window), store_(store) {
    chooser_ = [](QWidget* parent, const QString& suggested) {
        return QFileDialog::getSaveFileName(parent, QStringLiteral("Export"), suggested,
                                            QStringLiteral("Text (*.txt);;HTML (*.html)"));
    };
    setObjectName(QStringLiteral("frmHistory"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("History"));
    resize(720, 480);

    auto* searchLabel = new QLabel(QStringLiteral("&Search:"), this);
    txtSearch = new QLineEdit(this);
    txtSearch->setObjectName(QStringLiteral("txtSearch"));
    txtSearch->setAccessibleName(QStringLiteral("Search the history"));
    txtSearch->setClearButtonEnabled(true);
    searchLabel->setBuddy(txtSearch);

    chkDates = new QCheckBox(QStringLiteral("Only &from"), this);
    chkDates->setObjectName(QStringLiteral("chkDates"));
    dtpFrom = new QDateEdit(QDate::currentDate().addMonths(-1), this);
    dtpFrom->setObjectName(QStringLiteral("dtpFrom"));
    dtpFrom->setAccessibleName(QStringLiteral("From date"));
    dtpTo = new QDateEdit(QDate::currentDate(), this);
    dtpTo->setObjectName(QStringLiteral("dtpTo"));
    dtpTo->setAccessibleName(QStringLiteral("To date"));
    for (QDateEdit* d : {dtpFrom, dtpTo}) {
        d->setCalendarPopup(true);
        d->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
        d->setEnabled(false);
    }

    lstConversations = new QListWidget(this);
    lstConversations->setObjectName(QStringLiteral("lstConversations"));
    lstConversations->setAccessibleName(QStringLiteral("Conversations"));
    txtLines = new QTextBrowser(this);
    txtLines->setObjectName(QStringLiteral("txtLines"));
    txtLines->setAccessibleName(QStringLiteral("Lines"));
    auto* split = new QSplitter(this);
    split->addWidget(lstConversations);
    split->addWidget(txtLines);
    split->setStretchFactor(1, 3);

    chkKeep = new QCheckBox(QStringLiteral("&Keep conversations"), this);
    chkKeep->setObjectName(QStringLiteral("chkKeep"));
    chkKeep->setChecked(store_ != nullptr && store_->Keep());
    cmdForget = new QPushButton(QStringLiteral("F&orget..."), this);
    cmdForget->setObjectName(QStringLiteral("cmdForget"));
    cmdForget->setToolTip(QStringLiteral("Forget the selected peer's conversations, or all"));
    cmdExport = new QPushButton(QStringLiteral("&Export..."), this);
    cmdExport->setObjectName(QStringLiteral("cmdExport"));
    cmdExport->setToolTip(QStringLiteral("Save what is shown as text or HTML"));
    auto* cmdClose = new QPushButton(QStringLiteral("Close"), this);
    cmdClose->setObjectName(QStringLiteral("cmdClose"));

    auto* top = new QHBoxLayout;
    top->addWidget(searchLabel);
    top->addWidget(txtSearch, 1);
    top->addWidget(chkDates);
    top->addWidget(dtpFrom);
    top->addWidget(new QLabel(QStringLiteral("to"), this));
    top->addWidget(dtpTo);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(chkKeep);
    bottom->addStretch(1);
    bottom->addWidget(cmdForget);
    bottom->addWidget(cmdExport);
    bottom->addWidget(cmdClose);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(split, 1);
    layout->addLayout(bottom);
    QWidget::setTabOrder(txtSearch, chkDates);
    QWidget::setTabOrder(chkDates, dtpFrom);
    QWidget::setTabOrder(dtpFrom, dtpTo);
    QWidget::setTabOrder(dtpTo, lstConversations);
    QWidget::setTabOrder(lstConversations, txtLines);
    QWidget::setTabOrder(txtLines, chkKeep);

    connect(txtSearch, &QLineEdit::textChanged, this, &frmHistory::ShowSearch);
    connect(chkDates, &QCheckBox::toggled, this, [this](bool on) {
        dtpFrom->setEnabled(on);
        dtpTo->setEnabled(on);
        Refresh();
    });
    connect(dtpFrom, &QDateEdit::dateChanged, this, &frmHistory::Refresh);
    connect(dtpTo, &QDateEdit::dateChanged, this, &frmHistory::Refresh);
    connect(lstConversations, &QListWidget::currentRowChanged, this, &frmHistory::ShowConversation);
    connect(chkKeep, &QCheckBox::toggled, this, [this](bool on) {
        if (store_ != nullptr) {
            store_->SetKeep(on);
        }
    });
    connect(cmdForget, &QPushButton::clicked, this, &frmHistory::Forget);
    connect(cmdExport, &QPushButton::clicked, this, &frmHistory::Export);
    connect(cmdClose, &QPushButton::clicked, this, &QWidget::close);
}

QDate frmHistory::From() const {
    return chkDates->isChecked() ? dtpFrom->date() : QDate();
}

QDate frmHistory::To() const {
    return chkDates->isChecked() ? dtpTo->date() : QDate();
}

void frmHistory::Refresh() {
    const QSignalBlocker quiet(lstConversations);
    lstConversations->clear();
    if (store_ == nullptr) {
        return;
    }
    store_->Flush();
    for (const HistoryStore::Conversation& c : store_->Conversations(From(), To())) {
        auto* item = new QListWidgetItem((c.peer.isEmpty() ? QStringLiteral("(nobody)") : c.peer) +
                                             QStringLiteral("  ") + Stamp(c.started) +
                                             QStringLiteral("  (%1)").arg(c.lines),
                                         lstConversations);
        item->setData(Qt::UserRole, c.id);
        item->setData(Qt::UserRole + 1, c.peer);
        item->setData(Qt::UserRole + 2, c.peerKey);
        if (!c.conference) {
            item->setToolTip(c.secure ? QStringLiteral("Secure call, key ") + c.peerKey
                                      : QStringLiteral("Not encrypted"));
        }
    }
    if (txtSearch->text().trimmed().isEmpty()) {
        lstConversations->setCurrentRow(lstConversations->count() > 0 ? 0 : -1);
        ShowConversation();
    } else {
        ShowSearch();
    }
}

void frmHistory::ShowKey(const QString& keyHex) {
    txtSearch->clear();
    Refresh();
    for (int row = 0; row < lstConversations->count(); ++row) {
        if (lstConversations->item(row)->data(Qt::UserRole + 2).toString() == keyHex) {
            lstConversations->setCurrentRow(row);
            ShowConversation();
            lstConversations->setFocus();
            return;
        }
    }
}

void frmHistory::ShowConversation() {
    const QListWidgetItem* item = lstConversations->currentItem();
    shown_ = item != nullptr && store_ != nullptr
                 ? store_->Lines(item->data(Qt::UserRole).toLongLong())
                 : QList<HistoryStore::Line>{};
    txtLines->setHtml(Render(shown_, true));
}

void frmHistory::ShowSearch() {
    const QString text = txtSearch->text();
    if (text.trimmed().isEmpty()) {
        ShowConversation();
        return;
    }
    if (store_ == nullptr) {
        return;
    }
    store_->Flush();
    shown_ = store_->Search(text, From(), To());
    txtLines->setHtml(
        Render(shown_, true,
               text.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts)
                   .mid(0, HistoryStore::kMaxTerms)));
}

QString frmHistory::Render(const QList<HistoryStore::Line>& lines, bool html,
                           const QStringList& marks) {
    // The terms searched for, marked in the lines' text (matched as plain text).
    QStringList escaped;
    for (const QString& m : marks) {
        escaped << QRegularExpression::escape(m);
    }
    const QRegularExpression found(escaped.join(QLatin1Char('|')),
                                   QRegularExpression::CaseInsensitiveOption);
    const auto marked = [&](const QString& text) {
        if (escaped.isEmpty()) {
            return text.toHtmlEscaped();
        }
        QString out;
        qsizetype at = 0;
        for (auto it = found.globalMatch(text); it.hasNext();) {
            const QRegularExpressionMatch m = it.next();
            if (m.capturedLength() == 0) {
                continue;
            }
            out += text.mid(at, m.capturedStart() - at).toHtmlEscaped() +
                   QStringLiteral("<b style=\"background:#ffe066\">") +
                   m.captured().toHtmlEscaped() + QStringLiteral("</b>");
            at = m.capturedEnd();
        }
        return out + text.mid(at).toHtmlEscaped();
    };
    QString out;
    if (html) {
        out += QStringLiteral("<html><head><meta charset=\"utf-8\"><title>Palaver history"
                              "</title></head><body>\n");
    }
    for (const HistoryStore::Line& l : lines) {
        const QString head = QStringLiteral("[") + Stamp(l.at) + QStringLiteral("] ") + Who(l) +
                             (l.outgoing ? QStringLiteral("> ") : QStringLiteral(": "));
        if (html) {
            out += QStringLiteral("<p><span>") + head.toHtmlEscaped() +
                   QStringLiteral("</span><span>") +
                   marked(l.text).replace(QLatin1Char('\n'), QStringLiteral("<br>")) +
                   QStringLiteral("</span><i>") + AckNote(l).toHtmlEscaped() +
                   QStringLiteral("</i></p>\n");
        } else {
            out += head + l.text + AckNote(l) + QLatin1Char('\n');
        }
    }
    if (html) {
        out += QStringLiteral("</body></html>\n");
    }
    return out;
}

void frmHistory::Export() {
    const QString path = chooser_(this, QStringLiteral("palaver-history.txt"));
    if (path.isEmpty()) {
        return;
    }
    QFile file(path);
    const bool html = path.endsWith(QLatin1String(".html"), Qt::CaseInsensitive) ||
                      path.endsWith(QLatin1String(".htm"), Qt::CaseInsensitive);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(Render(shown_, html).toUtf8()) < 0) {
        platform::MessageRequest box;
        box.parent = this;
        box.text = QStringLiteral("Could not export to ") + path + QStringLiteral(": ") +
                   file.errorString();
        box.icon = platform::MsgIcon::Exclamation;
        platform::ShowMessage(box);
    }
}

void frmHistory::Forget() {
    if (store_ == nullptr) {
        return;
    }
    const QListWidgetItem* item = lstConversations->currentItem();
    const QString peer = item != nullptr ? item->data(Qt::UserRole + 1).toString() : QString();
    platform::MessageRequest box;
    box.parent = this;
    box.text = peer.isEmpty()
                   ? QStringLiteral("Forget all conversations?")
                   : QStringLiteral("Forget every conversation with ") + peer + QStringLiteral("?");
    box.icon = platform::MsgIcon::Question;
    box.buttons = platform::MsgButtons::YesNo;
    if (platform::ShowMessage(box) != platform::MsgResult::Yes) {
        return;
    }
    store_->Forget(peer);
    Refresh();
}

void frmHistory::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}
