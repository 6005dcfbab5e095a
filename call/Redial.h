// When the side that placed a call dials again after its connection was lost: soon at
// first, then less and less often, never so often that the answering side starts holding
// logins back, and not at all while the system is offline or after the answer said no.
#pragma once

#include <QList>

#include <functional>
#include <optional>

class Redial {
public:
    static constexpr qint64 kFirstMs = 1000;
    static constexpr qint64 kLongestMs = 60 * 1000;
    // Dials in any kWindowMs at most: the answering side refuses a burst of new calls.
    static constexpr int kDialsPerWindow = 3;
    static constexpr qint64 kWindowMs = 10 * 1000;
    static constexpr qint64 kGiveUpAfterMs = 30 * 60 * 1000;
    // A close before AUTH: the answering side is refusing calls for now.
    static constexpr qint64 kAfterRefusalMs = 60 * 1000;

    // `clock` in ms; `jitter` gives a fraction in [0, 1) that spreads the delays so that two
    // copies that lost each other do not dial in step.
    explicit Redial(std::function<qint64()> clock, std::function<double()> jitter = {});

    // The connection was lost: dialling starts.
    void Lost();
    // Ms from now until the next dial; nothing when it has stopped or given up, or while
    // the system is offline.
    std::optional<qint64> NextInMs() const;
    // A dial starts now.
    void Dialled();
    // The attempt was closed before the answering side sent AUTH.
    void Refused();
    // The password was answered with a close: it is wrong and is never sent again.
    void PasswordRefused() { active_ = false; }
    // The call is back, or the user stopped it: nothing more is dialled.
    void Stop() { active_ = false; }
    void SetOnline(bool online) { online_ = online; }
    bool Active() const { return active_; }
    bool GaveUp() const { return active_ && Now() - lostAt_ >= kGiveUpAfterMs; }

private:
    qint64 Now() const { return clock_(); }

    std::function<qint64()> clock_;
    std::function<double()> jitter_;
    bool active_ = false;
    bool online_ = true;
    qint64 lostAt_ = 0;
    qint64 delayMs_ = kFirstMs;
    qint64 notBefore_ = 0;
    QList<qint64> dials_; // when the recent dials started
};
