// Notifications, unread counts and the tray, against a notification server of the test's
// own on a private session bus (run under dbus-run-session).
#include "app/Main.h"
#include "app/Attention.h"
#include "chat/ClientWindows.h"
#include "chat/frmClient.h"
#include "platform/Desktop.h"
#include "platform/TcpSocket.h"
#include "protocol/NetCodec.h"
#include "settings/Settings.h"
#include "support/AppFixture.h"
#include "support/CallHelpers.h"
#include "support/ScriptedPeer.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QScopeGuard>
#include <QtTest>

// Records what Palaver asks of the desktop, on a connection of its own.
class FakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Call {
        uint replaces;
        QString summary;
        QString body;
        QStringList actions;
        QVariantMap hints;
    };
    QList<Call> calls;
    QList<uint> closed;
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "fake");

    bool running = false;
    bool Start() {
        running = true;
        return bus.registerObject("/org/freedesktop/Notifications", this,
                                  QDBusConnection::ExportAllSlots) &&
               bus.registerService("org.freedesktop.Notifications");
    }
    void Stop() {
        running = false;
        bus.unregisterService("org.freedesktop.Notifications");
        bus.unregisterObject("/org/freedesktop/Notifications");
    }
    void Invoke(uint id) {
        QDBusMessage signal = QDBusMessage::createSignal(
            "/org/freedesktop/Notifications", "org.freedesktop.Notifications", "ActionInvoked");
        signal << id << QStringLiteral("open");
        bus.send(signal);
    }

public slots:
    uint Notify(const QString&, uint replaces, const QString&, const QString& summary,
                const QString& body, const QStringList& actions, const QVariantMap& hints, int) {
        calls.append({replaces, summary, body, actions, hints});
        return replaces != 0 ? replaces : static_cast<uint>(calls.size()) + 100;
    }
    void CloseNotification(uint id) { closed.append(id); }
};

class TestNotify : public QObject {
    Q_OBJECT
    std::unique_ptr<AppFixture> app;
    FakeNotifications server;
    frmClient* board = nullptr;
    frmClient* elsewhere = nullptr;
    std::unique_ptr<ScriptedPeer> bob;

    // Bob talks to the switchboard while the user works in a line window.
    void Setup() {
        server.calls.clear();
        app = std::make_unique<AppFixture>();
        app->WriteSettings("Ann\r\n");
        board = app->Start();
        StartListening(board);
        elsewhere = AddLine(board);
        bob = std::make_unique<ScriptedPeer>();
        QVERIFY(bob->ConnectTo(Settings.Port));
        QVERIFY(bob->LogIn("", "Bob"));
        // The call itself was news for the switchboard; the user has seen it.
        board->activateWindow();
        QTRY_COMPARE(Attentions()->Unread(board), 0);
        elsewhere->activateWindow();
        QTRY_VERIFY(elsewhere->isActiveWindow());
        // What the call itself was told has reached the desktop before the test starts.
        QTRY_VERIFY(!server.running || server.calls.size() >= Attentions()->Told());
        server.calls.clear();
    }

private slots:
    void initTestCase() { QVERIFY(server.Start()); }
    void cleanup() {
        bob.reset();
        app.reset();
    }
    void linesNotifyAndReplace();
    void nothingWhileActive();
    void bodyIsShortAndSafe_data();
    void bodyIsShortAndSafe();
    void unreadCounts();
    void withoutAServer();
    void trayMenu_data();
    void trayMenu();
};

void TestNotify::linesNotifyAndReplace() {
    Setup();
    bob->Send(bob->Build(CmdText, "first"));
    QTRY_COMPARE(server.calls.size(), 1);
    QCOMPARE(server.calls[0].summary, QStringLiteral("Bob"));
    QCOMPARE(server.calls[0].body, QStringLiteral("first"));
    QCOMPARE(server.calls[0].replaces, 0u);
    QCOMPARE(server.calls[0].hints.value("category").toString(), QStringLiteral("im.received"));
    QVERIFY(server.calls[0].actions.contains("Open"));
    bob->Send(bob->Build(CmdText, "second"));
    QTRY_COMPARE(server.calls.size(), 2);
    QCOMPARE(server.calls[1].replaces, 101u); // in place, not stacked
    QCOMPARE(server.calls[1].body, QStringLiteral("second"));
    // "Open" brings the switchboard forward; the count is then cleared.
    QCOMPARE(Attentions()->Unread(board), 2);
    server.Invoke(101);
    QTRY_VERIFY(board->isActiveWindow());
    QTRY_COMPARE(Attentions()->Unread(board), 0);
    QTRY_VERIFY(server.closed.contains(101u));
}

void TestNotify::nothingWhileActive() {
    Setup();
    board->activateWindow();
    QTRY_VERIFY(board->isActiveWindow());
    Type(board, "our own line");
    bob->Send(bob->Build(CmdText, "seen at once"));
    QTRY_VERIFY(LogText(board).endsWith("Bob: seen at once\n"));
    QCOMPARE(Attentions()->Unread(board), 0);
    // Once a line in the background is told, nothing was told before it.
    elsewhere->activateWindow();
    QTRY_VERIFY(elsewhere->isActiveWindow());
    bob->Send(bob->Build(CmdText, "now elsewhere"));
    QTRY_COMPARE(server.calls.size(), 1);
    QCOMPARE(server.calls[0].body, QStringLiteral("now elsewhere"));
}

void TestNotify::bodyIsShortAndSafe_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("body");
    QTest::newRow("controls") << QByteArray("a\x01\x1b[31mb\r\nc") << "a??[31mb     c";
    QTest::newRow("markup") << QByteArray("<b>&") << "&lt;b&gt;&amp;";
    QTest::newRow("100 kB") << QByteArray(32000, 'x') << QString(199, 'x') + QChar(0x2026);
}

void TestNotify::bodyIsShortAndSafe() {
    QFETCH(QByteArray, text);
    QFETCH(QString, body);
    Setup();
    bob->Send(bob->Build(CmdText, text));
    QTRY_COMPARE(server.calls.size(), 1);
    QCOMPARE(server.calls[0].body.left(300), body);
}

void TestNotify::unreadCounts() {
    Setup();
    Attention& attention = *Attentions();
    QCOMPARE(attention.Tray().toolTip(), QStringLiteral("Palaver"));
    for (const char* line : {"one", "two", "three"}) {
        bob->Send(bob->Build(CmdText, line));
    }
    QTRY_COMPARE(attention.Unread(board), 3);
    // Lines that come in one read are told once, with the newest.
    QTRY_VERIFY(!server.calls.isEmpty() && server.calls.last().body == "three");
    const qsizetype told = server.calls.size();
    QCOMPARE(attention.Tray().toolTip(),
             QStringLiteral("Palaver - 3 unread\nPalaver Switchboard - Ann: 3 unread"));
    // The icon wears a red mark in its top right corner, whatever size the icon has.
    const auto marked = [&attention] {
        const QImage icon = attention.Tray().icon().pixmap(64, 64).toImage();
        const QColor corner = icon.pixelColor(icon.width() * 3 / 4, icon.height() / 4);
        return corner.red() > 150 && corner.green() < 80;
    };
    QTRY_VERIFY(marked());
    // Do not disturb holds notifications, not counts.
    attention.TrayMenu().aboutToShow();
    Menu(&attention.TrayMenu(), "mnuTrayQuiet");
    bob->Send(bob->Build(CmdText, "four"));
    QTRY_COMPARE(attention.Unread(board), 4);
    // Quiet again off: the next line is told, and "four" never was.
    Menu(&attention.TrayMenu(), "mnuTrayQuiet");
    bob->Send(bob->Build(CmdText, "five"));
    QTRY_COMPARE(server.calls.size(), told + 1);
    QCOMPARE(server.calls.last().body, QStringLiteral("five"));
    // Activating the window clears its count.
    board->activateWindow();
    QTRY_COMPARE(attention.Unread(board), 0);
    QCOMPARE(attention.Tray().toolTip(), QStringLiteral("Palaver"));
    QVERIFY(!marked());
}

void TestNotify::withoutAServer() {
    server.Stop();
    Setup();
    QList<QWidget*> alerted;
    const auto previous = platform::SetAlertHandler([&](QWidget* w) { alerted << w; });
    bob->Send(bob->Build(CmdText, "anyone?"));
    QTRY_COMPARE(Attentions()->Unread(board), 1);
    QTRY_COMPARE(alerted, QList<QWidget*>{board}); // the taskbar alert is what is left
    QVERIFY(server.calls.isEmpty());
    platform::SetAlertHandler(previous);
    QVERIFY(server.Start());
}

void TestNotify::trayMenu_data() {
    QTest::addColumn<QString>("item");
    QTest::newRow("server") << "mnuTrayServer";
    QTest::newRow("show the switchboard") << "mnuTrayShow";
    QTest::newRow("a window of the list") << "mnuTrayWindow(0)";
    QTest::newRow("a minimised window") << "mnuTrayWindow(0) minimised";
    QTest::newRow("quit") << "mnuTrayQuit";
    QTest::newRow("keep running in the tray") << "mnuTrayKeep";
    QTest::newRow("do not disturb") << "mnuTrayQuiet";
}

void TestNotify::trayMenu() {
    QFETCH(QString, item);
    app = std::make_unique<AppFixture>();
    board = app->Start();
    Settings.Port = FreePort(); // tests run side by side: never the default port
    bool ended = false;
    ClientWindows().lastWindowGone = [&ended] { ended = true; };
    // A failed check returns early; the windows closed later must not reach `ended`.
    const auto forget = qScopeGuard([] { ClientWindows().lastWindowGone = {}; });
    if (item.endsWith(" minimised")) {
        item.chop(10);
        board->showMinimized();
    } else {
        board->hide();
    }
    Attentions()->TrayMenu().aboutToShow();
    Menu(&Attentions()->TrayMenu(), item);
    if (item == "mnuTrayServer") {
        QCOMPARE(Find<QLabel>(board, "lblServer")->text(), QStringLiteral("Accept"));
        QCOMPARE(ClientWindows().Model().ServerState(0), int(platform::TcpSocket::Listening));
    } else if (item == "mnuTrayKeep") {
        QVERIFY(Attention::KeepInTray()); // and kept for the next start
        Attention::SetKeepInTray(false);
    } else if (item == "mnuTrayQuiet") {
        QVERIFY(Attentions()->DoNotDisturb());
    } else if (item == "mnuTrayQuit") {
        QVERIFY(ended);
        QVERIFY(ClientWindows(0) == nullptr);
    } else {
        QTRY_VERIFY(board->isVisible() && board->isActiveWindow() && !board->isMinimized());
    }
    ClientWindows().lastWindowGone = {};
}

QTEST_MAIN(TestNotify)
#include "tst_notify.moc"
