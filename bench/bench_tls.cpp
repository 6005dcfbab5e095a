// What TLS costs a call: two switchboards in one process talk over loopback, once with secure
// calls and once in plain text, interleaved so that both meet the same machine. Figures are
// printed with their ratio to plain; nothing is asserted.
#include "call/Switchboard.h"
#include "settings/Settings.h"

#include "BenchWait.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>

namespace {

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

double Median(QList<double> v) {
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? 0 : v[v.size() / 2];
}

// An answering and a calling switchboard, secure or not.
struct Pair {
    QTemporaryDir dir;
    Switchboard answerer;
    Switchboard caller;
    QList<Call*> arrived;
    int port = 0;
    // Each new call looks ten seconds later to the answerer, whose rate limit for one
    // address would otherwise refuse the bench's many calls from 127.0.0.1.
    qint64 skew = 0;

    explicit Pair(bool secure) {
        answerer.Pending().SetClock([this] { return QDateTime::currentMSecsSinceEpoch() + skew; });
        answerer.limits.maxPendingWrite = 64 * 1024 * 1024;
        caller.limits.maxPendingWrite = 64 * 1024 * 1024;
        if (secure) {
            answerer.EnableSecurity(dir.filePath("a.pem"), dir.filePath("a.json"));
            caller.EnableSecurity(dir.filePath("c.pem"), dir.filePath("c.json"));
        }
        QObject::connect(&answerer, &Switchboard::CallArrived, &answerer,
                         [this](Call* c) { arrived << c; });
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        port = probe.serverPort();
        probe.close();
        answerer.StartServer(0, port);
    }
    // Places a call and returns the milliseconds until both ends logged in; -1 on failure.
    double Connect(Call** out) {
        skew += 10 * 1000;
        Call* call = caller.NewCall();
        if (qEnvironmentVariableIsSet("BENCH_TLS_DEBUG")) {
            QObject::connect(call, &Call::Reported, call, [](const CallReport& r) {
                std::fprintf(stderr, "%d %s\n", int(r.kind), qPrintable(r.detail));
            });
        }
        const qsizetype before = arrived.size();
        QElapsedTimer clock;
        clock.start();
        call->Place(QStringLiteral("127.0.0.1"), port);
        if (!WaitFor([&] { return call->LoginFlag() == 1 && arrived.size() > before; }, 10000)) {
            return -1;
        }
        const double ms = double(clock.nsecsElapsed()) / 1e6;
        *out = call;
        return ms;
    }
};

// Microseconds for each of `count` lines from sending to the matching acknowledgement.
QList<double> RoundTrips(Call* call, int count) {
    QList<double> out;
    int acked = 0;
    const QMetaObject::Connection counting =
        QObject::connect(call, &Call::AckMatched, call, [&acked] { ++acked; });
    for (int k = 0; k < count; ++k) {
        QElapsedTimer clock;
        clock.start();
        call->SendLine(QStringLiteral("round trip %1").arg(k), false);
        if (!WaitFor([&] { return acked > k; }, 5000)) {
            break;
        }
        out << double(clock.nsecsElapsed()) / 1e3;
    }
    QObject::disconnect(counting);
    return out;
}

// CPU seconds of the whole process (both ends) for `lines` lines sent at once, until the
// last one is acknowledged.
double Burst(Pair& pair, int lines) {
    Call* call = nullptr;
    if (pair.Connect(&call) < 0) {
        return -1;
    }
    Call* other = pair.arrived.last();
    int heard = 0;
    QObject::connect(other, &Call::ChatLine, other, [&heard] { ++heard; });
    const double start = CpuSeconds();
    for (int k = 0; k < lines; ++k) {
        call->SendLine(QStringLiteral("burst line number %1 of the test").arg(k), false);
    }
    WaitFor([&] { return heard >= lines; }, 60000);
    const double used = CpuSeconds() - start;
    call->Hangup();
    return heard >= lines ? used : -1;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ResetSettings();
    Settings.Nickname = QStringLiteral("Bench");
    Pair secure(true);
    Pair plain(false);

    QList<double> connectTls;
    QList<double> connectPlain;
    QList<double> rtTls;
    QList<double> rtPlain;
    Call* tlsCall = nullptr;
    Call* plainCall = nullptr;
    for (int k = 0; k < 20; ++k) {
        Call* c = nullptr;
        connectTls << secure.Connect(&c);
        if (c != nullptr) {
            c->Hangup();
        }
        connectPlain << plain.Connect(&c);
        if (c != nullptr) {
            c->Hangup();
        }
    }
    if (secure.Connect(&tlsCall) < 0 || plain.Connect(&plainCall) < 0 || !tlsCall->Secure()) {
        std::fprintf(stderr, "bench_tls: the calls did not come up\n");
        return 1;
    }
    // BENCH_TLS_ROUNDS: more round trips, for a profiler.
    const int blocks = qEnvironmentVariableIntValue("BENCH_TLS_ROUNDS") > 0
                           ? qEnvironmentVariableIntValue("BENCH_TLS_ROUNDS")
                           : 10;
    for (int block = 0; block < blocks; ++block) {
        // BENCH_TLS_ONLY=tls or plain: round trips of one kind, for strace or a profiler.
        const QByteArray only = qgetenv("BENCH_TLS_ONLY");
        if (only != "plain") {
            rtTls += RoundTrips(tlsCall, 100);
        }
        if (only != "tls") {
            rtPlain += RoundTrips(plainCall, 100);
        }
    }
    QList<double> burstTls;
    QList<double> burstPlain;
    for (int k = 0; k < 3; ++k) {
        burstTls << Burst(secure, 10000);
        burstPlain << Burst(plain, 10000);
    }

    const auto row = [](const char* what, double tls, const char* unit, double base,
                        const char* /*same unit*/, const char* goal) {
        std::printf("%-44s %10.1f %s  plain %10.1f %s  %5.2fx  %s\n", what, tls, unit, base, unit,
                    base > 0 ? tls / base : 0.0, goal);
    };
    std::printf("TLS against plain, loopback, both ends in one process (%s)\n",
                qPrintable(tlsCall->TlsDescription()));
    row("round trip of one line, p50", Median(rtTls), "us", Median(rtPlain), "us",
        "(goal: at most 1.2x)");
    row("connect to logged in, median of 20", Median(connectTls), "ms", Median(connectPlain), "ms",
        "");
    row("CPU of a 10,000-line burst, median of 3", Median(burstTls) * 1000, "ms",
        Median(burstPlain) * 1000, "ms", "(goal: at most 1.5x)");
    return 0;
}
