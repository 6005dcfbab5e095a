// Reachable from the Internet: the lease schedule, and a real router (miniupnpd in network
// namespaces of the test's own) that a peer outside calls through.
#include "app/Internet.h"
#include "call/Switchboard.h"
#include "chat/frmClient.h"
#include "reach/PortMapper.h"
#include "support/AppFixture.h"
#include "support/CallHelpers.h"

#include <QApplication>
#include <QClipboard>
#include <QProcess>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace {

// A router of its own for one test: the test's thread is moved into the lan behind it.
class Router {
public:
    // `kind`: "nodaemon" for a router that answers nothing, "upnp" for one without NAT-PMP.
    Router(const QString& name, const QString& external, const QString& kind = {})
        : id_(QString::number(getpid() % 100000) + name) {
        if (geteuid() != 0 ||
            QStandardPaths::findExecutable("miniupnpd", {"/usr/sbin"}).isEmpty()) {
            why_ = "needs root and miniupnpd (scripts/install-deps.sh installs it)";
            return;
        }
        QStringList args{"up", id_, external};
        if (!kind.isEmpty()) {
            args << kind;
        }
        if (Run(args) != 0) {
            why_ = "network namespaces are not allowed here: " + output_;
            Run({"down", id_});
            return;
        }
        home_ = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        const int lan = open(qPrintable("/run/netns/pv-lan-" + id_), O_RDONLY | O_CLOEXEC);
        ok_ = home_ >= 0 && lan >= 0 && setns(lan, CLONE_NEWNET) == 0;
        if (lan >= 0) {
            close(lan);
        }
    }
    ~Router() {
        if (home_ >= 0) {
            setns(home_, CLONE_NEWNET);
            close(home_);
        }
        Run({"down", id_});
    }
    bool Ok() const { return ok_; }
    const QString& Why() const { return why_; }
    // The router's table of forwarded ports.
    QString Table() {
        Run({"table", id_});
        return output_;
    }
    void Restart() { Run({"restart", id_}); }
    // A copy of Palaver outside, in the wan, calls HOST:PORT: 0 once it logged in.
    int CallFromOutside(const QString& host, int port) {
        QProcess peer;
        peer.start("ip", {"netns", "exec", "pv-wan-" + id_, QCoreApplication::applicationFilePath(),
                          "--call", host, QString::number(port)});
        // The copy inside answers meanwhile: the event loop runs while the peer calls.
        QSignalSpy finished(&peer, &QProcess::finished);
        finished.wait(30000);
        return peer.exitStatus() == QProcess::NormalExit ? peer.exitCode() : -1;
    }

private:
    int Run(const QStringList& args) {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(PALAVER_ROUTER_SCRIPT, args);
        p.waitForFinished(30000);
        output_ = QString::fromUtf8(p.readAll());
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }
    QString id_;
    QString why_;
    QString output_;
    int home_ = -1;
    bool ok_ = false;
};

// A listening copy behind the router, with its key.
struct Copy {
    QTemporaryDir dir;
    Switchboard board;
    int port = FreePort();
    int arrived = 0;
    Copy() {
        board.EnableSecurity(dir.filePath("identity.pem"), dir.filePath("keys.json"));
        board.StartServer(0, port);
        QObject::connect(&board, &Switchboard::CallArrived, &board, [this] { ++arrived; });
    }
};

// The peer outside: calls, and says by its exit code whether it logged in.
int CallAndLogIn(const QString& host, int port) {
    QTemporaryDir dir;
    Switchboard board;
    board.EnableSecurity(dir.filePath("identity.pem"), dir.filePath("keys.json"));
    board.limits.retryIntervalMs = 1000;
    Call* call = board.NewCall();
    QEventLoop loop;
    QObject::connect(call, &Call::LoggedIn, &loop, [&loop] { loop.exit(0); });
    QObject::connect(call, &Call::GaveUp, &loop, [&loop] { loop.exit(1); });
    QObject::connect(call, &Call::Dropped, &loop, [&loop] { loop.exit(1); });
    QTimer::singleShot(15000, &loop, [&loop] { loop.exit(2); });
    call->Place(host, port);
    return loop.exec();
}

} // namespace

Q_DECLARE_METATYPE(router::Via)

class TestReach : public QObject {
    Q_OBJECT
private slots:
    void leaseSchedule_data();
    void leaseSchedule();
    void notPublic_data();
    void notPublic();
    void throughTheRouter_data();
    void throughTheRouter();
    void noPortOpened_data();
    void noPortOpened();
    void theSwitchboardTellsTheTruth();
};

void TestReach::leaseSchedule_data() {
    QTest::addColumn<qint64>("granted");
    QTest::addColumn<qint64>("renewAfter"); // -1: never
    QTest::newRow("an hour: at half an hour") << qint64(3600) << qint64(1800 * 1000);
    QTest::newRow("two minutes: after one") << qint64(120) << qint64(60 * 1000);
    QTest::newRow("permanent: never, deleted at exit") << qint64(0) << qint64(-1);
}

void TestReach::leaseSchedule() {
    QFETCH(qint64, granted);
    QFETCH(qint64, renewAfter);
    router::Mapping m;
    m.lifetimeS = granted;
    QCOMPARE(PortMapper::RenewAfterMs(m).value_or(-1), renewAfter);
    // A NAT-PMP router whose epoch fell behind the time that passed has restarted.
    QVERIFY(!PortMapper::Restarted(1000, 0, 1060, 60 * 1000));
    QVERIFY(!PortMapper::Restarted(1000, 0, 1055, 60 * 1000)); // a slow clock
    QVERIFY(PortMapper::Restarted(1000, 0, 5, 60 * 1000));
}

void TestReach::notPublic_data() {
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("notPublic");
    QTest::newRow("RFC 1918") << "192.168.1.1" << true;
    QTest::newRow("shared (CGNAT)") << "100.64.0.1" << true;
    QTest::newRow("just past the shared block") << "100.128.0.1" << false;
    QTest::newRow("public") << "11.99.0.1" << false;
    QTest::newRow("nothing") << "" << true;
}

void TestReach::notPublic() {
    QFETCH(QString, address);
    QFETCH(bool, notPublic);
    QCOMPARE(router::NotPublic(address), notPublic);
}

void TestReach::throughTheRouter_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<router::Via>("via");
    QTest::newRow("NAT-PMP") << QString() << router::Via::NatPmp;
    QTest::newRow("UPnP when the router has no NAT-PMP") << "upnp" << router::Via::Upnp;
}

void TestReach::throughTheRouter() {
    QFETCH(QString, kind);
    QFETCH(router::Via, via);
    Router router(kind.isEmpty() ? "a" : "u", "11.99.0.1", kind);
    if (!router.Ok()) {
        QSKIP(qPrintable(router.Why()));
    }
    Copy ann;
    auto mapper = std::make_unique<PortMapper>();
    mapper->checkEveryMs = 300;
    QVERIFY(router.CallFromOutside("11.99.0.1", ann.port) != 0); // closed: nobody gets in
    QElapsedTimer took;
    took.start();
    mapper->Set(true, ann.port);
    QTRY_COMPARE_WITH_TIMEOUT(mapper->Current().kind, PortMapper::State::Reachable, 10000);
    qInfo("mapped after %lld ms", took.elapsed());
    const router::Mapping m = mapper->Current().mapping;
    QCOMPARE(m.external, QStringLiteral("11.99.0.1"));
    QCOMPARE(m.via, via);
    QCOMPARE(router.CallFromOutside(m.external, m.externalPort), 0);
    QTRY_COMPARE(ann.arrived, 1);

    // A router that restarts without its mappings gets this one again. (It has counted a
    // few seconds of them first: NAT-PMP tells a restart by that count.)
    QTRY_VERIFY_WITH_TIMEOUT(
        [via] {
            std::uint32_t epoch = 0;
            return via == router::Via::Upnp || (router::Epoch(&epoch) && epoch >= 4);
        }(),
        10000);
    router.Restart();
    QVERIFY(!router.Table().contains("dnat"));
    QTRY_VERIFY_WITH_TIMEOUT(router.Table().contains("dnat"), 10000);
    QCOMPARE(router.CallFromOutside(m.external, mapper->Current().mapping.externalPort), 0);

    // A second copy behind the same router gets a port of its own that works.
    Copy bob;
    auto second = std::make_unique<PortMapper>();
    second->Set(true, bob.port);
    QTRY_COMPARE_WITH_TIMEOUT(second->Current().kind, PortMapper::State::Reachable, 10000);
    const int secondPort = second->Current().mapping.externalPort;
    QVERIFY(secondPort != m.externalPort);
    QCOMPARE(router.CallFromOutside(m.external, secondPort), 0);

    // Switched off, the port closes; quitting leaves the router's table empty.
    mapper->Set(false, ann.port);
    QTRY_VERIFY(!router.Table().contains(QString(":%1").arg(ann.port)));
    QVERIFY(router.CallFromOutside(m.external, m.externalPort) != 0);
    QVERIFY(router.Table().contains(QString(":%1").arg(bob.port)));
    second.reset();
    QVERIFY(!router.Table().contains("dnat"));
}

void TestReach::noPortOpened_data() {
    QTest::addColumn<QString>("external");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("said");
    QTest::newRow("a router with a shared address") << "100.64.0.1"
                                                    << "" << int(PortMapper::State::Shared);
    QTest::newRow("no router answers") << "11.99.0.1"
                                       << "nodaemon" << int(PortMapper::State::NoRouter);
}

void TestReach::noPortOpened() {
    QFETCH(QString, external);
    QFETCH(QString, kind);
    QFETCH(int, said);
    Router router(kind.isEmpty() ? "b" : "c", external, kind);
    if (!router.Ok()) {
        QSKIP(qPrintable(router.Why()));
    }
    Copy ann;
    PortMapper mapper;
    QElapsedTimer took;
    took.start();
    mapper.Set(true, ann.port);
    QTRY_COMPARE_WITH_TIMEOUT(int(mapper.Current().kind), said, 10000);
    qInfo("told after %lld ms", took.elapsed());
    QVERIFY(!router.Table().contains("dnat"));
}

void TestReach::theSwitchboardTellsTheTruth() {
    PortMapper::State shared;
    shared.kind = PortMapper::State::Shared;
    shared.mapping.external = "100.64.0.1";
    QVERIFY(
        Internet::Text(shared, 7000)
            .startsWith("The router's address on the Internet, 100.64.0.1, is private or shared"));
    QVERIFY(Internet::Text(shared, 7000).endsWith("You can still call out."));
    Router router("e", "11.99.0.1");
    if (!router.Ok()) {
        QSKIP(qPrintable(router.Why()));
    }
    // A real start with the server on at once: off until the user switches it on.
    AppFixture app;
    const int port = FreePort();
    app.WriteSettings("Cat\r\n\r\n" + QByteArray::number(port) + "\r\n");
    QSettings(app.Dir() + "/config/Palaver/windows.ini", QSettings::IniFormat)
        .setValue("accept-at-start", true);
    frmClient* board = app.Start();
    QVERIFY(!Internet::On());
    Menu(board, "mnuToolsInternet");
    const QString said = QString("Reachable from the Internet at 11.99.0.1:%1 (NAT-PMP, renews in "
                                 "30 min)")
                             .arg(port);
    QTRY_VERIFY_WITH_TIMEOUT(LogText(board).contains(said), 10000);
    QVERIFY(Internet::On());
    Menu(board, "mnuToolsCopyLink");
    QCOMPARE(QApplication::clipboard()->text(), QString("palaver://11.99.0.1:%1").arg(port));
    QCOMPARE(router.CallFromOutside("11.99.0.1", port), 0);
    // Off again: said so, and the router forgets the port.
    Menu(board, "mnuToolsInternet");
    QTRY_VERIFY(LogText(board).contains("Calls from the Internet are no longer accepted"));
    QTRY_VERIFY(!router.Table().contains("dnat"));
}

int main(int argc, char** argv) {
    if (argc == 4 && QByteArray(argv[1]) == "--call") {
        QCoreApplication peer(argc, argv);
        return CallAndLogIn(QString::fromLocal8Bit(argv[2]), QByteArray(argv[3]).toInt());
    }
    QApplication app(argc, argv);
    if (argc == 4 && QByteArray(argv[1]) == "--call") {
        return CallAndLogIn(QString::fromLocal8Bit(argv[2]), QByteArray(argv[3]).toInt());
    }
    TestReach test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_reach.moc"
