// Shows this copy on the local network: while the server accepts calls, the service
// _palaver._tcp is published through the system's mDNS daemon (Avahi, over D-Bus), with the
// nickname, an id of this running copy, the version and the key's fingerprint in its TXT
// record. Every call to the daemon is asynchronous: a daemon that hangs never freezes a window.
#pragma once

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QObject>
#include <QString>

class Announcer : public QObject {
    Q_OBJECT
public:
    static inline const QString kService = QStringLiteral("org.freedesktop.Avahi");
    static inline const QString kServer = QStringLiteral("org.freedesktop.Avahi.Server");
    static inline const QString kType = QStringLiteral("_palaver._tcp");

    struct Wanted {
        bool on = false; // the server listens and the user wants to be shown
        int port = 0;
        QString nickname;
        QByteArray fingerprint; // raw; empty without secure calls
    };

    explicit Announcer(const QDBusConnection& bus, QObject* parent = nullptr);
    ~Announcer() override;

    // What should be published now; publishes, changes or withdraws as needed.
    void Set(const Wanted& wanted);
    // The random id of this running copy, as announced.
    const QString& Id() const { return id_; }
    // The name the service is published under (Avahi's alternative after a collision); empty
    // while nothing is published.
    const QString& PublishedName() const { return published_; }
    // The TXT record for `wanted`: key=value strings, each cut to what one record can hold.
    QList<QByteArray> Txt(const Wanted& wanted) const;

signals:
    // Published under PublishedName(), or withdrawn (empty name).
    void Changed();
    // One line for the switchboard's log when the local network cannot be reached.
    void Unavailable(const QString& why);

private slots:
    // The entry group's StateChanged signal from the daemon.
    void OnGroupState(int state, const QString& error);

private:
    void Publish();
    void Withdraw();
    void Fail(const QString& why);

    QDBusConnection bus_;
    QDBusServiceWatcher watcher_;
    Wanted wanted_;
    QString id_;
    QString name_;      // the name to publish under next
    QString published_; // what is published now
    QString group_;     // the entry group's object path; empty when none
    bool toldUnavailable_ = false;
    quint64 generation_ = 0; // answers to a withdrawn attempt are ignored
};
