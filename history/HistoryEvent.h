// What a chat window reports for the history: a call that started or ended, a line shown,
// the peer's answer to one of our lines.
#pragma once

#include <QString>
#include <QtGlobal>

struct HistoryEvent {
    enum class Kind { CallStarted, Line, Ack, CallEnded };
    Kind kind = Kind::Line;
    // Which call: unique for the program's run, the same for every event of one call.
    quint64 call = 0;
    qint64 at = 0; // milliseconds since the epoch
    bool outgoing = false;
    bool conference = false;
    bool ackOk = false;
    // Our line's CRC: an outgoing line is found again by it when its acknowledgement comes.
    qint32 crc = 0;
    int window = 0;
    int port = 0;
    QString peer;
    QString address;
    QString text;
    // The call travelled inside TLS; the peer's key fingerprint (hex) when it did.
    bool secure = false;
    QString peerKey;
};
