// Feeds the history from the switchboard: every call and conference reports what it does,
// and this writes it down under a key of its own per conversation. Our lines are matched to
// their acknowledgements by the CRC the peer names, so lines in flight together are each
// marked right. The lines of one read are written before the read's acknowledgements leave.
#pragma once

#include "history/HistoryEvent.h"

#include <QHash>
#include <QList>
#include <QObject>

#include <cstdint>
#include <memory>

class Call;
class Conference;
class HistoryStore;
class Lines;
class Switchboard;

class Recorder : public QObject {
    Q_OBJECT
public:
    // Writes to `store` while it holds one.
    Recorder(Switchboard& model, Lines& lines, const std::unique_ptr<HistoryStore>& store,
             QObject* parent = nullptr);

private:
    struct Open {
        quint64 key = 0;
        bool conference = false;
        QString peer;
        QString address;
        int window = 0;
        bool secure = false;
        QString peerKey;
        QList<std::int32_t> unanswered; // CRCs of our lines, oldest first
        // A line sent again after the call came back: the CRC it went as, and the one the
        // history knows it by.
        QHash<std::int32_t, std::int32_t> resent;
    };
    void Watch(Call* call);
    void Watch(Conference* conference);
    void Start(quint64 id, const Open& open);
    void End(quint64 id);
    void Write(HistoryEvent::Kind kind, const Open& open, const QString& text = {},
               bool outgoing = false, bool ackOk = false, std::int32_t crc = 0);
    void Acknowledged(Call* call, std::int32_t crc, bool saysOk);
    // Marks our line with `crc` as confirmed or not.
    void Acknowledge(const Open& open, std::int32_t crc, bool ok);
    void Flush();

    Switchboard& model_;
    Lines& lines_;
    const std::unique_ptr<HistoryStore>& store_;
    // By the id of the call or conference.
    QHash<quint64, Open> open_;
    quint64 lastKey_ = 0;
};
