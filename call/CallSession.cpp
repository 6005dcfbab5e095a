#include "CallSession.h"

#include "LoginGuard.h"

#include "platform/Text1252.h"
#include "protocol/NetCodec.h"
#include "settings/Settings.h"

#include <QDateTime>

#include <algorithm>

namespace {

const QByteArray kAppID(kAppMarker);
const QString kIndent = QStringLiteral("    ");

QByteArray Password(int k) {
    return platform::ToAnsi(Settings.Passwords[static_cast<std::size_t>(k)]);
}

bool IsControl(QChar c) {
    return c.category() == QChar::Other_Control;
}

} // namespace

QString PeerLine(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n')) {
            if (c == QLatin1Char('\r') && i + 1 < text.size() && text[i + 1] == QLatin1Char('\n')) {
                ++i;
            }
            out += QLatin1Char('\n') + kIndent;
        } else {
            out += IsControl(c) ? QChar(QLatin1Char('?')) : c;
        }
    }
    return out;
}

QString PeerName(const QString& name) {
    QString out = name;
    std::replace_if(out.begin(), out.end(), IsControl, QChar(QLatin1Char('?')));
    return out;
}

CallSession::CallSession(QObject* parent) : QObject(parent) {
    deadline_.setSingleShot(true);
    hold_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, &CallSession::CheckDeadline);
    connect(&hold_, &QTimer::timeout, this, &CallSession::ResumeAfterHold);
}

int CallSession::LoginDeadlineSeconds() {
    // A day at most, so the milliseconds always fit a timer.
    return Settings.Timeout > 0 ? std::min(Settings.Timeout, 86400) : 30;
}

void CallSession::Start(Role role, const QString& peerAddress) {
    End();
    role_ = role;
    peer_ = peerAddress;
    active_ = true;
    deadlineAt_ = Now() + LoginDeadlineSeconds() * qint64{1000};
    deadline_.start(LoginDeadlineSeconds() * 1000);
}

qint64 CallSession::Now() const {
    return clock_ ? clock_() : QDateTime::currentMSecsSinceEpoch();
}

void CallSession::CheckDeadline() {
    if (!active_ || loginFlag_ != 0) {
        return;
    }
    if (const qint64 left = deadlineAt_ - Now(); left > 0) {
        // A timer may fire a little early; the deadline is the clock's.
        deadline_.start(static_cast<int>(left));
        return;
    }
    Close(
        CloseReason::LoginTimeout,
        QStringLiteral("Call with ") + peer_ +
            QStringLiteral(" closed: not logged in within %1 seconds").arg(LoginDeadlineSeconds()));
}

void CallSession::End() {
    active_ = false;
    loginFlag_ = 0;
    lastLineCrc_ = 0;
    holding_ = false;
    heldPassword_.clear();
    if (ticket_ != 0) {
        Logins().Leave(std::exchange(ticket_, 0));
    }
    backlog_.clear();
    deadline_.stop();
    hold_.stop();
    incoming_.Clear();
    outgoing_.Clear();
}

void CallSession::Close(CloseReason why, const QString& reason) {
    const bool loggedIn = loginFlag_ != 0;
    End();
    emit Closed(why, reason, loggedIn);
}

QString CallSession::Why(CNetMsg::CreateResult result) {
    switch (result) {
    case CNetMsg::CreateResult::TooLong:
        return QStringLiteral("longer than one message can carry (%1 characters)").arg(kMaxBody);
    case CNetMsg::CreateResult::NoCrc:
        return QStringLiteral("the checksum library is missing");
    case CNetMsg::CreateResult::Ok:
        break;
    }
    return {};
}

void CallSession::Encipher() {
    outgoing_.CipherMessage(Password(1));
    for (int k = 2; k <= 5; ++k) {
        outgoing_.CipherMessage(Password(k));
    }
}

void CallSession::Decipher() {
    for (int k = 5; k >= 2; --k) {
        incoming_.CipherMessage(Password(k));
    }
    incoming_.CipherMessage(Password(1));
}

CNetMsg::CreateResult CallSession::Auth(QByteArray* wire) {
    const auto result = outgoing_.CreateMessage(kAppID, 0, 0, CmdLogin, QByteArrayLiteral("AUTH"));
    if (result == CNetMsg::CreateResult::Ok) {
        Encipher();
        *wire = outgoing_.FullMessage();
    }
    return result;
}

CNetMsg::CreateResult CallSession::Line(const QByteArray& text, QByteArray* wire) {
    const auto result = outgoing_.CreateMessage(kAppID, 0, 1, CmdText, text);
    if (result == CNetMsg::CreateResult::Ok) {
        // Kept apart from the acknowledgements built on the same object, so that a line
        // of the peer's crossing ours does not make our line look lost.
        lastLineCrc_ = outgoing_.crc();
        Encipher();
        *wire = outgoing_.FullMessage();
    }
    return result;
}

bool CallSession::Answer(std::uint8_t cmd, const QByteArray& body) {
    const auto result = outgoing_.CreateMessage(kAppID, 0, 1, cmd, body);
    if (result != CNetMsg::CreateResult::Ok) {
        // The object still holds the previous message; sending it again would put stale
        // bytes on the wire.
        emit NotSent((cmd == CmdLogin ? QStringLiteral("Login not sent: ")
                                      : QStringLiteral("Acknowledgement not sent: ")) +
                     Why(result));
        return false;
    }
    Encipher();
    emit Send(outgoing_.FullMessage());
    return true;
}

void CallSession::Feed(const QByteArray& bytes) {
    if (!active_ || bytes.isEmpty()) {
        return;
    }
    if (holding_) {
        backlog_ += bytes;
        if (backlog_.size() > kMaxBacklog) {
            Close(CloseReason::Flooded,
                  peer_ + QStringLiteral(" sent too much while its login waited - call closed"));
        }
        return;
    }
    qsizetype pos = 0;
    while (active_) {
        // Only what the current message still lacks is handed over, so every byte of a
        // read holding many messages is copied once.
        const bool hadHeader = incoming_.HeaderTaken();
        const qsizetype have = incoming_.InBuffer().size();
        const qsizetype need = hadHeader ? incoming_.MsgLen() - have : CNetMsg::kHeaderSize - have;
        const qsizetype take = std::min(need, bytes.size() - pos);
        const CNetMsg::BufferStatus s = incoming_.BufferMsg(bytes.mid(pos, take));
        pos += take;
        if (!hadHeader && incoming_.HeaderTaken()) {
            if (incoming_.DecodeFailures() > 0) {
                if (loginFlag_ == 0) {
                    Close(CloseReason::BadMessage,
                          peer_ + QStringLiteral(" sent a header that does not decode - "
                                                 "call closed"));
                    return;
                }
                emit DecodeFailed();
            }
            if (incoming_.MsgLen() > kMaxBody) {
                Close(CloseReason::BadMessage,
                      peer_ + QStringLiteral(" sent a message declaring %1 characters (more "
                                             "than %2) - call closed")
                                  .arg(incoming_.MsgLen())
                                  .arg(kMaxBody));
                return;
            }
        }
        if (s == CNetMsg::BufferStatus::Incomplete) {
            if (pos >= bytes.size()) {
                emit LogLine(QStringLiteral("1=incomplete"));
                return;
            }
            continue;
        }
        Handle();
        if (holding_) {
            backlog_ = bytes.mid(pos);
            return;
        }
        if (pos >= bytes.size()) {
            return;
        }
    }
}

void CallSession::Handle() {
    if (loginFlag_ == 0) {
        if (incoming_.Cmd() == CmdLogin) {
            ReceiveLogin();
        } else {
            Close(CloseReason::BadMessage,
                  peer_ + QStringLiteral(" forced closed due to non-auth msg"));
        }
        return;
    }
    switch (incoming_.Cmd()) {
    case CmdText:
        ReceiveChat();
        break;
    case CmdAck:
        ReceiveAck();
        break;
    case CmdLogin:
        ReceiveLogin();
        break;
    default:
        incoming_.Clear(); // unknown command: dropped, never judged against later data
        break;
    }
}

void CallSession::ReceiveChat() {
    Decipher();
    const CNetMsg::VerifyResult v = incoming_.VerifyMsg();
    if (v == CNetMsg::VerifyResult::Good) {
        emit ChatLine(PeerLine(platform::FromAnsi(incoming_.Message())));
        if (active_) {
            Answer(CmdAck, QByteArrayLiteral("OK") + EncodeLong(incoming_.CheckCRC()));
        }
    } else {
        AnswerBadMessage(v);
    }
    outgoing_.Clear();
    incoming_.Clear();
}

void CallSession::ReceiveAck() {
    Decipher();
    bool ok = true;
    const std::int32_t T = DecodeLong(incoming_.Message().mid(2, 4), &ok);
    const bool saysOk = ok && incoming_.Message().startsWith("OK");
    incoming_.Clear();
    if (!ok) {
        emit DecodeFailed();
    }
    const std::int32_t U = lastLineCrc_;
    // A CRC is never 0, so an acknowledgement when no line waits never matches.
    emit Acknowledged(T, saysOk);
    if (U == 0 || U != T) {
        emit LogLine(QStringLiteral("CRC BAD U=") + QString::number(U) + QStringLiteral(",T=") +
                     QString::number(T));
        emit LogLine(QStringLiteral("Should Resending Message"));
        emit AckFailed();
    } else {
        emit AckMatched(U);
    }
}

void CallSession::ReceiveLogin() {
    Decipher();
    const CNetMsg::VerifyResult v = incoming_.VerifyMsg();
    if (v == CNetMsg::VerifyResult::Good) {
        HandleLoginBody();
    } else {
        AnswerBadMessage(v);
    }
    outgoing_.Clear();
    incoming_.Clear();
}

void CallSession::AnswerBadMessage(CNetMsg::VerifyResult v) {
    emit LogLine(v == CNetMsg::VerifyResult::BadCrc
                     ? QStringLiteral("Bad Message CRC - May be mismatched passwords")
                     : QStringLiteral("Incorrect or Corrupted Header"));
    if (active_) {
        Answer(CmdAck, QByteArrayLiteral("BC") + EncodeLong(incoming_.CheckCRC()));
    }
}

void CallSession::HandleLoginBody() {
    const QByteArray body = incoming_.Message();
    const QByteArray head = body.left(4);
    const bool isAuth = body == "AUTH";
    const bool isPass = !isAuth && head == "PASS";
    const bool isAcpt = !isAuth && !isPass && head == "ACPT";
    if ((isAuth && role_ != Role::Caller) || (isPass && role_ != Role::Answerer) ||
        (isAcpt && role_ != Role::Caller)) {
        // A peer that asks for our password, offers one to the caller or accepts itself is
        // not a Palaver peer playing its part.
        Close(CloseReason::WrongRole,
              QStringLiteral("Call closed: ") + peer_ + QStringLiteral(" sent \"") +
                  PeerName(QString::fromLatin1(head)) +
                  QStringLiteral("\", which only the other side of a call may send"));
        return;
    }
    if (isAuth) {
        QByteArray answer = QByteArrayLiteral("PASS") + platform::ToAnsi(Settings.LoginPassword);
        answer.append('\0');
        answer += platform::ToAnsi(Settings.Nickname);
        Answer(CmdLogin, answer);
        return;
    }
    if (isPass) {
        const QByteArray r = body.mid(4);
        const qsizetype p = r.indexOf('\0');
        QByteArray offered;
        if (p >= 0) {
            offered = r.left(p);
            emit PeerNamed(PeerName(platform::FromAnsi(r.mid(p + 1))));
        }
        const qint64 wait = Logins().HoldMs(peer_);
        if (Logins().Busy()) {
            // Too many wrong passwords from everywhere: this one waits its turn.
            ticket_ = Logins().Queue();
            if (Logins().TakeBusyNotice()) {
                emit ManyWrongLogins();
            }
        }
        if (wait > 0 || ticket_ != 0) {
            emit DebugLine(QStringLiteral("Login from ") + peer_ +
                           QStringLiteral(" waits %1 ms before it is judged").arg(wait) +
                           (ticket_ != 0 ? QStringLiteral(", then its turn") : QString()));
            holding_ = true;
            heldPassword_ = offered;
            hold_.start(static_cast<int>(wait));
            return;
        }
        JudgePass(offered);
        return;
    }
    if (isAcpt) {
        emit PeerNamed(PeerName(platform::FromAnsi(body.mid(4))));
        loginFlag_ = 1;
        deadline_.stop();
        emit LoggedIn();
        return;
    }
    emit LogLine(peer_ + QStringLiteral("+ ") + PeerLine(platform::FromAnsi(body)));
}

void CallSession::JudgePass(const QByteArray& offered) {
    if (offered != platform::ToAnsi(Settings.LoginPassword)) {
        const bool startsHold = Logins().Wrong(peer_);
        emit DebugLine(QStringLiteral("Wrong login password from ") + peer_ +
                       QStringLiteral(" (%1 in a row)").arg(Logins().WrongCount(peer_)));
        if (startsHold) {
            emit HeldBack(peer_);
        }
        if (Logins().TakeBusyNotice()) {
            emit ManyWrongLogins();
        }
        Close(CloseReason::WrongPassword, QStringLiteral("Call rejected from ") + peer_ +
                                              QStringLiteral(" - Invalid Login Password"));
        return;
    }
    Logins().Right(peer_);
    emit DebugLine(QStringLiteral("Right login password from ") + peer_);
    const auto result = outgoing_.CreateMessage(
        kAppID, 0, 1, CmdLogin, QByteArrayLiteral("ACPT") + platform::ToAnsi(Settings.Nickname));
    if (result != CNetMsg::CreateResult::Ok) {
        emit NotSent(QStringLiteral("Login not sent: ") + Why(result));
        return;
    }
    Encipher();
    loginFlag_ = 1;
    deadline_.stop();
    emit LoggedIn();
    if (active_) {
        emit Send(outgoing_.FullMessage());
    }
}

void CallSession::ResumeAfterHold() {
    if (!active_ || !holding_) {
        return;
    }
    if (const qint64 wait = Logins().HoldMs(peer_); wait > 0) {
        hold_.start(static_cast<int>(wait));
        return;
    }
    if (ticket_ != 0) {
        if (const qint64 turn = Logins().TurnMs(ticket_); turn > 0) {
            hold_.start(static_cast<int>(turn));
            return;
        }
        ticket_ = 0;
    }
    holding_ = false;
    const QByteArray offered = std::exchange(heldPassword_, {});
    JudgePass(offered);
    outgoing_.Clear();
    if (active_ && !backlog_.isEmpty()) {
        Feed(std::exchange(backlog_, {}));
    }
}
