#include "Notifications.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>

#include <QVariantMap>
#include <functional>

namespace platform {

namespace {

const QString kPath = QStringLiteral("/org/freedesktop/Notifications");

} // namespace

DesktopNotifier::DesktopNotifier(QObject* parent) : QObject(parent) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.connect(kService, kPath, kService, QStringLiteral("ActionInvoked"), this,
                SLOT(OnAction(uint, QString)));
    bus.connect(kService, kPath, kService, QStringLiteral("NotificationClosed"), this,
                SLOT(OnClosed(uint, uint)));
    if (!bus.isConnected()) {
        return; // no session bus: nothing to show notifications with
    }
    // Until the bus has answered, a service is assumed: a Notify to none fails quietly.
    available_ = true;
    auto* watcher = new QDBusServiceWatcher(kService, bus,
                                            QDBusServiceWatcher::WatchForRegistration |
                                                QDBusServiceWatcher::WatchForUnregistration,
                                            this);
    connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, [this] {
        registered_ = true;
        available_ = true;
    });
    connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this, [this] {
        registered_ = false;
        available_ = activatable_;
    });
    const auto ask = [this, &bus](const QString& method, const QVariant& argument,
                                  const std::function<void(const QDBusMessage&)>& answered) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), method);
        if (argument.isValid()) {
            call << argument;
        }
        auto* pending = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
        connect(pending, &QDBusPendingCallWatcher::finished, this,
                [answered](QDBusPendingCallWatcher* w) {
                    w->deleteLater();
                    answered(w->reply());
                });
    };
    ask(QStringLiteral("NameHasOwner"), kService, [this](const QDBusMessage& reply) {
        registered_ = registered_ || reply.arguments().value(0).toBool();
        available_ = registered_ || activatable_;
    });
    ask(QStringLiteral("ListActivatableNames"), {}, [this](const QDBusMessage& reply) {
        activatable_ = reply.arguments().value(0).toStringList().contains(kService);
        available_ = registered_ || activatable_;
    });
}

QString DesktopNotifier::SafeBody(const QString& text) {
    QString line = text.left(kMaxBody + 1);
    for (QChar& c : line) {
        if (c.category() == QChar::Other_Control) {
            c = QLatin1Char(c == QLatin1Char('\n') ? ' ' : '?');
        }
    }
    if (line.size() > kMaxBody) {
        line = line.left(kMaxBody - 1);
        if (line.back().isHighSurrogate()) {
            line.chop(1); // never half a character
        }
        line += QChar(0x2026); // an ellipsis
    }
    return line.toHtmlEscaped();
}

void DesktopNotifier::Show(quintptr key, const QString& summary, const QString& body) {
    Entry& e = entries_[key];
    e.closing = false;
    e.summary = summary.left(kMaxBody).toHtmlEscaped();
    e.body = SafeBody(body);
    if (e.waiting) {
        e.again = true; // sent once the first one's id is known, so it replaces it
        return;
    }
    Send(key);
}

void DesktopNotifier::Send(quintptr key) {
    Entry& e = entries_[key];
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("category"), QStringLiteral("im.received"));
    hints.insert(QStringLiteral("desktop-entry"),
                 QStringLiteral("org.example.palaver_chat.Palaver"));
    call << QStringLiteral("Palaver") << e.id << QStringLiteral("palaver") << e.summary << e.body
         << QStringList{QStringLiteral("default"), QStringLiteral("Open"), QStringLiteral("open"),
                        QStringLiteral("Open")}
         << hints << -1;
    e.waiting = true;
    e.again = false;
    auto* watcher =
        new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, key](QDBusPendingCallWatcher* w) {
                w->deleteLater();
                const QDBusPendingReply<uint> reply = *w;
                const auto it = entries_.find(key);
                if (it == entries_.end()) {
                    return;
                }
                it->waiting = false;
                if (!reply.isError()) {
                    it->id = reply.value();
                }
                if (it->closing) {
                    // Seen before the desktop said which notification it was: close it now.
                    Close(key);
                    return;
                }
                if (it->again) {
                    Send(key);
                }
            });
}

void DesktopNotifier::Close(quintptr key) {
    const auto it = entries_.find(key);
    if (it == entries_.end()) {
        return;
    }
    if (it->id != 0) {
        QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kService,
                                                           QStringLiteral("CloseNotification"));
        call << it->id;
        QDBusConnection::sessionBus().asyncCall(call);
    }
    if (it->waiting) {
        it->closing = true;
        it->again = false;
        return;
    }
    entries_.erase(it);
}

void DesktopNotifier::OnAction(uint id, const QString& action) {
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->id == id && id != 0 &&
            (action == QLatin1String("open") || action == QLatin1String("default"))) {
            emit Activated(it.key());
            return;
        }
    }
}

void DesktopNotifier::OnClosed(uint id, uint /*reason*/) {
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->id == id && !it->waiting) {
            entries_.erase(it);
            return;
        }
    }
}

} // namespace platform
