// Desktop services: "Open" with the default handler, and the system beep. Both can be
// replaced in tests.
#pragma once

#include <QString>
#include <QUrl>

#include <functional>

class QWidget;

namespace platform {

using UrlOpener = std::function<bool(const QUrl&)>;

// Opens a document or URL (web or mail) with the desktop's default handler. The result
// tells whether a handler took it; callers may ignore it.
bool OpenTarget(const QString& target);
UrlOpener SetUrlOpener(UrlOpener opener);

void Beep();

// Asks the desktop to draw the user's attention to a window (taskbar flash, urgency hint).
using AlertHandler = std::function<void(QWidget*)>;
void Alert(QWidget* window);
AlertHandler SetAlertHandler(AlertHandler handler);
// How many beeps have sounded (for tests).
int BeepCount();

} // namespace platform
