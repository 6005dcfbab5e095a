// Reachable from the Internet: the lease schedule, and a real router (miniupnpd in network
// namespaces of the test's own) that a peer outside calls through.
#include "call/Switchboard.h"
#include "reach/PortMapper.h"

#include <QProcess>
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

int FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::Any, 0);
    return probe.serverPort();
}

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
    void sharedAddress();
    void noRouter();
    void restartedRouter();
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
    QVERIFY(router.CallFromOutside("11.99.0.1", ann.port) != 0); // closed: nobody gets in
    mapper->Set(true, ann.port);
    QTRY_COMPARE_WITH_TIMEOUT(mapper->Current().kind, PortMapper::State::Reachable, 10000);
    const router::Mapping m = mapper->Current().mapping;
    QCOMPARE(m.external, QStringLiteral("11.99.0.1"));
    QCOMPARE(m.via, via);
    QCOMPARE(router.CallFromOutside(m.external, m.externalPort), 0);
    QTRY_COMPARE(ann.arrived, 1);

    // A second copy behind the same router gets a port of its own that works.
    Copy bob;
    PortMapper second;
    second.Set(true, bob.port);
    QTRY_COMPARE_WITH_TIMEOUT(second.Current().kind, PortMapper::State::Reachable, 10000);
    QVERIFY(second.Current().mapping.externalPort != m.externalPort);
    QCOMPARE(router.CallFromOutside(m.external, second.Current().mapping.externalPort), 0);

    // Switched off, the port closes; quitting leaves the router's table empty.
    mapper->Set(false, ann.port);
    QTRY_VERIFY(!router.Table().contains(QString(":%1").arg(ann.port)));
    QVERIFY(router.CallFromOutside(m.external, m.externalPort) != 0);
    mapper.reset();
    QVERIFY(router.Table().contains("dnat"));
    second.Set(false, bob.port);
    QTRY_VERIFY(!router.Table().contains("dnat"));
}

void TestReach::sharedAddress() {
    Router router("b", "100.64.0.1");
    if (!router.Ok()) {
        QSKIP(qPrintable(router.Why()));
    }
    Copy ann;
    PortMapper mapper;
    mapper.Set(true, ann.port);
    QTRY_COMPARE_WITH_TIMEOUT(mapper.Current().kind, PortMapper::State::Shared, 10000);
    QVERIFY(!router.Table().contains("dnat"));
}

void TestReach::noRouter() {
    Router router("c", "11.99.0.1", "nodaemon");
    if (!router.Ok()) {
        QSKIP(qPrintable(router.Why()));
    }
    Copy ann;
    PortMapper mapper;
    QElapsedTimer took;
    took.start();
    mapper.Set(true, ann.port);
    QTRY_COMPARE_WITH_TIMEOUT(mapper.Current().kind, PortMapper::State::NoRouter, 10000);
    qInfo("no router: told after %lld ms", took.elapsed());
}

void TestReach::restartedRouter() {
    Router router("d", "11.99.0.1");
    if (!router.Ok()) {
        QSKIP(qPrintable(router.Why()));
    }
    Copy ann;
    PortMapper mapper;
    mapper.checkEveryMs = 300;
    mapper.Set(true, ann.port);
    QTRY_COMPARE_WITH_TIMEOUT(mapper.Current().kind, PortMapper::State::Reachable, 10000);
    // The router has counted a few seconds of its mappings when it restarts without them.
    QTRY_VERIFY_WITH_TIMEOUT(
        [] {
            std::uint32_t epoch = 0;
            return router::Epoch(&epoch) && epoch >= 4;
        }(),
        10000);
    router.Restart();
    QVERIFY(!router.Table().contains("dnat"));
    QTRY_VERIFY_WITH_TIMEOUT(router.Table().contains("dnat"), 10000);
    const router::Mapping m = mapper.Current().mapping;
    QCOMPARE(router.CallFromOutside(m.external, m.externalPort), 0);
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc == 4 && QByteArray(argv[1]) == "--call") {
        return CallAndLogIn(QString::fromLocal8Bit(argv[2]), QByteArray(argv[3]).toInt());
    }
    TestReach test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_reach.moc"
