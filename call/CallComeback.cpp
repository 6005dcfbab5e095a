// A call that comes back: noticing that a connection died, dialling again, and the lines
// that wait meanwhile and go once the call is back, each exactly once between two copies.
#include "Call.h"

namespace {

// Words of the call's own, between two copies that keep lines.
const QByteArray kResume = QByteArrayLiteral("RESUME1 ");

} // namespace

// ---------------------------------------------------------------------------------------
// A connection that went

bool Call::MayComeBack(bool failed) const {
    if (LoginFlag() == 0 || goodbye_) {
        return false;
    }
    // A copy of this program says BYE before it hangs up: a close without one is a loss.
    // An old peer's close is its goodbye; only a failed connection is lost.
    return failed || session_.PeerKeepsLines();
}

void Call::GoDown() {
    const QString nickname = nickname_;
    FlushWrites();
    session_.End();
    socket_.Close();
    timer_.stop();
    lateCheck_.stop();
    alive_.stop();
    down_ = true;
    ConnectionGone();
    emit Reported({CallReport::ConnectionLost, nickname});
    emit ConnectionLost(nickname);
    if (placedByUs_) {
        redial_.Lost();
        ScheduleRedial();
    }
}

void Call::ScheduleRedial() {
    if (const auto in = redial_.NextInMs()) {
        redialTimer_.start(static_cast<int>(*in));
        emit RedialScheduled(*in);
        return;
    }
    redialTimer_.stop();
    if (redial_.GaveUp()) {
        redial_.Stop();
        emit Reported({CallReport::RedialGaveUp,
                       nickname_,
                       callAddress_,
                       {},
                       Redial::kGiveUpAfterMs / 60000});
    }
    emit RedialScheduled(-1);
}

void Call::RedialTick() {
    if (!down_ || !redial_.Active()) {
        return;
    }
    if (redial_.GaveUp()) {
        ScheduleRedial();
        return;
    }
    redial_.Dialled();
    socket_.Close();
    session_.End();
    PlaceAttempt();
}

void Call::AttemptEnded(bool connected) {
    // Closed before AUTH: the answering side refuses calls for now. Closed after it because
    // the password was wrong: it is never sent again. A copy of this program says why it
    // closes (a full queue of logins is no wrong password); an old peer only closes.
    const bool passwordRefused =
        session_.AuthSeen() &&
        (peerRefusal_.isEmpty() ? !session_.PeerKeepsLines()
                                : peerRefusal_.startsWith(QLatin1String("wrong login")));
    session_.End();
    socket_.Close();
    if (connected && passwordRefused) {
        redial_.PasswordRefused();
        emit Reported({CallReport::RedialRefused, nickname_, callAddress_});
        emit RedialScheduled(-1);
        return;
    }
    if (connected) {
        redial_.Refused();
    }
    ScheduleRedial();
}

void Call::Await(const QByteArray& key, const QString& address, int port) {
    socket_.Close();
    session_.End();
    timer_.stop();
    redial_.Stop();
    redialTimer_.stop();
    expectedKey_ = key;
    callAddress_ = address;
    port_ = port;
    placedByUs_ = true;
    checking_ = false;
    down_ = true;
    SwitchLedger(QStringLiteral("key:") + QString::fromLatin1(key.toHex()));
}

void Call::ReconnectAt(const QString& address, int port) {
    if (!down_ || !placedByUs_ || !Idle()) {
        return;
    }
    callAddress_ = address;
    port_ = port;
    ReconnectNow();
}

void Call::ReconnectNow() {
    if (!down_ || !placedByUs_) {
        return;
    }
    if (!redial_.Active()) {
        redial_.Lost();
    }
    redialTimer_.stop();
    RedialTick();
}

void Call::StopReconnecting() {
    redial_.Stop();
    redialTimer_.stop();
    if (down_ && !Idle() && LoginFlag() == 0) {
        socket_.Close();
        session_.End();
    }
    emit RedialScheduled(-1);
}

void Call::NetworkChanged(bool online) {
    redial_.SetOnline(online);
    if (!online) {
        if (redialTimer_.isActive()) {
            redialTimer_.stop();
            emit RedialScheduled(-1); // no countdown while there is no network
        }
        return;
    }
    if (down_ && redial_.Active() && Idle()) {
        // Back on the network: the next dial need not wait out its delay.
        redialTimer_.stop();
        RedialTick();
    } else if (LoginFlag() != 0 && session_.PeerKeepsLines()) {
        // The connection may have died while the system slept or the network was gone.
        pingAt_ = Now();
        session_.SendWord(QByteArrayLiteral("PING"));
    }
}

void Call::CheckAlive() {
    if (!Connected() || LoginFlag() == 0) {
        alive_.stop();
        return;
    }
    const qint64 now = Now();
    if (now - lastHeard_ >= limits_.lostAfterMs) {
        GoDown();
        return;
    }
    if (now - lastHeard_ >= limits_.pingAfterMs && pingAt_ <= lastHeard_) {
        pingAt_ = now;
        session_.SendWord(QByteArrayLiteral("PING"));
    }
}

void Call::SayGoodbye() {
    if (LoginFlag() != 0 && Connected() && session_.SendWord(QByteArrayLiteral("BYE"))) {
        FlushWrites();
        socket_.CloseGently();
    }
    down_ = false;
    redial_.Stop();
    redialTimer_.stop();
}

bool Call::SamePeer(const Call& other) const {
    // A call that waits for a contact it never reached knows the key it waits for.
    const auto key = [](const Call& c) {
        return c.peerKey_.isEmpty() && c.down_ ? c.expectedKey_ : c.peerKey_;
    };
    if (!key(*this).isEmpty() || !key(other).isEmpty()) {
        return key(*this) == key(other);
    }
    return !nickname_.isEmpty() && nickname_ == other.nickname_ &&
           RemoteAddress() == other.RemoteAddress();
}

void Call::TakeOver(Call& lost) {
    if (ledgerPeer_ == lost.ledgerPeer_) {
        // What this call loaded for the peer is what the lost one kept: the lost one's
        // ledger is the whole of it, under the ids its window knows.
        outbox_ = Outbox();
        lastOut_ = std::max(lastOut_, lost.lastOut_);
        lastIn_ = std::max(lastIn_, lost.lastIn_);
    }
    outbox_.TakeOver(lost.outbox_);
    files_.TakeOver(lost.files_);
    lost.down_ = false;
    Keep();
    // The peer's RESUME1 may be on its way; plain calls and old peers get their lines now.
    if (!session_.Numbering() && !(session_.PeerKeepsLines() && Secure())) {
        SendWaiting();
    }
}

// ---------------------------------------------------------------------------------------
// Lines that wait

QString Call::PeerId() const {
    if (!peerKey_.isEmpty()) {
        return QStringLiteral("key:") + QString::fromLatin1(peerKey_.toHex());
    }
    return QStringLiteral("plain:") + nickname_ + QLatin1Char('@') + RemoteAddress();
}

void Call::Keep() {
    if (limits_.keeper == nullptr || ledgerPeer_.isEmpty()) {
        return;
    }
    KeptLines kept;
    kept.lastOut = lastOut_;
    kept.lastIn = std::max(lastIn_, session_.LastIn());
    // Only what goes by itself is kept over a restart: a late line of an old peer's goes
    // again only when the user types it again.
    kept.waiting = outbox_.Unsent();
    for (const Outbox::Line& line : outbox_.Lines()) {
        if (line.crc != 0 && line.number != 0) {
            kept.waiting.append(line);
        }
    }
    std::sort(kept.waiting.begin(), kept.waiting.end(),
              [](const Outbox::Line& a, const Outbox::Line& b) { return a.id < b.id; });
    limits_.keeper->Save(ledgerPeer_, kept);
}

void Call::ResumeAfterLogin() {
    lastHeard_ = Now();
    pingAt_ = lastHeard_;
    goodbye_ = false;
    if (const QString peer = PeerId(); peer != ledgerPeer_) {
        SwitchLedger(peer);
    }
    if (session_.PeerKeepsLines()) {
        alive_.start();
    }
    if (session_.PeerKeepsLines() && Secure()) {
        // Numbered lines: the caller says what it has, the answerer answers in kind.
        if (session_.role() == CallSession::Role::Caller) {
            session_.SendWord(kResume + QByteArray::number(lastIn_));
        }
        return;
    }
    SendWaiting();
}

void Call::SwitchLedger(const QString& peer) {
    // Another peer than the ledger's: its lines stay kept for that peer, not sent here.
    Keep();
    if (!ledgerPeer_.isEmpty()) {
        for (const Outbox::Line& line : outbox_.Lines()) {
            emit LineConfirmed(line.id, false);
        }
    }
    outbox_ = Outbox();
    ledgerPeer_ = peer;
    lastOut_ = 0;
    lastIn_ = 0;
    if (limits_.keeper != nullptr) {
        const KeptLines kept = limits_.keeper->Load(peer);
        lastOut_ = kept.lastOut;
        lastIn_ = kept.lastIn;
        for (const Outbox::Line& line : outbox_.Restore(kept.waiting)) {
            emit Kept(line.id, line.text);
        }
    }
}

void Call::Resume(qint64 peerHas) {
    if (!Secure() || session_.Numbering()) {
        return;
    }
    if (session_.role() == CallSession::Role::Answerer) {
        session_.SendWord(kResume + QByteArray::number(lastIn_));
    }
    session_.StartNumbering(lastIn_);
    // Lines sent before the numbers were agreed are numbered now: they go again, and the
    // peer drops what it already has.
    for (const Outbox::Line& line : outbox_.DeliveredUpTo(peerHas)) {
        emit LineConfirmed(line.id, true);
        if (line.firstCrc != 0) {
            emit LineDelivered(line.firstCrc);
        }
    }
    Keep();
    SendWaiting();
}

void Call::SendWaiting() {
    if (!Connected() || LoginFlag() == 0) {
        return;
    }
    for (const Outbox::Line& waiting : outbox_.Unsent()) {
        Outbox::Line* line = outbox_.Find(waiting.id);
        if (line == nullptr) {
            continue;
        }
        if (session_.Numbering()) {
            if (!SendNumbered(*line)) {
                return;
            }
            continue;
        }
        QByteArray wire;
        if (session_.Line(session_.Encode(line->text), &wire) != CNetMsg::CreateResult::Ok ||
            !Write(wire)) {
            return;
        }
        SentAgain(line->id);
    }
    Keep();
    if (outbox_.AnySent()) {
        lateCheck_.start();
    }
}

bool Call::SendNumbered(Outbox::Line& line) {
    if (line.number == 0) {
        line.number = ++lastOut_;
    }
    QByteArray wire;
    if (session_.Line(session_.Encode(line.text), &wire) != CNetMsg::CreateResult::Ok) {
        return false;
    }
    session_.SendWord("SEQ " + QByteArray::number(line.number));
    if (!Write(wire)) {
        return false;
    }
    SentAgain(line.id);
    Keep();
    lateCheck_.start();
    return true;
}

void Call::SentAgain(qint64 id) {
    outbox_.Resent(id, session_.LastLineCrc(), Now());
    if (const Outbox::Line* line = outbox_.Find(id)) {
        emit LineSentAgain(id, line->firstCrc, line->crc);
    }
}

bool Call::DeleteWaiting(qint64 id) {
    const Outbox::Line* line = outbox_.Find(id);
    if (line == nullptr || line->crc != 0) {
        return false;
    }
    outbox_.Remove(id);
    Keep();
    return true;
}
