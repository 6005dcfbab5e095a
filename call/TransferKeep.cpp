// What outlives a restart of a transfer: which file goes to whom, and which .part holds
// what came from whom; and the checksum both ends compute.
#include "TransferJob.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <openssl/evp.h>

// SHA-256 through libcrypto: Qt's own runs at a tenth of its speed here, and a file is
// hashed at both ends at the speed it travels.
struct Sha256::Context {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ~Context() { EVP_MD_CTX_free(ctx); }
};

Sha256::Sha256() : context_(std::make_unique<Context>()) {
    Reset();
}

Sha256::~Sha256() = default;

void Sha256::Reset() {
    EVP_DigestInit_ex(context_->ctx, EVP_sha256(), nullptr);
}

void Sha256::Add(const char* data, qsizetype size) {
    EVP_DigestUpdate(context_->ctx, data, static_cast<size_t>(size));
}

QByteArray Sha256::Hex() const {
    EVP_MD_CTX* copy = EVP_MD_CTX_new();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_MD_CTX_copy_ex(copy, context_->ctx);
    EVP_DigestFinal_ex(copy, digest, &length);
    EVP_MD_CTX_free(copy);
    return QByteArray(reinterpret_cast<const char*>(digest), static_cast<qsizetype>(length))
        .toHex();
}

namespace {

QJsonArray ReadKept(const QString& path) {
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly)) {
        return {};
    }
    // A kept list is a few entries; anything far larger is not ours.
    if (file.size() > 4 * 1024 * 1024) {
        return {};
    }
    return QJsonDocument::fromJson(file.readAll())
        .object()
        .value(QLatin1String("transfers"))
        .toArray();
}

void WriteKept(const QString& path, const QJsonArray& kept) {
    if (path.isEmpty()) {
        return;
    }
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(QJsonDocument(QJsonObject{{QLatin1String("transfers"), kept}}).toJson());
        file.commit();
    }
}

} // namespace

void Transfers::Keep(const Job& job) {
    if (places_ == nullptr) {
        return;
    }
    QJsonArray kept = ReadKept(places_->keptFile);
    for (qsizetype i = kept.size() - 1; i >= 0; --i) {
        if (kept.at(i).toObject().value(QLatin1String("id")).toString().toLatin1() == job.id) {
            kept.removeAt(i);
        }
    }
    kept.append(QJsonObject{
        {QLatin1String("id"), QString::fromLatin1(job.id)},
        {QLatin1String("way"),
         job.way == Transfer::Way::Out ? QLatin1String("out") : QLatin1String("in")},
        {QLatin1String("peer"), peer_},
        {QLatin1String("name"), job.name},
        {QLatin1String("path"), job.path},
        {QLatin1String("size"), QString::number(job.size)},
        {QLatin1String("modified"), QString::number(job.modified)},
        {QLatin1String("picture"), job.picture},
    });
    WriteKept(places_->keptFile, kept);
}

void Transfers::Unkeep(const QByteArray& id) {
    if (places_ == nullptr) {
        return;
    }
    QJsonArray kept = ReadKept(places_->keptFile);
    const qsizetype before = kept.size();
    for (qsizetype i = kept.size() - 1; i >= 0; --i) {
        if (kept.at(i).toObject().value(QLatin1String("id")).toString().toLatin1() == id) {
            kept.removeAt(i);
        }
    }
    if (kept.size() != before) {
        WriteKept(places_->keptFile, kept);
    }
}

void Transfers::RestoreKept() {
    if (places_ == nullptr) {
        return;
    }
    for (const QJsonValue& value : ReadKept(places_->keptFile)) {
        const QJsonObject o = value.toObject();
        const QByteArray id = o.value(QLatin1String("id")).toString().toLatin1();
        if (o.value(QLatin1String("peer")).toString() != peer_ || id.size() != kIdSize ||
            jobs_.contains(id)) {
            continue;
        }
        auto job = std::make_shared<Job>();
        job->id = id;
        job->raw = QByteArray::fromHex(id);
        job->way = o.value(QLatin1String("way")).toString() == QLatin1String("out")
                       ? Transfer::Way::Out
                       : Transfer::Way::In;
        if (HeldElsewhere(*job)) {
            continue;
        }
        job->name = o.value(QLatin1String("name")).toString();
        job->path = o.value(QLatin1String("path")).toString();
        job->size = o.value(QLatin1String("size")).toString().toLongLong();
        job->modified = o.value(QLatin1String("modified")).toString().toLongLong();
        job->picture = o.value(QLatin1String("picture")).toBool();
        job->state = Transfer::State::Paused;
        job->userAccepted = true;
        jobs_.insert(id, job);
        order_.append(id);
        Hold(*job);
        emit Added(id);
    }
}
