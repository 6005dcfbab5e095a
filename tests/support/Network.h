// The network between two copies, over real sockets: every connection is passed on, until a
// test makes the current ones go silent, eat what the answering side says, or cut them.
#pragma once

#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <utility>

class Network : public QObject {
public:
    int Listen(int target) {
        target_ = target;
        server_.listen(QHostAddress::LocalHost, 0);
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* in = server_.nextPendingConnection()) {
                auto* out = new QTcpSocket(in);
                pairs_.append(std::pair{QPointer<QTcpSocket>(in), QPointer<QTcpSocket>(out)});
                connect(in, &QTcpSocket::readyRead, this, [this, in, out] {
                    const QByteArray bytes = in->readAll();
                    if (!Silent(in)) {
                        out->write(bytes);
                    }
                });
                connect(out, &QTcpSocket::readyRead, this, [this, in, out] {
                    const QByteArray bytes = out->readAll();
                    if (!Silent(in) && !eating_.contains(in)) {
                        in->write(bytes);
                    }
                });
                connect(in, &QTcpSocket::disconnected, out, &QTcpSocket::disconnectFromHost);
                connect(out, &QTcpSocket::errorOccurred, in, &QTcpSocket::disconnectFromHost);
                connect(out, &QTcpSocket::disconnected, in, &QTcpSocket::disconnectFromHost);
                out->connectToHost(QHostAddress::LocalHost, static_cast<quint16>(target_));
            }
        });
        return server_.serverPort();
    }
    // The connections up now pass nothing more, and nobody is told.
    void GoSilent() {
        for (const auto& [in, out] : pairs_) {
            silent_ << in;
        }
    }
    // What the answering side says on the connections up now is lost.
    void EatAnswers() {
        for (const auto& [in, out] : pairs_) {
            eating_ << in;
        }
    }
    // The connections up now are closed at both ends.
    void Cut() {
        for (const auto& [in, out] : pairs_) {
            if (in) {
                in->abort();
                in->deleteLater();
            }
        }
        pairs_.clear();
    }

private:
    bool Silent(QTcpSocket* in) const { return silent_.contains(in); }
    QTcpServer server_;
    int target_ = 0;
    QList<std::pair<QPointer<QTcpSocket>, QPointer<QTcpSocket>>> pairs_;
    QList<QTcpSocket*> silent_;
    QList<QTcpSocket*> eating_;
};
