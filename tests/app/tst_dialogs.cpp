#include "app/Main.h"
#include "about/frmAbout.h"
#include "app/Menus.h"
#include "app/frmSettings.h"
#include "chat/ClientWindows.h"
#include "chat/frmClient.h"
#include "log/frmDebug.h"
#include "platform/Desktop.h"
#include "platform/TcpSocket.h"
#include "protocol/CNetMsg.h"
#include "settings/Settings.h"
#include "support/AppFixture.h"
#include "support/CallHelpers.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QtTest>

namespace {

QColor TextColour(const QLabel* l) {
    return l->palette().color(QPalette::WindowText);
}

QByteArray Line(const QByteArray& file, int n) {
    return file.split('\n').value(n - 1).trimmed();
}

} // namespace

class TestDialogs : public QObject {
    Q_OBJECT
private slots:
    void windowOptions();
    void settingsDialogFill();
    void startupFocus();
    void okStoresAndSaves();
    void portRules();
    void enterKeys();
    void cancelAndCloseBoxChangeNothing();
    void passwordsNotKeptAcrossRestart();
    void levelsAfterOk();
    void aboutWindow();
    void aboutLinkStates();
    void menuItems();
    void logConnections();
    void clearSettingsOnLineWindow();
    void clearChatWindowAndDebugWindow();
    void longestLoginStillFitsOneMessage_data();
    void longestLoginStillFitsOneMessage();
    void labelsBesideTheirBoxes_data();
    void labelsBesideTheirBoxes();
    void boxesReachTheSettings_data();
    void boxesReachTheSettings();
    void encryptionBoxClicks();
};

void TestDialogs::settingsDialogFill() {
    AppFixture app;
    frmClient* board = app.Start();
    Settings.Nickname = "Ann";
    Settings.Timeout = 30;
    Settings.LoginPassword = "login";
    Settings.Passwords[3] = "three";
    Menu(board, "mnuTools(0)");
    frmSettings* d = frmSettings::Instance();
    QVERIFY(d != nullptr && d->isVisible());
    QCOMPARE(d->windowTitle(), QStringLiteral("Settings"));
    QCOMPARE(d->parentWidget(), board); // owned by the window that asked
    QCOMPARE(Find<QLineEdit>(d, "txtNickname")->text(), QStringLiteral("Ann"));
    QCOMPARE(Find<QLineEdit>(d, "txtPort")->text(), QStringLiteral("7000"));
    QCOMPARE(Find<QLineEdit>(d, "txtTimeout")->text(), QStringLiteral("30"));
    QCOMPARE(Find<QLineEdit>(d, "txtLoginPassword")->text(), QStringLiteral("login"));
    QCOMPARE(Find<QLineEdit>(d, "txtPassword" + QString::number(3))->text(),
             QStringLiteral("three"));
    QVERIFY(Find<QLineEdit>(d, "txtIP")->text().isEmpty());
    for (QLineEdit* box : {Find<QLineEdit>(d, "txtLoginPassword"),
                           Find<QLineEdit>(d, "txtPassword" + QString::number(1)),
                           Find<QLineEdit>(d, "txtPassword" + QString::number(5))}) {
        QCOMPARE(box->echoMode(), QLineEdit::Password);
    }
    QVERIFY(Find<QCheckBox>(d, "chkCrypt")->isChecked());
    QVERIFY(!Find<QCheckBox>(d, "chkCrypt")->isVisible() &&
            !Find<QCheckBox>(d, "chkAcceptSecure")->isVisible() &&
            !Find<QPushButton>(d, "cmdIP")->isVisible());
    QVERIFY(Find<QLineEdit>(d, "txtPassword" + QString::number(1))->isEnabled());
    QCOMPARE(Find<QGroupBox>(d, "Frame1")->title(), QStringLiteral("Server Settings"));
    // OK and Cancel sit side by side at the bottom right, Cancel last.
    QVERIFY(Find<QPushButton>(d, "cmdCancel")->isVisible() &&
            Find<QPushButton>(d, "cmdOK")->isVisible());
    QCOMPARE(Find<QPushButton>(d, "cmdCancel")->y(), Find<QPushButton>(d, "cmdOK")->y());
    QVERIFY(Find<QPushButton>(d, "cmdCancel")->x() >
            Find<QPushButton>(d, "cmdOK")->x() + Find<QPushButton>(d, "cmdOK")->width() - 1);
    QVERIFY(Find<QPushButton>(d, "cmdOK")->y() > Find<QGroupBox>(d, "Frame2")->geometry().bottom());
    QCOMPARE(Find<QGroupBox>(d, "Frame2")->title(), QStringLiteral("Secure Transfers"));
    // Unchecking the hidden box greys the passwords but keeps their text.
    Click(d, "chkCrypt");
    QVERIFY(!Find<QLineEdit>(d, "txtPassword" + QString::number(2))->isEnabled());
    QVERIFY(!Find<QCheckBox>(d, "chkAcceptSecure")->isEnabled());
    QVERIFY(Find<QLineEdit>(d, "txtLoginPassword")->isEnabled());
    QCOMPARE(Find<QLineEdit>(d, "txtPassword" + QString::number(3))->text(),
             QStringLiteral("three"));

    // A second request refills the same dialog and drops unconfirmed edits.
    Find<QLineEdit>(d, "txtNickname")->setText("edited");
    Menu(board, "mnuTools(0)");
    QCOMPARE(frmSettings::Instance(), d);
    QCOMPARE(Find<QLineEdit>(d, "txtNickname")->text(), QStringLiteral("Ann"));
    QVERIFY(Find<QCheckBox>(d, "chkCrypt")->isChecked() ==
            false); // its load step does not run again
    Click(d, "cmdCancel");
}

void TestDialogs::startupFocus() {
    AppFixture app;
    frmClient* board = app.Start();
    Menu(board, "mnuTools(0)");
    QCOMPARE(frmSettings::Instance()->focusWidget(),
             Find<QLineEdit>(frmSettings::Instance(), "txtNickname"));
    Click(frmSettings::Instance(), "cmdCancel");
    QTRY_VERIFY(frmSettings::Instance() == nullptr);
    Settings.Nickname = "Ann";
    Menu(board, "mnuTools(0)");
    QCOMPARE(frmSettings::Instance()->focusWidget(),
             Find<QLineEdit>(frmSettings::Instance(), "txtLoginPassword"));
    Click(frmSettings::Instance(), "cmdCancel");
}

void TestDialogs::okStoresAndSaves() {
    AppFixture app;
    frmClient* board = app.Start();
    frmClient* line = AddLine(board);
    Find<QComboBox>(board, "cmbIP")->setEditText("host1");
    QTest::keyClick(Find<QComboBox>(board, "cmbIP")->lineEdit(), Qt::Key_Return);
    Menu(board, "mnuTools(0)");
    frmSettings* d = frmSettings::Instance();
    Find<QLineEdit>(d, "txtNickname")->setText("Zed");
    Find<QLineEdit>(d, "txtTimeout")->setText("12");
    Find<QLineEdit>(d, "txtLoginPassword")->setText("lp");
    Find<QLineEdit>(d, "txtPassword" + QString::number(1))->setText("p1");
    Find<QLineEdit>(d, "txtIP")->setText("10.1.1.1");
    Click(d, "cmdOK");
    QTRY_VERIFY(frmSettings::Instance() == nullptr);
    QCOMPARE(Settings.Nickname, QStringLiteral("Zed"));
    QCOMPARE(Settings.Timeout, 12);
    QCOMPARE(Settings.LoginPassword, QStringLiteral("lp"));
    QCOMPARE(Settings.Passwords[1], QStringLiteral("p1"));
    QCOMPARE(Settings.EncryptAll.value_or(-1), 1);
    QCOMPARE(Settings.SecureOnly.value_or(-1), 0);
    // Every open window shows the new nickname at once.
    QCOMPARE(board->windowTitle(), QStringLiteral("Palaver Switchboard - Zed"));
    QCOMPARE(line->windowTitle(), QStringLiteral("Palaver - Zed  (Line #2)"));
    const QByteArray file = app.ReadSettings();
    QCOMPARE(file, QByteArray("Zed\r\n\r\n7000\r\n12\r\n 1 \r\nhost1\r\n"));
    QVERIFY(!file.contains("lp") && !file.contains("p1") && !file.contains("10.1.1.1"));
}

void TestDialogs::portRules() {
    AppFixture app;
    frmClient* board = app.Start();
    const struct {
        const char* typed;
        int port;
    } cases[] = {{"abc", 7000},    {"", 7000}, {" 8080.5 ", 8080},   {"70000", 70000},
                 {"7001.5", 7002}, {"-5", -5}, {"99999999999", 7000}};
    for (const auto& c : cases) {
        Menu(board, "mnuTools(0)");
        frmSettings* d = frmSettings::Instance();
        Find<QLineEdit>(d, "txtPort")->setText(QString::fromLatin1(c.typed));
        Click(d, "cmdOK");
        QCOMPARE(Settings.Port, c.port);
        QCOMPARE(Line(app.ReadSettings(), 3), QByteArray::number(c.port));
        QTRY_VERIFY(frmSettings::Instance() == nullptr);
    }
    Menu(board, "mnuTools(0)");
    Find<QLineEdit>(frmSettings::Instance(), "txtPort")->setText("abc");
    Find<QLineEdit>(frmSettings::Instance(), "txtTimeout")->setText("soon");
    Click(frmSettings::Instance(), "cmdOK");
    QCOMPARE(Settings.Timeout, 0);
}

void TestDialogs::enterKeys() {
    AppFixture app;
    frmClient* board = app.Start();
    Menu(board, "mnuTools(0)");
    frmSettings* d = frmSettings::Instance();
    QTest::keyClick(Find<QLineEdit>(d, "txtIP"), Qt::Key_Return);
    QCOMPARE(d->focusWidget(), Find<QLineEdit>(d, "txtPort"));
    QTest::keyClick(Find<QLineEdit>(d, "txtPort"), Qt::Key_Return);
    QCOMPARE(d->focusWidget(), Find<QLineEdit>(d, "txtTimeout"));
    QTest::keyClick(Find<QLineEdit>(d, "txtTimeout"), Qt::Key_Return);
    QCOMPARE(d->focusWidget(),
             Find<QLineEdit>(d, "txtNickname")); // the next field the user can see
    QVERIFY(!Find<QLineEdit>(d, "txtTimeout")->text().contains('\n'));
    Find<QLineEdit>(d, "txtNickname")->setText("ViaEnter");
    QPointer<frmSettings> guard(d);
    QTest::keyClick(Find<QLineEdit>(d, "txtPassword" + QString::number(2)), Qt::Key_Enter);
    QCOMPARE(Settings.Nickname, QStringLiteral("ViaEnter"));
    QTRY_VERIFY(guard.isNull());
    QVERIFY(app.ReadSettings().startsWith("ViaEnter\r\n"));
}

void TestDialogs::cancelAndCloseBoxChangeNothing() {
    AppFixture app;
    app.WriteSettings("Old\r\n\r\n7000\r\n0\r\n 0 \r\n");
    frmClient* board = app.Start();
    const QByteArray before = app.ReadSettings();
    Menu(board, "mnuTools(0)");
    Find<QLineEdit>(frmSettings::Instance(), "txtNickname")->setText("New");
    Find<QLineEdit>(frmSettings::Instance(), "txtPassword" + QString::number(1))->setText("x");
    Click(frmSettings::Instance(), "cmdCancel");
    QTRY_VERIFY(frmSettings::Instance() == nullptr);
    QCOMPARE(Settings.Nickname, QStringLiteral("Old"));
    QVERIFY(Settings.Passwords[1].isEmpty());
    QCOMPARE(app.ReadSettings(), before);
    Menu(board, "mnuTools(0)");
    Find<QLineEdit>(frmSettings::Instance(), "txtNickname")->setText("New");
    frmSettings::Instance()->close(); // the close box
    QTRY_VERIFY(frmSettings::Instance() == nullptr);
    QCOMPARE(Settings.Nickname, QStringLiteral("Old"));
    QCOMPARE(app.ReadSettings(), before);
    Menu(board, "mnuTools(0)");
    Find<QLineEdit>(frmSettings::Instance(), "txtNickname")->setText("New");
    QTest::keyClick(frmSettings::Instance(), Qt::Key_Escape);
    QTRY_VERIFY(frmSettings::Instance() == nullptr);
    QCOMPARE(Settings.Nickname, QStringLiteral("Old"));
}

void TestDialogs::passwordsNotKeptAcrossRestart() {
    AppFixture app;
    frmClient* board = app.Start();
    Menu(board, "mnuTools(0)");
    Find<QLineEdit>(frmSettings::Instance(), "txtNickname")->setText("Ann");
    Find<QLineEdit>(frmSettings::Instance(), "txtLoginPassword")->setText("lp");
    Find<QLineEdit>(frmSettings::Instance(), "txtPassword" + QString::number(4))->setText("p4");
    Click(frmSettings::Instance(), "cmdOK");
    AppFixture::CloseAll();
    QTRY_VERIFY(frmSettings::Instance() == nullptr);
    ResetSettings(); // a new run of the program reads only the file
    board = app.Start();
    Menu(board, "mnuTools(0)");
    frmSettings* d = frmSettings::Instance();
    QCOMPARE(Find<QLineEdit>(d, "txtNickname")->text(), QStringLiteral("Ann"));
    QVERIFY(Find<QLineEdit>(d, "txtLoginPassword")->text().isEmpty());
    for (int k = 1; k <= 5; ++k) {
        QVERIFY(Find<QLineEdit>(d, "txtPassword" + QString::number(k))->text().isEmpty());
    }
    Click(d, "cmdCancel");
}

void TestDialogs::levelsAfterOk() {
    AppFixture app;
    frmClient* board = app.Start();
    frmClient* line = AddLine(board);
    QCOMPARE(Find<QLabel>(board, "lblLevels")->text(), QStringLiteral("None")); // no password yet
    Menu(board, "mnuTools(0)");
    Find<QLineEdit>(frmSettings::Instance(), "txtPassword" + QString::number(1))->setText("a");
    Find<QLineEdit>(frmSettings::Instance(), "txtPassword" + QString::number(3))->setText("c");
    Click(frmSettings::Instance(), "cmdOK");
    for (frmClient* w : {board, line}) {
        QCOMPARE(Find<QLabel>(w, "lblLevels")->text(), QStringLiteral("Low"));
        QCOMPARE(Find<QLabel>(w, "lblLevels")->palette().color(QPalette::Window),
                 QColor(0, 128, 0));
        QCOMPARE(Find<QLabel>(w, "lblLevels")->toolTip(), QStringLiteral("No Login+2"));
    }
    const struct {
        QList<int> set;
        bool login;
        const char* caption;
        QColor colour;
        const char* tip;
    } cases[] = {{{}, false, "None", QColor(12, 12, 12), "No Security"},
                 {{2}, false, "Lowest", QColor(0, 0, 128), "No Login+1"},
                 {{1, 2, 3}, true, "Mid", QColor(128, 128, 0), "Login+3"},
                 {{1, 2, 3, 4}, false, "High", QColor(128, 64, 0), "No Login+4"},
                 {{1, 2, 3, 4, 5}, true, "Highest", QColor(128, 0, 0), "Login+5"}};
    for (const auto& c : cases) {
        board->SetPasswords(c.login ? "lp" : "", c.set.contains(1) ? "1" : "",
                            c.set.contains(2) ? "2" : "", c.set.contains(3) ? "3" : "",
                            c.set.contains(4) ? "4" : "", c.set.contains(5) ? "5" : "");
        board->SetLayers();
        QCOMPARE(Find<QLabel>(board, "lblLevels")->text(), QString::fromLatin1(c.caption));
        QCOMPARE(Find<QLabel>(board, "lblLevels")->palette().color(QPalette::Window), c.colour);
        QCOMPARE(Find<QLabel>(board, "lblLevels")->toolTip(), QString::fromLatin1(c.tip));
    }
}

void TestDialogs::aboutWindow() {
    AppFixture app;
    frmClient* board = app.Start();
    Menu(board, "mnuHelp(0)");
    frmAbout* about = frmAbout::Instance();
    QVERIFY(about != nullptr && about->isVisible());
    QCOMPARE(about->windowTitle(), QStringLiteral("About Palaver"));
    QCOMPARE(about->objectName(), QStringLiteral("frmAbout"));
    // Title, then copyright, then the two link rows, one under the other.
    QVERIFY(Find<QLabel>(about, "lblTitle")->geometry().bottom() <
            Find<QLabel>(about, "lblCopyright")->y());
    QVERIFY(Find<QLabel>(about, "lblCopyright")->geometry().bottom() <
            Find<QLabel>(about, "Label1")->y());
    QVERIFY(Find<QLabel>(about, "Label1")->geometry().bottom() <
            Find<QLabel>(about, "Label2")->y());
    QCOMPARE(Find<QLabel>(about, "lblTitle")->text(), QStringLiteral("Palaver v0.1.1"));
    QCOMPARE(Find<QLabel>(about, "Label1")->text(), QStringLiteral("e-mail:"));
    QCOMPARE(Find<QLabel>(about, "Label2")->text(), QStringLiteral("web:"));
    QVERIFY(!Find<QLabel>(about, "lblCopyright")->text().isEmpty());
    QCOMPARE(Find<QLabel>(about, "lblMailTo")->property("Tag").toString(),
             "mailto:" + Find<QLabel>(about, "lblMailTo")->text());
    QVERIFY(Find<QLabel>(about, "lblQuorvex")->property("Tag").toString().startsWith("http"));
    QCOMPARE(Find<QLabel>(about, "lblQuorvex")->cursor().shape(), Qt::PointingHandCursor);
    QCOMPARE(Find<QLabel>(about, "lblMailTo")->cursor().shape(), Qt::PointingHandCursor);
    QVERIFY(about->parentWidget() == nullptr);
    QCOMPARE(about->windowIcon().cacheKey(), board->windowIcon().cacheKey());
    QVERIFY(!Find<QLabel>(about, "picIcon")->pixmap().isNull());
    Menu(board, "mnuHelp(0)"); // one instance, brought forward
    QCOMPARE(frmAbout::Instance(), about);
    QPointer<frmAbout> guard(about);
    QTest::mouseClick(Find<QPushButton>(about, "cmdOK"), Qt::LeftButton);
    QTRY_VERIFY(guard.isNull());
}

void TestDialogs::aboutLinkStates() {
    AppFixture app;
    QList<QUrl> opened;
    const auto previous = platform::SetUrlOpener([&](const QUrl& u) {
        opened << u;
        return false; // nobody could open it: ignored
    });
    frmAbout* about = frmAbout::ShowWithIcon(QIcon());
    const QColor blue(0, 0, 255), red(255, 0, 0), purple(128, 0, 128);
    QCOMPARE(TextColour(Find<QLabel>(about, "lblQuorvex")), blue);
    QCOMPARE(TextColour(Find<QLabel>(about, "lblMailTo")), blue);

    QTest::mouseMove(Find<QLabel>(about, "lblQuorvex"));
    QMouseEvent over(QEvent::MouseMove, QPointF(2, 2),
                     Find<QLabel>(about, "lblQuorvex")->mapToGlobal(QPointF(2, 2)), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(Find<QLabel>(about, "lblQuorvex"), &over);
    QCOMPARE(TextColour(Find<QLabel>(about, "lblQuorvex")), red);
    QVERIFY(Find<QLabel>(about, "lblQuorvex")->font().underline());
    QCOMPARE(TextColour(Find<QLabel>(about, "lblMailTo")), blue);
    QVERIFY(!Find<QLabel>(about, "lblMailTo")->font().underline());

    QCoreApplication::sendEvent(Find<QLabel>(about, "lblMailTo"), &over);
    QCOMPARE(TextColour(Find<QLabel>(about, "lblMailTo")), red);
    QCOMPARE(TextColour(Find<QLabel>(about, "lblQuorvex")), blue);
    QVERIFY(!Find<QLabel>(about, "lblQuorvex")->font().underline());

    QMouseEvent background(QEvent::MouseMove, QPointF(1, 1), about->mapToGlobal(QPointF(1, 1)),
                           Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(about, &background);
    QCOMPARE(TextColour(Find<QLabel>(about, "lblMailTo")), blue);
    QVERIFY(!Find<QLabel>(about, "lblMailTo")->font().underline());

    QTest::mouseClick(Find<QLabel>(about, "lblQuorvex"), Qt::LeftButton);
    QCOMPARE(opened.size(), 1);
    QCOMPARE(opened[0].toString(), Find<QLabel>(about, "lblQuorvex")->property("Tag").toString());
    QCOMPARE(TextColour(Find<QLabel>(about, "lblQuorvex")), purple);
    QTest::mouseClick(Find<QLabel>(about, "lblMailTo"), Qt::LeftButton);
    QCOMPARE(opened.size(), 2);
    QCOMPARE(opened[1].scheme(), QStringLiteral("mailto"));
    QCOMPARE(TextColour(Find<QLabel>(about, "lblMailTo")), purple);
    platform::SetUrlOpener(previous);
    about->close();
}

void TestDialogs::menuItems() {
    AppFixture app;
    frmClient* board = app.Start();
    QCOMPARE(Find<QMenu>(board, "mnuFile")->title(), QStringLiteral("&File"));
    QCOMPARE(Find<QMenu>(board, "mnuTools")->title(), QStringLiteral("&Tools"));
    QCOMPARE(Find<QMenu>(board, "mnuHelp")->title(), QStringLiteral("&Help"));
    const QStringList tools = {"&Settings",
                               "&Accept/Reject Calls",
                               "",
                               "&Clear Settings",
                               "",
                               "Clear Chat Window",
                               "&Show Debug Window",
                               "Log Connections",
                               "",
                               "&History...",
                               "Conference &members hear each other",
                               "Show &times in the chat",
                               "Accept calls at s&tart",
                               "Show me on the local &network",
                               "Offer and accept &secure calls",
                               "&Only secure calls",
                               "",
                               "Accept calls from the &Internet",
                               "Copy Internet &Link"};
    QStringList seen;
    for (QAction* a : Find<QMenu>(board, "mnuTools")->actions()) {
        seen << a->text();
    }
    QCOMPARE(seen, tools);
    QVERIFY(board->findChild<QAction*>("mnuTools(10)") != nullptr);
    QVERIFY(board->findChild<QAction*>("mnuTools(5)") == nullptr);
    // Members hear each other unless switched off; the choice is kept for the next start.
    QVERIFY(Find<QAction>(board, "mnuToolsHearEachOther")->isChecked());
    Menu(board, "mnuToolsHearEachOther");
    QVERIFY(!ClientWindows().Model().MembersHearEachOther() && !MembersHearEachOther());
    Menu(board, "mnuToolsHearEachOther");
    QVERIFY(ClientWindows().Model().MembersHearEachOther() && MembersHearEachOther());
    QCOMPARE(board->findChild<QAction*>("mnuFile(0)")->text(), QStringLiteral("E&xit"));
    QCOMPARE(board->findChild<QAction*>("mnuHelp(0)")->text(), QStringLiteral("&About Palaver..."));
    // Help opens the user guide with the desktop's handler.
    QString opened;
    const auto opener = platform::SetUrlOpener([&opened](const QUrl& url) {
        opened = url.toLocalFile();
        return true;
    });
    Menu(board, "mnuHelp(1)");
    platform::SetUrlOpener(opener);
    QVERIFY2(opened.endsWith("/guide.html") && QFileInfo::exists(opened), qPrintable(opened));
    // The menu item runs the server switch.
    Settings.Port = FreePort();
    board->findChild<QAction*>("mnuTools(1)")->trigger();
    QCOMPARE(Find<ClickLabel>(board, "lblServer")->text(), QStringLiteral("Accept"));
}

void TestDialogs::logConnections() {
    AppFixture app;
    app.WriteSettings("Bob\r\n");
    frmClient* board = app.Start();
    static const QRegularExpression header(
        R"(^\n====Log Connections @ [^\n]+====\n<0> Switchboard \[0\] - ,\n\n$)");
    Menu(board, "mnuTools(10)");
    QVERIFY2(header.match(LogText(board)).hasMatch(), qPrintable(LogText(board)));

    Menu(board, "mnuTools(8)"); // Clear Chat Window
    StartListening(board);
    frmClient* a = AddLine(board);
    frmClient* b = AddLine(board);
    Find<QComboBox>(b, "cmbIP")->setEditText("127.0.0.1");
    Click(b, "cmdConnect");
    QTRY_COMPARE(board->LoginFlag(), 1); // the switchboard answered b's call itself
    QTRY_COMPARE(b->LoginFlag(), 1);
    a->Unload(); // entry 0 becomes free and is skipped
    Menu(board, "mnuTools(8)");
    Menu(board, "mnuTools(10)");
    const QStringList lines = LogText(board).split('\n');
    QCOMPARE(lines[0], QString());
    QVERIFY(lines[1].startsWith("====Log Connections @ "));
    QCOMPARE(lines[2], "<2> Switchboard [0] - Bob," + board->StartStamp());
    QVERIFY(!board->StartStamp().isEmpty());
    QCOMPARE(lines[3], QStringLiteral("<0> Client #1 [2] - Bob,I=2,L=0,"));
    QCOMPARE(lines[4], QString());
    QCOMPARE(lines.size(), 6);

    // An entry in use at the head of the table is reported like any other.
    Menu(board, "mnuTools(8)");
    frmClient* c = AddLine(board);
    QCOMPARE(ClientWindows().Line(board, 0), c->ID());
    Menu(board, "mnuTools(10)");
    QVERIFY2(LogText(board).contains("> Client #0 [" + QString::number(c->ID()) + "] - ,I="),
             qPrintable(LogText(board)));

    Menu(b, "mnuTools(10)"); // a line window reports itself with "Switchboard" too
    QVERIFY(LogText(b).contains("\n<0> Switchboard [2] - Bob,\n\n"));
}

void TestDialogs::clearSettingsOnLineWindow() {
    AppFixture app;
    app.WriteSettings("Ann\r\n\r\n7100\r\n9\r\n 2 \r\nhost1\r\nhost2\r\n");
    frmClient* board = app.Start();
    Settings.LoginPassword = "lp";
    Settings.Passwords[2] = "two";
    frmClient* line = AddLine(board);
    QCOMPARE(Find<QComboBox>(line, "cmbIP")->count(), 2);
    const int beeps = platform::BeepCount();
    Menu(line, "mnuTools(3)");
    QCOMPARE(platform::BeepCount(), beeps + 1);
    QVERIFY(Settings.Nickname.isEmpty() && Settings.LoginPassword.isEmpty());
    QVERIFY(Settings.Passwords[2].isEmpty());
    QCOMPARE(Settings.Port, 0);
    QCOMPARE(Settings.Timeout, 9);
    // The remembered addresses are forgotten in every window, not only this one.
    QCOMPARE(Find<QComboBox>(line, "cmbIP")->count(), 0);
    QCOMPARE(Find<QComboBox>(board, "cmbIP")->count(), 0);
    QCOMPARE(app.ReadSettings(), QByteArray("\r\n\r\n0\r\n9\r\n 0 \r\n"));
    QCOMPARE(Settings.AddressCount, 0);
    frmClient* fresh = AddLine(board);
    QCOMPARE(Find<QComboBox>(fresh, "cmbIP")->count(), 0);
    QCOMPARE(Settings.Port, 7000); // a window loaded afterwards restores the default
    QCOMPARE(Find<QLabel>(line, "lblLevels")->text(), QStringLiteral("None"));
    Menu(board, "mnuTools(0)");
    QVERIFY(Find<QLineEdit>(frmSettings::Instance(), "txtNickname")->text().isEmpty());
    QVERIFY(Find<QLineEdit>(frmSettings::Instance(), "txtPassword" + QString::number(2))
                ->text()
                .isEmpty());
    Click(frmSettings::Instance(), "cmdCancel");
}

void TestDialogs::clearChatWindowAndDebugWindow() {
    AppFixture app;
    frmClient* board = app.Start();
    board->LogInfo("chat line");
    const QString debugBefore = DebugWindow()->txtLog()->toPlainText();
    QVERIFY(!debugBefore.isEmpty());
    Menu(board, "mnuTools(8)");
    QVERIFY(LogText(board).isEmpty());
    QCOMPARE(DebugWindow()->txtLog()->toPlainText(), debugBefore);

    Menu(board, "mnuTools(9)");
    QVERIFY(DebugWindow()->isVisible());
    DebugWindow()->close();
    QTRY_VERIFY(DebugWindow() == nullptr);
    Click(board, "lblServer"); // debug lines now go nowhere, without error
    Click(board, "lblServer");
    Menu(board, "mnuTools(9)");
    QVERIFY(DebugWindow() != nullptr && DebugWindow()->isVisible());
    QVERIFY(DebugWindow()->txtLog()->toPlainText().isEmpty());
    Click(board, "lblServer");
    QVERIFY(DebugWindow()->txtLog()->toPlainText().isEmpty());
}

void TestDialogs::longestLoginStillFitsOneMessage_data() {
    QTest::addColumn<QString>("character");
    QTest::addColumn<int>("size");          // of the longest login message
    QTest::newRow("Latin") << "n" << 32745; // no room given away: two more would not fit
    QTest::newRow("CJK, 3 bytes each") << "漢" << 4 + 5456 * 3 * 2 + 1;
    QTest::newRow("emoji, 4 bytes each") << "🙂" << 4 + 4092 * 4 * 2 + 1;
}

void TestDialogs::longestLoginStillFitsOneMessage() {
    // In UTF-8, the form it takes between two copies, with no character cut in half.
    QFETCH(QString, character);
    QFETCH(int, size);
    AppFixture app;
    frmClient* board = app.Start();
    Menu(board, "mnuTools(0)");
    frmSettings* d = frmSettings::Instance();
    Find<QLineEdit>(d, "txtNickname")->setText(character.repeated(40000));
    Find<QLineEdit>(d, "txtLoginPassword")->setText(character.repeated(40000));
    Click(d, "cmdOK");
    QVERIFY(Settings.Nickname.size() < 40000);
    const QByteArray pass =
        "PASS" + Settings.LoginPassword.toUtf8() + '\0' + Settings.Nickname.toUtf8();
    CNetMsg login;
    QCOMPARE(login.CreateMessage(kAppMarker, 0, 1, CmdLogin, pass), CNetMsg::CreateResult::Ok);
    QCOMPARE(pass.size(), size);
    QCOMPARE(QString::fromUtf8(pass.mid(4)).toUtf8(), pass.mid(4));
}

// The settings dialog's labels name the box on their own row.
void TestDialogs::labelsBesideTheirBoxes_data() {
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("box");
    QTest::newRow("address") << "Enter your IP address for server:"
                             << "txtIP";
    QTest::newRow("port") << "Server Port:"
                          << "txtPort";
    QTest::newRow("timeout") << "Timeout:"
                             << "txtTimeout";
    QTest::newRow("seconds") << "Seconds"
                             << "txtTimeout";
    QTest::newRow("nickname") << "Nickname:"
                              << "txtNickname";
    QTest::newRow("login password") << "Login Password:"
                                    << "txtLoginPassword";
    QTest::newRow("passwords") << "Passwords:"
                               << "txtPassword1";
    for (int k = 1; k <= 5; ++k) {
        QTest::newRow(qPrintable(QStringLiteral("password %1").arg(k)))
            << QStringLiteral("%1.").arg(k) << QStringLiteral("txtPassword%1").arg(k);
    }
}

void TestDialogs::labelsBesideTheirBoxes() {
    QFETCH(QString, label);
    QFETCH(QString, box);
    AppFixture app;
    frmClient* board = app.Start();
    Menu(board, "mnuTools(0)");
    frmSettings* d = frmSettings::Instance();
    const QLabel* l = nullptr;
    for (const QLabel* candidate : d->findChildren<QLabel*>()) {
        if (candidate->text() == label) {
            l = candidate;
        }
    }
    QVERIFY2(l != nullptr, qPrintable(label));
    const auto* b = d->findChild<QLineEdit*>(box);
    QVERIFY(b != nullptr);
    if (label != QLatin1String("Seconds")) {
        QCOMPARE(l->buddy(), b); // a screen reader names the box by its label
    }
    const int labelMiddle = l->mapTo(d, l->rect().center()).y();
    const QRect boxRect(b->mapTo(d, QPoint(0, 0)), b->size());
    QVERIFY2(labelMiddle >= boxRect.top() && labelMiddle <= boxRect.bottom(),
             qPrintable(QStringLiteral("%1 at %2, box %3..%4")
                            .arg(label)
                            .arg(labelMiddle)
                            .arg(boxRect.top())
                            .arg(boxRect.bottom())));
    Click(d, "cmdCancel");
}

// What is typed in each box is what OK puts in the settings.
void TestDialogs::boxesReachTheSettings_data() {
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("field");
    QTest::newRow("nickname") << "txtNickname"
                              << "Zed"
                              << "Nickname";
    QTest::newRow("port") << "txtPort"
                          << "7100"
                          << "Port";
    QTest::newRow("timeout") << "txtTimeout"
                             << "45"
                             << "Timeout";
    QTest::newRow("login password") << "txtLoginPassword"
                                    << "lp"
                                    << "LoginPassword";
    for (int k = 1; k <= 5; ++k) {
        QTest::newRow(qPrintable(QStringLiteral("password %1").arg(k)))
            << QStringLiteral("txtPassword%1").arg(k) << QStringLiteral("pw%1").arg(k)
            << QStringLiteral("Password%1").arg(k);
    }
}

void TestDialogs::boxesReachTheSettings() {
    QFETCH(QString, box);
    QFETCH(QString, typed);
    QFETCH(QString, field);
    AppFixture app;
    frmClient* board = app.Start();
    Menu(board, "mnuTools(0)");
    frmSettings* d = frmSettings::Instance();
    d->findChild<QLineEdit*>(box)->setText(typed);
    Click(d, "cmdOK");
    const QMap<QString, QString> fields{{"Nickname", Settings.Nickname},
                                        {"Port", QString::number(Settings.Port)},
                                        {"Timeout", QString::number(Settings.Timeout)},
                                        {"LoginPassword", Settings.LoginPassword},
                                        {"Password1", Settings.Passwords[1]},
                                        {"Password2", Settings.Passwords[2]},
                                        {"Password3", Settings.Passwords[3]},
                                        {"Password4", Settings.Passwords[4]},
                                        {"Password5", Settings.Passwords[5]}};
    for (auto it = fields.begin(); it != fields.end(); ++it) {
        if (it.key() == field) {
            QCOMPARE(it.value(), typed);
        } else {
            QVERIFY2(it.value() != typed, qPrintable(it.key())); // nothing else took it
        }
    }
}

void TestDialogs::encryptionBoxClicks() {
    AppFixture app;
    frmClient* board = app.Start();
    Menu(board, "mnuTools(0)");
    frmSettings* d = frmSettings::Instance();
    for (bool on : {false, true, false}) {
        Find<QCheckBox>(d, "chkCrypt")->click();
        QCOMPARE(Find<QCheckBox>(d, "chkCrypt")->isChecked(), on);
        for (int k = 1; k <= 5; ++k) {
            QCOMPARE(Find<QLineEdit>(d, "txtPassword" + QString::number(k))->isEnabled(), on);
        }
        QCOMPARE(Find<QCheckBox>(d, "chkAcceptSecure")->isEnabled(), on);
        QVERIFY(Find<QLineEdit>(d, "txtLoginPassword")->isEnabled());
    }
    Click(d, "cmdCancel");
}

void TestDialogs::windowOptions() {
    // Both off at first; each kept outside the settings file and applied at once.
    AppFixture app;
    frmClient* board = app.Start();
    board->LogInfo("plain");
    QVERIFY(LogText(board).split(QLatin1Char('\n')).contains("plain"));
    Menu(board, "mnuToolsShowTimes");
    board->LogInfo("stamped");
    static const QRegularExpression stamped(QStringLiteral("\n\\d\\d:\\d\\d: stamped\n$"));
    QVERIFY2(stamped.match(LogText(board)).hasMatch(), qPrintable(LogText(board)));
    QCOMPARE(Find<ClickLabel>(board, "lblServer")->text(), QStringLiteral("Reject"));
    Menu(board, "mnuToolsAcceptAtStart");
    Settings.Port = FreePort();
    QVERIFY(board->SaveSettings());
    AppFixture::CloseAll();
    board = app.Start();
    QCOMPARE(Find<ClickLabel>(board, "lblServer")->text(), QStringLiteral("Accept"));
    QCOMPARE(ClientWindows().Model().ServerState(0), int(platform::TcpSocket::Listening));
    QVERIFY(!app.ReadSettings().contains("Accept"));
}

QTEST_MAIN(TestDialogs)
#include "tst_dialogs.moc"
