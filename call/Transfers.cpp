#include "Transfers.h"

#include "FileNames.h"
#include "TransferJob.h"

#include "protocol/NetCodec.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStorageInfo>

#include <algorithm>

using namespace transfer;

namespace {

// A copy that calls itself holds each transfer twice, once each way.
QByteArray HolderKey(const Transfer& t) {
    return t.id + (t.way == Transfer::Way::Out ? ">" : "<");
}

const std::pair<Transfer::Reason, const char*> kWords[] = {
    {Transfer::Reason::Declined, "declined"},
    {Transfer::Reason::DiskFull, "disk full"},
    {Transfer::Reason::Cancelled, "cancelled"},
    {Transfer::Reason::SourceChanged, "changed at the source"},
    {Transfer::Reason::Damaged, "damaged"},
    {Transfer::Reason::TooMany, "too many offers"},
    {Transfer::Reason::Unreadable, "unreadable"},
    {Transfer::Reason::NotWritable, "cannot be written"},
};

Transfer::Reason FromWord(const QByteArray& word) {
    for (const auto& [reason, text] : kWords) {
        if (word == text) {
            return reason;
        }
    }
    return Transfer::Reason::Cancelled;
}

qint64 Number(const QByteArray& text) {
    bool ok = false;
    const qint64 n = text.toLongLong(&ok);
    return ok && n >= 0 && n <= kMaxSize ? n : -1;
}

bool IsId(const QByteArray& id) {
    return id.size() == Transfers::kIdSize && std::all_of(id.begin(), id.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

} // namespace


Transfers::Transfers(const TransferPlaces* places, Wire wire, QObject* parent)
    : QObject(parent), places_(places), wire_(std::move(wire)) {
    work_.setSingleShot(true);
    work_.setInterval(0);
    connect(&work_, &QTimer::timeout, this, &Transfers::Work);
    clock_.start();
}

Transfers::~Transfers() {
    for (const auto& job : std::as_const(jobs_)) {
        job->file.close();
        if (places_ != nullptr && places_->holders.value(HolderKey(*job)) == this) {
            places_->holders.remove(HolderKey(*job));
        }
    }
}

void Transfers::Hold(const Job& job) {
    if (places_ == nullptr) {
        return;
    }
    Transfers*& holder = places_->holders[HolderKey(job)];
    if (holder != nullptr && holder != this) {
        holder->Forget(job.id);
    }
    holder = this;
}

bool Transfers::HeldElsewhere(const Transfer& kept) const {
    const Transfers* holder =
        places_ != nullptr ? places_->holders.value(HolderKey(kept)) : nullptr;
    const QByteArray& id = kept.id;
    if (holder == nullptr || holder == this) {
        return false;
    }
    const Transfer* there = holder->Find(id);
    return there != nullptr && there->state != Transfer::State::Paused &&
           there->state != Transfer::State::Queued;
}

void Transfers::Forget(const QByteArray& id) {
    const auto job = jobs_.take(id);
    if (job != nullptr) {
        job->file.close();
        order_.removeAll(id);
        emit Removed(id);
    }
}

QByteArray Transfers::ReasonWord(Transfer::Reason reason) {
    for (const auto& [r, text] : kWords) {
        if (r == reason) {
            return text;
        }
    }
    return {};
}

const Transfer* Transfers::Find(const QByteArray& id) const {
    const auto it = jobs_.constFind(id);
    return it == jobs_.constEnd() ? nullptr : it->get();
}

Transfers::Job* Transfers::Get(const QByteArray& id) {
    const auto it = jobs_.find(id);
    return it == jobs_.end() ? nullptr : it->get();
}

Transfers::Job* Transfers::ByRawId(const QByteArray& raw) {
    return Get(raw.toHex());
}

int Transfers::Count(Transfer::State state, Transfer::Way way) const {
    return static_cast<int>(std::count_if(jobs_.begin(), jobs_.end(), [&](const auto& job) {
        return job->state == state && job->way == way;
    }));
}

void Transfers::ChangedNow(Job& job) {
    job.shownAt = clock_.elapsed();
    emit Changed(job.id);
}

// ---------------------------------------------------------------------------------------
// The user's side

QByteArray Transfers::Send(const QString& path, bool picture) {
    const QFileInfo info(path);
    if (!Available() || !info.isFile() || !info.isReadable()) {
        return {};
    }
    auto job = std::make_shared<Job>();
    const quint64 random = QRandomGenerator::system()->generate64();
    job->raw = Offset8(static_cast<qint64>(random & 0x7FFFFFFFFFFFFFFFULL));
    job->raw[7] = static_cast<char>(QRandomGenerator::system()->bounded(256));
    job->id = job->raw.toHex();
    job->way = Transfer::Way::Out;
    job->name = info.fileName();
    job->size = info.size();
    job->modified = info.lastModified().toMSecsSinceEpoch();
    job->picture = picture;
    job->path = info.absoluteFilePath();
    job->state = Transfer::State::Queued;
    jobs_.insert(job->id, job);
    order_.append(job->id);
    Hold(*job);
    Keep(*job);
    emit Added(job->id);
    OfferQueued();
    return job->id;
}

void Transfers::OfferQueued() {
    const QList<QByteArray> ids = order_;
    for (const QByteArray& id : ids) {
        Job* job = Get(id);
        if (job == nullptr) {
            continue;
        }
        const int busy = Count(Transfer::State::Offered, Transfer::Way::Out) +
                         Count(Transfer::State::Running, Transfer::Way::Out) +
                         Count(Transfer::State::Preparing, Transfer::Way::Out);
        if (!Available() || busy >= kMaxWaitingOffers) {
            return;
        }
        if (job->way == Transfer::Way::Out && job->state == Transfer::State::Queued) {
            Offer(*job);
        }
    }
}

void Transfers::Offer(Job& job) {
    // A source that changed since it was first offered goes again from its start, with what
    // it is now: the receiver sees the new size and time and starts over.
    const QFileInfo info(job.path);
    if (!info.isFile()) {
        End(job, Transfer::Reason::Unreadable, true);
        return;
    }
    job.size = info.size();
    job.modified = info.lastModified().toMSecsSinceEpoch();
    job.state = Transfer::State::Offered;
    wire_.send(CmdFile, "OFFER " + job.id + ' ' + QByteArray::number(job.size) + ' ' +
                            QByteArray::number(job.modified) + ' ' +
                            (job.picture ? "picture " : "file ") + job.name.toUtf8());
    ChangedNow(job);
}

void Transfers::Accept(const QByteArray& id) {
    Job* job = Get(id);
    if (job == nullptr || job->way != Transfer::Way::In || job->state != Transfer::State::Asked) {
        return;
    }
    job->userAccepted = true;
    if (!Available()) {
        return; // the peer offers it again when the call is back
    }
    const QDir dir(places_ != nullptr ? places_->downloads : QString());
    if (places_ == nullptr || !QDir().mkpath(dir.absolutePath())) {
        End(*job, Transfer::Reason::NotWritable, true);
        return;
    }
    const QStorageInfo disk(dir.absolutePath());
    if (disk.bytesAvailable() < job->size) {
        End(*job, Transfer::Reason::DiskFull, true);
        return;
    }
    if (Count(Transfer::State::Running, Transfer::Way::In) +
            Count(Transfer::State::Preparing, Transfer::Way::In) >=
        kMaxRunning) {
        return; // waits for a place; Schedule takes it up
    }
    job->path = dir.filePath(files::FreeName(dir.absolutePath(), job->name) + ".part");
    if (!OpenPart(*job, true)) {
        return;
    }
    Keep(*job);
    Start(*job, 0);
    wire_.send(CmdFile, "ACCEPT " + job->id + " 0");
}

void Transfers::Decline(const QByteArray& id) {
    Job* job = Get(id);
    if (job != nullptr && job->state == Transfer::State::Asked) {
        End(*job, Transfer::Reason::Declined, true);
    }
}

void Transfers::Cancel(const QByteArray& id) {
    Job* job = Get(id);
    if (job != nullptr && !Final(job->state)) {
        End(*job, Transfer::Reason::Cancelled, true);
    }
}

bool Transfers::OpenPart(Job& job, bool fresh) {
    job.file.close();
    job.file.setFileName(job.path);
    // A new .part never opens a file that is there already; it has no execute bits.
    const auto mode = fresh ? QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered
                            : QIODevice::ReadWrite | QIODevice::Unbuffered;
    if (!job.file.open(mode)) {
        End(job, Transfer::Reason::NotWritable, true);
        return false;
    }
    job.file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                            QFileDevice::ReadGroup | QFileDevice::ReadOther);
    return true;
}

// ---------------------------------------------------------------------------------------
// The call's side

void Transfers::LinkUp(const QString& peer) {
    if (!peer_.isEmpty() && peer != peer_) {
        // Another peer on this call: what waited for the last one stays kept for it.
        for (const auto& job : std::as_const(jobs_)) {
            if (!Final(job->state)) {
                job->file.close();
                job->state = Transfer::State::Failed;
                job->reason = Transfer::Reason::Cancelled;
                emit Finished(job->id);
            }
        }
    }
    peer_ = peer;
    up_ = true;
    RestoreKept();
}

void Transfers::PeerTakesFiles() {
    if (!up_) {
        return;
    }
    peerTakes_ = true;
    emit AvailabilityChanged();
    for (const QByteArray& id : std::as_const(order_)) {
        Job* job = Get(id);
        if (job->way == Transfer::Way::Out && job->state == Transfer::State::Paused) {
            job->state = Transfer::State::Queued;
        }
    }
    OfferQueued();
}

void Transfers::LinkDown() {
    const bool was = Available();
    up_ = false;
    peerTakes_ = false;
    for (const auto& job : std::as_const(jobs_)) {
        const auto s = job->state;
        if (s == Transfer::State::Offered || s == Transfer::State::Running ||
            s == Transfer::State::Preparing || s == Transfer::State::Checking) {
            job->file.close();
            job->state = Transfer::State::Paused;
            job->rate = 0;
            ChangedNow(*job);
        }
    }
    if (was) {
        emit AvailabilityChanged();
    }
}

void Transfers::TakeOver(Transfers& lost) {
    for (const QByteArray& id : std::as_const(lost.order_)) {
        const auto job = lost.jobs_.value(id);
        if (Final(job->state) || jobs_.contains(id)) {
            continue;
        }
        job->file.close();
        job->state =
            job->state == Transfer::State::Asked ? Transfer::State::Asked : Transfer::State::Paused;
        jobs_.insert(id, job);
        order_.append(id);
        if (places_ != nullptr) {
            places_->holders.insert(HolderKey(*job), this);
        }
        emit Added(id);
    }
    lost.jobs_.clear();
    lost.order_.clear();
    if (Available()) {
        PeerTakesFiles();
    }
}

void Transfers::Writable() {
    if (Available()) {
        Pump();
    }
}

void Transfers::Receive(std::uint8_t cmd, const QByteArray& body, bool intact) {
    if (!intact) {
        // A file message that failed its checksum: whatever it carried is lost, and what
        // runs cannot go on without a gap.
        for (const auto& job : std::as_const(jobs_)) {
            if (job->state == Transfer::State::Running) {
                End(*job, Transfer::Reason::Damaged, true);
            }
        }
        return;
    }
    if (cmd == CmdFile) {
        Control(body);
    } else if (cmd == CmdFileData) {
        Data(body);
    }
}

void Transfers::Control(const QByteArray& body) {
    const QList<QByteArray> w = body.split(' ');
    if (w.size() < 2 || !IsId(w.at(1))) {
        return;
    }
    const QByteArray& verb = w.at(0);
    const QByteArray& id = w.at(1);
    Job* job = Get(id);
    if (verb == "OFFER" && w.size() >= 6) {
        Transfer offer;
        offer.size = Number(w.at(2));
        offer.modified = Number(w.at(3));
        offer.picture = w.at(4) == "picture";
        // The name is the rest, spaces and all.
        const qsizetype at =
            w.at(0).size() + w.at(1).size() + w.at(2).size() + w.at(3).size() + w.at(4).size() + 5;
        offer.name = files::CleanName(QString::fromUtf8(body.mid(at, 1024)));
        if (offer.size < 0 || offer.modified < 0) {
            return;
        }
        if (job != nullptr) {
            if (job->way != Transfer::Way::In) {
                return;
            }
            if (job->state == Transfer::State::Done) {
                wire_.send(CmdFile, "HAVE " + id);
            } else if (job->state == Transfer::State::Failed) {
                wire_.send(CmdFile, "CANCEL " + id + ' ' + ReasonWord(job->reason));
            } else if (job->state == Transfer::State::Paused || job->userAccepted) {
                ResumeIncoming(*job, offer);
            }
            return;
        }
        if (Count(Transfer::State::Asked, Transfer::Way::In) >= kMaxWaitingOffers) {
            wire_.send(CmdFile, "CANCEL " + id + ' ' + ReasonWord(Transfer::Reason::TooMany));
            return;
        }
        auto fresh = std::make_shared<Job>();
        static_cast<Transfer&>(*fresh) = offer;
        fresh->id = id;
        fresh->raw = QByteArray::fromHex(id);
        fresh->way = Transfer::Way::In;
        fresh->state = Transfer::State::Asked;
        jobs_.insert(id, fresh);
        order_.append(id);
        Hold(*fresh);
        emit Added(id);
        return;
    }
    if (job == nullptr || Final(job->state)) {
        return;
    }
    const bool out = job->way == Transfer::Way::Out;
    if (verb == "ACCEPT" && out && w.size() == 3 &&
        (job->state == Transfer::State::Offered || job->state == Transfer::State::Paused)) {
        const qint64 offset = Number(w.at(2));
        if (offset < 0 || offset > job->size) {
            End(*job, Transfer::Reason::Damaged, true);
            return;
        }
        job->file.close();
        job->file.setFileName(job->path);
        if (!job->file.open(QIODevice::ReadOnly)) {
            End(*job, Transfer::Reason::Unreadable, true);
            return;
        }
        Start(*job, offset);
    } else if (verb == "ACK" && out && w.size() == 3) {
        const qint64 offset = Number(w.at(2));
        if (offset >= job->done && offset <= job->next) {
            MeasureAck(*job, offset);
            Pump();
        }
    } else if (verb == "DONE" && !out && w.size() == 3) {
        Land(*job, w.at(2));
    } else if (verb == "HAVE" && out &&
               (job->state == Transfer::State::Checking ||
                job->state == Transfer::State::Offered)) {
        job->done = job->size;
        Finish(*job);
    } else if (verb == "CANCEL" && w.size() >= 3) {
        End(*job, FromWord(body.mid(verb.size() + id.size() + 2)), false);
    }
}

void Transfers::Start(Job& job, qint64 offset) {
    job.sha.Reset();
    job.hashed = 0;
    job.hashTarget = offset;
    job.done = offset;
    job.next = offset;
    job.unacked = 0;
    job.sentAt.clear();
    job.progress.clear();
    job.state = offset > 0 ? Transfer::State::Preparing : Transfer::State::Running;
    if (job.way == Transfer::Way::In) {
        // Only when it changes anything: a file cut to nothing and written anew is flushed
        // to the disk at its close by some file systems, which would stall the window there.
        if (job.file.size() != offset) {
            job.file.resize(offset);
        }
        job.file.seek(offset);
    }
    ChangedNow(job);
    Schedule();
}

void Transfers::ResumeIncoming(Job& job, const Transfer& offer) {
    const bool same = offer.size == job.size && offer.modified == job.modified;
    job.size = offer.size;
    job.modified = offer.modified;
    job.reason = Transfer::Reason::None;
    if (!job.path.endsWith(QLatin1String(".part")) || !QFileInfo::exists(job.path)) {
        // Accepted while the call was away, or its .part is gone: from the start.
        job.state = Transfer::State::Asked;
        Accept(job.id);
        return;
    }
    if (!OpenPart(job, false)) {
        return;
    }
    // What the file holds was flushed before the acknowledgements said so; a changed
    // source makes it worthless.
    const qint64 have = same ? std::min(job.file.size(), job.size) : 0;
    Keep(job);
    Start(job, have);
    if (have == 0) {
        wire_.send(CmdFile, "ACCEPT " + job.id + " 0");
    }
}
