#include "app/Main.h"
#include "call/People.h"
#include "chat/ChatLog.h"
#include "chat/ClientWindows.h"
#include "chat/frmClient.h"
#include "log/frmDebug.h"
#include "platform/TcpSocket.h"
#include "platform/Twips.h"
#include "settings/Settings.h"
#include "support/AppFixture.h"
#include "support/CallHelpers.h"
#include "support/ScriptedPeer.h"

#include <QAbstractTextDocumentLayout>
#include <QComboBox>
#include <QFontDatabase>
#include <QGlyphRun>
#include <QLineEdit>
#include <QNetworkInterface>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextLayout>
#include <QTreeWidget>
#include <QtTest>

namespace {

QColor Background(const QLabel* l) {
    return l->palette().color(QPalette::Window);
}

} // namespace

class TestWindows : public QObject {
    Q_OBJECT
private slots:
    void startUp();
    void controlsAndTabOrder();
    void titlesAndPlacement();
    void twentyWindowLimit();
    void fullLineTableReleasesWindow();
    void confHidesVisibleLinesOnly();
    void switchboardCloseRefusal();
    void closeSavesAndEnds();
    void unwritableSettingsFileIsReported_data();
    void unwritableSettingsFileIsReported();
    void serverSwitch();
    void serverSwitchPortInUse();
    void emojiSequencesStayWhole_data();
    void emojiSequencesStayWhole();
    void peopleByKeyboard();
};

void TestWindows::startUp() {
    AppFixture app;
    frmClient* board = app.Start();
    QVERIFY(board != nullptr);
    QCOMPARE(board->ID(), 0);
    QVERIFY(!board->Tag());
    QVERIFY(board->isVisible());
    QCOMPARE(board->windowTitle(), QStringLiteral("Palaver"));
    QCOMPARE(Settings.Port, 7000);
    QCOMPARE(Find<ClickLabel>(board, "lblServer")->text(), QStringLiteral("Reject"));
    QCOMPARE(Background(Find<ClickLabel>(board, "lblServer")), QColor(128, 0, 0));
    // Light text on the dark switch, or it cannot be read.
    QCOMPARE(Find<ClickLabel>(board, "lblServer")->palette().color(QPalette::WindowText),
             QColor(Qt::white));
    QCOMPARE(Find<QComboBox>(board, "cmbIP")->count(), 0);
    QVERIFY(app.boxes->texts.isEmpty());
    // The first start leaves the switchboard where the window manager puts it; moved and
    // resized, it comes back there on the next start from this folder.
    const QPoint first = board->pos();
    QVERIFY(first != QPoint(20, 20));
    board->move(first + QPoint(137, 59));
    board->resize(board->size() + QSize(90, 70));
    const QRect moved = board->geometry();
    AppFixture::CloseAll();
    board = app.Start();
    QCOMPARE(board->geometry(), moved);
    frmDebug* debug = DebugWindow();
    QVERIFY(debug != nullptr && !debug->isVisible());
    const QStringList lines = debug->txtLog()->toPlainText().split('\n');
    QVERIFY2(lines[0].endsWith(QStringLiteral(": Debugger started")), qPrintable(lines[0]));
    QVERIFY(lines[1].endsWith(QStringLiteral(": Server is currently stopped")));
    for (int k = 0; k < frmClient::kLines; ++k) {
        QCOMPARE(ClientWindows().Line(board, k), -1);
    }
}

void TestWindows::controlsAndTabOrder() {
    AppFixture app;
    app.WriteSettings("Ann\r\n\r\n7100\r\n0\r\n 2 \r\nhost1\r\nhost2\r\n");
    frmClient* board = app.Start();
    QCOMPARE(Settings.Port, 7100);
    QCOMPARE(Find<QComboBox>(board, "cmbIP")->count(), 2);
    QCOMPARE(Find<QComboBox>(board, "cmbIP")->itemText(0), QStringLiteral("host1"));
    QCOMPARE(Find<QComboBox>(board, "cmbIP")->itemText(1), QStringLiteral("host2"));

    const struct {
        const char* name;
        int l, t, w, h;
    } layout[] = {{"lblConn", 30, 30, 5595, 315},       {"lblConnIP", 3900, 90, 1605, 225},
                  {"txtLog", 30, 390, 5595, 2535},      {"lblStatus", 30, 2970, 3645, 255},
                  {"lblSecure", 3705, 2970, 870, 255},  {"lblLevels", 4620, 2970, 1005, 255},
                  {"txtSend", 30, 3270, 5595, 795},     {"cmbIP", 30, 4110, 1635, 315},
                  {"cmdConnect", 1710, 4110, 705, 315}, {"cmdClose", 2430, 4110, 705, 315},
                  {"cmdLine2", 3150, 4110, 705, 315},   {"cmdConf", 3870, 4110, 705, 315},
                  {"lblServer", 4620, 4140, 1005, 255}};
    for (const auto& c : layout) {
        auto* w = board->findChild<QWidget*>(QString::fromLatin1(c.name));
        QVERIFY2(w != nullptr, c.name);
        QCOMPARE(w->geometry(), platform::TwipsRect(c.l, c.t, c.w, c.h));
    }
    QCOMPARE(board->centralWidget()->size(),
             QSize(platform::ToPixelsX(5640), platform::ToPixelsY(4455)));

    // Twice the size: the log at least twice as large, every control inside the window and
    // the bottom row together; the design's size is also the smallest.
    auto* log = Find<QPlainTextEdit>(board, "txtLog");
    const QSize logBefore = log->size();
    board->resize(board->size() * 2);
    QTRY_VERIFY(log->width() >= 2 * logBefore.width() && log->height() >= 2 * logBefore.height());
    const QRect area = board->centralWidget()->rect();
    for (const auto& c : layout) {
        const auto* w = board->findChild<QWidget*>(QString::fromLatin1(c.name));
        QVERIFY2(area.contains(w->geometry()), c.name);
    }
    QCOMPARE(Find<QWidget>(board, "cmdConnect")->x() - Find<QWidget>(board, "cmbIP")->x(),
             platform::TwipsRect(1710, 0, 1, 1).x() - platform::TwipsRect(30, 0, 1, 1).x());
    board->resize(10, 10);
    QCOMPARE(board->centralWidget()->size(),
             QSize(platform::ToPixelsX(5640), platform::ToPixelsY(4455)));
    // Ctrl+plus and Ctrl+minus size the chat's text.
    const int pixels = log->font().pixelSize();
    board->activateWindow();
    QTRY_VERIFY(board->isActiveWindow());
    QTest::keyClick(Find<QPlainTextEdit>(board, "txtSend"), Qt::Key_Plus, Qt::ControlModifier);
    QCOMPARE(log->font().pixelSize(), pixels + 1);
    QTest::keyClick(Find<QPlainTextEdit>(board, "txtSend"), Qt::Key_Minus, Qt::ControlModifier);
    QCOMPARE(log->font().pixelSize(), pixels);
    QCOMPARE(Find<QPushButton>(board, "cmdConnect")->text(), QStringLiteral("Call"));
    QCOMPARE(Find<QPushButton>(board, "cmdClose")->text(), QStringLiteral("Bye"));
    QCOMPARE(Find<QPushButton>(board, "cmdLine2")->text(), QStringLiteral("+ Line"));
    QCOMPARE(Find<QPushButton>(board, "cmdConf")->text(), QStringLiteral("Conf"));
    QVERIFY(Find<QLabel>(board, "lblConn")->font().bold());
    // The level shows from the start: no passwords is "None" on near black.
    QCOMPARE(Find<QLabel>(board, "lblLevels")->text(), QStringLiteral("None"));
    QCOMPARE(Background(Find<QLabel>(board, "lblLevels")), QColor(0x0C, 0x0C, 0x0C));

    // The send box is first; the rest follow in the order of the bottom row.
    QCOMPARE(board->focusProxy(), Find<QPlainTextEdit>(board, "txtSend"));
    QStringList order;
    QWidget* w = Find<QPlainTextEdit>(board, "txtSend");
    for (int k = 0; k < 40 && order.size() < 6; ++k, w = w->nextInFocusChain()) {
        const QString name = w->objectName();
        if (!order.contains(name) &&
            QStringList{"txtSend", "cmbIP", "cmdConnect", "cmdClose", "cmdLine2", "cmdConf"}
                .contains(name)) {
            order << name;
        }
    }
    QCOMPARE(order,
             (QStringList{"txtSend", "cmbIP", "cmdConnect", "cmdClose", "cmdLine2", "cmdConf"}));
}

void TestWindows::titlesAndPlacement() {
    AppFixture app;
    app.WriteSettings("Ann\r\n");
    frmClient* board = app.Start();
    QCOMPARE(board->windowTitle(), QStringLiteral("Palaver Switchboard - Ann"));
    board->move(100, 80);
    frmClient* line = AddLine(board);
    QVERIFY(line != nullptr);
    QCOMPARE(line->ID(), 1);
    QCOMPARE(line->Level(), 0);
    QVERIFY(line->Tag());
    QCOMPARE(line->windowTitle(), QStringLiteral("Palaver - Ann  (Line #2)"));
    // 15 pixels below and right of the owner's frame, each further line of the last one.
    QCOMPARE(line->frameGeometry().topLeft(), QPoint(115, 95));
    frmClient* second = AddLine(board);
    QCOMPARE(second->frameGeometry().topLeft(), QPoint(130, 110));
    frmClient* third = AddLine(board);
    QCOMPARE(third->frameGeometry().topLeft(), QPoint(145, 125));
    QCOMPARE(third->ID(), 3);
    QCOMPARE(third->windowTitle(), QStringLiteral("Palaver - Ann  (Line #4)"));

    Settings.Nickname.clear();
    ClientWindows().RefreshAllTitles();
    QCOMPARE(board->windowTitle(), QStringLiteral("Palaver"));
    QCOMPARE(third->windowTitle(), QStringLiteral("Palaver"));
}

void TestWindows::twentyWindowLimit() {
    AppFixture app;
    frmClient* board = app.Start();
    // The switchboard holds ten lines; the rest hang off lines of their own.
    QList<frmClient*> lines;
    for (int k = 0; k < 10; ++k) {
        lines << AddLine(board);
    }
    for (int k = 0; k < 9; ++k) {
        QVERIFY(AddLine(lines[k]) != nullptr);
    }
    QCOMPARE(SlotsInUse(), 20);
    QCOMPARE(int(ClientWindows().InUse(20)), 0);
    Click(lines[9], "cmdLine2");
    QCOMPARE(app.boxes->texts.size(), 1);
    QCOMPARE(app.boxes->texts[0], QStringLiteral("Unable to create a new client window"));
    QCOMPARE(app.boxes->requests[0].icon, platform::MsgIcon::Exclamation);
    QCOMPARE(SlotsInUse(), 20);
    QVERIFY(ClientWindows(20) == nullptr);
}

void TestWindows::fullLineTableReleasesWindow() {
    AppFixture app;
    frmClient* board = app.Start();
    for (int k = 0; k < 10; ++k) {
        AddLine(board);
    }
    Click(board, "cmdLine2");
    // The window made for the eleventh line is released at once, not left hidden.
    QCOMPARE(SlotsInUse(), 11);
    QCOMPARE(int(ClientWindows().InUse(11)), 0);
    QTRY_VERIFY(ClientWindows(11) == nullptr);
    QVERIFY(app.boxes->texts.isEmpty());
}

void TestWindows::confHidesVisibleLinesOnly() {
    AppFixture app;
    frmClient* board = app.Start();
    frmClient* a = AddLine(board);
    Click(board, "cmdConf");
    frmClient* b = AddLine(board);
    QVERIFY(!a->isVisible());
    QVERIFY(b->isVisible());
    Find<QLabel>(board, "lblConn")->setText("x");
    Click(board, "cmdConf");
    QVERIFY(!a->isVisible());
    QVERIFY(!b->isVisible());
    // The header lists exactly the members (nameless before login), after a blank.
    QCOMPARE(Find<QLabel>(board, "lblConn")->text(), QStringLiteral(" , "));
}

void TestWindows::switchboardCloseRefusal() {
    AppFixture app;
    frmClient* board = app.Start();
    frmClient* member = AddLine(board);
    Click(board, "cmdConf");
    frmClient* v1 = AddLine(board);
    frmClient* v2 = AddLine(board);
    QPointer<frmClient> memberGuard(member);
    QVERIFY(!board->close());
    QCOMPARE(app.boxes->texts.size(), 1);
    QCOMPARE(app.boxes->texts[0], QStringLiteral("Unable to close switchboard window until\n"
                                                 "all other client windows are closed first."));
    QCOMPARE(app.boxes->requests[0].icon, platform::MsgIcon::Information);
    QVERIFY(board->isVisible());
    QVERIFY(v1->isVisible() && v2->isVisible());
    QTRY_VERIFY(memberGuard.isNull()); // the conference member's window went with its line
    // Exit from the menu follows the same rules.
    Menu(board, "mnuFile(0)");
    QCOMPARE(app.boxes->texts.size(), 2);
    QVERIFY(ClientWindows(0) == board);
}

void TestWindows::closeSavesAndEnds() {
    AppFixture app;
    bool ended = false;
    ClientWindows().lastWindowGone = [&] { ended = true; };
    app.WriteSettings("Ann\r\n\r\n7001\r\n5\r\n 1 \r\nhost1\r\n");
    frmClient* board = app.Start();
    frmClient* line = AddLine(board);
    // Remembered in a line window, kept by the one list the switchboard saves.
    Find<QComboBox>(line, "cmbIP")->setEditText("host2");
    QTest::keyClick(Find<QComboBox>(line, "cmbIP")->lineEdit(), Qt::Key_Return);
    QCOMPARE(Find<QComboBox>(board, "cmbIP")->count(), 2);
    QVERIFY(line->Unload());
    QVERIFY(!ended);
    board->close(); // the close box
    QVERIFY(ClientWindows(0) == nullptr);
    QVERIFY(ended);
    QVERIFY(DebugWindow() == nullptr || !DebugWindow()->Logging());
    QCOMPARE(app.ReadSettings(), QByteArray("Ann\r\n\r\n7001\r\n5\r\n 2 \r\nhost1\r\nhost2\r\n"));
    ClientWindows().lastWindowGone = {};
}

void TestWindows::unwritableSettingsFileIsReported_data() {
    QTest::addColumn<QString>("inPlace"); // what is where the file goes
    QTest::newRow("nothing: written, the user's alone") << "";
    QTest::newRow("a folder") << "folder";
    QTest::newRow("a link to the user's key") << "link";
}

void TestWindows::unwritableSettingsFileIsReported() {
    QFETCH(QString, inPlace);
    AppFixture app;
    frmClient* board = app.Start();
    QTemporaryDir elsewhere;
    const QString key = elsewhere.filePath("identity.pem");
    QFile secret(key);
    QVERIFY(secret.open(QIODevice::WriteOnly) && secret.write("KEY") == 3);
    secret.close();
    QFile::remove(app.SettingsPath());
    if (inPlace == "folder") {
        QVERIFY(QDir().mkpath(app.SettingsPath() + "/blocked"));
    } else if (inPlace == "link") {
        QVERIFY(QFile::link(key, app.SettingsPath()));
    }
    QCOMPARE(board->SaveSettings(), inPlace.isEmpty());
    if (inPlace.isEmpty()) {
        QCOMPARE(QFile(app.SettingsPath()).permissions(),
                 QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser |
                     QFileDevice::WriteUser);
        return;
    }
    QVERIFY2(Find<QLabel>(board, "lblStatus")->text().startsWith(" Settings not saved: "),
             qPrintable(Find<QLabel>(board, "lblStatus")->text()));
    QVERIFY(secret.open(QIODevice::ReadOnly) && secret.readAll() == "KEY");
    QDir(app.SettingsPath()).removeRecursively();
    QFile::remove(app.SettingsPath());
}

void TestWindows::serverSwitch() {
    AppFixture app;
    frmClient* board = app.Start();
    const int port = FreePort();
    Settings.Port = port;
    Click(board, "lblServer");
    QCOMPARE(Find<ClickLabel>(board, "lblServer")->text(), QStringLiteral("Accept"));
    QCOMPARE(Background(Find<ClickLabel>(board, "lblServer")), QColor(0, 128, 0));
    QCOMPARE(ClientWindows().Model().ServerState(board->ID()), int(platform::TcpSocket::Listening));
    QCOMPARE(ClientWindows().Model().ServerPort(board->ID()), port);
    const QString where =
        ClientWindows().Model().ServerIP(board->ID()) + ":" + QString::number(port);
    QCOMPARE(Find<QLabel>(board, "lblStatus")->text(), " Server accepting calls on " + where);
    // The address others can call: this machine's first outside IPv4 address when it has one.
    for (const QHostAddress& a : QNetworkInterface::allAddresses()) {
        if (a.protocol() == QAbstractSocket::IPv4Protocol && !a.isLoopback()) {
            QCOMPARE(ClientWindows().Model().ServerIP(board->ID()), a.toString());
            break;
        }
    }
    QVERIFY(
        DebugWindow()->txtLog()->toPlainText().contains(": Server accepting calls on " + where));

    // The tool tip shows what the socket reported before the click.
    Menu(board, "mnuTools(1)");
    QCOMPARE(Find<ClickLabel>(board, "lblServer")->toolTip(), "Your Server: " + where);
    QCOMPARE(Find<ClickLabel>(board, "lblServer")->text(), QStringLiteral("Reject"));
    QCOMPARE(Background(Find<ClickLabel>(board, "lblServer")), QColor(128, 0, 0));
    QVERIFY(Find<QLabel>(board, "lblStatus")->text().isEmpty());
    QCOMPARE(ClientWindows().Model().ServerState(board->ID()), int(platform::TcpSocket::Closed));
    QVERIFY(DebugWindow()->txtLog()->toPlainText().contains(": Server stopped on " + where));
}

void TestWindows::serverSwitchPortInUse() {
    AppFixture app;
    frmClient* board = app.Start();
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::Any, 0));
    Settings.Port = holder.serverPort();
    Click(board, "lblServer");
    // Nothing listens, so the switch never says Accept; the log keeps why.
    QCOMPARE(Find<ClickLabel>(board, "lblServer")->text(), QStringLiteral("Reject"));
    QVERIFY(LogText(board).contains(
        QStringLiteral("Not accepting calls on port %1: Error #10048").arg(Settings.Port)));
    static const QRegularExpression re(QStringLiteral(R"(^Error #10048 - .+$)"));
    QVERIFY2(re.match(Find<QLabel>(board, "lblStatus")->text()).hasMatch(),
             qPrintable(Find<QLabel>(board, "lblStatus")->text()));
    QCOMPARE(ClientWindows().Model().ServerState(board->ID()), int(platform::TcpSocket::Closed));
    // No retry behind the user's back: the error stays until the next click.
    QCoreApplication::processEvents();
    QVERIFY(Find<QLabel>(board, "lblStatus")->text().startsWith("Error #10048"));
    holder.close();
    Click(board, "lblServer");
    QCOMPARE(Find<ClickLabel>(board, "lblServer")->text(), QStringLiteral("Accept"));
    QCOMPARE(ClientWindows().Model().ServerState(board->ID()), int(platform::TcpSocket::Listening));
}

void TestWindows::peopleByKeyboard() {
    AppFixture app;
    // A contact met before, away now: nothing listens where it was.
    QDir().mkpath(app.Dir() + "/data/Palaver");
    QFile keys(app.Dir() + "/data/Palaver/keys.json");
    QVERIFY(keys.open(QIODevice::WriteOnly));
    keys.write(R"({"contacts":[{"key":")" + QByteArray(32, 'B').toHex() +
               R"(","name":"Bea","addresses":["127.0.0.1:1"],"lastSeen":1}]})");
    keys.close();
    frmClient* board = app.Start();
    auto* list = Find<QTreeWidget>(board, "lstPeople");
    QTRY_VERIFY(list->isVisible() && list->topLevelItemCount() == 1);
    // (Rows are made again as presence changes.)
    const QTreeWidgetItem* bea = list->topLevelItem(0);
    QCOMPARE(bea->data(0, Qt::AccessibleTextRole).toString(),
             "Bea, " + bea->text(1)); // the word the dot stands for
    QVERIFY(bea->text(1).startsWith("last seen"));
    // The list is on the way of the Tab key.
    board->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(board));
    for (int k = 0; k < 30 && QApplication::focusWidget() != list; ++k) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    QCOMPARE(QApplication::focusWidget(), list);
    QTest::keyClick(list, Qt::Key_Home);
    QTest::keyClick(list, Qt::Key_F2);
    QWidget* editor = QApplication::focusWidget();
    QVERIFY(editor != list && list->isAncestorOf(editor));
    QTest::keyClick(editor, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(editor, "Bea Smith");
    QTest::keyClick(editor, Qt::Key_Return);
    QTRY_COMPARE(list->topLevelItem(0)->text(0), QStringLiteral("Bea Smith"));
    QCOMPARE(App::Current().Contacts()->List().first().contact.name, QStringLiteral("Bea Smith"));

    // Shift+F10 opens the contact's menu; V verifies after the safety number is shown.
    const auto menuKey = [list](Qt::Key choice) {
        QTimer::singleShot(
            0, list, [choice] { QTest::keyClick(QApplication::activePopupWidget(), choice); });
        QTest::keyClick(list, Qt::Key_F10, Qt::ShiftModifier);
    };
    menuKey(Qt::Key_V);
    QVERIFY(app.boxes->texts.last().startsWith("Safety number with Bea Smith:"));
    QTRY_VERIFY(list->topLevelItem(0)->text(1).endsWith("verified"));

    // Enter on someone away opens a line where what is typed waits.
    QTest::keyClick(list, Qt::Key_Return);
    QTRY_VERIFY(ClientWindows(ClientWindows().Line(board, 0)) != nullptr);
    frmClient* line = ClientWindows(ClientWindows().Line(board, 0));
    QVERIFY(LogText(line).contains("Bea Smith is away"));
    Type(line, "hello");
    QTRY_VERIFY(list->topLevelItem(0)->text(1).contains("1 waiting"));

    // Forgotten, the history kept: the list is empty.
    app.boxes->answers = {platform::MsgResult::Yes, platform::MsgResult::No};
    list->setFocus();
    menuKey(Qt::Key_F);
    QTRY_COMPARE(list->topLevelItemCount(), 0);
    QVERIFY(App::Current().Contacts()->List().isEmpty());
}

QTEST_MAIN(TestWindows)
void TestWindows::emojiSequencesStayWhole_data() {
    QTest::addColumn<QString>("sequence");
    QTest::newRow("a skin tone") << "👍🏽";
    QTest::newRow("a family") << "👨‍👩‍👧";
    QTest::newRow("the rainbow flag") << "🏳️‍🌈";
    QTest::newRow("a country's flag") << "🇬🇷";
}

void TestWindows::emojiSequencesStayWhole() {
    QFETCH(QString, sequence);
    if (!QFontDatabase::families().contains("Noto Color Emoji")) {
        QSKIP("no colour emoji font (scripts/install-deps.sh installs fonts-noto-color-emoji)");
    }
    AppFixture app;
    frmClient* line = AddLine(app.Start());
    Type(line, "ok " + sequence + " ok");
    auto* log = Find<ChatLog>(line, "txtLog");
    const QTextBlock block = log->document()->find("> ok ").block();
    // Drawn by one font, and the same for the whole sequence.
    QTRY_VERIFY([&] {
        const int at = static_cast<int>(block.text().indexOf("ok ")) + 3;
        log->document()->documentLayout()->blockBoundingRect(block);
        QSet<QString> fonts;
        for (const QGlyphRun& run :
             block.layout()->glyphRuns(at, static_cast<int>(block.text().size()) - 3 - at)) {
            fonts << run.rawFont().familyName();
        }
        return fonts == QSet<QString>{"Noto Color Emoji"};
    }());
}

#include "tst_windows.moc"
