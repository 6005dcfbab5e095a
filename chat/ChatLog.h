// The chat log box: plain text as the program logs it, and beside each of our lines a mark
// that says whether the peer confirmed it. The marks are painted, never part of the text.
#pragma once

#include <QPlainTextEdit>

class ChatLog : public QPlainTextEdit {
    Q_OBJECT
public:
    // Kept as the block's user state, so a mark travels with its line.
    enum Mark {
        NoMark = -1,
        Waiting = 1,
        Confirmed = 2,
        Refused = 3,
        Late = 4,
        NotSent = 5,
        Queued = 6, // waits for the call to come back
    };

    explicit ChatLog(QWidget* parent = nullptr);
    // Marks the last line of the log; returns it.
    QTextBlock MarkLastLine(Mark mark);
    void SetMark(QTextBlock block, Mark mark);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    friend class MarkColumn;
    // Every emoji sequence in what was added is drawn from one emoji font, so that a skin
    // tone, a joined family or a flag never falls apart into pieces from different fonts.
    void KeepEmojiWhole(int from, int added);
    bool formatting_ = false;
    void PaintMarks(QWidget* column);
    void PlaceColumn();
    QWidget* column_ = nullptr;
};
