// What a user pays, measured from outside: a real Palaver answers in a process of its own
// (history on, its switchboard shown while the user works in another window), a scripted
// caller logs in, trades lines one at a time, then places a new call for each burst. The
// answering process's CPU is read from /proc from the first byte of a burst until 0.3 s after
// its last acknowledgement, so whatever the burst caused later (the history's commit, alerts,
// notifications, repaints) is counted. The anchor is bare Qt in a process of its own: it
// listens, acknowledges each line and appends it to a text box in a shown window. The
// history's search index is not built by a chat but by the next search (bench_app times it).
#include "app/Main.h"
#include "chat/ClientWindows.h"
#include "chat/frmClient.h"
#include "history/HistoryStore.h"
#include "protocol/CNetMsg.h"
#include "protocol/NetCodec.h"
#include "settings/Settings.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QProcess>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtEndian>

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

constexpr int kBurstLines = 5000;
constexpr int kBursts = 7;
constexpr int kRoundTrips = 1000;
constexpr int kBlock = 100;
constexpr int kAckSize = 31;

void WaitUntil(const std::function<bool()>& done, int timeoutMs = 30000) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
    }
}

void Spin(int ms) {
    QElapsedTimer t;
    t.start();
    WaitUntil([&] { return t.elapsed() >= ms; }, ms + 100);
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// CPU time of every thread of `pid`, in seconds.
double CpuSeconds(qint64 pid) {
    double total = 0;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile f(tasks.filePath(task + QStringLiteral("/schedstat")));
        if (f.open(QIODevice::ReadOnly)) {
            total += f.readAll().split(' ').value(0).toDouble() / 1e9;
        }
    }
    return total;
}

// ------------------------------------------------------------------ the answering sides

// Palaver itself, as a user runs it, with a second window active.
int Answer(int port) {
    App palaver;
    Main();
    Settings.Port = port;
    frmClient* board = ClientWindows(0);
    board->ToggleServer();
    frmClient* elsewhere = ClientWindows().NewLine(board);
    elsewhere->activateWindow();
    QTimer::singleShot(0, [] {
        std::puts("ready");
        std::fflush(stdout);
    });
    return QApplication::exec();
}

qint32 Crc(const QByteArray& bytes) {
    const auto r = static_cast<quint32>(crc32(0, reinterpret_cast<const Bytef*>(bytes.constData()),
                                              static_cast<uInt>(bytes.size())));
    if (static_cast<qint32>(r) >= 1) {
        return static_cast<qint32>(r);
    }
    return r == 0xFFFFFFFFu ? 2147483647 : static_cast<qint32>(r & 0x7FFFFFFFu) + 1;
}

// Bare Qt: frames messages by their header, acknowledges each and shows it, one line each.
int Anchor(int port) {
    QMainWindow window;
    auto* log = new QPlainTextEdit(&window);
    window.setCentralWidget(log);
    window.show();
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, static_cast<quint16>(port));
    qint32 sent = 0;
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        QTcpSocket* s = server.nextPendingConnection();
        auto buffer = std::make_shared<QByteArray>();
        QObject::connect(s, &QTcpSocket::readyRead, s, [s, buffer, log, &sent] {
            *buffer += s->readAll();
            qsizetype at = 0;
            QByteArray acks;
            while (buffer->size() - at >= 25) {
                const qint32 len = qFromLittleEndian<qint32>(buffer->constData() + at + 17);
                if (buffer->size() - at < 25 + len) {
                    break;
                }
                const qint32 crc = qFromLittleEndian<qint32>(buffer->constData() + at + 21);
                log->appendPlainText(QStringLiteral("Peer: ") +
                                     QString::fromLatin1(buffer->mid(at + 25, len)));
                QByteArray header("QV;(", 4);
                header += EncodeLong(0) + EncodeLong(1) + EncodeLong(++sent) + char(CmdAck) +
                          EncodeLong(6);
                const QByteArray body = "OK" + EncodeLong(crc);
                acks += header + EncodeLong(Crc(header + body)) + body;
                at += 25 + len;
            }
            buffer->remove(0, at);
            s->write(acks);
        });
    });
    std::puts("ready");
    std::fflush(stdout);
    return QApplication::exec();
}

// ------------------------------------------------------------------ the caller

// Records what the desktop is asked to show, on the private bus the answering side uses.
class FakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    int calls = 0;
public slots:
    uint Notify(const QString&, uint replaces, const QString&, const QString&, const QString&,
                const QStringList&, const QVariantMap&, int) {
        ++calls;
        return replaces != 0 ? replaces : static_cast<uint>(calls);
    }
    void CloseNotification(uint) {}
};

struct Child {
    QProcess process;
    int port = 0;
    QTemporaryDir home;

    bool Start(const QStringList& mode, const QString& bus, bool history) {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        port = probe.serverPort();
        probe.close();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_DATA_HOME"), home.filePath(QStringLiteral("data")));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
        if (bus.isEmpty()) {
            env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        } else {
            env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus);
        }
        if (!history) {
            QSettings options(home.filePath(QStringLiteral("config/Palaver/history.ini")),
                              QSettings::IniFormat);
            options.setValue(QStringLiteral("keep"), false);
        }
        {
            QFile settings(home.filePath(QStringLiteral("insettings.ini")));
            if (settings.open(QIODevice::WriteOnly)) {
                settings.write("Ann\r\n");
            }
        }
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.setWorkingDirectory(home.path());
        process.start(QCoreApplication::applicationFilePath(), QStringList(mode)
                                                                   << QString::number(port));
        WaitUntil(
            [this] { return process.canReadLine() || process.state() == QProcess::NotRunning; });
        return process.readLine().startsWith("ready");
    }
    ~Child() {
        process.kill();
        process.waitForFinished();
    }
};

// A caller speaking raw bytes: logs in when asked, then sends lines and counts the answers.
struct Caller {
    QTcpSocket socket;
    CNetMsg out;
    qint64 answered = 0;

    bool Connect(int port, bool logIn) {
        socket.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
        WaitUntil([this] { return socket.state() == QAbstractSocket::ConnectedState; });
        if (!logIn) {
            return socket.state() == QAbstractSocket::ConnectedState;
        }
        WaitUntil([this] { return socket.bytesAvailable() >= 29; }); // AUTH
        socket.readAll();
        out.CreateMessage(kAppMarker, 0, 1, CmdLogin, QByteArray("PASS\0Bench", 10));
        socket.write(out.FullMessage());
        WaitUntil([this] { return socket.bytesAvailable() >= 32; }); // "ACPTAnn"
        QCoreApplication::processEvents();
        socket.readAll();
        return socket.state() == QAbstractSocket::ConnectedState;
    }
    QByteArray Line(int k) {
        out.CreateMessage(kAppMarker, 0, 1, CmdText,
                          QByteArrayLiteral("a line of an ordinary length, number ") +
                              QByteArray::number(k));
        return out.FullMessage();
    }
    void WaitForAnswers(qint64 count) {
        WaitUntil([&] {
            answered += socket.read(socket.bytesAvailable()).size();
            return answered >= count * kAckSize;
        });
    }
};

// Microseconds for each of `count` lines, one at a time.
void RoundTrips(Caller& c, int count, std::vector<double>* out) {
    for (int k = 0; k < count; ++k) {
        const QByteArray line = c.Line(k);
        QElapsedTimer t;
        t.start();
        c.answered = 0;
        c.socket.write(line);
        c.WaitForAnswers(1);
        out->push_back(static_cast<double>(t.nsecsElapsed()) / 1e3);
    }
}

// CPU seconds the answering process spent on one burst, on a call of its own.
double Burst(Child& child, bool logIn) {
    Caller c;
    if (!c.Connect(child.port, logIn)) {
        return -1;
    }
    QByteArray all;
    for (int k = 0; k < kBurstLines; ++k) {
        all += c.Line(k);
    }
    const double before = CpuSeconds(child.process.processId());
    c.socket.write(all);
    c.WaitForAnswers(kBurstLines);
    Spin(300);
    const double cpu = CpuSeconds(child.process.processId()) - before;
    c.socket.disconnectFromHost();
    Spin(100); // the call ends before the next one comes
    return cpu;
}

int Parent() {
    // A private session bus with a notification service of our own.
    QProcess busDaemon;
    busDaemon.start(QStringLiteral("dbus-daemon"),
                    {QStringLiteral("--session"), QStringLiteral("--print-address=1"),
                     QStringLiteral("--nofork")});
    WaitUntil([&] { return busDaemon.canReadLine() || busDaemon.state() == QProcess::NotRunning; },
              5000);
    const QString bus = QString::fromLatin1(busDaemon.readLine().trimmed());
    FakeNotifications fake;
    QDBusConnection connection = QDBusConnection::connectToBus(bus, QStringLiteral("bench"));
    const bool service =
        !bus.isEmpty() &&
        connection.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &fake,
                                  QDBusConnection::ExportAllSlots) &&
        connection.registerService(QStringLiteral("org.freedesktop.Notifications"));
    if (!service) {
        std::printf("no private session bus (dbus-daemon): notifications are not measured\n");
    }

    Child anchor;
    Child palaver;
    if (!anchor.Start({QStringLiteral("--anchor")}, {}, true) ||
        !palaver.Start({QStringLiteral("--answer")}, service ? bus : QString(), true)) {
        std::printf("an answering process did not start\n");
        return 1;
    }
    const auto roundTrip = [&anchor](Child& palaver, const char* label) {
        // One call each, blocks of 100 interleaved with the anchor.
        Caller toPalaver;
        Caller toAnchor;
        if (!toPalaver.Connect(palaver.port, true) || !toAnchor.Connect(anchor.port, false)) {
            std::printf("cannot call the answering processes\n");
            return;
        }
        std::vector<double> ours;
        std::vector<double> theirs;
        for (int block = 0; block < kRoundTrips / kBlock; ++block) {
            RoundTrips(toPalaver, kBlock, &ours);
            RoundTrips(toAnchor, kBlock, &theirs);
        }
        toPalaver.socket.disconnectFromHost();
        Spin(100);
        std::printf("round trip of one line, p50 of %d, %s: Palaver %.0f us   bare Qt anchor "
                    "%.0f us   ratio: %.2f (goal <= 1.0)\n",
                    kRoundTrips, label, Median(ours), Median(theirs),
                    Median(ours) / Median(theirs));
    };
    Child noBus;
    Child off;
    if (!noBus.Start({QStringLiteral("--answer")}, {}, true) ||
        !off.Start({QStringLiteral("--answer")}, service ? bus : QString(), false)) {
        std::printf("an answering process did not start\n");
        return 1;
    }
    roundTrip(palaver, "history on");
    roundTrip(off, "history off");
    // One burst of each in turn, so that whatever else the machine does falls on all alike.
    std::vector<double> anchors;
    std::vector<double> services;
    std::vector<double> noBuses;
    std::vector<double> offs;
    for (int k = 0; k < kBursts; ++k) {
        anchors.push_back(Burst(anchor, false));
        services.push_back(Burst(palaver, true));
        noBuses.push_back(Burst(noBus, true));
        offs.push_back(Burst(off, true));
    }
    const double anchorCpu = Median(anchors);
    const double withService = Median(services);
    const double withoutBus = Median(noBuses);
    const double historyOff = Median(offs);
    std::printf("fake notification service was asked %d times\n", fake.calls);
    std::printf("burst of %d lines on a new call, CPU of the answering process (median of %d):\n"
                "  Palaver, history on, notification service: %.3f s   ratio to anchor: %.2f "
                "(goal <= 0.2)\n"
                "  Palaver, history on, no session bus:       %.3f s   ratio to anchor: %.2f\n"
                "  Palaver, history off:                      %.3f s   history on/off: %.2f "
                "(goal <= 1.2)\n"
                "  bare Qt anchor:                            %.3f s\n",
                kBurstLines, kBursts, withService, withService / anchorCpu, withoutBus,
                withoutBus / anchorCpu, historyOff, withService / historyOff, anchorCpu);
    busDaemon.kill();
    busDaemon.waitForFinished();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc == 3 && qstrcmp(argv[1], "--answer") == 0) {
        return Answer(QByteArray(argv[2]).toInt());
    }
    if (argc == 3 && qstrcmp(argv[1], "--anchor") == 0) {
        return Anchor(QByteArray(argv[2]).toInt());
    }
    return Parent();
}

#include "bench_burst.moc"
