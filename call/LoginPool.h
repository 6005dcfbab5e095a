// Calls that have been answered but whose peer has not logged in yet. They wait here, apart
// from the windows and their line tables, until they log in (a window then takes them
// over), fail, or are pushed out by newer calls: a crowd of silent strangers can neither
// open windows nor keep a real caller from being answered.
#pragma once

#include "Call.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <functional>
#include <map>
#include <optional>

// Calls closed before they logged in, as the switchboard tells them: one as it happens, or
// how many went for each reason in the last minute.
struct PoolReport {
    enum Why { PushedOut, HungUp, BrokeOff, TooSlow, WrongPassword };
    bool summary = false;
    Why why = BrokeOff;
    QString address;
    std::optional<CallReport> refusal; // the session's reason, for a refused call
    std::map<Why, int> counts;         // a summary's
};

class LoginPool : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxCalls = 32;
    // Calls from one address (or IPv6 /64) that may wait for their login at once.
    static constexpr int kMaxPerAddress = 2;
    // New calls one address may place within kRateWindowMs before it is refused at once.
    static constexpr int kMaxNewPerAddress = 10;
    static constexpr qint64 kRateWindowMs = 10 * 1000;
    // Closed calls are summed up in the log at most this often.
    static constexpr qint64 kReportEveryMs = 60 * 1000;

    using Clock = std::function<qint64()>; // milliseconds, only ever compared

    explicit LoginPool(QObject* parent = nullptr);

    void SetClock(Clock clock) { clock_ = std::move(clock); }
    // Closes every waiting call and forgets every address (at the end, and when tests start
    // afresh).
    void Reset();
    // Answers the request and keeps the call until it logs in; false when the caller's
    // address may not call now (the request is then left to be closed).
    bool Admit(int requestID, const CallLimits& limits, int owner);
    int Size() const { return static_cast<int>(calls_.size()); }
    // Calls waiting from the address (counted by its AddressKey).
    int Waiting(const QString& address) const;

signals:
    // The call has logged in and leaves the pool; `owner` is the slot whose server took it.
    void LoggedIn(Call* call, int owner);
    void Debug(const CallReport& report);
    // What a call still logging in reported, for the debug log.
    void CallReported(const CallReport& report);
    // For the switchboard's log.
    void Report(const PoolReport& report);
    void HeldBack(const QString& address);
    void ManyWrongLogins();

private:
    struct Waiter {
        QPointer<Call> call;
        int owner = 0;
        QString key;
        qint64 since = 0;
    };
    qint64 Now() const;
    void Remove(Call* call);
    // `address` when the call no longer knows it (the peer closed).
    void ClosedBeforeLogin(Call* call, PoolReport::Why why,
                           const std::optional<CallReport>& refusal = {},
                           const QString& address = {});
    void FlushReport();

    QList<Waiter> calls_;
    // Times of each address's recent calls, for the rate limit.
    QHash<QString, QList<qint64>> recent_;
    // Calls closed before login since the last report, by reason.
    std::map<PoolReport::Why, int> closed_;
    qint64 reportedAt_ = 0;
    bool reportedOnce_ = false;
    QTimer reportTimer_;
    Clock clock_;
};
