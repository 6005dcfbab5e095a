// What makes Palaver a desktop program: the command line, alerts, what a screen reader is
// told, and the window faults users met.
#include "about/frmAbout.h"
#include "app/Main.h"
#include "app/OutsideCalls.h"
#include "app/frmSettings.h"
#include "call/Identity.h"
#include "chat/ClientWindows.h"
#include "chat/frmClient.h"
#include "platform/Desktop.h"
#include "platform/LocaleText.h"
#include "protocol/NetCodec.h"
#include "settings/Settings.h"
#include "support/AppFixture.h"
#include "support/CallHelpers.h"
#include "support/ScriptedPeer.h"

#include <QAccessible>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QStyle>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstring>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

class TestDesktop : public QObject {
    Q_OBJECT
private slots:
    void commandLine_data();
    void commandLine();
    void callsFromOutside_data();
    void callsFromOutside();
    void qtOptionsStartTheProgram();
    void handOverIsTheUsersAlone_data();
    void handOverIsTheUsersAlone();
    void escapeInSendBoxKeepsAddresses();
    void accessibleNames_data();
    void accessibleNames();
    void serverSwitchByKeyboard();
    void passwordBoxesShowStars();
    void linesAlertWhenInBackground();
    void settingsDialogOutlivesItsLine();
    void aboutLinksSpanTheirText();
    void clearSettingsRetitles();
    void generalDateHasNoZone();
    void failedSaveAtCloseIsShown();
};

void TestDesktop::commandLine_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("expected");
    QTest::newRow("version") << QStringList{"--version"} << 0 << "Palaver 0.1.1\n";
    QTest::newRow("short version") << QStringList{"-v"} << 0 << "Palaver 0.1.1\n";
    QTest::newRow("help") << QStringList{"--help"} << 0 << "Usage: palaver [options]";
    QTest::newRow("unknown option")
        << QStringList{"--bogus"} << 2 << "palaver: Unknown option 'bogus'.\n\nUsage: palaver";
    QTest::newRow("unknown command") << QStringList{"dial", "x"} << 2 << "palaver: unknown command";
    QTest::newRow("empty host") << QStringList{"call", ""} << 2 << "palaver: not an address";
    QTest::newRow("port out of range")
        << QStringList{"call", "host:65536"} << 2 << "palaver: not an address to call: host:65536";
    QTest::newRow("port zero") << QStringList{"call", "[::1]:0"} << 2 << "palaver: not an address";
    QTest::newRow("malformed link")
        << QStringList{"palaver://a/b"} << 2 << "palaver: not an address";
    QTest::newRow("send a file that is not there")
        << QStringList{"send", "host", "/nonexistent/x"} << 2 << "palaver: not a file to send";
    QTest::newRow("send a folder")
        << QStringList{"send", "host", "/"} << 2 << "palaver: not a file";
    QTest::newRow("send nothing") << QStringList{"send", "host"} << 2 << "palaver: unknown command";
    QTest::newRow("10000 characters")
        << QStringList{"call", QString(10000, 'x')} << 2 << "palaver: not an address";
    // The key is made on first need and the same one printed after.
    QTest::newRow("fingerprint") << QStringList{"--fingerprint"} << 0 << "key";
    QTest::newRow("fingerprint of a damaged key")
        << QStringList{"--fingerprint"} << 1 << "palaver: Secure calls are off: the key file";
}

void TestDesktop::commandLine() {
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QString, expected);
    QProcess palaver;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    QTemporaryDir data;
    env.insert("XDG_DATA_HOME", data.path());
    const QString keyFile = data.filePath("Palaver/identity.pem");
    if (status == 1) {
        QDir().mkpath(data.filePath("Palaver"));
        QFile damaged(keyFile);
        QVERIFY(damaged.open(QIODevice::WriteOnly) && damaged.write("not a key") == 9);
    }
    env.remove("DISPLAY"); // opening a window would fail here
    env.insert("QT_QPA_PLATFORM", "xcb");
    palaver.setProcessEnvironment(env);
    palaver.setProcessChannelMode(QProcess::MergedChannels);
    palaver.start(QDir(QCoreApplication::applicationDirPath()).filePath("palaver"), args);
    QVERIFY(palaver.waitForFinished(10000));
    QCOMPARE(palaver.exitStatus(), QProcess::NormalExit);
    QCOMPARE(palaver.exitCode(), status);
    const QString out = QString::fromLocal8Bit(palaver.readAll());
    if (expected == "key") {
        Identity made;
        made.Load(keyFile);
        QCOMPARE(out, Identity::ShowFingerprint(made.Fingerprint()) + "\n");
        QCOMPARE(out.size(), 16 * 5);
        return;
    }
    QVERIFY2(out.startsWith(expected), qPrintable(out.left(200)));
}

void TestDesktop::callsFromOutside_data() {
    QTest::addColumn<bool>("stale");
    QTest::addColumn<bool>("otherFolder");
    QTest::addColumn<bool>("plainStart");
    QTest::addColumn<bool>("link");
    QTest::newRow("to the copy running here") << false << false << false << false;
    QTest::newRow("over a stale socket file") << true << false << false << false;
    QTest::newRow("from another folder") << false << true << false << false;
    // One copy per folder: a second start brings the first one's (hidden) switchboard back.
    QTest::newRow("a second start here") << false << false << true << false;
    QTest::newRow("a link, its port percent-encoded") << false << false << false << true;
}

void TestDesktop::callsFromOutside() {
    QFETCH(bool, stale);
    QFETCH(bool, otherFolder);
    QFETCH(bool, plainStart);
    QFETCH(bool, link);
    AppFixture app;
    if (stale) {
        QFile left(outside::SocketPath(app.Dir()));
        QVERIFY(left.open(QIODevice::WriteOnly));
    }
    frmClient* board = app.Start();
    QTemporaryDir other;
    QProcess second;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_DATA_HOME", other.path());
    env.insert("XDG_CONFIG_HOME", other.path());
    second.setProcessEnvironment(env);
    second.setWorkingDirectory(otherFolder ? other.path() : app.Dir());
    QTcpServer callee; // where the call goes: its arrival proves the call was placed
    QVERIFY(callee.listen(QHostAddress::LocalHost, 0));
    const QString target = "127.0.0.1:" + QString::number(callee.serverPort());
    if (plainStart) {
        board->hide();
    }
    second.start(QDir(QCoreApplication::applicationDirPath()).filePath("palaver"),
                 plainStart ? QStringList{}
                 : link     ? QStringList{"palaver://" + QString(target).replace(":", "%3A")}
                            : QStringList{"call", target});
    QVERIFY(second.waitForStarted());
    if (plainStart) {
        QTRY_COMPARE(second.state(), QProcess::NotRunning);
        QCOMPARE(second.exitCode(), 0);
        QVERIFY(second.readAllStandardOutput().startsWith("Palaver already runs in this folder"));
        QTRY_VERIFY(board->isVisible());
        QCOMPARE(SlotsInUse(), 1);
        return;
    }
    if (otherFolder) {
        // Not ours to place: that folder's own copy starts and calls.
        QVERIFY(callee.waitForNewConnection(10000));
        QCOMPARE(second.state(), QProcess::Running);
        QCOMPARE(SlotsInUse(), 1);
        second.kill();
        second.waitForFinished();
        return;
    }
    QTRY_COMPARE(second.state(), QProcess::NotRunning);
    QCOMPARE(second.exitCode(), 0);
    QTRY_COMPARE(SlotsInUse(), 2);
    frmClient* line = ClientWindows(ClientWindows().Line(board, 0));
    QVERIFY(LogText(line).startsWith("Calling " + target + "..."));
}

void TestDesktop::handOverIsTheUsersAlone_data() {
    QTest::addColumn<bool>("foreignFolder"); // else: a foreign listener in our folder
    QTest::newRow("a runtime folder another user made") << true;
    QTest::newRow("another user listening where our copy would") << false;
}

void TestDesktop::handOverIsTheUsersAlone() {
    QFETCH(bool, foreignFolder);
    const passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || nobody == nullptr) {
        QSKIP("needs root to act as a second user");
    }
    QTemporaryDir runtime;
    QTemporaryDir scratch;
    QVERIFY(chmod(QFile::encodeName(runtime.path()).constData(), 0700) == 0);
    const QString path = runtime.filePath(outside::ServerName(scratch.path()));
    pid_t child = -1;
    if (foreignFolder) {
        QVERIFY(chown(QFile::encodeName(runtime.path()).constData(), nobody->pw_uid, 0) == 0);
    } else {
        // Another account listens, and the socket is put where ours would be.
        const QByteArray made = QFile::encodeName(scratch.filePath("s"));
        QVERIFY(chmod(QFile::encodeName(scratch.path()).constData(), 0777) == 0);
        int ready[2];
        QVERIFY(pipe(ready) == 0);
        child = fork();
        if (child == 0) {
            sockaddr_un at{};
            at.sun_family = AF_UNIX;
            std::strncpy(at.sun_path, made.constData(), sizeof at.sun_path - 1);
            const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
            const bool ok = setgid(nobody->pw_gid) == 0 && setuid(nobody->pw_uid) == 0 &&
                            bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 &&
                            listen(fd, 8) == 0;
            (void)!write(ready[1], ok ? "y" : "n", 1);
            for (;;) {
                const int c = accept(fd, nullptr, nullptr);
                (void)!send(c, "OK\n", 3, MSG_NOSIGNAL);
                close(c);
            }
        }
        char answer = 0;
        QVERIFY(read(ready[0], &answer, 1) == 1 && answer == 'y');
        QVERIFY(rename(made.constData(), QFile::encodeName(path).constData()) == 0);
    }
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    // Neither a call nor "already runs" goes to someone else; a copy of ours takes the place.
    QVERIFY(!outside::HandOver(scratch.path(), "127.0.0.1:7000", {}, 1000));
    QVERIFY(!outside::Raise(scratch.path(), 1000));
    outside::CallServer ours;
    QCOMPARE(ours.Listen(scratch.path()), !foreignFolder);
    QVERIFY(foreignFolder ? ours.Error().contains("belongs to another user")
                          : ours.Error().isEmpty());
    qunsetenv("XDG_RUNTIME_DIR");
    if (child > 0) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
}

void TestDesktop::qtOptionsStartTheProgram() {
    // An option that is Qt's, not ours, is left to Qt: the program starts and keeps running.
    QProcess palaver;
    QTemporaryDir scratch; // its settings and history, never the user's
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_DATA_HOME", scratch.path());
    env.insert("XDG_CONFIG_HOME", scratch.path());
    palaver.setProcessEnvironment(env);
    palaver.setWorkingDirectory(scratch.path());
    palaver.start(QDir(QCoreApplication::applicationDirPath()).filePath("palaver"),
                  {"-platform", "offscreen", "--style=Fusion"});
    QVERIFY(palaver.waitForStarted());
    QVERIFY(!palaver.waitForFinished(1500));
    palaver.kill();
    palaver.waitForFinished();
}

void TestDesktop::escapeInSendBoxKeepsAddresses() {
    AppFixture app;
    app.WriteSettings("n\r\n\r\n7000\r\n0\r\n 1 \r\nhost1\r\n");
    frmClient* board = app.Start();
    Find<QComboBox>(board, "cmbIP")->setCurrentIndex(0);
    QTest::keyClick(Find<QPlainTextEdit>(board, "txtSend"), Qt::Key_Escape);
    QCOMPARE(Find<QComboBox>(board, "cmbIP")->count(), 1);
    QTest::keyClick(Find<QComboBox>(board, "cmbIP")->lineEdit(),
                    Qt::Key_Escape); // there it removes
    QCOMPARE(Find<QComboBox>(board, "cmbIP")->count(), 0);
}

void TestDesktop::accessibleNames_data() {
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("tip");
    QTest::newRow("log") << "txtLog"
                         << "Chat log" << false;
    QTest::newRow("send box") << "txtSend"
                              << "Message to send" << false;
    QTest::newRow("address") << "cmbIP"
                             << "Address to call" << true;
    QTest::newRow("peer") << "lblConn"
                          << "Connected with" << false;
    QTest::newRow("peer address") << "lblConnIP"
                                  << "Peer address" << false;
    QTest::newRow("status") << "lblStatus"
                            << "Status" << false;
    QTest::newRow("levels") << "lblLevels"
                            << "Security level" << true;
    QTest::newRow("switch") << "lblServer"
                            << "Server switch: Reject" << true;
    QTest::newRow("call") << "cmdConnect"
                          << "Call" << true;
    QTest::newRow("bye") << "cmdClose"
                         << "Bye" << true;
    QTest::newRow("line") << "cmdLine2"
                          << "+ Line" << true;
    QTest::newRow("conf") << "cmdConf"
                          << "Conf" << true;
}

void TestDesktop::accessibleNames() {
    QFETCH(QString, control);
    QFETCH(QString, name);
    QFETCH(bool, tip);
    AppFixture app;
    frmClient* board = app.Start();
    auto* w = board->findChild<QWidget*>(control);
    QVERIFY(w != nullptr);
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
    QVERIFY(a != nullptr);
    QCOMPARE(a->text(QAccessible::Name), name);
    QCOMPARE(!w->toolTip().isEmpty(), tip);
}

void TestDesktop::serverSwitchByKeyboard() {
    AppFixture app;
    frmClient* board = app.Start();
    Settings.Port = FreePort();
    QCOMPARE(Find<ClickLabel>(board, "lblServer")->focusPolicy(), Qt::StrongFocus);
    QTest::keyClick(Find<ClickLabel>(board, "lblServer"), Qt::Key_Space);
    QCOMPARE(Find<ClickLabel>(board, "lblServer")->text(), QStringLiteral("Accept"));
    QCOMPARE(Find<ClickLabel>(board, "lblServer")->accessibleName(),
             QStringLiteral("Server switch: Accept"));
    QTest::keyClick(Find<ClickLabel>(board, "lblServer"), Qt::Key_Space);
    QCOMPARE(Find<ClickLabel>(board, "lblServer")->text(), QStringLiteral("Reject"));
    // Reached by Tab, it shows that it has the focus.
    auto* label = Find<ClickLabel>(board, "lblServer");
    const QImage unfocused = label->grab().toImage();
    board->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(board));
    Find<QPlainTextEdit>(board, "txtSend")->setFocus();
    for (int k = 0; k < 6; ++k) {
        QTest::keyClick(board, Qt::Key_Tab);
    }
    QTRY_VERIFY(label->hasFocus());
    QVERIFY(label->grab().toImage() != unfocused);
}

void TestDesktop::passwordBoxesShowStars() {
    AppFixture app;
    frmClient* board = app.Start();
    Menu(board, "mnuTools(0)");
    frmSettings* d = frmSettings::Instance();
    for (QLineEdit* box : {Find<QLineEdit>(d, "txtLoginPassword"),
                           Find<QLineEdit>(d, "txtPassword" + QString::number(1)),
                           Find<QLineEdit>(d, "txtPassword" + QString::number(2)),
                           Find<QLineEdit>(d, "txtPassword" + QString::number(3)),
                           Find<QLineEdit>(d, "txtPassword" + QString::number(4)),
                           Find<QLineEdit>(d, "txtPassword" + QString::number(5))}) {
        QCOMPARE(box->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, box),
                 int('*'));
    }
    Click(d, "cmdCancel");
}

void TestDesktop::linesAlertWhenInBackground() {
    AppFixture app;
    QList<QWidget*> alerted;
    const auto previous = platform::SetAlertHandler([&](QWidget* w) { alerted << w; });
    frmClient* board = app.Start();
    StartListening(board);
    // The user is busy in another window.
    frmClient* other = AddLine(board);
    other->activateWindow();
    QTRY_VERIFY(other->isActiveWindow());
    ScriptedPeer peer;
    QVERIFY(peer.ConnectTo(Settings.Port));
    QVERIFY(peer.WaitForMessages(1));
    QVERIFY(alerted.isEmpty()); // a stranger that has not logged in is not shown
    QVERIFY(peer.LogIn("", "Pat"));
    QTRY_COMPARE(alerted, QList<QWidget*>{board}); // an incoming call
    peer.Send(peer.Build(CmdText, "psst"));
    QTRY_VERIFY(LogText(board).endsWith("Pat: psst\n"));
    QTRY_COMPARE(alerted.size(), 2); // a line, once its read is done
    QCOMPARE(alerted.last(), board);
    // A conference member's line is seen in its owner, so the owner asks for attention.
    ScriptedPeer member;
    QVERIFY(member.ConnectTo(Settings.Port)); // the switchboard is busy: a line window
    QVERIFY(member.LogIn("", "Max"));
    Click(board, "cmdConf");
    const qsizetype before = alerted.size();
    member.Send(member.Build(CmdText, "to the conference"));
    QTRY_VERIFY(LogText(board).endsWith("Max: to the conference\n"));
    QTRY_COMPARE(alerted.size(), before + 1);
    QCOMPARE(alerted.last(), board);
    // Nothing asks for attention in the window the user is looking at.
    board->activateWindow();
    QTRY_VERIFY(board->isActiveWindow());
    const qsizetype seen = alerted.size();
    peer.Send(peer.Build(CmdText, "again"));
    QTRY_VERIFY(LogText(board).endsWith("Pat: again\n"));
    QCoreApplication::processEvents(); // where an alert would have been raised
    QCOMPARE(alerted.size(), seen);
    platform::SetAlertHandler(previous);
}

void TestDesktop::settingsDialogOutlivesItsLine() {
    AppFixture app;
    frmClient* board = app.Start();
    frmClient* line = AddLine(board);
    Menu(line, "mnuTools(0)");
    QPointer<frmSettings> d(frmSettings::Instance());
    Find<QLineEdit>(d, "txtNickname")->setText("edited");
    line->Unload(); // its call ended, say
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!d.isNull());
    QCOMPARE(Find<QLineEdit>(d, "txtNickname")->text(), QStringLiteral("edited"));
    Click(d, "cmdOK");
    QCOMPARE(Settings.Nickname, QStringLiteral("edited"));
}

void TestDesktop::aboutLinksSpanTheirText() {
    AppFixture app;
    frmAbout* about = frmAbout::ShowWithIcon(QIcon());
    about->resize(about->width() + 200, about->height());
    QCoreApplication::processEvents();
    for (QLabel* link : {Find<QLabel>(about, "lblMailTo"), Find<QLabel>(about, "lblQuorvex")}) {
        QCOMPARE(link->width(), link->sizeHint().width());
    }
    about->close();
}

void TestDesktop::clearSettingsRetitles() {
    AppFixture app;
    app.WriteSettings("Ann\r\n");
    frmClient* board = app.Start();
    frmClient* line = AddLine(board);
    QCOMPARE(line->windowTitle(), QStringLiteral("Palaver - Ann  (Line #2)"));
    Menu(line, "mnuTools(3)");
    QCOMPARE(board->windowTitle(), QStringLiteral("Palaver"));
    QCOMPARE(line->windowTitle(), QStringLiteral("Palaver"));
}

void TestDesktop::generalDateHasNoZone() {
    const QDateTime when(QDate(2026, 12, 8), QTime(5, 15, 45), QTimeZone::utc());
    const QString text = platform::GeneralDate(when);
    QVERIFY2(!text.contains("UTC") && !text.contains("GMT") && !text.contains("Coordinated"),
             qPrintable(text));
    QVERIFY2(text.contains("5:15:45") || text.contains("05:15:45"), qPrintable(text));
    QCOMPARE(platform::TimeFormatWithoutZone("HH:mm:ss t"), QStringLiteral("HH:mm:ss"));
    QCOMPARE(platform::TimeFormatWithoutZone("h:mm:ss AP t"), QStringLiteral("h:mm:ss AP"));
    QCOMPARE(platform::TimeFormatWithoutZone("H 'h' mm tttt"), QStringLiteral("H 'h' mm"));
    QCOMPARE(platform::TimeFormatWithoutZone("'at' HH:mm"), QStringLiteral("'at' HH:mm"));
}

void TestDesktop::failedSaveAtCloseIsShown() {
    AppFixture app;
    frmClient* board = app.Start();
    QVERIFY(QDir().mkpath(app.SettingsPath() + "/blocked")); // a folder where the file goes
    QVERIFY(board->Unload());
    QCOMPARE(app.boxes->texts.size(), 1);
    QVERIFY2(app.boxes->texts[0].startsWith("Settings not saved: "),
             qPrintable(app.boxes->texts[0]));
    QDir(app.SettingsPath()).removeRecursively();
}

QTEST_MAIN(TestDesktop)
#include "tst_desktop.moc"
