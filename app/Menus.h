// The menus of every chat window, put on each window as it is created.
#pragma once

#include <QByteArray>

class QWidget;

class App;
class frmClient;

// Adds File, Tools and Help to the window, wired to its menu handlers.
void AddMenus(App& app, frmClient* window);
// Makes every window created from now on get its menus, the settings dialog and the About
// window, and applies the options kept outside the settings file.
void InstallWindowHooks(App& app);
// Applies the options below to the program as they are kept now.
void ApplyOptions(App& app);

// "Conference members hear each other" (on unless switched off), kept outside the settings
// file; applied to every conference at once by ApplyOptions.
bool MembersHearEachOther();
void SetMembersHearEachOther(bool on);

// "Offer and accept secure calls" (on unless switched off) and "Only secure calls" (off
// unless switched on), kept outside the settings file; they apply to every call from now on.
struct SecureCallOptions {
    bool offer = true;
    bool only = false;
};
SecureCallOptions SecureCalls();
void SetSecureCalls(SecureCallOptions options);

// Window options kept outside the settings file: "Show times in the chat" and "Accept calls
// at start" (both off unless switched on), and where the switchboard of the copy started in
// each folder was last.
struct WindowOptions {
    bool showTimes = false;
    bool acceptAtStart = false;
    // "Show me on the local network": announced while the server accepts calls.
    bool showOnNetwork = true;
};
WindowOptions Windows();
void SetWindows(WindowOptions options);
// The switchboard's last place and size for this folder; empty when there is none.
QByteArray SwitchboardPlace();
void KeepSwitchboardPlace(const QByteArray& geometry);

// Opens the user guide with the desktop's handler, or says why it cannot.
void OpenGuide(QWidget* parent);
