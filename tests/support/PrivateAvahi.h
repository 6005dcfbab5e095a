// avahi-daemon from the system's packages on a system bus of our own (a dbus-daemon started
// here), for the tests and the bench: never the machine's bus or daemon. Both processes run in
// the foreground and are stopped through their QProcess, never by name.
#pragma once

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <unistd.h>

class PrivateAvahi {
public:
    PrivateAvahi() = default;
    PrivateAvahi(const PrivateAvahi&) = delete;
    PrivateAvahi& operator=(const PrivateAvahi&) = delete;
    ~PrivateAvahi() {
        for (QProcess* p : {&daemon_, &bus_}) {
            if (p->state() != QProcess::NotRunning) {
                p->terminate();
                if (!p->waitForFinished(5000)) {
                    p->kill();
                    p->waitForFinished();
                }
            }
        }
    }

    // True once the daemon owns its name on the bus; otherwise Why() says what went wrong.
    bool Start() {
        const QString avahi =
            QStandardPaths::findExecutable("avahi-daemon", {"/usr/sbin", "/sbin"});
        if (avahi.isEmpty()) {
            why_ = "avahi-daemon is not installed (scripts/install-deps.sh installs it)";
            return false;
        }
        const QString busConfig = Write(
            "bus.conf",
            R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig><type>system</type><listen>unix:tmpdir=/tmp</listen><auth>EXTERNAL</auth>
<policy context="default"><allow user="*"/><allow own="*"/><allow send_type="method_call"/>
<allow send_destination="*"/><allow receive_sender="*"/>
<allow send_requested_reply="true"/><allow receive_requested_reply="true"/></policy>
</busconfig>)");
        const QString avahiConfig =
            Write("avahi.conf", "[server]\nratelimit-burst=1000\n"
                                "[publish]\npublish-hinfo=no\npublish-workstation=no\n");
        bus_.start("dbus-daemon", {"--config-file=" + busConfig, "--nofork", "--print-address"});
        if (!bus_.waitForReadyRead(5000)) {
            why_ = "dbus-daemon did not start";
            return false;
        }
        address_ = QString::fromLatin1(bus_.readLine()).trimmed();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DBUS_SYSTEM_BUS_ADDRESS", address_);
        daemon_.setProcessEnvironment(env);
        daemon_.setProcessChannelMode(QProcess::MergedChannels);
        // As root without dropping it and without a chroot: a daemon of our own. Its pid file
        // lives in /run/avahi-daemon, where the machine's daemon keeps its own: in a mount
        // namespace with a fresh tmpfs there, both run side by side.
        const QStringList daemonArgs{"--no-drop-root", "--no-chroot", "--no-rlimits",
                                     "--no-proc-title", "-f",           avahiConfig};
        const QString unshare = QStandardPaths::findExecutable("unshare");
        if (!unshare.isEmpty() && ::geteuid() == 0) {
            daemon_.start(unshare, QStringList{"-m", "sh", "-c",
                                               "mkdir -p /run/avahi-daemon && mount -t tmpfs "
                                               "tmpfs /run/avahi-daemon && exec \"$0\" \"$@\"",
                                               avahi} +
                                       daemonArgs);
        } else {
            daemon_.start(avahi, daemonArgs);
        }
        daemon_.waitForStarted();
        QDBusConnection probe = QDBusConnection::connectToBus(address_, "private-avahi-probe");
        QElapsedTimer clock;
        clock.start();
        while (daemon_.state() == QProcess::Running && clock.elapsed() < 10000) {
            if (probe.interface()->isServiceRegistered("org.freedesktop.Avahi").value()) {
                return true;
            }
            daemon_.waitForReadyRead(50);
        }
        why_ = "avahi-daemon did not start here: " +
               QString::fromLocal8Bit(daemon_.readAll()).left(300);
        return false;
    }
    const QString& Address() const { return address_; }
    const QString& Why() const { return why_; }

private:
    QString Write(const QString& name, const QByteArray& text) {
        QFile file(dir_.filePath(name));
        if (file.open(QIODevice::WriteOnly)) {
            file.write(text);
        }
        return file.fileName();
    }

    QTemporaryDir dir_;
    QProcess bus_;
    QProcess daemon_;
    QString address_;
    QString why_;
};
