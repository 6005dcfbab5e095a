// A man in the middle for secure-call tests: a relay over real sockets that keeps what the
// caller sent in plain text and, once armed, attacks.
#pragma once

#include "call/CallSession.h"
#include "call/Identity.h"
#include "protocol/NetCodec.h"

#include <QPointer>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpServer>
#include <QTimer>

// Every connection as a QSslSocket still in plain mode.
class SslServer : public QTcpServer {
protected:
    void incomingConnection(qintptr descriptor) override {
        auto* socket = new QSslSocket(this);
        socket->setSocketDescriptor(descriptor);
        addPendingConnection(socket);
    }
};

// A man in the middle: forwards a caller's connection to `target`, keeping what the caller
// sent in plain text, and, once armed, attacks.
class Relay : public QObject {
public:
    enum Attack { None, StripOffer, InjectAfterGo, TlsBeforeGo, OwnCertificate, FlipByte, Stall };
    Attack attack = None;
    bool armed = false;
    bool flipNext = false;
    QByteArray plainFromCaller;
    const Identity* own = nullptr;

    // What the caller sent and what of it was passed on, in bytes; with a rate, passed on
    // at most that fast.
    qint64 fromCaller = 0;
    qint64 passedOn = 0;
    qint64 bytesPerSecond = 0;
    bool Switched() const { return switched_; }

    int Listen(int target) {
        target_ = target;
        server_.listen(QHostAddress::LocalHost, 0);
        connect(&server_, &QTcpServer::newConnection, this, [this] { Accept(); });
        return server_.serverPort();
    }

private:
    void Accept() {
        in_ = static_cast<QSslSocket*>(server_.nextPendingConnection());
        out_ = new QSslSocket(in_);
        plainFromCaller.clear();
        switched_ = false;
        connect(in_, &QSslSocket::readyRead, this, [this] { FromCaller(in_->readAll()); });
        connect(out_, &QSslSocket::readyRead, this, [this] { FromAnswerer(out_->readAll()); });
        connect(in_, &QSslSocket::disconnected, out_, &QSslSocket::disconnectFromHost);
        connect(out_, &QSslSocket::disconnected, in_, &QSslSocket::disconnectFromHost);
        out_->connectToHost(QHostAddress::LocalHost, static_cast<quint16>(target_));
    }
    void FromCaller(QByteArray bytes) {
        if (!switched_) {
            plainFromCaller += bytes;
        }
        if (armed && attack == TlsBeforeGo && bytes.contains(CallSession::kSecureRequest)) {
            in_->write(QByteArray("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11) +
                       QByteArray(64, '\x5a'));
            return;
        }
        if (armed && attack == FlipByte && flipNext && switched_ && bytes.size() > 10) {
            flipNext = false;
            bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x20);
        }
        if (armed && attack == Stall && stalled_) {
            return;
        }
        fromCaller += bytes.size();
        if (bytesPerSecond > 0) {
            paced_ += bytes;
            if (!pace_.isActive()) {
                connect(&pace_, &QTimer::timeout, this, [this] {
                    if (out_ != nullptr) {
                        passedOn += out_->write(paced_.left(bytesPerSecond / 100));
                    }
                    paced_.remove(0, bytesPerSecond / 100);
                });
                pace_.start(10);
            }
            return;
        }
        passedOn += out_->write(bytes);
    }
    void FromAnswerer(QByteArray bytes) {
        const bool goAhead = !switched_ && bytes.contains(CallSession::kGoAhead);
        if (armed && attack == StripOffer) {
            CNetMsg offer;
            offer.CreateMessage(QByteArray(kAppMarker), 0, 0, CmdLogin, CallSession::kSecureOffer);
            bytes.replace(offer.FullMessage(), QByteArray());
        }
        if (armed && attack == InjectAfterGo && goAhead) {
            CNetMsg line;
            line.CreateMessage(QByteArray(kAppMarker), 0, 1, CmdText, "injected");
            bytes += line.FullMessage();
        }
        if (armed && attack == Stall && stalled_) {
            return;
        }
        in_->write(bytes);
        if (goAhead) {
            switched_ = true;
            stalled_ = true;
            if (armed && attack == OwnCertificate) {
                // Its own key to the caller, and to the answerer as a caller of its own.
                QSslConfiguration c = QSslConfiguration::defaultConfiguration();
                c.setLocalCertificate(own->Certificate());
                c.setPrivateKey(own->Key());
                c.setPeerVerifyMode(QSslSocket::VerifyNone);
                for (QSslSocket* s : {in_.data(), out_.data()}) {
                    s->setSslConfiguration(c);
                    connect(s, &QSslSocket::sslErrors, s,
                            [s](const QList<QSslError>&) { s->ignoreSslErrors(); });
                }
                in_->startServerEncryption();
                out_->startClientEncryption();
            }
        }
    }

    QByteArray paced_;
    QTimer pace_;
    SslServer server_;
    QPointer<QSslSocket> in_;
    QPointer<QSslSocket> out_;
    int target_ = 0;
    bool switched_ = false;
    bool stalled_ = false;
};
