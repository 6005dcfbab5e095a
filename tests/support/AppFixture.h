// Test set-up for anything that opens chat windows: a scratch working directory (the
// settings file lives there), fresh settings, scripted message boxes, and a way to close
// every window between tests.
#pragma once

#include "support/ScriptedBoxes.h"

#include <QString>
#include <QTemporaryDir>

#include <memory>

class App;
class frmClient;

class AppFixture {
public:
    AppFixture();
    ~AppFixture();
    AppFixture(const AppFixture&) = delete;
    AppFixture& operator=(const AppFixture&) = delete;

    // Runs the program's start-up; returns the switchboard.
    frmClient* Start();
    // Unloads every window (lines first) and lets deferred deletions run.
    static void CloseAll();

    QString Dir() const { return dir_.path(); }
    QString SettingsPath() const;
    void WriteSettings(const QByteArray& bytes) const;
    QByteArray ReadSettings() const;

    std::unique_ptr<ScriptedBoxes> boxes;

private:
    QTemporaryDir dir_;
    std::unique_ptr<App> app_;
    QString oldDir_;
};

// The text of a window's log box.
QString LogText(const frmClient* w);
