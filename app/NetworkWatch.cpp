#include "NetworkWatch.h"

#include "call/Switchboard.h"

#include <QDBusConnection>
#include <QNetworkInformation>

NetworkWatch::NetworkWatch(Switchboard& model, QObject* parent) : QObject(parent), model_(model) {
    if (QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Reachability)) {
        connect(QNetworkInformation::instance(), &QNetworkInformation::reachabilityChanged, this,
                [this](QNetworkInformation::Reachability r) {
                    Tell(r != QNetworkInformation::Reachability::Disconnected);
                });
    }
    QDBusConnection::systemBus().connect(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"), this,
        SLOT(PrepareForSleep(bool)));
}

void NetworkWatch::PrepareForSleep(bool sleeping) {
    if (!sleeping) {
        Tell(true);
    }
}

void NetworkWatch::Tell(bool online) {
    for (Call* call : model_.Calls()) {
        call->NetworkChanged(online);
    }
    emit Changed(online);
}
