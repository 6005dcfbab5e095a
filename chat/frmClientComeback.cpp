// What a window shows of a lost call: that it is lost, when it is dialled again (with
// "Reconnect now" and "Stop"), and the lines that wait for it, which may be deleted.
#include "CallTexts.h"
#include "frmClient.h"
#include "platform/Address.h"
#include "settings/Settings.h"

#include <QMenu>

void frmClient::ConnectComeback() {
    connect(call_, &Call::LineConfirmed, this, [this](qint64 id, bool ok) {
        MarkLine(id, ok ? ChatLog::Confirmed : ChatLog::Refused);
    });
    connect(call_, &Call::LineLate, this, [this](qint64 id) { MarkLine(id, ChatLog::Late); });
    connect(call_, &Call::LineSentAgain, this,
            [this](qint64 id, std::int32_t, std::int32_t) { MarkLine(id, ChatLog::Waiting); });
    connect(call_, &Call::Kept, this, &frmClient::ShowKept);
    connect(call_, &Call::ConnectionLost, this, [this](const QString& nickname) {
        ShowStatus(QStringLiteral(" Connection to ") + nickname + QStringLiteral(" lost"));
        ShowSecurity();
    });
    connect(call_, &Call::RedialScheduled, this, &frmClient::ShowRedial);
    connect(call_, &Call::CameBack, this, [this] {
        ShowRedial(-1);
        ShowStatus(QStringLiteral(" Connection to ") + call_->Nickname() +
                   QStringLiteral(" is back"));
    });
    // Once per window: the buttons and the log outlive the calls shown in them.
    if (cmdReconnect->property("wired").toBool()) {
        return;
    }
    cmdReconnect->setProperty("wired", true);
    connect(cmdReconnect, &QPushButton::clicked, this, [this] {
        if (call_ != nullptr) {
            call_->ReconnectNow();
        }
    });
    connect(cmdStopCalling, &QPushButton::clicked, this, [this] {
        if (call_ != nullptr) {
            call_->StopReconnecting();
        }
    });
    txtLog->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(txtLog, &QWidget::customContextMenuRequested, this, &frmClient::ShowLogMenu);
}

void frmClient::WriteTo(const QByteArray& key, const QString& name, const QString& address) {
    const auto where = platform::ParseAddress(address, Settings.Port);
    cmbIP->setEditText(address);
    awaiting_ = name;
    call_->Await(key, where ? where->host : QString(), where ? where->port : 0);
    LogInfo(name + QStringLiteral(" is away: what you type waits, and goes when ") + name +
            QStringLiteral(" is here"));
    ShowStatus(QStringLiteral(" Waiting for ") + name);
    txtSend->setFocus();
}

void frmClient::ShowRedial(qint64 inMs) {
    const bool dialling = inMs >= 0;
    cmdReconnect->setVisible(dialling);
    cmdStopCalling->setVisible(dialling);
    if (call_ == nullptr || !call_->Down()) {
        return;
    }
    const QString who = call_->Nickname().isEmpty() ? awaiting_ : call_->Nickname();
    const QString lost = QStringLiteral(" Connection to ") + who + QStringLiteral(" lost");
    ShowStatus(dialling ? lost + QStringLiteral(": calling again in %1 s").arg((inMs + 999) / 1000)
                        : lost);
}

void frmClient::ShowKept(qint64 id, const QString& text) {
    // A line typed before the program last ended, still waiting for this peer.
    log_.Log(Settings.Nickname + QStringLiteral("> ") + PeerLine(text));
    marks_.append({id, txtLog->MarkLastLine(ChatLog::Queued), text});
}

void frmClient::MarkLine(qint64 id, ChatLog::Mark mark) {
    for (qsizetype k = 0; k < marks_.size(); ++k) {
        Marked& marked = marks_[k];
        if (marked.id != id) {
            continue;
        }
        txtLog->SetMark(marked.block, mark);
        if (mark == ChatLog::Confirmed) {
            ClearSent(marked.text);
        }
        if (mark == ChatLog::Confirmed || mark == ChatLog::Refused || mark == ChatLog::NotSent) {
            marks_.removeAt(k);
        }
        return;
    }
}

void frmClient::ShowLogMenu(const QPoint& at) {
    const QTextBlock block = txtLog->cursorForPosition(at).block();
    const auto marked = std::find_if(marks_.begin(), marks_.end(), [&block](const Marked& m) {
        return m.block == block && m.block.userState() == ChatLog::Queued;
    });
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("mnuLog"));
    QAction* remove = menu.addAction(QStringLiteral("Delete waiting line"));
    remove->setObjectName(QStringLiteral("mnuDeleteWaiting"));
    remove->setEnabled(marked != marks_.end());
    QAction* copy = menu.addAction(QStringLiteral("Copy"));
    copy->setEnabled(txtLog->textCursor().hasSelection());
    connect(copy, &QAction::triggered, txtLog, &QPlainTextEdit::copy);
    if (menu.exec(txtLog->viewport()->mapToGlobal(at)) == remove && call_ != nullptr &&
        call_->DeleteWaiting(marked->id)) {
        MarkLine(marked->id, ChatLog::NotSent);
    }
}
