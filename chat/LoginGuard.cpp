#include "LoginGuard.h"

#include <QDateTime>

#include <algorithm>

LoginGuard::LoginGuard(Clock clock) : clock_(std::move(clock)) {}

qint64 LoginGuard::Now() const {
    return clock_ ? clock_() : QDateTime::currentMSecsSinceEpoch();
}

LoginGuard::Entry* LoginGuard::Find(const QString& address) {
    const auto it = entries_.find(address);
    if (it == entries_.end()) {
        return nullptr;
    }
    if (Now() - it->last >= kForgetMs) {
        entries_.erase(it); // an hour without tries: a clean slate
        return nullptr;
    }
    return &*it;
}

qint64 LoginGuard::HoldMs(const QString& address) {
    const Entry* e = Find(address);
    return e == nullptr ? 0 : std::max<qint64>(0, e->until - Now());
}

bool LoginGuard::Wrong(const QString& address) {
    Entry* e = Find(address);
    if (e == nullptr) {
        if (entries_.size() >= kMaxAddresses) {
            const auto oldest =
                std::min_element(entries_.begin(), entries_.end(),
                                 [](const Entry& a, const Entry& b) { return a.last < b.last; });
            entries_.erase(oldest);
        }
        e = &entries_[address];
    }
    const qint64 now = Now();
    e->last = now;
    ++e->wrong;
    if (e->wrong < kFreeTries) {
        return false;
    }
    // 1 s after the third wrong one, doubling with each further one, up to a minute.
    const int doublings = std::min(e->wrong - kFreeTries, 16);
    e->until = now + std::min(kMaxHoldMs, kFirstHoldMs << doublings);
    return e->wrong == kFreeTries;
}

void LoginGuard::Right(const QString& address) {
    entries_.remove(address);
}

int LoginGuard::WrongCount(const QString& address) {
    const Entry* e = Find(address);
    return e == nullptr ? 0 : e->wrong;
}

namespace {
LoginGuard& Instance() {
    static LoginGuard guard;
    return guard;
}
} // namespace

LoginGuard& Logins() {
    return Instance();
}

void ResetLogins(LoginGuard::Clock clock) {
    Instance() = LoginGuard(std::move(clock));
}
