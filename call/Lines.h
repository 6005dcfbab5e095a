// The line table: numbered lines, each with a call of its own. A switchboard line owns up to
// ten others; "Conf" merges them into its conference, where they have no view of their own.
// Routing of arriving calls, release and the close rules live here, so that every way a
// line ends also ends its call, whatever shows it.
#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>

class Call;
class Conference;
class Switchboard;

// What happened to a line, for whatever shows it to put in words.
enum class LineEvent {
    Connecting,      // an arriving call was given line `number` (address)
    NoFreeLine,      // "+ Line" found no free slot
    OwnerFull,       // the owner's ten entries are all in use
    MemberLost,      // a conference member's peer ended its call (who, address)
    ConferenceEnded, // Bye ended the conference (who: every member, comma-separated)
};

struct LineNote {
    LineEvent event = LineEvent::Connecting;
    QString who;
    QString address;
    int number = 0; // a line's number as users see it (slot + 1)
};

class Lines : public QObject {
    Q_OBJECT
public:
    static constexpr int kSlots = 21;     // 0 to 20; 20 stays empty
    static constexpr int kCreatable = 20; // new lines take 0 to 19
    static constexpr int kPerOwner = 10;

    explicit Lines(Switchboard& board, QObject* parent = nullptr);
    ~Lines() override;

    // A switchboard: a line that owns itself, with an idle call. -1 when every slot is taken.
    int OpenBoard();
    // A new line of `owner` with `call` (answered and logged in) or an idle one; -1, with a
    // Note saying why, when there is no free slot or no free entry in the owner's table.
    int OpenLine(int owner, Call* call = nullptr);

    bool InUse(int line) const;
    Call* CallOf(int line) const;
    // The line's conference (only an owner has one), null before its first "Conf".
    Conference* ConferenceOf(int line) const;
    // The line that owns `line`; a switchboard owns itself; -1 when unused or when its owner
    // has ended (its window stays a conversation of its own).
    int OwnerOf(int line) const;
    // Entry `k` of `owner`'s line table: the line it names, or -1.
    int Entry(int owner, int k) const;
    // A line merged into its owner's conference: no view shows it.
    bool IsMember(int line) const;
    // The line a user sees `call` in: its own, or its owner's for a conference member.
    int LineShowing(const Call* call) const;
    int LineShowing(const Conference* conference) const;
    // The line whose call `call` is; -1 when none.
    int LineOf(const Call* call) const;
    // Nothing on the line: its call is idle (not lost and coming back) and it has no
    // conference members.
    bool Free(int line) const;
    // The close rule: a switchboard will not close while one of its lines has a view.
    bool MayClose(int line) const;

    // An answered call that logged in at `owner`'s server: the owner takes it when free,
    // otherwise it gets a line of its own.
    void Route(Call* call, int owner);
    // "Conf": every line of `owner` with a view joins its conference.
    void Merge(int owner);
    // Ends every member of `owner`'s conference, without telling the others one by one.
    void CloseMembers(int owner);
    // "Bye": ends the line's call and, in a conference, every member's.
    void Hangup(int line);
    // Ends the line: its call, its conference and members, its server; the slot is free.
    // Its lines with a view stay open, owned by nobody.
    void Close(int line);
    // Every line.
    void CloseAll();

signals:
    // A new line wants a view (an arriving call is on it already).
    void Opened(int line);
    // The line's call was replaced by an arriving one: the owner's idle call, or a lost call
    // whose peer called back.
    void CallReplaced(int line);
    // The line's call joined its owner's conference; its view goes.
    void Merged(int line);
    // The line has ended; its view goes.
    void Closed(int line);
    void Note(int line, const LineNote& note);

private:
    struct Slot {
        bool inUse = false;
        int owner = -1;
        bool member = false;
        std::array<std::int16_t, kPerOwner> entries{};
        QPointer<Call> call;
        QPointer<Conference> conference;
    };
    bool Valid(int line) const { return line >= 0 && line < kSlots; }
    Slot& At(int line) { return slots_[static_cast<std::size_t>(line)]; }
    const Slot& At(int line) const { return slots_[static_cast<std::size_t>(line)]; }
    int Take(int owner, Call* call);
    void Watch(int line);
    // The line's call is `call` from now on; the one it had is released.
    void Replace(int line, Call* call);
    Conference& ConferenceFor(int owner);

    Switchboard& board_;
    std::array<Slot, kSlots> slots_;
};
