// Files in a line window: Send File and Ctrl+O, files dropped on the window, a picture pasted
// into the send box, and the rows that show each transfer of the line's call.
#include "FileRows.h"
#include "WindowHelpers.h"
#include "frmClient.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QDir>
#include <QDockWidget>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QImage>
#include <QImageReader>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QScrollArea>
#include <QStandardPaths>
#include <QTimer>

void frmClient::BuildFiles() {
    dockFiles = new QDockWidget(QStringLiteral("Files"), this);
    dockFiles->setObjectName(QStringLiteral("dockFiles"));
    dockFiles->setFeatures(QDockWidget::NoDockWidgetFeatures);
    auto* scroll = new QScrollArea(dockFiles);
    scroll->setWidgetResizable(true);
    // Room for a row with its preview and one without.
    scroll->setMinimumHeight(fontMetrics().height() * 4 + 96);
    fraFiles = new FileRows(scroll);
    scroll->setWidget(fraFiles);
    dockFiles->setWidget(scroll);
    addDockWidget(Qt::BottomDockWidgetArea, dockFiles);
    dockFiles->hide();
    connect(fraFiles, &FileRows::Note, this, [this](const QString& text) {
        LogInfo(text);
        AlertIfInactive();
    });
    connect(fraFiles, &FileRows::Resized, this,
            [this] { dockFiles->setVisible(!fraFiles->Empty()); });
    setAcceptDrops(true);
}

void frmClient::ConnectFiles() {
    fraFiles->Show(call_ != nullptr ? &call_->Files() : nullptr, Nickname());
    dockFiles->setVisible(!fraFiles->Empty());
    if (call_ != nullptr) {
        connect(&call_->Files(), &Transfers::AvailabilityChanged, this,
                &frmClient::ShowFileControls);
        connect(call_, &Call::LoggedIn, this, [this] {
            fraFiles->SetPeer(Nickname());
            ShowFileControls();
        });
    }
    ShowFileControls();
}

void frmClient::ShowFileControls() {
    if (sendFile_ == nullptr) {
        return;
    }
    const bool can = call_ != nullptr && call_->Files().Available();
    sendFile_->setEnabled(can);
    // Disabled controls still say why when the pointer rests on them.
    sendFile_->setToolTip(
        can ? QStringLiteral("Send a file to %1").arg(Nickname())
        : call_ == nullptr || call_->LoginFlag() == 0
            ? QStringLiteral("Files go to someone in a call")
            : QStringLiteral("%1's program cannot receive files").arg(Nickname()));
}

void frmClient::ChooseFiles() {
    if (call_ == nullptr || !call_->Files().Available()) {
        ShowStatus(QStringLiteral(" ") + sendFile_->toolTip());
        return;
    }
    // Not a modal loop of its own: the call goes on while the user picks.
    auto* dialog = new QFileDialog(this, QStringLiteral("Send File"));
    dialog->setObjectName(QStringLiteral("dlgSendFile"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setFileMode(QFileDialog::ExistingFiles);
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    connect(dialog, &QFileDialog::filesSelected, this,
            [this](const QStringList& paths) { SendFiles(paths); });
    dialog->open();
}

bool frmClient::SendFiles(const QStringList& paths, bool picture) {
    if (call_ == nullptr || !call_->Files().Available() || paths.isEmpty()) {
        ShowStatus(QStringLiteral(" ") +
                   (sendFile_ != nullptr ? sendFile_->toolTip() : QStringLiteral("No call")));
        return false;
    }
    if (!call_->Secure()) {
        const platform::MessageRequest ask{
            this,
            QStringLiteral("This call is not encrypted: anyone on the way between you and %1 can "
                           "read the file. Send it anyway?")
                .arg(Nickname()),
            chat::kAppTitle, platform::MsgIcon::Question, platform::MsgButtons::YesNo};
        if (Ask(ask) != platform::MsgResult::Yes || call_ == nullptr) {
            return false;
        }
    }
    bool any = false;
    for (const QString& path : paths) {
        // A picture shows as one on both sides, whether pasted or picked.
        const QByteArray format = QImageReader::imageFormat(path);
        const bool image = picture || format == "png" || format == "jpeg" || format == "gif" ||
                           format == "webp" || format == "bmp";
        if (call_->Files().Send(path, image).isEmpty()) {
            LogInfo(QStringLiteral("*** Cannot send %1: it cannot be read").arg(path));
        } else {
            any = true;
        }
    }
    return any;
}

bool frmClient::PasteImage() {
    const QMimeData* data = QApplication::clipboard()->mimeData();
    if (data == nullptr || !data->hasImage() || data->hasText()) {
        return false;
    }
    const QImage image = qvariant_cast<QImage>(data->imageData());
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) +
                           QStringLiteral("/Pasted");
    QDir().mkpath(folder);
    const QString path = QDir(folder).filePath(
        QStringLiteral("Pasted image %1.png")
            .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh.mm.ss.zzz"))));
    if (image.isNull() || !image.save(path, "PNG")) {
        return false;
    }
    SendFiles({path}, true);
    return true;
}

void frmClient::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls() && call_ != nullptr && call_->Files().Available()) {
        event->acceptProposedAction();
    }
}

void frmClient::dropEvent(QDropEvent* event) {
    QStringList paths;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (url.isLocalFile()) {
            paths.append(url.toLocalFile());
        }
    }
    if (!paths.isEmpty()) {
        event->acceptProposedAction();
        // The drag's source waits for the drop to end: a question is asked after it.
        QTimer::singleShot(0, this, [this, paths] { SendFiles(paths); });
    }
}
