// Showing this copy on the local network, against an mDNS daemon of the test's own on a
// private bus (run under dbus-run-session): what the real daemon will not do on demand.
#include "app/Announcer.h"
#include "app/Nearby.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QNetworkInterface>
#include <QtTest>

// Plays org.freedesktop.Avahi on a connection of its own: entry groups that record what is
// added, names that are taken, and a daemon that can leave and come back.
class ScriptedAvahi : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Avahi.Server")
public:
    struct Service {
        QString group;
        QString name;
        QString type;
        int port = 0;
        QList<QByteArray> txt;
    };
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "avahi");
    QStringList taken;       // names another host already has
    QList<Service> services; // added and committed, not yet freed or reset
    QStringList freed;
    int groupsMade = 0;

    bool Start() {
        return bus.registerObject("/", this, QDBusConnection::ExportAllSlots) &&
               bus.registerService("org.freedesktop.Avahi");
    }
    void Stop() {
        bus.unregisterService("org.freedesktop.Avahi");
        bus.unregisterObject("/");
        services.clear();
    }

    // What ResolveService answers for a name.
    struct Announced {
        QString host = "desk.local";
        QString address = "192.0.2.7";
        int port = 7000;
        QList<QByteArray> txt;
    };
    QHash<QString, Announced> announced;
    // What a browser reports: a copy appearing or leaving on one interface and protocol.
    void Item(bool add, int interface, int protocol, const QString& name) {
        QDBusMessage signal = QDBusMessage::createSignal("/Client1/ServiceBrowser1",
                                                         "org.freedesktop.Avahi.ServiceBrowser",
                                                         add ? "ItemNew" : "ItemRemove");
        signal << interface << protocol << name << QStringLiteral("_palaver._tcp")
               << QStringLiteral("local") << 0U;
        bus.send(signal);
    }

public slots:
    QDBusObjectPath EntryGroupNew();
    QString GetAlternativeServiceName(const QString& name) { return name + " #2"; }
    QDBusObjectPath ServiceBrowserNew(int, int, const QString&, const QString&, uint) {
        return QDBusObjectPath("/Client1/ServiceBrowser1");
    }
    void ResolveService(int interface, int protocol, const QString& name, const QString& type,
                        const QString& domain, int, uint, const QDBusMessage& message) {
        const Announced a = announced.value(name);
        message.setDelayedReply(true);
        bus.send(message.createReply(QVariantList{
            interface, protocol, name, type, domain, a.host, protocol, a.address,
            QVariant::fromValue(static_cast<ushort>(a.port)), QVariant::fromValue(a.txt), 0U}));
    }
};

class ScriptedGroup : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Avahi.EntryGroup")
public:
    ScriptedGroup(ScriptedAvahi* avahi, QString path)
        : QObject(avahi), avahi_(avahi), path_(std::move(path)) {}

public slots:
    void AddService(int, int, uint, const QString& name, const QString& type, const QString&,
                    const QString&, ushort port, const QList<QByteArray>& txt) {
        pending_ = {path_, name, type, port, txt};
    }
    void Commit() {
        const bool collides = avahi_->taken.contains(pending_.name);
        if (!collides) {
            avahi_->services.append(pending_);
        }
        QDBusMessage signal =
            QDBusMessage::createSignal(path_, "org.freedesktop.Avahi.EntryGroup", "StateChanged");
        signal << (collides ? 3 : 2) << QString();
        avahi_->bus.send(signal);
    }
    void Reset() { Forget(); }
    void Free() {
        Forget();
        avahi_->freed << path_;
    }

private:
    void Forget() {
        avahi_->services.removeIf(
            [this](const ScriptedAvahi::Service& s) { return s.group == path_; });
    }
    ScriptedAvahi* avahi_;
    QString path_;
    ScriptedAvahi::Service pending_;
};

QDBusObjectPath ScriptedAvahi::EntryGroupNew() {
    const QString path = QStringLiteral("/Client1/EntryGroup%1").arg(++groupsMade);
    bus.registerObject(path, new ScriptedGroup(this, path), QDBusConnection::ExportAllSlots);
    return QDBusObjectPath(path);
}

class TestNearby : public QObject {
    Q_OBJECT
private slots:
    void announce_data();
    void announce();
    void withoutDaemon();
    void browse_data();
    void browse();
    void sameId_data();
    void sameId();
};

void TestNearby::sameId_data() {
    // A second announcement with Ann's id: where it says it is, and how many entries result.
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("port");
    QTest::addColumn<QByteArray>("fp");
    QTest::addColumn<int>("entries");
    const QByteArray ann = "fp=" + QByteArray(32, 'a').toHex();
    QTest::addRow("another address") << "192.0.2.66" << 7000 << ann << 2;
    QTest::addRow("another port") << "192.0.2.7" << 7001 << ann << 2;
    QTest::addRow("another key") << "192.0.2.7" << 7000 << "fp=" + QByteArray(32, 'e').toHex() << 2;
    QTest::addRow("the same copy over IPv6") << "2001:db8::7" << 7000 << ann << 1;
    QTest::addRow("the same copy on this machine") << "127.0.0.1" << 7000 << ann << 1;
}

void TestNearby::sameId() {
    QFETCH(QString, address);
    QFETCH(int, port);
    QFETCH(QByteArray, fp);
    QFETCH(int, entries);
    ScriptedAvahi avahi;
    const QByteArray ann = "fp=" + QByteArray(32, 'a').toHex();
    avahi.announced["Ann (Palaver)"] = {
        "desk.local", "192.0.2.7", 7000, {"nick=Ann", "id=a1", ann}};
    avahi.announced["Eve (Palaver)"] = {"evil.local", address, port, {"nick=Ann", "id=a1", fp}};
    QVERIFY(avahi.Start());
    Nearby nearby(QDBusConnection::sessionBus(), "self");
    nearby.Start();
    avahi.Item(true, 1, 0, "Ann (Palaver)");
    QTRY_COMPARE(nearby.Entries().size(), 1);
    avahi.Item(true, 1, 1, "Eve (Palaver)");
    QTRY_COMPARE(nearby.Entries().first().sources.size() + nearby.Entries().size(), 3);
    QCOMPARE(nearby.Entries().size(), entries);
    // Ann's entry still calls Ann, with Ann's key; a look-alike is marked as such.
    QCOMPARE(nearby.Entries().first().address, QStringLiteral("192.0.2.7"));
    QCOMPARE(nearby.Entries().first().port, 7000);
    QCOMPARE(nearby.Entries().first().fingerprint, QByteArray(32, 'a'));
    QCOMPARE(nearby.Entries().first().sharedId, entries == 2);
}

void TestNearby::browse_data() {
    // The TXT record, the address and the port announced for "Ann"; what the list shows.
    QTest::addColumn<QList<QByteArray>>("txt");
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("entries");
    QTest::addColumn<QString>("nickname");
    const QByteArray fp = "fp=" + QByteArray(32, 'k').toHex();
    QTest::addRow("a copy") << QList<QByteArray>{"nick=Ann", "id=a1", fp} << "192.0.2.7" << 7000
                            << 1 << "Ann";
    QTest::addRow("this copy itself")
        << QList<QByteArray>{"nick=Me", "id=self"} << "192.0.2.7" << 7000 << 0 << "";
    QTest::addRow("port 0") << QList<QByteArray>{"nick=Ann", "id=a1"} << "192.0.2.7" << 0 << 0
                            << "";
    QTest::addRow("no id") << QList<QByteArray>{"nick=Ann"} << "192.0.2.7" << 7000 << 0 << "";
    QTest::addRow("not an address")
        << QList<QByteArray>{"nick=Ann", "id=a1"} << "desk" << 7000 << 0 << "";
    QTest::addRow("controls, a direction override, broken UTF-8")
        << QList<QByteArray>{"nick=A\x1b[2Jn\xe2\x80\xaen\xff", "id=a1"} << "192.0.2.7" << 7000 << 1
        << "A?[2Jn?n\uFFFD";
    QTest::addRow("a 10 kB TXT string")
        << QList<QByteArray>{"nick=" + QByteArray(10000, 'x'), "id=a1"} << "192.0.2.7" << 7000 << 1
        << QString(64, 'x');
    QTest::addRow("IPv6 link-local keeps its interface")
        << QList<QByteArray>{"nick=Ann", "id=a1"} << "fe80::1" << 7000 << 1 << "Ann";
}

void TestNearby::browse() {
    QFETCH(QList<QByteArray>, txt);
    QFETCH(QString, address);
    QFETCH(int, port);
    QFETCH(int, entries);
    QFETCH(QString, nickname);
    qDBusRegisterMetaType<QList<QByteArray>>();
    ScriptedAvahi avahi;
    avahi.announced["Ann (Palaver)"] = {"desk\n.local", address, port, txt};
    QVERIFY(avahi.Start());
    Nearby nearby(QDBusConnection::sessionBus(), "self");
    QSignalSpy changed(&nearby, &Nearby::Changed);
    nearby.Start();
    // One copy reported on two interfaces and two protocols is one entry, gone only when the
    // last report goes.
    const QList<std::pair<int, int>> sources{{1, 0}, {1, 1}, {2, 0}};
    for (const auto& [interface, protocol] : sources) {
        avahi.Item(true, interface, protocol, "Ann (Palaver)");
    }
    avahi.Item(true, 1, 0, "Other (Other program)"); // answers with nothing to call
    if (entries == 0) {
        QVERIFY(!changed.wait(300));
        QVERIFY(nearby.Entries().isEmpty());
        return;
    }
    QTRY_COMPARE(nearby.Entries().size(), 1);
    const Nearby::Entry e = nearby.Entries().first();
    QCOMPARE(e.nickname, nickname);
    QCOMPARE(e.host, QStringLiteral("desk?.local"));
    QCOMPARE(e.port, 7000);
    QTRY_COMPARE(nearby.Entries().first().sources.size(), 3);
    if (address.startsWith("fe80")) {
        QCOMPARE(e.address, "fe80::1%" + QNetworkInterface::interfaceNameFromIndex(1));
    }
    avahi.Item(false, 1, 0, "Ann (Palaver)");
    avahi.Item(false, 1, 1, "Ann (Palaver)");
    QTRY_COMPARE(nearby.Entries().first().sources.size(), 1);
    avahi.Item(false, 2, 0, "Ann (Palaver)");
    QTRY_VERIFY(nearby.Entries().isEmpty());

    // Ten thousand announced at once: the list is capped and the loop never stalls.
    for (int k = 0; k < 10000; ++k) {
        avahi.announced[QString::number(k)] = {
            "h", "192.0.2.9", 7000, {"id=" + QByteArray::number(k)}};
        avahi.Item(true, 1, 0, QString::number(k));
    }
    QTRY_COMPARE(nearby.Entries().size(), Nearby::kMaxEntries);
}

void TestNearby::withoutDaemon() {
    // Said once, and not tried again in a loop.
    Announcer announcer(QDBusConnection::sessionBus());
    QSignalSpy unavailable(&announcer, &Announcer::Unavailable);
    announcer.Set({true, 7123, "Ann", {}});
    QVERIFY(unavailable.wait());
    QVERIFY(unavailable[0][0].toString().startsWith(
        "This copy cannot be shown on the local network (no mDNS service)"));
    announcer.Set({true, 7124, "Ann", {}});
    QVERIFY(!unavailable.wait(300));
    QCOMPARE(unavailable.size(), 1);
    QVERIFY(announcer.PublishedName().isEmpty());
}

void TestNearby::announce_data() {
    QTest::addColumn<QString>("nickname");
    QTest::addColumn<QString>("published");
    QTest::addRow("published while the server listens") << "Ann"
                                                        << "Ann (Palaver)";
    QTest::addRow("a name already taken") << "Bob"
                                          << "Bob (Palaver) #2";
    QTest::addRow("a long nickname, cut whole")
        << QString(40, QChar(0x00E9)) << QString(31, QChar(0x00E9));
}

void TestNearby::announce() {
    QFETCH(QString, nickname);
    QFETCH(QString, published);
    qDBusRegisterMetaType<QList<QByteArray>>();
    ScriptedAvahi avahi;
    avahi.taken << "Bob (Palaver)";
    QVERIFY(avahi.Start());
    Announcer announcer(QDBusConnection::sessionBus());
    QSignalSpy unavailable(&announcer, &Announcer::Unavailable);
    const QByteArray fingerprint(32, '\x5a');
    announcer.Set({true, 7123, nickname, fingerprint});
    QTRY_COMPARE(announcer.PublishedName(), published);
    QCOMPARE(avahi.services.size(), 1);
    const ScriptedAvahi::Service s = avahi.services.first();
    QCOMPARE(s.type, QStringLiteral("_palaver._tcp"));
    QCOMPARE(s.port, 7123);
    QVERIFY(s.name.toUtf8().size() <= 63);
    QCOMPARE(s.txt.value(1), "id=" + announcer.Id().toLatin1());
    QVERIFY(s.txt.value(0).startsWith("nick=") && s.txt.value(0).size() <= 255);
    QVERIFY(s.txt.value(2).startsWith("version="));
    QCOMPARE(s.txt.value(3), "fp=" + fingerprint.toHex());

    // The daemon leaves and comes back: published again.
    avahi.Stop();
    QTRY_VERIFY(announcer.PublishedName().isEmpty());
    QVERIFY(avahi.Start());
    QTRY_COMPARE(announcer.PublishedName(), published);
    QCOMPARE(avahi.services.size(), 1);

    // The server switched off: withdrawn, its group freed.
    announcer.Set({false, 7123, nickname, fingerprint});
    QVERIFY(announcer.PublishedName().isEmpty());
    QTRY_VERIFY(avahi.services.isEmpty());
    QVERIFY(!avahi.freed.isEmpty());
    QCOMPARE(unavailable.size(), 0);
}

QTEST_GUILESS_MAIN(TestNearby)
#include "tst_nearby.moc"
