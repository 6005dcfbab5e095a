// This user's key and certificate for secure calls, and the keys of the people they talk to.
// The key pair is made once with libcrypto (Qt cannot make keys) and from then on is used only
// through Qt. A key file that cannot be read is never replaced: secure calls are off instead.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonArray>
#include <QList>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QString>
#include <QStringList>

// What went wrong with the key file or the pinned keys, as a value the windows put in words.
struct KeyTrouble {
    enum Kind {
        None,
        NoKeyMade,     // no key could be made for `path`
        KeyUnwritable, // the new key file `path` could not be written
        KeyUnreadable, // the key file `path` cannot be read: `detail`
        KeyUnusable,   // `path` holds no key and certificate that can be used
        PinsRestored,  // the pins in `path` were damaged; the backup `detail` was used
        PinsLost,      // the pins in `path` and their backup `detail` are damaged
        PinsNotSaved,  // the pins could not be saved to `path`: `detail`
    };
    Kind kind = None;
    QString path{};
    QString detail{};
    bool isEmpty() const { return kind == None; }
};

// Makes a new ECDSA P-256 key and a self-signed certificate valid 30 years, both as PEM.
// Empty on failure.
QByteArray MakeIdentityPem();

class Identity {
public:
    // The file under $XDG_DATA_HOME/Palaver/ where this user's key lives.
    static QString DefaultPath();

    // Reads the identity at `path`, making it first when there is no file at all.
    // Anything else that goes wrong leaves the file alone and the identity unusable.
    void Load(const QString& path);
    bool Usable() const { return !key_.isNull() && !certificate_.isNull(); }
    // Why the identity cannot be used, naming the file.
    const KeyTrouble& Error() const { return error_; }
    const QString& Path() const { return path_; }
    const QSslKey& Key() const { return key_; }
    const QSslCertificate& Certificate() const { return certificate_; }
    // SHA-256 of the public key (SubjectPublicKeyInfo), raw.
    QByteArray Fingerprint() const;

    // SHA-256 of a certificate's SubjectPublicKeyInfo; empty for a null certificate.
    static QByteArray FingerprintOf(const QSslCertificate& certificate);
    // A fingerprint as users read it: hex in groups of four.
    static QString ShowFingerprint(const QByteArray& fingerprint);
    // Digits two people compare over the phone: the same on both ends, whichever side
    // computes them, in twelve groups of five.
    static QString SafetyNumber(const QByteArray& ours, const QByteArray& theirs);

private:
    QString path_;
    KeyTrouble error_;
    QSslKey key_;
    QSslCertificate certificate_;
};

// Someone this user talked to securely: known by the key, never by a nickname alone.
struct Contact {
    QByteArray key;        // the fingerprint, raw
    QString name;          // first the nickname it came with, then what the user calls it
    QStringList addresses; // "host:port" it answered or was announced at, newest first
    qint64 lastSeen = 0;   // ms since the epoch
};

// The keys this user has met: pinned per address called, recorded per caller's nickname,
// and the ones the user compared and marked verified. Kept in a file of the user's own.
class KeyStore {
public:
    static QString DefaultPath();
    // "host:port" with the host in one canonical form, so one peer gets one pin.
    static QString NormalAddress(const QString& host, int port);

    // Caller entries kept at most; the one seen longest ago goes first, never one whose key
    // the user verified. Pins are made only by the user's own calls and are never dropped.
    static constexpr int kMaxCallers = 500;
    // What of a nickname is kept: more than anyone types, far less than a flood.
    static constexpr int kMaxNameChars = 256;

    // Reads `path`, or the backup of the last good file beside it when `path` is damaged; a
    // missing file is an empty store. False (and Error) when neither reads: the store is then
    // Damaged and keeps nothing on disk.
    bool Load(const QString& path);
    const KeyTrouble& Error() const { return error_; }
    // Pins were kept but cannot be read: no address may be taken as new.
    bool Damaged() const { return damaged_; }
    QString BackupPath() const;

    QByteArray PinFor(const QString& address) const { return pins_.value(address); }
    void Pin(const QString& address, const QByteArray& fingerprint);
    QByteArray CallerKey(const QString& nickname) const {
        return callers_.value(nickname.left(kMaxNameChars));
    }
    void RecordCaller(const QString& nickname, const QByteArray& fingerprint);
    bool Verified(const QByteArray& fingerprint) const { return verified_.contains(fingerprint); }
    void SetVerified(const QByteArray& fingerprint);
    // An address or nickname this key is already known under, or empty.
    QString KnownAs(const QByteArray& fingerprint) const;

    // Contacts, kept in the same file. Made by the first secure login with a key; the
    // oldest unverified one goes when there are too many.
    static constexpr int kMaxContacts = 1000;
    static constexpr int kMaxAddresses = 8;
    const QList<Contact>& Contacts() const { return contacts_; }
    const Contact* ContactOf(const QByteArray& key) const;
    // A secure login with `key` from someone called `nickname`, reached at `address` (empty
    // when unknown): the contact is made, or its address moves to the front. True when new.
    bool Meet(const QByteArray& key, const QString& nickname, const QString& address, qint64 now);
    // A contact answered with its key at `address`; nothing for a key that is no contact.
    void Seen(const QByteArray& key, const QString& address, qint64 now);
    bool Rename(const QByteArray& key, const QString& name);
    // The contact goes, and with it every pin, caller entry and verification of its key.
    void Forget(const QByteArray& key);

private:
    bool Parse(const QByteArray& json);
    void ParseContacts(const QJsonArray& from);
    QJsonArray ContactsJson() const;
    void Save();

    QString path_;
    KeyTrouble error_;
    bool writable_ = false;
    bool damaged_ = false;
    // The file as it is on disk, to become the backup when the next save replaces it.
    QByteArray onDisk_;
    QHash<QString, QByteArray> pins_;
    QHash<QString, QByteArray> callers_;
    QStringList order_; // callers' nicknames, seen longest ago first
    QList<QByteArray> verified_;
    QList<Contact> contacts_;
};
