// Who may try to log in, and when. Wrong login passwords are counted per remote address;
// after a few, that address waits longer and longer before its next password is judged,
// so that guessing the login password from one place takes years instead of minutes.
#pragma once

#include <QHash>
#include <QList>
#include <QString>

#include <functional>

class LoginGuard {
public:
    static constexpr int kFreeTries = 3;
    static constexpr qint64 kFirstHoldMs = 1000;
    static constexpr qint64 kMaxHoldMs = 60 * 1000;
    static constexpr qint64 kForgetMs = 60 * 60 * 1000;
    // Addresses remembered at most; beyond that the one quiet longest is forgotten.
    static constexpr int kMaxAddresses = 4096;

    // Wrong passwords from all addresses together in a minute before logins are judged at
    // most one a second.
    static constexpr int kWrongPerMinute = 20;
    static constexpr qint64 kBusyGapMs = 1000;

    using Clock = std::function<qint64()>; // milliseconds, only ever compared

    explicit LoginGuard(Clock clock = {});

    // Milliseconds until a login from `address` may be judged; 0 when it may be judged now.
    qint64 HoldMs(const QString& address);
    // While the budget is spent, logins waiting to be judged queue here and are judged one
    // a second, in the order they came. A queued login that ends leaves the queue.
    using Ticket = quint64;
    Ticket Queue();
    // Milliseconds until the ticket's login may be judged; 0 means now, and takes its turn.
    qint64 TurnMs(Ticket ticket);
    void Leave(Ticket ticket);
    // True while too many wrong passwords came in the last minute.
    bool Busy();
    // True once when the budget has just been spent, for one line in the switchboard's log.
    bool TakeBusyNotice();
    // Records a wrong login password. True when this one starts holding the address back.
    bool Wrong(const QString& address);
    // A right password forgets the address's wrong ones.
    void Right(const QString& address);
    // Wrong passwords counted for the address (0 once forgotten).
    int WrongCount(const QString& address);

private:
    struct Entry {
        int wrong = 0;
        qint64 last = 0;  // time of the last wrong try
        qint64 until = 0; // no login judged before this time
    };
    Entry* Find(const QString& address);
    qint64 Now() const;

    QHash<QString, Entry> entries_;
    // Times of the wrong passwords of the last minute, from every address.
    QList<qint64> recentWrong_;
    QList<Ticket> queue_;
    Ticket nextTicket_ = 1;
    qint64 lastTurn_ = 0;
    bool anyTurn_ = false;
    bool busyNoticed_ = false;
    Clock clock_;
};

// What counts as one address: an IPv4 address, or the /64 prefix of an IPv6 one (a single
// host is commonly given a whole /64). IPv4-mapped IPv6 addresses count as their IPv4 one.
QString AddressKey(const QString& address);
