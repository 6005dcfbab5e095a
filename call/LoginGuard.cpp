#include "LoginGuard.h"

#include <QDateTime>
#include <QHostAddress>

#include <algorithm>

LoginGuard::LoginGuard(Clock clock) : clock_(std::move(clock)) {}

qint64 LoginGuard::Now() const {
    return clock_ ? clock_() : QDateTime::currentMSecsSinceEpoch();
}

QString AddressKey(const QString& address) {
    const QHostAddress host(address);
    if (host.isNull() || host.protocol() != QAbstractSocket::IPv6Protocol) {
        return address;
    }
    bool mapped = false;
    const quint32 v4 = host.toIPv4Address(&mapped);
    if (mapped) {
        return QHostAddress(v4).toString();
    }
    Q_IPV6ADDR bytes = host.toIPv6Address();
    std::fill(std::begin(bytes.c) + 8, std::end(bytes.c), quint8{0});
    return QHostAddress(bytes).toString() + QStringLiteral("/64");
}

LoginGuard::Entry* LoginGuard::Find(const QString& address) {
    const auto it = entries_.find(AddressKey(address));
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
        e = &entries_[AddressKey(address)];
    }
    const qint64 now = Now();
    recentWrong_.append(now);
    if (recentWrong_.size() > 4 * kWrongPerMinute) {
        recentWrong_.removeFirst(); // enough to know the budget is spent
    }
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
    entries_.remove(AddressKey(address));
}

bool LoginGuard::Busy() {
    const qint64 now = Now();
    recentWrong_.removeIf([now](qint64 t) { return now - t >= 60 * 1000; });
    const bool busy = recentWrong_.size() > kWrongPerMinute;
    if (!busy) {
        busyNoticed_ = false;
    }
    return busy;
}

bool LoginGuard::TakeBusyNotice() {
    if (!Busy() || busyNoticed_) {
        return false;
    }
    busyNoticed_ = true;
    return true;
}

int LoginGuard::WrongCount(const QString& address) {
    const Entry* e = Find(address);
    return e == nullptr ? 0 : e->wrong;
}

LoginGuard::Ticket LoginGuard::Queue() {
    queue_.append(nextTicket_);
    return nextTicket_++;
}

qint64 LoginGuard::TurnMs(Ticket ticket) {
    const qint64 now = Now();
    const qint64 gap = anyTurn_ ? std::max<qint64>(0, lastTurn_ + kBusyGapMs - now) : 0;
    if (queue_.isEmpty() || queue_.first() != ticket) {
        // Not first in line: look again a second (at most) later.
        return std::max<qint64>(gap, kBusyGapMs);
    }
    if (gap > 0) {
        return gap;
    }
    queue_.removeFirst();
    lastTurn_ = now;
    anyTurn_ = true;
    return 0;
}

void LoginGuard::Leave(Ticket ticket) {
    queue_.removeOne(ticket);
}
