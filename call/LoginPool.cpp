#include "LoginPool.h"

#include "LoginGuard.h"

#include <QDateTime>

LoginPool::LoginPool(QObject* parent) : QObject(parent) {
    reportTimer_.setSingleShot(true);
    connect(&reportTimer_, &QTimer::timeout, this, &LoginPool::FlushReport);
}

void LoginPool::Reset() {
    for (const Waiter& w : std::exchange(calls_, {})) {
        if (!w.call.isNull()) {
            disconnect(w.call, nullptr, this, nullptr);
            delete w.call.data(); // never called from a call's own signal
        }
    }
    recent_.clear();
    closed_.clear();
    reportedOnce_ = false;
    reportedAt_ = 0;
    reportTimer_.stop();
}

qint64 LoginPool::Now() const {
    return clock_ ? clock_() : QDateTime::currentMSecsSinceEpoch();
}

int LoginPool::Waiting(const QString& address) const {
    const QString key = AddressKey(address);
    return static_cast<int>(std::count_if(calls_.begin(), calls_.end(),
                                          [&key](const Waiter& w) { return w.key == key; }));
}

bool LoginPool::Admit(int requestID, const CallLimits& limits, int owner) {
    const QString from = platform::TcpSocket::RequestAddress(requestID);
    const QString key = AddressKey(from);
    const qint64 now = Now();
    if (recent_.size() > 4096) {
        // Forget the addresses that have been quiet for a while; a flood of new ones
        // cannot grow the table without end.
        recent_.removeIf([now](const auto& it) {
            return it.value().isEmpty() || now - it.value().last() >= kRateWindowMs;
        });
        while (recent_.size() > 4096) {
            recent_.erase(recent_.begin());
        }
    }
    QList<qint64>& times = recent_[key];
    times.removeIf([now](qint64 t) { return now - t >= kRateWindowMs; });
    times.append(now);
    if (times.size() > kMaxNewPerAddress) {
        times.removeFirst();
        emit Debug({CallReport::TooManyNew, {}, from, {}, kMaxNewPerAddress, kRateWindowMs / 1000});
        return false;
    }
    if (Waiting(from) >= kMaxPerAddress) {
        emit Debug({CallReport::TooManyWaiting, {}, from, {}, kMaxPerAddress});
        return false;
    }
    if (calls_.size() >= kMaxCalls) {
        // Make room: the call that has waited longest goes, so a crowd can never keep the
        // newest caller from being answered; a silent one before one whose password waits
        // to be judged or whose TLS handshake is under way.
        const auto silent = std::find_if(calls_.begin(), calls_.end(), [](const Waiter& w) {
            return !w.call.isNull() && w.call->Silent();
        });
        Call* oldest = (silent != calls_.end() ? *silent : calls_.first()).call;
        emit Debug({CallReport::MadeRoom, {}, oldest->RemoteAddress(), {}, kMaxCalls});
        ClosedBeforeLogin(oldest, PoolReport::PushedOut);
    }
    auto* call = new Call(limits, this);
    call->setObjectName(QStringLiteral("call"));
    connect(call, &Call::LoggedIn, this, [this, call] {
        const auto it = std::find_if(calls_.begin(), calls_.end(),
                                     [call](const Waiter& w) { return w.call == call; });
        const int owner = it != calls_.end() ? it->owner : 0;
        Remove(call);
        emit LoggedIn(call, owner);
    });
    connect(call, &Call::Refused, this, [this, call](CloseReason reason, const CallReport& line) {
        PoolReport::Why why = PoolReport::BrokeOff;
        if (reason == CloseReason::LoginTimeout) {
            why = PoolReport::TooSlow;
        } else if (reason == CloseReason::WrongPassword) {
            why = PoolReport::WrongPassword;
        }
        ClosedBeforeLogin(call, why, line);
    });
    const Security* security = limits.security;
    connect(call, &Call::Lost, this, [this, call, security](const QString&, const QString& remote) {
        // A contact's copy that leaves after the handshake only asked whether this one is
        // here: no password was tried, and the user is not told of a rejected call.
        if (security != nullptr && !call->PeerKey().isEmpty() &&
            security->keys.ContactOf(call->PeerKey()) != nullptr) {
            Remove(call);
            call->Close();
            call->deleteLater();
            return;
        }
        ClosedBeforeLogin(call, PoolReport::HungUp, {}, remote);
    });
    connect(call, &Call::Dropped, this,
            [this, call] { ClosedBeforeLogin(call, PoolReport::BrokeOff); });
    connect(call, &Call::Debug, this, &LoginPool::Debug);
    connect(call, &Call::Reported, this, &LoginPool::CallReported);
    connect(call, &Call::HeldBack, this, &LoginPool::HeldBack);
    connect(call, &Call::ManyWrongLogins, this, &LoginPool::ManyWrongLogins);
    calls_.append({call, owner, key, now});
    if (!call->Answer(requestID)) {
        Remove(call);
        return false;
    }
    return true;
}

void LoginPool::Remove(Call* call) {
    calls_.removeIf([call](const Waiter& w) { return w.call.isNull() || w.call == call; });
    disconnect(call, nullptr, this, nullptr);
}

void LoginPool::ClosedBeforeLogin(Call* call, PoolReport::Why why,
                                  const std::optional<CallReport>& refusal, const QString& remote) {
    const QString address = remote.isEmpty() ? call->RemoteAddress() : remote;
    Remove(call);
    call->Close();
    call->deleteLater();
    const qint64 now = Now();
    if (!closed_.empty() && now - reportedAt_ >= kReportEveryMs) {
        FlushReport();
    }
    if (closed_.empty() && (!reportedOnce_ || now - reportedAt_ >= kReportEveryMs)) {
        // The first in a quiet minute is told as it happens.
        PoolReport one;
        one.why = why;
        one.address = address;
        one.refusal = refusal;
        emit Report(one);
        reportedOnce_ = true;
        reportedAt_ = now;
    } else {
        ++closed_[why];
    }
    if (!reportTimer_.isActive()) {
        reportTimer_.start(static_cast<int>(kReportEveryMs));
    }
}

void LoginPool::FlushReport() {
    if (closed_.empty()) {
        return;
    }
    PoolReport summary;
    summary.summary = true;
    summary.counts = std::exchange(closed_, {});
    emit Report(summary);
    reportedAt_ = Now();
    reportTimer_.start(static_cast<int>(kReportEveryMs));
}
