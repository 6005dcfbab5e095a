#include "CLog.h"

#include "platform/LocaleText.h"
#include "platform/Text1252.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QFile>
#include <QTextDocument>

#include <algorithm>

namespace {

// Lines become the box's next lines through QPlainTextEdit's own append: it repaints only
// the new lines and scrolls the rest, where an edit at the end by cursor made it lay out,
// re-shape and repaint every visible line. It also follows the end only when the view was
// showing the end, so a user reading further up is not pulled down.
QString OneLineBreakEach(const QString& text) {
    if (!text.contains(QLatin1Char('\r'))) {
        return text;
    }
    QString body = text;
    body.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    body.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return body;
}

// What a line adds to the box's length: its characters and a two-character line break
// for it and for each break inside it.
qsizetype LineLength(const QString& line) {
    return line.size() + 2 + line.count(QLatin1Char('\n'));
}

} // namespace

CLog::CLog() : now_([] { return QDeadlineTimer::current().deadline(); }) {
    frame_.setSingleShot(true);
    QObject::connect(&frame_, &QTimer::timeout, &frame_, [this] { Append(); });
}

qsizetype CLog::BoxLength(const QPlainTextEdit* box) {
    const QTextDocument* doc = box->document();
    if (doc->isEmpty()) {
        return 0;
    }
    // Every line of the box ends with a line break of two characters (CR LF), the last one
    // included; characterCount counts one separator per block.
    return (doc->characterCount() - 1) + (doc->blockCount() - 1) + 2;
}

void CLog::AttachTextBox(QPlainTextEdit* obj) {
    box_ = obj;
    attached_ = true;
}

void CLog::AttachFile(const QString& file) {
    logFile_ = file;
}

void CLog::Clear(bool PurgeLogFile) {
    frame_.stop();
    pending_.clear();
    pendingLength_ = 0;
    if (attached_ && box_) {
        box_->clear();
    }
    if (PurgeLogFile && !logFile_.isEmpty()) {
        QFile::remove(logFile_);
    }
}

void CLog::Start(std::optional<QString> DateFilter, QPlainTextEdit* txtBox,
                 std::optional<QString> LogFile) {
    if (txtBox != nullptr) {
        AttachTextBox(txtBox);
    }
    if (DateFilter) {
        dateFilter_ = DateFilter->isEmpty() ? kDefaultPattern : *DateFilter;
    }
    logFile_ = LogFile.value_or(QString());
}

void CLog::Log(const QString& msg) {
    QString prefix;
    if (!dateFilter_.isEmpty()) {
        prefix =
            platform::FormatStamp(dateFilter_, QDateTime::currentDateTime()) + QStringLiteral(": ");
    }
    if (attached_ && box_) {
        if (BoxLength(box_) + pendingLength_ + prefix.size() + msg.size() > kBoxLimit) {
            // Everything before this line goes, what waits to be shown included.
            frame_.stop();
            pending_.clear();
            pendingLength_ = 0;
            box_->clear();
            Show(prefix + QStringLiteral("Log Purged"));
        }
        Show(prefix + msg);
    }
    if (!logFile_.isEmpty()) {
        // Opened and closed for every line so that the file is complete after a crash.
        QFile file(logFile_);
        if (file.open(QIODevice::Append)) {
            file.write(platform::ToAnsi(prefix + msg) + QByteArrayLiteral("\r\n"));
        }
    }
}

void CLog::Show(const QString& line) {
    const QString text = OneLineBreakEach(line);
    pending_ << text;
    pendingLength_ += LineLength(text);
    if (batchDepth_ == 0) {
        Append(); // with whatever still waits for its frame, in order
    }
}

void CLog::Append() {
    frame_.stop();
    if (box_ && !pending_.isEmpty()) {
        box_->appendPlainText(pending_.join(QLatin1Char('\n')));
        lastAppend_ = now_();
    }
    pending_.clear();
    pendingLength_ = 0;
}

void CLog::BeginBatch() {
    ++batchDepth_;
}

void CLog::EndBatch() {
    if (batchDepth_ > 0 && --batchDepth_ == 0 && !pending_.isEmpty()) {
        const qint64 since = lastAppend_ ? now_() - *lastAppend_ : kFrameMs;
        if (since >= kFrameMs) {
            Append();
        } else if (!frame_.isActive()) {
            frame_.start(static_cast<int>(std::clamp<qint64>(kFrameMs - since, 0, kFrameMs)));
        }
    }
}
