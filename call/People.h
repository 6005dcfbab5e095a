// The people this user knows, with who is here: a contact is a key, made by the first secure
// call that logs in. A contact is here while a call with it is up, while its copy is announced
// nearby and answers with its key, or for a while after a quick check of its addresses found
// it. Lines typed to a contact who is away wait, and are delivered by a call placed once it
// is here.
#pragma once

#include "Identity.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

class Call;
class Switchboard;

class People : public QObject {
    Q_OBJECT
public:
    enum class Presence { Away, Call, Nearby, Checked };
    struct Person {
        Contact contact;
        bool verified = false;
        Presence presence = Presence::Away;
        // "host:port" that answered with the key; empty when none did.
        QString reachAt;
        // Lines that wait for the contact while no call with it is up.
        int waiting = 0;
    };
    struct Announced {
        QByteArray key;
        QString address; // "host:port", IPv6 in brackets
        bool operator==(const Announced&) const = default;
    };

    // How often an absent contact may be checked, and the spread added to it.
    qint64 checkEveryMs = 3 * 60 * 1000;
    qint64 checkJitterMs = 60 * 1000;
    // How long one address may take to answer a check.
    int checkTimeoutMs = 10 * 1000;
    // At most this many of a contact's addresses are tried in one check, newest first.
    static constexpr int kAddressesTried = 4;
    // The port a caller is guessed to listen on when its contact knows none (a caller comes
    // from a port of its own); 0: a caller's address is not kept.
    int defaultPort = 0;

    explicit People(Switchboard& board, QObject* parent = nullptr);

    // Here first, then by name.
    QList<Person> List() const;
    // The copies announced nearby now, with the keys they name.
    void SetAnnounced(const QList<Announced>& announced);
    // The list is shown: absent contacts are checked now and then.
    void SetWatching(bool on);
    // Checks the contact's addresses now, unless a check is under way.
    void CheckNow(const QByteArray& key);
    bool Rename(const QByteArray& key, const QString& name);
    // Forgets the contact, its pins and the lines that wait for it.
    void Forget(const QByteArray& key);
    // A check of the contact's addresses is under way.
    bool Checking(const QByteArray& key) const { return state_.value(key).checking; }
    // The call that shows this contact: logged in, or down and waiting for it.
    Call* CallWith(const QByteArray& key) const;

signals:
    void Changed();
    // Lines wait for a contact that is here at `address` and no call would take them.
    void DeliveryWanted(const QByteArray& key, const QString& address);
    // `count` lines that waited for `name` were delivered.
    void Delivered(const QByteArray& key, const QString& name, int count);

private:
    struct State {
        Presence found = Presence::Away; // what the last check found (Nearby or Checked)
        QString at;
        // Announced addresses that did not answer with the key, and when.
        QHash<QString, qint64> failed;
        qint64 hereUntil = 0;
        qint64 nextCheck = 0;
        bool checking = false;
        Presence shown = Presence::Away; // as the list last said
        int pending = 0;                 // the most lines that waited since none did
        qint64 deliveryAsked = 0;
    };
    KeyStore& Keys() const;
    qint64 Now() const;
    qint64 Spread() const;
    void Watch(Call* call);
    void Met(Call* call);
    Call* LoggedInWith(const QByteArray& key) const;
    int WaitingFor(const QByteArray& key) const;
    Presence PresenceOf(const QByteArray& key, const State& state) const;
    void Refresh();
    void Tick();
    void Probe(const QByteArray& key, QStringList addresses, Presence why);
    void ProbeDone(const QByteArray& key, const QString& address, Presence why);

    Switchboard& board_;
    QHash<QByteArray, State> state_;
    QList<Announced> announced_;
    QTimer changed_;
    QTimer tick_;
    bool watching_ = false;
};
