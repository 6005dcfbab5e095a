#include "frmDebug.h"

#include <QCloseEvent>
#include <QPointer>
#include <QVBoxLayout>

namespace {

// The window deletes itself when unloaded; this only observes it.
QPointer<frmDebug>& Current() {
    static QPointer<frmDebug> current;
    return current;
}

} // namespace

std::unique_ptr<CLog>& DebugLog() {
    static std::unique_ptr<CLog> log;
    return log;
}

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
    // Unloading releases the shared log: later debug lines are dropped.
    DebugLog().reset();
    event->accept();
}

void LogDebug(const QString& text) {
    if (auto& log = DebugLog()) {
        log->Log(text);
    }
}

frmDebug* DebugWindow() {
    return Current().data();
}

frmDebug* LoadDebugWindow() {
    if (Current().isNull()) {
        Current() = new frmDebug(); // top-level; deletes itself on close
    }
    return Current().data();
}

void UnloadDebugWindow() {
    if (frmDebug* w = Current().data()) {
        w->close();
    }
}
