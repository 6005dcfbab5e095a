#include "frmDebug.h"
#include "platform/OpenWindow.h"

#include <QCloseEvent>
#include <QPointer>
#include <QVBoxLayout>

frmDebug::frmDebug(QWidget* parent) : QWidget(parent), txtLog_(new QPlainTextEdit(this)) {
    setObjectName(QStringLiteral("frmDebug"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Debug Window"));
    txtLog_->setObjectName(QStringLiteral("txtLog"));
    txtLog_->setReadOnly(true);
    txtLog_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(txtLog_);
    resize(480, 320);
}

void frmDebug::closeEvent(QCloseEvent* event) {
    // Unloading releases the log: later debug lines are dropped.
    log_.reset();
    event->accept();
}

void frmDebug::StartLog() {
    log_ = std::make_unique<CLog>();
    log_->Start(QString(), txtLog_);
}

void frmDebug::Log(const QString& text) {
    if (log_) {
        log_->Log(text);
    }
}

void LogDebug(const QString& text) {
    if (frmDebug* w = DebugWindow()) {
        w->Log(text);
    }
}

frmDebug* DebugWindow() {
    return platform::OpenWindow<frmDebug>();
}

frmDebug* LoadDebugWindow() {
    frmDebug* w = DebugWindow();
    // Top-level; deletes itself on close.
    return w != nullptr ? w : new frmDebug();
}

void UnloadDebugWindow() {
    if (frmDebug* w = DebugWindow()) {
        w->close();
    }
}
