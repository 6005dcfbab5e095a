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

namespace {

// A copy that calls itself holds each transfer twice, once each way.
QByteArray HolderKey(const Transfer& t) {
    return t.id + (t.way == Transfer::Way::Out ? ">" : "<");
}

// A data message: the id, the offset, then the bytes.
constexpr qsizetype kDataHead = 16;
constexpr qsizetype kChunk = kMaxBody - kDataHead;
// Bytes of an existing file hashed per turn of the event loop, so the windows stay live.
constexpr qint64 kHashSlice = 8 * 1024 * 1024;
// Progress is told at most ten times a second.
constexpr qint64 kShowEveryMs = 100;
// The largest size taken seriously: beyond it no disk holds the file anyway.
constexpr qint64 kMaxSize = qint64(1) << 50;

QByteArray Offset8(qint64 v) {
    QByteArray out(8, '\0');
    for (int i = 0; i < 8; ++i) {
        out[i] = static_cast<char>((static_cast<quint64>(v) >> (8 * i)) & 0xFF);
    }
    return out;
}

qint64 FromOffset8(const char* p) {
    quint64 v = 0;
    for (int i = 7; i >= 0; --i) {
        v = (v << 8) | static_cast<unsigned char>(p[i]);
    }
    return v > static_cast<quint64>(kMaxSize) ? -1 : static_cast<qint64>(v);
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

bool Final(Transfer::State s) {
    return s == Transfer::State::Done || s == Transfer::State::Failed;
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

void Transfers::Data(const QByteArray& body) {
    if (body.size() < kDataHead) {
        return;
    }
    Job* job = ByRawId(body.left(8));
    if (job == nullptr || job->way != Transfer::Way::In || job->state != Transfer::State::Running) {
        return;
    }
    const qint64 offset = FromOffset8(body.constData() + 8);
    const qint64 length = body.size() - kDataHead;
    if (offset != job->done || job->done + length > job->size) {
        End(*job, Transfer::Reason::Damaged, true);
        return;
    }
    const char* data = body.constData() + kDataHead;
    if (job->file.write(data, length) != length) {
        const QStorageInfo disk(QFileInfo(job->path).absolutePath());
        End(*job,
            disk.bytesAvailable() < length ? Transfer::Reason::DiskFull
                                           : Transfer::Reason::NotWritable,
            true);
        return;
    }
    job->sha.Add(data, length);
    job->done += length;
    job->unacked += length;
    if (job->unacked >= kAckEvery || job->done == job->size) {
        Ack(*job);
    }
}

void Transfers::Ack(Job& job) {
    // The file is unbuffered: what write took is the system's, and survives our end.
    job.unacked = 0;
    wire_.send(CmdFile, "ACK " + job.id + ' ' + QByteArray::number(job.done));
    MeasureAck(job, job.done);
}

void Transfers::MeasureAck(Job& job, qint64 offset) {
    const qint64 now = clock_.elapsed();
    const qint64 before = job.done;
    job.done = offset;
    job.progress.emplace_back(now, offset);
    while (job.progress.size() > 2 && job.progress.front().first < now - 3000) {
        job.progress.pop_front();
    }
    const auto& [then, was] = job.progress.front();
    if (now - then >= 200) {
        job.rate = static_cast<double>(offset - was) * 1000.0 / static_cast<double>(now - then);
    }
    if (job.way == Transfer::Way::Out) {
        // The window grows by what each acknowledgement covers (it doubles every round trip)
        // while the round trip stays near the shortest seen; once the trip grows by more than
        // a queue's worth, data waits in some buffer in front of every chat line, and the
        // window shrinks instead, at most once a round trip.
        qint64 rtt = -1;
        while (!job.sentAt.empty() && job.sentAt.front().first <= offset) {
            rtt = std::max<qint64>(now - job.sentAt.front().second, 1);
            job.sentAt.pop_front();
        }
        if (rtt > 0) {
            minRtt_ = std::min(minRtt_, rtt);
            if (rtt <= minRtt_ + kQueueMs) {
                window_ = std::min(kMaxWindow, window_ + (offset - before));
            } else if (rtt > minRtt_ + 2 * kQueueMs && now - cutAt_ > rtt) {
                window_ = std::max(kMinWindow, window_ * 3 / 4);
                cutAt_ = now;
            }
        }
    }
    if (now - job.shownAt >= kShowEveryMs) {
        ChangedNow(job);
    }
}

void Transfers::Land(Job& job, const QByteArray& theirHash) {
    if (job.state != Transfer::State::Running || job.done != job.size) {
        End(job, Transfer::Reason::Damaged, true);
        return;
    }
    job.hash = job.sha.Hex();
    if (theirHash != job.hash) {
        End(job, Transfer::Reason::Damaged, true);
        return;
    }
    job.file.close();
    // The name is taken only now; another file may have taken it meanwhile.
    const QString folder = QFileInfo(job.path).absolutePath();
    QString landed;
    for (int tries = 0; tries < 100 && landed.isEmpty(); ++tries) {
        const QString candidate =
            QDir(folder).filePath(files::FreeName(folder, job.name, job.path));
        if (QFile::rename(job.path, candidate)) {
            landed = candidate;
        }
    }
    if (landed.isEmpty()) {
        End(job, Transfer::Reason::NotWritable, true);
        return;
    }
    job.path = landed;
    wire_.send(CmdFile, "HAVE " + job.id);
    Finish(job);
}

void Transfers::End(Job& job, Transfer::Reason reason, bool here) {
    if (Final(job.state)) {
        return;
    }
    const bool told = job.state != Transfer::State::Queued;
    job.file.close();
    if (job.way == Transfer::Way::In && job.path.endsWith(QLatin1String(".part"))) {
        QFile::remove(job.path);
    }
    job.state = Transfer::State::Failed;
    job.reason = reason;
    job.endedHere = here;
    job.rate = 0;
    if (here && told && Available()) {
        wire_.send(CmdFile, "CANCEL " + job.id + ' ' + ReasonWord(reason));
    }
    Unkeep(job.id);
    ChangedNow(job);
    emit Finished(job.id);
    Schedule();
}

void Transfers::Prune() {
    int finished = 0;
    for (const QByteArray& id : std::as_const(order_)) {
        finished += Final(jobs_.value(id)->state) ? 1 : 0;
    }
    for (qsizetype i = 0; i < order_.size() && finished > kMaxFinished;) {
        const QByteArray id = order_.at(i);
        if (!Final(jobs_.value(id)->state)) {
            ++i;
            continue;
        }
        order_.removeAt(i);
        jobs_.remove(id);
        --finished;
        emit Removed(id);
    }
}

void Transfers::Finish(Job& job) {
    job.state = Transfer::State::Done;
    job.rate = 0;
    job.file.close();
    Unkeep(job.id);
    ChangedNow(job);
    emit Finished(job.id);
    Schedule();
}

// ---------------------------------------------------------------------------------------
// Moving bytes

void Transfers::Schedule() {
    if (!work_.isActive()) {
        work_.start();
    }
}

void Transfers::Work() {
    // Forgotten here, never inside a handler that still holds the transfer.
    Prune();
    bool more = false;
    const QList<QByteArray> ids = order_;
    for (const QByteArray& id : ids) {
        Job* job = Get(id);
        if (job != nullptr && job->state == Transfer::State::Preparing) {
            more = Prepare(*job) || more;
        }
    }
    // Offers the user accepted while all places were taken.
    for (const QByteArray& id : ids) {
        Job* job = Get(id);
        if (job != nullptr && job->way == Transfer::Way::In &&
            job->state == Transfer::State::Asked && job->userAccepted && Available()) {
            Accept(id);
        }
    }
    OfferQueued();
    Pump();
    if (more) {
        Schedule();
    }
}

bool Transfers::Prepare(Job& job) {
    // What exists is hashed in slices; the transfer goes on from where it stopped only once
    // the checksum covers everything before it.
    if (!Available()) {
        return false;
    }
    const qint64 slice = std::min(kHashSlice, job.hashTarget - job.hashed);
    if (slice > 0) {
        job.file.seek(job.hashed);
        const QByteArray bytes = job.file.read(slice);
        job.sha.Add(bytes.constData(), bytes.size());
        job.hashed += bytes.size();
        if (bytes.size() < slice) {
            if (job.way == Transfer::Way::Out) {
                End(job, Transfer::Reason::SourceChanged, true);
                return false;
            }
            job.hashTarget = job.hashed; // a shorter .part: go on from its end
        }
    }
    if (job.hashed < job.hashTarget) {
        return true;
    }
    job.state = Transfer::State::Running;
    job.done = job.next = job.hashTarget;
    job.file.seek(job.hashTarget);
    if (job.way == Transfer::Way::In) {
        if (job.file.size() != job.hashTarget) {
            job.file.resize(job.hashTarget);
        }
        wire_.send(CmdFile, "ACCEPT " + job.id + ' ' + QByteArray::number(job.hashTarget));
    }
    ChangedNow(job);
    return false;
}

void Transfers::Pump() {
    if (!Available()) {
        return;
    }
    QList<Job*> running;
    for (const QByteArray& id : std::as_const(order_)) {
        Job* job = Get(id);
        if (job->way == Transfer::Way::Out && job->state == Transfer::State::Running) {
            running.append(job);
        }
    }
    qint64 inFlight = 0;
    for (const Job* job : running) {
        inFlight += job->next - job->done;
    }
    // Chat lines are written the moment they are typed: a chunk goes only while little
    // waits in front of them.
    while (!running.isEmpty() && wire_.pending() < kLowWater && inFlight < window_) {
        Job& job = *running.at(nextTurn_++ % running.size());
        const qint64 length = std::min<qint64>(kChunk, job.size - job.next);
        if (length > 0) {
            QByteArray body = job.raw + Offset8(job.next);
            body.resize(kDataHead + length);
            if (job.file.read(body.data() + kDataHead, length) != length) {
                End(job, Transfer::Reason::SourceChanged, true);
                return;
            }
            job.sha.Add(body.constData() + kDataHead, length);
            job.next += length;
            inFlight += length;
            job.sentAt.emplace_back(job.next, clock_.elapsed());
            if (!wire_.send(CmdFileData, body)) {
                return;
            }
        }
        if (job.next >= job.size) {
            job.hash = job.sha.Hex();
            job.state = Transfer::State::Checking;
            wire_.send(CmdFile, "DONE " + job.id + ' ' + job.hash);
            ChangedNow(job);
            running.removeOne(&job);
        }
    }
}
