#include "ChatLog.h"

#include <QPainter>
#include <QTextBlock>

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
    default:
        return {};
    }
}

} // namespace

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
