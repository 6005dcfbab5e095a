// Calls asked for from outside the running program: "palaver call HOST[:PORT]" and
// palaver:// links hand the address to the copy already running from the same folder,
// through a local socket named after that folder.
#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>
#include <QStringList>

namespace outside {

// The local socket's name for the copy started in `folder` (by this user).
QString ServerName(const QString& folder);
// The folder the sockets live in: $XDG_RUNTIME_DIR, or one made for this user in the
// temporary folder. Empty, with `why`, when it is not this user's alone (another account
// made it, or can write there): no hand-over is then safe.
QString RuntimeFolder(QString* why = nullptr);
// Where the socket of the copy started in `folder` lives; empty when RuntimeFolder is.
QString SocketPath(const QString& folder);
// The other end of a connected local socket runs as this user.
bool SameUser(qintptr descriptor);

// Hands `address` (and the files to send there) to the copy running from `folder`; false
// when none answers.
bool HandOver(const QString& folder, const QString& address, const QStringList& files = {},
              int timeoutMs = 3000);
// Asks the copy running from `folder` to bring its switchboard forward; false when none
// answers.
bool Raise(const QString& folder, int timeoutMs = 3000);

// Listens for hand-overs; a socket left by a copy that died is removed first.
class CallServer : public QObject {
    Q_OBJECT
public:
    // Room for the paths of the files to send.
    static constexpr int kMaxRequest = 64 * 1024;

    explicit CallServer(QObject* parent = nullptr);
    // False when another copy of ours answers there, or no folder is safe (`Error` says why).
    bool Listen(const QString& folder);
    const QString& Error() const { return error_; }

signals:
    void CallWanted(const QString& address);
    void SendWanted(const QString& address, const QStringList& files);
    // A second start from the same folder: this copy's switchboard comes forward instead.
    void ShowWanted();

private:
    QLocalServer server_;
    QString error_;
};

} // namespace outside
