#include "FileRows.h"

#include "platform/Desktop.h"

#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QImageReader>
#include <QLabel>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

namespace chat {

namespace {

QString Size(qint64 bytes) {
    return QLocale().formattedDataSize(bytes);
}

QString Why(const Transfer& t, const QString& peer) {
    switch (t.reason) {
    case Transfer::Reason::Declined:
        return t.endedHere ? QStringLiteral("declined")
                           : QStringLiteral("declined by %1").arg(peer);
    case Transfer::Reason::DiskFull:
        return t.endedHere ? QStringLiteral("the disk is full")
                           : QStringLiteral("%1's disk is full").arg(peer);
    case Transfer::Reason::Cancelled:
        return t.endedHere ? QStringLiteral("cancelled")
                           : QStringLiteral("cancelled by %1").arg(peer);
    case Transfer::Reason::SourceChanged:
        return QStringLiteral("the file changed at the source");
    case Transfer::Reason::Damaged:
        return QStringLiteral("the file arrived damaged");
    case Transfer::Reason::TooMany:
        return QStringLiteral("too many offers wait for %1").arg(peer);
    case Transfer::Reason::Unreadable:
        return QStringLiteral("the file cannot be read");
    case Transfer::Reason::NotWritable:
        return t.endedHere ? QStringLiteral("the download folder cannot be written")
                           : QStringLiteral("%1 cannot store it").arg(peer);
    case Transfer::Reason::None:
        break;
    }
    return {};
}

} // namespace

QString FileTitle(const Transfer& t) {
    return QStringLiteral("%1 (%2)").arg(t.name, Size(t.size));
}

QString FileStatus(const Transfer& t, const QString& peer) {
    const bool out = t.way == Transfer::Way::Out;
    switch (t.state) {
    case Transfer::State::Queued:
        return QStringLiteral("Waiting to be offered");
    case Transfer::State::Offered:
        return QStringLiteral("Waiting for %1 to accept").arg(peer);
    case Transfer::State::Asked:
        return QStringLiteral("%1 offers this file").arg(peer);
    case Transfer::State::Preparing:
        return QStringLiteral("Checking what arrived before");
    case Transfer::State::Running: {
        const int percent = t.size > 0 ? static_cast<int>(t.done * 100 / t.size) : 100;
        QString text =
            QStringLiteral("%1% - %2 of %3").arg(percent).arg(Size(t.done), Size(t.size));
        if (t.rate > 0) {
            const auto left = static_cast<qint64>(static_cast<double>(t.size - t.done) / t.rate);
            text += QStringLiteral(" - %1/s - %2 left")
                        .arg(Size(static_cast<qint64>(t.rate)),
                             left >= 60 ? QStringLiteral("%1 min").arg((left + 59) / 60)
                                        : QStringLiteral("%1 s").arg(std::max<qint64>(left, 1)));
        }
        return text;
    }
    case Transfer::State::Checking:
        return QStringLiteral("Waiting for %1 to check it").arg(peer);
    case Transfer::State::Paused:
        return QStringLiteral("Waiting for the call to come back");
    case Transfer::State::Done:
        return out ? QStringLiteral("Sent") : QStringLiteral("Received");
    case Transfer::State::Failed:
        return (out ? QStringLiteral("Not sent: ") : QStringLiteral("Not received: ")) +
               Why(t, peer);
    }
    return {};
}

QString FileOutcome(const Transfer& t, const QString& peer) {
    const bool out = t.way == Transfer::Way::Out;
    if (t.state == Transfer::State::Done) {
        return QStringLiteral("*** %1 %2 %3, SHA-256 %4")
            .arg(out ? QStringLiteral("Sent") : QStringLiteral("Received"),
                 out ? QStringLiteral("to ") + peer + QStringLiteral(":")
                     : QStringLiteral("from ") + peer + QStringLiteral(":"),
                 FileTitle(t), QString::fromLatin1(t.hash));
    }
    return QStringLiteral("*** %1 %2 %3: %4")
        .arg(out ? QStringLiteral("Not sent") : QStringLiteral("Not received"),
             out ? QStringLiteral("to ") + peer + QStringLiteral(":")
                 : QStringLiteral("from ") + peer + QStringLiteral(":"),
             FileTitle(t), Why(t, peer));
}

} // namespace chat

FileRows::FileRows(QWidget* parent) : QWidget(parent), layout_(new QVBoxLayout(this)) {
    setObjectName(QStringLiteral("fraFiles"));
    layout_->setContentsMargins(2, 2, 2, 2);
    layout_->setSpacing(2);
}

void FileRows::Show(Transfers* files, const QString& peer) {
    peer_ = peer;
    if (files_ == files) {
        return;
    }
    if (files_ != nullptr) {
        disconnect(files_, nullptr, this, nullptr);
    }
    for (const QByteArray& id : rows_.keys()) {
        Remove(id);
    }
    files_ = files;
    if (files_ == nullptr) {
        return;
    }
    connect(files_, &Transfers::Added, this, [this](const QByteArray& id) { Add(id, false); });
    connect(files_, &Transfers::Changed, this, &FileRows::Update);
    connect(files_, &Transfers::Finished, this, &FileRows::Ended);
    connect(files_, &Transfers::Removed, this, &FileRows::Remove);
    for (const QByteArray& id : files_->Ids()) {
        Add(id, true);
    }
}

void FileRows::Add(const QByteArray& id, bool told) {
    const Transfer* t = files_->Find(id);
    if (t == nullptr || rows_.contains(id)) {
        return;
    }
    Row row;
    row.box = new QWidget(this);
    row.box->setObjectName(QStringLiteral("fraFile"));
    auto* grid = new QHBoxLayout(row.box);
    grid->setContentsMargins(0, 0, 0, 0);
    row.preview = new QLabel(row.box);
    row.preview->setObjectName(QStringLiteral("imgPreview"));
    row.preview->hide();
    grid->addWidget(row.preview);
    auto* words = new QVBoxLayout;
    row.name = new QLabel(row.box);
    row.name->setObjectName(QStringLiteral("lblFileName"));
    row.name->setTextFormat(Qt::PlainText); // a peer's name for a file is text, never markup
    row.name->setText(chat::FileTitle(*t));
    row.status = new QLabel(row.box);
    row.status->setObjectName(QStringLiteral("lblFileStatus"));
    row.status->setTextFormat(Qt::PlainText);
    row.bar = new QProgressBar(row.box);
    row.bar->setObjectName(QStringLiteral("barFile"));
    row.bar->setRange(0, 1000);
    row.bar->setTextVisible(false);
    row.bar->setMaximumHeight(8);
    words->addWidget(row.name);
    words->addWidget(row.bar);
    words->addWidget(row.status);
    grid->addLayout(words, 1);
    const auto button = [&](const char* name, const QString& text, auto handler) {
        auto* b = new QPushButton(text, row.box);
        b->setObjectName(QString::fromLatin1(name));
        b->setAutoDefault(false);
        b->hide();
        grid->addWidget(b);
        connect(b, &QPushButton::clicked, this, [this, id, handler] {
            if (const Transfer* now = files_ != nullptr ? files_->Find(id) : nullptr) {
                handler(*now);
            }
        });
        return b;
    };
    row.accept = button("cmdAccept", QStringLiteral("&Accept"),
                        [this, id](const Transfer&) { files_->Accept(id); });
    row.decline = button("cmdDecline", QStringLiteral("Decline"),
                         [this, id](const Transfer&) { files_->Decline(id); });
    row.cancel = button("cmdCancelFile", QStringLiteral("Cancel"),
                        [this, id](const Transfer&) { files_->Cancel(id); });
    row.open = button("cmdOpenFile", QStringLiteral("Open"), [](const Transfer& now) {
        platform::OpenTarget(QUrl::fromLocalFile(now.path).toString());
    });
    row.folder =
        button("cmdShowInFolder", QStringLiteral("Show in folder"), [](const Transfer& now) {
            platform::OpenTarget(
                QUrl::fromLocalFile(QFileInfo(now.path).absolutePath()).toString());
        });
    layout_->addWidget(row.box);
    rows_.insert(id, row);
    if (t->way == Transfer::Way::Out && t->picture) {
        ShowPreview(rows_[id], *t);
    }
    if (!told && t->way == Transfer::Way::In) {
        emit Note(QStringLiteral("*** %1 offers %2").arg(peer_, chat::FileTitle(*t)));
    }
    Update(id);
    emit Resized();
}

void FileRows::Update(const QByteArray& id) {
    const Transfer* t = files_ != nullptr ? files_->Find(id) : nullptr;
    const auto it = rows_.find(id);
    if (t == nullptr || it == rows_.end()) {
        return;
    }
    Row& row = *it;
    using S = Transfer::State;
    row.name->setText(chat::FileTitle(*t));
    row.status->setText(chat::FileStatus(*t, peer_));
    row.bar->setValue(t->size > 0 ? static_cast<int>(t->done * 1000 / t->size) : 0);
    row.bar->setVisible(t->state == S::Running || t->state == S::Checking ||
                        t->state == S::Paused || t->state == S::Preparing);
    row.accept->setVisible(t->state == S::Asked);
    row.decline->setVisible(t->state == S::Asked);
    row.cancel->setVisible(t->state != S::Asked && t->state != S::Done && t->state != S::Failed);
    const bool landed = t->state == S::Done && t->way == Transfer::Way::In;
    row.open->setVisible(landed);
    row.folder->setVisible(landed);
    row.box->setAccessibleName(row.name->text() + QStringLiteral(", ") + row.status->text());
}

void FileRows::Ended(const QByteArray& id) {
    const Transfer* t = files_ != nullptr ? files_->Find(id) : nullptr;
    if (t == nullptr) {
        return;
    }
    Update(id);
    if (t->state == Transfer::State::Done && t->picture && t->way == Transfer::Way::In &&
        rows_.contains(id)) {
        ShowPreview(rows_[id], *t);
    }
    emit Note(chat::FileOutcome(*t, peer_));
}

void FileRows::Remove(const QByteArray& id) {
    const Row row = rows_.take(id);
    delete row.box;
    emit Resized();
}

void FileRows::ShowPreview(Row& row, const Transfer& t) {
    // A picture from a peer is read with limits: its declared size first, a small image
    // out, whatever the file claims.
    QImageReader reader(t.path);
    reader.setAllocationLimit(256);
    const QSize size = reader.size();
    if (!size.isValid() || qint64(size.width()) * size.height() > chat::kMaxPreviewPixels) {
        return;
    }
    reader.setScaledSize(size.scaled(std::min(size.width(), chat::kPreviewWidth),
                                     std::min(size.height(), chat::kPreviewHeight),
                                     Qt::KeepAspectRatio));
    const QImage image = reader.read();
    if (image.isNull()) {
        return;
    }
    row.preview->setPixmap(QPixmap::fromImage(image));
    row.preview->setAccessibleName(QStringLiteral("Preview of ") + t.name);
    row.preview->show();
}
