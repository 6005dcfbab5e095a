#include "about/frmAbout.h"
#include "app/frmSettings.h"
#include "chat/ClientWindows.h"
#include "chat/frmClient.h"
#include "log/frmDebug.h"
#include "platform/Desktop.h"
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
    board->mnuTools_Click(0);
    frmSettings* d = frmSettings::Instance();
    QVERIFY(d != nullptr && d->isVisible());
    QCOMPARE(d->windowTitle(), QStringLiteral("Settings"));
    QCOMPARE(d->parentWidget(), board); // owned by the window that asked
    QCOMPARE(d->txtNickname->text(), QStringLiteral("Ann"));
    QCOMPARE(d->txtPort->text(), QStringLiteral("7000"));
    QCOMPARE(d->txtTimeout->text(), QStringLiteral("30"));
    QCOMPARE(d->txtLoginPassword->text(), QStringLiteral("login"));
    QCOMPARE(d->txtPassword[3]->text(), QStringLiteral("three"));
    QVERIFY(d->txtIP->text().isEmpty());
    for (QLineEdit* box : {d->txtLoginPassword, d->txtPassword[1], d->txtPassword[5]}) {
        QCOMPARE(box->echoMode(), QLineEdit::Password);
    }
    QVERIFY(d->chkCrypt->isChecked());
    QVERIFY(!d->chkCrypt->isVisible() && !d->chkAcceptSecure->isVisible() &&
            !d->cmdIP->isVisible());
    QVERIFY(d->txtPassword[1]->isEnabled());
    QCOMPARE(d->Frame1->title(), QStringLiteral("Server Settings"));
    // OK and Cancel sit side by side at the bottom right, Cancel last.
    QVERIFY(d->cmdCancel->isVisible() && d->cmdOK->isVisible());
    QCOMPARE(d->cmdCancel->y(), d->cmdOK->y());
    QVERIFY(d->cmdCancel->x() > d->cmdOK->x() + d->cmdOK->width() - 1);
    QVERIFY(d->cmdOK->y() > d->Frame2->geometry().bottom());
    QCOMPARE(d->Frame2->title(), QStringLiteral("Secure Transfers"));
    // Unchecking the hidden box greys the passwords but keeps their text.
    d->chkCrypt->setChecked(false);
    d->SetCheck();
    QVERIFY(!d->txtPassword[2]->isEnabled());
    QVERIFY(!d->chkAcceptSecure->isEnabled());
    QVERIFY(d->txtLoginPassword->isEnabled());
    QCOMPARE(d->txtPassword[3]->text(), QStringLiteral("three"));

    // A second request refills the same dialog and drops unconfirmed edits.
    d->txtNickname->setText("edited");
    board->ShowSettings();
    QCOMPARE(frmSettings::Instance(), d);
    QCOMPARE(d->txtNickname->text(), QStringLiteral("Ann"));
    QVERIFY(d->chkCrypt->isChecked() == false); // its load step does not run again
    d->cmdCancel_Click();
}

void TestDialogs::startupFocus() {
    AppFixture app;
    frmClient* board = app.Start();
    board->ShowSettings();
    QCOMPARE(frmSettings::Instance()->focusWidget(), frmSettings::Instance()->txtNickname);
    frmSettings::Instance()->cmdCancel_Click();
    QTRY_VERIFY(frmSettings::Instance() == nullptr);
    Settings.Nickname = "Ann";
    board->ShowSettings();
    QCOMPARE(frmSettings::Instance()->focusWidget(), frmSettings::Instance()->txtLoginPassword);
    frmSettings::Instance()->cmdCancel_Click();
}

void TestDialogs::okStoresAndSaves() {
    AppFixture app;
    frmClient* board = app.Start();
    frmClient* line = AddLine(board);
    board->cmbIP->addItem("host1");
    board->ShowSettings();
    frmSettings* d = frmSettings::Instance();
    d->txtNickname->setText("Zed");
    d->txtTimeout->setText("12");
    d->txtLoginPassword->setText("lp");
    d->txtPassword[1]->setText("p1");
    d->txtIP->setText("10.1.1.1");
    d->cmdOK_Click();
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
        board->ShowSettings();
        frmSettings* d = frmSettings::Instance();
        d->txtPort->setText(QString::fromLatin1(c.typed));
        d->cmdOK_Click();
        QCOMPARE(Settings.Port, c.port);
        QCOMPARE(Line(app.ReadSettings(), 3), QByteArray::number(c.port));
        QTRY_VERIFY(frmSettings::Instance() == nullptr);
    }
    board->ShowSettings();
    frmSettings::Instance()->txtPort->setText("abc");
    frmSettings::Instance()->txtTimeout->setText("soon");
    frmSettings::Instance()->cmdOK_Click();
    QCOMPARE(Settings.Timeout, 0);
}

void TestDialogs::enterKeys() {
    AppFixture app;
    frmClient* board = app.Start();
    board->ShowSettings();
    frmSettings* d = frmSettings::Instance();
    QTest::keyClick(d->txtIP, Qt::Key_Return);
    QCOMPARE(d->focusWidget(), d->txtPort);
    QTest::keyClick(d->txtPort, Qt::Key_Return);
    QCOMPARE(d->focusWidget(), d->txtTimeout);
    QTest::keyClick(d->txtTimeout, Qt::Key_Return);
    QCOMPARE(d->focusWidget(), d->txtNickname); // the next field the user can see
    QVERIFY(!d->txtTimeout->text().contains('\n'));
    d->txtNickname->setText("ViaEnter");
    QPointer<frmSettings> guard(d);
    QTest::keyClick(d->txtPassword[2], Qt::Key_Enter);
    QCOMPARE(Settings.Nickname, QStringLiteral("ViaEnter"));
    QTRY_VERIFY(guard.isNull());
    QVERIFY(app.ReadSettings().startsWith("ViaEnter\r\n"));
}

void TestDialogs::cancelAndCloseBoxChangeNothing() {
    AppFixture app;
    app.WriteSettings("Old\r\n\r\n7000\r\n0\r\n 0 \r\n");
    frmClient* board = app.Start();
    const QByteArray before = app.ReadSettings();
    board->ShowSettings();
    frmSettings::Instance()->txtNickname->setText("New");
    frmSettings::Instance()->txtPassword[1]->setText("x");
    frmSettings::Instance()->cmdCancel_Click();
    QTRY_VERIFY(frmSettings::Instance() == nullptr);
    QCOMPARE(Settings.Nickname, QStringLiteral("Old"));
    QVERIFY(Settings.Passwords[1].isEmpty());
    QCOMPARE(app.ReadSettings(), before);
    board->ShowSettings();
    frmSettings::Instance()->txtNickname->setText("New");
    frmSettings::Instance()->close(); // the close box
    QTRY_VERIFY(frmSettings::Instance() == nullptr);
    QCOMPARE(Settings.Nickname, QStringLiteral("Old"));
    QCOMPARE(app.ReadSettings(), before);
    board->ShowSettings();
    frmSettings::Instance()->txtNickname->setText("New");
    QTest::keyClick(frmSettings::Instance(), Qt::Key_Escape);
    QTRY_VERIFY(frmSettings::Instance() == nullptr);
    QCOMPARE(Settings.Nickname, QStringLiteral("Old"));
}

void TestDialogs::passwordsNotKeptAcrossRestart() {
    AppFixture app;
    frmClient* board = app.Start();
    board->ShowSettings();
    frmSettings::Instance()->txtNickname->setText("Ann");
    frmSettings::Instance()->txtLoginPassword->setText("lp");
    frmSettings::Instance()->txtPassword[4]->setText("p4");
    frmSettings::Instance()->cmdOK_Click();
    AppFixture::CloseAll();
    QTRY_VERIFY(frmSettings::Instance() == nullptr);
    ResetSettings(); // a new run of the program reads only the file
    board = app.Start();
    board->ShowSettings();
    frmSettings* d = frmSettings::Instance();
    QCOMPARE(d->txtNickname->text(), QStringLiteral("Ann"));
    QVERIFY(d->txtLoginPassword->text().isEmpty());
    for (int k = 1; k <= 5; ++k) {
        QVERIFY(d->txtPassword[k]->text().isEmpty());
    }
    d->cmdCancel_Click();
}

void TestDialogs::levelsAfterOk() {
    AppFixture app;
    frmClient* board = app.Start();
    frmClient* line = AddLine(board);
    QCOMPARE(board->lblLevels->text(), QStringLiteral("None")); // no password yet
    board->ShowSettings();
    frmSettings::Instance()->txtPassword[1]->setText("a");
    frmSettings::Instance()->txtPassword[3]->setText("c");
    frmSettings::Instance()->cmdOK_Click();
    for (frmClient* w : {board, line}) {
        QCOMPARE(w->lblLevels->text(), QStringLiteral("Low"));
        QCOMPARE(w->lblLevels->palette().color(QPalette::Window), QColor(0, 128, 0));
        QCOMPARE(w->lblLevels->toolTip(), QStringLiteral("No Login+2"));
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
        QCOMPARE(board->lblLevels->text(), QString::fromLatin1(c.caption));
        QCOMPARE(board->lblLevels->palette().color(QPalette::Window), c.colour);
        QCOMPARE(board->lblLevels->toolTip(), QString::fromLatin1(c.tip));
    }
}

void TestDialogs::aboutWindow() {
    AppFixture app;
    frmClient* board = app.Start();
    board->mnuHelp_Click(0);
    frmAbout* about = frmAbout::Instance();
    QVERIFY(about != nullptr && about->isVisible());
    QCOMPARE(about->windowTitle(), QStringLiteral("About Palaver"));
    QCOMPARE(about->objectName(), QStringLiteral("frmAbout"));
    // Title, then copyright, then the two link rows, one under the other.
    QVERIFY(about->lblTitle->geometry().bottom() < about->lblCopyright->y());
    QVERIFY(about->lblCopyright->geometry().bottom() < about->Label1->y());
    QVERIFY(about->Label1->geometry().bottom() < about->Label2->y());
    QCOMPARE(about->lblTitle->text(), QStringLiteral("Palaver v0.1.1"));
    QCOMPARE(about->Label1->text(), QStringLiteral("e-mail:"));
    QCOMPARE(about->Label2->text(), QStringLiteral("web:"));
    QVERIFY(!about->lblCopyright->text().isEmpty());
    QCOMPARE(about->lblMailTo->property("Tag").toString(), "mailto:" + about->lblMailTo->text());
    QVERIFY(about->lblQuorvex->property("Tag").toString().startsWith("http"));
    QCOMPARE(about->lblQuorvex->cursor().shape(), Qt::PointingHandCursor);
    QCOMPARE(about->lblMailTo->cursor().shape(), Qt::PointingHandCursor);
    QVERIFY(about->parentWidget() == nullptr);
    QCOMPARE(about->windowIcon().cacheKey(), board->windowIcon().cacheKey());
    QVERIFY(!about->picIcon->pixmap().isNull());
    board->mnuHelp_Click(0); // one instance, brought forward
    QCOMPARE(frmAbout::Instance(), about);
    QPointer<frmAbout> guard(about);
    QTest::mouseClick(about->cmdOK, Qt::LeftButton);
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
    QCOMPARE(TextColour(about->lblQuorvex), blue);
    QCOMPARE(TextColour(about->lblMailTo), blue);

    QTest::mouseMove(about->lblQuorvex);
    QMouseEvent over(QEvent::MouseMove, QPointF(2, 2),
                     about->lblQuorvex->mapToGlobal(QPointF(2, 2)), Qt::NoButton, Qt::NoButton,
                     Qt::NoModifier);
    QCoreApplication::sendEvent(about->lblQuorvex, &over);
    QCOMPARE(TextColour(about->lblQuorvex), red);
    QVERIFY(about->lblQuorvex->font().underline());
    QCOMPARE(TextColour(about->lblMailTo), blue);
    QVERIFY(!about->lblMailTo->font().underline());

    QCoreApplication::sendEvent(about->lblMailTo, &over);
    QCOMPARE(TextColour(about->lblMailTo), red);
    QCOMPARE(TextColour(about->lblQuorvex), blue);
    QVERIFY(!about->lblQuorvex->font().underline());

    QMouseEvent background(QEvent::MouseMove, QPointF(1, 1), about->mapToGlobal(QPointF(1, 1)),
                           Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(about, &background);
    QCOMPARE(TextColour(about->lblMailTo), blue);
    QVERIFY(!about->lblMailTo->font().underline());

    QTest::mouseClick(about->lblQuorvex, Qt::LeftButton);
    QCOMPARE(opened.size(), 1);
    QCOMPARE(opened[0].toString(), about->lblQuorvex->property("Tag").toString());
    QCOMPARE(TextColour(about->lblQuorvex), purple);
    QTest::mouseClick(about->lblMailTo, Qt::LeftButton);
    QCOMPARE(opened.size(), 2);
    QCOMPARE(opened[1].scheme(), QStringLiteral("mailto"));
    QCOMPARE(TextColour(about->lblMailTo), purple);
    platform::SetUrlOpener(previous);
    about->close();
}

void TestDialogs::menuItems() {
    AppFixture app;
    frmClient* board = app.Start();
    QCOMPARE(board->mnuFile->title(), QStringLiteral("&File"));
    QCOMPARE(board->mnuTools->title(), QStringLiteral("&Tools"));
    QCOMPARE(board->mnuHelp->title(), QStringLiteral("&Help"));
    const QStringList tools = {"&Settings",
                               "&Accept/Reject Calls",
                               "",
                               "&Clear Settings",
                               "",
                               "Clear Chat Window",
                               "&Show Debug Window",
                               "Log Connections"};
    QStringList seen;
    for (QAction* a : board->mnuTools->actions()) {
        seen << a->text();
    }
    QCOMPARE(seen, tools);
    QVERIFY(board->findChild<QAction*>("mnuTools(10)") != nullptr);
    QVERIFY(board->findChild<QAction*>("mnuTools(5)") == nullptr);
    QCOMPARE(board->findChild<QAction*>("mnuFile(0)")->text(), QStringLiteral("E&xit"));
    QCOMPARE(board->findChild<QAction*>("mnuHelp(0)")->text(), QStringLiteral("&About Palaver..."));
    // Unused numbers do nothing; the menu item runs the server switch.
    board->mnuTools_Click(6);
    board->mnuTools_Click(99);
    Settings.Port = FreePort();
    board->findChild<QAction*>("mnuTools(1)")->trigger();
    QCOMPARE(board->lblServer->text(), QStringLiteral("Accept"));
}

void TestDialogs::logConnections() {
    AppFixture app;
    frmClient* board = app.Start();
    static const QRegularExpression header(
        R"(^\n====Log Connections @ [^\n]+====\n<0> Switchboard \[0\] - ,\n\n$)");
    board->mnuTools_Click(10);
    QVERIFY2(header.match(LogText(board)).hasMatch(), qPrintable(LogText(board)));

    board->Log().Clear();
    Settings.Port = FreePort();
    board->lblServer_Click();
    frmClient* a = AddLine(board);
    frmClient* b = AddLine(board);
    a->SetNickname("Ann");
    a->SetStartStamp("stampA");
    b->SetNickname("Bob");
    board->SetStartStamp("stamp0");
    a->Unload(); // entry 0 becomes free and is skipped
    board->mnuTools_Click(10);
    const QStringList lines = LogText(board).split('\n');
    QCOMPARE(lines[0], QString());
    QVERIFY(lines[1].startsWith("====Log Connections @ "));
    QCOMPARE(lines[2], QStringLiteral("<2> Switchboard [0] - ,stamp0"));
    QCOMPARE(lines[3], QStringLiteral("<0> Client #1 [2] - Bob,I=2,L=0,"));
    QCOMPARE(lines[4], QString());
    QCOMPARE(lines.size(), 6);

    // An entry in use at the head of the table is reported like any other.
    board->Log().Clear();
    frmClient* c = AddLine(board);
    QCOMPARE(board->Lines(0), c->ID());
    board->mnuTools_Click(10);
    QVERIFY2(LogText(board).contains("> Client #0 [" + QString::number(c->ID()) + "] - ,I="),
             qPrintable(LogText(board)));

    b->SetStartStamp("sb");
    b->mnuTools_Click(10); // a line window reports itself with "Switchboard" too
    QVERIFY(LogText(b).contains("\n<0> Switchboard [2] - Bob,sb\n\n"));
}

void TestDialogs::clearSettingsOnLineWindow() {
    AppFixture app;
    app.WriteSettings("Ann\r\n\r\n7100\r\n9\r\n 2 \r\nhost1\r\nhost2\r\n");
    frmClient* board = app.Start();
    Settings.LoginPassword = "lp";
    Settings.Passwords[2] = "two";
    frmClient* line = AddLine(board);
    QCOMPARE(line->cmbIP->count(), 2);
    const int beeps = platform::BeepCount();
    line->mnuTools_Click(3);
    QCOMPARE(platform::BeepCount(), beeps + 1);
    QVERIFY(Settings.Nickname.isEmpty() && Settings.LoginPassword.isEmpty());
    QVERIFY(Settings.Passwords[2].isEmpty());
    QCOMPARE(Settings.Port, 0);
    QCOMPARE(Settings.Timeout, 9);
    QCOMPARE(line->cmbIP->count(), 0);
    QCOMPARE(board->cmbIP->count(), 2);
    QCOMPARE(app.ReadSettings(), QByteArray("\r\n\r\n0\r\n9\r\n 0 \r\n"));
    QCOMPARE(Settings.AddressCount, 2);
    frmClient* fresh = AddLine(board);
    QCOMPARE(fresh->cmbIP->count(), 2);
    QCOMPARE(Settings.Port, 7000); // a window loaded afterwards restores the default
    QCOMPARE(line->lblLevels->text(), QStringLiteral("None"));
    board->ShowSettings();
    QVERIFY(frmSettings::Instance()->txtNickname->text().isEmpty());
    QVERIFY(frmSettings::Instance()->txtPassword[2]->text().isEmpty());
    frmSettings::Instance()->cmdCancel_Click();
}

void TestDialogs::clearChatWindowAndDebugWindow() {
    AppFixture app;
    frmClient* board = app.Start();
    board->LogInfo("chat line");
    const QString debugBefore = DebugWindow()->txtLog()->toPlainText();
    QVERIFY(!debugBefore.isEmpty());
    board->mnuTools_Click(8);
    QVERIFY(LogText(board).isEmpty());
    QCOMPARE(DebugWindow()->txtLog()->toPlainText(), debugBefore);

    board->mnuTools_Click(9);
    QVERIFY(DebugWindow()->isVisible());
    DebugWindow()->close();
    QTRY_VERIFY(DebugWindow() == nullptr);
    QVERIFY(!DebugLog());
    board->lblServer_Click(); // debug lines now go nowhere, without error
    board->lblServer_Click();
    board->mnuTools_Click(9);
    QVERIFY(DebugWindow() != nullptr && DebugWindow()->isVisible());
    QVERIFY(DebugWindow()->txtLog()->toPlainText().isEmpty());
    board->lblServer_Click();
    QVERIFY(DebugWindow()->txtLog()->toPlainText().isEmpty());
}

void TestDialogs::longestLoginStillFitsOneMessage() {
    AppFixture app;
    frmClient* board = app.Start();
    board->mnuTools_Click(0);
    frmSettings* d = frmSettings::Instance();
    d->txtNickname->setText(QString(40000, QLatin1Char('n')));
    d->txtLoginPassword->setText(QString(40000, QLatin1Char('p')));
    d->cmdOK_Click();
    QVERIFY(Settings.Nickname.size() < 40000);
    const QByteArray pass =
        "PASS" + Settings.LoginPassword.toLatin1() + '\0' + Settings.Nickname.toLatin1();
    CNetMsg login;
    QCOMPARE(login.CreateMessage(kAppMarker, 0, 1, CmdLogin, pass), CNetMsg::CreateResult::Ok);
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
    board->mnuTools_Click(0);
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
    d->cmdCancel_Click();
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
    board->mnuTools_Click(0);
    frmSettings* d = frmSettings::Instance();
    d->findChild<QLineEdit*>(box)->setText(typed);
    d->cmdOK_Click();
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
    board->mnuTools_Click(0);
    frmSettings* d = frmSettings::Instance();
    for (bool on : {false, true, false}) {
        d->chkCrypt->click();
        QCOMPARE(d->chkCrypt->isChecked(), on);
        for (int k = 1; k <= 5; ++k) {
            QCOMPARE(d->txtPassword[k]->isEnabled(), on);
        }
        QCOMPARE(d->chkAcceptSecure->isEnabled(), on);
        QVERIFY(d->txtLoginPassword->isEnabled());
    }
    d->cmdCancel_Click();
}

QTEST_MAIN(TestDialogs)
#include "tst_dialogs.moc"
