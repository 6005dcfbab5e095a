#include "AppFixture.h"

#include "app/Attention.h"
#include "app/Main.h"
#include "call/LoginGuard.h"
#include "chat/ClientWindows.h"
#include "chat/frmClient.h"
#include "history/HistoryStore.h"
#include "log/frmDebug.h"
#include "settings/Settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPlainTextEdit>
#include <QTest>

AppFixture::AppFixture() : boxes(std::make_unique<ScriptedBoxes>()), oldDir_(QDir::currentPath()) {
    QDir::setCurrent(dir_.path());
    // The history and its options live in the scratch folder, never in the user's.
    qputenv("XDG_DATA_HOME", QDir(dir_.path()).filePath("data").toUtf8());
    qputenv("XDG_CONFIG_HOME", QDir(dir_.path()).filePath("config").toUtf8());
    qputenv("HOME", dir_.path().toUtf8()); // received files land in its Downloads
    ResetSettings();
    app_ = std::make_unique<App>();
    ClientWindows().lastWindowGone = {};
    ClientWindows().Pending().Reset();
    ClientWindows().Pending().SetClock({});
    ClientWindows().limits = CallLimits{}; // the real limits unless a test asks otherwise
}

AppFixture::~AppFixture() {
    CloseAll();
    // A clock a test lent the pool goes with the test; so do the pool's timers.
    ClientWindows().Pending().Reset();
    ClientWindows().Pending().SetClock({});
    History().reset();
    Attentions().reset();
    app_.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    UnloadDebugWindow();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QDir::setCurrent(oldDir_);
}

frmClient* AppFixture::Start() {
    Main();
    return ClientWindows(0);
}

void AppFixture::CloseAll() {
    ScriptedBoxes quiet;
    ClientWindows().CloseAll();
    for (int k = 0; k < 5; ++k) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
    }
}

QString AppFixture::SettingsPath() const {
    return QDir(dir_.path()).filePath("insettings.ini");
}

void AppFixture::WriteSettings(const QByteArray& bytes) const {
    QFile f(SettingsPath());
    if (f.open(QIODevice::WriteOnly)) {
        f.write(bytes);
    }
}

QByteArray AppFixture::ReadSettings() const {
    QFile f(SettingsPath());
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QString LogText(const frmClient* w) {
    // What the window shows once the lines already read have reached it (within a frame).
    QElapsedTimer waited;
    waited.start();
    while (w->LogWaiting() && waited.elapsed() < 1000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, CLog::kFrameMs);
    }
    // As the log writes it: every line ends with a line break.
    const QString text = w->findChild<QPlainTextEdit*>(QStringLiteral("txtLog"))->toPlainText();
    return text.isEmpty() ? text : text + QLatin1Char('\n');
}
