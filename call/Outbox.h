// The lines typed for one peer that it has not confirmed yet, oldest first: sent and
// waiting for their acknowledgement, or waiting for the call to come back. The one ledger
// of a call: the window's marks, the recorder and the file that keeps them over a restart
// all follow what it says.
#pragma once

#include <QList>
#include <QString>

#include <cstdint>
#include <optional>

class Outbox {
public:
    struct Line {
        qint64 id = 0;     // unique within the run: how the window knows the line
        qint64 number = 0; // between copies that number lines; 0 when not numbered
        QString text;
        std::int32_t crc = 0; // of its last send; 0 while it waits for the call
        // Of the line as first echoed: how the history knows it, whatever it is sent as.
        std::int32_t firstCrc = 0;
        qint64 sentAt = 0;
        bool late = false;
    };

    // A line that waits for the call, echoed with `firstCrc`; its id.
    qint64 Queue(const QString& text, std::int32_t firstCrc);
    // A line sent now with `crc`; its id.
    qint64 Sent(const QString& text, std::int32_t crc, qint64 number, qint64 now);
    // The line `id` was sent again with a new CRC.
    void Resent(qint64 id, std::int32_t crc, qint64 now);
    // The line the peer's acknowledgement names, or (when none does) the newest sent one;
    // removed. Nothing when no line was sent.
    struct Answered {
        Line line;
        bool named = false; // the acknowledgement named it
    };
    std::optional<Answered> Answer(std::int32_t crc);
    // The peer has every numbered line up to `number`: they leave, oldest first.
    QList<Line> DeliveredUpTo(qint64 number);
    // Lines sent this long ago without an answer are late; the ones that just became so.
    QList<Line> MarkLate(qint64 now, qint64 afterMs);
    // The connection went: nothing sent waits for an answer on it any more. Numbered lines
    // go again by themselves; the others are late, sent again only when typed again. The
    // lines that became late.
    QList<Line> ConnectionGone();
    // A line waiting for its answer, not late, with this text.
    bool Waiting(const QString& text) const;
    // The late or unsent line with this text, to be sent again.
    Line* Unanswered(const QString& text);
    bool Remove(qint64 id);
    Line* Find(qint64 id);
    const QList<Line>& Lines() const { return lines_; }
    bool Empty() const { return lines_.isEmpty(); }
    bool AnySent() const;
    // Lines kept over a restart come back under new ids, waiting; the lines as added.
    QList<Line> Restore(const QList<Line>& lines);
    // The lines that go by themselves once the call is back, oldest first.
    QList<Line> Unsent() const;
    // The ledger of a call that ended, taken by the call that replaces it.
    void TakeOver(Outbox& from);

private:
    QList<Line> lines_;
    qint64 lastId_ = 0;
};
