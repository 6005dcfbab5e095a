#include "ChatLog.h"

#include <QFontDatabase>
#include <QPainter>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>

namespace {

struct Look {
    QString glyph;
    QColor colour;
};

Look LookOf(int mark) {
    switch (mark) {
    case ChatLog::Waiting:
        return {QStringLiteral("\u25CB"), QColor(0x80, 0x80, 0x80)}; // ○
    case ChatLog::Confirmed:
        return {QStringLiteral("\u2713"), QColor(0x00, 0x80, 0x00)}; // ✓
    case ChatLog::Refused:
        return {QStringLiteral("\u2717"), QColor(0xC0, 0x00, 0x00)}; // ✗
    case ChatLog::Late:
        return {QStringLiteral("!"), QColor(0xD0, 0x70, 0x00)};
    case ChatLog::NotSent:
        return {QStringLiteral("\u2298"), QColor(0xC0, 0x00, 0x00)}; // ⊘
    case ChatLog::Queued:
        return {QStringLiteral("\u25F7"), QColor(0x30, 0x60, 0xC0)}; // ◷
    default:
        return {};
    }
}

bool Pictographic(char32_t c) {
    return (c >= 0x1F000 && c <= 0x1FAFF) || (c >= 0x2600 && c <= 0x27BF) ||
           (c >= 0x2300 && c <= 0x23FF) || (c >= 0x2B00 && c <= 0x2BFF) || c == 0x3030 ||
           c == 0x303D || c == 0x3297 || c == 0x3299 || c == 0x00A9 || c == 0x00AE || c == 0x203C ||
           c == 0x2049 || c == 0x2122 || c == 0x2139 || (c >= 0x2194 && c <= 0x21AA);
}

// What continues a sequence: a presentation selector, a skin tone, a keycap, a tag.
bool Continues(char32_t c) {
    return c == 0xFE0F || (c >= 0x1F3FB && c <= 0x1F3FF) || c == 0x20E3 ||
           (c >= 0xE0020 && c <= 0xE007F);
}

// The colour emoji font the system has, or empty.
const QString& EmojiFamily() {
    static const QString family = [] {
        const QStringList families = QFontDatabase::families();
        for (const QString& want :
             {QStringLiteral("Noto Color Emoji"), QStringLiteral("Twemoji"),
              QStringLiteral("Apple Color Emoji"), QStringLiteral("Segoe UI Emoji")}) {
            if (families.contains(want)) {
                return want;
            }
        }
        return QString();
    }();
    return family;
}

} // namespace

ChatLog::ChatLog(QWidget* parent) : QPlainTextEdit(parent) {
    connect(document(), &QTextDocument::contentsChange, this, [this](int from, int, int added) {
        if (added > 0 && !formatting_ && !EmojiFamily().isEmpty()) {
            // Formatted once the document has finished changing.
            QTimer::singleShot(0, this, [this, from, added] { KeepEmojiWhole(from, added); });
        }
    });
}

void ChatLog::KeepEmojiWhole(int from, int added) {
    QTextCursor cursor(document());
    cursor.setPosition(std::min(from, document()->characterCount() - 1));
    cursor.setPosition(std::min(from + added, document()->characterCount() - 1),
                       QTextCursor::KeepAnchor);
    const QString text = cursor.selectedText();
    const int start = cursor.selectionStart();
    QTextCharFormat emoji;
    emoji.setFontFamilies({EmojiFamily()});
    int shift = 0; // characters taken out before the current one
    int removed = 0;
    for (qsizetype i = 0; i < text.size();) {
        const char32_t c = text.at(i).isHighSurrogate() && i + 1 < text.size()
                               ? QChar::surrogateToUcs4(text.at(i), text.at(i + 1))
                               : text.at(i).unicode();
        const bool flag = c >= 0x1F1E6 && c <= 0x1F1FF;
        if (!Pictographic(c) && !flag) {
            i += c > 0xFFFF ? 2 : 1;
            continue;
        }
        // The whole sequence: continuations, joined pictographs, the second half of a flag.
        qsizetype end = i + (c > 0xFFFF ? 2 : 1);
        bool joined = false;
        while (end < text.size()) {
            const char32_t n = text.at(end).isHighSurrogate() && end + 1 < text.size()
                                   ? QChar::surrogateToUcs4(text.at(end), text.at(end + 1))
                                   : text.at(end).unicode();
            const qsizetype width = n > 0xFFFF ? 2 : 1;
            if (Continues(n) || n == 0x200D || (joined && Pictographic(n)) ||
                (flag && n >= 0x1F1E6 && n <= 0x1F1FF && end == i + 2)) {
                joined = n == 0x200D;
                end += width;
                continue;
            }
            break;
        }
        formatting_ = true; // a change of format is a change of contents too
        QTextCursor run(document());
        run.setPosition(start + static_cast<int>(i) - shift);
        run.setPosition(start + static_cast<int>(end) - shift, QTextCursor::KeepAnchor);
        run.mergeCharFormat(emoji);
        // The emoji font has no glyph of its own for a presentation selector, which another
        // font then draws, breaking the sequence apart. The emoji font shows its emoji form
        // anyway, so on screen the selector goes (the history keeps the text as it came).
        for (qsizetype k = end - 1; k > i; --k) {
            if (text.at(k).unicode() == 0xFE0F) {
                QTextCursor selector(document());
                selector.setPosition(start + static_cast<int>(k) - shift);
                selector.deleteChar();
                ++removed;
            }
        }
        shift += std::exchange(removed, 0);
        formatting_ = false;
        i = end;
    }
}

// The strip right of the text where the marks are painted.
class MarkColumn : public QWidget {
public:
    explicit MarkColumn(ChatLog* log) : QWidget(log), log_(log) {}

protected:
    void paintEvent(QPaintEvent*) override { log_->PaintMarks(this); }

private:
    ChatLog* log_;
};

QTextBlock ChatLog::MarkLastLine(Mark mark) {
    // The log ends with a line break, so the last line with text is the one before it.
    QTextBlock block = document()->lastBlock();
    while (block.isValid() && block.text().isEmpty()) {
        block = block.previous();
    }
    SetMark(block, mark);
    return block;
}

void ChatLog::SetMark(QTextBlock block, Mark mark) {
    if (!block.isValid()) {
        return;
    }
    block.setUserState(mark);
    // A strip for the marks only once a mark is there: the design's log otherwise.
    if (column_ == nullptr) {
        column_ = new MarkColumn(this);
        setViewportMargins(0, 0, fontMetrics().horizontalAdvance(QStringLiteral("\u2713")) + 6, 0);
        connect(this, &QPlainTextEdit::updateRequest, column_, [this] { column_->update(); });
        column_->show();
    }
    PlaceColumn();
    column_->update();
}

void ChatLog::PlaceColumn() {
    if (column_ != nullptr) {
        const QRect view = viewport()->geometry();
        column_->setGeometry(view.right() + 1, view.top(), viewportMargins().right(),
                             view.height());
    }
}

void ChatLog::resizeEvent(QResizeEvent* event) {
    QPlainTextEdit::resizeEvent(event);
    PlaceColumn();
}

void ChatLog::PaintMarks(QWidget* column) {
    QPainter painter(column);
    painter.fillRect(column->rect(), viewport()->palette().color(QPalette::Base));
    const int x = 2;
    QTextBlock block = firstVisibleBlock();
    const QPointF offset = contentOffset();
    while (block.isValid()) {
        const QRectF box = blockBoundingGeometry(block).translated(offset);
        if (box.top() > column->height()) {
            break;
        }
        const Look look = LookOf(block.userState());
        if (!look.glyph.isEmpty()) {
            painter.setPen(look.colour);
            const QRectF lastLine(x, box.bottom() - fontMetrics().height(), column->width() - x,
                                  fontMetrics().height());
            painter.drawText(lastLine, Qt::AlignLeft | Qt::AlignVCenter, look.glyph);
        }
        block = block.next();
    }
}
