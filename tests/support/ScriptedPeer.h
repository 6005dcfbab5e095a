// A peer that speaks raw bytes over TCP, for wire-level tests: it sends exactly what a test
// scripts and parses what comes back with a framing of its own.
#pragma once

#include <QByteArray>
#include <QList>
#include <QPointer>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>

#include <cstdint>
#include <memory>

struct WireMessage {
    QByteArray raw; // the whole message as it came
    QByteArray appId;
    std::int32_t netId = 0;
    std::int32_t userId = 0;
    std::int32_t msgNum = 0;
    std::uint8_t cmd = 0;
    std::int32_t msgLen = 0;
    std::int32_t crc = 0;
    QByteArray body; // deciphered with the peer's passwords
};

class ScriptedPeer {
public:
    ScriptedPeer();
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    // Calls a listening window, from `from` (any loopback address 127.x.y.z on Linux).
    bool ConnectTo(int port, const QString& from = QStringLiteral("127.0.0.1"));
    // Listens for a window's call; returns the port.
    int Listen();
    bool WaitForCall(int timeoutMs = 5000);

    void Send(const QByteArray& bytes);
    // A message as a Palaver sender builds it (own sequence numbers, peer's passwords).
    QByteArray Build(std::uint8_t cmd, const QByteArray& body, std::int32_t userId = 1);

    // Waits until at least `count` whole messages have arrived.
    bool WaitForMessages(int count, int timeoutMs = 5000);
    bool WaitForDisconnect(int timeoutMs = 5000);
    bool Connected() const;
    QList<WireMessage> Messages();
    // The bodies of the chat lines received, in order, as Latin-1 text.
    QStringList ChatBodies();
    QByteArray Received() const { return received_; }

    // Answers the opening AUTH with PASS and waits for ACPT.
    bool LogIn(const QByteArray& password, const QByteArray& nickname);

    QList<QByteArray> passwords; // message passwords 1 to 5 of this peer
    // Messages() lists the answering side's offer too (left out, as an old peer ignores it).
    bool seeOffers = false;

private:
    void Read();
    std::unique_ptr<QTcpServer> server_;
    QPointer<QTcpSocket> socket_;
    std::unique_ptr<QTcpSocket> own_;
    QByteArray received_;
    std::int32_t msgNum_ = 0;
    bool disconnected_ = false;
};
