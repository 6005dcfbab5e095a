#include "Conference.h"

#include "Call.h"

#include <algorithm>

void Conference::Add(Call* member) {
    if (member == nullptr || Contains(member)) {
        return;
    }
    members_.append(member);
    connect(member, &Call::ChatLine, this, &Conference::MemberLine);
    connect(member, &Call::AckMatched, this, &Conference::MemberAck);
    // A member's window closes its call however the call ended; then it has left.
    connect(member, &Call::Dropped, this, [this, member] { Remove(member); });
    emit Changed();
}

bool Conference::Contains(const Call* call) const {
    return std::any_of(members_.begin(), members_.end(),
                       [call](const QPointer<Call>& m) { return m.data() == call; });
}

void Conference::Remove(Call* member) {
    const qsizetype before = members_.size();
    members_.removeIf(
        [member](const QPointer<Call>& m) { return m.isNull() || m.data() == member; });
    if (members_.size() != before) {
        disconnect(member, nullptr, this, nullptr);
        emit Changed();
    }
}

int Conference::Relay(const QString& text) {
    int count = 0;
    // A copy: a member may leave while its line is being sent.
    const QList<QPointer<Call>> members = members_;
    for (const QPointer<Call>& member : members) {
        if (!member.isNull()) {
            member->SendLine(text);
            ++count;
        }
    }
    return count;
}
