#include "Outbox.h"

#include <algorithm>

qint64 Outbox::Queue(const QString& text, std::int32_t firstCrc) {
    Line line;
    line.id = ++lastId_;
    line.text = text;
    line.firstCrc = firstCrc;
    lines_.append(line);
    return line.id;
}

qint64 Outbox::Sent(const QString& text, std::int32_t crc, qint64 number, qint64 now) {
    Line line;
    line.id = ++lastId_;
    line.text = text;
    line.crc = crc;
    line.firstCrc = crc;
    line.number = number;
    line.sentAt = now;
    lines_.append(line);
    return line.id;
}

void Outbox::Resent(qint64 id, std::int32_t crc, qint64 now) {
    if (Line* line = Find(id)) {
        line->crc = crc;
        line->sentAt = now;
        line->late = false;
    }
}

std::optional<Outbox::Answered> Outbox::Answer(std::int32_t crc) {
    // An answer that names a waiting line confirms it, as the status line says "CRC OK"; any
    // other refuses the newest line sent ("CRC BAD").
    qsizetype at = -1;
    for (qsizetype k = 0; k < lines_.size(); ++k) {
        if (lines_[k].crc == 0) {
            continue;
        }
        if (lines_[k].crc == crc) {
            return Answered{lines_.takeAt(k), true};
        }
        at = k;
    }
    if (at < 0) {
        return std::nullopt;
    }
    return Answered{lines_.takeAt(at), false};
}

QList<Outbox::Line> Outbox::DeliveredUpTo(qint64 number) {
    QList<Line> gone;
    for (qsizetype k = 0; k < lines_.size();) {
        if (lines_[k].number != 0 && lines_[k].number <= number) {
            gone.append(lines_.takeAt(k));
        } else {
            ++k;
        }
    }
    return gone;
}

QList<Outbox::Line> Outbox::MarkLate(qint64 now, qint64 afterMs) {
    QList<Line> late;
    for (Line& line : lines_) {
        if (line.crc != 0 && !line.late && now - line.sentAt >= afterMs) {
            line.late = true;
            late.append(line);
        }
    }
    return late;
}

QList<Outbox::Line> Outbox::ConnectionGone() {
    QList<Line> late;
    for (Line& line : lines_) {
        if (line.crc == 0) {
            continue;
        }
        line.crc = 0;
        if (line.number != 0) {
            line.late = false; // it goes again by itself once the call is back
        } else if (!line.late) {
            line.late = true;
            late.append(line);
        }
    }
    return late;
}

bool Outbox::Waiting(const QString& text) const {
    return std::any_of(lines_.begin(), lines_.end(), [&text](const Line& line) {
        return line.crc != 0 && !line.late && line.text == text;
    });
}

Outbox::Line* Outbox::Unanswered(const QString& text) {
    for (Line& line : lines_) {
        if ((line.late || line.crc == 0) && line.text == text) {
            return &line;
        }
    }
    return nullptr;
}

bool Outbox::Remove(qint64 id) {
    return lines_.removeIf([id](const Line& line) { return line.id == id; }) > 0;
}

Outbox::Line* Outbox::Find(qint64 id) {
    for (Line& line : lines_) {
        if (line.id == id) {
            return &line;
        }
    }
    return nullptr;
}

bool Outbox::AnySent() const {
    return std::any_of(lines_.begin(), lines_.end(), [](const Line& l) { return l.crc != 0; });
}

QList<Outbox::Line> Outbox::Restore(const QList<Line>& lines) {
    QList<Line> added;
    for (Line line : lines) {
        line.id = ++lastId_;
        line.crc = 0;
        line.firstCrc = 0;
        line.late = false;
        lines_.append(line);
        added.append(line);
    }
    return added;
}

QList<Outbox::Line> Outbox::Unsent() const {
    QList<Line> unsent;
    for (const Line& line : lines_) {
        if (line.crc == 0 && !line.late) {
            unsent.append(line);
        }
    }
    return unsent;
}

void Outbox::TakeOver(Outbox& from) {
    lines_ = std::move(from.lines_) + lines_;
    from.lines_.clear();
    // The window knows the lines by the ids they had.
    lastId_ = std::max(lastId_, from.lastId_);
}
