// How soon one copy sees another on the local network: the time from switching a server on in
// one copy to its entry in the other's Nearby list, through a real avahi-daemon on a private
// system bus of the bench's own. Printed, never asserted.
#include "app/Announcer.h"
#include "app/Nearby.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {

template <class Done> bool WaitFor(Done done, int ms) {
    QElapsedTimer clock;
    clock.start();
    QTimer tick;
    tick.start(5);
    while (!done()) {
        if (clock.elapsed() > ms) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QString avahi = QStandardPaths::findExecutable("avahi-daemon", {"/usr/sbin", "/sbin"});
    if (avahi.isEmpty()) {
        std::printf("bench_nearby: avahi-daemon is not installed; skipped\n");
        return 0;
    }
    QTemporaryDir dir;
    QFile config(dir.filePath("bus.conf"));
    config.open(QIODevice::WriteOnly);
    config.write(R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig><type>system</type><listen>unix:tmpdir=/tmp</listen><auth>EXTERNAL</auth>
<policy context="default"><allow user="*"/><allow own="*"/><allow send_type="method_call"/>
<allow send_destination="*"/><allow receive_sender="*"/>
<allow send_requested_reply="true"/><allow receive_requested_reply="true"/></policy>
</busconfig>)");
    config.close();
    QFile avahiConfig(dir.filePath("avahi.conf"));
    avahiConfig.open(QIODevice::WriteOnly);
    avahiConfig.write("[server]\nratelimit-burst=1000\n[publish]\npublish-hinfo=no\n"
                      "publish-workstation=no\n");
    avahiConfig.close();
    QProcess bus;
    bus.start("dbus-daemon", {"--config-file=" + config.fileName(), "--nofork", "--print-address"});
    bus.waitForReadyRead(5000);
    const QString address = QString::fromLatin1(bus.readLine()).trimmed();
    QProcess daemon;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DBUS_SYSTEM_BUS_ADDRESS", address);
    daemon.setProcessEnvironment(env);
    daemon.start(avahi,
                 {"--no-drop-root", "--no-chroot", "--no-rlimits", "-f", avahiConfig.fileName()});
    daemon.waitForStarted();
    QDBusConnection watcherBus = QDBusConnection::connectToBus(address, "watcher");
    QDBusConnection announcerBus = QDBusConnection::connectToBus(address, "announcer");
    const bool up = WaitFor(
        [&] { return watcherBus.interface()->isServiceRegistered(Announcer::kService).value(); },
        10000);
    QList<double> ms;
    if (up) {
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
    for (QProcess* p : {&daemon, &bus}) {
        p->terminate();
        p->waitForFinished(5000);
    }
    return 0;
}
