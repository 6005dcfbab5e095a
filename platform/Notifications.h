// The desktop's notification service (org.freedesktop.Notifications on the session bus):
// one notification per key, replaced in place rather than stacked, with an "Open" action.
// Every call is asynchronous: the chat never waits for the desktop.
#pragma once

#include <QHash>
#include <QObject>
#include <QString>

namespace platform {

class DesktopNotifier : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxBody = 200;
    inline static const QString kService = QStringLiteral("org.freedesktop.Notifications");

    explicit DesktopNotifier(QObject* parent = nullptr);

    // A notification service is running on the session bus (or can be started). Known
    // without asking the bus each time: it is asked once, then told of changes.
    bool Available() const { return available_; }
    // Shows, or replaces, the notification for `key`.
    void Show(quintptr key, const QString& summary, const QString& body);
    void Close(quintptr key);

    // What a notification may carry: one line of the peer's text at most kMaxBody long,
    // control characters shown as "?", markup characters escaped.
    static QString SafeBody(const QString& text);

signals:
    // The user chose "Open" (or clicked the notification) for `key`.
    void Activated(quintptr key);

private slots:
    void OnAction(uint id, const QString& action);
    void OnClosed(uint id, uint reason);

private:
    void Send(quintptr key);

    struct Entry {
        uint id = 0;
        bool waiting = false; // a Notify is on its way; the next one waits for its id
        bool again = false;
        bool closing = false; // closed while its Notify was on its way
        QString summary;
        QString body;
    };
    QHash<quintptr, Entry> entries_;
    bool available_ = false;
    bool registered_ = false;
    bool activatable_ = false;
};

} // namespace platform
