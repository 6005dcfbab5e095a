#include "Announcer.h"

#include "Version.h"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QRandomGenerator>

namespace {

const QString kGroup = QStringLiteral("org.freedesktop.Avahi.EntryGroup");
// What one service name and one TXT string may hold (DNS labels and strings).
constexpr qsizetype kMaxName = 63;
constexpr qsizetype kMaxTxt = 255;

QByteArray CutUtf8(const QString& text, qsizetype bytes) {
    QByteArray out = text.toUtf8();
    if (out.size() <= bytes) {
        return out;
    }
    out.truncate(bytes);
    // Never half a character.
    while (!out.isEmpty() && (static_cast<quint8>(out.back()) & 0xC0) == 0x80) {
        out.chop(1);
    }
    if (!out.isEmpty() && static_cast<quint8>(out.back()) >= 0xC0) {
        out.chop(1);
    }
    return out;
}

} // namespace

Announcer::Announcer(const QDBusConnection& bus, QObject* parent)
    : QObject(parent), bus_(bus),
      watcher_(kService, bus, QDBusServiceWatcher::WatchForOwnerChange) {
    qDBusRegisterMetaType<QList<QByteArray>>(); // the TXT record travels as "aay"
    id_ = QString::number(QRandomGenerator::system()->generate64(), 16);
    // A daemon that comes back has forgotten what was published: publish again.
    connect(&watcher_, &QDBusServiceWatcher::serviceRegistered, this, [this] {
        group_.clear();
        toldUnavailable_ = false;
        Publish();
    });
    connect(&watcher_, &QDBusServiceWatcher::serviceUnregistered, this, [this] {
        group_.clear();
        if (!published_.isEmpty()) {
            published_.clear();
            emit Changed();
        }
    });
}

Announcer::~Announcer() {
    Withdraw();
}

QList<QByteArray> Announcer::Txt(const Wanted& wanted) const {
    QList<QByteArray> txt{
        CutUtf8(QStringLiteral("nick=") + wanted.nickname, kMaxTxt),
        QByteArrayLiteral("id=") + id_.toLatin1(),
        QByteArrayLiteral("version=") + QByteArray::number(PALAVER_VERSION_MAJOR) + '.' +
            QByteArray::number(PALAVER_VERSION_MINOR) + '.' +
            QByteArray::number(PALAVER_VERSION_PATCH),
    };
    if (!wanted.fingerprint.isEmpty()) {
        txt << QByteArrayLiteral("fp=") + wanted.fingerprint.toHex();
    }
    return txt;
}

void Announcer::Set(const Wanted& wanted) {
    const bool same = wanted.on == wanted_.on && wanted.port == wanted_.port &&
                      wanted.nickname == wanted_.nickname &&
                      wanted.fingerprint == wanted_.fingerprint;
    if (same) {
        return;
    }
    const bool renamed = wanted.nickname != wanted_.nickname;
    wanted_ = wanted;
    if (renamed || name_.isEmpty()) {
        name_ = QString::fromUtf8(
            CutUtf8((wanted.nickname.isEmpty() ? QStringLiteral("Palaver") : wanted.nickname) +
                        QStringLiteral(" (Palaver)"),
                    kMaxName));
    }
    if (wanted_.on) {
        Publish();
    } else {
        Withdraw();
    }
}

void Announcer::Publish() {
    if (!wanted_.on) {
        return;
    }
    const quint64 attempt = ++generation_;
    const auto addAndCommit = [this] {
        QDBusMessage add =
            QDBusMessage::createMethodCall(kService, group_, kGroup, QStringLiteral("AddService"));
        add << -1 << -1 << 0U << name_ << kType << QString() << QString()
            << QVariant::fromValue(static_cast<quint16>(wanted_.port)) // "q", not "i"
            << QVariant::fromValue(Txt(wanted_));
        auto* added = new QDBusPendingCallWatcher(bus_.asyncCall(add), this);
        connect(added, &QDBusPendingCallWatcher::finished, this,
                [this](QDBusPendingCallWatcher* w) {
                    w->deleteLater();
                    if (w->isError()) {
                        Fail(w->error().message());
                    }
                });
        auto* watch =
            new QDBusPendingCallWatcher(bus_.asyncCall(QDBusMessage::createMethodCall(
                                            kService, group_, kGroup, QStringLiteral("Commit"))),
                                        this);
        connect(watch, &QDBusPendingCallWatcher::finished, this,
                [this](QDBusPendingCallWatcher* w) {
                    w->deleteLater();
                    if (w->isError()) {
                        Fail(w->error().message());
                    }
                });
    };
    if (!group_.isEmpty()) {
        // Changed while published: the same group is emptied and filled again.
        bus_.asyncCall(
            QDBusMessage::createMethodCall(kService, group_, kGroup, QStringLiteral("Reset")));
        addAndCommit();
        return;
    }
    auto* watch = new QDBusPendingCallWatcher(
        bus_.asyncCall(QDBusMessage::createMethodCall(
            kService, QStringLiteral("/"), Announcer::kServer, QStringLiteral("EntryGroupNew"))),
        this);
    connect(watch, &QDBusPendingCallWatcher::finished, this,
            [this, attempt, addAndCommit](QDBusPendingCallWatcher* w) {
                w->deleteLater();
                const QDBusPendingReply<QDBusObjectPath> reply = *w;
                if (reply.isError()) {
                    Fail(reply.error().message());
                    return;
                }
                const QString path = reply.value().path();
                if (attempt != generation_ || !wanted_.on) {
                    // Withdrawn meanwhile: the new group goes at once.
                    bus_.asyncCall(QDBusMessage::createMethodCall(kService, path, kGroup,
                                                                  QStringLiteral("Free")));
                    return;
                }
                group_ = path;
                bus_.connect(kService, group_, kGroup, QStringLiteral("StateChanged"), this,
                             SLOT(OnGroupState(int, QString)));
                addAndCommit();
            });
}

void Announcer::Withdraw() {
    ++generation_;
    if (!group_.isEmpty()) {
        bus_.disconnect(kService, group_, kGroup, QStringLiteral("StateChanged"), this,
                        SLOT(OnGroupState(int, QString)));
        bus_.asyncCall(
            QDBusMessage::createMethodCall(kService, group_, kGroup, QStringLiteral("Free")));
        group_.clear();
    }
    if (!published_.isEmpty()) {
        published_.clear();
        emit Changed();
    }
}

void Announcer::OnGroupState(int state, const QString& error) {
    enum { Established = 2, Collision = 3, Failure = 4 };
    if (state == Established) {
        published_ = name_;
        emit Changed();
    } else if (state == Collision) {
        // Another service has the name: Avahi's alternative ("Ann (Palaver) #2") is taken.
        QDBusMessage ask =
            QDBusMessage::createMethodCall(kService, QStringLiteral("/"), Announcer::kServer,
                                           QStringLiteral("GetAlternativeServiceName"));
        ask << name_;
        auto* watch = new QDBusPendingCallWatcher(bus_.asyncCall(ask), this);
        connect(watch, &QDBusPendingCallWatcher::finished, this,
                [this](QDBusPendingCallWatcher* w) {
                    w->deleteLater();
                    const QDBusPendingReply<QString> reply = *w;
                    if (reply.isError() || reply.value().isEmpty() || reply.value() == name_) {
                        Fail(QStringLiteral("no other name for the service"));
                        return;
                    }
                    name_ = QString::fromUtf8(CutUtf8(reply.value(), kMaxName));
                    Publish();
                });
    } else if (state == Failure) {
        Fail(error);
    }
}

void Announcer::Fail(const QString& why) {
    // Said once; tried again only when the daemon comes back or what is wanted changes.
    if (!toldUnavailable_) {
        toldUnavailable_ = true;
        emit Unavailable(QStringLiteral("This copy cannot be shown on the local network (no "
                                        "mDNS service): ") +
                         why.left(200));
    }
}
