// Callers that do not play by the rules, against a real listening switchboard: silent ones,
// guessers, forgers, peers that never read.
#include "app/Main.h"
#include "call/CallSession.h"
#include "call/LoginGuard.h"
#include "call/LoginPool.h"
#include "chat/ClientWindows.h"
#include "chat/frmClient.h"
#include "log/frmDebug.h"
#include "platform/Desktop.h"
#include "platform/TcpSocket.h"
#include "protocol/NetCodec.h"
#include "settings/Settings.h"
#include "support/AppFixture.h"
#include "support/CallHelpers.h"
#include "support/ScriptedPeer.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>

#include <algorithm>

namespace {

int WindowsInUse() {
    return static_cast<int>(SlotsInUse());
}

// The peer at `from` offers `password`; true once the call is over (rejected) or accepted.
std::unique_ptr<ScriptedPeer> TryLogin(const QString& from, const QByteArray& password) {
    auto peer = std::make_unique<ScriptedPeer>();
    if (!peer->ConnectTo(Settings.Port, from) || !peer->WaitForMessages(1, 2000)) {
        return peer;
    }
    peer->Send(peer->Build(CmdLogin, QByteArrayLiteral("PASS") + password + '\0' + "Eve"));
    (void)QTest::qWaitFor([&] { return !peer->Connected() || peer->Messages().size() > 1; }, 3000);
    return peer;
}

} // namespace

class TestHostile : public QObject {
    Q_OBJECT

    std::unique_ptr<AppFixture> app;
    frmClient* board = nullptr;

private slots:
    void init() {
        app = std::make_unique<AppFixture>();
        app->WriteSettings("Bea\r\n");
        board = app->Start();
        StartListening(board);
    }
    void cleanup() { app.reset(); }
    void silentCallersCannotLockOut();
    void wrongLoginsLeaveNothingBehind();
    void undecodableHeaders();
    void forgedLogLines();
    void peerThatNeverReadsIsCutOff();
    void guessingIsSlowedDown();
    void refusedCallerLeavesNoStaleName();
    void floodsLeaveTheNewestCallerIn_data();
    void floodsLeaveTheNewestCallerIn();
    void reconnectingFloodWhileACallerLogsIn();
    void guessesFromManyAddresses();
    void friendsAreNotQueuedBehindGuesses();
    void preLoginBodies_data();
    void preLoginBodies();
};

void TestHostile::silentCallersCannotLockOut() {
    Settings.Timeout = 1;
    std::vector<std::unique_ptr<ScriptedPeer>> silent;
    for (int k = 0; k < 11; ++k) {
        silent.push_back(std::make_unique<ScriptedPeer>());
        QVERIFY(silent.back()->ConnectTo(Settings.Port));
    }
    // Two calls from one address may wait for their login; the rest are closed at once.
    // None of them opens a window.
    QTRY_COMPARE(std::count_if(silent.begin(), silent.end(),
                               [](const auto& p) { return p->Messages().size() == 1; }),
                 2);
    QTRY_COMPARE(
        std::count_if(silent.begin(), silent.end(), [](const auto& p) { return !p->Connected(); }),
        9);
    QCOMPARE(WindowsInUse(), 1);

    // Someone else still gets through at once.
    ScriptedPeer other;
    QVERIFY(other.ConnectTo(Settings.Port, "127.0.0.2"));
    QVERIFY(other.WaitForMessages(1, 500));
    QVERIFY(other.LogIn("", "Olga"));

    // The silent ones are closed after the deadline: no window is left for them.
    QTRY_COMPARE_WITH_TIMEOUT(
        std::count_if(silent.begin(), silent.end(), [](const auto& p) { return !p->Connected(); }),
        11, 4000);
    QTRY_COMPARE(WindowsInUse(), 1); // the switchboard took Olga's call itself
    // Told once, not once per call.
    QCOMPARE(LogText(board).count("Call with 127.0.0.1 closed: not logged in within 1 seconds"), 1);
    QVERIFY(other.Connected());
}

void TestHostile::wrongLoginsLeaveNothingBehind() {
    Settings.LoginPassword = "right";
    ScriptedPeer first; // keeps the switchboard busy, so every guess gets a line window
    QVERIFY(first.ConnectTo(Settings.Port));
    QVERIFY(first.LogIn("right", "Ann"));
    for (int k = 1; k <= LoginGuard::kWrongPerMinute; ++k) {
        const auto guess = TryLogin(QStringLiteral("127.0.1.%1").arg(k), "wrong");
        QVERIFY2(guess->WaitForDisconnect(2000), qPrintable(QString::number(k)));
    }
    QTRY_COMPARE(WindowsInUse(), 1);
    for (int k = 0; k < frmClient::kLines; ++k) {
        QCOMPARE(ClientWindows().Line(board, k), -1);
    }
    QCOMPARE(LogText(board).count(" - Invalid Login Password"), 1); // the rest are summed up
    const auto right = TryLogin("127.0.2.1", "right");
    QVERIFY(right->Messages().last().body.startsWith("ACPTBea"));
}

void TestHostile::undecodableHeaders() {
    ScriptedPeer stranger;
    QVERIFY(stranger.ConnectTo(Settings.Port));
    QVERIFY(stranger.WaitForMessages(1));
    QByteArray bad = stranger.Build(CmdLogin, "PASS");
    bad[7] = static_cast<char>(0x80);
    stranger.Send(bad);
    QVERIFY(stranger.WaitForDisconnect());
    QTRY_VERIFY(LogText(board).contains("127.0.0.1 sent a header that does not decode"));
    QCoreApplication::processEvents(); // a box would have been put up by now
    QVERIFY(app->boxes->texts.isEmpty());

    // Logged in: one box per call at a time, however many bad headers arrive.
    ScriptedPeer peer;
    QVERIFY(peer.ConnectTo(Settings.Port));
    QVERIFY(peer.LogIn("", "Pat"));
    QByteArray burst;
    for (int k = 0; k < 10; ++k) {
        QByteArray line = peer.Build(CmdText, "x");
        line[15] = static_cast<char>(0xFF);
        burst += line;
    }
    peer.Send(burst);
    QVERIFY(peer.WaitForMessages(12)); // AUTH, ACPT and ten "BC"
    QTRY_COMPARE(app->boxes->texts.size(), 1);
    QCOMPARE(app->boxes->texts[0],
             QStringLiteral("Error decoding message. Maybe passwords don't match."));
    QVERIFY(peer.Connected());
}

void TestHostile::forgedLogLines() {
    ScriptedPeer peer;
    QVERIFY(peer.ConnectTo(Settings.Port));
    QVERIFY(peer.LogIn("", "Pat\r\nBea> I quit"));
    QCOMPARE(board->Nickname(), QStringLiteral("Pat??Bea> I quit"));
    peer.Send(peer.Build(CmdText, "hi\r\nBea> send money\nCall rejected - Bad\x01"));
    QTRY_VERIFY(LogText(board).endsWith("Pat??Bea> I quit: hi\n    Bea> send money\n"
                                        "    Call rejected - Bad?\n"));
    QVERIFY(!LogText(board).contains("\nBea> "));
}

void TestHostile::peerThatNeverReadsIsCutOff() {
    // The limit is a window's from its creation: a switchboard made with a small one.
    app.reset();
    app = std::make_unique<AppFixture>();
    ClientWindows().limits.maxPendingWrite = 2000;
    board = app->Start();
    StartListening(board);
    ScriptedPeer peer;
    QVERIFY(peer.ConnectTo(Settings.Port));
    QVERIFY(peer.LogIn("", "Pat"));
    QByteArray lines;
    for (int k = 0; k < 200; ++k) {
        lines += peer.Build(CmdText, "flood");
    }
    peer.Send(lines);
    QVERIFY(peer.WaitForDisconnect());
    QTRY_VERIFY(LogText(board).contains("127.0.0.1 does not read what is sent (over 2000 bytes "
                                        "waiting) - call closed"));
    QCOMPARE(CallOf(board)->SocketState(), int(platform::TcpSocket::Closed));
    QVERIFY(Find<QLabel>(board, "lblConn")->text().isEmpty()); // nobody shown as connected
}

void TestHostile::guessingIsSlowedDown() {
    qint64 now = 0;
    ClientWindows().Model().Logins() = LoginGuard([&now] { return now; });
    Settings.LoginPassword = "right";
    for (int k = 0; k < 3; ++k) {
        QVERIFY(TryLogin("127.0.0.1", "guess")->WaitForDisconnect());
    }
    QTRY_COMPARE(LogText(board).count("Slowing down logins from 127.0.0.1 after 3 wrong "
                                      "passwords"),
                 1);
    // Held back: the next call from there is closed without AUTH.
    ScriptedPeer held;
    QVERIFY(held.ConnectTo(Settings.Port));
    QVERIFY(held.WaitForDisconnect());
    QVERIFY(held.Received().isEmpty());
    // Another address is not held for it.
    auto other = TryLogin("127.0.0.3", "right");
    QVERIFY(other->Messages().last().body.startsWith("ACPT"));
    // Once the hold is over, the right password gets in, and another wrong one is held
    // twice as long.
    now += 1000;
    auto late = TryLogin("127.0.0.1", "right");
    QVERIFY(late->Messages().last().body.startsWith("ACPT"));
    QCOMPARE(ClientWindows().Model().Logins().WrongCount("127.0.0.1"), 0);
    QCOMPARE(LogText(board).count("Slowing down logins"), 1);
    // Every try is in the debug log.
    QVERIFY(DebugWindow()->txtLog()->toPlainText().contains(
        "Wrong login password from 127.0.0.1 (3 in a row)"));
}

void TestHostile::refusedCallerLeavesNoStaleName() {
    Settings.LoginPassword = "pw";
    qint64 now = 0;
    ClientWindows().Pending().SetClock([&now] { return now; });
    // Eve names herself in PASS and is refused.
    QVERIFY(TryLogin("127.0.0.1", "no")->WaitForDisconnect());
    now += LoginPool::kReportEveryMs; // a minute later, a close is told as it happens
    auto quitter = std::make_unique<ScriptedPeer>();
    QVERIFY(quitter->ConnectTo(Settings.Port));
    QVERIFY(quitter->WaitForMessages(1));
    quitter.reset(); // hangs up before logging in
    QTRY_VERIFY(LogText(board).endsWith("Call rejected - Bad Password? - 127.0.0.1\n"));
    QVERIFY(!LogText(board).contains("Lost call Eve"));
}

void TestHostile::friendsAreNotQueuedBehindGuesses() {
    // The clock stands still: a login that waits its turn never gets one.
    qint64 now = 0;
    ClientWindows().Model().Logins() = LoginGuard([&now] { return now; });
    ClientWindows().Pending().SetClock([&now] { return now; });
    Settings.LoginPassword = "right";
    std::vector<std::unique_ptr<ScriptedPeer>> guessers;
    for (int k = 1; k <= LoginGuard::kWrongPerMinute + 1; ++k) {
        guessers.push_back(TryLogin(QStringLiteral("127.0.6.%1").arg(k), "wrong"));
    }
    // The second round from the same addresses waits to be judged; silent strangers fill the
    // rest of the pool.
    for (int k = 1; k <= LoginGuard::kWrongPerMinute + 1 + LoginPool::kMaxCalls; ++k) {
        auto& peer = guessers.emplace_back(std::make_unique<ScriptedPeer>());
        const bool guessing = k <= LoginGuard::kWrongPerMinute + 1;
        QVERIFY(peer->ConnectTo(
            Settings.Port, QString::fromLatin1(guessing ? "127.0.6.%1" : "127.0.8.%1").arg(k)));
        QVERIFY(peer->WaitForMessages(1));
        if (guessing) {
            peer->Send(peer->Build(CmdLogin, QByteArray("PASSwrong\0Eve", 13)));
        }
    }
    const auto queued = [&] {
        return std::count_if(guessers.begin() + LoginGuard::kWrongPerMinute + 1,
                             guessers.begin() + 2 * (LoginGuard::kWrongPerMinute + 1),
                             [](const auto& p) { return p->Connected(); });
    };
    QTRY_COMPARE(queued(), LoginGuard::kWrongPerMinute); // the first took the one turn there was
    for (int k = 1; k <= 3; ++k) {
        const auto right = TryLogin(QStringLiteral("127.0.7.%1").arg(k), "right");
        QVERIFY2(right->Messages().last().body.startsWith("ACPT"), qPrintable(QString::number(k)));
    }
    QCOMPARE(queued(), LoginGuard::kWrongPerMinute); // silent ones made room
    ClientWindows().Pending().SetClock({});
}

void TestHostile::preLoginBodies_data() {
    QTest::addColumn<QByteArrayList>("bodies");
    QTest::addColumn<bool>("closed");
    QTest::addRow("one unknown, then a login") << QByteArrayList{"HELLO", "PASS"} << false;
    QTest::addRow("two unknown") << QByteArrayList{"HELLO", "HELLO", "PASS"} << true;
    QTest::addRow("a login of 2 kB") << QByteArrayList{"PASS" + QByteArray(2048, 'n')} << true;
    QTest::addRow("a long unknown one, cut in the log")
        << QByteArrayList{QByteArray(1000, 'x'), "PASS"} << false;
}

void TestHostile::preLoginBodies() {
    QFETCH(QByteArrayList, bodies);
    QFETCH(bool, closed);
    ScriptedPeer peer;
    QVERIFY(peer.ConnectTo(Settings.Port));
    QVERIFY(peer.WaitForMessages(1));
    for (const QByteArray& body : bodies) {
        peer.Send(peer.Build(CmdLogin, body == "PASS" ? QByteArray("PASS\0Pat", 8) : body));
    }
    if (closed) {
        QVERIFY(peer.WaitForDisconnect());
        QCOMPARE(WindowsInUse(), 1);
        QVERIFY(board->Nickname().isEmpty());
        return;
    }
    QVERIFY(peer.WaitForMessages(2));
    QTRY_COMPARE(board->Nickname(), QStringLiteral("Pat"));
    const QString debug = DebugWindow()->txtLog()->toPlainText();
    QVERIFY(!debug.contains(QString(CallSession::kMaxShownUnknown + 1, 'x')));
}

QTEST_MAIN(TestHostile)
#include "tst_hostile.moc"

void TestHostile::floodsLeaveTheNewestCallerIn_data() {
    QTest::addColumn<int>("strangers");
    QTest::addColumn<bool>("trickle");
    QTest::newRow("38 silent from 38 addresses") << 38 << false;
    QTest::newRow("100 silent") << 100 << false;
    QTest::newRow("a byte at a time from 40") << 40 << true;
}

void TestHostile::floodsLeaveTheNewestCallerIn() {
    QFETCH(int, strangers);
    QFETCH(bool, trickle);
    qint64 now = 0;
    ClientWindows().Pending().SetClock([&now] { return now; });
    QList<QWidget*> alerted;
    const auto previous = platform::SetAlertHandler([&](QWidget* w) { alerted << w; });
    frmClient* busy = AddLine(board); // the user works elsewhere: an alert would show
    busy->activateWindow();
    QTRY_VERIFY(busy->isActiveWindow());
    std::vector<std::unique_ptr<ScriptedPeer>> crowd;
    for (int k = 0; k < strangers; ++k) {
        crowd.push_back(std::make_unique<ScriptedPeer>());
        QVERIFY(crowd.back()->ConnectTo(Settings.Port, QStringLiteral("127.0.4.%1").arg(k + 1)));
        // The switchboard takes each in turn, as it would from a network: each is answered.
        QVERIFY(crowd.back()->WaitForMessages(1));
    }
    QTimer drip;
    int drips = 0;
    QObject::connect(&drip, &QTimer::timeout, [&] {
        ++drips;
        for (auto& p : crowd) {
            p->Send("x"); // never a whole header
        }
    });
    if (trickle) {
        drip.start(50);
        QTRY_VERIFY(drips >= 2);
    }
    QElapsedTimer clock;
    clock.start();
    ScriptedPeer caller;
    QVERIFY(caller.ConnectTo(Settings.Port, "127.0.9.9"));
    QVERIFY(caller.WaitForMessages(1, 1000));
    const qint64 toAuth = clock.elapsed();
    QVERIFY(caller.LogIn("", "Real"));
    qInfo("%d strangers: AUTH after %lld ms, logged in after %lld ms", strangers, toAuth,
          clock.elapsed());
    QCOMPARE(board->Nickname(), QStringLiteral("Real"));
    // Nobody who has not logged in got a window, a line or the user's attention.
    QCOMPARE(WindowsInUse(), 2);
    QTRY_COMPARE(alerted, QList<QWidget*>{board}); // the real caller's, nobody else's
    QVERIFY(ClientWindows().Pending().Size() <= LoginPool::kMaxCalls);
    QCOMPARE(LogText(board).count("closed"), 1); // the first, as it happened
    // A minute on, the switchboard sums up the rest in one line.
    now += LoginPool::kReportEveryMs;
    ScriptedPeer late[2]; // the first fills the place the real caller left, the second pushes
    QVERIFY(late[0].ConnectTo(Settings.Port, "127.0.4.250"));
    QVERIFY(late[1].ConnectTo(Settings.Port, "127.0.4.251"));
    QTRY_VERIFY(LogText(board).contains(
        QStringLiteral("%1 more calls were closed before they logged in during the last minute: "
                       "%1 pushed out by newer calls\n")
            .arg(strangers - LoginPool::kMaxCalls)));
    QCOMPARE(LogText(board).count("closed"), 2);
    platform::SetAlertHandler(previous);
}

void TestHostile::reconnectingFloodWhileACallerLogsIn() {
    // 40 addresses reconnect as fast as they can while a real caller logs in ten times.
    std::vector<std::unique_ptr<QTcpSocket>> flood(40);
    int next = 0;
    QTimer again;
    QObject::connect(&again, &QTimer::timeout, [&] {
        auto& s = flood[static_cast<std::size_t>(next)];
        s = std::make_unique<QTcpSocket>();
        s->bind(QHostAddress(QStringLiteral("127.0.5.%1").arg(next + 1)));
        s->connectToHost(QHostAddress::LocalHost, static_cast<quint16>(Settings.Port));
        next = (next + 1) % 40;
    });
    again.start(0);
    qint64 slowest = 0;
    for (int k = 0; k < 10; ++k) {
        QElapsedTimer clock;
        clock.start();
        auto caller = std::make_unique<ScriptedPeer>();
        QVERIFY(caller->ConnectTo(Settings.Port, "127.0.9.8"));
        QVERIFY2(caller->LogIn("", "Real"), qPrintable(QString::number(k)));
        slowest = std::max(slowest, clock.elapsed());
        QVERIFY(clock.elapsed() < 1000);
        caller.reset();
        // Counted, not read off the end: the pool's report of the flood may come after it.
        QTRY_COMPARE(
            LogText(board).count(QRegularExpression("Lost call Real - 127\\.0\\.(0\\.1|9\\.8)\n")),
            k + 1);
    }
    again.stop();
    qInfo("slowest of 10 logins under a reconnecting flood: %lld ms", slowest);
    QCOMPARE(WindowsInUse(), 1);
    // An eleventh call from that address within ten seconds is refused at once.
    ScriptedPeer eleventh;
    QVERIFY(eleventh.ConnectTo(Settings.Port, "127.0.9.8"));
    QVERIFY(eleventh.WaitForDisconnect());
    QVERIFY(eleventh.Received().isEmpty());
}

void TestHostile::guessesFromManyAddresses() {
    Settings.LoginPassword = "right";
    // Enough wrong passwords from different addresses to spend the budget of all of them.
    for (int k = 1; k <= LoginGuard::kWrongPerMinute + 1; ++k) {
        const auto guess = TryLogin(QStringLiteral("127.0.6.%1").arg(k), "wrong");
        QVERIFY(guess->WaitForDisconnect(2000));
    }
    QTRY_VERIFY(LogText(board).contains("Many wrong login passwords"));
    QElapsedTimer clock;
    clock.start();
    const auto right = TryLogin("127.0.7.1", "right");
    QVERIFY(right->Messages().last().body.startsWith("ACPT"));
    qInfo("right password after the budget was spent: ACPT after %lld ms", clock.elapsed());
    QVERIFY(clock.elapsed() < 1500);
    QCOMPARE(WindowsInUse(), 1);
}
