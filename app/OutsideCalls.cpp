#include "OutsideCalls.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QPointer>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace outside {

QString ServerName(const QString& folder) {
    const QByteArray key = QDir(folder).canonicalPath().toUtf8() + '\0' +
                           QByteArray::number(static_cast<qulonglong>(::getuid()));
    return QStringLiteral("palaver-") +
           QString::fromLatin1(
               QCryptographicHash::hash(key, QCryptographicHash::Sha1).toHex().left(16));
}

QString RuntimeFolder(QString* why) {
    const uid_t uid = ::getuid();
    QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (folder.isEmpty()) {
        folder = QDir::tempPath() + QStringLiteral("/palaver-") + QString::number(uid);
        ::mkdir(QFile::encodeName(folder).constData(), S_IRWXU); // fails when it is there
    }
    struct stat st {};
    QString problem;
    if (::lstat(QFile::encodeName(folder).constData(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        problem = QStringLiteral(" is not a folder");
    } else if (st.st_uid != uid) {
        problem = QStringLiteral(" belongs to another user");
    } else if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        problem = QStringLiteral(" can be used by other users");
    }
    if (!problem.isEmpty()) {
        if (why != nullptr) {
            *why = folder + problem;
        }
        return {};
    }
    return folder;
}

QString SocketPath(const QString& folder) {
    const QString runtime = RuntimeFolder();
    return runtime.isEmpty() ? QString() : runtime + QLatin1Char('/') + ServerName(folder);
}

bool SameUser(qintptr descriptor) {
    ucred cred{};
    socklen_t size = sizeof cred;
    return ::getsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_PEERCRED, &cred, &size) == 0 &&
           cred.uid == ::getuid();
}

namespace {

// One request line to the copy running from `folder`; true when it answered OK.
bool Ask(const QString& folder, const QByteArray& request, int timeoutMs) {
    const QString path = SocketPath(folder);
    if (path.isEmpty()) {
        return false;
    }
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(timeoutMs) || !SameUser(socket.socketDescriptor())) {
        return false; // nobody, or somebody else listening where our copy would
    }
    socket.write(request + '\n');
    if (!socket.waitForBytesWritten(timeoutMs)) {
        return false;
    }
    while (!socket.canReadLine() && socket.waitForReadyRead(timeoutMs)) {
    }
    return socket.readLine().trimmed() == "OK";
}

} // namespace

bool HandOver(const QString& folder, const QString& address, const QStringList& files,
              int timeoutMs) {
    if (files.isEmpty()) {
        return Ask(folder, "CALL " + address.toUtf8(), timeoutMs);
    }
    return Ask(folder, "SEND " + (QStringList{address} + files).join(QLatin1Char('\t')).toUtf8(),
               timeoutMs);
}

bool Raise(const QString& folder, int timeoutMs) {
    return Ask(folder, "SHOW", timeoutMs);
}

CallServer::CallServer(QObject* parent) : QObject(parent) {
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* raw = server_.nextPendingConnection()) {
            QPointer<QLocalSocket> socket(raw);
            connect(raw, &QLocalSocket::disconnected, raw, &QObject::deleteLater);
            if (!SameUser(raw->socketDescriptor())) {
                raw->abort(); // another account: it may neither call nor raise our windows
                raw->deleteLater();
                continue;
            }
            connect(raw, &QLocalSocket::readyRead, this, [this, socket] {
                if (socket.isNull()) {
                    return;
                }
                if (!socket->canReadLine()) {
                    if (socket->bytesAvailable() > kMaxRequest) {
                        socket->abort(); // not a request of ours
                    }
                    return;
                }
                const QByteArray line = socket->readLine(kMaxRequest).trimmed();
                const bool call = line.startsWith("CALL ");
                const bool show = line == "SHOW";
                const QStringList send =
                    line.startsWith("SEND ")
                        ? QString::fromUtf8(line.mid(5)).split(QLatin1Char('\t'))
                        : QStringList();
                socket->write(call || show || send.size() >= 2 ? "OK\n" : "BAD\n");
                socket->disconnectFromServer();
                if (send.size() >= 2) {
                    emit SendWanted(send.first(), send.mid(1));
                } else if (call) {
                    emit CallWanted(QString::fromUtf8(line.mid(5)));
                } else if (show) {
                    emit ShowWanted();
                }
            });
        }
    });
}

bool CallServer::Listen(const QString& folder) {
    error_.clear();
    const QString name = SocketPath(folder);
    if (name.isEmpty()) {
        RuntimeFolder(&error_);
        return false;
    }
    if (server_.listen(name)) {
        return true;
    }
    // A copy of ours that is still there answers; a file left behind by one that died does
    // not, and neither does anything of another user's.
    QLocalSocket probe;
    probe.connectToServer(name);
    if (probe.waitForConnected(500) && SameUser(probe.socketDescriptor())) {
        error_ = QStringLiteral("another copy runs here");
        return false;
    }
    probe.abort();
    QLocalServer::removeServer(name);
    if (!server_.listen(name)) {
        error_ = server_.errorString();
        return false;
    }
    return true;
}

} // namespace outside
