// Calls asked for from outside the running program: "palaver call HOST[:PORT]" and
// palaver:// links hand the address to the copy already running from the same folder,
// through a local socket named after that folder.
#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

namespace outside {

// The local socket's name for the copy started in `folder` (by this user).
QString ServerName(const QString& folder);

// Hands `address` to the copy running from `folder`; false when none answers.
bool HandOver(const QString& folder, const QString& address, int timeoutMs = 3000);
// Asks the copy running from `folder` to bring its switchboard forward; false when none
// answers.
bool Raise(const QString& folder, int timeoutMs = 3000);

// Listens for hand-overs; a socket left by a copy that died is removed first.
class CallServer : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxRequest = 1024;

    explicit CallServer(QObject* parent = nullptr);
    bool Listen(const QString& folder);
    QString Name() const { return server_.serverName(); }

signals:
    void CallWanted(const QString& address);
    // A second start from the same folder: this copy's switchboard comes forward instead.
    void ShowWanted();

private:
    QLocalServer server_;
};

} // namespace outside
