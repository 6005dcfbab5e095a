// The switchboard's "People" panel: the contacts first, each with a dot and a word that say
// who is here (and how many lines wait for them), then the strangers announced nearby. Enter
// or a double-click reaches a person; a contact's menu renames, verifies, shows the history
// and forgets.
#pragma once

#include "Nearby.h"

#include "call/People.h"

#include <QDockWidget>

#include <functional>

class QTreeWidget;
class QTreeWidgetItem;
struct Security;

class PeoplePanel : public QDockWidget {
    Q_OBJECT
public:
    struct Actions {
        // A contact: its open call shown, or called, or a line opened whose lines wait.
        std::function<void(const QByteArray& key)> reach;
        // A stranger nearby, called at its address with the key it announced.
        std::function<void(const QString& address, const QByteArray& key)> place;
        std::function<void(const QByteArray& key)> showHistory;
        // After the contact was forgotten, when the user asked its history gone too.
        std::function<void(const QByteArray& key)> forgetHistory;
    };

    PeoplePanel(QMainWindow* board, People& people, Nearby& nearby, Security& security,
                Actions actions);

    // "last seen 14:02", "last seen yesterday", "last seen 3 Dec 2026", relative to `now`.
    static QString LastSeen(qint64 seenMs, qint64 nowMs);

protected:
    // Shift+F10 opens a row's menu, as the menu key does where the window system sends it.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Refresh();
    void Activated(QTreeWidgetItem* item);
    void ShowMenu(const QPoint& at);
    void Verify(const QByteArray& key, const QString& name);
    void Forget(const QByteArray& key, const QString& name);

    People& people_;
    Nearby& nearby_;
    Security& security_;
    Actions actions_;
    QTreeWidget* list_;
    bool refreshing_ = false;
};
