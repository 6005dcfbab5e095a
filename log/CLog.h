// A log sink: appends lines to a text box, a file or both, optionally with a timestamp.
#pragma once

#include <QPlainTextEdit>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <optional>

class CLog {
public:
    static constexpr qsizetype kBoxLimit = 60000;
    // Lines read from the network reach the box at most once a frame: a screen shows no
    // more than that, and laying out and painting every read of a fast peer cost more than
    // everything else a line does.
    static constexpr int kFrameMs = 16;

    CLog();
    static inline const QString kDefaultPattern = QStringLiteral("mm/dd/yyyy hh:nn:ss ampm");

    void AttachTextBox(QPlainTextEdit* obj);
    void AttachFile(const QString& file);
    void Clear(bool PurgeLogFile = false);
    // Arguments left out (std::nullopt / nullptr) are "omitted" in the sense of the API:
    // an omitted date filter keeps the current one, an omitted log file clears it.
    void Start(std::optional<QString> DateFilter = std::nullopt, QPlainTextEdit* txtBox = nullptr,
               std::optional<QString> LogFile = std::nullopt);
    void Log(const QString& msg);
    // The stamp before each line from now on; empty: none.
    void SetDateFilter(const QString& pattern) { dateFilter_ = pattern; }

    const QString& DateFilter() const { return dateFilter_; }
    const QString& LogFile() const { return logFile_; }

    // The length of a box's text counted as lines each ending with a line break of two
    // characters (CR LF), in constant time. The box holds one line per block.
    static qsizetype BoxLength(const QPlainTextEdit* box);

    // Lines logged between these reach the box together, as one append, when the last
    // EndBatch runs (or at the end of the frame, when the box was appended to less than a
    // frame ago): a read that brings many messages costs one append and one repaint.
    // The length rule and "Log Purged" apply to every line as if it had been shown at once.
    void BeginBatch();
    void EndBatch();
    // Milliseconds from any fixed moment; tests set their own clock.
    void SetClock(std::function<qint64()> now) { now_ = std::move(now); }
    // Lines logged but not in the box yet: they wait for the end of the frame.
    bool Waiting() const { return !pending_.isEmpty() && batchDepth_ == 0; }
    class Batch {
    public:
        explicit Batch(CLog& log) : log_(log) { log_.BeginBatch(); }
        ~Batch() { log_.EndBatch(); }
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

    private:
        CLog& log_;
    };

private:
    void Show(const QString& line);
    // What waits reaches the box now.
    void Append();

    bool attached_ = false;
    int batchDepth_ = 0;
    QStringList pending_;
    qsizetype pendingLength_ = 0;
    QPointer<QPlainTextEdit> box_;
    QString logFile_;
    QString dateFilter_;
    std::function<qint64()> now_;
    std::optional<qint64> lastAppend_;
    QTimer frame_;
};
