// Who may try to log in, and when. Wrong login passwords are counted per remote address;
// after a few, that address waits longer and longer before its next password is judged,
// so that guessing the login password from one place takes years instead of minutes.
#pragma once

#include <QHash>
#include <QString>

#include <functional>

class LoginGuard {
public:
    static constexpr int kFreeTries = 3;
    static constexpr qint64 kFirstHoldMs = 1000;
    static constexpr qint64 kMaxHoldMs = 60 * 1000;
    static constexpr qint64 kForgetMs = 60 * 60 * 1000;
    // Calls from one address that may be waiting for their login at once.
    static constexpr int kMaxPendingPerAddress = 2;
    // Addresses remembered at most; beyond that the one quiet longest is forgotten.
    static constexpr int kMaxAddresses = 4096;

    using Clock = std::function<qint64()>; // milliseconds, only ever compared

    explicit LoginGuard(Clock clock = {});

    // Milliseconds until a login from `address` may be judged; 0 when it may be judged now.
    qint64 HoldMs(const QString& address);
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
    Clock clock_;
};

// The program's one guard. Tests replace it to give it a clock of their own.
LoginGuard& Logins();
void ResetLogins(LoginGuard::Clock clock = {});
