#include "People.h"

#include "Switchboard.h"

#include "platform/Address.h"

#include <QDateTime>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QPointer>
#include <QRandomGenerator>

#include <algorithm>
#include <memory>

namespace {

QString PeerOf(const QByteArray& key) {
    return QStringLiteral("key:") + QString::fromLatin1(key.toHex());
}

} // namespace

People::People(Switchboard& board, QObject* parent) : QObject(parent), board_(board) {
    // Many calls may change at once: the list is worked out once they have.
    changed_.setSingleShot(true);
    changed_.setInterval(0);
    connect(&changed_, &QTimer::timeout, this, &People::Refresh);
    tick_.setInterval(5000);
    connect(&tick_, &QTimer::timeout, this, &People::Tick);
    tick_.start();
    connect(&board_, &Switchboard::CallAdded, this, &People::Watch);
    for (Call* call : board_.Calls()) {
        Watch(call);
    }
}

KeyStore& People::Keys() const {
    return board_.SecurityState()->keys;
}

qint64 People::Now() const {
    return board_.limits.clock ? board_.limits.clock() : QDateTime::currentMSecsSinceEpoch();
}

qint64 People::Spread() const {
    const double f = board_.limits.jitter ? board_.limits.jitter()
                                          : QRandomGenerator::global()->generateDouble();
    return static_cast<qint64>(static_cast<double>(checkJitterMs) * f);
}

void People::Watch(Call* call) {
    const auto changed = [this] { changed_.start(); };
    connect(call, &Call::LoggedIn, this, [this, call] { Met(call); });
    // A caller's new key the user accepted makes its contact now.
    connect(call, &Call::SecureChanged, this, [this, call] { Met(call); });
    connect(call, &Call::LineConfirmed, this, changed);
    connect(call, &Call::Kept, this, changed);
    connect(call, &Call::Echo, this, changed);
    connect(call, &Call::ConnectionLost, this, changed);
    connect(call, &Call::Lost, this, changed);
    connect(call, &Call::HungUp, this, changed);
    connect(call, &Call::Dropped, this, changed);
    connect(call, &QObject::destroyed, this, changed);
    if (call->LoginFlag() != 0) {
        Met(call); // answered calls are handed over once logged in
    }
}

void People::Met(Call* call) {
    if (call->LoginFlag() == 0 || !call->Secure() || call->PeerKey().isEmpty() ||
        call->KeyChangedMark()) {
        changed_.start();
        return;
    }
    const QByteArray& key = call->PeerKey();
    QString address;
    if (call->PlacedByUs()) {
        address = KeyStore::NormalAddress(call->CallAddress(), call->CallPort());
    } else {
        // A caller comes from a port of its own: it is taken to listen where it did before.
        const Contact* known = Keys().ContactOf(key);
        const auto last = known != nullptr && !known->addresses.isEmpty()
                              ? platform::ParseAddress(known->addresses.first(), defaultPort)
                              : std::nullopt;
        const int port = last ? last->port : defaultPort;
        // Not where this copy itself listens: a check would only reach itself.
        const QHostAddress remote(call->RemoteAddress());
        const bool ours =
            port == board_.ServerPort(0) &&
            (remote.isLoopback() || QNetworkInterface::allAddresses().contains(remote));
        if (port > 0 && !ours) {
            address = KeyStore::NormalAddress(call->RemoteAddress(), port);
        }
    }
    Keys().Meet(key, call->Nickname(), address, Now());
    changed_.start();
}

Call* People::LoggedInWith(const QByteArray& key) const {
    for (Call* call : board_.Calls()) {
        if (call->LoginFlag() != 0 && call->Secure() && call->PeerKey() == key) {
            return call;
        }
    }
    return nullptr;
}

Call* People::CallWith(const QByteArray& key) const {
    if (Call* up = LoggedInWith(key)) {
        return up;
    }
    for (Call* call : board_.Calls()) {
        if (call->Down() && (call->PeerKey() == key || call->ExpectedKey() == key)) {
            return call;
        }
    }
    return nullptr;
}

int People::WaitingFor(const QByteArray& key) const {
    if (LineKeeper* keeper = board_.limits.keeper) {
        return static_cast<int>(keeper->Load(PeerOf(key)).waiting.size());
    }
    const Call* call = CallWith(key);
    return call != nullptr ? static_cast<int>(call->Ledger().Unsent().size()) : 0;
}

People::Presence People::PresenceOf(const QByteArray& key, const State& state) const {
    if (LoggedInWith(key) != nullptr) {
        return Presence::Call;
    }
    if (state.found == Presence::Nearby &&
        std::any_of(announced_.begin(), announced_.end(),
                    [&](const Announced& a) { return a.key == key && a.address == state.at; })) {
        return Presence::Nearby;
    }
    if (state.found == Presence::Checked && Now() < state.hereUntil) {
        return Presence::Checked;
    }
    return Presence::Away;
}

QList<People::Person> People::List() const {
    QList<Person> out;
    for (const Contact& c : Keys().Contacts()) {
        Person p;
        p.contact = c;
        p.verified = Keys().Verified(c.key);
        const State state = state_.value(c.key);
        p.presence = PresenceOf(c.key, state);
        if (p.presence == Presence::Nearby || p.presence == Presence::Checked) {
            p.reachAt = state.at;
        }
        // Lines on their way during a call are not waiting for anyone.
        p.waiting = p.presence == Presence::Call ? 0 : WaitingFor(c.key);
        out << p;
    }
    std::stable_sort(out.begin(), out.end(), [](const Person& a, const Person& b) {
        const bool hereA = a.presence != Presence::Away;
        const bool hereB = b.presence != Presence::Away;
        if (hereA != hereB) {
            return hereA;
        }
        return a.contact.name.compare(b.contact.name, Qt::CaseInsensitive) < 0;
    });
    return out;
}

void People::Refresh() {
    const qint64 now = Now();
    for (const Person& p : List()) {
        State& state = state_[p.contact.key];
        state.shown = p.presence;
        if (p.presence == Presence::Call) {
            // Lines that waited go out on this call: told once the last is confirmed.
            if (state.pending > 0 && WaitingFor(p.contact.key) == 0) {
                emit Delivered(p.contact.key, p.contact.name, std::exchange(state.pending, 0));
            }
            continue;
        }
        state.pending = p.waiting == 0 ? 0 : std::max(state.pending, p.waiting);
        const auto where = platform::ParseAddress(p.reachAt, defaultPort);
        if (p.waiting == 0 || !where) {
            continue;
        }
        // Here, and lines wait: the call that waits for the contact dials where it answered,
        // or one is placed for lines kept from before.
        if (Call* waiting = CallWith(p.contact.key)) {
            waiting->ReconnectAt(where->host, where->port);
        } else if (state.deliveryAsked == 0 || now - state.deliveryAsked >= checkEveryMs) {
            state.deliveryAsked = now;
            emit DeliveryWanted(p.contact.key, p.reachAt);
        }
    }
    emit Changed();
}

void People::SetAnnounced(const QList<Announced>& announced) {
    // The list is worked out again only when what is announced changed.
    if (announced != announced_) {
        announced_ = announced;
        changed_.start();
    }
    const qint64 now = Now();
    // What an announcement says of itself proves nothing: an address must answer with the
    // key. One that did not is asked again only after a while, or once it is announced anew.
    QHash<QByteArray, QStringList> untried;
    for (auto it = state_.begin(); it != state_.end(); ++it) {
        it->failed.removeIf([&](const auto& f) {
            return !announced_.contains(Announced{it.key(), f.key()});
        });
    }
    for (const Announced& a : announced_) {
        if (Keys().ContactOf(a.key) == nullptr) {
            continue;
        }
        const State& state = state_[a.key];
        const auto failed = state.failed.constFind(a.address);
        if (failed == state.failed.constEnd() || now - *failed >= checkEveryMs) {
            untried[a.key] << a.address;
        }
    }
    for (auto it = untried.begin(); it != untried.end(); ++it) {
        const State& state = state_[it.key()];
        if (!state.checking && PresenceOf(it.key(), state) != Presence::Nearby) {
            Probe(it.key(), it.value(), Presence::Nearby);
        }
    }
}

void People::SetWatching(bool on) {
    watching_ = on;
    if (on) {
        Tick();
    }
}

void People::CheckNow(const QByteArray& key) {
    const Contact* c = Keys().ContactOf(key);
    if (c == nullptr || state_[key].checking) {
        return;
    }
    Probe(key, c->addresses.mid(0, kAddressesTried), Presence::Checked);
}

void People::Tick() {
    SetAnnounced(announced_); // announcements that did not answer are asked again in time
    const qint64 now = Now();
    for (const Contact& c : Keys().Contacts()) {
        const State& state = state_[c.key];
        // Checked only while there is a reason: the list is shown, or lines wait.
        if (state.checking || now < state.nextCheck || LoggedInWith(c.key) != nullptr ||
            PresenceOf(c.key, state) == Presence::Nearby ||
            (!watching_ && WaitingFor(c.key) == 0)) {
            continue;
        }
        Probe(c.key, c.addresses.mid(0, kAddressesTried), Presence::Checked);
    }
    // A check's "here" runs out with time: the list changes only when someone's presence did.
    for (const Contact& c : Keys().Contacts()) {
        if (PresenceOf(c.key, state_[c.key]) != state_[c.key].shown) {
            changed_.start();
        }
    }
}

void People::Probe(const QByteArray& key, QStringList addresses, Presence why) {
    State& state = state_[key];
    state.checking = true;
    state.nextCheck = Now() + checkEveryMs + Spread();
    const auto where =
        addresses.isEmpty() ? std::nullopt : platform::ParseAddress(addresses.first(), defaultPort);
    if (!where) {
        if (!addresses.isEmpty()) {
            addresses.removeFirst();
            Probe(key, addresses, why);
            return;
        }
        ProbeDone(key, {}, why);
        return;
    }
    const QString address = addresses.takeFirst();
    CallLimits limits = board_.CallLimitsNow();
    limits.keeper = nullptr;
    QPointer<Call> call = new Call(limits, this);
    auto done = std::make_shared<bool>(false);
    const auto finish = [this, call, done, key, address, addresses, why](bool ok) {
        if (std::exchange(*done, true)) {
            return;
        }
        if (call) {
            call->deleteLater();
        }
        if (ok) {
            ProbeDone(key, address, why);
            return;
        }
        if (why == Presence::Nearby && state_.contains(key)) {
            state_[key].failed.insert(address, Now());
        }
        Probe(key, addresses, why);
    };
    connect(call, &Call::Checked, this, [finish] { finish(true); });
    connect(call, &Call::GaveUp, this, [finish] { finish(false); });
    connect(call, &Call::Dropped, this, [finish] { finish(false); });
    connect(call, &Call::Lost, this, [finish] { finish(false); });
    QTimer::singleShot(checkTimeoutMs, call.data(), [finish] { finish(false); });
    call->Check(where->host, where->port, key);
}

void People::ProbeDone(const QByteArray& key, const QString& address, Presence why) {
    if (Keys().ContactOf(key) == nullptr) {
        state_.remove(key); // forgotten meanwhile
        return;
    }
    State& state = state_[key];
    state.checking = false;
    if (address.isEmpty()) {
        // Nobody answered with the key: away, unless a call says otherwise.
        if (state.found == why) {
            state.found = Presence::Away;
        }
        changed_.start();
        return;
    }
    state.found = why;
    state.at = address;
    state.hereUntil = state.nextCheck;
    state.deliveryAsked = 0;
    Keys().Seen(key, address, Now());
    changed_.start();
}

bool People::Rename(const QByteArray& key, const QString& name) {
    const bool ok = Keys().Rename(key, name);
    changed_.start();
    return ok;
}

void People::Forget(const QByteArray& key) {
    Keys().Forget(key);
    if (LineKeeper* keeper = board_.limits.keeper) {
        keeper->Save(PeerOf(key), {});
    }
    state_.remove(key);
    changed_.start();
}
