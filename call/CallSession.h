// One call's wire state: framing, the login role and flag, the password layers and the
// matching of acknowledgements. Bytes go in and events come out; text goes in and bytes
// come out. It never sees a socket or a widget: the chat window shows what it reports and
// writes what it asks to send.
#pragma once

#include "LoginGuard.h"
#include "protocol/CNetMsg.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <functional>

// A peer's text made safe for a log: every line of it stays visibly the peer's, continuation
// lines indented under the first, other control characters shown as "?".
QString PeerLine(const QString& text);
// A peer's nickname on one line: every control character, line breaks included, is "?".
QString PeerName(const QString& name);

// Why this side closed a call.
enum class CloseReason {
    LoginTimeout,  // not logged in by the deadline
    WrongPassword, // the caller's login password was wrong
    WrongRole,     // the peer sent what only our side may send
    Flooded,       // too much arrived while a login waited to be judged
    BadMessage,    // a header that does not decode, a message too long, chat before login
    NotReading,    // the peer does not read what is sent
    NotSecure,     // a call that had to be secure could not be made so
};

// Why a call could not be made secure, or why its login would go in plain text.
enum class Insecure {
    Refused,         // the answering side refused the secure call
    NotOffered,      // it offered other things, but no secure call
    NoSecureProgram, // its program offers no secure calls at all
    AcceptedPlain,   // it accepted a login in plain text
    Declined,        // the user chose not to send the login password in plain text
    Handshake,       // the TLS handshake failed: the report's `detail`
    PlainWhereTls,   // plain text arrived where TLS had to begin
    NoKey,           // the peer presented no key
    OtherKey,        // it answered with another key than it announced
    KeyChanged,      // the pinned key changed: safety number `address` became `detail`
    SecureBefore,    // it answered securely before and now offers no secure call (a question)
    PasswordInClear, // no secure call, and the password would cross in clear (a question)
};

// What a call has to tell the user, as a value; the window puts it in words.
struct CallReport {
    enum Kind {
        NotEncrypted,    // logged in without TLS though this side offers it
        Calling,         // an attempt to `address`:`number`
        GaveUp,          // the tries are over
        KeysUnreadable,  // a call to `address` not made: the pins cannot be read to check it
        LoginNotSent,    // the login could not be built: `number` is the CreateResult
        NotSent,         // a line could not be built: `number` is the CreateResult
        AckNotSent,      // an acknowledgement could not be built: `number`, as above
        StillWaiting,    // the same line still waits for `who` to confirm it
        LostCharacters,  // `number` characters `who`'s program cannot show
        NotConnectedYet, // a line typed while the call is still connecting
        NotSecureYet,    // a line typed while TLS is still being set up
        NotConfirmed,    // `who` has not confirmed a line for `number` seconds
        DoesNotRead,     // `address` left more than `number` bytes unread: call closed
        SocketError,     // error `number`, `detail`
        CallFailed,      // the attempt failed: `detail`
        SecureCall,      // TLS `detail`, safety number `address`, key known as `who`
        KeyChanged,      // `who`'s key changed: safety number `address` became `detail`
        ConnectionLost,  // the connection to `who` went without a goodbye
        CameBack,        // the call with `who` is back
        RedialGaveUp,    // no call to `who` at `address` for `number` minutes: given up
        RedialRefused,   // `who` at `address` refused the login password: not dialled again

        // Why this side closed a call; `who` is the peer's address.
        TimedOut,          // not logged in within `number` seconds
        SecureFailed,      // not made secure for Insecure(`other`); not continued in plain text
        Flooded,           // too much arrived while its login waited
        UndecodableHeader, // a header that does not decode
        LongLogin,         // `number` characters before logging in, a login takes `other`
        LongMessage,       // a message declaring `number` characters, more than `other`
        PlainAfterTls,     // plain text after the switch to TLS
        NonAuth,           // a caller's first message was no AUTH
        WrongRole,         // `detail`, which only the other side may send
        OnlySecure,        // refused: only secure calls are taken and it asked for none
        UnknownBodies,     // more than one unknown message before logging in
        Rejected,          // wrong login password

        // For the debug log.
        LoginWaits,      // `who`'s login waits `number` ms; `other` 1: then its turn
        WrongLogin,      // wrong login password from `who`, `number` in a row
        RightLogin,      // right login password from `who`
        TooManyNew,      // from `address`: more than `number` calls in `other` seconds
        TooManyWaiting,  // from `address`: `number` calls still to log in
        MadeRoom,        // `address` closed: it waited longest of `number` calls
        HeldBack,        // from `address`: logins held back for `number` ms
        Receiving,       // a call arrives from `address`, port `number`
        ServerAccepting, // the server listens on `address`
        ServerStopped,   // the server on `address` stopped; empty: it was not running
        OwnKey,          // secure calls with the key of fingerprint `detail`
        Incomplete,      // a read ended inside a message
        AckMismatch,     // an acknowledgement named `other`, not our line's CRC `number`
        BadCrc,          // a message failed its CRC: mismatched passwords, likely
        BadHeader,       // a header that does not decode
        UnknownBody,     // `who` sent a login body of no known kind: `detail`
    };
    Kind kind = NotEncrypted;
    // Every member has its default, so that a report names only what it needs.
    QString who{};
    QString address{};
    QString detail{};
    qint64 number = 0;
    qint64 other = 0;
};

class CallSession : public QObject {
    Q_OBJECT
public:
    enum class Role { None, Caller, Answerer };

    // Bytes from a peer that keep arriving while its login waits to be judged.
    static constexpr qsizetype kMaxBacklog = 64 * 1024;
    // The answering side's offer before "AUTH" and the caller's request: short lists of
    // words. A copy that can do more adds words; a body longer than this is no list.
    static constexpr qsizetype kMaxOfferSize = 16;
    // Before login only logins travel, and a login carries a password and a nickname: a body
    // longer than this is no login.
    static constexpr qsizetype kMaxLoginBody = 1024;
    // Characters of a body we do not know that a log shows before login.
    static constexpr qsizetype kMaxShownUnknown = 200;
    // NO: an answering side that refuses a caller that asked for it says why first, in a
    // login body "NO " and the reason.
    inline static const QByteArray kOffer = QByteArrayLiteral("CAPS UTF8 NO");
    inline static const QByteArray kRequest = QByteArrayLiteral("WANT UTF8 NO");
    // With secure calls: TLS joins both lists, and the answerer's go-ahead is the last plain
    // message before both sides switch the connection to TLS.
    inline static const QByteArray kSecureOffer = QByteArrayLiteral("CAPS UTF8 TLS NO");
    inline static const QByteArray kSecureRequest = QByteArrayLiteral("WANT UTF8 TLS NO");
    inline static const QByteArray kGoAhead = QByteArrayLiteral("GO TLS");

    // How this call treats TLS, set before Start.
    struct TlsPolicy {
        bool offer = false;        // offer it (answerer) or ask for it when offered (caller)
        bool mustBeSecure = false; // never log in in plain text
        // The peer once answered securely: ask before the password goes in plain text.
        bool askBeforePlain = false;
    };

    explicit CallSession(QObject* parent = nullptr);

    using Clock = std::function<qint64()>; // milliseconds, only ever compared

    // The clock the login deadline is measured with (the real one by default).
    void SetClock(Clock clock) { clock_ = std::move(clock); }
    // Who may try to log in: the switchboard's guard, shared by all its calls; a session
    // on its own keeps one of its own.
    void SetGuard(LoginGuard* guard) { guard_ = guard != nullptr ? guard : &ownGuard_; }
    LoginGuard& Guard() { return *guard_; }
    // Closes a call that has not logged in by its deadline; the deadline's timer runs it.
    void CheckDeadline();

    // A new call with `peerAddress`; everything of the last call is forgotten. The login
    // deadline starts now.
    void Start(Role role, const QString& peerAddress);
    // The call is over, whoever ended it.
    void End();
    void SetTlsPolicy(TlsPolicy policy) { policy_ = policy; }
    const TlsPolicy& Policy() const { return policy_; }
    // Both sides agreed to switch to TLS and the connection must switch now; nothing more
    // may be read or written in plain text.
    bool TlsSwitchPending() const { return phase_ == Phase::SwitchingTls; }
    // TLS is up: the login starts again inside it.
    void TlsEstablished();
    bool Secure() const { return secure_; }
    // The switch to TLS failed; the call closes.
    void AbortTls(Insecure why, const QString& detail = {}, const QString& was = {}) {
        RefusePlain(why, detail, was);
    }
    // A secure call is being set up: nothing typed may go out until it is.
    bool SettingUpTls() const {
        return phase_ == Phase::AwaitingGo || phase_ == Phase::SwitchingTls ||
               phase_ == Phase::AskingPlain;
    }
    // The user's answer to PlainAsked: the login goes on in plain text, or the call ends.
    void AnswerPlainLogin(bool goOn);

    bool Active() const { return phase_ != Phase::Idle; }
    // A password arrived and waits to be judged.
    bool Judging() const { return phase_ == Phase::Holding; }
    Role role() const { return role_; }
    std::int16_t LoginFlag() const { return LoggedInNow() ? 1 : 0; }
    const QString& PeerAddress() const { return peer_; }
    // The CRC of the last chat line built here: what the peer's acknowledgement must carry.
    std::int32_t LastLineCrc() const { return lastLineCrc_; }
    CNetMsg& Incoming() { return incoming_; }
    CNetMsg& Outgoing() { return outgoing_; }

    // Both sides agreed on UTF-8 for every body; otherwise the single-byte code page.
    bool Utf8() const { return utf8_; }
    // Text as it goes to this peer, and back.
    QByteArray Encode(const QString& text) const;
    QString Decode(const QByteArray& bytes) const;

    // Between two copies of this program, after login: a word of the call's own (RESUME1,
    // SEQ, BYE, PING, PONG) as a login message; an old peer is never sent one.
    bool PeerKeepsLines() const { return offerSeen_ || requestSeen_; }
    bool SendWord(const QByteArray& word);
    // A file message (control or data) to a peer that said it takes files.
    bool SendFile(std::uint8_t cmd, const QByteArray& body);
    // Lines are numbered from now on; the peer's lines up to `lastIn` are already kept.
    void StartNumbering(qint64 lastIn);
    bool Numbering() const { return numbering_; }
    // The caller has had the answering side's AUTH in this call.
    bool AuthSeen() const { return authSeen_; }
    qint64 LastIn() const { return lastIn_; }

    // Text in, bytes out. Anything but Ok leaves `wire` untouched: nothing may be sent.
    // The opening AUTH comes with the offer before it.
    CNetMsg::CreateResult Auth(QByteArray* wire);
    CNetMsg::CreateResult Line(const QByteArray& text, QByteArray* wire);

    // Bytes in: every whole message is handled in order, a partial one waits for more.
    void Feed(const QByteArray& bytes);

    // Seconds a call may take to log in (the settings' Timeout, 30 when unset).
    static int LoginDeadlineSeconds();

signals:
    void Send(const QByteArray& wire);
    void Reported(const CallReport& report);
    // For the program's debug log.
    void Debug(const CallReport& report);
    // A verified chat line, made safe to show.
    void ChatLine(const QString& text);
    void AckMatched(std::int32_t crc);
    // The peer's acknowledgement did not match our last line.
    void AckFailed();
    // The peer keeps lines too, and has ours up to `lastIn` (RESUME1).
    void ResumeAsked(qint64 lastIn);
    // A numbered line of the peer's was kept (shown before this), or arrived again.
    void Committed(qint64 number);
    // The peer ends the call on purpose (BYE): not a lost connection.
    void Goodbye();
    // The peer takes files (FILE1), and a file message of its arrived; `intact` is false
    // when it failed its checksum.
    void PeerTakesFiles();
    void FileMessage(std::uint8_t cmd, const QByteArray& body, bool intact);
    void PeerNamed(const QString& nickname);
    void LoggedIn();
    // This side must close the call; `report` says why to the user.
    void Closed(CloseReason why, const CallReport& report, bool wasLoggedIn);
    // Every acknowledgement as the peer sent it: the CRC it names and whether it says "OK"
    // (rather than "BC"), before it is judged against our last line.
    void Acknowledged(std::int32_t crc, bool saysOk);
    // A message this side had to send could not be built (LoginNotSent or AckNotSent).
    void NotSent(const CallReport& report);
    // A logged-in peer sent a number that does not decode.
    void DecodeFailed();
    // The address has started being held back for wrong login passwords.
    void HeldBack(const QString& address);
    // So many wrong login passwords came from everywhere that logins are being slowed.
    void ManyWrongLogins();
    // The answering side refused our login and said why (made safe to show).
    void PeerRefused(const QString& why);
    // The login password would go in plain text where a secure call was to be expected;
    // nothing more happens until AnswerPlainLogin.
    void PlainAsked(Insecure why);

private:
    void Handle();
    void ReceiveChat();
    void ReceiveAck();
    void ReceiveLogin();
    // A chat or login message that failed verification: logged and answered with "BC".
    void AnswerBadMessage(CNetMsg::VerifyResult v);
    void HandleLoginBody();
    // A word of the call's own after login; false when the body is none.
    bool HandleWord(const QByteArray& body);
    void ReceiveFile();
    void JudgePass(const QByteArray& offered);
    // The caller's answer to AUTH: the request for UTF-8 when offered, and PASS.
    void SendPass();
    // What the caller is told when this side refuses it; empty: nothing is said.
    static QString RefusalReason(CloseReason why);
    void ResumeAfterHold();
    bool Answer(std::uint8_t cmd, const QByteArray& body);
    void Encipher();
    void Decipher();
    // Ends the call; `report` tells the user why (its `who` becomes the peer).
    void Close(CloseReason why, CallReport report);
    // Closes a call that has to be secure and cannot be, with `why` in the user's words.
    void RefusePlain(Insecure why, const QString& detail = {}, const QString& was = {});

    CNetMsg incoming_;
    CNetMsg outgoing_;
    Role role_ = Role::None;
    // Where the login stands; every move between steps goes through Enter.
    enum class Phase {
        Idle,         // no call
        LoggingIn,    // the login is under way
        AwaitingGo,   // the caller asked for TLS and waits for the go-ahead
        SwitchingTls, // the TLS handshake runs; no plain byte is read
        AskingPlain,  // the caller waits for the user to allow a plain login
        Holding,      // the answerer holds a login back before judging it
        LoggedIn,
    };
    static bool MayEnter(Phase from, Phase to);
    void Enter(Phase to);
    bool LoggedInNow() const { return phase_ == Phase::LoggedIn; }
    Phase phase_ = Phase::Idle;
    bool utf8_ = false;
    bool offerSeen_ = false;
    bool peerOffersUtf8_ = false;
    bool requestSeen_ = false;
    bool peerOffersTls_ = false;
    bool peerOffersReasons_ = false;
    // The caller asked to be told why it is refused (answerer), or we asked (caller).
    bool reasonsWanted_ = false;
    bool secure_ = false;
    TlsPolicy policy_;
    QString peer_;
    std::int32_t lastLineCrc_ = 0;
    qint64 Now() const;

    Clock clock_;
    LoginGuard ownGuard_;
    LoginGuard* guard_ = &ownGuard_;
    qint64 deadlineAt_ = 0;
    QTimer deadline_;
    // A login from an address that is held back waits here until its time comes.
    QTimer hold_;
    // Bodies before login that are none of the login's.
    int unknownBodies_ = 0;
    QByteArray heldPassword_;
    // This login's place in the queue while logins are judged one a second; 0 when none.
    quint64 ticket_ = 0;
    QByteArray backlog_;
    bool numbering_ = false;
    bool authSeen_ = false;
    qint64 lastIn_ = 0;
    // The number the next chat line of the peer's carries (SEQ); 0 when none was said.
    qint64 nextIn_ = 0;
};
