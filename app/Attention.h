// What reaches the user while Palaver is in the background: desktop notifications (one per
// window, replaced in place), unread counts per window, and the tray icon with its menu.
// Without a notification service the tray's own message is used; without a tray, the
// taskbar alert the windows raise themselves is all there is.
#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>
#include <memory>

#include "platform/Notifications.h"

class Call;
class frmClient;
class WindowTable;

class Attention : public QObject {
    Q_OBJECT
public:
    explicit Attention(WindowTable& table, QObject* parent = nullptr);
    ~Attention() override;

    // Follows the window's notices and its activation.
    void Watch(frmClient* window);
    int Unread(const frmClient* window) const;
    QString ToolTip() const;
    QSystemTrayIcon& Tray() { return tray_; }
    QMenu& TrayMenu() { return menu_; }
    bool DoNotDisturb() const { return quiet_; }
    // Notifications handed to the desktop so far.
    int Told() const { return toldCount_; }

    // "Keep running in the tray when the switchboard is closed", kept outside the settings
    // file.
    static bool KeepInTray();
    static void SetKeepInTray(bool keep);

    // Restores a minimised or hidden window and brings it forward, as "Open" does.
    void Open(frmClient* window);

private:
    void WatchCall(Call* call);
    void OnNotice(frmClient* window, const QString& summary, const QString& body);
    // What a read brought is told once, after it: one notification per window (its newest
    // line), one repaint of the tray icon.
    void Tell();
    void Seen(frmClient* window);
    void Refresh();
    void BuildMenu();

    platform::DesktopNotifier notifier_;
    QSystemTrayIcon tray_;
    QMenu menu_;
    QHash<frmClient*, int> unread_;
    struct Notice {
        QString summary;
        QString body;
    };
    QHash<frmClient*, Notice> pending_;
    bool telling_ = false;
    int toldCount_ = 0;
    QElapsedTimer told_;
    static constexpr qint64 kTellEveryMs = 250;
    // Watched windows; each leaves the list as it is destroyed.
    QList<frmClient*> windows_;
    bool quiet_ = false;
    WindowTable& table_;
    frmClient* ShownIn(const Call* call) const;
};
