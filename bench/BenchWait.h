// Runs the event loop until a condition holds, for the benchmarks (which link no test library).
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

// True once `done`; false when `ms` passed first.
template <class Done> bool WaitFor(Done done, int ms) {
    QElapsedTimer clock;
    clock.start();
    QTimer tick; // wakes the loop when nothing else would
    tick.start(5);
    while (!done()) {
        if (clock.elapsed() > ms) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}
