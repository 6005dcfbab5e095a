// How soon one copy sees another on the local network: the time from switching a server on in
// one copy to its entry in the other's Nearby list, through a real avahi-daemon on a private
// system bus of the bench's own. Printed, never asserted.
#include "app/Announcer.h"
#include "app/Nearby.h"
#include "support/PrivateAvahi.h"

#include "BenchWait.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    PrivateAvahi avahi;
    if (!avahi.Start()) {
        std::printf("bench_nearby: %s; nothing measured\n", qPrintable(avahi.Why()));
        return 0;
    }
    const QString address = avahi.Address();
    QDBusConnection watcherBus = QDBusConnection::connectToBus(address, "watcher");
    QDBusConnection announcerBus = QDBusConnection::connectToBus(address, "announcer");
    QList<double> ms;
    {
        Nearby watcher(watcherBus, QStringLiteral("watcher"));
        watcher.Start();
        for (int k = 0; k < 5; ++k) {
            Announcer announcer(announcerBus);
            QElapsedTimer clock;
            clock.start();
            announcer.Set({true, 7500 + k, QStringLiteral("Bench%1").arg(k), {}});
            const QString id = announcer.Id();
            const auto listed = [&] {
                return std::any_of(watcher.Entries().begin(), watcher.Entries().end(),
                                   [&](const Nearby::Entry& e) { return e.id == id; });
            };
            if (WaitFor(listed, 20000)) {
                ms << double(clock.nsecsElapsed()) / 1e6;
            }
            announcer.Set({false, 7500 + k, QStringLiteral("Bench%1").arg(k), {}});
            WaitFor([&] { return !listed(); }, 20000);
        }
    }
    std::sort(ms.begin(), ms.end());
    if (ms.isEmpty()) {
        std::printf("bench_nearby: avahi-daemon did not come up here; nothing measured\n");
    } else {
        std::printf("server on in one copy to its entry in the other's list, real avahi-daemon: "
                    "median %.0f ms (min %.0f, max %.0f, %lld tries)\n",
                    ms[ms.size() / 2], ms.first(), ms.last(), static_cast<long long>(ms.size()));
    }
    return 0;
}
