// The words two copies of this program say to each other after login, beside the login
// itself: the numbers of their lines (RESUME1, SEQ), a goodbye (BYE), whether the other is
// still there (PING, PONG) and whether it takes files (FILE1, then file messages). An old
// peer never hears one.
#include "CallSession.h"

#include "protocol/NetCodec.h"

bool CallSession::SendWord(const QByteArray& word) {
    if (!LoggedInNow() || !PeerKeepsLines()) {
        return false;
    }
    const bool sent = Answer(CmdLogin, word);
    outgoing_.Clear();
    return sent;
}

void CallSession::StartNumbering(qint64 lastIn) {
    numbering_ = true;
    lastIn_ = lastIn;
}

bool CallSession::HandleWord(const QByteArray& body) {
    const auto number = [&body](qsizetype from) {
        bool ok = false;
        const qint64 n = body.mid(from).toLongLong(&ok);
        return ok && n >= 0 ? n : -1;
    };
    if (body.startsWith("RESUME1 ") && number(8) >= 0) {
        emit ResumeAsked(number(8));
    } else if (body.startsWith("SEQ ") && numbering_ && number(4) > 0) {
        nextIn_ = number(4);
    } else if (body == "FILE1") {
        emit PeerTakesFiles();
    } else if (body == "BYE") {
        emit Goodbye();
    } else if (body == "PING") {
        SendWord(QByteArrayLiteral("PONG"));
    } else if (body != "PONG") {
        return false;
    }
    return true;
}

bool CallSession::SendFile(std::uint8_t cmd, const QByteArray& body) {
    if (!LoggedInNow() || !PeerKeepsLines()) {
        return false;
    }
    const bool sent = Answer(cmd, body);
    outgoing_.Clear();
    return sent;
}

void CallSession::ReceiveFile() {
    // A peer that never heard our FILE1 sends none: anything else is dropped unread.
    if (PeerKeepsLines()) {
        Decipher();
        const bool intact = incoming_.VerifyMsg() == CNetMsg::VerifyResult::Good;
        emit FileMessage(incoming_.Cmd(), intact ? incoming_.Message() : QByteArray(), intact);
    }
    incoming_.Clear();
}
