#include "Identity.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

#include "platform/PrivateFile.h"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <filesystem>
#include <memory>

namespace {

template <auto Free> struct Deleter {
    template <typename T> void operator()(T* p) const { Free(p); }
};
using PKey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Deleter<X509_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO_free>>;
using Bn = std::unique_ptr<BIGNUM, Deleter<BN_free>>;

constexpr long kThirtyYears = 10958L * 24 * 3600; // leap days included
// Nothing a user keeps here comes near this; a larger file is not ours.
constexpr qint64 kMaxFileSize = 4 * 1024 * 1024;

QString DataDir() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/Palaver");
}

} // namespace

QByteArray MakeIdentityPem() {
    PKey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    Cert cert(X509_new());
    Bn serial(BN_new());
    if (!key || !cert || !serial ||
        BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1 ||
        BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get())) == nullptr ||
        X509_set_version(cert.get(), 2) != 1 ||
        X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0) == nullptr ||
        X509_gmtime_adj(X509_getm_notAfter(cert.get()), kThirtyYears) == nullptr ||
        X509_set_pubkey(cert.get(), key.get()) != 1) {
        return {};
    }
    X509_NAME* name = X509_get_subject_name(cert.get());
    const auto* cn = reinterpret_cast<const unsigned char*>("Palaver user");
    if (X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, cn, -1, -1, 0) != 1 ||
        X509_set_issuer_name(cert.get(), name) != 1 ||
        X509_sign(cert.get(), key.get(), EVP_sha256()) == 0) {
        return {};
    }
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio ||
        PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) !=
            1 ||
        PEM_write_bio_X509(bio.get(), cert.get()) != 1) {
        return {};
    }
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return size > 0 ? QByteArray(data, static_cast<qsizetype>(size)) : QByteArray();
}

// ---------------------------------------------------------------------------------------

QString Identity::DefaultPath() {
    return DataDir() + QStringLiteral("/identity.pem");
}

void Identity::Load(const QString& path) {
    path_ = path;
    error_ = {};
    key_ = QSslKey();
    certificate_ = QSslCertificate();
    if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink()) {
        const QByteArray pem = MakeIdentityPem();
        if (pem.isEmpty()) {
            error_ = {KeyTrouble::NoKeyMade, path};
            return;
        }
        if (!platform::WritePrivateFile(path, pem, false)) {
            error_ = {KeyTrouble::KeyUnwritable, path};
            return;
        }
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error_ = {KeyTrouble::KeyUnreadable, path, file.errorString()};
        return;
    }
    const QByteArray pem = file.read(kMaxFileSize);
    QSslKey key(pem, QSsl::Ec, QSsl::Pem, QSsl::PrivateKey);
    const QList<QSslCertificate> certs = QSslCertificate::fromData(pem, QSsl::Pem);
    if (key.isNull() || certs.isEmpty() || certs.first().isNull()) {
        error_ = {KeyTrouble::KeyUnusable, path};
        return;
    }
    key_ = key;
    certificate_ = certs.first();
}

QByteArray Identity::Fingerprint() const {
    return FingerprintOf(certificate_);
}

QByteArray Identity::FingerprintOf(const QSslCertificate& certificate) {
    if (certificate.isNull()) {
        return {};
    }
    const QByteArray spki = certificate.publicKey().toDer();
    return spki.isEmpty() ? QByteArray()
                          : QCryptographicHash::hash(spki, QCryptographicHash::Sha256);
}

QString Identity::ShowFingerprint(const QByteArray& fingerprint) {
    const QString hex = QString::fromLatin1(fingerprint.toHex().toUpper());
    QStringList groups;
    for (qsizetype i = 0; i < hex.size(); i += 4) {
        groups << hex.mid(i, 4);
    }
    return groups.join(QLatin1Char(' '));
}

QString Identity::SafetyNumber(const QByteArray& ours, const QByteArray& theirs) {
    const bool oursFirst = ours < theirs;
    const QByteArray digest = QCryptographicHash::hash(oursFirst ? ours + theirs : theirs + ours,
                                                       QCryptographicHash::Sha512);
    QStringList groups;
    for (int g = 0; g < 12; ++g) {
        quint64 n = 0;
        for (int b = 0; b < 5; ++b) {
            n = (n << 8) | static_cast<quint8>(digest.at(g * 5 + b));
        }
        groups << QStringLiteral("%1").arg(n % 100000, 5, 10, QLatin1Char('0'));
    }
    return groups.join(QLatin1Char(' '));
}

// ---------------------------------------------------------------------------------------

QString KeyStore::DefaultPath() {
    return DataDir() + QStringLiteral("/keys.json");
}

QString KeyStore::NormalAddress(const QString& host, int port) {
    QString h = host.trimmed();
    if (h.startsWith(QLatin1Char('[')) && h.endsWith(QLatin1Char(']'))) {
        h = h.mid(1, h.size() - 2);
    }
    QHostAddress address;
    if (address.setAddress(h)) {
        bool isV4 = false;
        const quint32 v4 = address.toIPv4Address(&isV4);
        if (isV4) {
            return QHostAddress(v4).toString() + QStringLiteral(":") + QString::number(port);
        }
        return QStringLiteral("[") + address.toString() + QStringLiteral("]:") +
               QString::number(port);
    }
    while (h.endsWith(QLatin1Char('.'))) {
        h.chop(1);
    }
    return h.toLower() + QStringLiteral(":") + QString::number(port);
}

bool KeyStore::Parse(const QByteArray& json) {
    QJsonParseError parse{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parse);
    if (parse.error != QJsonParseError::NoError || !doc.isObject()) {
        return false;
    }
    const auto read = [](const QJsonObject& from, QHash<QString, QByteArray>& into) {
        for (auto it = from.begin(); it != from.end(); ++it) {
            const QByteArray fp = QByteArray::fromHex(it.value().toString().toLatin1());
            if (fp.size() == 32) {
                into.insert(it.key(), fp);
            }
        }
    };
    read(doc.object().value(QStringLiteral("pins")).toObject(), pins_);
    read(doc.object().value(QStringLiteral("callers")).toObject(), callers_);
    for (const QJsonValue& v : doc.object().value(QStringLiteral("verified")).toArray()) {
        const QByteArray fp = QByteArray::fromHex(v.toString().toLatin1());
        if (fp.size() == 32 && !verified_.contains(fp)) {
            verified_ << fp;
        }
    }
    // Oldest first; a file from before the order was kept lists none, and its callers come
    // first in the order of their names.
    for (const QJsonValue& v : doc.object().value(QStringLiteral("callerOrder")).toArray()) {
        const QString name = v.toString();
        if (callers_.contains(name) && !order_.contains(name)) {
            order_ << name;
        }
    }
    QStringList unordered;
    for (auto it = callers_.begin(); it != callers_.end(); ++it) {
        if (!order_.contains(it.key())) {
            unordered << it.key();
        }
    }
    unordered.sort();
    order_ = unordered + order_;
    ParseContacts(doc.object().value(QStringLiteral("contacts")).toArray());
    return true;
}

bool KeyStore::Load(const QString& path) {
    path_ = path;
    error_ = {};
    writable_ = false;
    damaged_ = false;
    onDisk_.clear();
    const auto forget = [this] {
        pins_.clear();
        callers_.clear();
        order_.clear();
        verified_.clear();
        contacts_.clear();
    };
    forget();
    const auto readFile = [](const QString& name, QByteArray* into) {
        QFile file(name);
        if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxFileSize) {
            return false;
        }
        *into = file.read(kMaxFileSize);
        return true;
    };
    const QString backup = BackupPath();
    if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink() && !QFileInfo::exists(backup)) {
        writable_ = true;
        return true;
    }
    QByteArray bytes;
    if (readFile(path, &bytes) && Parse(bytes)) {
        onDisk_ = bytes;
        writable_ = true;
        return true;
    }
    forget();
    // The last good file is kept beside it: a damaged store never means "no pins".
    if (readFile(backup, &bytes) && Parse(bytes)) {
        onDisk_ = bytes;
        writable_ = true;
        error_ = {KeyTrouble::PinsRestored, path, backup};
        Save();
        return true;
    }
    forget();
    damaged_ = true;
    error_ = {KeyTrouble::PinsLost, path, backup};
    return false;
}

QString KeyStore::BackupPath() const {
    return path_ + QStringLiteral(".bak");
}

void KeyStore::Pin(const QString& address, const QByteArray& fingerprint) {
    pins_.insert(address, fingerprint);
    Save();
}

void KeyStore::RecordCaller(const QString& nickname, const QByteArray& fingerprint) {
    const QString name = nickname.left(kMaxNameChars);
    callers_.insert(name, fingerprint);
    order_.removeOne(name);
    order_ << name;
    // Full: the caller seen longest ago goes, unless the user verified its key.
    for (qsizetype k = 0; callers_.size() > kMaxCallers && k < order_.size();) {
        if (verified_.contains(callers_.value(order_[k]))) {
            ++k;
            continue;
        }
        callers_.remove(order_.takeAt(k));
    }
    Save();
}

void KeyStore::SetVerified(const QByteArray& fingerprint) {
    if (!verified_.contains(fingerprint)) {
        verified_ << fingerprint;
        Save();
    }
}

QString KeyStore::KnownAs(const QByteArray& fingerprint) const {
    QStringList names;
    for (auto it = pins_.begin(); it != pins_.end(); ++it) {
        if (it.value() == fingerprint) {
            names << it.key();
        }
    }
    for (auto it = callers_.begin(); it != callers_.end(); ++it) {
        if (it.value() == fingerprint) {
            names << it.key();
        }
    }
    names.sort();
    return names.isEmpty() ? QString() : names.first();
}

void KeyStore::Save() {
    if (!writable_ || path_.isEmpty()) {
        return;
    }
    const auto write = [](const QHash<QString, QByteArray>& from) {
        QJsonObject out;
        for (auto it = from.begin(); it != from.end(); ++it) {
            out.insert(it.key(), QString::fromLatin1(it.value().toHex()));
        }
        return out;
    };
    QJsonArray verified;
    for (const QByteArray& fp : verified_) {
        verified.append(QString::fromLatin1(fp.toHex()));
    }
    QJsonObject root;
    root.insert(QStringLiteral("pins"), write(pins_));
    root.insert(QStringLiteral("callers"), write(callers_));
    root.insert(QStringLiteral("callerOrder"), QJsonArray::fromStringList(order_));
    root.insert(QStringLiteral("verified"), verified);
    root.insert(QStringLiteral("contacts"), ContactsJson());
    const QByteArray bytes = QJsonDocument(root).toJson();
    QString why;
    // The file as it was becomes the backup before the new one replaces it.
    if ((!onDisk_.isEmpty() && !platform::WritePrivateFile(BackupPath(), onDisk_, true, &why)) ||
        !platform::WritePrivateFile(path_, bytes, true, &why)) {
        error_ = {KeyTrouble::PinsNotSaved, path_, why};
        return;
    }
    onDisk_ = bytes;
}
