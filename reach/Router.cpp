#include "Router.h"

#include <QDeadlineTimer>
#include <QHostAddress>

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>
// The library is built with its error texts.
#define ENABLE_STRNATPMPERR
#include <natpmp.h>

#include <sys/select.h>

#include <algorithm>
#include <array>

namespace router {

namespace {

// UPnP errors a router gives for a lease it will not time out, and for a port taken.
constexpr int kOnlyPermanentLeases = 725;
constexpr int kConflict = 718;
constexpr int kPortsTried = 10;

// Waits for the answer to the request just sent, resending on libnatpmp's schedule, until
// the deadline. The library's code, or NATPMP_TRYAGAIN when nothing came in time.
int NatPmpAnswer(natpmp_t* n, natpmpresp_t* response, const QDeadlineTimer& deadline) {
    for (;;) {
        timeval wait{};
        if (getnatpmprequesttimeout(n, &wait) < 0) {
            return NATPMP_ERR_GETTIMEOFDAYERR;
        }
        const qint64 left = std::max<qint64>(0, deadline.remainingTime());
        const qint64 waitMs = std::min<qint64>(left, wait.tv_sec * 1000 + wait.tv_usec / 1000);
        timeval until{static_cast<time_t>(waitMs / 1000),
                      static_cast<suseconds_t>((waitMs % 1000) * 1000)};
        fd_set fds;
        FD_ZERO(&fds);
        FD_SET(n->s, &fds);
        select(n->s + 1, &fds, nullptr, nullptr, &until);
        const int r = readnatpmpresponseorretry(n, response);
        if (r != NATPMP_TRYAGAIN || deadline.hasExpired()) {
            return r;
        }
    }
}

// One NAT-PMP request: a mapping of `internal` to `external` for `lifetime` seconds (0 with
// external 0 deletes it). NoRouter when nothing answers.
Answer NatPmpMap(int internal, int external, qint64 lifetime, const QDeadlineTimer& deadline) {
    natpmp_t n{};
    if (initnatpmp(&n, 0, 0) < 0) {
        return {Answer::NoRouter, {}, QStringLiteral("no gateway")};
    }
    Answer answer;
    natpmpresp_t response{};
    if (sendpublicaddressrequest(&n) < 0) {
        closenatpmp(&n);
        return answer;
    }
    int r = NatPmpAnswer(&n, &response, deadline);
    if (r == NATPMP_ERR_NETWORKFAILURE) {
        // The router itself has no address the Internet reaches.
        closenatpmp(&n);
        return {Answer::Shared, {}, QStringLiteral("the router has no public address")};
    }
    if (r < 0 || response.type != NATPMP_RESPTYPE_PUBLICADDRESS) {
        closenatpmp(&n);
        return {Answer::NoRouter, {}, QString::fromLatin1(strnatpmperr(r))};
    }
    answer.mapping.via = Via::NatPmp;
    answer.mapping.external =
        QHostAddress(ntohl(response.pnu.publicaddress.addr.s_addr)).toString();
    answer.mapping.epoch = response.epoch;
    answer.mapping.internalPort = internal;
    if (lifetime > 0 && NotPublic(answer.mapping.external)) {
        closenatpmp(&n);
        answer.kind = Answer::Shared;
        return answer;
    }
    if (sendnewportmappingrequest(&n, NATPMP_PROTOCOL_TCP, static_cast<uint16_t>(internal),
                                  static_cast<uint16_t>(external),
                                  static_cast<uint32_t>(lifetime)) < 0) {
        closenatpmp(&n);
        return {Answer::Refused, answer.mapping, QStringLiteral("the request could not be sent")};
    }
    r = NatPmpAnswer(&n, &response, deadline);
    closenatpmp(&n);
    if (r < 0) {
        answer.kind = r == NATPMP_TRYAGAIN ? Answer::NoRouter : Answer::Refused;
        answer.why = QString::fromLatin1(strnatpmperr(r));
        return answer;
    }
    answer.kind = Answer::Mapped;
    answer.mapping.externalPort = response.pnu.newportmapping.mappedpublicport;
    answer.mapping.lifetimeS = response.pnu.newportmapping.lifetime;
    answer.mapping.epoch = response.epoch;
    return answer;
}

struct Igd {
    UPNPUrls urls{};
    IGDdatas data{};
    std::array<char, 64> lan{};
    int found = 0;
    ~Igd() {
        if (found != 0) {
            FreeUPNPUrls(&urls);
        }
    }
};

int UpnpAdd(const Mapping& m, int external, const char* lease) {
    const QByteArray ext = QByteArray::number(external);
    const QByteArray in = QByteArray::number(m.internalPort);
    return UPNP_AddPortMapping(m.controlUrl.toUtf8().constData(),
                               m.serviceType.toUtf8().constData(), ext.constData(), in.constData(),
                               m.lanAddress.toUtf8().constData(), "Palaver", "TCP", nullptr, lease);
}

// Adds the mapping at the first free external port from `external`; a router that only
// keeps mappings for ever gets one (deleted at exit).
Answer UpnpAddFrom(Mapping m, int external) {
    for (int k = 0; k < kPortsTried; ++k) {
        const int port = 1024 + (external - 1024 + k) % (65536 - 1024);
        const QByteArray lease = QByteArray::number(kLeaseS);
        int r = UpnpAdd(m, port, lease.constData());
        m.lifetimeS = kLeaseS;
        if (r == kOnlyPermanentLeases) {
            r = UpnpAdd(m, port, "0");
            m.lifetimeS = 0;
        }
        if (r == kConflict) {
            continue;
        }
        if (r != UPNPCOMMAND_SUCCESS) {
            return {Answer::Refused, m, QString::fromLatin1(strupnperror(r))};
        }
        m.externalPort = port;
        return {Answer::Mapped, m, {}};
    }
    return {Answer::Refused, m, QStringLiteral("every port tried is taken")};
}

Answer UpnpMap(int internal, int external, const QDeadlineTimer& deadline) {
    // The two kinds of gateway, each asked for half the time left: every kind asked without
    // an answer costs its whole wait.
    static const char* const kGateways[] = {"urn:schemas-upnp-org:device:InternetGatewayDevice:1",
                                            "urn:schemas-upnp-org:device:InternetGatewayDevice:2",
                                            nullptr};
    const int wait = static_cast<int>(std::clamp<qint64>(deadline.remainingTime() / 2, 200, 1000));
    int error = 0;
    UPNPDev* devices = upnpDiscoverDevices(kGateways, wait, nullptr, nullptr, 0, 0, 2, &error, 0);
    if (devices == nullptr) {
        return {Answer::NoRouter, {}, {}};
    }
    Igd igd;
    igd.found = UPNP_GetValidIGD(devices, &igd.urls, &igd.data, igd.lan.data(),
                                 static_cast<int>(igd.lan.size()));
    freeUPNPDevlist(devices);
    if (igd.found == 0 || igd.found == 3) {
        return {Answer::NoRouter, {}, QStringLiteral("no Internet gateway")};
    }
    Mapping m;
    m.via = Via::Upnp;
    m.internalPort = internal;
    m.controlUrl = QString::fromUtf8(igd.urls.controlURL);
    m.serviceType = QString::fromUtf8(igd.data.first.servicetype);
    m.lanAddress = QString::fromUtf8(igd.lan.data());
    std::array<char, 64> ext{};
    const int r =
        UPNP_GetExternalIPAddress(igd.urls.controlURL, igd.data.first.servicetype, ext.data());
    m.external = QString::fromUtf8(ext.data());
    if (r != UPNPCOMMAND_SUCCESS || igd.found != 1 || NotPublic(m.external)) {
        return {Answer::Shared, m, {}};
    }
    return UpnpAddFrom(m, external);
}

} // namespace

bool NotPublic(const QString& address) {
    const QHostAddress a(address);
    if (a.isNull() || a.isLoopback() || a.isLinkLocal() || a.isBroadcast()) {
        return true;
    }
    for (const char* net : {"0.0.0.0/8", "10.0.0.0/8", "100.64.0.0/10", "172.16.0.0/12",
                            "192.168.0.0/16", "fc00::/7"}) {
        if (a.isInSubnet(QHostAddress::parseSubnet(QLatin1String(net)))) {
            return true;
        }
    }
    return false;
}

Answer Map(int internalPort, int externalPort, int budgetMs) {
    const QDeadlineTimer deadline(budgetMs);
    // NAT-PMP first: a router that speaks it answers within milliseconds.
    Answer a = NatPmpMap(internalPort, externalPort, kLeaseS, QDeadlineTimer(budgetMs / 3));
    if (a.kind != Answer::NoRouter) {
        return a;
    }
    return UpnpMap(internalPort, externalPort, deadline);
}

Answer Renew(const Mapping& mapping, int budgetMs) {
    if (mapping.via == Via::NatPmp) {
        return NatPmpMap(mapping.internalPort, mapping.externalPort, kLeaseS,
                         QDeadlineTimer(budgetMs));
    }
    return UpnpAddFrom(mapping, mapping.externalPort);
}

bool Unmap(const Mapping& mapping, int budgetMs) {
    if (mapping.via == Via::NatPmp) {
        return NatPmpMap(mapping.internalPort, 0, 0, QDeadlineTimer(budgetMs)).kind ==
               Answer::Mapped;
    }
    if (mapping.via != Via::Upnp) {
        return false;
    }
    const QByteArray ext = QByteArray::number(mapping.externalPort);
    return UPNP_DeletePortMapping(mapping.controlUrl.toUtf8().constData(),
                                  mapping.serviceType.toUtf8().constData(), ext.constData(), "TCP",
                                  nullptr) == UPNPCOMMAND_SUCCESS;
}

bool Epoch(std::uint32_t* epoch, int budgetMs) {
    natpmp_t n{};
    if (initnatpmp(&n, 0, 0) < 0) {
        return false;
    }
    natpmpresp_t response{};
    const bool ok = sendpublicaddressrequest(&n) >= 0 &&
                    NatPmpAnswer(&n, &response, QDeadlineTimer(budgetMs)) >= 0;
    closenatpmp(&n);
    if (ok) {
        *epoch = response.epoch;
    }
    return ok;
}

} // namespace router
