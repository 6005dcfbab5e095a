// The socket object of a chat window: one TCP endpoint that either listens or carries one
// connection, with numbered states and the events the windows handle. Events arrive on the
// GUI thread. "Closed" is raised only when the peer closes, never for a local Close().
#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

#include <QList>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslError>

class QHostAddress;
class QTcpServer;
class QSslSocket;

namespace platform {

class TcpSocket : public QObject {
    Q_OBJECT
public:
    enum State {
        Closed = 0,
        Open = 1,
        Listening = 2,
        ConnectionPending = 3,
        ResolvingHost = 4,
        HostResolved = 5,
        Connecting = 6,
        Connected = 7,
        Closing = 8,
        Error = 9,
    };

    // Reads arriving faster than the window handles them wait in the kernel, not in memory.
    static constexpr qint64 kReadBufferSize = 64 * 1024;

    explicit TcpSocket(QObject* parent = nullptr);
    ~TcpSocket() override;
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    int state() const { return state_; }

    // The port to listen on (0: any free port); while listening or connected, the real one.
    int LocalPort() const;
    void SetLocalPort(int port) { localPort_ = port; }
    // This machine's address as a caller would use it: the connection's own address when
    // connected, otherwise the first non-loopback IPv4 address of the machine.
    QString LocalIP() const;
    QString RemoteHostIP() const;
    int RemotePort() const;

    // Start listening on LocalPort() on IPv4 and IPv6. False on failure (see LastError*).
    bool Listen();
    // Takes over the pending connection `requestID` raised by any listening socket.
    bool Accept(int requestID);
    void Connect(const QString& host, int port);
    // False when the socket is not connected; nothing is sent then.
    bool SendData(const QByteArray& data);
    QByteArray GetData();
    // Bytes handed to SendData that the peer has not yet taken from us.
    qint64 BytesToWrite() const;
    // Hands what waits to be written to the system now (a close drops what waits).
    void Flush();
    void Close();
    // Closes after what was written has gone (a FIN, not a reset), so that a last word
    // reaches the peer; the socket is dropped at once from this object's point of view.
    void CloseGently();

    // Secure calls: the connection switches to TLS in place. Bytes already received and not
    // yet taken would be read as if they came through TLS, so the switch is refused then.
    bool StartTls(bool asServer, const QSslConfiguration& configuration);
    // Bytes received and not yet taken by GetData.
    qint64 BytesAvailable() const;
    bool Encrypted() const;
    QSslCertificate PeerCertificate() const;
    // "TLS 1.3, TLS_AES_256_GCM_SHA384", for a tool tip.
    QString SessionDescription() const;
    // Lets a handshake go on in spite of `errors` (its certificate was judged elsewhere).
    void IgnoreSslErrors(const QList<QSslError>& errors);

    // True once the current connection had been established (reset by Close and Connect).
    bool WasConnected() const { return wasConnected_; }
    int LastErrorNumber() const { return errorNumber_; }
    QString LastErrorDescription() const { return errorText_; }

    // Address and port of a pending request, as the listening socket saw them.
    static QString RequestAddress(int requestID);
    static int RequestPort(int requestID);

    // Numbers in the style of Winsock for Qt's socket errors, as users know them.
    static int ErrorNumberFor(int qtSocketError);

signals:
    void ConnectionRequest(int requestID);
    void ConnectedEvent();
    void DataArrival(qint64 bytesTotal);
    void ClosedEvent();
    void ErrorEvent(int number, const QString& description);
    // The TLS handshake has ended well.
    void EncryptedEvent();
    // Bytes left for the peer: room for more.
    void Written();
    // The peer's certificate failed checks; IgnoreSslErrors from here lets it through.
    void SslErrors(const QList<QSslError>& errors);

private:
    void Adopt(QSslSocket* socket);
    void DropSocket();
    void RememberPeer();
    void OnNewConnection();
    void OnSocketError(int error);
    void OnDisconnected();
    void OnStateChanged(int qtState);
    void SetError(int number, const QString& text);

    int state_ = Closed;
    int localPort_ = 0;
    bool wasConnected_ = false;
    int errorNumber_ = 0;
    QString errorText_;
    // The peer of the last connection stays readable after a close, for log lines.
    QString lastPeer_;
    int lastPeerPort_ = 0;
    QPointer<QTcpServer> server_;
    QPointer<QSslSocket> socket_;
};

// Displays an address the way users know it: IPv4 peers in dotted form even when the
// socket is dual-stack.
QString DisplayAddress(const QHostAddress& address);

} // namespace platform
