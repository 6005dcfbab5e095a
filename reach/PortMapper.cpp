#include "PortMapper.h"

#include <QDateTime>
#include <QHostAddress>
#include <QNetworkInterface>

PortMapper::PortMapper(QObject* parent) : QObject(parent), worker_(new QObject) {
    qRegisterMetaType<PortMapper::State>();
    worker_->moveToThread(&thread_);
    connect(&thread_, &QThread::finished, worker_, &QObject::deleteLater);
    thread_.setObjectName(QStringLiteral("router"));
    thread_.start();
    renew_.setSingleShot(true);
    connect(&renew_, &QTimer::timeout, this, &PortMapper::Renew);
    connect(&check_, &QTimer::timeout, this, &PortMapper::Check);
}

PortMapper::~PortMapper() {
    // The mapping goes before the program does: nothing stays open in the router.
    if (state_.kind == State::Reachable) {
        const router::Mapping mapping = state_.mapping;
        const int budget = budgetMs;
        Post([mapping, budget] { router::Unmap(mapping, budget); });
    }
    thread_.quit();
    thread_.wait();
}

void PortMapper::Post(std::function<void()> job) {
    QMetaObject::invokeMethod(worker_, std::move(job), Qt::QueuedConnection);
}

void PortMapper::Set(bool wanted, int port) {
    if (wanted == wanted_ && port == port_) {
        return;
    }
    wanted_ = wanted;
    port_ = port;
    if (state_.kind == State::Reachable) {
        const router::Mapping mapping = state_.mapping;
        const int budget = budgetMs;
        Post([mapping, budget] { router::Unmap(mapping, budget); });
    }
    ++generation_; // what is still on its way belongs to the last wish
    renew_.stop();
    check_.stop();
    if (!wanted_) {
        Enter({});
        return;
    }
    Start();
}

void PortMapper::Again() {
    if (wanted_) {
        ++generation_;
        renew_.stop();
        check_.stop();
        Start();
    }
}

void PortMapper::Start() {
    State asking;
    asking.kind = State::Asking;
    Enter(asking);
    const quint64 generation = generation_;
    const int port = port_;
    const int budget = budgetMs;
    Post([this, generation, port, budget] {
        const router::Answer answer = router::Map(port, port, budget);
        QMetaObject::invokeMethod(
            this, [this, generation, answer] { Answered(generation, answer); },
            Qt::QueuedConnection);
    });
}

void PortMapper::Renew() {
    const quint64 generation = generation_;
    const router::Mapping mapping = state_.mapping;
    const int budget = budgetMs;
    Post([this, generation, mapping, budget] {
        router::Answer answer = router::Renew(mapping, budget);
        if (answer.kind != router::Answer::Mapped) {
            // Renewing failed (the router forgot us, or its port is taken now): ask afresh.
            answer = router::Map(mapping.internalPort, mapping.externalPort, budget);
        }
        QMetaObject::invokeMethod(
            this, [this, generation, answer] { Answered(generation, answer); },
            Qt::QueuedConnection);
    });
}

void PortMapper::Check() {
    if (state_.kind != State::Reachable) {
        return;
    }
    if (state_.mapping.via == router::Via::Upnp) {
        Renew(); // adding what is there changes nothing; what a restart lost comes back
        return;
    }
    const quint64 generation = generation_;
    const quint32 before = state_.mapping.epoch;
    const qint64 beforeMs = epochAt_;
    const int budget = budgetMs;
    Post([this, generation, before, beforeMs, budget] {
        quint32 now = 0;
        const bool answered = router::Epoch(&now, budget);
        const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
        QMetaObject::invokeMethod(
            this,
            [=, this] {
                if (generation != generation_) {
                    return;
                }
                if (!answered || Restarted(before, beforeMs, now, nowMs)) {
                    Renew();
                } else {
                    state_.mapping.epoch = now;
                    epochAt_ = nowMs;
                }
            },
            Qt::QueuedConnection);
    });
}

void PortMapper::Answered(quint64 generation, const router::Answer& answer) {
    if (generation != generation_) {
        // Asked for a port no longer wanted: it goes again at once.
        if (answer.kind == router::Answer::Mapped) {
            const router::Mapping mapping = answer.mapping;
            const int budget = budgetMs;
            Post([mapping, budget] { router::Unmap(mapping, budget); });
        }
        return;
    }
    State state;
    state.mapping = answer.mapping;
    state.why = answer.why;
    switch (answer.kind) {
    case router::Answer::Mapped: {
        state.kind = State::Reachable;
        epochAt_ = QDateTime::currentMSecsSinceEpoch();
        const auto renew = RenewAfterMs(answer.mapping);
        state.renewInMs = renew.value_or(-1);
        if (renew) {
            renew_.start(static_cast<int>(std::min<qint64>(*renew, INT_MAX)));
        }
        check_.start(checkEveryMs);
        break;
    }
    case router::Answer::Shared:
        state.kind = State::Shared;
        break;
    case router::Answer::NoRouter:
        state.kind = State::NoRouter;
        break;
    case router::Answer::Refused:
        state.kind = State::Refused;
        break;
    }
    Enter(state);
}

void PortMapper::Enter(State state) {
    state_ = std::move(state);
    emit Changed(state_);
}

std::optional<qint64> PortMapper::RenewAfterMs(const router::Mapping& mapping) {
    if (mapping.lifetimeS <= 0) {
        return std::nullopt;
    }
    return mapping.lifetimeS * 1000 / 2;
}

bool PortMapper::Restarted(quint32 before, qint64 beforeMs, quint32 now, qint64 nowMs) {
    const qint64 elapsedS = std::max<qint64>(0, (nowMs - beforeMs) / 1000);
    return qint64(now) + 2 < qint64(before) + elapsedS * 7 / 8;
}

QStringList PortMapper::GlobalIpv6() {
    QStringList out;
    for (const QHostAddress& a : QNetworkInterface::allAddresses()) {
        if (a.protocol() == QAbstractSocket::IPv6Protocol && a.isGlobal() &&
            !a.isUniqueLocalUnicast()) {
            QHostAddress plain(a);
            plain.setScopeId({});
            out << plain.toString();
        }
    }
    return out;
}
