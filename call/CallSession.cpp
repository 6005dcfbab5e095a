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

// What a peer's text may not carry as it is: controls, and invisible format characters
// (direction overrides and isolates, zero-width spaces, byte order marks) that could make a
// line or a name read as something else. A zero-width joiner inside an emoji sequence is
// part of the emoji and stays.
bool Unsafe(const QString& text, qsizetype i) {
    const QChar c = text.at(i);
    if (IsControl(c)) {
        return true;
    }
    if (c.category() != QChar::Other_Format) {
        return false;
    }
    if (c.unicode() == 0x200D && i > 0 && i + 1 < text.size()) {
        const QChar before = text.at(i - 1);
        return !(before.isLowSurrogate() || before.unicode() == 0xFE0F) ||
               !text.at(i + 1).isHighSurrogate();
    }
    return true;
}

// A capability list: "CAPS" or "WANT", a space, words separated by spaces; short and
// printable, or it is not one.
bool CapabilityList(const QByteArray& body, const char* head) {
    if (body.size() > CallSession::kMaxOfferSize || !body.startsWith(head) ||
        (body.size() > 4 && body.at(4) != ' ')) {
        return false;
    }
    return std::all_of(body.begin(), body.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
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
            out += Unsafe(text, i) ? QChar(QLatin1Char('?')) : c;
        }
    }
    return out;
}

QString PeerName(const QString& name) {
    QString out = name;
    for (qsizetype i = 0; i < out.size(); ++i) {
        if (Unsafe(name, i)) {
            out[i] = QLatin1Char('?');
        }
    }
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
    Enter(Phase::LoggingIn);
}

bool CallSession::MayEnter(Phase from, Phase to) {
    switch (to) {
    case Phase::Idle:
        return true; // a call may end at any step
    case Phase::LoggingIn:
        // Started, or back from the TLS switch, the user's answer or the wait to be judged.
        return from == Phase::Idle || from == Phase::SwitchingTls || from == Phase::AskingPlain ||
               from == Phase::Holding || from == Phase::AwaitingGo;
    case Phase::AwaitingGo:
    case Phase::AskingPlain:
    case Phase::Holding:
        return from == Phase::LoggingIn;
    case Phase::LoggedIn:
        // A logged-in call still answers a login, as it always has.
        return from == Phase::LoggingIn || from == Phase::LoggedIn;
    case Phase::SwitchingTls:
        return from == Phase::LoggingIn || from == Phase::AwaitingGo;
    }
    return false;
}

void CallSession::Enter(Phase to) {
    Q_ASSERT_X(MayEnter(phase_, to), "CallSession::Enter", "a login step out of order");
    const Phase from = std::exchange(phase_, to);
    if (from == Phase::Idle && to == Phase::LoggingIn) {
        deadlineAt_ = Now() + LoginDeadlineSeconds() * qint64{1000};
        deadline_.start(LoginDeadlineSeconds() * 1000);
    } else if (to == Phase::LoggedIn || to == Phase::Idle) {
        deadline_.stop();
    }
    if (to == Phase::Idle) {
        hold_.stop();
    }
}

qint64 CallSession::Now() const {
    return clock_ ? clock_() : QDateTime::currentMSecsSinceEpoch();
}

void CallSession::CheckDeadline() {
    if (!Active() || LoggedInNow()) {
        return;
    }
    if (const qint64 left = deadlineAt_ - Now(); left > 0) {
        // A timer may fire a little early; the deadline is the clock's.
        deadline_.start(static_cast<int>(left));
        return;
    }
    Close(CloseReason::LoginTimeout, {CallReport::TimedOut, {}, {}, {}, LoginDeadlineSeconds()});
}

void CallSession::End() {
    utf8_ = false;
    offerSeen_ = false;
    peerOffersUtf8_ = false;
    requestSeen_ = false;
    peerOffersTls_ = false;
    peerOffersReasons_ = false;
    reasonsWanted_ = false;
    secure_ = false;
    numbering_ = false;
    authSeen_ = false;
    lastIn_ = 0;
    nextIn_ = 0;
    Enter(Phase::Idle);
    lastLineCrc_ = 0;
    unknownBodies_ = 0;
    heldPassword_.clear();
    if (ticket_ != 0) {
        Guard().Leave(std::exchange(ticket_, 0));
    }
    backlog_.clear();
    incoming_.Clear();
    outgoing_.Clear();
}

QString CallSession::RefusalReason(CloseReason why) {
    switch (why) {
    case CloseReason::WrongPassword:
        return QStringLiteral("wrong login password");
    case CloseReason::LoginTimeout:
        return QStringLiteral("not logged in in time");
    case CloseReason::NotSecure:
        return QStringLiteral("only secure calls are accepted");
    case CloseReason::Flooded:
        return QStringLiteral("too much was sent while the login waited");
    default:
        return {}; // a peer that breaks the rules is told nothing
    }
}

void CallSession::Close(CloseReason why, CallReport report) {
    const bool loggedIn = LoggedInNow();
    if (Active() && !loggedIn && role_ == Role::Answerer && reasonsWanted_ &&
        phase_ != Phase::SwitchingTls && !RefusalReason(why).isEmpty()) {
        Answer(CmdLogin, QByteArrayLiteral("NO ") + Encode(RefusalReason(why)));
    }
    End();
    report.who = peer_;
    emit Closed(why, report, loggedIn);
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
    // What this copy can do comes first; a peer that knows nothing of it logs one login body
    // it does not know and answers the AUTH that follows as always. The offer is numbered
    // apart, so that the AUTH and everything after it are byte for byte what they were.
    CNetMsg offerMsg;
    auto result =
        offerMsg.CreateMessage(kAppID, 0, 0, CmdLogin, policy_.offer ? kSecureOffer : kOffer);
    if (result != CNetMsg::CreateResult::Ok) {
        return result;
    }
    offerMsg.CipherMessage(Password(1));
    for (int k = 2; k <= 5; ++k) {
        offerMsg.CipherMessage(Password(k));
    }
    const QByteArray offer = offerMsg.FullMessage();
    result = outgoing_.CreateMessage(kAppID, 0, 0, CmdLogin, QByteArrayLiteral("AUTH"));
    if (result == CNetMsg::CreateResult::Ok) {
        Encipher();
        *wire = offer + outgoing_.FullMessage();
    }
    return result;
}

QByteArray CallSession::Encode(const QString& text) const {
    return utf8_ ? text.toUtf8() : platform::ToAnsi(text);
}

QString CallSession::Decode(const QByteArray& bytes) const {
    // Invalid sequences, overlong forms and lone surrogates become U+FFFD.
    return utf8_ ? QString::fromUtf8(bytes) : platform::FromAnsi(bytes);
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
        emit NotSent({cmd == CmdLogin ? CallReport::LoginNotSent : CallReport::AckNotSent,
                      {},
                      {},
                      {},
                      static_cast<qint64>(result)});
        return false;
    }
    Encipher();
    emit Send(outgoing_.FullMessage());
    return true;
}

void CallSession::RefusePlain(Insecure why, const QString& detail, const QString& was) {
    Close(CloseReason::NotSecure,
          {CallReport::SecureFailed, {}, was, detail, 0, static_cast<qint64>(why)});
}

void CallSession::TlsEstablished() {
    if (phase_ != Phase::SwitchingTls) {
        return;
    }
    Enter(Phase::LoggingIn);
    secure_ = true;
    incoming_.Clear();
    if (role_ == Role::Answerer) {
        // The login starts again inside TLS; the offer was made already.
        Answer(CmdLogin, QByteArrayLiteral("AUTH"));
    }
}

void CallSession::Feed(const QByteArray& bytes) {
    if (!Active() || bytes.isEmpty() || phase_ == Phase::SwitchingTls) {
        return;
    }
    if (phase_ == Phase::Holding || phase_ == Phase::AskingPlain) {
        backlog_ += bytes;
        if (backlog_.size() > kMaxBacklog) {
            Close(CloseReason::Flooded, {CallReport::Flooded});
        }
        return;
    }
    qsizetype pos = 0;
    while (Active()) {
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
                if (!LoggedInNow()) {
                    Close(CloseReason::BadMessage, {CallReport::UndecodableHeader});
                    return;
                }
                emit DecodeFailed();
            }
            if (!LoggedInNow() && incoming_.MsgLen() > kMaxLoginBody) {
                Close(CloseReason::BadMessage,
                      {CallReport::LongLogin, {}, {}, {}, incoming_.MsgLen(), kMaxLoginBody});
                return;
            }
            if (incoming_.MsgLen() > kMaxBody) {
                Close(CloseReason::BadMessage,
                      {CallReport::LongMessage, {}, {}, {}, incoming_.MsgLen(), kMaxBody});
                return;
            }
        }
        if (s == CNetMsg::BufferStatus::Incomplete) {
            if (pos >= bytes.size()) {
                // A file's data arrives in pieces all the time: only a line's is worth a word.
                if (!incoming_.HeaderTaken() || incoming_.Cmd() != CmdFileData) {
                    emit Reported({CallReport::Incomplete, {}, {}, {}, 1, 0});
                }
                return;
            }
            continue;
        }
        Handle();
        if (phase_ == Phase::SwitchingTls && pos < bytes.size()) {
            // Plain bytes behind the switch would otherwise be read as if TLS had carried
            // them: whoever put them there is not the peer that agreed to switch.
            Close(CloseReason::NotSecure, {CallReport::PlainAfterTls});
            return;
        }
        if (phase_ == Phase::Holding || phase_ == Phase::AskingPlain) {
            backlog_ = bytes.mid(pos);
            return;
        }
        if (pos >= bytes.size()) {
            return;
        }
    }
}

void CallSession::Handle() {
    if (!LoggedInNow()) {
        if (incoming_.Cmd() == CmdLogin) {
            ReceiveLogin();
        } else {
            Close(CloseReason::BadMessage, {CallReport::NonAuth});
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
    case CmdFile:
    case CmdFileData:
        ReceiveFile();
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
        const qint64 number = std::exchange(nextIn_, 0);
        // A numbered line we already have is answered again but not shown twice.
        if (number == 0 || number > lastIn_) {
            emit ChatLine(PeerLine(Decode(incoming_.Message())));
            if (number != 0) {
                lastIn_ = number;
                emit Committed(number);
            }
        }
        if (Active()) {
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
        emit Reported({CallReport::AckMismatch, {}, {}, {}, U, T});
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
    emit Reported({v == CNetMsg::VerifyResult::BadCrc ? CallReport::BadCrc : CallReport::BadHeader,
                   {},
                   {},
                   {},
                   0,
                   0});
    if (Active()) {
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
              {CallReport::WrongRole, {}, {}, PeerName(QString::fromLatin1(head))});
        return;
    }
    if (phase_ == Phase::AwaitingGo) {
        if (body != kGoAhead) {
            Enter(Phase::LoggingIn);
            RefusePlain(Insecure::Refused);
            return;
        }
        Enter(Phase::SwitchingTls);
        return;
    }
    if (CapabilityList(body, "CAPS") && role_ == Role::Caller && !LoggedInNow() && !offerSeen_ &&
        !secure_) {
        offerSeen_ = true;
        const QList<QByteArray> words = body.mid(5).split(' ');
        peerOffersUtf8_ = words.contains("UTF8");
        peerOffersTls_ = words.contains("TLS");
        peerOffersReasons_ = words.contains("NO");
        return;
    }
    if (CapabilityList(body, "WANT") && role_ == Role::Answerer && !LoggedInNow() &&
        !requestSeen_ && phase_ != Phase::Holding && !secure_) {
        requestSeen_ = true;
        const QList<QByteArray> words = body.mid(5).split(' ');
        utf8_ = words.contains("UTF8");
        reasonsWanted_ = words.contains("NO");
        if (words.contains("TLS") && policy_.offer) {
            if (Answer(CmdLogin, kGoAhead)) {
                Enter(Phase::SwitchingTls);
            }
        }
        return;
    }
    if (isAuth && role_ == Role::Caller) {
        authSeen_ = true;
    }
    if (isAuth && !LoggedInNow() && !secure_ && role_ == Role::Caller) {
        if (peerOffersTls_ && policy_.offer) {
            // Instead of the password: the request, then nothing until the go-ahead.
            if (Answer(CmdLogin,
                       peerOffersReasons_ ? kSecureRequest : QByteArrayLiteral("WANT UTF8 TLS"))) {
                utf8_ = peerOffersUtf8_;
                reasonsWanted_ = peerOffersReasons_;
                Enter(Phase::AwaitingGo);
            }
            return;
        }
        if (policy_.mustBeSecure) {
            RefusePlain(offerSeen_ ? Insecure::NotOffered : Insecure::NoSecureProgram);
            return;
        }
        // A Palaver that could have offered TLS and did not, or an address that answered
        // securely before: plain text is the user's choice, made before the password goes.
        const bool passwordInClear = offerSeen_ && !Settings.LoginPassword.isEmpty();
        if (policy_.offer && (policy_.askBeforePlain || passwordInClear)) {
            Enter(Phase::AskingPlain);
            emit PlainAsked(policy_.askBeforePlain ? Insecure::SecureBefore
                                                   : Insecure::PasswordInClear);
            return;
        }
    }
    if (isPass && !secure_ && policy_.mustBeSecure) {
        Close(CloseReason::NotSecure, {CallReport::OnlySecure});
        return;
    }
    if (isAuth) {
        SendPass();
        return;
    }
    if (isPass) {
        const QByteArray r = body.mid(4);
        const qsizetype p = r.indexOf('\0');
        QByteArray offered;
        if (p >= 0) {
            offered = r.left(p);
            emit PeerNamed(PeerName(Decode(r.mid(p + 1))));
        }
        const qint64 wait = Guard().HoldMs(peer_);
        if (Guard().Busy()) {
            // Too many wrong passwords from everywhere: an address that already guessed wrong
            // waits its turn; one that never did is judged at once, so that guessers cannot
            // keep a friend waiting behind them.
            if (Guard().WrongCount(peer_) > 0) {
                ticket_ = Guard().Queue();
            }
            if (Guard().TakeBusyNotice()) {
                emit ManyWrongLogins();
            }
        }
        if (wait > 0 || ticket_ != 0) {
            emit Debug({CallReport::LoginWaits, peer_, {}, {}, wait, ticket_ != 0 ? 1 : 0});
            Enter(Phase::Holding);
            heldPassword_ = offered;
            hold_.start(static_cast<int>(wait));
            return;
        }
        JudgePass(offered);
        return;
    }
    if (isAcpt && !secure_ && policy_.mustBeSecure) {
        RefusePlain(Insecure::AcceptedPlain);
        return;
    }
    if (isAcpt) {
        emit PeerNamed(PeerName(Decode(body.mid(4))));
        Enter(Phase::LoggedIn);
        emit LoggedIn();
        return;
    }
    if (LoggedInNow() && PeerKeepsLines() && HandleWord(body)) {
        return;
    }
    if (role_ == Role::Caller && !LoggedInNow() && reasonsWanted_ && body.startsWith("NO ")) {
        emit PeerRefused(PeerName(Decode(body.mid(3))).left(kMaxShownUnknown));
        return;
    }
    if (!LoggedInNow() && ++unknownBodies_ > 1) {
        // The offer is the one body a login may bring besides its own; more is a flood.
        Close(CloseReason::BadMessage, {CallReport::UnknownBodies});
        return;
    }
    QString shown = PeerLine(Decode(body));
    if (!LoggedInNow() && shown.size() > kMaxShownUnknown) {
        shown = shown.left(kMaxShownUnknown) + QStringLiteral("...");
    }
    emit Reported({CallReport::UnknownBody, peer_, {}, shown, 0, 0});
}

void CallSession::SendPass() {
    if (peerOffersUtf8_ && !LoggedInNow() && !utf8_) {
        // Both sides know UTF-8: everything from here on travels in it.
        if (!Answer(CmdLogin, peerOffersReasons_ ? kRequest : QByteArrayLiteral("WANT UTF8"))) {
            return;
        }
        utf8_ = true;
        reasonsWanted_ = peerOffersReasons_;
    }
    QByteArray answer = QByteArrayLiteral("PASS") + Encode(Settings.LoginPassword);
    answer.append('\0');
    answer += Encode(Settings.Nickname);
    Answer(CmdLogin, answer);
}

void CallSession::AnswerPlainLogin(bool goOn) {
    if (phase_ != Phase::AskingPlain) {
        return;
    }
    Enter(Phase::LoggingIn);
    if (!goOn) {
        RefusePlain(Insecure::Declined);
        return;
    }
    SendPass();
    outgoing_.Clear();
    if (Active() && !backlog_.isEmpty()) {
        Feed(std::exchange(backlog_, {}));
    }
}

void CallSession::JudgePass(const QByteArray& offered) {
    if (offered != Encode(Settings.LoginPassword)) {
        const bool startsHold = Guard().Wrong(peer_);
        emit Debug({CallReport::WrongLogin, peer_, {}, {}, Guard().WrongCount(peer_)});
        if (startsHold) {
            emit HeldBack(peer_);
        }
        if (Guard().TakeBusyNotice()) {
            emit ManyWrongLogins();
        }
        Close(CloseReason::WrongPassword, {CallReport::Rejected});
        return;
    }
    Guard().Right(peer_);
    emit Debug({CallReport::RightLogin, peer_});
    const auto result = outgoing_.CreateMessage(
        kAppID, 0, 1, CmdLogin, QByteArrayLiteral("ACPT") + Encode(Settings.Nickname));
    if (result != CNetMsg::CreateResult::Ok) {
        emit NotSent({CallReport::LoginNotSent, {}, {}, {}, static_cast<qint64>(result)});
        return;
    }
    Encipher();
    Enter(Phase::LoggedIn);
    emit LoggedIn();
    if (Active()) {
        emit Send(outgoing_.FullMessage());
    }
}

void CallSession::ResumeAfterHold() {
    if (phase_ != Phase::Holding) {
        return;
    }
    if (const qint64 wait = Guard().HoldMs(peer_); wait > 0) {
        hold_.start(static_cast<int>(wait));
        return;
    }
    if (ticket_ != 0) {
        if (const qint64 turn = Guard().TurnMs(ticket_); turn > 0) {
            hold_.start(static_cast<int>(turn));
            return;
        }
        ticket_ = 0;
    }
    Enter(Phase::LoggingIn);
    const QByteArray offered = std::exchange(heldPassword_, {});
    JudgePass(offered);
    outgoing_.Clear();
    if (Active() && !backlog_.isEmpty()) {
        Feed(std::exchange(backlog_, {}));
    }
}
