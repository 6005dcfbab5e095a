#include "MessageBox.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QTextDocument>
#include <QTimer>

namespace platform {
namespace {

MessageBoxHandler& Handler() {
    static MessageBoxHandler handler;
    return handler;
}

MsgResult ShowReal(const MessageRequest& r) {
    QMessageBox box(r.parent.data());
    box.setWindowTitle(r.title.isEmpty() ? QCoreApplication::applicationName() : r.title);
    // Whatever the text holds (a peer's name, say) is shown as it is, never as markup.
    box.setTextFormat(Qt::PlainText);
    box.setText(r.text);
    switch (r.icon) {
    case MsgIcon::Information:
        box.setIcon(QMessageBox::Information);
        break;
    case MsgIcon::Exclamation:
        box.setIcon(QMessageBox::Warning);
        break;
    case MsgIcon::Question:
        box.setIcon(QMessageBox::Question);
        break;
    case MsgIcon::Critical:
        box.setIcon(QMessageBox::Critical);
        break;
    }
    if (r.buttons == MsgButtons::YesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        return box.exec() == QMessageBox::Yes ? MsgResult::Yes : MsgResult::No;
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
    return MsgResult::Ok;
}

} // namespace

MsgResult ShowMessage(const MessageRequest& request) {
    if (Handler()) {
        return Handler()(request);
    }
    return ShowReal(request);
}

void PostMessage(const MessageRequest& request) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) {
        return; // no event loop to show it from (command-line tools)
    }
    QTimer::singleShot(0, app, [request] { ShowMessage(request); });
}

QString PlainToolTip(const QString& text) {
    if (!Qt::mightBeRichText(text)) {
        return text; // Qt shows it as it is already
    }
    return QStringLiteral("<p style='white-space:pre'>") +
           text.toHtmlEscaped().replace(QLatin1Char('\n'), QStringLiteral("<br>")) +
           QStringLiteral("</p>");
}

MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler) {
    MessageBoxHandler previous = std::move(Handler());
    Handler() = std::move(handler);
    return previous;
}

} // namespace platform
