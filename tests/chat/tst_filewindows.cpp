// Files as a user sends them: Ctrl+O and the file dialog, a pasted picture, files dropped on
// the window; the other side accepts with Alt+A and opens what arrived.
#include "app/Main.h"
#include "chat/frmClient.h"
#include "platform/Desktop.h"
#include "settings/Settings.h"
#include "support/AppFixture.h"
#include "support/CallHelpers.h"
#include "support/ScriptedPeer.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QtTest>

namespace {

QFileDialog* OpenDialog() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->objectName() == "dlgSendFile" && w->isVisible()) {
            return static_cast<QFileDialog*>(w);
        }
    }
    return nullptr;
}

QList<QWidget*> Rows(const frmClient* w) {
    return w->findChildren<QWidget*>("fraFile");
}

QString Status(QWidget* row) {
    return row->findChild<QLabel*>("lblFileStatus")->text();
}

} // namespace

class TestFileWindows : public QObject {
    Q_OBJECT
    std::unique_ptr<AppFixture> app;

private slots:
    void init() { app = std::make_unique<AppFixture>(); }
    void cleanup() { app.reset(); }
    void sendPasteDropAndOpen();
    void oldPeerCannotReceive();
    void sendFromTheCommandLine();
};

void TestFileWindows::sendPasteDropAndOpen() {
    app->WriteSettings("Ann\r\n");
    frmClient* board = app->Start();
    StartListening(board);
    frmClient* caller = CallBoard(board);
    QVERIFY(caller != nullptr);
    QTRY_VERIFY(Find<QAction>(caller, "mnuSendFile")->isEnabled());
    const QString source = app->Dir() + "/notes.txt";
    QFile f(source);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(QByteArray(300000, 'n')) == 300000);
    f.close();

    // Ctrl+O opens the dialog.
    caller->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(caller));
    QTest::keyClick(caller, Qt::Key_O, Qt::ControlModifier);
    QTRY_VERIFY(OpenDialog() != nullptr);
    auto* name = OpenDialog()->findChild<QLineEdit*>("fileNameEdit");
    // The file picked in the dialog, then Enter.
    OpenDialog()->selectFile(source);
    QTest::keyClick(name, Qt::Key_Return);
    QTRY_COMPARE(Rows(caller).size(), 1);
    QTRY_COMPARE(Rows(board).size(), 1);
    QVERIFY(LogText(board).contains("*** Ann offers notes.txt"));
    QCOMPARE(Status(Rows(board).first()), QStringLiteral("Ann offers this file"));

    // Alt+A on the receiving window accepts; the file lands whole, and Open opens it.
    board->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(board));
    QTest::keyClick(board, Qt::Key_A, Qt::AltModifier);
    QTRY_COMPARE(Status(Rows(board).first()), QStringLiteral("Received"));
    QTRY_COMPARE(Status(Rows(caller).first()), QStringLiteral("Sent"));
    const QString landed = app->Dir() + "/Downloads/Palaver/notes.txt";
    QFile got(landed);
    QVERIFY(got.open(QIODevice::ReadOnly) && got.readAll() == QByteArray(300000, 'n'));
    QUrl opened;
    const auto old = platform::SetUrlOpener([&](const QUrl& url) { return opened = url, true; });
    QTest::mouseClick(Rows(board).first()->findChild<QPushButton*>("cmdOpenFile"), Qt::LeftButton);
    platform::SetUrlOpener(old);
    QCOMPARE(opened, QUrl::fromLocalFile(landed));
    QVERIFY(LogText(caller).contains("*** Sent to Ann: notes.txt"));

    // A picture pasted into the send box goes as a PNG, previewed on both sides.
    QImage picture(64, 48, QImage::Format_RGB32);
    picture.fill(Qt::red);
    QApplication::clipboard()->setImage(picture);
    Find<QPlainTextEdit>(caller, "txtSend")->setFocus();
    QTest::keyClick(Find<QPlainTextEdit>(caller, "txtSend"), Qt::Key_V, Qt::ControlModifier);
    QTRY_COMPARE(Rows(board).size(), 2);
    QVERIFY(!Rows(caller).last()->findChild<QLabel*>("imgPreview")->isHidden());
    QTest::mouseClick(Rows(board).last()->findChild<QPushButton*>("cmdAccept"), Qt::LeftButton);
    QTRY_COMPARE(Status(Rows(board).last()), QStringLiteral("Received"));
    QVERIFY(!Rows(board).last()->findChild<QLabel*>("imgPreview")->pixmap().isNull());

    // Files dropped on the window are offered; Decline tells the sender.
    QMimeData dropped;
    dropped.setUrls({QUrl::fromLocalFile(source)});
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(caller, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(caller, &drop);
    QTRY_COMPARE(Rows(board).size(), 3);
    QTest::mouseClick(Rows(board).last()->findChild<QPushButton*>("cmdDecline"), Qt::LeftButton);
    QTRY_COMPARE(Status(Rows(caller).last()), QStringLiteral("Not sent: declined by Ann"));
}

void TestFileWindows::oldPeerCannotReceive() {
    // A program that never said it takes files: the control is off and says why.
    app->WriteSettings("Ann\r\n");
    frmClient* board = app->Start();
    StartListening(board);
    ScriptedPeer old;
    QVERIFY(old.ConnectTo(Settings.Port) && old.LogIn("", "Bob"));
    QTRY_COMPARE(board->LoginFlag(), 1);
    QAction* send = Find<QAction>(board, "mnuSendFile");
    QVERIFY(!send->isEnabled());
    QCOMPARE(send->toolTip(), QStringLiteral("Bob's program cannot receive files"));
}

void TestFileWindows::sendFromTheCommandLine() {
    // "palaver send" started in the running copy's folder hands the files over to it.
    app->WriteSettings("Ann\r\n");
    frmClient* board = app->Start();
    StartListening(board);
    const QString source = app->Dir() + "/a b.txt";
    QFile f(source);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write("from the shell") == 14);
    f.close();
    QProcess send;
    send.setWorkingDirectory(app->Dir());
    send.start(QDir(QCoreApplication::applicationDirPath()).filePath("palaver"),
               {"send", "127.0.0.1:" + QString::number(Settings.Port), "a b.txt"});
    QTRY_COMPARE_WITH_TIMEOUT(send.state(), QProcess::NotRunning, 10000); // the loop answers it
    QCOMPARE(send.exitCode(), 0);
    QTRY_COMPARE(Rows(board).size(), 1);
    QTest::mouseClick(Rows(board).first()->findChild<QPushButton*>("cmdAccept"), Qt::LeftButton);
    QTRY_COMPARE(Status(Rows(board).first()), QStringLiteral("Received"));
}

QTEST_MAIN(TestFileWindows)
#include "tst_filewindows.moc"
