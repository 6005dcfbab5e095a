// The calls merged into one window's conference. A line typed by its owner goes to every
// member; what members say reaches the owner through here and, while members hear each
// other, the other members too, each line named with its author.
#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <cstdint>

class Call;

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
    // A member confirmed the owner's last line.
    void MemberAck();
    void MemberDecodeFailed();
    // A line for the owner's status line about a member.
    void MemberStatus(const QString& text);
    // The owner's line went to the members, with the CRC their acknowledgements carry.
    void Sent(const QString& text, std::int32_t crc);
    // Someone joined or left.
    void Changed();

private:
    void Relay(const Call* from, const QStringList& lines);
    void Left(Call* member);

    QList<QPointer<Call>> members_;
    // Names as the members joined: a call that has ended no longer knows its peer's.
    QHash<const Call*, QString> names_;
    std::int32_t lastSentCrc_ = 0;
    quint64 id_ = 0;
    bool hearEachOther_ = true;
};
