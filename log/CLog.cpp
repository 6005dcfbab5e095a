#include "CLog.h"

#include "platform/LocaleText.h"
#include "platform/Text1252.h"

#include <QDateTime>
#include <QFile>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

namespace {

// Appends at the end as one edit (the line and its break together), without moving the
// box's own cursor: a line costs the same in an empty box as in a full one, and nothing is
// laid out or painted twice. The view follows the end only when it was showing the end, so
// a user reading further up is not pulled down.
void AppendToBox(QPlainTextEdit* box, const QString& text) {
    QScrollBar* bar = box->verticalScrollBar();
    const bool follow = bar->value() >= bar->maximum();
    QString body;
    body.reserve(text.size() + 1);
    body = text;
    if (body.contains(QLatin1Char('\r'))) {
        body.replace(QLatin1String("\r\n"), QLatin1String("\n"));
        body.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    }
    body += QLatin1Char('\n');
    QTextCursor cursor(box->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(body);
    if (follow) {
        bar->setValue(bar->maximum());
    }
}

} // namespace

qsizetype CLog::BoxLength(const QPlainTextEdit* box) {
    const QTextDocument* doc = box->document();
    // characterCount counts each block separator once and one final separator.
    return (doc->characterCount() - 1) + (doc->blockCount() - 1);
}

void CLog::AttachTextBox(QPlainTextEdit* obj) {
    box_ = obj;
    attached_ = true;
}

void CLog::AttachFile(const QString& file) {
    logFile_ = file;
}

void CLog::Clear(bool PurgeLogFile) {
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
        if (BoxLength(box_) + prefix.size() + msg.size() > kBoxLimit) {
            box_->clear();
            AppendToBox(box_, prefix + QStringLiteral("Log Purged"));
        }
        AppendToBox(box_, prefix + msg);
    }
    if (!logFile_.isEmpty()) {
        // Opened and closed for every line so that the file is complete after a crash.
        QFile file(logFile_);
        if (file.open(QIODevice::Append)) {
            file.write(platform::ToAnsi(prefix + msg) + QByteArrayLiteral("\r\n"));
        }
    }
}
