#include "Switchboard.h"

#include "LoginGuard.h"

#include <algorithm>

Switchboard::Switchboard(QObject* parent) : QObject(parent) {
    connect(&pool_, &LoginPool::LoggedIn, this, [this](Call* call, int owner) {
        Adopt(call);
        emit CallArrived(call, owner);
    });
    connect(&pool_, &LoginPool::Debug, this, &Switchboard::Debug);
    connect(&pool_, &LoginPool::CallReported, this, &Switchboard::CallReported);
    connect(&pool_, &LoginPool::Report, this, &Switchboard::Report);
    connect(&pool_, &LoginPool::HeldBack, this, &Switchboard::HeldBack);
    connect(&pool_, &LoginPool::ManyWrongLogins, this, &Switchboard::ManyWrongLogins);
}

Switchboard::~Switchboard() {
    Reset();
    // Calls let go but not yet deleted still count logins here: they go before the guard.
    qDeleteAll(findChildren<Call*>(Qt::FindDirectChildrenOnly));
}

void Switchboard::Reset() {
    servers_.clear();
    pool_.Reset();
    for (const QPointer<Conference>& c : std::exchange(conferences_, {})) {
        delete c.data();
    }
    for (const QPointer<Call>& call : std::exchange(calls_, {})) {
        if (!call.isNull()) {
            disconnect(call, nullptr, this, nullptr);
            delete call.data();
        }
    }
}

// ---------------------------------------------------------------------------------------
// Listening

platform::TcpSocket* Switchboard::Server(int owner) const {
    const auto it = servers_.find(owner);
    return it != servers_.end() ? it->second.get() : nullptr;
}

Switchboard::Started Switchboard::StartServer(int owner, int port) {
    auto& server = servers_[owner];
    if (!server) {
        server = std::make_unique<platform::TcpSocket>();
        server->setObjectName(QStringLiteral("sckServer"));
        connect(server.get(), &platform::TcpSocket::ConnectionRequest, this,
                [this, owner](int requestID) { ConnectionRequest(owner, requestID); });
    }
    if (server->state() != platform::TcpSocket::Closed) {
        server->Close();
    }
    if (server->LocalPort() != port) {
        server->SetLocalPort(port);
    }
    Started result;
    if (!server->Listen()) {
        result.errorNumber = server->LastErrorNumber();
        result.error = server->LastErrorDescription();
        emit ServerChanged(owner);
        return result;
    }
    result.ok = true;
    result.where = server->LocalIP() + QStringLiteral(":") + QString::number(server->LocalPort());
    emit Debug({CallReport::ServerAccepting, {}, result.where});
    emit ServerChanged(owner);
    return result;
}

QString Switchboard::StopServer(int owner) {
    platform::TcpSocket* server = Server(owner);
    if (server == nullptr || server->state() == platform::TcpSocket::Closed) {
        emit Debug({CallReport::ServerStopped});
        return {};
    }
    const QString where =
        server->LocalIP() + QStringLiteral(":") + QString::number(server->LocalPort());
    server->Close();
    emit Debug({CallReport::ServerStopped, {}, where});
    emit ServerChanged(owner);
    return where;
}

int Switchboard::ServerState(int owner) const {
    const platform::TcpSocket* server = Server(owner);
    return server != nullptr ? server->state() : platform::TcpSocket::Closed;
}

QString Switchboard::ServerIP(int owner) const {
    if (const platform::TcpSocket* server = Server(owner)) {
        return server->LocalIP();
    }
    // Not listening yet: the address it would listen on, as a socket reports it.
    const platform::TcpSocket probe;
    return probe.LocalIP();
}

int Switchboard::ServerPort(int owner) const {
    const platform::TcpSocket* server = Server(owner);
    return server != nullptr ? server->LocalPort() : 0;
}

void Switchboard::ConnectionRequest(int owner, int requestID) {
    const QString from = platform::TcpSocket::RequestAddress(requestID);
    emit Debug({CallReport::Receiving, {}, from, {}, platform::TcpSocket::RequestPort(requestID)});
    // Held back for wrong passwords: closed before AUTH. A request nobody takes is closed by
    // the socket layer: no AUTH, no call.
    if (const qint64 held = logins_.HoldMs(from); held > 0) {
        emit Debug({CallReport::HeldBack, {}, from, {}, held});
        return;
    }
    // The call waits apart until it has logged in; only then is it reported.
    pool_.Admit(requestID, CallLimitsNow(), owner);
}

// ---------------------------------------------------------------------------------------
// Calls and conferences

void Switchboard::Adopt(Call* call) {
    call->setParent(this);
    call->SetId(++lastId_);
    connect(call, &Call::Debug, this, &Switchboard::Debug);
    calls_.removeIf([](const QPointer<Call>& c) { return c.isNull(); });
    calls_.append(call);
    emit CallAdded(call);
}

Call* Switchboard::NewCall() {
    auto* call = new Call(CallLimitsNow(), this);
    call->setObjectName(QStringLiteral("call"));
    Adopt(call);
    return call;
}

void Switchboard::Release(Call* call) {
    if (call == nullptr) {
        return;
    }
    calls_.removeAll(call);
    call->Close();
    call->deleteLater(); // often released from inside one of its own signals
}

Conference* Switchboard::NewConference() {
    auto* conference = new Conference(this);
    conference->SetId(++lastId_);
    conference->SetHearEachOther(hearEachOther_);
    conferences_.removeIf([](const QPointer<Conference>& c) { return c.isNull(); });
    conferences_.append(conference);
    emit ConferenceAdded(conference);
    return conference;
}

void Switchboard::Release(Conference* conference) {
    if (conference != nullptr) {
        conferences_.removeAll(conference);
        conference->deleteLater();
    }
}

Call* Switchboard::Find(quint64 id) const {
    for (const QPointer<Call>& call : calls_) {
        if (!call.isNull() && call->Id() == id) {
            return call;
        }
    }
    return nullptr;
}

QList<Call*> Switchboard::Calls() const {
    QList<Call*> out;
    for (const QPointer<Call>& call : calls_) {
        if (!call.isNull()) {
            out.append(call);
        }
    }
    return out;
}

Conference* Switchboard::ConferenceOf(const Call* call) const {
    for (const QPointer<Conference>& c : conferences_) {
        if (!c.isNull() && c->Contains(call)) {
            return c;
        }
    }
    return nullptr;
}

void Switchboard::SetMembersHearEachOther(bool on) {
    hearEachOther_ = on;
    for (const QPointer<Conference>& c : conferences_) {
        if (!c.isNull()) {
            c->SetHearEachOther(on);
        }
    }
}

CallLimits Switchboard::CallLimitsNow() {
    CallLimits now = limits;
    now.security = SecurityState();
    now.logins = &logins_;
    return now;
}

bool Switchboard::EnableSecurity(const QString& identityPath, const QString& keysPath) {
    security_.Load(identityPath, keysPath);
    if (!security_.keys.Error().isEmpty()) {
        emit SecurityTrouble(security_.keys.Error());
    }
    if (!security_.identity.Usable()) {
        emit SecurityTrouble(security_.identity.Error());
        return false;
    }
    emit Debug(
        {CallReport::OwnKey, {}, {}, Identity::ShowFingerprint(security_.identity.Fingerprint())});
    return true;
}
