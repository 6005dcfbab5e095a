// Calls that come back: two copies with a relay between them that goes silent, eats what
// one side says, cuts, or loses the answering copy altogether; every line arrives once.
#include "call/Lines.h"
#include "call/Redial.h"
#include "call/Switchboard.h"
#include "protocol/NetCodec.h"
#include "support/Copies.h"
#include "support/Network.h"
#include "support/ScriptedPeer.h"

#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

class TestComeback : public QObject {
    Q_OBJECT
private slots:
    void redialSchedule_data();
    void redialSchedule();
    void everyLineOnce_data();
    void everyLineOnce();
    void oldPeerGetsTodaysBytes();
    void keptLines_data();
    void keptLines();
};

void TestComeback::redialSchedule_data() {
    // What each dial met: d nothing yet, r a close before AUTH, p a close after the
    // password, l a call that came back and was lost again at once.
    QTest::addColumn<QString>("events");
    QTest::addColumn<QList<qint64>>("waits"); // before each dial; -1: none comes
    QTest::newRow("growing") << "ddd" << QList<qint64>{1000, 2000, 4000, 8000};
    QTest::newRow("cut again and again: three in ten seconds")
        << "lll" << QList<qint64>{1000, 1000, 1000, 8000};
    QTest::newRow("a close before AUTH waits a minute") << "r" << QList<qint64>{1000, 60000};
    QTest::newRow("a refused password is never sent again") << "p" << QList<qint64>{1000, -1};
}

void TestComeback::redialSchedule() {
    QFETCH(QString, events);
    QFETCH(QList<qint64>, waits);
    qint64 now = 0;
    Redial redial([&now] { return now; }, [] { return 0.0; });
    QCOMPARE(redial.NextInMs(), std::nullopt); // nothing was lost
    redial.Lost();
    for (qsizetype k = 0; k < waits.size(); ++k) {
        const auto next = redial.NextInMs();
        QCOMPARE(next.value_or(-1), waits[k]);
        if (!next || k >= events.size()) {
            break;
        }
        now += *next;
        redial.Dialled();
        if (events[k] == 'r') {
            redial.Refused();
        } else if (events[k] == 'p') {
            redial.PasswordRefused();
        } else if (events[k] == 'l') {
            redial.Lost();
        }
    }
    // Offline nothing is dialled; after thirty minutes it gives up.
    redial.Lost();
    redial.SetOnline(false);
    QCOMPARE(redial.NextInMs(), std::nullopt);
    redial.SetOnline(true);
    now += Redial::kGiveUpAfterMs;
    QVERIFY(redial.GaveUp());
    QCOMPARE(redial.NextInMs(), std::nullopt);
}

void TestComeback::everyLineOnce_data() {
    QTest::addColumn<QString>("trouble");
    QTest::newRow("the network goes silent") << "silent";
    QTest::newRow("the answers are eaten") << "eaten";
    QTest::newRow("the connection is cut again and again") << "cuts";
    QTest::newRow("the answering copy dies and starts again") << "restart";
}

void TestComeback::everyLineOnce() {
    QFETCH(QString, trouble);
    QTemporaryDir annDir;
    QTemporaryDir bobDir;
    const int port = FreePort();
    auto ann = std::make_unique<Copy>(annDir.path(), port);
    Copy bob(bobDir.path(), 0);
    Network network;
    Call* call = bob.board.NewCall();
    QStringList confirmed;
    QList<int> reported;
    QObject::connect(call, &Call::Reported, call,
                     [&reported](const CallReport& r) { reported << r.kind; });
    QObject::connect(call, &Call::LineConfirmed, call, [&](qint64 id, bool ok) {
        confirmed << QStringLiteral("%1%2").arg(id).arg(ok ? "" : " refused");
    });
    // The copy that dies is called directly: through the network, a copy that is not there
    // looks like one that closes before AUTH, which is waited out for a minute.
    call->Place(QStringLiteral("127.0.0.1"), trouble == "restart" ? port : network.Listen(port));
    QTRY_VERIFY_WITH_TIMEOUT(call->Secure() && call->LoginFlag() == 1, 15000);
    QTRY_COMPARE(ann->arrived.size(), 1);
    QCOMPARE(call->SendLine("one"), Call::SendResult::Sent);
    QTRY_COMPARE(confirmed.size(), 1);

    QSignalSpy lost(call, &Call::ConnectionLost);
    QSignalSpy back(call, &Call::CameBack);
    if (trouble == "silent") {
        network.GoSilent();
        QCOMPARE(call->SendLine("two"), Call::SendResult::Sent);
    } else if (trouble == "eaten") {
        network.EatAnswers();
        QCOMPARE(call->SendLine("two"), Call::SendResult::Sent);
        QTRY_VERIFY(ann->heard.contains("two"));
    } else if (trouble == "cuts") {
        for (int cut = 0; cut < 3; ++cut) {
            network.Cut();
            QTRY_VERIFY_WITH_TIMEOUT(back.size() >= cut + 1, 15000);
        }
        QCOMPARE(call->SendLine("two"), Call::SendResult::Sent);
        network.Cut();
    } else {
        ann.reset(); // gone without a word
        QTRY_VERIFY_WITH_TIMEOUT(call->Down(), 15000);
        QCOMPARE(call->SendLine("two"), Call::SendResult::Queued);
    }
    QTRY_VERIFY_WITH_TIMEOUT(call->Down(), 15000);
    QCOMPARE(call->SendLine("three"), Call::SendResult::Queued);
    QCOMPARE(call->SendLine("three"), Call::SendResult::Queued); // typed again: still one
    if (trouble == "restart") {
        ann = std::make_unique<Copy>(annDir.path(), port);
    }
    QTRY_VERIFY_WITH_TIMEOUT(!call->Down() && call->LoginFlag() == 1, 15000);
    QTRY_VERIFY(call->Ledger().Empty());
    const QStringList expected =
        trouble == "restart" ? QStringList{"two", "three"} : QStringList{"one", "two", "three"};
    QTRY_COMPARE(ann->heard, expected);
    // The caller is back in the line it was in, not in a new one.
    QCOMPARE(ann->lines.CallOf(ann->boardLine), ann->arrived.last().data());
    QVERIFY(!ann->lines.InUse(ann->boardLine + 1));
    QVERIFY(!confirmed.join(',').contains("refused"));
    QVERIFY(!reported.contains(CallReport::AckMismatch)); // lines sent again are no bad CRC
    QVERIFY(lost.size() >= 1 && back.size() >= 1);
    QCOMPARE(ann->heldBack, 0); // dialled back gently enough never to be held back
}

void TestComeback::oldPeerGetsTodaysBytes() {
    // An old answering program: it ignores the offer, asks for the password, accepts.
    QTemporaryDir bobDir;
    Copy bob(bobDir.path(), 0);
    ScriptedPeer old;
    const int port = old.Listen();
    Call* call = bob.board.NewCall();
    call->Place(QStringLiteral("127.0.0.1"), port);
    QVERIFY(old.WaitForCall());
    old.Send(old.Build(CmdLogin, "AUTH", 0));
    QVERIFY(old.WaitForMessages(1));
    old.Send(old.Build(CmdLogin, "ACPTOld"));
    QTRY_COMPARE(call->LoginFlag(), 1);
    QCOMPARE(call->SendLine("hello"), Call::SendResult::Sent);
    QVERIFY(old.WaitForMessages(2));
    call->Hangup();
    QVERIFY(old.WaitForDisconnect());
    QCOMPARE(call->Ledger().Lines().size(), 1);
    QVERIFY(call->Ledger().Lines()[0].late);

    // Called again, the unconfirmed line is not sent by itself: only when typed again.
    call->Place(QStringLiteral("127.0.0.1"), port);
    QTRY_VERIFY(call->Connected() && old.Connected());
    old.Send(old.Build(CmdLogin, "AUTH", 0));
    QVERIFY(old.WaitForMessages(3));
    old.Send(old.Build(CmdLogin, "ACPTOld"));
    QTRY_COMPARE(call->LoginFlag(), 1);
    QCOMPARE(call->SendLine("hello"), Call::SendResult::Sent);
    QVERIFY(old.WaitForMessages(4));
    // Passwords and lines: no word of the call's own, no goodbye, nothing twice.
    QStringList bodies;
    for (const WireMessage& m : old.Messages()) {
        bodies << QString::fromLatin1(m.body.left(4));
    }
    QCOMPARE(bodies, QStringList({"PASS", "hell", "PASS", "hell"}));
}

void TestComeback::keptLines_data() {
    QTest::addColumn<QByteArray>("stored"); // the file's bytes; empty: what Save wrote
    QTest::addColumn<QStringList>("read");
    QTest::newRow("kept over a restart") << QByteArray() << QStringList{"one", "two\nlines"};
    QTest::newRow("damaged") << QByteArray("[{\"number\": 1, \"text\"") << QStringList{};
    QTest::newRow("not lines") << QByteArray(R"([{"number": -4, "text": "x"}, {"text": 7}, 3])")
                               << QStringList{};
}

void TestComeback::keptLines() {
    QFETCH(QByteArray, stored);
    QFETCH(QStringList, read);
    QTemporaryDir dir;
    auto store = std::make_unique<HistoryStore>();
    QVERIFY(store->Open(dir.filePath("history.db")));
    WaitingLines keeper(store);
    KeptLines kept;
    kept.lastOut = 7;
    kept.lastIn = 3;
    for (const QString& text : {QStringLiteral("one"), QStringLiteral("two\nlines")}) {
        Outbox::Line line;
        line.text = text;
        line.number = kept.lastOut;
        kept.waiting << line;
    }
    keeper.Save("key:ab", kept);
    if (!stored.isEmpty()) {
        QVERIFY(store->SetWaiting("key:ab", {7, 3, stored}));
    }
    store = std::make_unique<HistoryStore>(); // the program starts again
    QVERIFY(store->Open(dir.filePath("history.db")));
    const KeptLines again = keeper.Load("key:ab");
    QStringList texts;
    for (const Outbox::Line& line : again.waiting) {
        texts << line.text;
    }
    QCOMPARE(texts, read);
    QCOMPARE(again.lastOut, 7);
    QCOMPARE(again.lastIn, 3);
    QVERIFY(keeper.Load("key:cd").waiting.isEmpty()); // another peer has nothing
}

QTEST_MAIN(TestComeback)
#include "tst_comeback.moc"
