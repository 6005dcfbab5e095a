// A scripted peer that speaks raw bytes against a real window.
#include "app/Main.h"
#include "call/Switchboard.h"
#include "chat/ChatLog.h"
#include "chat/ClientWindows.h"
#include "chat/frmClient.h"
#include "history/HistoryStore.h"
#include "log/frmDebug.h"
#include "platform/TcpSocket.h"
#include "protocol/NetCodec.h"
#include "settings/Settings.h"
#include "support/AppFixture.h"
#include "support/CallHelpers.h"
#include "support/Network.h"
#include "support/ScriptedPeer.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

class TestWire : public QObject {
    Q_OBJECT

    // Every test starts with a listening switchboard and one scripted peer.
    std::unique_ptr<AppFixture> app;
    frmClient* board = nullptr;
    std::unique_ptr<ScriptedPeer> peerOwner;

    ScriptedPeer& Peer() { return *peerOwner; }
    // The peer calls the switchboard and has received its opening AUTH.
    bool Answered() { return Peer().ConnectTo(Settings.Port) && Peer().WaitForMessages(1); }
    // ... and has logged in as "Pat".
    bool LoggedIn() { return Peer().ConnectTo(Settings.Port) && Peer().LogIn("", "Pat"); }
    // The switchboard calls the peer instead, which listens.
    bool Called() {
        Settings.Port = Peer().Listen();
        Find<QComboBox>(board, "cmbIP")->setEditText("127.0.0.1");
        Click(board, "cmdConnect");
        return Peer().WaitForCall();
    }

private slots:
    void init() {
        app = std::make_unique<AppFixture>();
        app->WriteSettings("Bea\r\n");
        board = app->Start();
        StartListening(board);
        peerOwner = std::make_unique<ScriptedPeer>();
    }
    void cleanup() {
        peerOwner.reset();
        app.reset();
    }
    void exactAuthAndPassBytes();
    void lostCallComesBackInItsWindow();
    void acknowledgementsOkAndBc();
    void forcedCloseBeforeLogin();
    void callerForcedCloseBeforeLogin();
    void twoLinesInOneWrite();
    void ackAndLineInOneWrite();
    void crossingLines();
    void authToAnsweringWindowGetsNoPass();
    void acptToAnsweringWindowDoesNotLogIn();
    void passToCallerIsRefused();
    void hugeDeclaredLengthClosesCall();
    void headerInSingleByteWrites();
    void unknownCommandIsDropped();
    void otherLoginBodyIsLogged();
    void passWithoutZeroByte();
    void garbageNeverCrashes();
    void lineMarks_data();
    void lineMarks();
};

void TestWire::lineMarks_data() {
    // t: Bea types "hi" and presses Enter; o / b: Pat answers our last line OK / BC with
    // another CRC; B: BC naming our line; d: Bea types "next" in the send box, unsent;
    // l: ten seconds pass on the call's clock without an answer.
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("linesAtPat");
    QTest::addColumn<int>("firstMark");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("box"); // the send box at the end
    QTest::newRow("confirmed") << "to" << 1 << int(ChatLog::Confirmed) << " CRC OK ("
                               << "";
    QTest::newRow("refused, then sent again") << "tbt" << 2 << int(ChatLog::Refused) << ""
                                              << "hi";
    // The status line judges by the CRC an answer names, and so does the mark.
    QTest::newRow("BC naming our line") << "tB" << 1 << int(ChatLog::Confirmed) << " CRC OK ("
                                        << "";
    QTest::newRow("Enter while waiting")
        << "tt" << 1 << int(ChatLog::Waiting) << " Still waiting for Pat to confirm this line"
        << "hi";
    QTest::newRow("late") << "tl" << 1 << int(ChatLog::Late) << " Not confirmed by Pat for 10 s"
                          << "hi";
    QTest::newRow("late, then sent again") << "tlt" << 2 << int(ChatLog::Late) << ""
                                           << "hi";
    QTest::newRow("acknowledged late") << "tlo" << 1 << int(ChatLog::Confirmed) << " CRC OK ("
                                       << "";
    QTest::newRow("a draft typed meanwhile survives")
        << "tdo" << 1 << int(ChatLog::Confirmed) << " CRC OK ("
        << "next";
}

void TestWire::lineMarks() {
    QFETCH(QString, script);
    QFETCH(int, linesAtPat);
    QFETCH(int, firstMark);
    QFETCH(QString, status);
    QFETCH(QString, box);
    qint64 now = 1000000;
    ClientWindows().limits.clock = [&now] { return now; }; // the answered call's clock
    ScriptedPeer& peer = Peer();
    QVERIFY(LoggedIn());
    QTRY_COMPARE(board->LoginFlag(), 1);
    // The security label's longest word reads whole at the window's smallest size.
    auto* secure = Find<QLabel>(board, "lblSecure");
    QCOMPARE(secure->text(), QStringLiteral("Not encrypted"));
    QVERIFY(QFontMetrics(secure->font()).horizontalAdvance(secure->text()) <=
            secure->contentsRect().width());
    auto* log = Find<ChatLog>(board, "txtLog");
    const auto ourLines = [&peer] {
        QList<WireMessage> out;
        for (const WireMessage& m : peer.Messages()) {
            if (m.cmd == CmdText) {
                out << m;
            }
        }
        return out;
    };
    for (const QChar step : script) {
        if (step == 't') {
            Type(board, "hi");
        } else if (step == 'd') {
            auto* send = Find<QPlainTextEdit>(board, "txtSend");
            send->selectAll();
            QTest::keyClicks(send, "next");
        } else if (step == 'l') {
            now += Call::kConfirmWithinMs;
            QTRY_VERIFY(log->document()->findBlockByNumber(0).isValid() &&
                        Find<QLabel>(board, "lblStatus")->text().startsWith(" Not confirmed"));
        } else {
            QTRY_VERIFY(!ourLines().isEmpty());
            // A "BC" names the CRC of what arrived damaged, never ours.
            const std::int32_t crc = ourLines().last().crc;
            peer.Send(peer.Build(CmdAck, step == 'o'   ? "OK" + EncodeLong(crc)
                                         : step == 'B' ? "BC" + EncodeLong(crc)
                                                       : "BC" + EncodeLong(crc ^ 1)));
            QTRY_VERIFY(step != 'b' ? Find<QLabel>(board, "lblStatus")->text().startsWith(" CRC OK")
                                    : LogText(board).endsWith("Should Resending Message\n"));
        }
    }
    QTRY_COMPARE(ourLines().size(), linesAtPat);
    const QTextBlock first = log->document()->find("Bea> hi").block();
    QTRY_COMPARE(first.userState(), firstMark);
    if (!status.isEmpty()) {
        QVERIFY2(Find<QLabel>(board, "lblStatus")->text().startsWith(status),
                 qPrintable(Find<QLabel>(board, "lblStatus")->text()));
    }
    QCOMPARE(Find<QPlainTextEdit>(board, "txtSend")->toPlainText(), box);
    ClientWindows().limits.clock = nullptr;
}

void TestWire::exactAuthAndPassBytes() {
    ScriptedPeer& peer = Peer();
    QVERIFY(Answered());
    QCOMPARE(peer.Messages()[0].raw,
             QByteArray::fromHex("51563b2800000000000000000100000003040000008ad8bd0d41555448"));

    // A window that calls answers AUTH with PASS, its login password, a zero byte and its
    // nickname.
    ScriptedPeer callee;
    Settings.Port = callee.Listen();
    Settings.LoginPassword = "pw";
    frmClient* caller = AddLine(board);
    Find<QComboBox>(caller, "cmbIP")->setEditText("127.0.0.1");
    Click(caller, "cmdConnect");
    QVERIFY(callee.WaitForCall());
    // Nothing is sent on connecting: the first message to arrive answers our AUTH.
    callee.Send(callee.Build(CmdLogin, "AUTH", 0));
    QVERIFY(callee.WaitForMessages(1));
    const WireMessage pass = callee.Messages()[0];
    QCOMPARE(pass.cmd, CmdLogin);
    QCOMPARE(pass.userId, 1);
    QCOMPARE(pass.body, QByteArray("PASSpw\0Bea", 10));
    callee.Send(callee.Build(CmdLogin, "ACPTCarl"));
    QTRY_COMPARE(caller->LoginFlag(), 1);
    QCOMPARE(caller->Nickname(), QStringLiteral("Carl"));
    QCOMPARE(Find<QLabel>(caller, "lblConn")->text(), QStringLiteral(" Carl"));
}

void TestWire::acknowledgementsOkAndBc() {
    ScriptedPeer& peer = Peer();
    peer.passwords = {"k1"};
    Settings.Passwords[1] = "k1";
    QVERIFY(LoggedIn());
    QTRY_COMPARE(board->LoginFlag(), 1);
    QByteArray line = peer.Build(CmdText, "hello");
    const std::int32_t crc = DecodeLong(line.mid(21, 4));
    peer.Send(line);
    QVERIFY(peer.WaitForMessages(3));
    WireMessage ack = peer.Messages()[2];
    QCOMPARE(ack.cmd, CmdAck);
    QCOMPARE(ack.body, QByteArray("OK") + EncodeLong(crc));
    QTRY_VERIFY(LogText(board).endsWith("Pat: hello\n"));

    QByteArray damaged = peer.Build(CmdText, "world");
    damaged[27] = static_cast<char>(damaged[27] ^ 0x01);
    peer.Send(damaged);
    QVERIFY(peer.WaitForMessages(4));
    ack = peer.Messages()[3];
    QVERIFY(ack.body.startsWith("BC"));
    QCOMPARE(ack.body.size(), 6);
    QVERIFY(LogText(board).endsWith("Bad Message CRC - May be mismatched passwords\n"));

    QByteArray foreign = peer.Build(CmdText, "marker");
    foreign[0] = 'X';
    peer.Send(foreign);
    QVERIFY(peer.WaitForMessages(5));
    QVERIFY(peer.Messages()[4].body.startsWith("BC"));
    QVERIFY(LogText(board).endsWith("Incorrect or Corrupted Header\n"));
}

void TestWire::forcedCloseBeforeLogin() {
    ScriptedPeer& peer = Peer();
    QVERIFY(Answered());
    peer.Send(peer.Build(CmdText, "let me in"));
    QVERIFY(peer.WaitForDisconnect());
    QTRY_VERIFY(LogText(board).contains("127.0.0.1 forced closed due to non-auth msg"));
    QVERIFY(!LogText(board).contains("let me in"));
    QCOMPARE(CallOf(board)->SocketState(), int(platform::TcpSocket::Closed));
    QVERIFY(Find<QLabel>(board, "lblConn")->text().isEmpty());
    // The forced close is not a close by the peer: nothing of that is logged.
    QVERIFY(!LogText(board).contains("Call rejected - Bad Password?"));
}

void TestWire::callerForcedCloseBeforeLogin() {
    ScriptedPeer& callee = Peer();
    QVERIFY(Called());
    callee.Send(callee.Build(CmdAck, "OK1234"));
    QVERIFY(callee.WaitForDisconnect());
    QTRY_VERIFY(LogText(board).contains("forced closed due to non-auth msg"));
}

void TestWire::twoLinesInOneWrite() {
    ScriptedPeer& peer = Peer();
    QVERIFY(LoggedIn());
    const QByteArray first = peer.Build(CmdText, "first");
    const QByteArray second = peer.Build(CmdText, "second");
    peer.Send(first + second);
    QVERIFY(peer.WaitForMessages(4));
    QTRY_VERIFY(LogText(board).contains("Pat: first\nPat: second\n"));
    QCOMPARE(peer.Messages()[2].body, QByteArray("OK") + first.mid(21, 4));
    QCOMPARE(peer.Messages()[3].body, QByteArray("OK") + second.mid(21, 4));
    QCOMPARE(LogText(board).count("Pat: "), 2); // each line shown once

    // A line and the start of the next: the rest arrives later and completes it.
    const QByteArray third = peer.Build(CmdText, "third");
    const QByteArray fourth = peer.Build(CmdText, "fourth");
    peer.Send(third + fourth.left(10));
    QTRY_VERIFY(LogText(board).endsWith("Pat: third\n1=incomplete\n"));
    peer.Send(fourth.mid(10));
    QTRY_VERIFY(LogText(board).endsWith("Pat: fourth\n"));
}

void TestWire::ackAndLineInOneWrite() {
    ScriptedPeer& peer = Peer();
    QVERIFY(LoggedIn());
    Type(board, "question");
    QVERIFY(peer.WaitForMessages(3));
    const WireMessage line = peer.Messages()[2];
    QCOMPARE(line.body, QByteArray("question"));
    peer.Send(peer.Build(CmdAck, QByteArray("OK") + EncodeLong(line.crc)) +
              peer.Build(CmdText, "answer"));
    QTRY_VERIFY(LogText(board).endsWith("Pat: answer\n"));
    QVERIFY(Find<QPlainTextEdit>(board, "txtSend")->toPlainText().isEmpty());
    QVERIFY(Find<QLabel>(board, "lblStatus")->text().startsWith(" CRC OK ("));
}

void TestWire::crossingLines() {
    ScriptedPeer& peer = Peer();
    QVERIFY(LoggedIn());
    Type(board, "from bea");
    QVERIFY(peer.WaitForMessages(3));
    const WireMessage line = peer.Messages()[2];
    // The peer's own line reaches Bea before its acknowledgement of hers.
    peer.Send(peer.Build(CmdText, "from pat"));
    QVERIFY(peer.WaitForMessages(4)); // Bea's acknowledgement of it
    peer.Send(peer.Build(CmdAck, QByteArray("OK") + EncodeLong(line.crc)));
    QTRY_VERIFY(Find<QPlainTextEdit>(board, "txtSend")->toPlainText().isEmpty());
    QVERIFY(!LogText(board).contains("CRC BAD"));
    QCOMPARE(Find<QLabel>(board, "lblStatus")->text(),
             " CRC OK (" + QString::number(line.crc, 16).toUpper() + ")");
}

void TestWire::authToAnsweringWindowGetsNoPass() {
    Settings.LoginPassword = "do not tell";
    ScriptedPeer& peer = Peer();
    QVERIFY(Answered());
    peer.Send(peer.Build(CmdLogin, "AUTH", 0));
    QVERIFY(peer.WaitForDisconnect());
    QCOMPARE(peer.Messages().size(), 1); // only the window's own AUTH
    QVERIFY(!peer.Received().contains("do not tell"));
    QTRY_VERIFY(LogText(board).contains("127.0.0.1"));
    QVERIFY(LogText(board).contains("Call closed: 127.0.0.1 sent \"AUTH\""));
}

void TestWire::acptToAnsweringWindowDoesNotLogIn() {
    Settings.LoginPassword = "secret";
    ScriptedPeer& peer = Peer();
    QVERIFY(Answered());
    peer.Send(peer.Build(CmdLogin, "ACPTMallory") + peer.Build(CmdText, "sneaky"));
    QVERIFY(peer.WaitForDisconnect());
    QCOMPARE(board->LoginFlag(), 0);
    QVERIFY(!LogText(board).contains("sneaky"));
    QVERIFY(LogText(board).contains("Call closed: 127.0.0.1 sent \"ACPT\""));
}

void TestWire::passToCallerIsRefused() {
    ScriptedPeer& callee = Peer();
    QVERIFY(Called());
    QByteArray pass("PASS\0x", 6);
    callee.Send(callee.Build(CmdLogin, pass));
    QVERIFY(callee.WaitForDisconnect());
    QCOMPARE(board->LoginFlag(), 0);
    QVERIFY(callee.Messages().isEmpty()); // no ACPT
}

void TestWire::hugeDeclaredLengthClosesCall() {
    ScriptedPeer& peer = Peer();
    QVERIFY(LoggedIn());
    QByteArray header = peer.Build(CmdText, "x").left(25);
    header.replace(17, 4, EncodeLong(1000000));
    peer.Send(header + QByteArray(4000, 'z'));
    QVERIFY(peer.WaitForDisconnect());
    QTRY_VERIFY(LogText(board).contains("sent a message declaring 1000000 characters"));
    QCOMPARE(CallOf(board)->SocketState(), int(platform::TcpSocket::Closed));
}

void TestWire::headerInSingleByteWrites() {
    ScriptedPeer& peer = Peer();
    QVERIFY(LoggedIn());
    const QByteArray line = peer.Build(CmdText, "slowly");
    for (qsizetype k = 0; k < line.size(); ++k) {
        peer.Send(QByteArray(1, line[k]));
        if (k + 1 < line.size()) { // each byte is a read of its own
            QTRY_COMPARE(LogText(board).count("1=incomplete"), int(k + 1));
        }
    }
    QTRY_VERIFY(LogText(board).endsWith("Pat: slowly\n"));
    QCOMPARE(LogText(board).count("Pat: slowly"), 1);
    QVERIFY(LogText(board).contains("1=incomplete"));
    QVERIFY(peer.WaitForMessages(3));
}

void TestWire::unknownCommandIsDropped() {
    ScriptedPeer& peer = Peer();
    QVERIFY(LoggedIn());
    peer.Send(peer.Build(9, "future"));
    peer.Send(peer.Build(CmdText, "still here"));
    QTRY_VERIFY(LogText(board).endsWith("Pat: still here\n"));
    QVERIFY(peer.Connected());
}

void TestWire::otherLoginBodyIsLogged() {
    ScriptedPeer& peer = Peer();
    QVERIFY(Answered());
    peer.Send(peer.Build(CmdLogin, "HELLO"));
    // Before login a stranger's words go to the debug log, not to the user's.
    QTRY_VERIFY(DebugWindow()->txtLog()->toPlainText().contains("127.0.0.1+ HELLO"));
    QVERIFY(!LogText(board).contains("HELLO"));
    QVERIFY(peer.Connected());
    QCOMPARE(board->LoginFlag(), 0);
}

void TestWire::passWithoutZeroByte() {
    ScriptedPeer& peer = Peer();
    QVERIFY(Answered());
    // Checked as an empty password: accepted only while the login password is empty.
    peer.Send(peer.Build(CmdLogin, "PASSnozero"));
    QVERIFY(peer.WaitForMessages(2));
    QVERIFY(peer.Messages()[1].body.startsWith("ACPT"));
    QTRY_COMPARE(board->LoginFlag(), 1);
    QVERIFY(board->Nickname().isEmpty());
    QVERIFY(LogText(board).contains(QRegularExpression("\n connected at ")));
}

void TestWire::garbageNeverCrashes() {
    std::uint32_t x = 2463534242u;
    auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    };
    for (int round = 0; round < 40; ++round) {
        ScriptedPeer peer; // each from its own address, as a flood from one would be refused
        QVERIFY(peer.ConnectTo(Settings.Port, QStringLiteral("127.0.3.%1").arg(round + 1)));
        if (round % 2 == 0) {
            QVERIFY(peer.LogIn("", "Fuzz"));
        }
        for (int write = 0; write < 20 && peer.Connected(); ++write) {
            QByteArray junk(static_cast<int>(1 + next() % 300), Qt::Uninitialized);
            for (char& c : junk) {
                c = static_cast<char>(next());
            }
            // Sometimes a plausible header, so that bodies, acks and logins are reached.
            if (next() % 3 == 0) {
                junk.prepend(peer.Build(static_cast<std::uint8_t>(1 + next() % 3),
                                        junk.left(static_cast<int>(next() % 40))));
            }
            peer.Send(junk);
            QCoreApplication::processEvents();
        }
        QCoreApplication::processEvents();
    }
    // Still answering calls properly afterwards.
    AppFixture::CloseAll();
    board = app->Start();
    StartListening(board);
    ScriptedPeer last;
    QVERIFY(last.ConnectTo(Settings.Port));
    QVERIFY(last.LogIn("", "Calm"));
    last.Send(last.Build(CmdText, "fine"));
    QTRY_VERIFY(LogText(board).endsWith("Calm: fine\n"));
}

void TestWire::lostCallComesBackInItsWindow() {
    // Another copy, with its key, behind a network that cuts the call.
    QTemporaryDir dir;
    Switchboard other;
    other.EnableSecurity(dir.filePath("identity.pem"), dir.filePath("keys.json"));
    QStringList heard;
    QObject::connect(&other, &Switchboard::CallArrived, &other, [&](Call* c) {
        QObject::connect(c, &Call::ChatLine, &other,
                         [&](const QString&, const QString& t) { heard << t; });
    });
    const int port = FreePort();
    other.StartServer(0, port);
    Network network;
    Settings.Port = network.Listen(port);
    frmClient* line = board; // the switchboard's own call: with it down, it is not alone
    Find<QComboBox>(line, "cmbIP")->setEditText("127.0.0.1");
    Click(line, "cmdConnect");
    QTRY_VERIFY_WITH_TIMEOUT(line->LoginFlag() == 1 && CallOf(line)->Secure(), 15000);

    network.Cut();
    auto* reconnect = Find<QPushButton>(line, "cmdReconnect");
    auto* status = Find<QLabel>(line, "lblStatus");
    QTRY_VERIFY(reconnect->isVisible());
    QVERIFY2(status->text().startsWith(" Connection to Bea lost: calling again in "),
             qPrintable(status->text()));
    QVERIFY(Find<QLabel>(line, "lblSecure")->text() != QStringLiteral("Secure"));
    Click(line, "cmdStopCalling");
    QVERIFY(!reconnect->isVisible() && !CallOf(line)->Redialling());
    QCOMPARE(status->text(), QStringLiteral(" Connection to Bea lost"));

    // Lines typed meanwhile wait; one of them is deleted from the log's menu.
    Type(line, "while away");
    Type(line, "never mind");
    auto* log = Find<ChatLog>(line, "txtLog");
    const auto blockOf = [log](const QString& text) {
        for (QTextBlock b = log->document()->lastBlock(); b.isValid(); b = b.previous()) {
            if (b.text().endsWith(text)) {
                return b;
            }
        }
        return QTextBlock();
    };
    QCOMPARE(blockOf("while away").userState(), int(ChatLog::Queued));
    QTimer::singleShot(0, log, [] {
        QWidget* menu = QApplication::activePopupWidget();
        QTest::keyClick(menu, Qt::Key_Down);
        QTest::keyClick(menu, Qt::Key_Return);
    });
    // A right click as the window system delivers it, which is what opens a context menu.
    const QPoint at = log->cursorRect(QTextCursor(blockOf("never mind"))).center();
    QTest::mouseClick(line->windowHandle(), Qt::RightButton, {}, log->viewport()->mapTo(line, at));
    QCOMPARE(blockOf("never mind").userState(), int(ChatLog::NotSent));

    Click(line, "cmdReconnect");
    QTRY_VERIFY_WITH_TIMEOUT(log->toPlainText().contains("Connection to Bea is back"), 10000);
    QVERIFY(!reconnect->isVisible());
    QTRY_COMPARE(heard, QStringList{"while away"});
    QTRY_COMPARE(blockOf("while away").userState(), int(ChatLog::Confirmed));
    // One conversation in the history, through the loss, with the line confirmed.
    QTRY_VERIFY(History()->IsOpen() && History()->Flush());
    QCOMPARE(History()->Conversations().size(), 1);
    const auto kept = History()->Lines(History()->Conversations()[0].id);
    QVERIFY(std::any_of(kept.begin(), kept.end(), [](const HistoryStore::Line& l) {
        return l.text == "while away" && l.ack == 1;
    }));
}

QTEST_MAIN(TestWire)
#include "tst_wire.moc"
