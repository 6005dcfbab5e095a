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
    // Starts the debug log in the text box: until then, and after the window is unloaded,
    // debug lines go nowhere.
    void StartLog();
    bool Logging() const { return log_ != nullptr; }
    void Log(const QString& text);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QPlainTextEdit* txtLog_;
    std::unique_ptr<CLog> log_;
};

// The loaded debug window, or null.
frmDebug* DebugWindow();
// Loads the debug window hidden when it is not loaded; returns it.
frmDebug* LoadDebugWindow();
// Appends a line to the debug log; does nothing when there is none.
void LogDebug(const QString& text);

// Unloads it (releasing the shared debug log) when it is loaded.
void UnloadDebugWindow();
