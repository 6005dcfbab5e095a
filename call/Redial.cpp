#include "Redial.h"

#include <QRandomGenerator>

#include <algorithm>

Redial::Redial(std::function<qint64()> clock, std::function<double()> jitter)
    : clock_(std::move(clock)), jitter_(std::move(jitter)) {
    if (!jitter_) {
        jitter_ = [] { return QRandomGenerator::global()->generateDouble(); };
    }
}

void Redial::Lost() {
    active_ = true;
    lostAt_ = Now();
    delayMs_ = kFirstMs;
    notBefore_ = lostAt_ + delayMs_;
    // The dials before this loss still count: a connection cut again and again must not
    // make a burst of calls.
}

std::optional<qint64> Redial::NextInMs() const {
    if (!active_ || !online_ || GaveUp()) {
        return std::nullopt;
    }
    qint64 at = notBefore_;
    if (dials_.size() >= kDialsPerWindow) {
        // The oldest of the last few dials must leave the window first.
        at = std::max(at, dials_[dials_.size() - kDialsPerWindow] + kWindowMs);
    }
    return std::max<qint64>(0, at - Now());
}

void Redial::Dialled() {
    const qint64 now = Now();
    dials_.append(now);
    while (dials_.size() > kDialsPerWindow) {
        dials_.removeFirst();
    }
    delayMs_ = std::min(delayMs_ * 2, kLongestMs);
    // Up to a quarter more, so that the delays of two copies drift apart.
    const auto spread = static_cast<qint64>(static_cast<double>(delayMs_) * 0.25 * jitter_());
    notBefore_ = now + delayMs_ + spread;
}

void Redial::Refused() {
    notBefore_ = std::max(notBefore_, Now() + kAfterRefusalMs);
}
