// One call's session driven directly: bytes in, events out, with no socket and no window.
#include "call/CallSession.h"
#include "call/LoginGuard.h"
#include "chat/CallTexts.h"
#include "protocol/NetCodec.h"
#include "settings/Settings.h"

#include <QtTest>

namespace {

using Role = CallSession::Role;

// A session with everything it reports recorded.
struct Probe {
    CallSession s;
    QList<QByteArray> sent;
    QList<CallReport> reports;
    bool Told(CallReport::Kind kind) const {
        return std::any_of(reports.begin(), reports.end(),
                           [kind](const CallReport& r) { return r.kind == kind; });
    }
    QStringList chat;
    QList<std::int32_t> acks;
    QString closed;
    QString notSent;
    QString nickname;
    int loggedIn = 0;
    int decodeFailed = 0;

    explicit Probe(Role role, LoginGuard* guard = nullptr) {
        s.SetGuard(guard);
        QObject::connect(&s, &CallSession::Send, [this](const QByteArray& b) { sent << b; });
        QObject::connect(&s, &CallSession::Reported, [this](const CallReport& r) { reports << r; });
        QObject::connect(&s, &CallSession::ChatLine, [this](const QString& t) { chat << t; });
        QObject::connect(&s, &CallSession::AckMatched, [this](std::int32_t c) { acks << c; });
        QObject::connect(&s, &CallSession::Closed, [this](CloseReason, const CallReport& r, bool) {
            closed = chat::CallText(r).text;
        });
        QObject::connect(&s, &CallSession::NotSent, [this](const CallReport& r) {
            notSent = chat::CallText(r).text.trimmed();
        });
        QObject::connect(&s, &CallSession::PeerNamed, [this](const QString& n) { nickname = n; });
        QObject::connect(&s, &CallSession::LoggedIn, [this] { ++loggedIn; });
        QObject::connect(&s, &CallSession::DecodeFailed, [this] { ++decodeFailed; });
        s.Start(role, QStringLiteral("10.0.0.9"));
    }
};

// A message as a peer builds it, enciphered with the current passwords.
QByteArray Msg(std::uint8_t cmd, const QByteArray& body, std::int32_t userId = 1) {
    static CNetMsg out;
    out.CreateMessage(kAppMarker, 0, userId, cmd, body);
    out.CipherMessage(Settings.Passwords[1].toLatin1());
    for (int k = 2; k <= 5; ++k) {
        out.CipherMessage(Settings.Passwords[static_cast<std::size_t>(k)].toLatin1());
    }
    return out.FullMessage();
}

// The body of a message a session sent, deciphered with the current passwords.
QByteArray BodyOf(const QByteArray& wire) {
    CNetMsg in;
    in.BufferMsg(wire);
    for (int k = 5; k >= 1; --k) {
        in.CipherMessage(Settings.Passwords[static_cast<std::size_t>(k)].toLatin1());
    }
    return in.Message();
}

// Both ends of a call, logged in, with nothing delivered yet that was sent.
void LogInPair(Probe& caller, Probe& answerer) {
    QByteArray auth;
    answerer.s.Auth(&auth);
    caller.s.Feed(auth);
    answerer.s.Feed(caller.sent.takeLast());
    caller.s.Feed(answerer.sent.takeLast());
}

} // namespace

class TestSession : public QObject {
    Q_OBJECT
private slots:
    void init() {
        ResetSettings();
        Settings.Nickname = "Ann";
    }
    void loginBodies_data();
    void loginBodies();
    void loginBodiesAfterLogin_data();
    void loginBodiesAfterLogin();
    void crossingLinesAreAcknowledged();
    void layersWithGaps_data();
    void layersWithGaps();
    void splitAndMergedReads_data();
    void splitAndMergedReads();
    void undecodableHeaders();
    void nothingSentWhenBuildFails();
    void peerTextStaysThePeers_data();
    void peerTextStaysThePeers();
    void loginDeadline();
    void addressKeys_data();
    void addressKeys();
    void guessesFromManyAddresses();
    void holdsDoubleAndEnd();
    void heldLoginWaitsForItsTurn();
};

void TestSession::loginBodies_data() {
    QTest::addColumn<int>("role");
    QTest::addColumn<QString>("loginPassword");
    QTest::addColumn<int>("cmd");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("flag");
    QTest::addColumn<QByteArray>("answer"); // start of the body sent back, empty for none
    QTest::addColumn<QString>("closed");    // start of the close reason, empty for none
    QTest::addColumn<QString>("nickname");

    const int caller = int(Role::Caller);
    const int answerer = int(Role::Answerer);
    QTest::newRow("caller answers AUTH") << caller << "pw" << int(CmdLogin) << QByteArray("AUTH")
                                         << 0 << QByteArray("PASSpw\0Ann", 10) << ""
                                         << "";
    QTest::newRow("answerer asked for its password")
        << answerer << "pw" << int(CmdLogin) << QByteArray("AUTH") << 0 << QByteArray()
        << "Call closed: 10.0.0.9 sent \"AUTH\""
        << "";
    QTest::newRow("right password")
        << answerer << "pw" << int(CmdLogin) << QByteArray("PASSpw\0Pat", 10) << 1
        << QByteArray("ACPTAnn") << ""
        << "Pat";
    QTest::newRow("password differs in case")
        << answerer << "pw" << int(CmdLogin) << QByteArray("PASSPw\0Pat", 10) << 0 << QByteArray()
        << "Call rejected from 10.0.0.9 - Invalid Login Password"
        << "Pat";
    QTest::newRow("no zero byte, no password")
        << answerer << "" << int(CmdLogin) << QByteArray("PASSnozero") << 1 << QByteArray("ACPT")
        << ""
        << "";
    QTest::newRow("no zero byte, password set")
        << answerer << "pw" << int(CmdLogin) << QByteArray("PASSpw") << 0 << QByteArray()
        << "Call rejected from"
        << "";
    QTest::newRow("caller accepted")
        << caller << "" << int(CmdLogin) << QByteArray("ACPTBea") << 1 << QByteArray() << ""
        << "Bea";
    QTest::newRow("answerer told it is accepted")
        << answerer << "" << int(CmdLogin) << QByteArray("ACPTBea") << 0 << QByteArray()
        << "Call closed: 10.0.0.9 sent \"ACPT\""
        << "";
    QTest::newRow("caller offered a password")
        << caller << "" << int(CmdLogin) << QByteArray("PASS\0x", 6) << 0 << QByteArray()
        << "Call closed: 10.0.0.9 sent \"PASS\""
        << "";
    QTest::newRow("chat before login")
        << answerer << "" << int(CmdText) << QByteArray("hi") << 0 << QByteArray()
        << "10.0.0.9 forced closed due to non-auth msg"
        << "";
    QTest::newRow("ack before login")
        << caller << "" << int(CmdAck) << QByteArray("OK1234") << 0 << QByteArray()
        << "10.0.0.9 forced closed due to non-auth msg"
        << "";
    QTest::newRow("nickname with line break")
        << answerer << "" << int(CmdLogin) << QByteArray("PASS\0Pat\r\nAnn> x", 16) << 1
        << QByteArray("ACPT") << ""
        << "Pat??Ann> x";
}

void TestSession::loginBodies() {
    QFETCH(int, role);
    QFETCH(QString, loginPassword);
    QFETCH(int, cmd);
    QFETCH(QByteArray, body);
    QFETCH(int, flag);
    QFETCH(QByteArray, answer);
    QFETCH(QString, closed);
    QFETCH(QString, nickname);
    Settings.LoginPassword = loginPassword;
    Probe p(static_cast<Role>(role));
    p.s.Feed(Msg(static_cast<std::uint8_t>(cmd), body));
    QCOMPARE(p.s.LoginFlag(), flag);
    QCOMPARE(p.loggedIn, flag);
    QCOMPARE(p.sent.size(), answer.isEmpty() ? 0 : 1);
    if (!answer.isEmpty()) {
        QVERIFY2(BodyOf(p.sent[0]).startsWith(answer), BodyOf(p.sent[0]).constData());
    }
    QVERIFY2(closed.isEmpty() ? p.closed.isEmpty() : p.closed.startsWith(closed),
             qPrintable(p.closed));
    QCOMPARE(p.s.Active(), closed.isEmpty());
    QCOMPARE(p.nickname, nickname);
}

void TestSession::loginBodiesAfterLogin_data() {
    QTest::addColumn<int>("role");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("answer"); // start of the body sent back, empty for none
    QTest::addColumn<QString>("nickname");
    QTest::newRow("AUTH again") << int(Role::Caller) << QByteArray("AUTH")
                                << QByteArray("PASSpw\0Ann", 10) << "Bea";
    QTest::newRow("ACPT again") << int(Role::Caller) << QByteArray("ACPTCid") << QByteArray()
                                << "Cid";
    QTest::newRow("PASS again") << int(Role::Answerer) << QByteArray("PASSpw\0Dot", 10)
                                << QByteArray("ACPTAnn") << "Dot";
}

void TestSession::loginBodiesAfterLogin() {
    // A logged-in call still answers the login messages, as it always has.
    QFETCH(int, role);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, answer);
    QFETCH(QString, nickname);
    Settings.LoginPassword = "pw";
    Probe p(static_cast<Role>(role));
    p.s.Feed(Msg(CmdLogin, role == int(Role::Caller) ? QByteArray("ACPTBea")
                                                     : QByteArray("PASSpw\0Bea", 10)));
    QCOMPARE(p.s.LoginFlag(), 1);
    p.sent.clear();
    p.s.Feed(Msg(CmdLogin, body));
    QCOMPARE(p.s.LoginFlag(), 1);
    QVERIFY(p.closed.isEmpty() && p.s.Active());
    QCOMPARE(p.sent.size(), answer.isEmpty() ? 0 : 1);
    if (!answer.isEmpty()) {
        QVERIFY(BodyOf(p.sent[0]).startsWith(answer));
    }
    QCOMPARE(p.nickname, nickname);
}

void TestSession::crossingLinesAreAcknowledged() {
    Probe ann(Role::Caller);
    Probe peer(Role::Answerer);
    LogInPair(ann, peer);
    // Ann's line and the peer's line cross: the peer's line reaches Ann before the
    // acknowledgement of hers, and Ann acknowledges it in between.
    QByteArray mine;
    QCOMPARE(ann.s.Line("from ann", &mine), CNetMsg::CreateResult::Ok);
    QByteArray theirs;
    peer.s.Line("from peer", &theirs);
    ann.s.Feed(theirs);
    QCOMPARE(ann.chat, QStringList{"from peer"});
    peer.s.Feed(mine);
    ann.s.Feed(peer.sent.takeLast());
    QCOMPARE(ann.acks.size(), 1);
    QCOMPARE(ann.acks[0], ann.s.LastLineCrc());
    QVERIFY(!ann.Told(CallReport::AckMismatch));
    // And the peer's line is acknowledged to the peer just as well.
    peer.s.Feed(ann.sent.takeLast());
    QCOMPARE(peer.acks.size(), 1);

    // An acknowledgement when no line waits never matches, not even one claiming 0.
    Probe fresh(Role::Caller);
    Probe other(Role::Answerer);
    LogInPair(fresh, other);
    fresh.s.Feed(Msg(CmdAck, QByteArray("OK") + EncodeLong(0)));
    QVERIFY(fresh.acks.isEmpty());
    QCOMPARE(fresh.reports.last().kind, CallReport::AckMismatch);
    QCOMPARE(fresh.reports.last().number, 0);
    QCOMPARE(fresh.reports.last().other, 0);
}

void TestSession::layersWithGaps_data() {
    QTest::addColumn<QStringList>("passwords");
    QTest::newRow("none") << QStringList{"", "", "", "", ""};
    QTest::newRow("one") << QStringList{"a", "", "", "", ""};
    QTest::newRow("only the second") << QStringList{"", "b", "", "", ""};
    QTest::newRow("gaps") << QStringList{"a", "", "c", "", "e"};
    QTest::newRow("all five") << QStringList{"a", "b", "c", "d", "e"};
}

void TestSession::layersWithGaps() {
    QFETCH(QStringList, passwords);
    for (int k = 1; k <= 5; ++k) {
        Settings.Passwords[static_cast<std::size_t>(k)] = passwords[k - 1];
    }
    Probe ann(Role::Caller);
    Probe bob(Role::Answerer);
    LogInPair(ann, bob);
    QCOMPARE(ann.s.LoginFlag(), 1);
    QByteArray wire;
    ann.s.Line(QByteArray("layered \0\xff", 10), &wire);
    // The body is enciphered exactly by the non-empty passwords, in order.
    QByteArray expected("layered \0\xff", 10);
    for (const QString& pw : passwords) {
        if (!pw.isEmpty()) {
            CNetMsg one;
            one.CreateMessage(kAppMarker, 0, 1, CmdText, expected);
            one.CipherMessage(pw.toLatin1());
            expected = one.Message();
        }
    }
    QCOMPARE(wire.mid(25), expected);
    bob.s.Feed(wire);
    QCOMPARE(bob.chat, QStringList{QStringLiteral("layered ?\u00ff")});
    ann.s.Feed(bob.sent.takeLast());
    QCOMPARE(ann.acks.size(), 1);

    // One password different on the receiving side: the line is refused with "BC".
    if (passwords.join(QString()).isEmpty()) {
        return;
    }
    ann.s.Line("second", &wire);
    Settings.Passwords[5] = QStringLiteral("other");
    bob.s.Feed(wire);
    QCOMPARE(bob.chat.size(), 1);
    QVERIFY(bob.Told(CallReport::BadCrc));
}

void TestSession::splitAndMergedReads_data() {
    QTest::addColumn<int>("chunk"); // bytes per read; 0: all in one read
    QTest::newRow("one read") << 0;
    QTest::newRow("byte by byte") << 1;
    QTest::newRow("7 bytes") << 7;
    QTest::newRow("header size") << 25;
    QTest::newRow("odd") << 33;
}

void TestSession::splitAndMergedReads() {
    QFETCH(int, chunk);
    Probe bob(Role::Answerer);
    QByteArray stream = Msg(CmdLogin, QByteArray("PASS\0Pat", 8));
    QStringList expected;
    for (int k = 0; k < 20; ++k) {
        const QByteArray text = QByteArray("line ") + QByteArray::number(k);
        stream += Msg(CmdText, k == 7 ? QByteArray() : text);
        expected << (k == 7 ? QString() : QString::fromLatin1(text));
    }
    if (chunk == 0) {
        bob.s.Feed(stream);
    } else {
        for (qsizetype at = 0; at < stream.size(); at += chunk) {
            bob.s.Feed(stream.mid(at, chunk));
        }
    }
    QCOMPARE(bob.chat, expected);
    QCOMPARE(bob.sent.size(), 21); // ACPT and one acknowledgement per line
    QVERIFY(bob.closed.isEmpty()); // the call stays up however the bytes were cut
    QCOMPARE(bob.Told(CallReport::Incomplete), chunk != 0 && chunk < stream.size());
}

void TestSession::undecodableHeaders() {
    QByteArray bad = Msg(CmdText, "x");
    bad[7] = static_cast<char>(0x80); // NetID beyond the range a sender writes
    // Before login: the call is closed, no box is asked for.
    Probe stranger(Role::Answerer);
    stranger.s.Feed(bad);
    QCOMPARE(stranger.decodeFailed, 0);
    QCOMPARE(stranger.closed, QStringLiteral("10.0.0.9 sent a header that does not decode - "
                                             "call closed"));
    // After login: reported (the window shows one box at a time), and the call goes on.
    Probe bob(Role::Answerer);
    bob.s.Feed(Msg(CmdLogin, QByteArray("PASS\0Pat", 8)));
    bob.s.Feed(bad + bad);
    QCOMPARE(bob.decodeFailed, 2);
    QVERIFY(bob.s.Active());
    QCOMPARE(bob.sent.size(), 3); // ACPT, then "BC" for each: the CRC covers the header
    QVERIFY(BodyOf(bob.sent[2]).startsWith("BC"));
    // A declared length beyond one message closes the call, logged in or not.
    QByteArray huge = Msg(CmdText, "y").left(25);
    huge.replace(17, 4, EncodeLong(1000000));
    bob.s.Feed(huge);
    QVERIFY(bob.closed.contains("declaring 1000000 characters"));
}

void TestSession::nothingSentWhenBuildFails() {
    Probe caller(Role::Caller);
    Settings.Nickname = QString(kMaxBody, QLatin1Char('n'));
    caller.s.Feed(Msg(CmdLogin, "AUTH", 0));
    QVERIFY(caller.sent.isEmpty());
    QVERIFY(caller.notSent.startsWith("Login not sent: longer than one message"));

    Settings.Nickname = "Ann";
    Probe answerer(Role::Answerer);
    Settings.Nickname = QString(kMaxBody, QLatin1Char('n'));
    answerer.s.Feed(Msg(CmdLogin, QByteArray("PASS\0Pat", 8)));
    QVERIFY(answerer.sent.isEmpty());
    QCOMPARE(answerer.s.LoginFlag(), 0);
    QVERIFY(answerer.notSent.startsWith("Login not sent:"));
}

void TestSession::peerTextStaysThePeers_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("name");
    QTest::newRow("plain") << "hello"
                           << "hello"
                           << "hello";
    QTest::newRow("CR LF") << "a\r\nAnn> b"
                           << "a\n    Ann> b"
                           << "a??Ann> b";
    QTest::newRow("lone CR and LF") << "a\rb\nc"
                                    << "a\n    b\n    c"
                                    << "a?b?c";
    QTest::newRow("controls") << QString("t\tz\x01\x7f") << "t?z??"
                              << "t?z??";
    QTest::newRow("C1 control") << QString("x\u0085y") << "x?y"
                                << "x?y";
}

void TestSession::peerTextStaysThePeers() {
    QFETCH(QString, text);
    QFETCH(QString, line);
    QFETCH(QString, name);
    QCOMPARE(PeerLine(text), line);
    QCOMPARE(PeerName(text), name);
}

void TestSession::loginDeadline() {
    Settings.Timeout = 2;
    qint64 now = 0;
    Probe silent(Role::Answerer);
    Probe prompt(Role::Answerer);
    for (Probe* p : {&silent, &prompt}) {
        p->s.SetClock([&now] { return now; });
        p->s.Start(Role::Answerer, QStringLiteral("10.0.0.9"));
    }
    // A call that logs in in time is not closed later.
    prompt.s.Feed(Msg(CmdLogin, QByteArray("PASS\0Pat", 8)));
    now = 1999;
    silent.s.CheckDeadline();
    QVERIFY(silent.closed.isEmpty());
    now = 2000;
    for (Probe* p : {&silent, &prompt}) {
        p->s.CheckDeadline();
    }
    QCOMPARE(silent.closed,
             QStringLiteral("Call with 10.0.0.9 closed: not logged in within 2 seconds"));
    QVERIFY(prompt.closed.isEmpty());
    Settings.Timeout = 0;
    QCOMPARE(CallSession::LoginDeadlineSeconds(), 30);
}

void TestSession::holdsDoubleAndEnd() {
    qint64 now = 1000000;
    LoginGuard guard([&now] { return now; });
    const QString a = "10.0.0.1";
    QCOMPARE(guard.Wrong(a), false);
    QCOMPARE(guard.Wrong(a), false);
    QCOMPARE(guard.HoldMs(a), 0);
    QCOMPARE(guard.Wrong(a), true); // the third starts the hold, once
    QList<qint64> holds{guard.HoldMs(a)};
    for (int k = 0; k < 8; ++k) {
        now += holds.last();
        QCOMPARE(guard.Wrong(a), false);
        holds << guard.HoldMs(a);
    }
    QCOMPARE(holds, (QList<qint64>{1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000, 60000}));
    QCOMPARE(guard.HoldMs("10.0.0.2"), 0); // others are never held for it
    now += 60 * 60 * 1000 - 1;             // an hour, as the README promises
    QCOMPARE(guard.WrongCount(a), 11);
    now += 1; // an hour without tries
    QCOMPARE(guard.WrongCount(a), 0);
    QCOMPARE(guard.HoldMs(a), 0);
    guard.Wrong(a);
    guard.Wrong(a);
    guard.Right(a); // a right password forgets the wrong ones
    guard.Wrong(a);
    QCOMPARE(guard.HoldMs(a), 0);
}

void TestSession::heldLoginWaitsForItsTurn() {
    qint64 now = 0;
    LoginGuard guard([&now] { return now; }); // one switchboard's, shared by its calls
    Settings.LoginPassword = "pw";
    for (int k = 0; k < 3; ++k) {
        Probe guess(Role::Answerer, &guard);
        guess.s.Feed(Msg(CmdLogin, QByteArray("PASSno\0Eve", 10)));
        QVERIFY(guess.closed.startsWith("Call rejected"));
    }
    // A call opened before the hold began offers the right password: judged after 1 s.
    Probe late(Role::Answerer, &guard);
    late.s.Feed(Msg(CmdLogin, QByteArray("PASSpw\0Eve", 10)) + Msg(CmdText, "after"));
    QCOMPARE(late.s.LoginFlag(), 0);
    QVERIFY(late.sent.isEmpty());
    now += 1000;
    QTRY_COMPARE(late.s.LoginFlag(), 1);
    QCOMPARE(late.chat, QStringList{"after"}); // what came behind the login waited with it
}

void TestSession::addressKeys_data() {
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<bool>("same");
    QTest::newRow("one /64") << "2001:db8:1:2:aaaa::1"
                             << "2001:db8:1:2:bbbb:cccc:dddd:eeee" << true;
    QTest::newRow("next /64") << "2001:db8:1:2::1"
                              << "2001:db8:1:3::1" << false;
    QTest::newRow("IPv4 as mapped") << "::ffff:127.0.0.1"
                                    << "127.0.0.1" << true;
    QTest::newRow("two IPv4") << "127.0.0.1"
                              << "127.0.0.2" << false;
    QTest::newRow("loopback") << "::1"
                              << "::2" << true;
}

void TestSession::addressKeys() {
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(bool, same);
    QCOMPARE(AddressKey(a) == AddressKey(b), same);
    // A guess from anywhere in a /64 counts against all of it.
    LoginGuard guard([] { return qint64{0}; });
    for (int k = 0; k < LoginGuard::kFreeTries; ++k) {
        guard.Wrong(a);
    }
    QCOMPARE(guard.HoldMs(b) > 0, same);
}

void TestSession::guessesFromManyAddresses() {
    // 200 addresses guess as fast as they are let, 3 each, everything in parallel.
    qint64 now = 0;
    LoginGuard guard([&now] { return now; });
    struct Guesser {
        QString address;
        int tries = 0;
        LoginGuard::Ticket ticket = 0;
    };
    QList<Guesser> guessers;
    for (int k = 0; k < 200; ++k) {
        guessers.append({QStringLiteral("10.1.%1.%2").arg(k / 100).arg(k % 100), 0, 0});
    }
    int judged = 0;
    for (now = 0; now < 60 * 1000; now += 10) {
        for (Guesser& g : guessers) {
            if (g.ticket == 0 && g.tries < 3 && guard.HoldMs(g.address) == 0) {
                ++g.tries;
                if (!guard.Busy()) {
                    guard.Wrong(g.address);
                    ++judged;
                    continue;
                }
                g.ticket = guard.Queue();
            }
            if (g.ticket != 0 && guard.TurnMs(g.ticket) == 0) {
                g.ticket = 0;
                guard.Wrong(g.address);
                ++judged;
            }
        }
    }
    qInfo("guesses judged in the first minute from 200 addresses: %d", judged);
    QVERIFY(judged <= LoginGuard::kWrongPerMinute + 1 + 60);
    QVERIFY(judged > LoginGuard::kWrongPerMinute); // the slow lane still moves
    // Once they have stopped, a right password from elsewhere is judged within a second.
    for (Guesser& g : guessers) {
        guard.Leave(g.ticket);
    }
    const LoginGuard::Ticket right = guard.Queue();
    QVERIFY(guard.TurnMs(right) <= LoginGuard::kBusyGapMs);
}

QTEST_MAIN(TestSession)
#include "tst_session.moc"
