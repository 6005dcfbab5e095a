#include "Desktop.h"

#include <QApplication>
#include <QDesktopServices>

namespace platform {
namespace {

UrlOpener& Opener() {
    static UrlOpener opener;
    return opener;
}

int beeps = 0;

AlertHandler& Alerter() {
    static AlertHandler handler;
    return handler;
}

} // namespace

bool OpenTarget(const QString& target) {
    const QUrl url = QUrl::fromUserInput(target);
    if (!url.isValid()) {
        return false;
    }
    if (Opener()) {
        return Opener()(url);
    }
    return QDesktopServices::openUrl(url);
}

UrlOpener SetUrlOpener(UrlOpener opener) {
    UrlOpener previous = std::move(Opener());
    Opener() = std::move(opener);
    return previous;
}

void Beep() {
    ++beeps;
    QApplication::beep();
}

void Alert(QWidget* window) {
    if (Alerter()) {
        Alerter()(window);
        return;
    }
    QApplication::alert(window);
}

AlertHandler SetAlertHandler(AlertHandler handler) {
    AlertHandler previous = std::move(Alerter());
    Alerter() = std::move(handler);
    return previous;
}

int BeepCount() {
    return beeps;
}

} // namespace platform
