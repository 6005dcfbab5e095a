#include "Recorder.h"

#include "chat/FileRows.h"

#include "call/Call.h"
#include "call/Conference.h"
#include "call/Lines.h"
#include "call/Switchboard.h"
#include "history/HistoryStore.h"
#include "settings/Settings.h"

#include <QDateTime>

Recorder::Recorder(Switchboard& model, Lines& lines, const std::unique_ptr<HistoryStore>& store,
                   QObject* parent)
    : QObject(parent), model_(model), lines_(lines), store_(store) {
    connect(&model, &Switchboard::CallAdded, this, [this](Call* call) { Watch(call); });
    connect(&model, &Switchboard::ConferenceAdded, this,
            [this](Conference* conference) { Watch(conference); });
    for (Call* call : model.Calls()) {
        Watch(call);
    }
}

void Recorder::Watch(Call* call) {
    const quint64 id = call->Id();
    const auto start = [this, call, id] {
        Open open;
        open.peer = call->Nickname();
        open.address = call->RemoteAddress();
        open.secure = call->Secure();
        open.peerKey = QString::fromLatin1(call->PeerKey().toHex());
        Start(id, open);
    };
    // A call that comes back goes on with the conversation it was.
    connect(call, &Call::LoggedIn, this, [this, start, id] {
        if (!open_.contains(id)) {
            start();
        }
    });
    if (call->LoginFlag() != 0) {
        start(); // answered calls are handed over once logged in
    }
    connect(call, &Call::Echo, this, [this, id](const QString& text, std::int32_t crc) {
        const auto it = open_.find(id);
        if (it == open_.end()) {
            return; // no call: the line went nowhere
        }
        Write(HistoryEvent::Kind::Line, *it, text, true, false, crc);
        it->unanswered.append(crc);
    });
    connect(call, &Call::ChatLine, this, [this, call, id](const QString&, const QString& text) {
        const auto it = open_.find(id);
        if (it == open_.end()) {
            return;
        }
        Open shown = *it;
        shown.conference = model_.ConferenceOf(call) != nullptr;
        Write(HistoryEvent::Kind::Line, shown, text);
    });
    connect(call, &Call::Acknowledged, this,
            [this, call](std::int32_t crc, bool saysOk) { Acknowledged(call, crc, saysOk); });
    // Every transfer that ended: its name, size, checksum, direction and outcome.
    connect(&call->Files(), &Transfers::Finished, this, [this, call, id](const QByteArray& file) {
        const auto it = open_.find(id);
        const Transfer* t = call->Files().Find(file);
        if (it != open_.end() && t != nullptr) {
            Write(HistoryEvent::Kind::Line, *it, chat::FileOutcome(*t, it->peer),
                  t->way == Transfer::Way::Out, t->state == Transfer::State::Done);
            Flush();
        }
    });
    // The read's lines are in the file before its acknowledgements leave.
    connect(call, &Call::ReadReported, this, &Recorder::Flush);
    for (auto signal : {&Call::Dropped, &Call::HungUp, &Call::GaveUp}) {
        connect(call, signal, this, [this, id] { End(id); });
    }
    connect(call, &Call::Lost, this, [this, id] { End(id); });
    connect(call, &Call::Calling, this, [this, call, id] {
        if (!call->Down()) {
            End(id);
        }
    });
    connect(call, &Call::LineSentAgain, this,
            [this, id](qint64, std::int32_t firstCrc, std::int32_t crc) {
                if (const auto it = open_.find(id); it != open_.end() && firstCrc != 0) {
                    it->resent.insert(crc, firstCrc);
                }
            });
    connect(call, &Call::LineDelivered, this, [this, id](std::int32_t firstCrc) {
        if (const auto it = open_.find(id);
            it != open_.end() && it->unanswered.removeOne(firstCrc)) {
            Acknowledge(*it, firstCrc, true);
        }
    });
    connect(call, &QObject::destroyed, this, [this, id] { End(id); });
}

void Recorder::Watch(Conference* conference) {
    const quint64 id = conference->Id();
    connect(conference, &Conference::Sent, this,
            [this, conference, id](const QString& text, std::int32_t crc) {
                if (!open_.contains(id)) {
                    Open open;
                    open.conference = true;
                    open.peer = conference->Names().join(QStringLiteral(", "));
                    open.window = std::max(lines_.LineShowing(conference), 0);
                    Start(id, open);
                }
                Open& open = open_[id];
                Write(HistoryEvent::Kind::Line, open, text, true, false, crc);
                open.unanswered.append(crc);
            });
    connect(conference, &Conference::MemberAck, this, [this, id](std::int32_t crc) {
        if (const auto it = open_.find(id); it != open_.end() && it->unanswered.removeOne(crc)) {
            Acknowledge(*it, crc, true);
        }
    });
    connect(conference, &Conference::Changed, this, [this, conference, id] {
        if (conference->Empty()) {
            End(id);
        }
    });
    connect(conference, &QObject::destroyed, this, [this, id] { End(id); });
}

void Recorder::Acknowledged(Call* call, std::int32_t answered, bool saysOk) {
    const auto it = open_.find(call->Id());
    if (it == open_.end()) {
        return;
    }
    // A line sent again is answered under the CRC it went as; the history knows its first.
    const std::int32_t crc = it->resent.take(answered);
    answered = crc != 0 ? crc : answered;
    if (saysOk) {
        // The line it names: the call's own, or else its conference's.
        // A member's answer to the conference's line is the conference's to tell.
        if (it->unanswered.removeOne(answered)) {
            Acknowledge(*it, answered, true);
        }
        return;
    }
    // "BC": the peer could not read the oldest line still waiting.
    if (!it->unanswered.isEmpty()) {
        Acknowledge(*it, it->unanswered.takeFirst(), false);
    }
}

void Recorder::Acknowledge(const Open& open, std::int32_t crc, bool ok) {
    Write(HistoryEvent::Kind::Ack, open, {}, false, ok, crc);
}

void Recorder::Start(quint64 id, const Open& open) {
    End(id);
    Open& started = open_[id];
    started = open;
    started.key = ++lastKey_;
    if (!open.conference) {
        started.window = std::max(lines_.LineShowing(model_.Find(id)), 0);
    }
    Write(HistoryEvent::Kind::CallStarted, started);
}

void Recorder::End(quint64 id) {
    const auto it = open_.find(id);
    if (it == open_.end()) {
        return;
    }
    Write(HistoryEvent::Kind::CallEnded, *it);
    open_.erase(it);
}

void Recorder::Write(HistoryEvent::Kind kind, const Open& open, const QString& text, bool outgoing,
                     bool ackOk, std::int32_t crc) {
    if (!store_) {
        return;
    }
    HistoryEvent e;
    e.kind = kind;
    e.call = open.key;
    e.at = QDateTime::currentMSecsSinceEpoch();
    e.outgoing = outgoing;
    e.ackOk = ackOk;
    e.crc = crc;
    e.conference = open.conference;
    e.window = open.window;
    e.port = Settings.Port;
    e.peer = open.peer;
    e.address = open.address;
    e.text = text;
    e.secure = open.secure;
    e.peerKey = open.peerKey;
    store_->Record(e);
}

void Recorder::Flush() {
    if (store_) {
        store_->Flush();
    }
}
