// Showing this copy on the local network, against an mDNS daemon of the test's own on a
// private bus (run under dbus-run-session): what the real daemon will not do on demand.
#include "app/Announcer.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
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

public slots:
    QDBusObjectPath EntryGroupNew();
    QString GetAlternativeServiceName(const QString& name) { return name + " #2"; }
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
};

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
