#include "CNetMsg.h"

#include "Cipher.h"
#include "CrcBinding.h"
#include "NetCodec.h"

#include <limits>

void CNetMsg::Clear() {
    AppID_.clear();
    Message_.clear();
    InBuffer_.clear();
    NetID_ = 0;
    UserID_ = 0;
    Cmd_ = 0;
    crc_ = 0;
    MsgLen_ = 0;
    MsgStatus_ = BufferStatus::Empty;
    headerTaken_ = false;
    decodeFailures_ = 0;
}

void CNetMsg::CipherMessage(const QByteArray& password) {
    if (!password.isEmpty()) {
        Message_ = CipherText(Message_, password);
    }
}

CNetMsg::CreateResult CNetMsg::CreateMessage(const QByteArray& AppID, std::int32_t NetID,
                                             std::int32_t UserID, std::uint8_t Cmd,
                                             const QByteArray& msg) {
    // Refused before anything changes, so a refused message leaves no trace on the object.
    if (msg.size() > kMaxBody) {
        return CreateResult::TooLong;
    }
    if (!crcbinding::Available()) {
        return CreateResult::NoCrc;
    }
    AppID_ = AppID;
    NetID_ = NetID;
    UserID_ = UserID;
    Cmd_ = Cmd;
    Message_ = msg;
    // The sequence number wraps to 1 rather than leave the range a header can carry.
    MsgNum_ = MsgNum_ == std::numeric_limits<std::int32_t>::max() ? 1 : MsgNum_ + 1;
    MsgLen_ = static_cast<std::int32_t>(Message_.size());
    QByteArray header = AppID_ + EncodeLong(NetID_) + EncodeLong(UserID_) + EncodeLong(MsgNum_);
    header.append(static_cast<char>(Cmd_));
    header += EncodeLong(MsgLen_);
    crc_ = NormaliseCrc(crcbinding::Compute(header + Message_).value_or(0));
    Header_ = header + EncodeLong(crc_);
    return CreateResult::Ok;
}

CNetMsg::BufferStatus CNetMsg::BufferMsg(const QByteArray& msg) {
    InBuffer_ += msg;
    ValidateMsg();
    return MsgStatus_;
}

void CNetMsg::ValidateMsg() {
    if (!headerTaken_) {
        if (InBuffer_.size() < kHeaderSize) {
            MsgStatus_ = BufferStatus::Incomplete;
            return;
        }
        Header_ = InBuffer_.left(21);
        AppID_ = InBuffer_.left(4);
        // A group that does not decode reads 0 and parsing goes on; the count tells the
        // caller that the header came from a corrupt or foreign stream.
        decodeFailures_ = 0;
        auto field = [this](qsizetype at) {
            bool ok = true;
            const std::int32_t v = DecodeLong(InBuffer_.mid(at, 4), &ok);
            decodeFailures_ += ok ? 0 : 1;
            return v;
        };
        NetID_ = field(4);
        UserID_ = field(8);
        MsgNum_ = field(12);
        Cmd_ = static_cast<std::uint8_t>(InBuffer_.at(16));
        MsgLen_ = field(17);
        crc_ = field(21);
        InBuffer_.remove(0, kHeaderSize);
        headerTaken_ = true;
    }
    const qsizetype have = InBuffer_.size();
    if (MsgLen_ == have) {
        MsgStatus_ = BufferStatus::Complete;
        Message_ = InBuffer_;
        InBuffer_.clear();
    } else if (MsgLen_ > have) {
        MsgStatus_ = BufferStatus::Incomplete;
    } else {
        MsgStatus_ = BufferStatus::Overflow;
    }
}

CNetMsg::VerifyResult CNetMsg::VerifyMsg() {
    if (AppID_ != AppKey_) {
        return VerifyResult::WrongMarker;
    }
    const auto raw = crcbinding::Compute(Header_ + Message_);
    if (!raw) {
        // Without the checksum library no message is accepted.
        CheckCRC_ = 0;
        return VerifyResult::BadCrc;
    }
    CheckCRC_ = NormaliseCrc(*raw);
    return CheckCRC_ == crc_ ? VerifyResult::Good : VerifyResult::BadCrc;
}

QByteArray CNetMsg::SplitOverflow() {
    if (MsgStatus_ != BufferStatus::Overflow) {
        return {};
    }
    Message_ = InBuffer_.left(MsgLen_);
    QByteArray rest = InBuffer_.mid(MsgLen_);
    InBuffer_.clear();
    MsgStatus_ = BufferStatus::Complete;
    return rest;
}
