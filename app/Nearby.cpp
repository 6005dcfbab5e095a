#include "Nearby.h"

#include "Announcer.h"

#include "call/CallSession.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QHostAddress>
#include <QNetworkInterface>

namespace {

const QString kBrowser = QStringLiteral("org.freedesktop.Avahi.ServiceBrowser");

QString Source(int interface, int protocol, const QString& name) {
    return QStringLiteral("%1/%2/").arg(interface).arg(protocol) + name.left(100);
}

// A stranger's text, one line, made safe and short.
QString Shown(const QByteArray& bytes, qsizetype chars) {
    return PeerName(QString::fromUtf8(bytes.left(chars * 4)).left(chars));
}

} // namespace

Nearby::Nearby(const QDBusConnection& bus, QString ownId, QObject* parent)
    : QObject(parent), bus_(bus),
      watcher_(Announcer::kService, bus, QDBusServiceWatcher::WatchForOwnerChange),
      ownId_(std::move(ownId)) {
    qDBusRegisterMetaType<QList<QByteArray>>();
    connect(&watcher_, &QDBusServiceWatcher::serviceRegistered, this, [this] {
        toldUnavailable_ = false;
        Start();
    });
    connect(&watcher_, &QDBusServiceWatcher::serviceUnregistered, this, [this] {
        browser_.clear();
        if (!entries_.isEmpty()) {
            entries_.clear();
            emit Changed();
        }
    });
    // Subscribed before the browser exists, so that no announcement slips by; there is one
    // browser per program.
    bus_.connect(Announcer::kService, QString(), kBrowser, QStringLiteral("ItemNew"), this,
                 SLOT(OnItemNew(int, int, QString, QString, QString, uint)));
    bus_.connect(Announcer::kService, QString(), kBrowser, QStringLiteral("ItemRemove"), this,
                 SLOT(OnItemRemove(int, int, QString, QString, QString, uint)));
}

void Nearby::Start() {
    QDBusMessage call =
        QDBusMessage::createMethodCall(Announcer::kService, QStringLiteral("/"), Announcer::kServer,
                                       QStringLiteral("ServiceBrowserNew"));
    call << -1 << -1 << Announcer::kType << QString() << 0U;
    auto* watch = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watch, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        const QDBusPendingReply<QDBusObjectPath> reply = *w;
        if (reply.isError()) {
            Fail(reply.error().message());
            return;
        }
        browser_ = reply.value().path();
    });
}

void Nearby::OnItemNew(int interface, int protocol, const QString& name, const QString& type,
                       const QString& domain, uint /*flags*/) {
    if (type != Announcer::kType || queue_.size() >= kMaxEntries) {
        return; // a flood of announcements never piles up
    }
    queue_.append({interface, protocol, name.left(100), domain.left(100)});
    Next();
}

void Nearby::Next() {
    while (resolving_ < kMaxResolving && !queue_.isEmpty() && entries_.size() < kMaxEntries) {
        const Item item = queue_.takeFirst();
        ++resolving_;
        QDBusMessage call =
            QDBusMessage::createMethodCall(Announcer::kService, QStringLiteral("/"),
                                           Announcer::kServer, QStringLiteral("ResolveService"));
        call << item.interface << item.protocol << item.name << Announcer::kType << item.domain
             << -1 << 0U;
        auto* watch = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
        const QString source = Source(item.interface, item.protocol, item.name);
        connect(watch, &QDBusPendingCallWatcher::finished, this,
                [this, source, interface = item.interface](QDBusPendingCallWatcher* w) {
                    w->deleteLater();
                    --resolving_;
                    const QDBusMessage reply = w->reply();
                    if (reply.type() == QDBusMessage::ReplyMessage) {
                        Resolved(source, interface, reply.arguments());
                    }
                    Next();
                });
    }
}

void Nearby::Resolved(const QString& source, int interface, const QList<QVariant>& reply) {
    // (interface, protocol, name, type, domain, host, aprotocol, address, port, txt, flags)
    if (reply.size() < 10 || entries_.size() >= kMaxEntries) {
        return;
    }
    const int port = reply[8].toInt();
    QList<QByteArray> txt;
    if (reply[9].canConvert<QDBusArgument>()) {
        txt = qdbus_cast<QList<QByteArray>>(reply[9]);
    }
    QByteArray id;
    QByteArray nick;
    QByteArray fingerprint;
    for (const QByteArray& item : txt.mid(0, 32)) {
        if (item.startsWith("id=")) {
            id = item.mid(3, 32);
        } else if (item.startsWith("nick=")) {
            nick = item.mid(5, 1024);
        } else if (item.startsWith("fp=")) {
            fingerprint = QByteArray::fromHex(item.mid(3, 64));
        }
    }
    QHostAddress address;
    if (port <= 0 || port > 65535 || id.isEmpty() || QString::fromLatin1(id) == ownId_ ||
        !address.setAddress(reply[7].toString().left(64))) {
        return; // nothing to call, or this copy itself
    }
    // Matched without the interface: one copy's link-local address is the same on each.
    const QString shownAddress = address.toString();
    if (address.isLinkLocal() && address.protocol() == QAbstractSocket::IPv6Protocol) {
        address.setScopeId(QNetworkInterface::interfaceNameFromIndex(interface));
    }
    const QByteArray key = fingerprint.size() == 32 ? fingerprint : QByteArray();
    // A loopback address is what a copy on this machine is also reported at: it stands
    // beside the copy's network address, never for a second copy.
    const auto family = [](const QString& a) {
        const QHostAddress h(a);
        return h.isLoopback() ? QAbstractSocket::UnknownNetworkLayerProtocol : h.protocol();
    };
    // One copy reports itself once per interface and protocol; a second announcement with
    // the same id but another port, key or address of the same family is someone else.
    const auto it = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) {
        return e.id == QString::fromLatin1(id) && e.port == port && e.fingerprint == key &&
               (e.addresses.contains(shownAddress) || address.isLoopback() ||
                std::none_of(e.addresses.begin(), e.addresses.end(),
                             [&](const QString& a) { return family(a) == address.protocol(); }));
    });
    Entry& entry = it != entries_.end() ? *it : entries_.emplace_back();
    entry.id = QString::fromLatin1(id);
    entry.nickname = Shown(nick, 64);
    entry.host = Shown(reply[5].toString().toUtf8(), 100);
    if (entry.address.isEmpty() ||
        (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback())) {
        entry.address = address.toString(); // IPv4 first, where a copy has both
    }
    entry.addresses.insert(shownAddress);
    entry.port = port;
    entry.fingerprint = key;
    entry.sources.insert(source);
    MarkSharedIds();
    emit Changed();
}

void Nearby::MarkSharedIds() {
    for (Entry& e : entries_) {
        e.sharedId = std::count_if(entries_.begin(), entries_.end(),
                                   [&e](const Entry& o) { return o.id == e.id; }) > 1;
    }
}

void Nearby::OnItemRemove(int interface, int protocol, const QString& name, const QString& /*type*/,
                          const QString& /*domain*/, uint /*flags*/) {
    const QString source = Source(interface, protocol, name);
    queue_.removeIf(
        [&](const Item& i) { return Source(i.interface, i.protocol, i.name) == source; });
    const qsizetype before = entries_.size();
    for (Entry& e : entries_) {
        e.sources.remove(source);
    }
    entries_.removeIf([](const Entry& e) { return e.sources.isEmpty(); });
    if (entries_.size() != before) {
        MarkSharedIds();
        emit Changed();
    }
}

void Nearby::Fail(const QString& why) {
    if (!toldUnavailable_) {
        toldUnavailable_ = true;
        emit Unavailable(
            QStringLiteral("The local network cannot be searched (no mDNS service): ") +
            why.left(200));
    }
}

QList<People::Announced> Nearby::Announced() const {
    QList<People::Announced> out;
    for (const Entry& e : entries_) {
        if (!e.fingerprint.isEmpty()) {
            out.append({e.fingerprint, KeyStore::NormalAddress(e.address, e.port)});
        }
    }
    return out;
}
