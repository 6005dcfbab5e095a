// One call: its socket, its retries, the peer it reached and the session that speaks the
// protocol over it. Bytes go socket -> call -> events; acknowledgements and logins are
// answered here, so a window only shows what the call reports and hands it text to send.
#pragma once

#include "CallSession.h"
#include "Outbox.h"
#include "Redial.h"
#include "Security.h"
#include "Transfers.h"

#include "platform/TcpSocket.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <optional>

#include <cstdint>
#include <functional>

// What is kept for one peer over a restart, in the history's file: the numbers of the
// pair and the lines that still wait for it.
struct KeptLines {
    qint64 lastOut = 0; // the last number given to one of our lines for this peer
    qint64 lastIn = 0;  // the last of the peer's numbered lines kept here
    QList<Outbox::Line> waiting;
};

class LineKeeper {
public:
    virtual ~LineKeeper() = default;
    // `peer` names the peer's key, or its nickname and address for a plain call.
    virtual KeptLines Load(const QString& peer) = 0;
    virtual void Save(const QString& peer, const KeptLines& kept) = 0;
};

// What a call may do; the window table passes the program's limits on, tests shorten them.
struct CallLimits {
    int retryIntervalMs = 5000;
    // Bytes that may wait to be written before a peer that does not read is cut off.
    qint64 maxPendingWrite = 1024 * 1024;
    // The clock login deadlines and limits are measured with; the real one when empty.
    std::function<qint64()> clock;
    // The identity and keys for secure calls; none: every call is plain, as before.
    Security* security = nullptr;
    // Who may try to log in; none: the call keeps its own count.
    LoginGuard* logins = nullptr;
    // A line not acknowledged within this long is late.
    qint64 confirmWithinMs = 10 * 1000;
    // Where lines that wait and the numbers of each pair are kept; none: in memory only.
    LineKeeper* keeper = nullptr;
    // A copy of this program that has said nothing for this long is asked whether it is
    // there; one silent for lostAfterMs is taken as gone.
    qint64 pingAfterMs = 15 * 1000;
    qint64 lostAfterMs = 30 * 1000;
    // A fraction in [0, 1) that spreads the redial delays; random when empty.
    std::function<double()> jitter;
    // Where received files land and unfinished transfers are kept; none: files are neither
    // taken nor offered.
    const TransferPlaces* files = nullptr;
};

class Call : public QObject {
    Q_OBJECT
public:
    static constexpr int kTries = 5;

    enum class SendResult {
        Sent,
        NoCall,       // no socket open: nothing to send to
        Connecting,   // an attempt is under way but not connected yet
        NotBuilt,     // the message could not be built; Status says why
        Dropped,      // the write cap was hit and the call closed
        StillWaiting, // the same line waits for its acknowledgement: not sent again
        Queued,       // the connection is lost: the line waits for the call to come back
    };
    // A line not acknowledged within this long is reported late (and may be sent again).
    static constexpr qint64 kConfirmWithinMs = 10 * 1000;

    explicit Call(const CallLimits& limits = {}, QObject* parent = nullptr);
    ~Call() override;

    // Places a call to `address` on `port`, retrying until kTries attempts were made. With
    // `expectedKey` (the fingerprint an announcement named) the call must be secure and the
    // answer must come with that key, or it ends before the password is sent.
    void Place(const QString& address, int port, const QByteArray& expectedKey = {});
    // Only asks whether `address` answers with `key`: one attempt that ends with Checked once
    // TLS is up, before any password; a failure ends with GaveUp or Dropped.
    void Check(const QString& address, int port, const QByteArray& key);
    // A contact who is away: lines typed now wait for it (kept like those of a lost call),
    // and the call is placed when ReconnectAt says where it is.
    void Await(const QByteArray& key, const QString& address, int port);
    // A call that waits dials `address` now.
    void ReconnectAt(const QString& address, int port);
    // Takes the request over and sends AUTH; false when the request is gone.
    bool Answer(int requestID);
    // "Bye": this side ends the call.
    void Hangup();
    // Ends the call without a log line (the window is going); raises Dropped.
    void Close();
    // Builds and sends a line; `echo` raises Echo once the line was built.
    SendResult SendLine(const QString& text, bool echo = true);
    // The ledger id of the line the last SendLine sent or queued.
    qint64 LastLineId() const { return lastLineId_; }
    const Outbox& Ledger() const { return outbox_; }
    // The files this call sends and receives.
    Transfers& Files() { return files_; }
    // Deletes a line that waits for the call to come back; false when it is not waiting.
    bool DeleteWaiting(qint64 id);

    // The connection was lost and the call may come back: dialled again by the side that
    // placed it, or answered again on the other side.
    bool Down() const { return down_; }
    bool Redialling() const { return redial_.Active(); }
    void ReconnectNow();
    void StopReconnecting();
    // The system's network came back or it woke up: dial at once, ask a quiet peer.
    void NetworkChanged(bool online);
    // The same peer as `other`: the same key, or for plain calls the same nickname and
    // address.
    bool SamePeer(const Call& other) const;
    // A call that came back from the peer of `lost`, which was down: its ledger goes on here.
    void TakeOver(Call& lost);

    // Not logged in and doing nothing towards it: no password waiting to be judged, no TLS
    // handshake under way.
    bool Silent() const {
        return LoginFlag() == 0 && !session_.Judging() && !session_.SettingUpTls();
    }
    // Nothing open: no call, no attempt.
    bool Idle() const { return socket_.state() == platform::TcpSocket::Closed; }
    bool Connected() const { return socket_.state() == platform::TcpSocket::Connected; }
    bool Retrying() const { return timer_.isActive(); }
    int SocketState() const { return socket_.state(); }
    // Both sides agreed on UTF-8.
    bool Utf8() const { return session_.Utf8(); }
    // 1 once the peer has logged in.
    std::int16_t LoginFlag() const { return session_.LoginFlag(); }
    QString RemoteAddress() const { return socket_.RemoteHostIP(); }
    // The peer's nickname as it logged in; empty before.
    const QString& Nickname() const { return nickname_; }
    const QString& StartStamp() const { return startStamp_; }
    // Why the answering side refused our last login, as it said; empty when it did not say.
    const QString& PeerRefusal() const { return peerRefusal_; }
    // The address this call was placed to (retries go there).
    const QString& CallAddress() const { return callAddress_; }
    int CallPort() const { return port_; }
    bool PlacedByUs() const { return placedByUs_; }
    // The key the answer must come with; empty when any may.
    const QByteArray& ExpectedKey() const { return expectedKey_; }
    // The CRC the peer's acknowledgement of our last line must carry.
    std::int32_t LastLineCrc() const { return session_.LastLineCrc(); }
    // Unique for the program's run; the switchboard numbers every call it holds.
    quint64 Id() const { return id_; }
    void SetId(quint64 id) { id_ = id; }
    int RetryIntervalMs() const { return timer_.interval(); }

    // Secure calls. Secure: TLS is up and the peer's key was accepted.
    bool Secure() const { return session_.Secure(); }
    // SHA-256 of the peer's public key; empty for a plain call.
    const QByteArray& PeerKey() const { return peerKey_; }
    QString SafetyNumber() const;
    // "TLS 1.3, TLS_AES_256_GCM_SHA384"
    QString TlsDescription() const { return socket_.SessionDescription(); }
    // The user compared the safety number and marked this key verified.
    bool KeyVerified() const;
    void MarkKeyVerified();
    // A caller we know by nickname came with another key than last time.
    bool KeyChangedMark() const { return keyChange_.has_value(); }
    // What changed (KeyChanged, with both safety numbers), for the window that shows the call.
    const std::optional<CallReport>& KeyChange() const { return keyChange_; }
    // Another address or nickname the peer's key is already known under.
    const QString& KnownAs() const { return knownAs_; }
    // Pins the key the last refused call presented, after the user agreed; on the answering
    // side, takes the caller's new key as the one its nickname is known by.
    void AcceptNewKey();
    // Answers PlainLoginAsked: go on in plain text, or end the call before the password.
    void AnswerPlainLogin(bool goOn) { session_.AnswerPlainLogin(goOn); }

signals:
    // Around the events of one read, so that a view can show them together.
    void ReadStarted();
    // Everything one read brought has been reported and its answers are about to leave:
    // whatever keeps the lines must have them now.
    void ReadReported();
    void ReadFinished();
    // Something the user should be told.
    void Reported(const CallReport& report);
    // A line for the program's debug log.
    void Debug(const CallReport& report);
    // An attempt to reach `address` has started.
    void Calling(const QString& address);
    void LoggedIn();
    // A line of ours that was built to be sent, for our own log, and its CRC.
    void Echo(const QString& text, std::int32_t crc);
    // A verified line of the peer's, made safe to show, and the peer's nickname.
    void ChatLine(const QString& nickname, const QString& text);
    void AckMatched(std::int32_t crc);
    void AckFailed();
    // Every acknowledgement as the peer sent it (see CallSession).
    void Acknowledged(std::int32_t crc, bool saysOk);
    // One of the lines we typed (its ledger id) was answered: confirmed or not.
    void LineConfirmed(qint64 id, bool ok);
    // One of the lines we typed has waited confirmWithinMs for its acknowledgement.
    void LineLate(qint64 id);
    // A line that waited went out (again) as `crc`; `firstCrc` is the line as first echoed.
    void LineSentAgain(qint64 id, std::int32_t firstCrc, std::int32_t crc);
    // The peer had a line (first echoed as `firstCrc`) already, and said so on its return.
    void LineDelivered(std::int32_t firstCrc);
    // The connection went without a goodbye; the call may come back.
    void ConnectionLost(const QString& nickname);
    // The next dial is `inMs` away, or (negative) there is none.
    void RedialScheduled(qint64 inMs);
    // A lost call is logged in again.
    void CameBack();
    // The end of a Check: the address answered with the key.
    void Checked();
    // A line kept for this peer since before a restart waits in the ledger as `id`.
    void Kept(qint64 id, const QString& text);
    void DecodeFailed();
    void HeldBack(const QString& address);
    void ManyWrongLogins();
    // An answered call closed by this side before it logged in: nothing of it should stay.
    void Refused(CloseReason why, const CallReport& report);
    // This side closed the call for `reason` (already logged).
    void Dropped();
    // The peer ended an established call.
    void Lost(const QString& nickname, const QString& remote);
    // The attempts are over without a call.
    void GaveUp();
    // This side hung up ("Bye").
    void HungUp();
    // TLS is up (or the call ended and is plain again): what a window shows changed.
    void SecureChanged();
    // A pinned address answered with another key; the call was refused. AcceptNewKey pins it.
    void KeyChanged(const QString& address, const QString& oldSafetyNumber,
                    const QString& newSafetyNumber);
    // The login password would cross in plain text where a secure call was to be expected;
    // the call waits for AnswerPlainLogin. `why` in the user's words.
    void PlainLoginAsked(const QString& address, Insecure why);

private:
    void sckClient_DataArrival(qint64 bytesTotal);
    void sckClient_Connect();
    void sckClient_Close();
    void sckClient_Error(int number, const QString& description);
    void Timer1_Timer();
    void PlaceAttempt();
    bool Write(const QByteArray& wire);
    void Drop(const CallReport& why);
    // The peer's nickname, or its address before it has one.
    QString PeerShown() const { return nickname_.isEmpty() ? RemoteAddress() : nickname_; }
    void SessionClosed(CloseReason why, const CallReport& report, bool wasLoggedIn);
    void FlushWrites();
    void Confirm(std::int32_t crc);
    void CheckLate();
    qint64 Now() const;
    void SwitchToTls();
    void TlsErrors(const QList<QSslError>& errors);
    void TlsUp();
    // Why a key may not go on: Insecure and, for a changed key, both safety numbers.
    struct KeyRefusal {
        Insecure why;
        QString was;
        QString now;
    };
    // The peer's key judged against what we know: nothing when it may go on.
    std::optional<KeyRefusal> JudgeKey(const QByteArray& fingerprint);
    void PeerNamedSecurely(const QString& nickname);
    void RecordCaller();
    QString PinAddress() const;
    void ResetSecurity();
    // Lines that come back, and calls that do (CallComeback.cpp).
    bool MayComeBack(bool failed) const;
    void GoDown();
    // Nothing sent waits for an answer on a connection that went.
    void ConnectionGone();
    void ScheduleRedial();
    void RedialTick();
    void AttemptEnded(bool connected);
    void CheckAlive();
    void ResumeAfterLogin();
    // The ledger becomes `peer`'s, with what was kept for it.
    void SwitchLedger(const QString& peer);
    void Resume(qint64 peerHas);
    void SendWaiting();
    bool SendNumbered(Outbox::Line& line);
    void SentAgain(qint64 id);
    void SayGoodbye();
    QString PeerId() const;
    void Keep();

    CallLimits limits_;
    platform::TcpSocket socket_;
    CallSession session_;
    QTimer timer_;
    int retriesLeft_ = 0;
    int port_ = 0;
    QString callAddress_;
    QString nickname_;
    QString peerRefusal_;
    QString startStamp_;
    quint64 id_ = 0;
    // While one read is handled, what the session answers waits here: the lines of the read
    // are reported (and kept) before their acknowledgements leave.
    bool reading_ = false;
    QByteArray held_;
    Outbox outbox_;
    qint64 lastLineId_ = 0;
    // The CRC the last answer named, when it confirmed one of our lines.
    std::int32_t lastNamed_ = 0;
    QTimer lateCheck_;
    // Comebacks.
    bool placedByUs_ = false;
    bool checking_ = false;
    bool down_ = false;
    bool goodbye_ = false; // the peer said BYE
    Redial redial_;
    QTimer redialTimer_;
    QTimer alive_;
    qint64 lastHeard_ = 0;
    qint64 pingAt_ = 0;
    // Whose lines the ledger holds, and the pair's numbers.
    QString ledgerPeer_;
    qint64 lastOut_ = 0;
    qint64 lastIn_ = 0;
    QByteArray peerKey_;
    QByteArray expectedKey_;
    QByteArray refusedKey_;
    std::optional<KeyRefusal> refusedBecause_;
    QString knownAs_;
    std::optional<CallReport> keyChange_;
    Transfers files_;
};
