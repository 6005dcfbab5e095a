#include "Lines.h"

#include "Call.h"
#include "Conference.h"
#include "Switchboard.h"

#include <algorithm>

Lines::Lines(Switchboard& board, QObject* parent) : QObject(parent), board_(board) {
    for (Slot& s : slots_) {
        s.entries.fill(-1);
    }
    connect(&board, &Switchboard::CallArrived, this, &Lines::Route);
}

Lines::~Lines() = default;

bool Lines::InUse(int line) const {
    return Valid(line) && At(line).inUse;
}

Call* Lines::CallOf(int line) const {
    return InUse(line) ? At(line).call.data() : nullptr;
}

Conference* Lines::ConferenceOf(int line) const {
    return InUse(line) ? At(line).conference.data() : nullptr;
}

int Lines::OwnerOf(int line) const {
    return InUse(line) ? At(line).owner : -1;
}

int Lines::Entry(int owner, int k) const {
    if (!InUse(owner) || k < 0 || k >= kPerOwner) {
        return -1;
    }
    return At(owner).entries[static_cast<std::size_t>(k)];
}

bool Lines::IsMember(int line) const {
    return InUse(line) && At(line).member;
}

int Lines::LineOf(const Call* call) const {
    for (int line = 0; line < kSlots && call != nullptr; ++line) {
        if (At(line).inUse && At(line).call == call) {
            return line;
        }
    }
    return -1;
}

int Lines::LineShowing(const Call* call) const {
    const int line = LineOf(call);
    return IsMember(line) ? At(line).owner : line;
}

int Lines::LineShowing(const Conference* conference) const {
    for (int line = 0; line < kSlots && conference != nullptr; ++line) {
        if (At(line).inUse && At(line).conference == conference) {
            return line;
        }
    }
    return -1;
}

bool Lines::Free(int line) const {
    const Call* call = CallOf(line);
    const Conference* c = ConferenceOf(line);
    // A lost call that may come back still holds its peer and the lines that wait.
    return call != nullptr && call->Idle() && !call->Down() && (c == nullptr || c->Empty());
}

bool Lines::MayClose(int line) const {
    if (!InUse(line) || OwnerOf(line) != line) {
        return true;
    }
    return std::none_of(At(line).entries.begin(), At(line).entries.end(),
                        [this](int e) { return InUse(e) && !IsMember(e); });
}

int Lines::Take(int owner, Call* call) {
    for (int line = 0; line < kCreatable; ++line) {
        Slot& s = At(line);
        if (s.inUse) {
            continue;
        }
        s.inUse = true;
        s.member = false;
        s.owner = owner < 0 ? line : owner;
        s.entries.fill(-1);
        s.call = call != nullptr ? call : board_.NewCall();
        Watch(line);
        return line;
    }
    return -1;
}

void Lines::Watch(int line) {
    Call* call = At(line).call;
    // A merged line has no view to end it: the model does, however its call ends.
    const auto ended = [this, call](const QString& nickname, const QString& remote) {
        const int at = LineOf(call);
        if (!IsMember(at)) {
            return;
        }
        const int owner = OwnerOf(at);
        Close(at);
        if (!nickname.isEmpty()) {
            emit Note(owner, {LineEvent::MemberLost, nickname, remote, at + 1});
        }
    };
    connect(call, &Call::Lost, this, ended);
    // A member has no view to show a lost connection or the lines that wait: it leaves.
    connect(call, &Call::ConnectionLost, this,
            [ended, call](const QString& nickname) { ended(nickname, call->RemoteAddress()); });
    for (auto signal : {&Call::Dropped, &Call::GaveUp, &Call::HungUp}) {
        connect(call, signal, this, [ended] { ended({}, {}); });
    }
}

int Lines::OpenBoard() {
    const int line = Take(-1, nullptr);
    if (line >= 0) {
        emit Opened(line);
    }
    return line;
}

int Lines::OpenLine(int owner, Call* call) {
    if (!InUse(owner)) {
        board_.Release(call);
        return -1;
    }
    auto& entries = At(owner).entries;
    const auto free = std::find(entries.begin(), entries.end(), std::int16_t{-1});
    if (free == entries.end()) {
        board_.Release(call);
        emit Note(owner, {LineEvent::OwnerFull, {}, {}, kPerOwner});
        return -1;
    }
    const int line = Take(owner, call);
    if (line < 0) {
        board_.Release(call);
        emit Note(owner, {LineEvent::NoFreeLine, {}, {}, 0});
        return -1;
    }
    *free = static_cast<std::int16_t>(line);
    if (call != nullptr) {
        emit Note(owner, {LineEvent::Connecting, {}, call->RemoteAddress(), line + 1});
    }
    emit Opened(line);
    return line;
}

void Lines::Route(Call* call, int owner) {
    // A peer whose connection was lost and who called back goes on in its own line.
    for (int line = 0; line < kSlots; ++line) {
        Call* lost = At(line).call;
        if (InUse(line) && !IsMember(line) && lost != nullptr && lost != call && lost->Down() &&
            call->SamePeer(*lost)) {
            call->TakeOver(*lost);
            Replace(line, call);
            return;
        }
    }
    if (!InUse(owner) || IsMember(owner)) {
        owner = InUse(0) ? 0 : -1;
    }
    if (owner < 0) {
        board_.Release(call);
        return;
    }
    // The line that was called takes the call itself when it is free, as it would have
    // answered it; otherwise the call gets a line of its own.
    if (!Free(owner)) {
        OpenLine(owner, call);
        return;
    }
    Replace(owner, call);
}

void Lines::Replace(int line, Call* call) {
    Slot& s = At(line);
    Call* was = s.call;
    disconnect(was, nullptr, this, nullptr);
    s.call = call;
    Watch(line);
    if (s.conference != nullptr) {
        s.conference->SetOwnerCall(call);
    }
    emit CallReplaced(line);
    board_.Release(was);
}

Conference& Lines::ConferenceFor(int owner) {
    Slot& s = At(owner);
    if (s.conference == nullptr) {
        s.conference = board_.NewConference();
        s.conference->SetOwnerCall(s.call);
    }
    return *s.conference;
}

void Lines::Merge(int owner) {
    if (!InUse(owner)) {
        return;
    }
    Conference& conference = ConferenceFor(owner);
    for (const int line : At(owner).entries) {
        if (!InUse(line) || IsMember(line)) {
            continue;
        }
        // The line keeps its number while it is a member; its view goes.
        At(line).member = true;
        conference.Add(CallOf(line));
        emit Merged(line);
    }
}

void Lines::CloseMembers(int owner) {
    Conference* c = ConferenceOf(owner);
    if (c == nullptr) {
        return;
    }
    // Everyone goes together: nobody is told of the others leaving one by one.
    const bool hear = c->HearEachOther();
    c->SetHearEachOther(false);
    const auto entries = At(owner).entries;
    for (const int member : entries) {
        if (IsMember(member)) {
            Close(member);
        }
    }
    c->SetHearEachOther(hear);
}

void Lines::Hangup(int line) {
    if (!InUse(line)) {
        return;
    }
    if (Conference* c = ConferenceOf(line); c != nullptr && !c->Empty()) {
        const QString names = c->Names().join(QStringLiteral(", "));
        CloseMembers(line);
        emit Note(line, {LineEvent::ConferenceEnded, names, {}, line + 1});
    }
    if (Call* call = CallOf(line)) {
        call->Hangup();
    }
}

void Lines::Close(int line) {
    if (!InUse(line)) {
        return;
    }
    CloseMembers(line);
    Slot& s = At(line);
    s.inUse = false; // first: a call ending below must not close the line twice
    // Its other lines stay open, owned by nobody: their windows are conversations of their own.
    for (const int other : s.entries) {
        if (InUse(other)) {
            At(other).owner = -1;
        }
    }
    s.entries.fill(-1);
    for (Slot& other : slots_) {
        std::replace(other.entries.begin(), other.entries.end(), static_cast<std::int16_t>(line),
                     std::int16_t{-1});
    }
    s.member = false;
    s.owner = -1;
    if (Call* call = s.call.data()) {
        disconnect(call, nullptr, this, nullptr);
        board_.Release(call);
    }
    s.call = nullptr;
    board_.Release(std::exchange(s.conference, nullptr).data());
    board_.CloseServer(line);
    emit Closed(line);
}

void Lines::CloseAll() {
    for (int line = kSlots - 1; line >= 0; --line) {
        if (OwnerOf(line) != line) {
            Close(line);
        }
    }
    for (int line = kSlots - 1; line >= 0; --line) {
        Close(line);
    }
}
