// The files of one line, one row each under the conversation: what is offered with Accept and
// Decline, what moves with its progress and Cancel, what arrived with Open and Show in folder.
#pragma once

#include "call/Transfers.h"

#include <QHash>
#include <QPointer>
#include <QWidget>

class QLabel;
class QProgressBar;
class QPushButton;
class QVBoxLayout;

namespace chat {

// "photo.png (1.2 MB)"
QString FileTitle(const Transfer& t);
// What a row says of a transfer, `peer` being the other side's name.
QString FileStatus(const Transfer& t, const QString& peer);
// The line the conversation and the history keep of a transfer that ended.
QString FileOutcome(const Transfer& t, const QString& peer);
// Previews are at most this big, read from pictures of at most kMaxPreviewPixels.
inline constexpr int kPreviewWidth = 120;
inline constexpr int kPreviewHeight = 72;
inline constexpr qint64 kMaxPreviewPixels = 40 * 1000 * 1000;

} // namespace chat

class FileRows : public QWidget {
    Q_OBJECT
public:
    explicit FileRows(QWidget* parent = nullptr);
    // Shows the transfers of `files` (none: no rows); `peer` names the other side.
    void Show(Transfers* files, const QString& peer);
    void SetPeer(const QString& peer) { peer_ = peer; }
    bool Empty() const { return rows_.isEmpty(); }

signals:
    // A line for the conversation: an offer arrived, a transfer ended.
    void Note(const QString& text);
    // The rows appeared or all went.
    void Resized();

private:
    struct Row {
        QWidget* box = nullptr;
        QLabel* name = nullptr;
        QLabel* preview = nullptr;
        QProgressBar* bar = nullptr;
        QLabel* status = nullptr;
        QPushButton* accept = nullptr;
        QPushButton* decline = nullptr;
        QPushButton* cancel = nullptr;
        QPushButton* open = nullptr;
        QPushButton* folder = nullptr;
    };
    void Add(const QByteArray& id, bool told);
    void Update(const QByteArray& id);
    void Ended(const QByteArray& id);
    void Remove(const QByteArray& id);
    void ShowPreview(Row& row, const Transfer& t);

    QPointer<Transfers> files_;
    QString peer_;
    QHash<QByteArray, Row> rows_;
    QVBoxLayout* layout_;
};
