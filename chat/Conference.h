// The calls merged into one window's conference. A line typed in the owning window goes to
// every member through its call, and what members say reaches the owner through here.
#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

class Call;

class Conference : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    void Add(Call* member);
    bool Contains(const Call* call) const;
    bool Empty() const { return members_.isEmpty(); }
    const QList<QPointer<Call>>& Members() const { return members_; }
    // Sends `text` to every member; returns how many it went to.
    int Relay(const QString& text);

signals:
    // A member's verified line, and the member's nickname.
    void MemberLine(const QString& nickname, const QString& text);
    // A member acknowledged the line relayed to it.
    void MemberAck();
    // Someone joined or left.
    void Changed();

private:
    void Remove(Call* member);

    QList<QPointer<Call>> members_;
};
