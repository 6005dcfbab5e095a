#include "TcpSocket.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QHash>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QSslCipher>
#include <QSslSocket>
#include <QTcpServer>
#include <QTimer>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace platform {

namespace {

// A call whose connection died is noticed without a word on the wire: probes after 15 s of
// quiet, 5 s apart, three unanswered end it; data unacknowledged for 30 s ends it too.
void KeepAlive(QAbstractSocket* socket) {
    const auto fd = static_cast<int>(socket->socketDescriptor());
    if (fd < 0) {
        return;
    }
    const auto set = [fd](int level, int name, int value) {
        ::setsockopt(fd, level, name, &value, sizeof value);
    };
    set(SOL_SOCKET, SO_KEEPALIVE, 1);
    set(IPPROTO_TCP, TCP_KEEPIDLE, 15);
    set(IPPROTO_TCP, TCP_KEEPINTVL, 5);
    set(IPPROTO_TCP, TCP_KEEPCNT, 3);
    set(IPPROTO_TCP, TCP_USER_TIMEOUT, 30 * 1000);
    // Little waits unsent in the kernel: a chat line typed during a file transfer goes out
    // behind at most this much of the file.
    set(IPPROTO_TCP, TCP_NOTSENT_LOWAT, 64 * 1024);
}

} // namespace
namespace {

// Every connection arrives as a QSslSocket still in plain mode, so that a call can switch
// it to TLS later on the same connection.
class SslCapableServer : public QTcpServer {
public:
    using QTcpServer::QTcpServer;

protected:
    void incomingConnection(qintptr descriptor) override {
        auto* socket = new QSslSocket(this);
        if (socket->setSocketDescriptor(descriptor)) {
            addPendingConnection(socket);
        } else {
            delete socket;
        }
    }
};

struct Pending {
    QPointer<QSslSocket> socket;
    QString address;
    int port = 0;
};

QHash<int, Pending>& PendingRequests() {
    static QHash<int, Pending> pending;
    return pending;
}

int nextRequestId = 1;

// Encrypted writes since the event loop last woke up.
int& EncryptedWritesThisTurn() {
    static int writes = 0;
    static const bool counting = [] {
        if (auto* dispatcher = QAbstractEventDispatcher::instance()) {
            QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, [] { writes = 0; });
            return true;
        }
        return false;
    }();
    if (!counting) {
        writes = 0; // no loop to tell turns apart: every write goes at once
    }
    return writes;
}

} // namespace

QString DisplayAddress(const QHostAddress& address) {
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4) {
        return QHostAddress(v4).toString();
    }
    QHostAddress plain = address;
    plain.setScopeId(QString());
    return plain.toString();
}

int TcpSocket::ErrorNumberFor(int qtSocketError) {
    switch (static_cast<QAbstractSocket::SocketError>(qtSocketError)) {
    case QAbstractSocket::ConnectionRefusedError:
        return 10061;
    case QAbstractSocket::RemoteHostClosedError:
        return 10053;
    case QAbstractSocket::HostNotFoundError:
        return 11001;
    case QAbstractSocket::SocketAccessError:
        return 10013;
    case QAbstractSocket::SocketResourceError:
        return 10055;
    case QAbstractSocket::SocketTimeoutError:
        return 10060;
    case QAbstractSocket::NetworkError:
        return 10050;
    case QAbstractSocket::AddressInUseError:
        return 10048;
    case QAbstractSocket::SocketAddressNotAvailableError:
        return 10049;
    case QAbstractSocket::UnsupportedSocketOperationError:
        return 10045;
    default:
        // Outside the range of the numbers above, so no two errors share a number.
        return 11100 + qtSocketError;
    }
}

TcpSocket::TcpSocket(QObject* parent) : QObject(parent) {}

TcpSocket::~TcpSocket() {
    // Requests this socket raised and nobody took are closed with it.
    auto& pending = PendingRequests();
    for (auto it = pending.begin(); it != pending.end();) {
        if (it->socket && it->socket->parent() == server_.data()) {
            it->socket->abort();
            it = pending.erase(it);
        } else {
            ++it;
        }
    }
    Close();
}

int TcpSocket::LocalPort() const {
    if (server_ && server_->isListening()) {
        return server_->serverPort();
    }
    if (socket_ && socket_->state() == QAbstractSocket::ConnectedState) {
        return socket_->localPort();
    }
    return localPort_;
}

QString TcpSocket::LocalIP() const {
    if (socket_ && socket_->state() == QAbstractSocket::ConnectedState) {
        return DisplayAddress(socket_->localAddress());
    }
    const auto all = QNetworkInterface::allAddresses();
    for (const QHostAddress& a : all) {
        if (a.protocol() == QAbstractSocket::IPv4Protocol && !a.isLoopback()) {
            return a.toString();
        }
    }
    return QStringLiteral("127.0.0.1");
}

QString TcpSocket::RemoteHostIP() const {
    if (socket_ && !socket_->peerAddress().isNull()) {
        return DisplayAddress(socket_->peerAddress());
    }
    return lastPeer_;
}

int TcpSocket::RemotePort() const {
    if (socket_ && !socket_->peerAddress().isNull()) {
        return socket_->peerPort();
    }
    return lastPeerPort_;
}

bool TcpSocket::Listen() {
    Close();
    if (localPort_ < 0 || localPort_ > 65535) {
        SetError(10049, QStringLiteral("Port %1 is out of range (0 to 65535)").arg(localPort_));
        return false;
    }
    auto* server = new SslCapableServer(this);
    connect(server, &QTcpServer::newConnection, this, &TcpSocket::OnNewConnection);
    if (!server->listen(QHostAddress::Any, static_cast<quint16>(localPort_))) {
        SetError(ErrorNumberFor(server->serverError()), server->errorString());
        delete server;
        return false;
    }
    server_ = server;
    state_ = Listening;
    return true;
}

void TcpSocket::OnNewConnection() {
    while (server_ && server_->hasPendingConnections()) {
        // Every pending connection was made by SslCapableServer; parented to the server.
        auto* s = static_cast<QSslSocket*>(server_->nextPendingConnection());
        const int id = nextRequestId++;
        if (nextRequestId == 0x7FFFFFFF) {
            nextRequestId = 1;
        }
        PendingRequests().insert(id, {s, DisplayAddress(s->peerAddress()), s->peerPort()});
        emit ConnectionRequest(id);
        // A request that no handler accepted is closed, never left open.
        const auto it = PendingRequests().find(id);
        if (it != PendingRequests().end()) {
            if (it->socket) {
                it->socket->abort();
                it->socket->deleteLater();
            }
            PendingRequests().erase(it);
        }
    }
}

QString TcpSocket::RequestAddress(int requestID) {
    return PendingRequests().value(requestID).address;
}

int TcpSocket::RequestPort(int requestID) {
    return PendingRequests().value(requestID).port;
}

bool TcpSocket::Accept(int requestID) {
    const auto it = PendingRequests().find(requestID);
    if (it == PendingRequests().end() || !it->socket) {
        return false;
    }
    QSslSocket* s = it->socket;
    PendingRequests().erase(it);
    Close();
    s->setParent(this);
    Adopt(s);
    KeepAlive(s);
    wasConnected_ = true;
    state_ = Connected;
    // Data that came with the connection is reported like any later data.
    if (s->bytesAvailable() > 0) {
        QTimer::singleShot(0, this, [this, guard = QPointer<QSslSocket>(s)] {
            if (guard && socket_ == guard && guard->bytesAvailable() > 0) {
                emit DataArrival(guard->bytesAvailable());
            }
        });
    }
    return true;
}

void TcpSocket::Adopt(QSslSocket* socket) {
    socket_ = socket;
    RememberPeer();
    socket->setReadBufferSize(kReadBufferSize);
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(socket, &QTcpSocket::connected, this, [this] {
        socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        KeepAlive(socket_);
        RememberPeer();
        wasConnected_ = true;
        state_ = Connected;
        emit ConnectedEvent();
    });
    connect(socket, &QTcpSocket::readyRead, this,
            [this] { emit DataArrival(socket_ ? socket_->bytesAvailable() : 0); });
    connect(socket, &QTcpSocket::disconnected, this, &TcpSocket::OnDisconnected);
    connect(socket, &QTcpSocket::errorOccurred, this,
            [this](QAbstractSocket::SocketError e) { OnSocketError(static_cast<int>(e)); });
    connect(socket, &QTcpSocket::stateChanged, this,
            [this](QAbstractSocket::SocketState s) { OnStateChanged(static_cast<int>(s)); });
    connect(socket, &QSslSocket::encrypted, this, &TcpSocket::EncryptedEvent);
    connect(socket, &QAbstractSocket::bytesWritten, this, &TcpSocket::Written);
    connect(socket, &QSslSocket::encryptedBytesWritten, this, &TcpSocket::Written);
    connect(socket, &QSslSocket::sslErrors, this, &TcpSocket::SslErrors);
}

bool TcpSocket::StartTls(bool asServer, const QSslConfiguration& configuration) {
    if (!socket_ || state_ != Connected || socket_->bytesAvailable() > 0 ||
        socket_->mode() != QSslSocket::UnencryptedMode) {
        return false;
    }
    socket_->setSslConfiguration(configuration);
    if (asServer) {
        socket_->startServerEncryption();
    } else {
        socket_->startClientEncryption();
    }
    return true;
}

qint64 TcpSocket::BytesAvailable() const {
    return socket_ ? socket_->bytesAvailable() : 0;
}

bool TcpSocket::Encrypted() const {
    return socket_ && socket_->isEncrypted();
}

QSslCertificate TcpSocket::PeerCertificate() const {
    return socket_ ? socket_->peerCertificate() : QSslCertificate();
}

QString TcpSocket::SessionDescription() const {
    if (!Encrypted()) {
        return {};
    }
    const QSslCipher cipher = socket_->sessionCipher();
    return cipher.protocolString() + QStringLiteral(", ") + cipher.name();
}

void TcpSocket::IgnoreSslErrors(const QList<QSslError>& errors) {
    if (socket_) {
        socket_->ignoreSslErrors(errors);
    }
}

void TcpSocket::OnStateChanged(int qtState) {
    switch (static_cast<QAbstractSocket::SocketState>(qtState)) {
    case QAbstractSocket::HostLookupState:
        state_ = ResolvingHost;
        break;
    case QAbstractSocket::ConnectingState:
        state_ = Connecting;
        break;
    default:
        break; // connected, closing and errors are set by their own events
    }
}

void TcpSocket::OnSocketError(int error) {
    if (error == QAbstractSocket::RemoteHostClosedError) {
        return; // the peer closed: "disconnected" follows and raises the close
    }
    SetError(ErrorNumberFor(error), socket_ ? socket_->errorString() : QString());
    state_ = Error;
    emit ErrorEvent(errorNumber_, errorText_);
}

void TcpSocket::OnDisconnected() {
    if (state_ == Error || state_ == Closed) {
        return; // already reported as an error, or closed here
    }
    state_ = Closing;
    emit ClosedEvent();
}

void TcpSocket::Connect(const QString& host, int port) {
    Close();
    wasConnected_ = false;
    auto* s = new QSslSocket(this);
    Adopt(s);
    state_ = ResolvingHost;
    if (port <= 0 || port > 65535) {
        // Reported as an event, like every other failure to connect.
        QTimer::singleShot(0, this, [this, guard = QPointer<QSslSocket>(s), port] {
            if (guard && socket_ == guard) {
                SetError(10049, QStringLiteral("Port %1 is out of range (1 to 65535)").arg(port));
                state_ = Error;
                emit ErrorEvent(errorNumber_, errorText_);
            }
        });
        return;
    }
    s->connectToHost(host, static_cast<quint16>(port));
}

bool TcpSocket::SendData(const QByteArray& data) {
    if (state_ != Connected || !socket_) {
        return false;
    }
    if (socket_->write(data) != data.size()) {
        return false;
    }
    // Out now, not on the next turn of the event loop: an answer must not wait behind the
    // work its read caused (the history, notifications, repaints). Over TLS only the first
    // write of a turn goes at once: the rest of a burst follows at the end of the turn,
    // sealed together in few records instead of one record and one system call per line.
    if (!socket_->isEncrypted() || EncryptedWritesThisTurn()++ == 0) {
        socket_->flush();
    }
    return true;
}

qint64 TcpSocket::BytesToWrite() const {
    return socket_ ? socket_->bytesToWrite() : 0;
}

QByteArray TcpSocket::GetData() {
    return socket_ ? socket_->readAll() : QByteArray();
}

void TcpSocket::RememberPeer() {
    if (socket_ && !socket_->peerAddress().isNull()) {
        lastPeer_ = DisplayAddress(socket_->peerAddress());
        lastPeerPort_ = socket_->peerPort();
    } else {
        lastPeer_.clear();
        lastPeerPort_ = 0;
    }
}

void TcpSocket::DropSocket() {
    if (socket_) {
        QSslSocket* s = socket_;
        socket_ = nullptr;
        s->disconnect(this); // a local close raises no events
        s->abort();
        s->deleteLater();
    }
}

void TcpSocket::Flush() {
    if (socket_) {
        socket_->flush();
    }
}

void TcpSocket::CloseGently() {
    if (QSslSocket* s = socket_) {
        socket_ = nullptr;
        s->disconnect(this);
        // It outlives this object, never the program.
        s->setParent(QCoreApplication::instance());
        s->flush();
        // Half closed: our FIN follows what was written, and whatever still arrives is read
        // and dropped, since closing with unread data would reset the connection and the
        // peer could lose our last words. The peer's own close ends it.
        s->readAll();
        ::shutdown(static_cast<int>(s->socketDescriptor()), SHUT_WR);
        connect(s, &QIODevice::readyRead, s, [s] { s->readAll(); });
        connect(s, &QAbstractSocket::disconnected, s, &QObject::deleteLater);
        connect(s, &QAbstractSocket::errorOccurred, s, &QObject::deleteLater);
        // A peer that never closes must not keep it forever.
        QTimer::singleShot(5000, s, [s] {
            s->abort();
            s->deleteLater();
        });
    }
    Close();
}

void TcpSocket::Close() {
    DropSocket();
    if (server_) {
        QTcpServer* srv = server_;
        server_ = nullptr;
        srv->disconnect(this);
        srv->close();
        srv->deleteLater();
    }
    state_ = Closed;
}

void TcpSocket::SetError(int number, const QString& text) {
    errorNumber_ = number;
    errorText_ = text;
}

} // namespace platform
