#include "Conference.h"

#include "Call.h"

#include "platform/Text1252.h"
#include "protocol/NetCodec.h"

#include <algorithm>

void Conference::SetOwnerCall(Call* call) {
    if (owner_ != nullptr) {
        disconnect(owner_, nullptr, this, nullptr);
    }
    owner_ = call;
    if (call == nullptr) {
        return;
    }
    connect(call, &Call::ChatLine, this, [this, call](const QString& nick, const QString& text) {
        if (hearEachOther_) {
            Relay(call, RelayedLines(nick, text));
        }
    });
    connect(call, &Call::LoggedIn, this,
            [this, call] { Announce(call, call->Nickname(), "joined"); });
    connect(call, &Call::Lost, this,
            [this, call](const QString& nick) { Announce(call, nick, "left"); });
}

QList<Call*> Conference::Everyone() const {
    QList<Call*> everyone;
    if (owner_ != nullptr && owner_->LoginFlag() != 0) {
        everyone.append(owner_.data());
    }
    return everyone + Members();
}

void Conference::Announce(const Call* who, const QString& name, const char* what) {
    if (hearEachOther_ && !name.isEmpty()) {
        Relay(who, {QStringLiteral("*** ") + name + QStringLiteral(" ") + QLatin1String(what) +
                    QStringLiteral(" the conference")});
    }
}

void Conference::Add(Call* member) {
    if (member == nullptr || Contains(member)) {
        return;
    }
    QStringList already;
    for (const Call* c : Everyone()) {
        already << c->Nickname();
    }
    members_.append(member);
    names_.insert(member, member->Nickname());
    connect(member, &Call::ChatLine, this,
            [this, member](const QString& nick, const QString& text) {
                emit MemberLine(member, nick, text);
                if (hearEachOther_) {
                    Relay(member, RelayedLines(nick, text));
                }
            });
    connect(member, &Call::Acknowledged, this, [this, member](std::int32_t crc, bool saysOk) {
        // Only the owner's own lines: the members' answers to relayed lines clear nothing.
        auto& waiting = waiting_[member];
        const auto it = std::find_if(waiting.begin(), waiting.end(),
                                     [crc](const auto& w) { return w.first == crc; });
        if (!saysOk || crc == 0 || it == waiting.end()) {
            return;
        }
        const std::int32_t line = it->second;
        waiting.erase(it);
        if (unconfirmed_.removeOne(line)) {
            emit MemberAck(line);
        }
    });
    connect(member, &Call::DecodeFailed, this, &Conference::MemberDecodeFailed);
    // However a member's call ends, it has left.
    connect(member, &Call::Dropped, this, [this, member] { Left(member); });
    connect(member, &Call::Lost, this, [this, member] { Left(member); });
    connect(member, &QObject::destroyed, this, [this, member] { Left(member); });
    if (hearEachOther_ && !member->Nickname().isEmpty()) {
        Announce(member, member->Nickname(), "joined");
        if (!already.isEmpty()) {
            member->SendLine(QStringLiteral("*** In the conference: ") +
                                 already.join(QStringLiteral(", ")),
                             false);
        }
    }
    emit Changed();
}

bool Conference::Contains(const Call* call) const {
    return call != nullptr &&
           std::any_of(members_.begin(), members_.end(),
                       [call](const QPointer<Call>& m) { return m.data() == call; });
}

QList<Call*> Conference::Members() const {
    QList<Call*> out;
    for (const QPointer<Call>& m : members_) {
        if (!m.isNull()) {
            out.append(m.data());
        }
    }
    return out;
}

QStringList Conference::Names() const {
    QStringList names;
    for (Call* m : Members()) {
        names << m->Nickname();
    }
    return names;
}

void Conference::Remove(Call* member) {
    const qsizetype before = members_.size();
    members_.removeIf(
        [member](const QPointer<Call>& m) { return m.isNull() || m.data() == member; });
    names_.remove(member);
    waiting_.remove(member);
    if (members_.size() != before) {
        disconnect(member, nullptr, this, nullptr);
        emit Changed();
    }
}

void Conference::Left(Call* member) {
    if (!Contains(member)) {
        // Already gone (a call both dropped and destroyed is told once).
        members_.removeIf([](const QPointer<Call>& m) { return m.isNull(); });
        return;
    }
    // A member that never logged in has no name.
    const QString name = names_.value(member);
    Remove(member);
    Announce(nullptr, name, "left");
}

int Conference::Send(const QString& text) {
    int count = 0;
    bool built = false;
    std::int32_t line = 0;
    // A copy: a member may leave while the line is being sent.
    for (Call* member : Members()) {
        // Each member gets the line in its own form; an old program's losses are told.
        if (const int lost = member->Utf8() ? 0 : platform::Unmappable(text); lost > 0) {
            emit MemberReported({CallReport::LostCharacters, names_.value(member), {}, {}, lost});
        }
        if (member->SendLine(text, false) != Call::SendResult::NotBuilt) {
            const std::int32_t crc = member->LastLineCrc();
            line = built ? line : crc;
            built = true;
            auto& waiting = waiting_[member];
            waiting.append({crc, line});
            if (waiting.size() > 64) {
                waiting.removeFirst(); // a member that never answers holds no more than this
            }
        }
        ++count;
    }
    if (built) {
        unconfirmed_.append(line);
        if (unconfirmed_.size() > 64) {
            unconfirmed_.removeFirst();
        }
        emit Sent(text, line);
    }
    return count;
}

QStringList Conference::RelayedLines(const QString& author, const QString& text) {
    // The author's name leads every part, so a long line cut to fit one message still says
    // whose it is; the text itself was made safe when it arrived (a line break in it is an
    // indented continuation), so no part can pass for another member's line.
    // Measured in UTF-8, the longest any member's program receives it in.
    const QString prefix = QStringLiteral("[") + author + QStringLiteral("] ");
    const qsizetype room = std::max<qsizetype>(4, kMaxBody - prefix.toUtf8().size());
    QStringList lines;
    qsizetype at = 0;
    do {
        qsizetype take = 0;
        qsizetype bytes = 0;
        while (at + take < text.size()) {
            const bool pair = text[at + take].isHighSurrogate() && at + take + 1 < text.size();
            const qsizetype width = pair ? 2 : 1; // never half a character
            const qsizetype size = QStringView(text).mid(at + take, width).toUtf8().size();
            if (bytes + size > room) {
                break;
            }
            bytes += size;
            take += width;
        }
        lines << prefix + text.mid(at, take);
        at += take;
    } while (at < text.size());
    return lines;
}

void Conference::Relay(const Call* from, const QStringList& lines) {
    for (Call* member : Everyone()) {
        if (member == from) {
            continue;
        }
        for (const QString& line : lines) {
            member->SendLine(line, false);
        }
    }
}
