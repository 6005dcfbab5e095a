// The calls merged into one line's conference: the owner's own call and its members. A line
// typed by the owner goes to every member; what members say reaches the owner through here.
// While members hear each other, everyone in it (the owner's own caller too) hears every
// line of the others once, named with its author, and is told who joins and leaves.
#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <cstdint>

class Call;
struct CallReport;

class Conference : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Unique for the program's run, shared with the calls' numbers.
    quint64 Id() const { return id_; }
    void SetId(quint64 id) { id_ = id; }
    // Off: members hear only the owner, as a conference always did.
    void SetHearEachOther(bool on) { hearEachOther_ = on; }
    bool HearEachOther() const { return hearEachOther_; }

    // The owner's own call: in the relay like a member once its peer has logged in.
    void SetOwnerCall(Call* call);
    void Add(Call* member);
    // Takes `member` out without a word to it; the others hear that it left.
    void Remove(Call* member);
    bool Contains(const Call* call) const;
    bool Empty() const { return Members().isEmpty(); }
    QList<Call*> Members() const;
    // The members' nicknames, in the order they joined.
    QStringList Names() const;
    // Sends the owner's `text` to every member; returns how many it went to.
    int Send(const QString& text);

    // What a member's line becomes for the other members: its author first.
    static QStringList RelayedLines(const QString& author, const QString& text);

signals:
    // A member's verified line, and the member's nickname.
    void MemberLine(Call* member, const QString& nickname, const QString& text);
    // The first member confirmed the owner's line that Sent named with `crc`.
    void MemberAck(std::int32_t crc);
    void MemberDecodeFailed();
    // Something about a member for the owner's status line.
    void MemberReported(const CallReport& report);
    // The owner's line went to the members; `crc` names it (each member's message has a CRC
    // of its own, which its acknowledgement carries).
    void Sent(const QString& text, std::int32_t crc);
    // Someone joined or left.
    void Changed();

private:
    void Relay(const Call* from, const QStringList& lines);
    void Left(Call* member);
    // Who hears a relayed line: the owner's caller, when there is one, and every member.
    QList<Call*> Everyone() const;
    void Announce(const Call* who, const QString& name, const char* what);

    QList<QPointer<Call>> members_;
    QPointer<Call> owner_;
    // Names as the members joined: a call that has ended no longer knows its peer's.
    QHash<const Call*, QString> names_;
    // The owner's lines each member still has to confirm: its message's CRC, and the CRC
    // that names the line (Sent's).
    QHash<const Call*, QList<std::pair<std::int32_t, std::int32_t>>> waiting_;
    QList<std::int32_t> unconfirmed_;
    quint64 id_ = 0;
    bool hearEachOther_ = true;
};
