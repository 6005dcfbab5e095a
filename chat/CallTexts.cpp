#include "CallTexts.h"

#include <QStringList>

#include <map>

namespace chat {

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
        return {QStringLiteral(" Login not sent: ") + r.detail, true};
    case CallReport::NotSent:
        return {QStringLiteral(" Not sent: ") + r.detail, true};
    case CallReport::Unsent:
        return {QStringLiteral(" ") + r.detail, true};
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
    case CallReport::UnknownBody:
        return {r.who + QStringLiteral("+ ") + r.detail};
    case CallReport::Ended:
        break;
    }
    return {r.detail};
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
    if (!r.detail.isEmpty()) {
        return r.detail; // the session's own reason for refusing it
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
