// The program's calls without any window: the listening sockets, the pool of calls still to
// log in, every call (each numbered) and the conferences. Windows, the history and the
// notifications all listen here; nothing here ever sees a widget.
#pragma once

#include "Call.h"
#include "Conference.h"
#include "LoginPool.h"

#include "platform/TcpSocket.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <map>
#include <memory>

class Switchboard : public QObject {
    Q_OBJECT
public:
    explicit Switchboard(QObject* parent = nullptr);
    ~Switchboard() override;

    // The limits every new call gets.
    CallLimits limits;

    struct Started {
        bool ok = false;
        int errorNumber = 0;
        QString error;
        QString where; // "address:port" while listening
    };
    // Listening for `owner` (a window slot; in normal use only the switchboard's) on `port`.
    // One attempt: a failure is reported, never retried.
    Started StartServer(int owner, int port);
    // Stops listening; returns where it listened, or empty when it was not.
    QString StopServer(int owner);
    // Closes the listening socket without a word (its window is going).
    void CloseServer(int owner) {
        servers_.erase(owner);
        emit ServerChanged(owner);
    }
    int ServerState(int owner) const;
    QString ServerIP(int owner) const;
    int ServerPort(int owner) const;

    // An idle call owned here, with an id of its own.
    Call* NewCall();
    // Ends the call without a word and lets it go.
    void Release(Call* call);
    Conference* NewConference();
    void Release(Conference* conference);
    Call* Find(quint64 id) const;
    QList<Call*> Calls() const;
    // The conference `call` is a member of, or null.
    Conference* ConferenceOf(const Call* call) const;

    // "Conference members hear each other", for every conference now and later.
    bool MembersHearEachOther() const { return hearEachOther_; }
    void SetMembersHearEachOther(bool on);

    // Secure calls from now on, with this user's identity and pinned keys at these paths
    // (the identity is made when there is none). False, with SecurityTrouble saying why and
    // where, when the identity cannot be used: calls then go on in plain text.
    bool EnableSecurity(const QString& identityPath = Identity::DefaultPath(),
                        const QString& keysPath = KeyStore::DefaultPath());
    // Shared by every call, those made before EnableSecurity too; offers nothing until then.
    Security* SecurityState() { return &security_; }
    // "Offer and accept secure calls" and "Only secure calls".
    void SetSecureCalls(bool offer, bool only) {
        security_.offer = offer;
        security_.only = only;
    }

    // The limits with the security every new call shares.
    CallLimits CallLimitsNow();
    // Calls answered but not logged in yet.
    LoginPool& Pending() { return pool_; }
    // Wrong login passwords counted across every call this switchboard answers.
    LoginGuard& Logins() { return logins_; }
    // Closes and forgets everything (the end of the program, and tests starting afresh).
    void Reset();

signals:
    // `owner`'s server started or stopped listening.
    void ServerChanged(int owner);
    // Every call, the moment it belongs here (placed calls when made, answered ones once
    // logged in).
    void CallAdded(Call* call);
    void ConferenceAdded(Conference* conference);
    // An answered call has logged in; `owner` is the slot whose server took it.
    void CallArrived(Call* call, int owner);
    void Debug(const CallReport& report);
    // What a call still logging in reported, for the debug log.
    void CallReported(const CallReport& report);
    // For the switchboard's log: calls closed before they logged in.
    void Report(const PoolReport& report);
    // For the switchboard's log: the key or the pinned keys cannot be used (`text` says how).
    void SecurityTrouble(const KeyTrouble& trouble);
    void HeldBack(const QString& address);
    void ManyWrongLogins();

private:
    void ConnectionRequest(int owner, int requestID);
    void Adopt(Call* call);
    platform::TcpSocket* Server(int owner) const;

    LoginGuard logins_;
    LoginPool pool_;
    std::map<int, std::unique_ptr<platform::TcpSocket>> servers_;
    QList<QPointer<Call>> calls_;
    QList<QPointer<Conference>> conferences_;
    quint64 lastId_ = 0;
    bool hearEachOther_ = true;
    Security security_;
};
