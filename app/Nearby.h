// The Palaver copies the system's mDNS daemon (Avahi, over D-Bus) finds on the local network:
// one entry per running copy however many interfaces and protocols report it, this copy left
// out by its id. What an announcement says is data from strangers: cut, cleaned or dropped,
// and the list is capped.
#pragma once

#include "call/People.h"

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>

class Nearby : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxEntries = 100;
    // Announcements resolved at once; the rest wait in a queue of kMaxEntries, and what
    // comes beyond it is dropped.
    static constexpr int kMaxResolving = 8;

    struct Entry {
        QString id;
        QString nickname; // safe to show
        QString host;     // safe to show
        QString address;  // to call; an IPv6 link-local address keeps its interface
        int port = 0;
        QByteArray fingerprint;  // demanded of the call placed from here
        QSet<QString> sources;   // interface/protocol/name that reported it
        QSet<QString> addresses; // every address reported for it, at most one per family
        // Another entry claims the same id: anyone can announce anything.
        bool sharedId = false;
    };

    Nearby(const QDBusConnection& bus, QString ownId, QObject* parent = nullptr);
    // Starts browsing (again when the daemon comes back).
    void Start();
    const QList<Entry>& Entries() const { return entries_; }
    // What the entries that name a key say: that key is at that address.
    QList<People::Announced> Announced() const;

signals:
    void Changed();
    // Once: the local network cannot be searched.
    void Unavailable(const QString& why);

private slots:
    void OnItemNew(int interface, int protocol, const QString& name, const QString& type,
                   const QString& domain, uint flags);
    void OnItemRemove(int interface, int protocol, const QString& name, const QString& type,
                      const QString& domain, uint flags);

private:
    struct Item {
        int interface = 0;
        int protocol = 0;
        QString name;
        QString domain;
    };
    // Resolves what waits, a few at a time.
    void Next();
    void Resolved(const QString& source, int interface, const QList<QVariant>& reply);
    void Fail(const QString& why);
    void MarkSharedIds();

    QDBusConnection bus_;
    QDBusServiceWatcher watcher_;
    QString ownId_;
    QString browser_;
    QList<Entry> entries_;
    int resolving_ = 0;
    QList<Item> queue_; // announced, not yet resolved; capped
    bool toldUnavailable_ = false;
};
