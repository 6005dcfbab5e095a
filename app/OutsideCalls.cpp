#include "OutsideCalls.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLocalSocket>
#include <QPointer>

#include <unistd.h>

namespace outside {

QString ServerName(const QString& folder) {
    const QByteArray key = QDir(folder).canonicalPath().toUtf8() + '\0' +
                           QByteArray::number(static_cast<qulonglong>(::getuid()));
    return QStringLiteral("palaver-") +
           QString::fromLatin1(
               QCryptographicHash::hash(key, QCryptographicHash::Sha1).toHex().left(16));
}

namespace {

// One request line to the copy running from `folder`; true when it answered OK.
bool Ask(const QString& folder, const QByteArray& request, int timeoutMs) {
    QLocalSocket socket;
    socket.connectToServer(ServerName(folder));
    if (!socket.waitForConnected(timeoutMs)) {
        return false;
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

bool HandOver(const QString& folder, const QString& address, int timeoutMs) {
    return Ask(folder, "CALL " + address.toUtf8(), timeoutMs);
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
                socket->write(call || show ? "OK\n" : "BAD\n");
                socket->disconnectFromServer();
                if (call) {
                    emit CallWanted(QString::fromUtf8(line.mid(5)));
                } else if (show) {
                    emit ShowWanted();
                }
            });
        }
    });
}

bool CallServer::Listen(const QString& folder) {
    const QString name = ServerName(folder);
    if (server_.listen(name)) {
        return true;
    }
    // A copy that is still there answers; a file left behind by one that died does not.
    QLocalSocket probe;
    probe.connectToServer(name);
    if (probe.waitForConnected(500)) {
        return false;
    }
    QLocalServer::removeServer(name);
    return server_.listen(name);
}

} // namespace outside
