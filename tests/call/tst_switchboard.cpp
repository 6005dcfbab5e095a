// The call model without a single widget: a switchboard listening, its line table, Palaver
// callers and scripted peers that know only the old rules, over real sockets.
#include "call/Lines.h"
#include "call/LoginGuard.h"
#include "call/Switchboard.h"
#include "platform/Text1252.h"
#include "protocol/NetCodec.h"
#include "settings/Settings.h"
#include "support/ScriptedPeer.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include <memory>

namespace {

int FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::Any, 0);
    return probe.serverPort();
}

// A Palaver caller of its own, named as it logs in, with every line it hears kept.
struct Member {
    Call* call = nullptr;
    QStringList heard;
};

} // namespace

class TestSwitchboard : public QObject {
    Q_OBJECT
    std::unique_ptr<Switchboard> owner;
    std::unique_ptr<Switchboard> callers;
    // The owner's line table, its switchboard line open, and what it said.
    std::unique_ptr<Lines> lines;
    QList<LineNote> notes;
    QList<Call*> arrived;
    int port = 0;

    // A Palaver caller named `nickname`, logged in and handed over to the owner.
    Member* Join(QList<Member>& members, const QString& nickname) {
        Settings.Nickname = nickname; // one process: the name goes out with this PASS
        members.append(Member{callers->NewCall(), {}});
        Member* m = &members.last();
        QObject::connect(m->call, &Call::ChatLine, m->call,
                         [m](const QString&, const QString& text) { m->heard << text; });
        const qsizetype before = arrived.size();
        m->call->Place(QStringLiteral("127.0.0.1"), port);
        // Logged in, or closed by an owner with no line for it.
        if (!QTest::qWaitFor([&] {
                return arrived.size() > before && (m->call->LoginFlag() || !m->call->Connected());
            })) {
            return nullptr;
        }
        return m;
    }

private slots:
    void init() {
        ResetSettings();
        owner = std::make_unique<Switchboard>();
        callers = std::make_unique<Switchboard>();
        lines = std::make_unique<Lines>(*owner);
        QCOMPARE(lines->OpenBoard(), 0);
        notes.clear();
        connect(lines.get(), &Lines::Note, this,
                [this](int, const LineNote& note) { notes << note; });
        arrived.clear();
        connect(owner.get(), &Switchboard::CallArrived, this,
                [this](Call* call) { arrived.append(call); });
        port = FreePort();
        QVERIFY(owner->StartServer(0, port).ok);
    }
    void cleanup() {
        callers.reset();
        lines.reset();
        owner.reset();
    }

    void serverAndPlacedCalls();
    void relay_data();
    void relay();
    void writeOverTheCapIsNotSent();
    void everyScript_data();
    void everyScript();
    void hostileText_data();
    void hostileText();
    void routing_data();
    void routing();
    void everyoneHearsEveryone_data();
    void everyoneHearsEveryone();
    void closeRules_data();
    void closeRules();
};

void TestSwitchboard::serverAndPlacedCalls() {
    // Listening is reported with where; a second listener on the same port fails with a
    // number and a reason, and nothing of it is left listening.
    QCOMPARE(owner->ServerState(0), int(platform::TcpSocket::Listening));
    QCOMPARE(owner->ServerPort(0), port);
    const Switchboard::Started clash = callers->StartServer(0, port);
    QVERIFY(!clash.ok && clash.errorNumber != 0 && !clash.error.isEmpty());
    QVERIFY(callers->ServerState(0) != int(platform::TcpSocket::Listening));

    // Every call gets a number of its own and is found by it.
    QList<Member> members;
    Member* bob = Join(members, "Bob");
    QVERIFY(bob != nullptr);
    QCOMPARE(arrived.size(), 1);
    QVERIFY(arrived[0]->Id() != 0);
    QCOMPARE(owner->Find(arrived[0]->Id()), arrived[0]);
    QCOMPARE(arrived[0]->Nickname(), QStringLiteral("Bob"));

    // Placing a new call ends the last one's login at once: nothing is sent as logged in.
    bob->call->Place(QStringLiteral("127.0.0.1"), FreePort());
    QCOMPARE(int(bob->call->LoginFlag()), 0);
    QSignalSpy echoes(bob->call, &Call::Echo);
    QCOMPARE(bob->call->SendLine("日本 after"), Call::SendResult::Connecting);
    QCOMPARE(echoes[0][0].toString(), QStringLiteral("日本 after")); // no peer: as typed

    // Stopped: says where it stopped, and a second stop says nothing was listening.
    QVERIFY(!owner->StopServer(0).isEmpty());
    QVERIFY(owner->StopServer(0).isEmpty());
}

void TestSwitchboard::relay_data() {
    QTest::addColumn<bool>("hear");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("leaveMidLine");
    QTest::newRow("a line to all") << true << "hello" << false;
    QTest::newRow("a line break") << true << "one\r\nCat: I owe Bob 100" << false;
    QTest::newRow("5,000 characters") << true << QString(5000, QLatin1Char('x')) << false;
    QTest::newRow("a member leaves mid-line") << true << "still there?" << true;
    QTest::newRow("members do not hear each other") << false << "hello" << false;
}

void TestSwitchboard::relay() {
    QFETCH(bool, hear);
    QFETCH(QString, text);
    QFETCH(bool, leaveMidLine);
    owner->SetMembersHearEachOther(hear);
    QList<Member> members;
    members.reserve(3);
    for (const char* name : {"Bob", "Cat", "Dan"}) {
        QVERIFY(Join(members, QString::fromLatin1(name)) != nullptr);
    }
    ScriptedPeer old; // knows only the old rules
    QVERIFY(old.ConnectTo(port));
    QVERIFY(old.LogIn("", "Old"));
    QTRY_COMPARE(arrived.size(), 4);
    Conference* conference = owner->NewConference();
    QSignalSpy lines(conference, &Conference::MemberLine);
    for (Call* call : arrived) {
        conference->Add(call);
    }
    conference->Add(arrived[0]); // already there: still one Bob
    QCOMPARE(conference->Names(), QStringList({"Bob", "Cat", "Dan", "Old"}));

    if (leaveMidLine) {
        members[1].call->Hangup(); // Cat goes while Bob's line is on its way
    }
    members[0].call->SendLine(text, false);
    QTRY_COMPARE(lines.size(), 1);
    QCOMPARE(lines[0][1].toString(), QStringLiteral("Bob"));
    // The owner speaks last; once everyone has that, whatever Bob's line caused is there.
    conference->Send("sync");
    QTRY_VERIFY(members[2].heard.contains("sync"));
    QTRY_VERIFY(old.ChatBodies().contains("sync"));
    if (leaveMidLine) {
        QTRY_VERIFY(members[2].heard.contains("*** Cat left the conference"));
    } else {
        QTRY_VERIFY(members[1].heard.contains("sync"));
    }

    const QString relayed = "[Bob] " + PeerLine(text);
    const QStringList oldHeard = old.ChatBodies();
    if (!hear) {
        // Today's conference exactly: the old peer gets the owner's line and nothing else.
        QCOMPARE(oldHeard, QStringList{"sync"});
        QCOMPARE(members[2].heard, QStringList{"sync"});
        return;
    }
    // Every other member hears Bob's line once, with his name first; Bob never hears it.
    QCOMPARE(oldHeard.count(relayed), 1);
    QCOMPARE(members[2].heard.count(PeerLine(relayed)), 1);
    QCOMPARE(int(members[1].heard.count(PeerLine(relayed))), leaveMidLine ? 0 : 1);
    QVERIFY(!members[0].heard.join('\n').contains(text.left(10)));
    // A line break stays inside Bob's line: what follows it is indented, never a new line
    // that could be taken for Cat's.
    for (const QString& part : relayed.split('\n').mid(1)) {
        QVERIFY(part.startsWith(' '));
    }
    // Joins were told to those already there.
    QVERIFY(oldHeard.first().startsWith("*** In the conference: Bob, Cat, Dan"));
    QVERIFY(members[0].heard.contains("*** Old joined the conference"));
}

void TestSwitchboard::writeOverTheCapIsNotSent() {
    // A peer that does not read: the write over the cap is reported as dropped, not sent.
    owner->limits.maxPendingWrite = 64 * 1024;
    ScriptedPeer bob;
    QVERIFY(bob.ConnectTo(port));
    QVERIFY(bob.LogIn("", "Bob"));
    QTRY_COMPARE(arrived.size(), 1);
    Call* call = arrived[0];
    QSignalSpy dropped(call, &Call::Dropped);
    Call::SendResult last = Call::SendResult::Sent;
    // Past what the kernel takes on loopback, the rest waits in the call and counts.
    for (int k = 0; k < 1024 && last == Call::SendResult::Sent; ++k) {
        last = call->SendLine(QString(30000, QLatin1Char('z')) + QString::number(k));
    }
    QCOMPARE(last, Call::SendResult::Dropped);
    QCOMPARE(dropped.size(), 1);
    QVERIFY(call->Idle());
}

void TestSwitchboard::everyScript_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("lost"); // characters an old peer's code page cannot hold
    QTest::newRow("Latin-1") << QString("Ça va? café naïve Grüße") << 0;
    QTest::newRow("CJK") << QString("日本語 中文 한국어") << 8;
    QTest::newRow("emoji, skin tones, joiners")
        << QString("🎉 👍🏽 👩‍👩‍👧 🏳️‍🌈") << 12;
    QTest::newRow("Arabic and Hebrew") << QString("مرحبا שלום") << 9;
    QTest::newRow("combining marks") << QString("e\u0301 a\u0308 Z\u0335") << 3;
    QTest::newRow("5,000 characters of CJK") << QString(5000, QChar(0x6F22)) << 5000;
}

void TestSwitchboard::everyScript() {
    // Between two copies every script arrives as written; an old peer gets the code page's
    // bytes exactly, and the sender sees what it got.
    QFETCH(QString, text);
    QFETCH(int, lost);
    QList<Member> members;
    Member* bob = Join(members, "Bøb 日本");
    QVERIFY(bob != nullptr);
    QVERIFY(bob->call->Utf8() && arrived[0]->Utf8());
    QCOMPARE(arrived[0]->Nickname(), QStringLiteral("Bøb 日本"));
    QSignalSpy lines(arrived[0], &Call::ChatLine);
    QCOMPARE(bob->call->SendLine(text), Call::SendResult::Sent);
    QTRY_COMPARE(lines.size(), 1);
    QCOMPARE(lines[0][1].toString(), text);

    ScriptedPeer old;
    QVERIFY(old.ConnectTo(port));
    QVERIFY(old.LogIn("", "Old"));
    QTRY_COMPARE(arrived.size(), 2);
    Call* toOld = arrived[1];
    QVERIFY(!toOld->Utf8());
    QSignalSpy echoes(toOld, &Call::Echo);
    QList<CallReport> status;
    connect(toOld, &Call::Reported, this, [&status](const CallReport& r) { status << r; });
    QCOMPARE(toOld->SendLine(text), Call::SendResult::Sent);
    QVERIFY(old.WaitForMessages(3)); // AUTH, ACPT, the line
    QCOMPARE(old.Messages()[2].body, platform::ToAnsi(text));
    QCOMPARE(echoes[0][0].toString(), platform::FromAnsi(platform::ToAnsi(text)));
    QCOMPARE(status.size(), lost > 0 ? 1 : 0);
    if (lost > 0) {
        QCOMPARE(status[0].kind, CallReport::LostCharacters);
        QCOMPARE(status[0].number, lost);
        QCOMPARE(status[0].who, QStringLiteral("Old"));
    }
    // A conference tells its owner what its old member lost, and only that member.
    Conference* conference = owner->NewConference();
    conference->Add(arrived[0]);
    conference->Add(toOld);
    QList<CallReport> told;
    connect(conference, &Conference::MemberReported, this,
            [&told](const CallReport& r) { told << r; });
    conference->Send(text);
    QCOMPARE(told.size(), lost > 0 ? 1 : 0);
    // It saw one login body it did not know, the offer, and nothing else new.
    old.seeOffers = true;
    QCOMPARE(old.Messages()[0].body, CallSession::kOffer);
    QCOMPARE(old.Messages()[1].body, QByteArray("AUTH"));
}

void TestSwitchboard::hostileText_data() {
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("nameShown");
    QTest::addColumn<QString>("lineShown");
    QTest::newRow("invalid UTF-8") << QByteArray("B\xff"
                                                 "b")
                                   << QByteArray("a\xfe\xffz") << "B\uFFFDb"
                                   << "a\uFFFD\uFFFDz";
    QTest::newRow("overlong and lone surrogate")
        << QByteArray("Bob") << QByteArray("\xc0\xaf \xed\xa0\x80") << "Bob"
        << QString("\uFFFD\uFFFD \uFFFD\uFFFD\uFFFD");
    QTest::newRow("direction override") << QByteArray("Bob\xe2\x80\xae"
                                                      "exe.txt")
                                        << QByteArray("pay \xe2\x80\xae"
                                                      "001 ")
                                        << "Bob?exe.txt"
                                        << "pay ?001 ";
    QTest::newRow("zero-width and a line break") << QByteArray("B\xe2\x80\x8b"
                                                               "ob")
                                                 << QByteArray("hi\r\nAnn: give Bob 100") << "B?ob"
                                                 << "hi\n    Ann: give Bob 100";
}

void TestSwitchboard::hostileText() {
    // A peer that asked for UTF-8 and then sends what no honest program would.
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, line);
    QFETCH(QString, nameShown);
    QFETCH(QString, lineShown);
    ScriptedPeer bob;
    QVERIFY(bob.ConnectTo(port));
    QVERIFY(bob.WaitForMessages(1));
    bob.Send(bob.Build(CmdLogin, "WANT UTF8"));
    QVERIFY(bob.LogIn("", name));
    QTRY_COMPARE(arrived.size(), 1);
    QVERIFY(arrived[0]->Utf8());
    QCOMPARE(arrived[0]->Nickname(), nameShown);
    QSignalSpy lines(arrived[0], &Call::ChatLine);
    bob.Send(bob.Build(CmdText, line));
    QTRY_COMPARE(lines.size(), 1);
    QCOMPARE(lines[0][1].toString(), lineShown);
}

void TestSwitchboard::routing_data() {
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

void TestSwitchboard::routing() {
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
    QList<Member> members;
    const Member* joined = Join(members, "Bob");
    QVERIFY(joined != nullptr);
    Call* bob = joined->call;
    if (expected < 0) {
        QTRY_VERIFY(!bob->Connected()); // nowhere to show it: the call is not left up
        QVERIFY(lines->LineOf(arrived.last()) < 0);
    } else {
        QCOMPARE(lines->LineOf(arrived.last()), expected);
        QCOMPARE(lines->OwnerOf(expected), 0);
        QCOMPARE(opened.size(), expected == 0 ? 0 : 1);
    }
    QCOMPARE(notes.isEmpty() ? -1 : int(notes.last().event), note);
}

void TestSwitchboard::everyoneHearsEveryone_data() {
    QTest::addColumn<bool>("hear");
    QTest::newRow("members hear each other") << true;
    QTest::newRow("today's conference") << false;
}

void TestSwitchboard::everyoneHearsEveryone() {
    // Bob's call is the switchboard's own; Cat, Dan and an old peer get lines; then "Conf".
    QFETCH(bool, hear);
    owner->SetMembersHearEachOther(hear);
    QList<Member> members;
    members.reserve(3);
    for (const char* name : {"Bob", "Cat", "Dan"}) {
        QVERIFY(Join(members, QString::fromLatin1(name)) != nullptr);
    }
    Call* bob = members[0].call;
    Call* cat = members[1].call;
    Call* dan = members[2].call;
    const QStringList& bobHeard = members[0].heard;
    const QStringList& catHeard = members[1].heard;
    const QStringList& danHeard = members[2].heard;
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

void TestSwitchboard::closeRules_data() {
    QTest::addColumn<QString>("step");
    QTest::newRow("a line with a view keeps its switchboard open") << "viewed";
    QTest::newRow("members go when asked, viewed lines stay") << "members";
    QTest::newRow("an ended owner leaves its lines to nobody") << "orphans";
    QTest::newRow("a member whose peer leaves frees its line") << "peer leaves";
    QTest::newRow("closing a line ends its call") << "close";
}

void TestSwitchboard::closeRules() {
    QFETCH(QString, step);
    ScriptedPeer elsewhere; // the switchboard is busy: Cat gets line 1
    lines->CallOf(0)->Place(QStringLiteral("127.0.0.1"), elsewhere.Listen());
    QVERIFY(elsewhere.WaitForCall());
    QList<Member> members;
    QVERIFY(Join(members, "Cat") != nullptr);
    Call* cat = members[0].call;
    QCOMPARE(lines->LineOf(arrived.last()), 1);
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
        QCOMPARE(lines->Entry(0, 0), -1); // the member's entry is free again
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

QTEST_GUILESS_MAIN(TestSwitchboard)
#include "tst_switchboard.moc"
