// The line table without a single widget: which line an arriving call gets, who is in a
// conference and hears whom, what Bye and closing end. Callers are Palaver calls and an old
// peer over real sockets.
#include "call/Lines.h"
#include "call/LoginGuard.h"
#include "call/Switchboard.h"
#include "settings/Settings.h"
#include "support/ScriptedPeer.h"

#include <QSignalSpy>
#include <QtTest>

#include <memory>

Q_DECLARE_METATYPE(LineEvent)

class TestLines : public QObject {
    Q_OBJECT
    std::unique_ptr<Switchboard> board;
    std::unique_ptr<Lines> lines;
    std::unique_ptr<Switchboard> callers;
    QList<LineNote> notes;
    int port = 0;

    // A Palaver caller named `nickname`; every line it hears is kept in `heard`.
    Call* Dial(const QString& nickname, QStringList* heard = nullptr) {
        Settings.Nickname = nickname; // one process: the name goes out with this PASS
        Call* call = callers->NewCall();
        if (heard != nullptr) {
            connect(call, &Call::ChatLine, call,
                    [heard](const QString&, const QString& text) { *heard << text; });
        }
        const qsizetype before = arrived.size();
        call->Place(QStringLiteral("127.0.0.1"), port);
        const bool answered = QTest::qWaitFor([&] {
            return arrived.size() > before && (call->LoginFlag() != 0 || !call->Connected());
        });
        return answered ? call : nullptr;
    }
    Call* Arrived() const { return arrived.isEmpty() ? nullptr : arrived.last(); }
    QList<Call*> arrived;

private slots:
    void init() {
        ResetSettings();
        board = std::make_unique<Switchboard>();
        lines = std::make_unique<Lines>(*board);
        callers = std::make_unique<Switchboard>();
        notes.clear();
        arrived.clear();
        connect(lines.get(), &Lines::Note, this,
                [this](int, const LineNote& note) { notes << note; });
        connect(board.get(), &Switchboard::CallArrived, this,
                [this](Call* call) { arrived << call; });
        QCOMPARE(lines->OpenBoard(), 0);
        QVERIFY(board->StartServer(0, 0).ok); // any free port
        port = board->ServerPort(0);
    }
    void cleanup() {
        callers.reset();
        lines.reset();
        board.reset();
    }

    void routing_data();
    void routing();
    void everyoneHearsEveryone_data();
    void everyoneHearsEveryone();
    void closeRules_data();
    void closeRules();
};

void TestLines::routing_data() {
    QTest::addColumn<int>("boardLines");
    QTest::addColumn<int>("linesOfLine1");
    QTest::addColumn<bool>("boardBusy");
    QTest::addColumn<int>("expected"); // the line the call gets, -1: none
    QTest::addColumn<int>("note");     // -1: nothing said
    QTest::newRow("a free switchboard answers itself") << 0 << 0 << false << 0 << -1;
    QTest::newRow("idle lines do not make it busy") << 2 << 0 << false << 0 << -1;
    QTest::newRow("a busy switchboard opens a line")
        << 1 << 0 << true << 2 << int(LineEvent::Connecting);
    QTest::newRow("ten lines taken") << 10 << 0 << true << -1 << int(LineEvent::OwnerFull);
    QTest::newRow("twenty slots taken") << 9 << 10 << true << -1 << int(LineEvent::NoFreeLine);
}

void TestLines::routing() {
    QFETCH(int, boardLines);
    QFETCH(int, linesOfLine1);
    QFETCH(bool, boardBusy);
    QFETCH(int, expected);
    QFETCH(int, note);
    QSignalSpy opened(lines.get(), &Lines::Opened);
    for (int k = 0; k < boardLines; ++k) {
        QCOMPARE(lines->OpenLine(0), k + 1);
    }
    for (int k = 0; k < linesOfLine1; ++k) {
        QVERIFY(lines->OpenLine(1) >= 0);
    }
    ScriptedPeer elsewhere;
    if (boardBusy) {
        lines->CallOf(0)->Place(QStringLiteral("127.0.0.1"), elsewhere.Listen());
        QVERIFY(elsewhere.WaitForCall());
    }
    opened.clear();
    Call* bob = Dial("Bob");
    QVERIFY(bob != nullptr);
    if (expected < 0) {
        QTRY_VERIFY(!bob->Connected()); // nowhere to show it: the call is not left up
        QVERIFY(lines->LineOf(Arrived()) < 0);
    } else {
        QCOMPARE(lines->LineOf(Arrived()), expected);
        QCOMPARE(lines->OwnerOf(expected), 0);
        QCOMPARE(opened.size(), expected == 0 ? 0 : 1);
    }
    QCOMPARE(notes.isEmpty() ? -1 : int(notes.last().event), note);
}

void TestLines::everyoneHearsEveryone_data() {
    QTest::addColumn<bool>("hear");
    QTest::newRow("members hear each other") << true;
    QTest::newRow("today's conference") << false;
}

void TestLines::everyoneHearsEveryone() {
    // Bob's call is the switchboard's own; Cat, Dan and an old peer get lines; then "Conf".
    QFETCH(bool, hear);
    board->SetMembersHearEachOther(hear);
    QStringList bobHeard;
    QStringList catHeard;
    QStringList danHeard;
    Call* bob = Dial("Bob", &bobHeard);
    Call* cat = Dial("Cat", &catHeard);
    Call* dan = Dial("Dan", &danHeard);
    QVERIFY(bob != nullptr && cat != nullptr && dan != nullptr);
    ScriptedPeer old;
    QVERIFY(old.ConnectTo(port));
    QVERIFY(old.LogIn("", "Old"));
    QTRY_COMPARE(arrived.size(), 4);
    QTRY_COMPARE(lines->Entry(0, 2), 3);
    lines->Merge(0);
    for (int line = 1; line <= 3; ++line) {
        QVERIFY(lines->IsMember(line));
        QCOMPARE(lines->LineShowing(lines->CallOf(line)), 0);
    }
    cat->SendLine("from Cat", false);
    bob->SendLine("from Bob", false);
    lines->ConferenceOf(0)->Send("sync"); // the owner speaks last
    QTRY_VERIFY(danHeard.contains("sync") && old.ChatBodies().contains("sync"));
    QTRY_VERIFY(catHeard.contains("sync"));
    QCOMPARE(old.ChatBodies().count("[Cat] from Cat"), hear ? 1 : 0);
    QCOMPARE(old.ChatBodies().count("[Bob] from Bob"), hear ? 1 : 0);
    QCOMPARE(danHeard.count("[Bob] from Bob"), hear ? 1 : 0);
    QCOMPARE(catHeard.count("[Bob] from Bob"), hear ? 1 : 0);
    QCOMPARE(catHeard.count("[Cat] from Cat"), 0); // nobody hears himself
    if (hear) {
        QTRY_COMPARE(bobHeard.count("[Cat] from Cat"), 1);
        QVERIFY(bobHeard.contains("*** Dan joined the conference"));
        QVERIFY(old.ChatBodies().first().startsWith("*** In the conference: Bob, Cat, Dan"));
    } else {
        QCOMPARE(old.ChatBodies(), QStringList{"sync"}); // exactly today's bytes
    }

    // Bye ends every call in it, and says who went.
    lines->Hangup(0);
    QTRY_VERIFY(!cat->Connected() && !dan->Connected() && !bob->Connected());
    QVERIFY(old.WaitForDisconnect());
    for (int line = 1; line <= 3; ++line) {
        QVERIFY(!lines->InUse(line));
    }
    QCOMPARE(notes.last().event, LineEvent::ConferenceEnded);
    QCOMPARE(notes.last().who, QStringLiteral("Cat, Dan, Old"));
    QVERIFY(!bobHeard.join('\n').contains("left the conference"));
}

void TestLines::closeRules_data() {
    QTest::addColumn<QString>("step");
    QTest::newRow("a line with a view keeps its switchboard open") << "viewed";
    QTest::newRow("members go when asked, viewed lines stay") << "members";
    QTest::newRow("an ended owner leaves its lines to nobody") << "orphans";
    QTest::newRow("a member whose peer leaves frees its line") << "peer leaves";
    QTest::newRow("closing a line ends its call") << "close";
}

void TestLines::closeRules() {
    QFETCH(QString, step);
    ScriptedPeer elsewhere; // the switchboard is busy: Cat gets line 1
    lines->CallOf(0)->Place(QStringLiteral("127.0.0.1"), elsewhere.Listen());
    QVERIFY(elsewhere.WaitForCall());
    Call* cat = Dial("Cat");
    QVERIFY(cat != nullptr);
    QCOMPARE(lines->LineOf(Arrived()), 1);
    if (step == "viewed") {
        QVERIFY(!lines->MayClose(0));
        QVERIFY(lines->MayClose(1));
        lines->Merge(0);
        QVERIFY(lines->MayClose(0));
    } else if (step == "members") {
        lines->Merge(0);
        QCOMPARE(lines->OpenLine(0), 2);
        lines->CloseMembers(0);
        QVERIFY(!lines->InUse(1) && lines->InUse(2));
        QVERIFY(!lines->MayClose(0));
        QTRY_VERIFY(!cat->Connected());
    } else if (step == "orphans") {
        QCOMPARE(lines->OpenLine(1), 2);
        lines->Close(1);
        QVERIFY(lines->InUse(2));
        QCOMPARE(lines->OwnerOf(2), -1);
        QCOMPARE(lines->OpenLine(0), 1); // the number again, without line 2
        QCOMPARE(lines->Entry(1, 0), -1);
    } else if (step == "peer leaves") {
        lines->Merge(0);
        cat->Hangup();
        QTRY_VERIFY(!lines->InUse(1));
        QCOMPARE(notes.last().event, LineEvent::MemberLost);
        QCOMPARE(notes.last().who, QStringLiteral("Cat"));
        QCOMPARE(lines->Entry(0, 0), -1);
    } else {
        lines->Close(1);
        QVERIFY(!lines->InUse(1));
        QTRY_VERIFY(!cat->Connected());
    }
}

QTEST_MAIN(TestLines)
#include "tst_lines.moc"
