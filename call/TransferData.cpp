// Moving bytes: data in and acknowledged, the window out, the checksum at both ends, and the
// transfer's end either way.
#include "FileNames.h"
#include "TransferJob.h"

#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>

#include <algorithm>

using namespace transfer;

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
