#include "ScriptedPeer.h"

#include "protocol/Cipher.h"
#include "protocol/CrcBinding.h"
#include "protocol/NetCodec.h"

#include <QTest>

namespace {

std::int32_t Le32(const QByteArray& b, int at) {
    const auto u = [&](int k) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + k]));
    };
    return static_cast<std::int32_t>(u(0) | (u(1) << 8) | (u(2) << 16) | (u(3) << 24));
}

} // namespace

ScriptedPeer::ScriptedPeer() = default;

ScriptedPeer::~ScriptedPeer() {
    if (socket_) {
        socket_->disconnect();
        socket_->abort();
    }
}

bool ScriptedPeer::ConnectTo(int port, const QString& from) {
    own_ = std::make_unique<QTcpSocket>();
    socket_ = own_.get();
    socket_->bind(QHostAddress(from));
    QObject::connect(socket_, &QTcpSocket::readyRead, [this] { Read(); });
    QObject::connect(socket_, &QTcpSocket::disconnected, [this] { disconnected_ = true; });
    socket_->connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
    return socket_->waitForConnected(5000);
}

int ScriptedPeer::Listen() {
    server_ = std::make_unique<QTcpServer>();
    server_->listen(QHostAddress::Any, 0);
    QObject::connect(server_.get(), &QTcpServer::newConnection, [this] {
        socket_ = server_->nextPendingConnection();
        disconnected_ = false; // a call that comes again
        QObject::connect(socket_, &QTcpSocket::readyRead, [this] { Read(); });
        QObject::connect(socket_, &QTcpSocket::disconnected, [this] { disconnected_ = true; });
    });
    return server_->serverPort();
}

bool ScriptedPeer::WaitForCall(int timeoutMs) {
    return QTest::qWaitFor([this] { return !socket_.isNull(); }, timeoutMs);
}

void ScriptedPeer::Read() {
    if (socket_) {
        received_ += socket_->readAll();
    }
}

void ScriptedPeer::Send(const QByteArray& bytes) {
    socket_->write(bytes);
    socket_->flush();
}

QByteArray ScriptedPeer::Build(std::uint8_t cmd, const QByteArray& body, std::int32_t userId) {
    ++msgNum_;
    QByteArray header =
        QByteArrayLiteral("QV;(") + EncodeLong(0) + EncodeLong(userId) + EncodeLong(msgNum_);
    header.append(static_cast<char>(cmd));
    header += EncodeLong(static_cast<std::int32_t>(body.size()));
    const std::int32_t crc = NormaliseCrc(crcbinding::Compute(header + body).value_or(0));
    QByteArray enciphered = body;
    for (const QByteArray& pw : passwords) {
        enciphered = CipherText(enciphered, pw);
    }
    return header + EncodeLong(crc) + enciphered;
}

QList<WireMessage> ScriptedPeer::Messages() {
    QList<WireMessage> out;
    int pos = 0;
    while (received_.size() - pos >= 25) {
        WireMessage m;
        m.appId = received_.mid(pos, 4);
        m.netId = Le32(received_, pos + 4);
        m.userId = Le32(received_, pos + 8);
        m.msgNum = Le32(received_, pos + 12);
        m.cmd = static_cast<std::uint8_t>(received_[pos + 16]);
        m.msgLen = Le32(received_, pos + 17);
        m.crc = Le32(received_, pos + 21);
        if (m.msgLen < 0 || received_.size() - pos - 25 < m.msgLen) {
            break;
        }
        m.raw = received_.mid(pos, 25 + m.msgLen);
        m.body = received_.mid(pos + 25, m.msgLen);
        for (auto it = passwords.crbegin(); it != passwords.crend(); ++it) {
            m.body = CipherText(m.body, *it);
        }
        // An old peer logs the offer before AUTH and goes on; tests that look at it ask.
        if (seeOffers || m.cmd != 3 || !m.body.startsWith("CAPS")) {
            out << m;
        }
        pos += 25 + m.msgLen;
    }
    return out;
}

bool ScriptedPeer::WaitForMessages(int count, int timeoutMs) {
    return QTest::qWaitFor([&] { return Messages().size() >= count; }, timeoutMs);
}

bool ScriptedPeer::WaitForDisconnect(int timeoutMs) {
    return QTest::qWaitFor([this] { return disconnected_; }, timeoutMs);
}

bool ScriptedPeer::Connected() const {
    return socket_ && !disconnected_ && socket_->state() == QAbstractSocket::ConnectedState;
}

bool ScriptedPeer::LogIn(const QByteArray& password, const QByteArray& nickname) {
    if (!WaitForMessages(1)) {
        return false;
    }
    const int before = static_cast<int>(Messages().size());
    QByteArray body = QByteArrayLiteral("PASS") + password;
    body.append('\0');
    body += nickname;
    Send(Build(CmdLogin, body));
    return WaitForMessages(before + 1) && Messages().last().body.startsWith("ACPT");
}

QStringList ScriptedPeer::ChatBodies() {
    QStringList out;
    for (const WireMessage& m : Messages()) {
        if (m.cmd == CmdText) {
            out << QString::fromLatin1(m.body);
        }
    }
    return out;
}
