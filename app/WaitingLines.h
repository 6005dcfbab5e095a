// The call's lines that wait for a peer, kept in the history's file over a restart.
#pragma once

#include "call/Call.h"

#include <memory>

class HistoryStore;

class WaitingLines : public LineKeeper {
public:
    explicit WaitingLines(const std::unique_ptr<HistoryStore>& store) : store_(store) {}
    KeptLines Load(const QString& peer) override;
    void Save(const QString& peer, const KeptLines& kept) override;

    // The lines as the file holds them: a JSON array of {number, text}. Anything else reads
    // as no lines at all.
    static QByteArray Encode(const QList<Outbox::Line>& lines);
    static QList<Outbox::Line> Decode(const QByteArray& bytes);

private:
    const std::unique_ptr<HistoryStore>& store_;
};
