// Asking the router for a port mapping: NAT-PMP first (libnatpmp), then UPnP IGD (miniupnpc).
// Every call here blocks on the network for up to a few seconds: never on the window's thread.
#pragma once

#include <QString>

#include <cstdint>

namespace router {

enum class Via { None, NatPmp, Upnp };

struct Mapping {
    Via via = Via::None;
    QString external;        // the router's external address
    int externalPort = 0;    // what the Internet calls
    int internalPort = 0;    // where this copy listens
    qint64 lifetimeS = 0;    // granted; 0: permanent (deleted at exit)
    std::uint32_t epoch = 0; // NAT-PMP: the router's seconds since its mappings began
    // UPnP: where the mapping was made, to renew and delete it there.
    QString controlUrl;
    QString serviceType;
    QString lanAddress;
};

struct Answer {
    enum Kind {
        Mapped,   // `mapping` holds
        Shared,   // the router's external address is private or shared: `mapping.external`
        NoRouter, // nobody answered
        Refused,  // a router answered but made no mapping: `why`
    };
    Kind kind = NoRouter;
    Mapping mapping{};
    QString why{};
};

// The mapping is asked for this long; a router may grant less.
constexpr qint64 kLeaseS = 3600;

// An address others cannot call in through: private (RFC 1918), shared (100.64.0.0/10),
// loopback, link-local or unspecified.
bool NotPublic(const QString& address);

// Maps `internalPort` (TCP), preferring `externalPort` when it is free. Gives up within
// about `budgetMs`.
Answer Map(int internalPort, int externalPort, int budgetMs = 3000);
// Renews `mapping` where it was made; the answer may carry another epoch or port.
Answer Renew(const Mapping& mapping, int budgetMs = 3000);
// Removes the mapping; false when the router did not confirm it.
bool Unmap(const Mapping& mapping, int budgetMs = 2000);
// NAT-PMP only: the router's epoch now, or nothing when it does not answer.
bool Epoch(std::uint32_t* epoch, int budgetMs = 1000);

} // namespace router
