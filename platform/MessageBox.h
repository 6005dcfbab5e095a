// The one seam through which the program shows message boxes. Tests install a scripted
// answerer so that nothing ever blocks on a modal dialog.
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>

namespace platform {

enum class MsgIcon { Information, Exclamation, Question, Critical };
enum class MsgButtons { Ok, YesNo };
enum class MsgResult { Ok, Yes, No };

struct MessageRequest {
    QPointer<QWidget> parent;
    QString text;
    QString title;
    MsgIcon icon = MsgIcon::Information;
    MsgButtons buttons = MsgButtons::Ok;
};

using MessageBoxHandler = std::function<MsgResult(const MessageRequest&)>;

// Shows the box (modal) and returns the answer. The title defaults to the application name.
MsgResult ShowMessage(const MessageRequest& request);

// Shows the box later, from the event loop, so that the caller's work (a parse, say) has
// finished before any nested event loop runs.
void PostMessage(const MessageRequest& request);

// A tool tip that shows `text` as it is, line breaks kept: Qt takes a tip that looks like
// markup for markup, and a peer's name may look like anything.
QString PlainToolTip(const QString& text);

// Replaces the handler; an empty function restores the real boxes. Returns the previous one.
MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler);

} // namespace platform
