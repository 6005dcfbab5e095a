// The files one call sends and receives: offers, answers, data and its acknowledgements,
// the checksum at the end and the way back after the connection was lost. It never sees a
// widget: a window shows what it reports and hands it what the user chose.
#pragma once

#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>

class Transfers;

// Where received files land and where unfinished transfers are kept over a restart; one for
// the program, shared by its calls.
struct TransferPlaces {
    QString downloads;
    // Empty: nothing is kept, a restart starts every transfer afresh.
    QString keptFile;
    // Which call holds each transfer: another call with the same peer takes up a kept one
    // only when its holder has it waiting, never while it moves there.
    mutable QHash<QByteArray, Transfers*> holders{};
};

// SHA-256 over bytes that arrive in pieces.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    void Add(const char* data, qsizetype size);
    // Hex of everything added so far; adding may go on.
    QByteArray Hex() const;
    void Reset();

private:
    struct Context;
    std::unique_ptr<Context> context_;
};

struct Transfer {
    enum class Way { Out, In };
    enum class State {
        Queued,    // ours, waiting for a free place before it is offered
        Offered,   // ours, waiting for the peer to answer
        Asked,     // the peer's, waiting for the user to accept or decline
        Preparing, // reading what already exists to go on where it stopped
        Running,
        Checking, // all bytes sent: the receiver compares the checksum
        Paused,   // the connection is lost; goes on when the call is back
        Done,
        Failed,
    };
    // Why a transfer ended early; each has its word on the wire.
    enum class Reason {
        None,
        Declined,
        DiskFull,
        Cancelled,
        SourceChanged,
        Damaged,     // bytes past the size, a gap, a wrong checksum
        TooMany,     // more offers waiting than are taken
        Unreadable,  // the source could not be read
        NotWritable, // the download folder cannot be written
    };
    QByteArray id; // 16 hex digits
    Way way = Way::Out;
    State state = State::Queued;
    QString name; // as offered (out) or cleaned (in)
    qint64 size = 0;
    qint64 modified = 0; // the source's modification time, ms since the epoch
    bool picture = false;
    // Out: the source. In: the unfinished .part, then the file as it landed.
    QString path;
    qint64 done = 0; // acknowledged by the receiver (out), written here (in)
    Reason reason = Reason::None;
    bool endedHere = false; // this side ended it
    QByteArray hash;        // hex SHA-256 once known
    // Bytes per second over the last seconds; 0 before there is a figure.
    double rate = 0;
};

class Transfers : public QObject {
    Q_OBJECT
public:
    // The receiver acknowledges at least this often; the sender's window never shrinks below it.
    static constexpr qint64 kAckEvery = 128 * 1024;
    static constexpr qint64 kMinWindow = 256 * 1024;
    static constexpr qint64 kMaxWindow = 16 * 1024 * 1024;
    // A chunk goes only while less than this waits in the socket and TLS.
    static constexpr qint64 kLowWater = 64 * 1024;
    static constexpr int kMaxRunning = 3;
    static constexpr int kMaxWaitingOffers = 8;
    static constexpr int kIdSize = 16;
    // Finished transfers remembered per call; older ones are forgotten, so that a peer that
    // offers and cancels without end costs nothing lasting.
    static constexpr int kMaxFinished = 32;

    // How messages reach the peer: `send` builds and writes one, `pending` says how many
    // bytes still wait to be written.
    struct Wire {
        std::function<bool(std::uint8_t cmd, const QByteArray& body)> send;
        std::function<qint64()> pending;
    };
    Transfers(const TransferPlaces* places, Wire wire, QObject* parent = nullptr);
    ~Transfers() override;

    static QByteArray ReasonWord(Transfer::Reason reason);

    // The peer takes files on this call.
    bool Available() const { return up_ && peerTakes_; }
    // Sends the file at `path`; the id, or empty when it cannot be read or sent.
    QByteArray Send(const QString& path, bool picture = false);
    void Accept(const QByteArray& id);
    void Decline(const QByteArray& id);
    void Cancel(const QByteArray& id);
    const Transfer* Find(const QByteArray& id) const;
    QList<QByteArray> Ids() const { return order_; }

    // From the call: logged in with `peer` (its key or name and address), the peer said it
    // takes files, a file message arrived, the socket wrote, the connection went.
    void LinkUp(const QString& peer);
    void PeerTakesFiles();
    void Receive(std::uint8_t cmd, const QByteArray& body, bool intact);
    void Writable();
    void LinkDown();
    // A call that came back from the same peer goes on with what `lost` had not finished.
    void TakeOver(Transfers& lost);

signals:
    // A transfer appeared (ours or the peer's offer).
    void Added(const QByteArray& id);
    // Its state or its progress changed.
    void Changed(const QByteArray& id);
    // It reached Done or Failed.
    void Finished(const QByteArray& id);
    // An old finished one is forgotten, to make room.
    void Removed(const QByteArray& id);
    // The peer takes files now (or no longer).
    void AvailabilityChanged();

private:
    struct Job;
    Job* Get(const QByteArray& id);
    Job* ByRawId(const QByteArray& raw);
    void Control(const QByteArray& body);
    void Data(const QByteArray& body);
    void Offer(Job& job);
    void OfferQueued();
    void Start(Job& job, qint64 offset);
    void Ack(Job& job);
    void Land(Job& job, const QByteArray& theirHash);
    void End(Job& job, Transfer::Reason reason, bool here);
    void Finish(Job& job);
    void Prune();
    void Work();
    void Pump();
    bool Prepare(Job& job);
    void Schedule();
    int Count(Transfer::State state, Transfer::Way way) const;
    void ChangedNow(Job& job);
    // Unfinished transfers kept over a restart (TransferKeep.cpp).
    void Keep(const Job& job);
    void Unkeep(const QByteArray& id);
    void RestoreKept();
    void ResumeIncoming(Job& job, const Transfer& offer);
    bool OpenPart(Job& job, bool fresh);
    void MeasureAck(Job& job, qint64 offset);
    // This call holds `job` now; the call that held it before forgets it.
    void Hold(const Job& job);
    bool HeldElsewhere(const Transfer& kept) const;
    void Forget(const QByteArray& id);

    const TransferPlaces* places_;
    Wire wire_;
    bool up_ = false;
    bool peerTakes_ = false;
    QString peer_;
    QHash<QByteArray, std::shared_ptr<Job>> jobs_;
    QList<QByteArray> order_;
    QTimer work_;
    QElapsedTimer clock_;
    qint64 window_ = kMinWindow;
    // Milliseconds a round trip may grow over the shortest before data is taken to queue.
    static constexpr qint64 kQueueMs = 40;
    static constexpr qint64 kNoRtt = 1000 * 1000;
    qint64 minRtt_ = kNoRtt;
    qint64 cutAt_ = 0;
    // Round-robin among running transfers.
    int nextTurn_ = 0;
};
