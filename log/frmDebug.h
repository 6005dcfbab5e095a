// The debug window: a hidden window whose text box receives the shared debug log.
#pragma once

#include "CLog.h"

#include <QPlainTextEdit>
#include <QWidget>

#include <memory>

class frmDebug : public QWidget {
    Q_OBJECT
public:
    explicit frmDebug(QWidget* parent = nullptr);
    QPlainTextEdit* txtLog() const { return txtLog_; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QPlainTextEdit* txtLog_;
};

// The shared debug log; null once the debug window has been unloaded.
std::unique_ptr<CLog>& DebugLog();

// The loaded debug window, or null.
frmDebug* DebugWindow();
// Loads the debug window hidden when it is not loaded; returns it.
frmDebug* LoadDebugWindow();
// Appends a line to the debug log; does nothing when there is none.
void LogDebug(const QString& text);

// Unloads it (releasing the shared debug log) when it is loaded.
void UnloadDebugWindow();
