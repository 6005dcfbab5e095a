#include "PeoplePanel.h"

#include "call/Security.h"
#include "platform/MessageBox.h"

#include <QApplication>
#include <QDateTime>
#include <QHeaderView>
#include <QHostAddress>
#include <QKeyEvent>
#include <QMainWindow>
#include <QMenu>
#include <QPainter>
#include <QTreeWidget>

namespace {

enum Role { Kind = Qt::UserRole, Key, Address };
enum KindOf { IsContact, IsStranger };

// A dot as the list shows it: filled green for here, a grey ring for away.
QIcon Dot(bool here) {
    QPixmap pixmap(12, 12);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    if (here) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0x2e, 0x9e, 0x44));
    } else {
        painter.setPen(QPen(QColor(0x80, 0x80, 0x80), 1.5));
        painter.setBrush(Qt::NoBrush);
    }
    painter.drawEllipse(QRectF(1.5, 1.5, 9, 9));
    return QIcon(pixmap);
}

QString Target(const Nearby::Entry& e) {
    const QHostAddress address(e.address);
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[") + e.address + QStringLiteral("]")
                             : e.address;
    return host + QStringLiteral(":") + QString::number(e.port);
}

} // namespace

PeoplePanel::PeoplePanel(QMainWindow* board, People& people, Nearby& nearby, Security& security,
                         Actions actions)
    : QDockWidget(QStringLiteral("People"), board), people_(people), nearby_(nearby),
      security_(security), actions_(std::move(actions)), list_(new QTreeWidget(this)) {
    setObjectName(QStringLiteral("dockPeople"));
    setFeatures(QDockWidget::DockWidgetMovable | QDockWidget::DockWidgetFloatable);
    list_->setObjectName(QStringLiteral("lstPeople"));
    list_->setAccessibleName(QStringLiteral("People"));
    list_->setToolTip(QStringLiteral("Enter or a double-click calls; the menu key shows more"));
    list_->setColumnCount(2);
    list_->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Status")});
    list_->setRootIsDecorated(false);
    list_->setUniformRowHeights(true);
    // A double-click calls: a name is changed with F2 or the menu.
    list_->setEditTriggers(QAbstractItemView::EditKeyPressed);
    list_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    list_->header()->setStretchLastSection(false);
    list_->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    list_->setMinimumWidth(list_->fontMetrics().horizontalAdvance(QLatin1Char('x')) * 36);
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    list_->installEventFilter(this);
    setWidget(list_);
    board->addDockWidget(Qt::RightDockWidgetArea, this);
    hide();
    connect(&people_, &People::Changed, this, &PeoplePanel::Refresh);
    connect(&nearby_, &Nearby::Changed, this, &PeoplePanel::Refresh);
    connect(list_, &QTreeWidget::itemActivated, this,
            [this](QTreeWidgetItem* item) { Activated(item); });
    connect(list_, &QWidget::customContextMenuRequested, this, &PeoplePanel::ShowMenu);
    connect(list_, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* item, int column) {
        if (!refreshing_ && column == 0 && item->data(0, Kind).toInt() == IsContact) {
            people_.Rename(item->data(0, Key).toByteArray(), item->text(0));
        }
    });
    // Absent contacts are checked only while someone looks at the list.
    connect(this, &QDockWidget::visibilityChanged, this,
            [this](bool visible) { people_.SetWatching(visible); });
    Refresh();
}

bool PeoplePanel::eventFilter(QObject* watched, QEvent* event) {
    if (watched == list_ && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_F10 && key->modifiers() == Qt::ShiftModifier) {
            ShowMenu({-1, -1});
            return true;
        }
    }
    return QDockWidget::eventFilter(watched, event);
}

QString PeoplePanel::LastSeen(qint64 seenMs, qint64 nowMs) {
    if (seenMs <= 0) {
        return QStringLiteral("away");
    }
    const QDateTime seen = QDateTime::fromMSecsSinceEpoch(seenMs);
    const QDate today = QDateTime::fromMSecsSinceEpoch(nowMs).date();
    if (seen.date() == today) {
        return QStringLiteral("last seen ") + seen.toString(QStringLiteral("HH:mm"));
    }
    if (seen.date() == today.addDays(-1)) {
        return QStringLiteral("last seen yesterday");
    }
    return QStringLiteral("last seen ") + seen.toString(QStringLiteral("d MMM yyyy"));
}

void PeoplePanel::Refresh() {
    const QWidget* focus = QApplication::focusWidget();
    if (focus != nullptr && focus != list_ && list_->isAncestorOf(focus)) {
        return; // a name being typed is not swept away; the edit's end refreshes
    }
    // The place in the list is kept: presence changes under a keyboard user's cursor.
    const QTreeWidgetItem* current = list_->currentItem();
    const QVariant currentKey = current != nullptr ? current->data(0, Key) : QVariant();
    const QVariant currentAddress = current != nullptr ? current->data(0, Address) : QVariant();
    refreshing_ = true;
    list_->clear();
    QTreeWidgetItem* again = nullptr;
    QList<QByteArray> contacts;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (const People::Person& p : people_.List()) {
        contacts << p.contact.key;
        const bool here = p.presence != People::Presence::Away;
        QStringList words{here ? (p.presence == People::Presence::Call
                                      ? QStringLiteral("here, in a call")
                                      : QStringLiteral("here"))
                               : LastSeen(p.contact.lastSeen, now)};
        if (p.waiting > 0) {
            words << QStringLiteral("%1 waiting").arg(p.waiting);
        }
        if (p.verified) {
            words << QStringLiteral("verified");
        }
        auto* item = new QTreeWidgetItem(list_, {p.contact.name, words.join(QStringLiteral(", "))});
        item->setIcon(0, Dot(here));
        item->setFlags(item->flags() | Qt::ItemIsEditable);
        item->setData(0, Kind, IsContact);
        item->setData(0, Key, p.contact.key);
        // Screen readers hear the word the dot stands for.
        item->setData(0, Qt::AccessibleTextRole,
                      p.contact.name + QStringLiteral(", ") + words.join(QStringLiteral(", ")));
        item->setToolTip(0, platform::PlainToolTip(p.contact.addresses.join(QLatin1Char('\n'))));
        if (currentKey == item->data(0, Key)) {
            again = item;
        }
    }
    for (const Nearby::Entry& e : nearby_.Entries()) {
        // A stranger is anyone whose announced key is no contact's; a contact's copy shows
        // above, once its address answered with the key.
        if (!e.fingerprint.isEmpty() && contacts.contains(e.fingerprint)) {
            continue;
        }
        auto* item = new QTreeWidgetItem(
            list_, {e.nickname + QStringLiteral(" - ") + e.host +
                        (e.sharedId ? QStringLiteral(" (announced twice)") : QString()),
                    QStringLiteral("nearby")});
        item->setData(0, Kind, IsStranger);
        item->setData(0, Key, e.fingerprint);
        item->setData(0, Address, Target(e));
        item->setData(0, Qt::AccessibleTextRole,
                      e.nickname + QStringLiteral(", nearby, not a contact"));
        item->setToolTip(0, Target(e));
        if (currentKey.isNull() == false && currentAddress == item->data(0, Address)) {
            again = item;
        }
    }
    refreshing_ = false;
    if (again != nullptr) {
        list_->setCurrentItem(again);
    }
    setVisible(list_->topLevelItemCount() > 0);
}

void PeoplePanel::Activated(QTreeWidgetItem* item) {
    if (item == nullptr) {
        return;
    }
    const QByteArray key = item->data(0, Key).toByteArray();
    if (item->data(0, Kind).toInt() == IsContact) {
        actions_.reach(key);
    } else {
        actions_.place(item->data(0, Address).toString(), key);
    }
}

void PeoplePanel::ShowMenu(const QPoint& at) {
    QTreeWidgetItem* item = list_->itemAt(at);
    if (item == nullptr) {
        item = list_->currentItem();
    }
    if (item == nullptr) {
        return;
    }
    const bool contact = item->data(0, Kind).toInt() == IsContact;
    const QByteArray key = item->data(0, Key).toByteArray();
    const QString name = item->text(0);
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("mnuContact"));
    const auto add = [&menu](const QString& text, const char* objectName) {
        QAction* action = menu.addAction(text);
        action->setObjectName(QLatin1String(objectName));
        return action;
    };
    QAction* call = add(QStringLiteral("&Call"), "mnuCallContact");
    QAction* rename = add(QStringLiteral("&Rename"), "mnuRename");
    QAction* verify = add(QStringLiteral("&Verify..."), "mnuVerify");
    QAction* history = add(QStringLiteral("Show &history"), "mnuShowHistory");
    menu.addSeparator();
    QAction* forget = add(QStringLiteral("&Forget..."), "mnuForget");
    for (QAction* a : {rename, verify, history, forget}) {
        a->setEnabled(contact);
    }
    // Opened by the keyboard, the menu stands by the current row.
    const QPoint where =
        list_->itemAt(at) != nullptr ? at : list_->visualItemRect(item).bottomLeft();
    QAction* chosen = menu.exec(list_->viewport()->mapToGlobal(where));
    if (chosen == call) {
        Activated(item);
    } else if (chosen == rename) {
        list_->setCurrentItem(item);
        list_->editItem(item, 0);
    } else if (chosen == verify) {
        Verify(key, name);
    } else if (chosen == history) {
        actions_.showHistory(key);
    } else if (chosen == forget) {
        Forget(key, name);
    }
}

void PeoplePanel::Verify(const QByteArray& key, const QString& name) {
    platform::MessageRequest box;
    box.parent = this;
    box.title = QStringLiteral("Safety number");
    box.text = QStringLiteral("Safety number with ") + name + QStringLiteral(":\n\n") +
               Identity::SafetyNumber(security_.identity.Fingerprint(), key) +
               QStringLiteral("\n\nCompare it with the one ") + name +
               QStringLiteral(" sees, face to face or on the phone.");
    if (security_.keys.Verified(key)) {
        box.text += QStringLiteral("\n\nYou marked this key as verified.");
        platform::ShowMessage(box);
        return;
    }
    box.text += QStringLiteral("\n\nMark this key as verified?");
    box.icon = platform::MsgIcon::Question;
    box.buttons = platform::MsgButtons::YesNo;
    if (platform::ShowMessage(box) == platform::MsgResult::Yes) {
        security_.keys.SetVerified(key);
        Refresh();
    }
}

void PeoplePanel::Forget(const QByteArray& key, const QString& name) {
    platform::MessageRequest box;
    box.parent = this;
    box.title = QStringLiteral("Forget");
    box.icon = platform::MsgIcon::Question;
    box.buttons = platform::MsgButtons::YesNo;
    box.text = QStringLiteral("Forget ") + name +
               QStringLiteral("? The key, the addresses it answered at and the lines "
                              "waiting for ") +
               name + QStringLiteral(" are removed.");
    if (platform::ShowMessage(box) != platform::MsgResult::Yes) {
        return;
    }
    people_.Forget(key);
    box.title = QStringLiteral("History");
    box.text = QStringLiteral("Delete the conversations with ") + name +
               QStringLiteral(" from the history too?");
    if (platform::ShowMessage(box) == platform::MsgResult::Yes) {
        actions_.forgetHistory(key);
    }
}
