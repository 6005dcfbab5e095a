// One transfer as the engine keeps it: what the window sees, and the file, the checksum
// and the counts behind it.
#pragma once

#include "Transfers.h"

#include "protocol/NetCodec.h"

struct Transfers::Job : Transfer {
    QByteArray raw; // the id as 8 bytes, as data messages carry it
    QFile file;
    Sha256 sha;
    qint64 hashTarget = 0; // Preparing: the offset to go on from, once hashed up to it
    qint64 hashed = 0;
    qint64 next = 0;    // out: the next byte to send
    qint64 unacked = 0; // in: written since the last acknowledgement
    // Out: when each chunk left, by its end; and recent progress for the rate.
    std::deque<std::pair<qint64, qint64>> sentAt;
    std::deque<std::pair<qint64, qint64>> progress;
    qint64 shownAt = -1000;
    bool userAccepted = false;
};

namespace transfer {

// A data message: the id, the offset, then the bytes.
constexpr qsizetype kDataHead = 16;
constexpr qsizetype kChunk = kMaxBody - kDataHead;
// Bytes of an existing file hashed per turn of the event loop, so the windows stay live.
constexpr qint64 kHashSlice = 8 * 1024 * 1024;
// Progress is told at most ten times a second.
constexpr qint64 kShowEveryMs = 100;
// The largest size taken seriously: beyond it no disk holds the file anyway.
constexpr qint64 kMaxSize = qint64(1) << 50;

inline QByteArray Offset8(qint64 v) {
    QByteArray out(8, '\0');
    for (int i = 0; i < 8; ++i) {
        out[i] = static_cast<char>((static_cast<quint64>(v) >> (8 * i)) & 0xFF);
    }
    return out;
}

inline qint64 FromOffset8(const char* p) {
    quint64 v = 0;
    for (int i = 7; i >= 0; --i) {
        v = (v << 8) | static_cast<unsigned char>(p[i]);
    }
    return v > static_cast<quint64>(kMaxSize) ? -1 : static_cast<qint64>(v);
}

inline bool Final(Transfer::State s) {
    return s == Transfer::State::Done || s == Transfer::State::Failed;
}

} // namespace transfer
