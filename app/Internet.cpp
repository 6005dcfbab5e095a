#include "Internet.h"

#include "call/Switchboard.h"
#include "chat/frmClient.h"
#include "platform/TcpSocket.h"

#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QMenu>
#include <QSettings>
#include <QStandardPaths>

namespace {

QSettings InternetOptions() {
    return QSettings(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                         QStringLiteral("/Palaver/internet.ini"),
                     QSettings::IniFormat);
}

} // namespace

Internet::Internet(Switchboard& model, std::function<frmClient*()> board, QObject* parent)
    : QObject(parent), model_(model), board_(std::move(board)) {
    connect(&mapper_, &PortMapper::Changed, this, &Internet::Show);
    connect(&model_, &Switchboard::ServerChanged, this, [this](int owner) {
        if (owner == 0) {
            Update();
        }
    });
}

bool Internet::On() {
    return InternetOptions().value(QStringLiteral("accept-calls"), false).toBool();
}

void Internet::SetOn(bool on) {
    InternetOptions().setValue(QStringLiteral("accept-calls"), on);
}

void Internet::AddTo(QMenu* tools) {
    QAction* option = tools->addAction(QStringLiteral("Accept calls from the &Internet"));
    option->setObjectName(QStringLiteral("mnuToolsInternet"));
    option->setCheckable(true);
    QAction* copy = tools->addAction(QStringLiteral("Copy Internet &Link"));
    copy->setObjectName(QStringLiteral("mnuToolsCopyLink"));
    connect(option, &QAction::triggered, this, [this](bool on) {
        SetOn(on);
        toldNoRouter_ = false;
        Update();
    });
    connect(copy, &QAction::triggered, this,
            [this] { QGuiApplication::clipboard()->setText(Link(mapper_.Current())); });
    connect(tools, &QMenu::aboutToShow, option, [this, option, copy] {
        option->setChecked(On());
        copy->setEnabled(!Link(mapper_.Current()).isEmpty());
    });
}

void Internet::Update() {
    const bool listening = model_.ServerState(0) == int(platform::TcpSocket::Listening);
    const bool was = mapper_.Current().kind != PortMapper::State::Off;
    mapper_.Set(On() && listening, model_.ServerPort(0));
    if (was && mapper_.Current().kind == PortMapper::State::Off && !On()) {
        if (frmClient* w = board_()) {
            w->Tell(QStringLiteral("Calls from the Internet are no longer accepted"));
        }
    }
}

void Internet::NetworkChanged(bool online) {
    if (online) {
        mapper_.Again();
    }
}

QString Internet::Text(const PortMapper::State& state, int port) {
    const router::Mapping& m = state.mapping;
    switch (state.kind) {
    case PortMapper::State::Asking:
        return QStringLiteral("Asking the router to let calls from the Internet reach port %1")
            .arg(port);
    case PortMapper::State::Reachable:
        return QStringLiteral("Reachable from the Internet at %1:%2 (%3, %4)")
            .arg(m.external)
            .arg(m.externalPort)
            .arg(m.via == router::Via::Upnp ? QStringLiteral("UPnP") : QStringLiteral("NAT-PMP"))
            .arg(state.renewInMs < 0
                     ? QStringLiteral("until Palaver ends")
                     : QStringLiteral("renews in %1 min").arg((state.renewInMs + 59999) / 60000));
    case PortMapper::State::Shared:
        return (m.external.isEmpty()
                    ? QStringLiteral("The router has no address of its own on the Internet")
                    : QStringLiteral("The router's address on the Internet, %1, is private or "
                                     "shared with other customers")
                          .arg(m.external)) +
               QStringLiteral(": others cannot call in through it. You can still call out.");
    case PortMapper::State::NoRouter:
        return QStringLiteral("No router answered: calls from the Internet cannot reach this "
                              "copy unless the router is opened by hand");
    case PortMapper::State::Refused:
        return QStringLiteral("The router did not open a port for calls from the Internet: ") +
               state.why;
    case PortMapper::State::Off:
        break;
    }
    return {};
}

QString Internet::Link(const PortMapper::State& state) {
    if (state.kind != PortMapper::State::Reachable) {
        return {};
    }
    return QStringLiteral("palaver://%1:%2")
        .arg(state.mapping.external)
        .arg(state.mapping.externalPort);
}

void Internet::Show(const PortMapper::State& state) {
    frmClient* w = board_();
    const QString text = Text(state, model_.ServerPort(0));
    if (w == nullptr || text.isEmpty() || state.kind == PortMapper::State::Asking) {
        return;
    }
    // Said once while the option stays on: a network that comes and goes asks again.
    if (state.kind == PortMapper::State::NoRouter && std::exchange(toldNoRouter_, true)) {
        return;
    }
    w->Tell(text);
    const QStringList v6 = PortMapper::GlobalIpv6();
    if (!v6.isEmpty()) {
        w->LogInfo(QStringLiteral("Over IPv6 it needs no router: [%1]:%2 (a firewall may still "
                                  "keep calls out)")
                       .arg(v6.join(QStringLiteral("]:%1, [").arg(model_.ServerPort(0))))
                       .arg(model_.ServerPort(0)));
    }
}
