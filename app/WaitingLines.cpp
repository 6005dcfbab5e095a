#include "WaitingLines.h"

#include "history/HistoryStore.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

// More than anyone types while a peer is away; a damaged file cannot make more.
constexpr qsizetype kMaxLines = 10000;

} // namespace

QByteArray WaitingLines::Encode(const QList<Outbox::Line>& lines) {
    QJsonArray array;
    for (const Outbox::Line& line : lines) {
        array.append(QJsonObject{{QStringLiteral("number"), line.number},
                                 {QStringLiteral("text"), line.text}});
    }
    return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

QList<Outbox::Line> WaitingLines::Decode(const QByteArray& bytes) {
    QList<Outbox::Line> lines;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes);
    for (const QJsonValue& value : doc.array()) {
        const QJsonObject object = value.toObject();
        const QJsonValue text = object.value(QStringLiteral("text"));
        const qint64 number = object.value(QStringLiteral("number")).toInteger(-1);
        if (!text.isString() || number < 0 || lines.size() >= kMaxLines) {
            continue;
        }
        Outbox::Line line;
        line.number = number;
        line.text = text.toString();
        lines.append(line);
    }
    return lines;
}

KeptLines WaitingLines::Load(const QString& peer) {
    KeptLines kept;
    if (!store_) {
        return kept;
    }
    const HistoryStore::Waiting waiting = store_->WaitingFor(peer);
    kept.lastOut = std::max<qint64>(0, waiting.lastOut);
    kept.lastIn = std::max<qint64>(0, waiting.lastIn);
    kept.waiting = Decode(waiting.lines);
    return kept;
}

void WaitingLines::Save(const QString& peer, const KeptLines& kept) {
    if (store_) {
        store_->SetWaiting(peer, {kept.lastOut, kept.lastIn, Encode(kept.waiting)});
    }
}
