// One network message: built and enciphered on the sending side; collected, framed,
// deciphered and checked on the receiving side. Every text here is a byte string in which
// all 256 values are ordinary.
#pragma once

#include "NetCodec.h"

#include <QByteArray>

#include <cstdint>

class CNetMsg {
public:
    // A header is the marker, three identifiers, the command, the length and the CRC.
    static constexpr qsizetype kHeaderSize = 25;
    // What BufferMsg reports (the values are the ones the protocol notes use).
    enum class BufferStatus : std::int16_t {
        Empty = 0,
        Incomplete = 1,
        Complete = 2,
        Overflow = 3
    };
    // What VerifyMsg reports.
    enum class VerifyResult : std::int16_t { Good = 0, BadCrc = 1, WrongMarker = 2 };

    enum class CreateResult {
        Ok,
        TooLong, // header plus body would exceed what a peer can check (32767 characters)
        NoCrc,   // the checksum library is not available; nothing may be sent
    };

    std::uint8_t Cmd() const { return Cmd_; }
    QByteArray FullMessage() const { return Header_ + Message_; }
    const QByteArray& Header() const { return Header_; }
    const QByteArray& Message() const { return Message_; }
    std::int32_t crc() const { return crc_; }
    std::int32_t CheckCRC() const { return CheckCRC_; }

    // Not part of the wire record, but needed by the receive path and the tests.
    const QByteArray& AppID() const { return AppID_; }
    std::int32_t NetID() const { return NetID_; }
    std::int32_t UserID() const { return UserID_; }
    std::int32_t MsgNum() const { return MsgNum_; }
    std::int32_t MsgLen() const { return MsgLen_; }
    BufferStatus MsgStatus() const { return MsgStatus_; }
    const QByteArray& InBuffer() const { return InBuffer_; }
    bool HeaderTaken() const { return headerTaken_; }
    // Header groups of the message being received that did not decode (each read as 0).
    int DecodeFailures() const { return decodeFailures_; }

    void Clear();
    void CipherMessage(const QByteArray& password);
    CreateResult CreateMessage(const QByteArray& AppID, std::int32_t NetID, std::int32_t UserID,
                               std::uint8_t Cmd, const QByteArray& msg);
    BufferStatus BufferMsg(const QByteArray& msg);
    void ValidateMsg();
    VerifyResult VerifyMsg();

    // After BufferMsg gave Overflow (more buffered than this message declares): takes this
    // message's body out of the buffer, makes the object complete and returns
    // the characters that follow it, which belong to the next message.
    QByteArray SplitOverflow();

private:
    QByteArray AppID_;
    std::int32_t NetID_ = 0;
    std::int32_t UserID_ = 0;
    std::int32_t MsgNum_ = 0;
    std::uint8_t Cmd_ = 0;
    std::int32_t crc_ = 0;
    std::int32_t MsgLen_ = 0;
    QByteArray Message_;
    QByteArray Header_;
    QByteArray AppKey_ = QByteArray(kAppMarker);
    BufferStatus MsgStatus_ = BufferStatus::Empty;
    QByteArray InBuffer_;
    std::int32_t CheckCRC_ = 0;
    // A received AppID may be four zero bytes; "no header taken" is therefore kept apart.
    bool headerTaken_ = false;
    int decodeFailures_ = 0;
};
