// Two ends of a call inside one process: windows calling their own switchboard over loopback.
#include "chat/ClientWindows.h"
#include "chat/frmClient.h"
#include "platform/TcpSocket.h"
#include "settings/Settings.h"
#include "support/AppFixture.h"
#include "support/CallHelpers.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTimer>
#include <QtTest>

namespace {

// A line of the switchboard that calls it; returns the caller once both ends logged in.
frmClient* CallBoard(frmClient* board, frmClient* caller = nullptr) {
    if (caller == nullptr) {
        caller = AddLine(board);
    }
    caller->cmbIP->setEditText("127.0.0.1");
    caller->cmdConnect_Click();
    if (!QTest::qWaitFor([&] { return caller->LoginFlag() == 1; }, 5000)) {
        return nullptr;
    }
    return caller;
}

// The line window of `board` that answered an incoming call (the last one, if several).
frmClient* AnsweringLine(frmClient* board) {
    frmClient* line = nullptr;
    for (int k = 0; k < frmClient::kLines; ++k) {
        frmClient* w = board->Lines(k) >= 0 ? ClientWindows(board->Lines(k)) : nullptr;
        if (w != nullptr && !w->StartStamp().isEmpty()) {
            line = w;
        }
    }
    return line;
}

} // namespace

class TestCalls : public QObject {
    Q_OBJECT

    std::unique_ptr<AppFixture> app;

    // The switchboard of a user called Ann, with its server switched on.
    frmClient* Board() {
        app->WriteSettings("Ann\r\n");
        frmClient* board = app->Start();
        StartListening(board);
        return board;
    }

private slots:
    void init() {
        frmClient::RetryIntervalMs = 5000;
        app = std::make_unique<AppFixture>();
    }
    void cleanup() { app.reset(); }
    void handshakeChatAndAcknowledgement();
    void wrongLoginPassword();
    void mismatchedMessagePasswords();
    void conferenceOfTwoHiddenMembers();
    void byeClosesPeerLineWindow();
    void retriesAgainstNobody();
    void callWhileRetryingGoesToNewLine();
    void retriesGoWhereTheyWereAsked();
    void breakQuestion();
    void peerClosesWhileBreakQuestionIsUp();
    void sendWhileConnecting();
    void tooLongLineKeptInSendBox();
    void addressBox();
    void ipv6Call();
    void layersThroughTwoWindows_data();
    void layersThroughTwoWindows();
    void addressListLimit();
    void answeringLineLabels();
};

void TestCalls::handshakeChatAndAcknowledgement() {
    frmClient* board = Board();
    frmClient* caller = CallBoard(board);
    QVERIFY(caller != nullptr);
    QTRY_COMPARE(board->LoginFlag(), 1);
    // The idle switchboard answered the call itself.
    QVERIFY(!board->StartStamp().isEmpty());
    QCOMPARE(std::count(WindowInUse.begin(), WindowInUse.end(), 1), 2);
    QVERIFY(LogText(board).contains("Incomming call from 127.0.0.1\n"));
    QVERIFY(LogText(board).contains(QRegularExpression("\nAnn connected at [^\n]+\n\n")));
    QVERIFY(LogText(caller).contains(QRegularExpression("Ann connected at [^\n]+\n\n")));
    QCOMPARE(board->lblConn->text(), QStringLiteral(" Ann"));
    QCOMPARE(caller->lblConn->text(), QStringLiteral(" Ann"));
    QCOMPARE(caller->lblConnIP->text(), QStringLiteral("127.0.0.1"));
    QCOMPARE(caller->Timer1()->isActive(), false);

    Type(caller, "hello there");
    QVERIFY(LogText(caller).endsWith("Ann> hello there\n"));
    QCOMPARE(caller->txtSend->toPlainText(), QStringLiteral("hello there")); // until the ack
    QTRY_VERIFY(LogText(board).endsWith("Ann: hello there\n"));
    QTRY_VERIFY(caller->txtSend->toPlainText().isEmpty());
    const QString hex = QString::number(caller->Outgoing().crc(), 16).toUpper();
    QCOMPARE(caller->lblStatus->text(), " CRC OK (" + hex + ")");

    // And the other way.
    Type(board, "hi back");
    QTRY_VERIFY(LogText(caller).endsWith("Ann: hi back\n"));
    QTRY_VERIFY(board->txtSend->toPlainText().isEmpty());
    QVERIFY(board->lblStatus->text().startsWith(" CRC OK ("));

    // Enter in an empty box does nothing and never inserts a line break.
    const QString before = LogText(caller);
    QCOMPARE(caller->txtSend_KeyPress(13), 0);
    QCOMPARE(LogText(caller), before);
    QCOMPARE(caller->txtSend_KeyPress('a'), int('a'));
}

void TestCalls::wrongLoginPassword() {
    frmClient* board = Board();
    Settings.LoginPassword = "Secret";
    // The switchboard calls its own server; its call is busy, so a line window answers.
    // One process shares one password: it is changed after the caller has sent PASS.
    QObject::connect(board->sckClient(), &platform::TcpSocket::DataArrival, board,
                     [] { Settings.LoginPassword = "secret"; });
    board->cmbIP->setEditText("127.0.0.1");
    board->cmdConnect_Click();
    QTRY_VERIFY(LogText(board).contains("Call rejected - Bad Password? - 127.0.0.1"));
    QCOMPARE(board->lblStatus->text(), QStringLiteral(" Connection closed with 127.0.0.1"));
    QCOMPARE(board->LoginFlag(), 0);
    // The line window that answered goes away; its owner keeps the reason.
    QVERIFY(LogText(board).contains("Call rejected from 127.0.0.1 - Invalid Login Password"));
    QTRY_VERIFY(ClientWindows(1) == nullptr);
    QCOMPARE(WindowInUse[1], 0);
    QCOMPARE(board->Lines(0), -1);
}

void TestCalls::mismatchedMessagePasswords() {
    frmClient* board = Board();
    Settings.Passwords[1] = "one";
    frmClient* caller = CallBoard(board);
    QVERIFY(caller != nullptr);
    Type(caller, "garbled?");
    Settings.Passwords[1] = "two"; // the receiver now deciphers with another password
    QTRY_VERIFY(LogText(board).contains("Bad Message CRC - May be mismatched passwords"));
    QVERIFY(!LogText(board).contains(": garbled?"));
    QTRY_VERIFY(LogText(caller).contains("CRC BAD U="));
    QVERIFY(LogText(caller).contains("\nShould Resending Message\n"));
    QCOMPARE(caller->txtSend->toPlainText(), QStringLiteral("garbled?"));
}

void TestCalls::conferenceOfTwoHiddenMembers() {
    frmClient* board = Board();
    // Three callers that are not the switchboard's lines: lines of a line that has gone.
    frmClient* holder = AddLine(board);
    frmClient* c1 = AddLine(holder);
    frmClient* c2 = AddLine(holder);
    frmClient* c3 = AddLine(holder);
    QVERIFY(holder->Unload());
    QVERIFY(CallBoard(board, c1) != nullptr); // answered by the switchboard itself
    QVERIFY(CallBoard(board, c2) != nullptr); // a new line window
    QTRY_VERIFY(LogText(board).contains("*** Connecting 127.0.0.1 to line #"));
    QVERIFY(CallBoard(board, c3) != nullptr);
    QList<frmClient*> members;
    for (int k = 0; k < frmClient::kLines; ++k) {
        if (board->Lines(k) >= 0) {
            members << ClientWindows(board->Lines(k));
        }
    }
    QCOMPARE(members.size(), 2);
    QTRY_VERIFY(members[0]->LoginFlag() == 1 && members[1]->LoginFlag() == 1);
    // The switchboard's own caller hangs up: the switchboard has no call of its own.
    c1->cmdClose_Click();
    QTRY_VERIFY(LogText(board).contains("Lost call Ann - 127.0.0.1"));
    board->cmdConf_Click();
    QVERIFY(!members[0]->isVisible() && !members[1]->isVisible());

    Type(board, "to all");
    QVERIFY(app->boxes->texts.isEmpty());
    QCOMPARE(LogText(board).count("Ann> to all"), 1);
    QCOMPARE(LogText(members[0]).count("Ann> to all"), 1);
    QCOMPARE(LogText(members[1]).count("Ann> to all"), 1);
    QTRY_VERIFY(LogText(c2).endsWith("Ann: to all\n"));
    QTRY_VERIFY(LogText(c3).endsWith("Ann: to all\n"));
    QVERIFY(!LogText(c1).contains("to all"));
    QTRY_VERIFY(board->txtSend->toPlainText().isEmpty()); // a member's ack empties the owner's box

    // A member's incoming line shows in the switchboard too.
    Type(c2, "from c2");
    QTRY_VERIFY(LogText(board).endsWith("Ann: from c2\n"));

    // The header shows exactly who is left after each leave.
    QCOMPARE(board->lblConn->text(), QStringLiteral(" Ann, Ann"));
    c2->cmdClose_Click();
    QTRY_COMPARE(board->lblConn->text(), QStringLiteral(" Ann"));
    QCOMPARE(board->lblConnIP->text(), QStringLiteral("127.0.0.1"));
    c3->cmdClose_Click();
    QTRY_VERIFY(board->lblConn->text().isEmpty());
    QVERIFY(board->lblConnIP->text().isEmpty());
}

void TestCalls::byeClosesPeerLineWindow() {
    frmClient* board = Board();
    // The switchboard is busy with its own call, so the second call gets a line window.
    frmClient* first = CallBoard(board);
    QVERIFY(first != nullptr);
    frmClient* second = CallBoard(board);
    QVERIFY(second != nullptr);
    int lineSlot = -1;
    for (int k = 0; k < frmClient::kLines; ++k) {
        const int slot = board->Lines(k);
        if (slot >= 0 && ClientWindows(slot) != first && ClientWindows(slot) != second) {
            lineSlot = slot;
        }
    }
    QVERIFY(lineSlot > 0);
    QPointer<frmClient> line(ClientWindows(lineSlot));
    second->cmdClose_Click();
    QVERIFY(LogText(second).endsWith("Line Disconnected\n"));
    QVERIFY(second->isVisible()); // "Bye" leaves the window open
    QTRY_VERIFY(line.isNull());
    QCOMPARE(WindowInUse[static_cast<std::size_t>(lineSlot)], 0);
    QVERIFY(LogText(board).contains("Lost client call Ann - 127.0.0.1"));
}

void TestCalls::retriesAgainstNobody() {
    frmClient* board = app->Start();
    frmClient::RetryIntervalMs = 30;
    frmClient* caller = AddLine(board);
    Settings.Port = FreePort();
    caller->cmdConnect_Click(); // no address: nothing is called
    QCOMPARE(caller->lblStatus->text(), QStringLiteral(" Type or pick an address to call"));
    QVERIFY(LogText(caller).isEmpty());
    QVERIFY(!caller->Timer1()->isActive());
    caller->cmbIP->setEditText("127.0.0.1");
    caller->cmdConnect_Click();
    QCOMPARE(caller->lblConn->text(), QStringLiteral("<Unknown Name>"));
    QCOMPARE(caller->lblConnIP->text(), QStringLiteral("127.0.0.1"));
    QCOMPARE(IP, QStringLiteral("127.0.0.1"));
    QTRY_VERIFY(LogText(caller).contains("Call cancalled after 5 tries."));
    const QString calling = "Calling 127.0.0.1:" + QString::number(Settings.Port) + "...";
    QCOMPARE(LogText(caller).count(calling), 5);
    QVERIFY(caller->lblConn->text().isEmpty());
    QVERIFY(caller->lblConnIP->text().isEmpty());
    QVERIFY(!caller->Timer1()->isActive());
    QVERIFY(caller->lblStatus->text().startsWith("Error #10061 - "));
    QCOMPARE(caller->sckClient()->state(), int(platform::TcpSocket::Closed));
    QTest::qWait(100);
    QCOMPARE(LogText(caller).count(calling), 5);
    QCOMPARE(caller->Timer1()->interval(), 30);
    frmClient::RetryIntervalMs = 5000;
    frmClient* fresh = AddLine(board);
    QCOMPARE(fresh->Timer1()->interval(), 5000); // the real interval
}

void TestCalls::callWhileRetryingGoesToNewLine() {
    frmClient* board = Board();
    const int listening = Settings.Port;
    Settings.Port = FreePort(); // nobody there
    board->cmbIP->setEditText("127.0.0.1");
    board->cmdConnect_Click();
    QTRY_VERIFY(board->lblStatus->text().startsWith("Error #10061"));
    QVERIFY(board->Timer1()->isActive());
    // A call that comes in meanwhile is not put on the switchboard's own (retrying) socket.
    Settings.Port = listening;
    frmClient* caller = CallBoard(board);
    QVERIFY(caller != nullptr);
    QVERIFY(board->StartStamp().isEmpty());
    QTRY_VERIFY(LogText(board).contains("*** Connecting 127.0.0.1 to line #"));
    board->cmdClose_Click();
}

void TestCalls::retriesGoWhereTheyWereAsked() {
    frmClient* board = app->Start();
    frmClient::RetryIntervalMs = 40;
    Settings.Port = FreePort(); // nobody there
    board->cmbIP->setEditText("127.0.0.1");
    board->cmdConnect_Click();
    frmClient* other = AddLine(board);
    other->cmbIP->setEditText("127.0.0.2");
    other->cmdConnect_Click();
    QCOMPARE(IP, QStringLiteral("127.0.0.2")); // the program-wide last address
    QTRY_VERIFY(LogText(board).contains("Call cancalled after 5 tries."));
    const QString port = ":" + QString::number(Settings.Port) + "...";
    QCOMPARE(LogText(board).count("Calling 127.0.0.1" + port), 5);
    QVERIFY(!LogText(board).contains("127.0.0.2"));
    QTRY_COMPARE(LogText(other).count("Calling 127.0.0.2" + port), 5);
}

void TestCalls::breakQuestion() {
    frmClient* board = Board();
    frmClient* caller = CallBoard(board);
    QVERIFY(caller != nullptr);
    app->boxes->answers << platform::MsgResult::No;
    caller->cmdConnect_Click();
    QCOMPARE(app->boxes->texts.last(), QStringLiteral("Break current connection with Ann?"));
    QCOMPARE(app->boxes->requests.last().buttons, platform::MsgButtons::YesNo);
    QCOMPARE(caller->sckClient()->state(), int(platform::TcpSocket::Connected));
    QCOMPARE(caller->LoginFlag(), 1);
}

void TestCalls::peerClosesWhileBreakQuestionIsUp() {
    frmClient* board = Board();
    CallBoard(board); // the switchboard's own call
    frmClient* caller = CallBoard(board);
    QVERIFY(caller != nullptr);
    frmClient* line = AnsweringLine(board);
    QVERIFY(line != nullptr);
    QPointer<frmClient> guard(line);
    const int lineSlot = line->ID();
    // While the line window asks, its peer hangs up and a third caller arrives: the window
    // must not go under the box, and its slot must not be handed to the newcomer.
    frmClient* third = nullptr;
    app->boxes->onShow = [&](const platform::MessageRequest&) {
        caller->cmdClose_Click();
        // Events run while the box is up, as in a real nested loop, until the close arrived.
        QVERIFY(QTest::qWaitFor([&] {
            return guard.isNull() || line->sckClient()->state() == platform::TcpSocket::Closed;
        }));
        QTest::qWait(20);
        QVERIFY(!guard.isNull());
        third = CallBoard(board);
        QVERIFY(third != nullptr);
        QCOMPARE(ClientWindows(lineSlot), line);
        QCOMPARE(WindowInUse[static_cast<std::size_t>(lineSlot)], 1);
    };
    line->cmbIP->setEditText("127.0.0.1");
    line->cmdConnect_Click();
    QCOMPARE(app->boxes->texts.size(), 1);
    QVERIFY(!LogText(line).contains("Calling")); // nothing was called after the box
    QTRY_VERIFY(guard.isNull());                 // closed once the box was answered
    QVERIFY(LogText(board).contains("Lost client call"));
    QCOMPARE(WindowInUse[static_cast<std::size_t>(lineSlot)], 0);
    QCOMPARE(third->LoginFlag(), 1);
}

void TestCalls::sendWhileConnecting() {
    frmClient* board = Board();
    frmClient* caller = AddLine(board);
    caller->cmbIP->setEditText("localhost");
    caller->cmdConnect_Click();
    QVERIFY(caller->sckClient()->state() != platform::TcpSocket::Connected);
    Type(caller, "too early");
    QVERIFY(LogText(caller).endsWith("Ann> too early\n"));
    QCOMPARE(caller->lblStatus->text(), QStringLiteral(" Not sent: the call is not connected yet"));
    QCOMPARE(caller->txtSend->toPlainText(), QStringLiteral("too early"));
    QTRY_COMPARE(caller->LoginFlag(), 1); // the call still goes through

    // A line without a call echoes and sends nothing, without a warning.
    frmClient* idle = AddLine(board);
    Type(idle, "nobody");
    QVERIFY(LogText(idle).endsWith("Ann> nobody\n"));
    QVERIFY(app->boxes->texts.isEmpty());
}

void TestCalls::tooLongLineKeptInSendBox() {
    frmClient* board = Board();
    frmClient* caller = CallBoard(board);
    QVERIFY(caller != nullptr);
    const QString longText(32747, 'x');
    Type(caller, longText);
    QVERIFY(caller->lblStatus->text().contains("32746"));
    QCOMPARE(caller->txtSend->toPlainText(), longText);
    QVERIFY(!LogText(caller).contains("xxxx"));
    // The longest line that fits goes through whole.
    Type(caller, QString(32746, 'y'));
    QTRY_VERIFY(LogText(board).contains(": " + QString(32746, 'y')));
}

void TestCalls::addressBox() {
    app->WriteSettings("n\r\n\r\n7000\r\n0\r\n 1 \r\nhost1\r\n");
    frmClient* board = app->Start();
    board->cmbIP->setEditText("host1");
    board->cmbIP_KeyPress(13);
    QCOMPARE(board->cmbIP->count(), 1);
    board->cmbIP->setEditText("host2");
    QTest::keyClick(board->cmbIP->lineEdit(), Qt::Key_Return);
    QCOMPARE(board->cmbIP->count(), 2);
    QCOMPARE(board->cmbIP->currentIndex(), 1);
    QCOMPARE(board->cmbIP->currentText(), QStringLiteral("host2"));
    QCOMPARE(board->lblStatus->text(), QStringLiteral("host2 Added "));
    QCOMPARE(Settings.AddressCount, 2);
    board->cmbIP->setCurrentIndex(0);
    QTest::keyClick(board->cmbIP->lineEdit(), Qt::Key_Escape);
    QCOMPARE(board->lblStatus->text(), QStringLiteral("host1 Removed "));
    QCOMPARE(board->cmbIP->count(), 1);
    QCOMPARE(Settings.AddressCount, 2); // the shared list keeps it
    frmClient* later = AddLine(board);
    QCOMPARE(later->cmbIP->count(), 2);
    QCOMPARE(later->cmbIP->itemText(0), QStringLiteral("host1"));
    QCOMPARE(later->cmbIP->itemText(1), QStringLiteral("host2"));
    // Enter in the send box, as typed, sends; it never adds a line break.
    QTest::keyClicks(later->txtSend, "abc");
    QTest::keyClick(later->txtSend, Qt::Key_Return);
    QCOMPARE(later->txtSend->toPlainText(), QStringLiteral("abc"));
    QVERIFY(LogText(later).endsWith("> abc\n"));
}

void TestCalls::layersThroughTwoWindows_data() {
    QTest::addColumn<QStringList>("passwords");
    QTest::addColumn<QString>("level");
    QTest::newRow("0") << QStringList{"", "", "", "", ""} << "None";
    QTest::newRow("1") << QStringList{"a", "", "", "", ""} << "Lowest";
    QTest::newRow("only 5") << QStringList{"", "", "", "", "e"} << "Lowest";
    QTest::newRow("2 with a gap") << QStringList{"a", "", "c", "", ""} << "Low";
    QTest::newRow("3 with gaps") << QStringList{"a", "", "c", "", "e"} << "Mid";
    QTest::newRow("4") << QStringList{"a", "b", "c", "d", ""} << "High";
    QTest::newRow("5") << QStringList{"a", "b", "c", "d", "e"} << "Highest";
}

void TestCalls::layersThroughTwoWindows() {
    QFETCH(QStringList, passwords);
    QFETCH(QString, level);
    frmClient* board = Board();
    for (int k = 1; k <= 5; ++k) {
        Settings.Passwords[static_cast<std::size_t>(k)] = passwords[k - 1];
    }
    RefreshAllLevels();
    frmClient* caller = CallBoard(board);
    QVERIFY(caller != nullptr);
    QCOMPARE(caller->lblLevels->text(), level);
    QCOMPARE(board->lblLevels->text(), level);
    Type(caller, "through the layers");
    QTRY_VERIFY(LogText(board).endsWith("Ann: through the layers\n"));
    QTRY_VERIFY(caller->txtSend->toPlainText().isEmpty()); // acknowledged with a matching CRC
}

void TestCalls::addressListLimit() {
    QByteArray file("n\r\n\r\n7000\r\n0\r\n 100 \r\n");
    for (int k = 1; k <= 100; ++k) {
        file += "host" + QByteArray::number(k) + "\r\n";
    }
    app->WriteSettings(file);
    frmClient* board = app->Start();
    QCOMPARE(board->cmbIP->count(), 100);
    board->cmbIP->setEditText("host101");
    board->cmbIP_KeyPress(13);
    // This window keeps it; the shared list is full, so windows opened later do not get it.
    QCOMPARE(board->cmbIP->count(), 101);
    QCOMPARE(board->lblStatus->text(), QStringLiteral("host101 Added "));
    QCOMPARE(Settings.AddressCount, 100);
    frmClient* later = AddLine(board);
    QCOMPARE(later->cmbIP->count(), 100);
    QCOMPARE(later->cmbIP->findText("host101"), -1);
    QCOMPARE(later->cmbIP->itemText(99), QStringLiteral("host100"));
}

void TestCalls::answeringLineLabels() {
    frmClient* board = Board();
    QVERIFY(CallBoard(board) != nullptr); // the switchboard's own call
    frmClient* caller = CallBoard(board);
    QVERIFY(caller != nullptr);
    frmClient* line = AnsweringLine(board);
    QVERIFY(line != nullptr);
    QTRY_COMPARE(line->LoginFlag(), 1);
    QCOMPARE(line->lblConn->text(), QStringLiteral(" Ann"));
    QCOMPARE(line->lblConnIP->text(), QStringLiteral("127.0.0.1"));
    QCOMPARE(line->Nickname(), QStringLiteral("Ann"));
    QCOMPARE(line->windowTitle(), "Palaver - Ann  (Line #" + QString::number(line->ID() + 1) + ")");
    // Bye on the calling side empties its labels and closes the answering line.
    QPointer<frmClient> guard(line);
    caller->cmdClose_Click();
    QVERIFY(caller->lblConn->text().isEmpty());
    QVERIFY(caller->lblConnIP->text().isEmpty());
    QVERIFY(caller->Nickname().isEmpty());
    QTRY_VERIFY(guard.isNull());
}

void TestCalls::ipv6Call() {
    frmClient* board = Board();
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHostIPv6, 0)) {
        QSKIP("no IPv6 loopback here");
    }
    frmClient* caller = AddLine(board);
    caller->cmbIP->setEditText("::1");
    caller->cmdConnect_Click();
    QTRY_COMPARE(caller->LoginFlag(), 1);
    QCOMPARE(board->lblConnIP->text(), QStringLiteral("::1"));
}

QTEST_MAIN(TestCalls)
#include "tst_calls.moc"
