#include "Call.h"

#include "platform/LocaleText.h"
#include "platform/Text1252.h"

#include <QDateTime>

#include <algorithm>

Call::Call(const CallLimits& limits, QObject* parent)
    : QObject(parent), limits_(limits), socket_(this), session_(this), timer_(this),
      redial_([this] { return Now(); }, limits.jitter),
      files_(limits.files,
             {[this](std::uint8_t cmd, const QByteArray& body) {
                  return session_.SendFile(cmd, body);
              },
              [this] { return socket_.BytesToWrite() + held_.size(); }},
             this) {
    session_.SetClock(limits_.clock);
    session_.SetGuard(limits_.logins);
    socket_.setObjectName(QStringLiteral("sckClient"));
    timer_.setInterval(limits_.retryIntervalMs);
    connect(&timer_, &QTimer::timeout, this, &Call::Timer1_Timer);
    connect(&socket_, &platform::TcpSocket::DataArrival, this, &Call::sckClient_DataArrival);
    connect(&socket_, &platform::TcpSocket::ConnectedEvent, this, &Call::sckClient_Connect);
    connect(&socket_, &platform::TcpSocket::ClosedEvent, this, &Call::sckClient_Close);
    connect(&socket_, &platform::TcpSocket::ErrorEvent, this, &Call::sckClient_Error);
    connect(&socket_, &platform::TcpSocket::SslErrors, this, &Call::TlsErrors);
    connect(&socket_, &platform::TcpSocket::EncryptedEvent, this, &Call::TlsUp);

    connect(&session_, &CallSession::Send, this, &Call::Write);
    connect(&session_, &CallSession::Reported, this, [this](const CallReport& report) {
        // An answer to an earlier line of ours (several went at once after a comeback) is
        // no bad CRC: the ledger has just confirmed that line.
        if (report.kind == CallReport::AckMismatch && report.other == lastNamed_ &&
            lastNamed_ != 0) {
            return;
        }
        emit Reported(report);
    });
    connect(&session_, &CallSession::Debug, this, &Call::Debug);
    connect(&session_, &CallSession::ChatLine, this,
            [this](const QString& text) { emit ChatLine(nickname_, text); });
    connect(&session_, &CallSession::AckMatched, this, &Call::AckMatched);
    connect(&session_, &CallSession::AckFailed, this, &Call::AckFailed);
    connect(&session_, &CallSession::Acknowledged, this, &Call::Acknowledged);
    connect(&session_, &CallSession::Acknowledged, this,
            [this](std::int32_t crc, bool) { Confirm(crc); });
    lateCheck_.setInterval(250);
    connect(&lateCheck_, &QTimer::timeout, this, &Call::CheckLate);
    redialTimer_.setSingleShot(true);
    connect(&redialTimer_, &QTimer::timeout, this, &Call::RedialTick);
    alive_.setInterval(static_cast<int>(std::clamp<qint64>(limits_.pingAfterMs / 4, 50, 1000)));
    connect(&alive_, &QTimer::timeout, this, &Call::CheckAlive);
    connect(&session_, &CallSession::ResumeAsked, this, &Call::Resume);
    connect(&session_, &CallSession::Committed, this, [this](qint64 number) {
        lastIn_ = number;
        Keep();
    });
    connect(&session_, &CallSession::Goodbye, this, [this] { goodbye_ = true; });
    connect(&session_, &CallSession::FileMessage, &files_, &Transfers::Receive);
    connect(&session_, &CallSession::PeerTakesFiles, this, [this] {
        if (limits_.files == nullptr) {
            return;
        }
        if (session_.role() == CallSession::Role::Answerer) {
            session_.SendWord(QByteArrayLiteral("FILE1"));
        }
        files_.PeerTakesFiles();
    });
    connect(&socket_, &platform::TcpSocket::Written, &files_, &Transfers::Writable);
    connect(&session_, &CallSession::PeerNamed, this, [this](const QString& nickname) {
        nickname_ = nickname;
        PeerNamedSecurely(nickname);
    });
    connect(&session_, &CallSession::LoggedIn, this, [this] {
        RecordCaller();
        const bool back = std::exchange(down_, false);
        redial_.Stop();
        redialTimer_.stop();
        if (!Secure() && limits_.security != nullptr && limits_.security->CanOffer()) {
            emit Reported({CallReport::NotEncrypted, {}, {}, {}, 0});
        }
        // The ledger is the peer's before anyone hears of the login: an answered call that
        // comes back takes over its lost line as soon as it is reported.
        ResumeAfterLogin();
        if (limits_.files != nullptr) {
            files_.LinkUp(PeerId());
            // The caller says it takes files; the answering side answers in kind (its ACPT
            // is not out yet while this runs).
            if (session_.role() == CallSession::Role::Caller) {
                session_.SendWord(QByteArrayLiteral("FILE1"));
            }
        }
        if (back) {
            emit Reported({CallReport::CameBack, nickname_});
            emit CameBack();
        }
        emit LoggedIn();
    });
    connect(&session_, &CallSession::PeerRefused, this,
            [this](const QString& why) { peerRefusal_ = why; });
    connect(&session_, &CallSession::PlainAsked, this,
            [this](Insecure why) { emit PlainLoginAsked(socket_.RemoteHostIP(), why); });
    connect(&session_, &CallSession::Closed, this, &Call::SessionClosed);
    connect(&session_, &CallSession::NotSent, this, &Call::Reported);
    connect(&session_, &CallSession::DecodeFailed, this, &Call::DecodeFailed);
    connect(&session_, &CallSession::HeldBack, this, &Call::HeldBack);
    connect(&session_, &CallSession::ManyWrongLogins, this, &Call::ManyWrongLogins);
}

Call::~Call() = default;

// ---------------------------------------------------------------------------------------
// Placing and answering

void Call::Place(const QString& address, int port, const QByteArray& expectedKey) {
    socket_.Close();
    expectedKey_ = expectedKey;
    // A new call starts unauthenticated, whatever the last one reached.
    session_.End();
    nickname_.clear();
    callAddress_ = address;
    port_ = port;
    placedByUs_ = true;
    checking_ = false;
    down_ = false;
    redial_.Stop();
    redialTimer_.stop();
    socket_.SetLocalPort(0);
    PlaceAttempt();
    retriesLeft_ = kTries - 1;
    timer_.setInterval(limits_.retryIntervalMs);
    timer_.start();
}

void Call::Check(const QString& address, int port, const QByteArray& key) {
    Place(address, port, key);
    checking_ = true;
    // One attempt: a refused connection ends the check at once.
    retriesLeft_ = 0;
    timer_.stop();
}

void Call::PlaceAttempt() {
    peerRefusal_.clear();
    emit Reported({CallReport::Calling, {}, callAddress_, {}, port_});
    socket_.Connect(callAddress_, port_);
    emit Calling(callAddress_);
}

void Call::Timer1_Timer() {
    if (retriesLeft_ > 0) {
        socket_.Close();
        session_.End();
        PlaceAttempt();
        --retriesLeft_;
        return;
    }
    timer_.stop();
    // An attempt still under way may yet connect; a failed one leaves nothing to keep.
    if (socket_.state() == platform::TcpSocket::Error) {
        socket_.Close();
    }
    emit Reported({CallReport::GaveUp, {}, {}, {}, kTries});
    emit GaveUp();
}

void Call::sckClient_Connect() {
    timer_.stop();
    CallSession::TlsPolicy policy;
    if (const Security* security = limits_.security) {
        policy.offer = security->CanOffer();
        policy.mustBeSecure = security->only || !expectedKey_.isEmpty() ||
                              (policy.offer && !security->keys.PinFor(PinAddress()).isEmpty());
        const bool securedBefore =
            security->securedBefore && security->securedBefore(socket_.RemoteHostIP());
        if (securedBefore && security->keys.Damaged()) {
            // Its pin may be among those that cannot be read: taking this key as new could
            // let anyone in between in. Nothing has been sent yet.
            Drop({CallReport::KeysUnreadable, {}, callAddress_, {}, 0});
            return;
        }
        policy.askBeforePlain = policy.offer && securedBefore;
    }
    ResetSecurity();
    session_.SetTlsPolicy(policy);
    session_.Start(CallSession::Role::Caller, socket_.RemoteHostIP());
}

bool Call::Answer(int requestID) {
    startStamp_ = platform::GeneralDate(QDateTime::currentDateTime());
    placedByUs_ = false;
    nickname_.clear();
    socket_.SetLocalPort(0);
    if (!socket_.Accept(requestID)) {
        return false;
    }
    CallSession::TlsPolicy policy;
    if (const Security* security = limits_.security) {
        policy.offer = security->CanOffer();
        policy.mustBeSecure = security->only;
    }
    ResetSecurity();
    session_.SetTlsPolicy(policy);
    session_.Start(CallSession::Role::Answerer, socket_.RemoteHostIP());
    QByteArray wire;
    const CNetMsg::CreateResult built = session_.Auth(&wire);
    if (built != CNetMsg::CreateResult::Ok) {
        emit Reported({CallReport::LoginNotSent, {}, {}, {}, static_cast<qint64>(built)});
        return true;
    }
    Write(wire);
    return true;
}

void Call::Hangup() {
    SayGoodbye();
    timer_.stop();
    socket_.Close();
    session_.End();
    ConnectionGone();
    nickname_.clear();
    emit HungUp();
}

void Call::Close() {
    SayGoodbye();
    timer_.stop();
    socket_.Close();
    session_.End();
    emit Dropped();
}

// ---------------------------------------------------------------------------------------
// The wire

void Call::sckClient_DataArrival(qint64 /*bytesTotal*/) {
    // What one read brings is shown together: one append and one repaint per read. The
    // answers wait until the read's lines have been reported, so whatever keeps them has
    // them before the peer learns they arrived.
    if (checking_ && Secure()) {
        // The key was what was asked, and the peer's AUTH says it is there: the call leaves
        // before any password, once the peer knows who asked.
        socket_.Close();
        session_.End();
        emit Checked();
        return;
    }
    emit ReadStarted();
    lastHeard_ = Now();
    reading_ = true;
    session_.Feed(socket_.GetData());
    reading_ = false;
    emit ReadReported();
    FlushWrites();
    if (session_.TlsSwitchPending()) {
        SwitchToTls();
    }
    emit ReadFinished();
}

void Call::FlushWrites() {
    reading_ = false;
    if (!held_.isEmpty()) {
        Write(std::exchange(held_, {}));
    }
}

Call::SendResult Call::SendLine(const QString& text, bool echo) {
    if (echo && Connected() && outbox_.Waiting(text)) {
        // Pressing Enter again must not deliver the same line twice.
        emit Reported({CallReport::StillWaiting, PeerShown(), {}, {}, 0});
        return SendResult::StillWaiting;
    }
    QByteArray wire;
    const QByteArray bytes = session_.Encode(text);
    const CNetMsg::CreateResult built = session_.Line(bytes, &wire);
    if (built != CNetMsg::CreateResult::Ok) {
        emit Reported({CallReport::NotSent, {}, {}, {}, static_cast<qint64>(built)});
        return SendResult::NotBuilt;
    }
    if (echo) {
        // Our own line as the peer will read it; with no peer, as it was typed.
        emit Echo(Connected() ? session_.Decode(bytes) : text, session_.LastLineCrc());
        if (const int lost = Connected() && !Utf8() ? platform::Unmappable(text) : 0; lost > 0) {
            emit Reported({CallReport::LostCharacters, PeerShown(), {}, {}, lost});
        }
    }
    // A line typed again after it went late, or while it waited: the same line, not a new one.
    Outbox::Line* again = echo ? outbox_.Unanswered(text) : nullptr;
    if (down_ && (Idle() || LoginFlag() == 0)) {
        if (echo) {
            lastLineId_ =
                again != nullptr ? again->id : outbox_.Queue(text, session_.LastLineCrc());
            Keep();
        }
        return SendResult::Queued;
    }
    if (Idle()) {
        return SendResult::NoCall;
    }
    if (!Connected()) {
        emit Reported({CallReport::NotConnectedYet, {}, {}, {}, 0});
        return SendResult::Connecting;
    }
    if (!Secure() && (session_.SettingUpTls() || session_.Policy().mustBeSecure)) {
        emit Reported({CallReport::NotSecureYet, {}, {}, {}, 0});
        return SendResult::Connecting;
    }
    if (again != nullptr && session_.Numbering()) {
        lastLineId_ = again->id;
        return SendNumbered(*again) ? SendResult::Sent : SendResult::Dropped;
    }
    qint64 number = 0;
    if (echo && session_.Numbering()) {
        number = ++lastOut_;
        session_.SendWord("SEQ " + QByteArray::number(number));
    }
    if (!Write(wire)) {
        return SendResult::Dropped;
    }
    if (echo) {
        if (again != nullptr) {
            lastLineId_ = again->id;
            outbox_.Resent(again->id, session_.LastLineCrc(), Now());
        } else {
            lastLineId_ = outbox_.Sent(text, session_.LastLineCrc(), number, Now());
        }
        Keep();
        lateCheck_.start();
    }
    return SendResult::Sent;
}

qint64 Call::Now() const {
    return limits_.clock ? limits_.clock() : QDateTime::currentMSecsSinceEpoch();
}

void Call::Confirm(std::int32_t crc) {
    const auto answered = outbox_.Answer(crc);
    if (!answered) {
        return;
    }
    if (!outbox_.AnySent()) {
        lateCheck_.stop();
    }
    lastNamed_ = answered->named ? crc : 0;
    Keep();
    emit LineConfirmed(answered->line.id, answered->named);
}

void Call::CheckLate() {
    if (!Connected()) {
        lateCheck_.stop();
        return;
    }
    for (const Outbox::Line& line : outbox_.MarkLate(Now(), limits_.confirmWithinMs)) {
        emit LineLate(line.id);
        emit Reported(
            {CallReport::NotConfirmed, PeerShown(), {}, {}, limits_.confirmWithinMs / 1000});
    }
}

bool Call::Write(const QByteArray& wire) {
    if (reading_) {
        held_ += wire;
        return true;
    }
    if (socket_.BytesToWrite() + wire.size() > limits_.maxPendingWrite) {
        Drop({CallReport::DoesNotRead, {}, socket_.RemoteHostIP(), {}, limits_.maxPendingWrite});
        return false;
    }
    return socket_.SendData(wire);
}

void Call::Drop(const CallReport& why) {
    // What the session answered before it closed still goes, as it did before the close.
    FlushWrites();
    if (down_) {
        // A dial to bring a lost call back failed; a call that cannot be made secure with
        // the key we know is not dialled again.
        emit Reported(why);
        session_.End();
        socket_.Close();
        if (why.kind == CallReport::SecureFailed || why.kind == CallReport::KeysUnreadable) {
            StopReconnecting();
        } else {
            ScheduleRedial();
        }
        return;
    }
    session_.End();
    emit Reported(why);
    socket_.Close();
    ConnectionGone();
    // The next call's close must not be reported under this peer's name.
    nickname_.clear();
    emit Dropped();
}

void Call::SessionClosed(CloseReason why, const CallReport& report, bool wasLoggedIn) {
    if (!wasLoggedIn && session_.role() == CallSession::Role::Answerer) {
        FlushWrites();
        socket_.Flush(); // the reason told to the caller goes before the close
        socket_.Close();
        nickname_.clear();
        emit Refused(why, report);
        return;
    }
    Drop(report);
}

// ---------------------------------------------------------------------------------------
// The end of a call

void Call::sckClient_Close() {
    if (down_) {
        AttemptEnded(true);
        return;
    }
    if (MayComeBack(false)) {
        GoDown();
        return;
    }
    const QString remote = socket_.RemoteHostIP();
    const QString nickname = std::exchange(nickname_, {});
    session_.End();
    socket_.Close();
    ConnectionGone();
    emit Lost(nickname, remote);
}

void Call::ConnectionGone() {
    files_.LinkDown();
    lateCheck_.stop();
    for (const Outbox::Line& line : outbox_.ConnectionGone()) {
        emit LineLate(line.id);
    }
    Keep();
}

void Call::sckClient_Error(int number, const QString& description) {
    if (session_.TlsSwitchPending() && socket_.WasConnected()) {
        // The handshake failed: the call ends here, never in plain text.
        if (refusedBecause_) {
            session_.AbortTls(refusedBecause_->why, refusedBecause_->now, refusedBecause_->was);
        } else {
            session_.AbortTls(Insecure::Handshake, description);
        }
        if (!refusedKey_.isEmpty() && session_.role() == CallSession::Role::Caller) {
            const QByteArray ours = limits_.security->identity.Fingerprint();
            emit KeyChanged(
                PinAddress(),
                Identity::SafetyNumber(ours, limits_.security->keys.PinFor(PinAddress())),
                Identity::SafetyNumber(ours, refusedKey_));
        }
        return;
    }
    if (down_) {
        AttemptEnded(socket_.WasConnected());
        return;
    }
    emit Reported({CallReport::SocketError, {}, {}, description, number});
    if (socket_.WasConnected()) {
        if (MayComeBack(true)) {
            GoDown();
            return;
        }
        // An established call that fails has ended, as if the peer had closed it.
        sckClient_Close();
        return;
    }
    // A failed attempt while retrying stays as it is: the socket is not free for an incoming
    // call, and the next tick starts a new attempt. Outside the retries the attempt is over.
    if (!timer_.isActive()) {
        socket_.Close();
        emit Reported({CallReport::CallFailed, {}, {}, description, 0});
        emit GaveUp();
    }
}

// ---------------------------------------------------------------------------------------
// Secure calls

QString Call::PinAddress() const {
    return KeyStore::NormalAddress(callAddress_, port_);
}

void Call::ResetSecurity() {
    // A new call: nothing of the last one waits for an answer.
    lateCheck_.stop();
    peerKey_.clear();
    refusedBecause_.reset();
    knownAs_.clear();
    keyChange_.reset();
}

void Call::SwitchToTls() {
    if (limits_.security == nullptr ||
        !socket_.StartTls(session_.role() == CallSession::Role::Answerer,
                          limits_.security->Configuration())) {
        session_.AbortTls(Insecure::PlainWhereTls);
    }
}

std::optional<Call::KeyRefusal> Call::JudgeKey(const QByteArray& fingerprint) {
    if (fingerprint.isEmpty()) {
        return KeyRefusal{Insecure::NoKey, {}, {}};
    }
    if (session_.role() != CallSession::Role::Caller) {
        return {}; // a caller is judged by its nickname once it names itself
    }
    if (!expectedKey_.isEmpty() && fingerprint != expectedKey_) {
        return KeyRefusal{Insecure::OtherKey, {}, {}};
    }
    const QByteArray pinned = limits_.security->keys.PinFor(PinAddress());
    if (pinned.isEmpty() || pinned == fingerprint) {
        return {};
    }
    const QByteArray ours = limits_.security->identity.Fingerprint();
    refusedKey_ = fingerprint;
    return KeyRefusal{Insecure::KeyChanged, Identity::SafetyNumber(ours, pinned),
                      Identity::SafetyNumber(ours, fingerprint)};
}

void Call::TlsErrors(const QList<QSslError>& errors) {
    // A self-signed certificate is what every Palaver user has; its key is what counts.
    refusedKey_.clear();
    refusedBecause_ = JudgeKey(Identity::FingerprintOf(socket_.PeerCertificate()));
    if (!refusedBecause_) {
        socket_.IgnoreSslErrors(errors);
    }
}

void Call::TlsUp() {
    if (limits_.security == nullptr || !session_.TlsSwitchPending()) {
        return;
    }
    // Judged again: a handshake without errors never passed through TlsErrors.
    const QByteArray fingerprint = Identity::FingerprintOf(socket_.PeerCertificate());
    if (auto why = JudgeKey(fingerprint)) {
        refusedBecause_ = std::move(why);
        sckClient_Error(0, {});
        return;
    }
    peerKey_ = fingerprint;
    KeyStore& keys = limits_.security->keys;
    if (session_.role() == CallSession::Role::Caller && keys.PinFor(PinAddress()).isEmpty()) {
        knownAs_ = keys.KnownAs(fingerprint);
        keys.Pin(PinAddress(), fingerprint);
    }
    session_.TlsEstablished();
    emit Reported({CallReport::SecureCall, knownAs_.isEmpty() ? QString() : PeerName(knownAs_),
                   SafetyNumber(), socket_.SessionDescription(), 0});
    emit SecureChanged();
}

void Call::PeerNamedSecurely(const QString& nickname) {
    if (!Secure() || session_.role() != CallSession::Role::Answerer) {
        return;
    }
    // Only judged here: nothing is kept before the password was found right.
    const KeyStore& keys = limits_.security->keys;
    const QByteArray known = keys.CallerKey(nickname);
    knownAs_.clear();
    keyChange_.reset();
    if (known.isEmpty()) {
        knownAs_ = keys.KnownAs(peerKey_);
    } else if (known != peerKey_) {
        keyChange_ =
            CallReport{CallReport::KeyChanged, nickname,
                       Identity::SafetyNumber(limits_.security->identity.Fingerprint(), known),
                       SafetyNumber()};
        emit Debug(*keyChange_);
    }
    emit SecureChanged();
}

void Call::RecordCaller() {
    // A caller that logged in securely is known by its nickname from now on; one that came
    // with another key than its nickname's stays marked until the user accepts the new key.
    if (!Secure() || session_.role() != CallSession::Role::Answerer || KeyChangedMark() ||
        !limits_.security->keys.CallerKey(nickname_).isEmpty()) {
        return;
    }
    limits_.security->keys.RecordCaller(nickname_, peerKey_);
}

QString Call::SafetyNumber() const {
    if (peerKey_.isEmpty() || limits_.security == nullptr) {
        return {};
    }
    return Identity::SafetyNumber(limits_.security->identity.Fingerprint(), peerKey_);
}

bool Call::KeyVerified() const {
    return !peerKey_.isEmpty() && limits_.security != nullptr &&
           limits_.security->keys.Verified(peerKey_);
}

void Call::MarkKeyVerified() {
    if (Secure() && !peerKey_.isEmpty()) {
        limits_.security->keys.SetVerified(peerKey_);
        emit SecureChanged();
    }
}

void Call::AcceptNewKey() {
    if (limits_.security == nullptr) {
        return;
    }
    if (!refusedKey_.isEmpty()) {
        limits_.security->keys.Pin(PinAddress(), std::exchange(refusedKey_, {}));
    } else if (KeyChangedMark() && LoginFlag() != 0) {
        limits_.security->keys.RecordCaller(nickname_, peerKey_);
        keyChange_.reset();
        emit SecureChanged();
    }
}
