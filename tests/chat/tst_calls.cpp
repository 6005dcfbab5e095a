// Two ends of a call inside one process: windows calling their own switchboard over loopback.
#include "app/Main.h"
#include "chat/ChatLog.h"
#include "chat/ClientWindows.h"
#include "chat/frmClient.h"
#include "history/HistoryStore.h"
#include "platform/TcpSocket.h"
#include "settings/Settings.h"
#include "support/AppFixture.h"
#include "support/CallHelpers.h"

#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTimer>
#include <QtTest>

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
    void init() { app = std::make_unique<AppFixture>(); }
    void cleanup() { app.reset(); }
    void handshakeChatAndAcknowledgement();
    void wrongLoginPassword();
    void mismatchedMessagePasswords();
    void conferenceOfTwoHiddenMembers_data();
    void conferenceOfTwoHiddenMembers();
    void byeClosesPeerLineWindow_data();
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
    void changedKeyIsAskedAbout();
    void markupIsText();
};

void TestCalls::changedKeyIsAskedAbout() {
    // The address was pinned to another key: no call, a question, and after Yes a call.
    frmClient* board = Board();
    Security* security = ClientWindows().Model().SecurityState();
    QVERIFY(security != nullptr && security->CanOffer());
    const QString address = KeyStore::NormalAddress("127.0.0.1", Settings.Port);
    security->keys.Pin(address, QByteArray(32, 'k'));
    app->boxes->answers << platform::MsgResult::Yes;
    frmClient* caller = board; // its call was made before the key was read
    Find<QComboBox>(caller, "cmbIP")->setEditText("127.0.0.1");
    Click(caller, "cmdConnect");
    QTRY_VERIFY(LogText(caller).contains("the key changed"));
    QTRY_VERIFY(LogText(caller).contains("is accepted; call again"));
    QCOMPARE(app->boxes->requests.last().title, QStringLiteral("Accept the new key"));
    QCOMPARE(security->keys.PinFor(address), security->identity.Fingerprint());
    QCOMPARE(SlotsInUse(), 1); // nobody answered
    Click(caller, "cmdConnect");
    QTRY_COMPARE(Find<QLabel>(caller, "lblSecure")->text(), QStringLiteral("Secure"));
}

void TestCalls::markupIsText() {
    // A nickname that would read a device until memory runs out, were it rendered.
    const QString evil = QStringLiteral("Bob<img src=\"/dev/zero\"><b>12345</b>");
    frmClient* board = Board();
    Settings.Nickname = evil;
    frmClient* caller = CallBoard(board);
    QVERIFY(caller != nullptr);
    for (frmClient* w : {board, caller}) {
        for (QLabel* label : w->findChildren<QLabel*>()) {
            QCOMPARE(label->textFormat(), Qt::PlainText);
        }
        QCOMPARE(Find<QLabel>(w, "lblConn")->text(), " " + evil);
        QVERIFY(!w->grab().isNull());
    }
    // The security label reads whole at the smallest size.
    auto* secure = Find<QLabel>(caller, "lblSecure");
    QTRY_COMPARE(secure->text(), QStringLiteral("Secure"));
    QVERIFY(QFontMetrics(secure->font()).horizontalAdvance("Secure") <=
            secure->contentsRect().width());
    // The digits stand on a line of their own, before anything the peer named itself.
    app->boxes->answers << platform::MsgResult::No;
    QTest::mouseClick(secure, Qt::LeftButton);
    const QStringList lines = app->boxes->texts.last().split('\n');
    QCOMPARE(lines.value(2), CallOf(caller)->SafetyNumber());
    QVERIFY(lines.indexOf(QRegularExpression(".*Bob<img.*")) > 2);
    // A real box shows it as text.
    const auto scripted = platform::SetMessageBoxHandler({});
    QString shown;
    QTimer::singleShot(0, [&shown] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        auto* label = box != nullptr ? box->findChild<QLabel*>("qt_msgbox_label") : nullptr;
        shown = label != nullptr && label->textFormat() == Qt::PlainText ? label->text() : "";
        if (box != nullptr) {
            box->done(QMessageBox::No);
        }
    });
    QTest::mouseClick(secure, Qt::LeftButton);
    platform::SetMessageBoxHandler(scripted);
    QVERIFY(shown.contains(evil));
}

void TestCalls::handshakeChatAndAcknowledgement() {
    frmClient* board = Board();
    frmClient* caller = CallBoard(board);
    QVERIFY(caller != nullptr);
    QTRY_COMPARE(board->LoginFlag(), 1);
    // The idle switchboard answered the call itself.
    QVERIFY(!board->StartStamp().isEmpty());
    QCOMPARE(SlotsInUse(), 2);
    QVERIFY(LogText(board).contains("Incomming call from 127.0.0.1\n"));
    QVERIFY(LogText(board).contains(QRegularExpression("\nAnn connected at [^\n]+\n\n")));
    QVERIFY(LogText(caller).contains(QRegularExpression("Ann connected at [^\n]+\n\n")));
    QCOMPARE(Find<QLabel>(board, "lblConn")->text(), QStringLiteral(" Ann"));
    QCOMPARE(Find<QLabel>(caller, "lblConn")->text(), QStringLiteral(" Ann"));
    QCOMPARE(Find<QLabel>(caller, "lblConnIP")->text(), QStringLiteral("127.0.0.1"));
    QCOMPARE(CallOf(caller)->Retrying(), false);

    // Both say the call is secure; comparing the safety number marks the key verified.
    auto* secure = Find<QLabel>(caller, "lblSecure");
    QTRY_COMPARE(secure->text(), QStringLiteral("Secure"));
    QCOMPARE(Find<QLabel>(board, "lblSecure")->text(), QStringLiteral("Secure"));
    QVERIFY(secure->toolTip().contains(CallOf(caller)->SafetyNumber()));
    app->boxes->answers << platform::MsgResult::No << platform::MsgResult::Yes;
    for (const char* after : {"Secure", "Verified"}) {
        QTest::mouseClick(secure, Qt::LeftButton);
        QVERIFY(app->boxes->texts.last().contains(CallOf(caller)->SafetyNumber()));
        QCOMPARE(secure->text(), QString::fromLatin1(after));
    }

    Type(caller, "hello there");
    QVERIFY(LogText(caller).endsWith("Ann> hello there\n"));
    QCOMPARE(Find<QPlainTextEdit>(caller, "txtSend")->toPlainText(),
             QStringLiteral("hello there")); // until the ack
    QTRY_VERIFY(LogText(board).endsWith("Ann: hello there\n"));
    QTRY_VERIFY(Find<QPlainTextEdit>(caller, "txtSend")->toPlainText().isEmpty());
    const QString hex = QString::number(CallOf(caller)->LastLineCrc(), 16).toUpper();
    // The history keeps that the call was secure, and with which key.
    QTRY_VERIFY(History()->IsOpen() && History()->Flush() && !History()->Conversations().isEmpty());
    const auto kept = History()->Conversations().first();
    QVERIFY(kept.secure);
    QCOMPARE(kept.peerKey, QString::fromLatin1(CallOf(caller)->PeerKey().toHex()));
    QCOMPARE(Find<QLabel>(caller, "lblStatus")->text(), " CRC OK (" + hex + ")");

    // And the other way.
    Type(board, "hi back");
    QTRY_VERIFY(LogText(caller).endsWith("Ann: hi back\n"));
    QTRY_VERIFY(Find<QPlainTextEdit>(board, "txtSend")->toPlainText().isEmpty());
    QVERIFY(Find<QLabel>(board, "lblStatus")->text().startsWith(" CRC OK ("));

    // Enter in an empty box does nothing and never inserts a line break.
    const QString before = LogText(caller);
    auto* send = Find<QPlainTextEdit>(caller, "txtSend");
    send->clear();
    QTest::keyClick(send, Qt::Key_Return);
    QCOMPARE(LogText(caller), before);
    QVERIFY(send->toPlainText().isEmpty());
    QTest::keyClick(send, Qt::Key_A);
    QCOMPARE(send->toPlainText(), QStringLiteral("a"));
}

void TestCalls::wrongLoginPassword() {
    frmClient* board = Board();
    Settings.LoginPassword = "Secret";
    // The switchboard calls its own server; its call is busy, so a line window answers.
    // One process shares one password: it is changed after the caller has sent PASS, which
    // goes inside TLS.
    QObject::connect(CallOf(board), &Call::ReadReported, board, [call = CallOf(board)] {
        if (call->Secure()) {
            Settings.LoginPassword = "secret";
        }
    });
    Find<QComboBox>(board, "cmbIP")->setEditText("127.0.0.1");
    Click(board, "cmdConnect");
    QTRY_VERIFY(LogText(board).contains("Call refused by 127.0.0.1: wrong login password"));
    QCOMPARE(Find<QLabel>(board, "lblStatus")->text(),
             QStringLiteral(" Connection closed with 127.0.0.1"));
    QCOMPARE(board->LoginFlag(), 0);
    // The line window that answered goes away; its owner keeps the reason.
    QVERIFY(LogText(board).contains("Call rejected from 127.0.0.1 - Invalid Login Password"));
    QTRY_VERIFY(ClientWindows(1) == nullptr);
    QCOMPARE(int(ClientWindows().InUse(1)), 0);
    QCOMPARE(ClientWindows().Line(board, 0), -1);
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
    QCOMPARE(Find<QPlainTextEdit>(caller, "txtSend")->toPlainText(), QStringLiteral("garbled?"));
}

void TestCalls::conferenceOfTwoHiddenMembers_data() {
    QTest::addColumn<QString>("end");
    QTest::newRow("members leave") << "leave";
    QTest::newRow("switchboard closed") << "close";
    QTest::newRow("Bye") << "Bye";
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
    QList<int> members;
    for (int k = 0; k < frmClient::kLines; ++k) {
        if (ClientWindows().Line(board, k) >= 0) {
            members << ClientWindows().Line(board, k);
        }
    }
    QCOMPARE(members.size(), 2);
    QTRY_VERIFY(ClientWindows(members[0])->LoginFlag() == 1 &&
                ClientWindows(members[1])->LoginFlag() == 1);
    // The switchboard's own caller hangs up: the switchboard has no call of its own.
    Click(c1, "cmdClose");
    QTRY_VERIFY(LogText(board).contains("Lost call Ann - 127.0.0.1"));
    Click(board, "cmdConf");
    // The members' windows go; their calls and slots stay, so line numbers stay too.
    QVERIFY(ClientWindows(members[0]) == nullptr && ClientWindows(members[1]) == nullptr);
    QVERIFY(ClientWindows().InUse(members[0]) && ClientWindows().InUse(members[1]));
    QCOMPARE(ClientWindows().Line(board, 0), members[0]);

    Type(board, "to all");
    QVERIFY(app->boxes->texts.isEmpty());
    QCOMPARE(LogText(board).count("Ann> to all"), 1);
    QTRY_VERIFY(LogText(c2).endsWith("Ann: to all\n"));
    QTRY_VERIFY(LogText(c3).endsWith("Ann: to all\n"));
    QVERIFY(!LogText(c1).contains("to all"));
    QTRY_VERIFY(Find<QPlainTextEdit>(board, "txtSend")
                    ->toPlainText()
                    .isEmpty()); // a member's ack empties the owner's box

    // A member's incoming line shows in the switchboard too.
    Type(c2, "from c2");
    QTRY_VERIFY(LogText(board).endsWith("Ann: from c2\n"));

    // The header shows exactly who is left after each leave, and the weakest security.
    QCOMPARE(Find<QLabel>(board, "lblConn")->text(), QStringLiteral(" Ann, Ann"));
    QCOMPARE(Find<QLabel>(board, "lblSecure")->text(), QStringLiteral("Secure"));
    QFETCH(QString, end);
    if (end == "Bye") {
        // Bye ends every member's call, and the log says so.
        const QPointer<frmClient> callers[] = {c2, c3};
        Click(board, "cmdClose");
        QVERIFY(LogText(board).endsWith("Conference ended: Ann, Ann disconnected\n"));
        // The callers' lines close as their calls end.
        QTRY_VERIFY(callers[0].isNull() && callers[1].isNull());
        QVERIFY(Find<QLabel>(board, "lblConn")->text().isEmpty());
        return;
    }
    if (end == "close") {
        // Refused while a line is open, but the members go, and the header and the send
        // path both know it.
        AddLine(board);
        QVERIFY(!board->close());
        QTRY_VERIFY(Find<QLabel>(board, "lblConn")->text().isEmpty());
        QVERIFY(Find<QLabel>(board, "lblConnIP")->text().isEmpty());
        Type(board, "anyone?");
        QCOMPARE(app->boxes->texts.last(), QStringLiteral("Your not connected to anyone"));
        return;
    }
    Click(c2, "cmdClose");
    QTRY_COMPARE(Find<QLabel>(board, "lblConn")->text(), QStringLiteral(" Ann"));
    QCOMPARE(Find<QLabel>(board, "lblConnIP")->text(), QStringLiteral("127.0.0.1"));
    Click(c3, "cmdClose");
    QTRY_VERIFY(Find<QLabel>(board, "lblConn")->text().isEmpty());
    QVERIFY(Find<QLabel>(board, "lblConnIP")->text().isEmpty());
}

void TestCalls::byeClosesPeerLineWindow_data() {
    // Every way the caller's line ends, its call ends with it.
    QTest::addColumn<QString>("how");
    QTest::newRow("Bye") << "Bye";
    QTest::newRow("the close box") << "close";
    QTest::newRow("File > Exit") << "exit";
}

void TestCalls::byeClosesPeerLineWindow() {
    QFETCH(QString, how);
    frmClient* board = Board();
    // The switchboard is busy with its own call, so the second call gets a line window.
    frmClient* first = CallBoard(board);
    QVERIFY(first != nullptr);
    frmClient* second = CallBoard(board);
    QVERIFY(second != nullptr);
    int lineSlot = -1;
    for (int k = 0; k < frmClient::kLines; ++k) {
        const int slot = ClientWindows().Line(board, k);
        if (slot >= 0 && ClientWindows(slot) != first && ClientWindows(slot) != second) {
            lineSlot = slot;
        }
    }
    QVERIFY(lineSlot > 0);
    QPointer<frmClient> line(ClientWindows(lineSlot));
    if (how == "Bye") {
        Click(second, "cmdClose");
        QVERIFY(LogText(second).endsWith("Line Disconnected\n"));
        QVERIFY(second->isVisible()); // "Bye" leaves the window open
    } else {
        const QPointer<frmClient> closing(second);
        how == "close" ? void(second->close()) : Menu(second, "mnuFile(0)");
        QTRY_VERIFY(closing.isNull());
    }
    QTRY_VERIFY(line.isNull());
    QCOMPARE(int(ClientWindows().InUse(lineSlot)), 0);
    QVERIFY(LogText(board).contains("Lost client call Ann - 127.0.0.1"));
}

void TestCalls::retriesAgainstNobody() {
    frmClient* board = app->Start();
    ClientWindows().limits.retryIntervalMs = 30;
    frmClient* caller = AddLine(board);
    Settings.Port = FreePort();
    Click(caller, "cmdConnect"); // no address: nothing is called
    QCOMPARE(Find<QLabel>(caller, "lblStatus")->text(),
             QStringLiteral(" Type or pick an address to call"));
    QVERIFY(LogText(caller).isEmpty());
    QVERIFY(!CallOf(caller)->Retrying());
    Find<QComboBox>(caller, "cmbIP")->setEditText("127.0.0.1");
    Click(caller, "cmdConnect");
    QCOMPARE(Find<QLabel>(caller, "lblConn")->text(), QStringLiteral("<Unknown Name>"));
    QCOMPARE(Find<QLabel>(caller, "lblConnIP")->text(), QStringLiteral("127.0.0.1"));
    QCOMPARE(CallOf(caller)->CallAddress(), QStringLiteral("127.0.0.1"));
    QTRY_VERIFY(LogText(caller).contains("Call cancalled after 5 tries."));
    const QString calling = "Calling 127.0.0.1:" + QString::number(Settings.Port) + "...";
    QCOMPARE(LogText(caller).count(calling), 5);
    QVERIFY(Find<QLabel>(caller, "lblConn")->text().isEmpty());
    QVERIFY(Find<QLabel>(caller, "lblConnIP")->text().isEmpty());
    QVERIFY(!CallOf(caller)->Retrying());
    QVERIFY(Find<QLabel>(caller, "lblStatus")->text().startsWith("Error #10061 - "));
    QCOMPARE(CallOf(caller)->SocketState(), int(platform::TcpSocket::Closed));
    QCOMPARE(LogText(caller).count(calling), 5); // and with no timer running, no sixth
    QCOMPARE(CallOf(caller)->RetryIntervalMs(), 30);
    ClientWindows().limits.retryIntervalMs = 5000;
    frmClient* fresh = AddLine(board);
    QCOMPARE(CallOf(fresh)->RetryIntervalMs(), 5000); // the real interval
}

void TestCalls::callWhileRetryingGoesToNewLine() {
    frmClient* board = Board();
    const int listening = Settings.Port;
    Settings.Port = FreePort(); // nobody there
    Find<QComboBox>(board, "cmbIP")->setEditText("127.0.0.1");
    Click(board, "cmdConnect");
    QTRY_VERIFY(Find<QLabel>(board, "lblStatus")->text().startsWith("Error #10061"));
    QVERIFY(CallOf(board)->Retrying());
    // A call that comes in meanwhile is not put on the switchboard's own (retrying) socket.
    Settings.Port = listening;
    frmClient* caller = CallBoard(board);
    QVERIFY(caller != nullptr);
    QVERIFY(board->StartStamp().isEmpty());
    QTRY_VERIFY(LogText(board).contains("*** Connecting 127.0.0.1 to line #"));
    Click(board, "cmdClose");
}

void TestCalls::retriesGoWhereTheyWereAsked() {
    ClientWindows().limits.retryIntervalMs = 40;
    frmClient* board = app->Start();
    // Nobody there, and held so that no test running beside this one listens there.
    QTcpSocket held;
    QVERIFY(held.bind(QHostAddress::Any, 0, QAbstractSocket::DontShareAddress));
    Settings.Port = held.localPort();
    Find<QComboBox>(board, "cmbIP")->setEditText("127.0.0.1");
    Click(board, "cmdConnect");
    frmClient* other = AddLine(board);
    Find<QComboBox>(other, "cmbIP")->setEditText("127.0.0.2");
    Click(other, "cmdConnect");
    QCOMPARE(CallOf(other)->CallAddress(), QStringLiteral("127.0.0.2"));
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
    Click(caller, "cmdConnect");
    QCOMPARE(app->boxes->texts.last(), QStringLiteral("Break current connection with Ann?"));
    QCOMPARE(app->boxes->requests.last().buttons, platform::MsgButtons::YesNo);
    QCOMPARE(CallOf(caller)->SocketState(), int(platform::TcpSocket::Connected));
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
        Click(caller, "cmdClose");
        // Events run while the box is up, as in a real nested loop, until the close arrived.
        QVERIFY(QTest::qWaitFor([&] {
            return guard.isNull() || CallOf(line)->SocketState() == platform::TcpSocket::Closed;
        }));
        QCoreApplication::processEvents();
        QVERIFY(!guard.isNull());
        third = CallBoard(board);
        QVERIFY(third != nullptr);
        QCOMPARE(ClientWindows(lineSlot), line);
        QCOMPARE(int(ClientWindows().InUse(lineSlot)), 1);
    };
    Find<QComboBox>(line, "cmbIP")->setEditText("127.0.0.1");
    Click(line, "cmdConnect");
    QCOMPARE(app->boxes->texts.size(), 1);
    QVERIFY(!LogText(line).contains("Calling")); // nothing was called after the box
    QTRY_VERIFY(guard.isNull());                 // closed once the box was answered
    QVERIFY(LogText(board).contains("Lost client call"));
    QCOMPARE(int(ClientWindows().InUse(lineSlot)), 0);
    QCOMPARE(third->LoginFlag(), 1);
}

void TestCalls::sendWhileConnecting() {
    frmClient* board = Board();
    frmClient* caller = AddLine(board);
    Find<QComboBox>(caller, "cmbIP")->setEditText("localhost");
    Click(caller, "cmdConnect");
    QVERIFY(CallOf(caller)->SocketState() != platform::TcpSocket::Connected);
    Type(caller, "too early");
    QVERIFY(LogText(caller).endsWith("Ann> too early\n"));
    QCOMPARE(Find<QLabel>(caller, "lblStatus")->text(),
             QStringLiteral(" Not sent: the call is not connected yet"));
    QCOMPARE(Find<QPlainTextEdit>(caller, "txtSend")->toPlainText(), QStringLiteral("too early"));
    QTRY_COMPARE(caller->LoginFlag(), 1); // the call still goes through
    // The status line's complaint goes with it, and the line that went nowhere is marked so.
    QVERIFY(Find<QLabel>(caller, "lblStatus")->text().isEmpty());
    QCOMPARE(
        Find<ChatLog>(caller, "txtLog")->document()->find("Ann> too early").block().userState(),
        int(ChatLog::NotSent));

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
    QVERIFY(Find<QLabel>(caller, "lblStatus")->text().contains("32746"));
    QCOMPARE(Find<QPlainTextEdit>(caller, "txtSend")->toPlainText(), longText);
    QVERIFY(!LogText(caller).contains("xxxx"));
    // The longest line that fits goes through whole.
    Type(caller, QString(32746, 'y'));
    QTRY_VERIFY(LogText(board).contains(": " + QString(32746, 'y')));
}

void TestCalls::addressBox() {
    app->WriteSettings("n\r\n\r\n7000\r\n0\r\n 1 \r\nhost1\r\n");
    frmClient* board = app->Start();
    Find<QComboBox>(board, "cmbIP")->setEditText("host1");
    QTest::keyClick(Find<QComboBox>(board, "cmbIP")->lineEdit(), Qt::Key_Return);
    QCOMPARE(Find<QComboBox>(board, "cmbIP")->count(), 1);
    Find<QComboBox>(board, "cmbIP")->setEditText("host2");
    QTest::keyClick(Find<QComboBox>(board, "cmbIP")->lineEdit(), Qt::Key_Return);
    QCOMPARE(Find<QComboBox>(board, "cmbIP")->count(), 2);
    QCOMPARE(Find<QComboBox>(board, "cmbIP")->currentIndex(), 1);
    QCOMPARE(Find<QComboBox>(board, "cmbIP")->currentText(), QStringLiteral("host2"));
    QCOMPARE(Find<QLabel>(board, "lblStatus")->text(), QStringLiteral("host2 Added "));
    QCOMPARE(Settings.AddressCount, 2);
    Find<QComboBox>(board, "cmbIP")->setCurrentIndex(0);
    QTest::keyClick(Find<QComboBox>(board, "cmbIP")->lineEdit(), Qt::Key_Escape);
    QCOMPARE(Find<QLabel>(board, "lblStatus")->text(), QStringLiteral("host1 Removed "));
    QCOMPARE(Find<QComboBox>(board, "cmbIP")->count(), 1);
    QCOMPARE(Settings.AddressCount, 1); // one list: forgotten everywhere
    frmClient* later = AddLine(board);
    QCOMPARE(Find<QComboBox>(later, "cmbIP")->count(), 1);
    QCOMPARE(Find<QComboBox>(later, "cmbIP")->itemText(0), QStringLiteral("host2"));
    // Remembered in the line, offered by the switchboard at once.
    Find<QComboBox>(later, "cmbIP")->setEditText("host3");
    QTest::keyClick(Find<QComboBox>(later, "cmbIP")->lineEdit(), Qt::Key_Return);
    QCOMPARE(Find<QComboBox>(board, "cmbIP")->itemText(1), QStringLiteral("host3"));
    QCOMPARE(Addresses(), QStringList({"host2", "host3"}));
    // Enter in the send box, as typed, sends; it never adds a line break.
    QTest::keyClicks(Find<QPlainTextEdit>(later, "txtSend"), "abc");
    QTest::keyClick(Find<QPlainTextEdit>(later, "txtSend"), Qt::Key_Return);
    QCOMPARE(Find<QPlainTextEdit>(later, "txtSend")->toPlainText(), QStringLiteral("abc"));
    QVERIFY(LogText(later).endsWith("> abc\n"));
    // What is no address is said so, and the address box has the keyboard again.
    auto* address = Find<QComboBox>(later, "cmbIP");
    address->setEditText("[::1");
    Click(later, "cmdConnect");
    QCOMPARE(Find<QLabel>(later, "lblStatus")->text(),
             QStringLiteral(" Not an address to call: [::1"));
    QVERIFY(later->focusWidget() == address || later->focusWidget() == address->lineEdit());
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
    ClientWindows().RefreshAllLevels();
    frmClient* caller = CallBoard(board);
    QVERIFY(caller != nullptr);
    QCOMPARE(Find<QLabel>(caller, "lblLevels")->text(), level);
    QCOMPARE(Find<QLabel>(board, "lblLevels")->text(), level);
    Type(caller, "through the layers");
    QTRY_VERIFY(LogText(board).endsWith("Ann: through the layers\n"));
    QTRY_VERIFY(Find<QPlainTextEdit>(caller, "txtSend")
                    ->toPlainText()
                    .isEmpty()); // acknowledged with a matching CRC
}

void TestCalls::addressListLimit() {
    QByteArray file("n\r\n\r\n7000\r\n0\r\n 100 \r\n");
    for (int k = 1; k <= 100; ++k) {
        file += "host" + QByteArray::number(k) + "\r\n";
    }
    app->WriteSettings(file);
    frmClient* board = app->Start();
    QCOMPARE(Find<QComboBox>(board, "cmbIP")->count(), 100);
    Find<QComboBox>(board, "cmbIP")->setEditText("host101");
    QTest::keyClick(Find<QComboBox>(board, "cmbIP")->lineEdit(), Qt::Key_Return);
    // The list is full: refused, and said so.
    QCOMPARE(Find<QComboBox>(board, "cmbIP")->count(), 100);
    QCOMPARE(Find<QLabel>(board, "lblStatus")->text(),
             QStringLiteral(" All 100 remembered addresses are in use"));
    QCOMPARE(Settings.AddressCount, 100);
    frmClient* later = AddLine(board);
    QCOMPARE(Find<QComboBox>(later, "cmbIP")->count(), 100);
    QCOMPARE(Find<QComboBox>(later, "cmbIP")->findText("host101"), -1);
    QCOMPARE(Find<QComboBox>(later, "cmbIP")->itemText(99), QStringLiteral("host100"));
}

void TestCalls::answeringLineLabels() {
    frmClient* board = Board();
    QVERIFY(CallBoard(board) != nullptr); // the switchboard's own call
    frmClient* caller = CallBoard(board);
    QVERIFY(caller != nullptr);
    frmClient* line = AnsweringLine(board);
    QVERIFY(line != nullptr);
    QTRY_COMPARE(line->LoginFlag(), 1);
    QCOMPARE(Find<QLabel>(line, "lblConn")->text(), QStringLiteral(" Ann"));
    QCOMPARE(Find<QLabel>(line, "lblConnIP")->text(), QStringLiteral("127.0.0.1"));
    QCOMPARE(line->Nickname(), QStringLiteral("Ann"));
    QCOMPARE(line->windowTitle(), "Palaver - Ann  (Line #" + QString::number(line->ID() + 1) + ")");
    // Bye on the calling side empties its labels and closes the answering line.
    QPointer<frmClient> guard(line);
    Click(caller, "cmdClose");
    QVERIFY(Find<QLabel>(caller, "lblConn")->text().isEmpty());
    QVERIFY(Find<QLabel>(caller, "lblConnIP")->text().isEmpty());
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
    // The port typed with the address wins over the settings' port.
    const QString port = QString::number(Settings.Port);
    Settings.Port = FreePort();
    Find<QComboBox>(caller, "cmbIP")->setEditText("[::1]:" + port);
    Click(caller, "cmdConnect");
    QVERIFY(LogText(caller).startsWith("Calling ::1:" + port + "..."));
    QTRY_COMPARE(caller->LoginFlag(), 1);
    QCOMPARE(Find<QLabel>(board, "lblConnIP")->text(), QStringLiteral("::1"));
}

QTEST_MAIN(TestCalls)
#include "tst_calls.moc"
