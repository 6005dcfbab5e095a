// Keeps this copy reachable from the Internet while the user wants it: a port mapping asked of
// the router on a thread of its own, renewed at half its life, checked now and then (a router
// that restarted has forgotten it) and removed when no longer wanted or at exit.
#pragma once

#include "Router.h"

#include <QObject>
#include <QStringList>
#include <QThread>
#include <QTimer>

#include <functional>
#include <optional>

class PortMapper : public QObject {
    Q_OBJECT
public:
    struct State {
        enum Kind {
            Off,
            Asking,
            Reachable, // `mapping` holds; renewed in `renewInMs` (negative: never)
            Shared,    // the router's address (`mapping.external`, may be empty) is not public
            NoRouter,
            Refused, // `why`
        };
        Kind kind = Off;
        router::Mapping mapping{};
        qint64 renewInMs = -1;
        QString why{};
    };

    // How often a mapping is checked to be still there.
    int checkEveryMs = 60 * 1000;
    // How long one question to the router may take.
    int budgetMs = 3000;

    explicit PortMapper(QObject* parent = nullptr);
    // Removes the mapping, waiting for the router's answer for a moment.
    ~PortMapper() override;

    // Wanted while the option is on and the server listens on `port`.
    void Set(bool wanted, int port);
    // The network changed or the system woke up: map again.
    void Again();
    const State& Current() const { return state_; }

    // When a granted mapping is renewed: at half its life; never for a permanent one.
    static std::optional<qint64> RenewAfterMs(const router::Mapping& mapping);
    // Whether a NAT-PMP router restarted between two answers: its epoch grew by less than
    // the time that passed (with the slack its clock may have).
    static bool Restarted(quint32 before, qint64 beforeMs, quint32 now, qint64 nowMs);
    // The machine's global IPv6 addresses: reached without any mapping.
    static QStringList GlobalIpv6();

signals:
    void Changed(const PortMapper::State& state);

private:
    // Runs `job` on the worker thread, after whatever was asked before.
    void Post(std::function<void()> job);
    void Start();
    void Renew();
    void Check();
    void Answered(quint64 generation, const router::Answer& answer);
    void Enter(State state);

    QThread thread_;
    QObject* worker_; // lives on thread_, deleted as it ends
    bool wanted_ = false;
    int port_ = 0;
    quint64 generation_ = 0;
    State state_;
    QTimer renew_;
    QTimer check_;
    qint64 epochAt_ = 0;
};
Q_DECLARE_METATYPE(PortMapper::State)
