#include "CallTexts.h"

#include <QStringList>

#include <map>

namespace chat {

namespace {

QString NotBuilt(qint64 result) {
    switch (static_cast<CNetMsg::CreateResult>(result)) {
    case CNetMsg::CreateResult::TooLong:
        // Bytes as they travel: a character of Chinese takes three of them in UTF-8.
        return QStringLiteral("longer than one message can carry (%1 bytes)").arg(kMaxBody);
    case CNetMsg::CreateResult::NoCrc:
        return QStringLiteral("the checksum library is missing");
    case CNetMsg::CreateResult::Ok:
        break;
    }
    return {};
}

// What only the debug log shows.
QString DebugText(const CallReport& r) {
    switch (r.kind) {
    case CallReport::LoginWaits:
        return QStringLiteral("Login from ") + r.who +
               QStringLiteral(" waits %1 ms before it is judged").arg(r.number) +
               (r.other != 0 ? QStringLiteral(", then its turn") : QString());
    case CallReport::WrongLogin:
        return QStringLiteral("Wrong login password from ") + r.who +
               QStringLiteral(" (%1 in a row)").arg(r.number);
    case CallReport::RightLogin:
        return QStringLiteral("Right login password from ") + r.who;
    case CallReport::TooManyNew:
        return QStringLiteral("Call from ") + r.address +
               QStringLiteral(" closed: more than %1 calls from there in %2 seconds")
                   .arg(r.number)
                   .arg(r.other);
    case CallReport::TooManyWaiting:
        return QStringLiteral("Call from ") + r.address +
               QStringLiteral(" closed: %1 calls from there are still to log in").arg(r.number);
    case CallReport::MadeRoom:
        return QStringLiteral("Call from ") + r.address +
               QStringLiteral(" closed to make room: it waited longest of %1 calls still to log "
                              "in")
                   .arg(r.number);
    case CallReport::HeldBack:
        return QStringLiteral("Call from ") + r.address +
               QStringLiteral(" closed: logins from there are held back for %1 ms").arg(r.number);
    case CallReport::Receiving:
        return QStringLiteral("Server receiving call from ") + r.address + QStringLiteral(" / ") +
               QString::number(r.number);
    case CallReport::ServerAccepting:
        return QStringLiteral("Server accepting calls on ") + r.address;
    case CallReport::ServerStopped:
        return r.address.isEmpty() ? QStringLiteral("Server is currently stopped")
                                   : QStringLiteral("Server stopped on ") + r.address;
    case CallReport::OwnKey:
        return QStringLiteral("Secure calls with the key ") + r.detail;
    case CallReport::KeyChanged:
        return r.who + QStringLiteral("'s key changed: safety number ") + r.address +
               QStringLiteral(" became ") + r.detail;
    default:
        break;
    }
    return r.detail;
}

// Why this side closed a call.
QString ClosedText(const CallReport& r) {
    switch (r.kind) {
    case CallReport::TimedOut:
        return QStringLiteral("Call with ") + r.who +
               QStringLiteral(" closed: not logged in within %1 seconds").arg(r.number);
    case CallReport::SecureFailed:
        return QStringLiteral("Secure call to ") + r.who + QStringLiteral(" failed (") +
               InsecureText(static_cast<Insecure>(r.other), r.detail, r.address) +
               QStringLiteral("); not continuing in plain text");
    case CallReport::Flooded:
        return r.who + QStringLiteral(" sent too much while its login waited - call closed");
    case CallReport::UndecodableHeader:
        return r.who + QStringLiteral(" sent a header that does not decode - call closed");
    case CallReport::LongLogin:
        return r.who + QStringLiteral(" sent %1 characters before logging in (a login takes at "
                                      "most %2) - call closed")
                           .arg(r.number)
                           .arg(r.other);
    case CallReport::LongMessage:
        return r.who +
               QStringLiteral(" sent a message declaring %1 characters (more than %2) - call "
                              "closed")
                   .arg(r.number)
                   .arg(r.other);
    case CallReport::PlainAfterTls:
        return r.who + QStringLiteral(" sent plain text after the switch to TLS - call closed");
    case CallReport::NonAuth:
        return r.who + QStringLiteral(" forced closed due to non-auth msg");
    case CallReport::WrongRole:
        return QStringLiteral("Call closed: ") + r.who + QStringLiteral(" sent \"") + r.detail +
               QStringLiteral("\", which only the other side of a call may send");
    case CallReport::OnlySecure:
        return QStringLiteral("Call from ") + r.who +
               QStringLiteral(" refused: only secure calls are accepted, and its program did "
                              "not ask for one");
    case CallReport::UnknownBodies:
        return r.who + QStringLiteral(" sent more than one unknown message before logging in - "
                                      "call closed");
    case CallReport::Rejected:
        return QStringLiteral("Call rejected from ") + r.who +
               QStringLiteral(" - Invalid Login Password");
    default:
        break;
    }
    return DebugText(r);
}

} // namespace

QString InsecureText(Insecure why, const QString& detail, const QString& was) {
    switch (why) {
    case Insecure::Refused:
        return QStringLiteral("the secure call was refused");
    case Insecure::NotOffered:
        return QStringLiteral("no secure call was offered");
    case Insecure::NoSecureProgram:
        return QStringLiteral("the answering program offers no secure calls");
    case Insecure::AcceptedPlain:
        return QStringLiteral("it accepted a login in plain text");
    case Insecure::Declined:
        return QStringLiteral("you chose not to send your login password in plain text");
    case Insecure::Handshake:
        return QStringLiteral("handshake: ") + detail;
    case Insecure::PlainWhereTls:
        return QStringLiteral("plain text arrived where TLS had to begin");
    case Insecure::NoKey:
        return QStringLiteral("the peer presented no key");
    case Insecure::OtherKey:
        return QStringLiteral("it answered with another key than it announced");
    case Insecure::KeyChanged:
        return QStringLiteral("the key changed: safety number ") + was +
               QStringLiteral(" became ") + detail;
    case Insecure::SecureBefore:
        return QStringLiteral("it answered securely before, and now offers no secure call");
    case Insecure::PasswordInClear:
        return QStringLiteral("its program offers no secure call, and your login password would "
                              "cross in plain text");
    }
    return {};
}

QString HeldBackNote(const QString& address) {
    return QStringLiteral("Slowing down logins from ") + address +
           QStringLiteral(" after %1 wrong passwords").arg(LoginGuard::kFreeTries);
}

QString KeyTroubleText(const KeyTrouble& t) {
    const QString off = QStringLiteral("Secure calls are off: the key file ") + t.path;
    switch (t.kind) {
    case KeyTrouble::NoKeyMade:
        return QStringLiteral("Secure calls are off: no key could be made for ") + t.path;
    case KeyTrouble::KeyUnwritable:
        return off + QStringLiteral(" could not be written");
    case KeyTrouble::KeyUnreadable:
        return off + QStringLiteral(" cannot be read (") + t.detail + QStringLiteral(")");
    case KeyTrouble::KeyUnusable:
        return off + QStringLiteral(" holds no key and certificate Palaver can use");
    case KeyTrouble::PinsRestored:
        return QStringLiteral("The pinned keys in ") + t.path +
               QStringLiteral(" were damaged; the last good copy was used");
    case KeyTrouble::PinsLost:
        return QStringLiteral("The pinned keys in ") + t.path +
               QStringLiteral(" are damaged and no good copy is left: calls to addresses you "
                              "called securely before are refused. Put back a good copy of the "
                              "file, or remove it and ") +
               t.detail +
               QStringLiteral(" to start again (every pin and verified mark is then "
                              "forgotten)");
    case KeyTrouble::PinsNotSaved:
        return QStringLiteral("The pinned keys could not be saved to ") + t.path +
               QStringLiteral(" (") + t.detail + QStringLiteral(")");
    case KeyTrouble::None:
        break;
    }
    return {};
}

Shown CallText(const CallReport& r) {
    switch (r.kind) {
    case CallReport::NotEncrypted:
        return {QStringLiteral("This call is not encrypted: anyone on the way can read and "
                               "change it")};
    case CallReport::Calling:
        return {QStringLiteral("Calling ") + r.address + QStringLiteral(":") +
                QString::number(r.number) + QStringLiteral("...")};
    case CallReport::GaveUp:
        // sic: the wording users know
        return {QStringLiteral("Call cancalled after %1 tries.").arg(r.number)};
    case CallReport::KeysUnreadable:
        return {QStringLiteral("Call to ") + r.address +
                QStringLiteral(" not made: it answered securely before, and the pinned keys "
                               "cannot be read to check it")};
    case CallReport::LoginNotSent:
        return {QStringLiteral(" Login not sent: ") + NotBuilt(r.number), true};
    case CallReport::NotSent:
        return {QStringLiteral(" Not sent: ") + NotBuilt(r.number), true};
    case CallReport::AckNotSent:
        return {QStringLiteral(" Acknowledgement not sent: ") + NotBuilt(r.number), true};
    case CallReport::StillWaiting:
        return {QStringLiteral(" Still waiting for ") + r.who +
                    QStringLiteral(" to confirm this line"),
                true};
    case CallReport::LostCharacters:
        return {QStringLiteral(" %1 characters cannot reach %2's program and were sent as ?")
                    .arg(r.number)
                    .arg(r.who),
                true};
    case CallReport::NotConnectedYet:
        return {QStringLiteral(" Not sent: the call is not connected yet"), true};
    case CallReport::NotSecureYet:
        return {QStringLiteral(" Not sent: the call is not secure yet"), true};
    case CallReport::NotConfirmed:
        return {QStringLiteral(" Not confirmed by ") + r.who +
                    QStringLiteral(" for %1 s").arg(r.number),
                true};
    case CallReport::DoesNotRead:
        return {r.address +
                QStringLiteral(" does not read what is sent (over %1 bytes waiting) - call closed")
                    .arg(r.number)};
    case CallReport::SocketError:
        return {QStringLiteral("Error #") + QString::number(r.number) + QStringLiteral(" - ") +
                    r.detail,
                true};
    case CallReport::CallFailed:
        return {QStringLiteral("Call failed: ") + r.detail};
    case CallReport::SecureCall:
        return {QStringLiteral("Secure call (") + r.detail + QStringLiteral("), safety number ") +
                r.address +
                (r.who.isEmpty() ? QString() : QStringLiteral(", the key known as ") + r.who)};
    case CallReport::Incomplete:
        return {QStringLiteral("1=incomplete")};
    case CallReport::AckMismatch:
        return {QStringLiteral("CRC BAD U=%1,T=%2\nShould Resending Message")
                    .arg(r.number)
                    .arg(r.other)};
    case CallReport::BadCrc:
        return {QStringLiteral("Bad Message CRC - May be mismatched passwords")};
    case CallReport::BadHeader:
        return {QStringLiteral("Incorrect or Corrupted Header")};
    case CallReport::ConnectionLost:
        return {QStringLiteral("Connection to ") + r.who + QStringLiteral(" lost")};
    case CallReport::CameBack:
        return {QStringLiteral("Connection to ") + r.who + QStringLiteral(" is back")};
    case CallReport::RedialGaveUp:
        return {QStringLiteral("No answer from ") + r.who + QStringLiteral(" at ") + r.address +
                QStringLiteral(" for %1 minutes: no longer calling back").arg(r.number)};
    case CallReport::RedialRefused:
        return {r.who + QStringLiteral(" at ") + r.address +
                QStringLiteral(" refused the login password: not calling back")};
    case CallReport::UnknownBody:
        return {r.who + QStringLiteral("+ ") + r.detail};
    default:
        break;
    }
    return {ClosedText(r)};
}

namespace {

QString WhyText(PoolReport::Why why) {
    switch (why) {
    case PoolReport::PushedOut:
        return QStringLiteral("pushed out by newer calls");
    case PoolReport::HungUp:
        return QStringLiteral("hung up");
    case PoolReport::TooSlow:
        return QStringLiteral("not logged in in time");
    case PoolReport::WrongPassword:
        return QStringLiteral("wrong login password");
    case PoolReport::BrokeOff:
        break;
    }
    return QStringLiteral("broke off the login");
}

} // namespace

QString PoolText(const PoolReport& r) {
    if (r.summary) {
        int total = 0;
        std::map<QString, int> byText; // in the order of their words, as always
        for (const auto& [why, count] : r.counts) {
            total += count;
            byText[WhyText(why)] += count;
        }
        QStringList reasons;
        for (const auto& [why, count] : byText) {
            reasons << QString::number(count) + QLatin1Char(' ') + why;
        }
        return QStringLiteral("%1 more calls were closed before they logged in during the last "
                              "minute: ")
                   .arg(total) +
               reasons.join(QStringLiteral(", "));
    }
    if (r.refusal) {
        return CallText(*r.refusal).text; // the session's own reason for refusing it
    }
    switch (r.why) {
    case PoolReport::PushedOut:
        return QStringLiteral("Call from ") + r.address +
               QStringLiteral(" closed: too many calls waiting to log in");
    case PoolReport::HungUp:
        return QStringLiteral("Call rejected - Bad Password? - ") + r.address;
    default:
        break;
    }
    return QStringLiteral("Call from ") + r.address + QStringLiteral(" closed before it logged in");
}

} // namespace chat
