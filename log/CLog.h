// A log sink: appends lines to a text box, a file or both, optionally with a timestamp.
#pragma once

#include <QPlainTextEdit>
#include <QPointer>
#include <QString>

#include <optional>

class CLog {
public:
    static constexpr qsizetype kBoxLimit = 60000;
    static inline const QString kDefaultPattern = QStringLiteral("mm/dd/yyyy hh:nn:ss ampm");

    void AttachTextBox(QPlainTextEdit* obj);
    void AttachFile(const QString& file);
    void Clear(bool PurgeLogFile = false);
    // Arguments left out (std::nullopt / nullptr) are "omitted" in the sense of the API:
    // an omitted date filter keeps the current one, an omitted log file clears it.
    void Start(std::optional<QString> DateFilter = std::nullopt, QPlainTextEdit* txtBox = nullptr,
               std::optional<QString> LogFile = std::nullopt);
    void Log(const QString& msg);

    const QString& DateFilter() const { return dateFilter_; }
    const QString& LogFile() const { return logFile_; }
    QPlainTextEdit* TextBox() const { return box_; }

    // The length of a box's text counted with every line end as two characters (CR LF),
    // in constant time.
    static qsizetype BoxLength(const QPlainTextEdit* box);

private:
    bool attached_ = false;
    QPointer<QPlainTextEdit> box_;
    QString logFile_;
    QString dateFilter_;
};
