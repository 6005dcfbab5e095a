// One transfer as the engine keeps it: what the window sees, and the file, the checksum
// and the counts behind it.
#pragma once

#include "Transfers.h"

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
