// The open window of a kind the program shows once at most (the settings, the history,
// About, the debug log): found among the application's windows rather than remembered, so
// no one holds a pointer that outlives it.
#pragma once

#include <QApplication>
#include <QWidget>

namespace platform {

template <class Window> Window* OpenWindow() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* found = qobject_cast<Window*>(w)) {
            return found;
        }
    }
    return nullptr;
}

} // namespace platform
