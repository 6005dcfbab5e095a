#include "Main.h"
#include "Version.h"

#include "Announcer.h"
#include "Attention.h"
#include "Menus.h"
#include "Nearby.h"
#include "OutsideCalls.h"
#include "Recorder.h"

#include "settings/Settings.h"

#include "chat/ClientWindows.h"
#include "chat/frmClient.h"
#include "history/HistoryStore.h"
#include "log/frmDebug.h"
#include "platform/MessageBox.h"
#include "platform/TcpSocket.h"
#include "protocol/CrcBinding.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDir>
#include <QDockWidget>
#include <QHostAddress>
#include <QListWidget>
#include <QPointer>
#include <QTimer>

namespace {

// Keeps the switchboard's place and size for the next start: a moment after it last moved or
// changed size, and when it is hidden.
class PlaceKeeper : public QObject {
public:
    explicit PlaceKeeper(QWidget* window) : QObject(window), window_(window) {
        timer_.setSingleShot(true);
        timer_.setInterval(300);
        connect(&timer_, &QTimer::timeout, this, [this] { Keep(); });
        window->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        switch (event->type()) {
        case QEvent::Move:
        case QEvent::Resize:
            if (window_->isVisible()) {
                timer_.start();
            }
            break;
        case QEvent::Hide:
            Keep();
            break;
        default:
            break;
        }
        return false;
    }

private:
    void Keep() {
        timer_.stop();
        KeepSwitchboardPlace(window_->saveGeometry());
    }
    QWidget* window_;
    QTimer timer_;
};

Announcer*& TheAnnouncer() {
    static Announcer* announcer = nullptr;
    return announcer;
}

// The "Nearby" panel of the switchboard: the copies found on the local network, each called
// with Enter or a double-click. Hidden while it lists nobody.
void ShowNearby(frmClient* board,
                const std::function<void(const QString&, const QByteArray&)>& place) {
    auto* dock = new QDockWidget(QStringLiteral("Nearby"), board);
    dock->setObjectName(QStringLiteral("dockNearby"));
    dock->setFeatures(QDockWidget::DockWidgetMovable | QDockWidget::DockWidgetFloatable);
    auto* list = new QListWidget(dock);
    list->setObjectName(QStringLiteral("lstNearby"));
    list->setAccessibleName(QStringLiteral("Palaver users nearby"));
    list->setToolTip(QStringLiteral("Enter or a double-click calls"));
    list->setMinimumWidth(list->fontMetrics().horizontalAdvance(QLatin1Char('x')) * 28);
    dock->setWidget(list);
    board->addDockWidget(Qt::RightDockWidgetArea, dock);
    dock->hide();
    auto* nearby = new Nearby(QDBusConnection::systemBus(), TheAnnouncer()->Id(), dock);
    QObject::connect(nearby, &Nearby::Unavailable, board,
                     [board](const QString& why) { board->LogInfo(why); });
    QObject::connect(nearby, &Nearby::Changed, list, [nearby, list, dock] {
        list->clear();
        const Security* security = ClientWindows().Model().SecurityState();
        for (const Nearby::Entry& e : nearby->Entries()) {
            // Known only when that very key answered at that address before, or the user
            // verified it: what an announcement says of itself proves nothing.
            const bool known = !e.fingerprint.isEmpty() &&
                               (security->keys.Verified(e.fingerprint) ||
                                security->keys.PinFor(KeyStore::NormalAddress(e.address, e.port)) ==
                                    e.fingerprint);
            auto* item = new QListWidgetItem(
                e.nickname + QStringLiteral(" - ") + e.host +
                    (known ? QStringLiteral(" (known)") : QString()) +
                    (e.sharedId ? QStringLiteral(" (announced twice)") : QString()),
                list);
            const QHostAddress address(e.address);
            const QString target = address.protocol() == QAbstractSocket::IPv6Protocol
                                       ? QStringLiteral("[") + e.address + QStringLiteral("]")
                                       : e.address;
            item->setData(Qt::UserRole, target + QStringLiteral(":") + QString::number(e.port));
            item->setData(Qt::UserRole + 1, e.fingerprint);
            item->setToolTip(target + QStringLiteral(":") + QString::number(e.port));
        }
        dock->setVisible(list->count() > 0);
    });
    QObject::connect(list, &QListWidget::itemActivated, list, [place](QListWidgetItem* item) {
        place(item->data(Qt::UserRole).toString(), item->data(Qt::UserRole + 1).toByteArray());
    });
    nearby->Start();
}

} // namespace

void UpdateAnnouncement() {
    Announcer* announcer = TheAnnouncer();
    if (announcer == nullptr) {
        return;
    }
    Switchboard& model = ClientWindows().Model();
    Announcer::Wanted wanted;
    wanted.on =
        Windows().showOnNetwork && model.ServerState(0) == int(platform::TcpSocket::Listening);
    wanted.port = model.ServerPort(0);
    wanted.nickname = Settings.Nickname;
    if (const Security* security = model.SecurityState(); security->CanOffer()) {
        wanted.fingerprint = security->identity.Fingerprint();
    }
    announcer->Set(wanted);
}

void Main(const QString& callAddress) {
    // The icons live in the static core library, whose resources must be registered.
    Q_INIT_RESOURCE(palaver);
    QApplication::setApplicationName(QStringLiteral("Palaver"));
    QApplication::setApplicationVersion(QStringLiteral("%1.%2.%3")
                                            .arg(PALAVER_VERSION_MAJOR)
                                            .arg(PALAVER_VERSION_MINOR)
                                            .arg(PALAVER_VERSION_PATCH));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/palaver/palaver.png")));
    // The program ends with the last unload, not with the last visible window.
    QApplication::setQuitOnLastWindowClosed(false);

    InstallWindowHooks();
    crcbinding::SetFailureReporter([](const QString& text) {
        platform::MessageRequest box;
        box.text = text;
        box.icon = platform::MsgIcon::Critical;
        platform::PostMessage(box);
    });
    DebugLog() = std::make_unique<CLog>();
    frmDebug* debug = LoadDebugWindow();
    debug->hide();
    DebugLog()->Start(QString(), debug->txtLog());
    DebugLog()->Log(QStringLiteral("Debugger started"));
    LoadSettings();
    // Notifications, the tray and the history follow every call and window from its
    // creation.
    Attentions() = std::make_unique<Attention>();
    static QPointer<Recorder> recorder;
    delete recorder.data();
    recorder = new Recorder(ClientWindows(), qApp);
    const std::int16_t slot = CreateClientWindow();
    frmClient* board = ClientWindows(slot);
    if (board != nullptr) {
        // Where this folder's switchboard was last time; the first time, where the window
        // manager puts it.
        if (const QByteArray place = SwitchboardPlace(); !place.isEmpty()) {
            board->restoreGeometry(place);
        }
        new PlaceKeeper(board);
        board->show();
        if (Windows().acceptAtStart) {
            board->ToggleServer();
        }
    }
    // The key is read (or made) once the switchboard can say why it could not.
    ClientWindows().Model().EnableSecurity();
    // Shown on the local network while the server accepts calls.
    delete TheAnnouncer();
    TheAnnouncer() = new Announcer(QDBusConnection::systemBus(), qApp);
    QObject::connect(TheAnnouncer(), &Announcer::Unavailable, qApp, [](const QString& why) {
        if (frmClient* w = ClientWindows(0)) {
            w->LogInfo(why);
        }
    });
    QObject::connect(&ClientWindows().Model(), &Switchboard::ServerChanged, TheAnnouncer(),
                     [](int owner) {
                         if (owner == 0) {
                             UpdateAnnouncement();
                         }
                     });
    UpdateAnnouncement(); // the server may have been switched on at start already
    if (board != nullptr) {
        QObject::connect(board, &frmClient::SettingsCleared, TheAnnouncer(), UpdateAnnouncement);
    }
    // The history opens once the switchboard can say why it could not.
    History() = std::make_unique<HistoryStore>();
    QObject::connect(History().get(), &HistoryStore::Failed, [](const QString& why) {
        if (frmClient* w = ClientWindows(0)) {
            w->LogInfo(QStringLiteral("History is off: ") + why);
        }
    });
    // A peer that once answered securely is never taken as new without asking.
    ClientWindows().Model().SecurityState()->securedBefore = [](const QString& address) {
        return History() && History()->SecureBefore(address);
    };
    // Opened once the event loop runs, so that the switchboard is on screen first.
    QTimer::singleShot(0, History().get(), [] { History()->Open(HistoryStore::DefaultPath()); });

    // Calls asked for from outside, by "palaver call" or a link, each in a line of its own.
    static outside::CallServer* calls = nullptr;
    delete calls;
    calls = new outside::CallServer(qApp);
    const auto place = [](const QString& address, const QByteArray& key) {
        frmClient* board = ClientWindows(0);
        if (frmClient* line = board != nullptr ? ClientWindows().NewLine(board) : nullptr) {
            line->PlaceCall(address, key);
            line->raise();
            line->activateWindow();
        }
    };
    QObject::connect(calls, &outside::CallServer::CallWanted, calls,
                     [place](const QString& address) { place(address, {}); });
    if (board != nullptr) {
        ShowNearby(board, place);
    }
    QObject::connect(calls, &outside::CallServer::ShowWanted, calls, [] {
        if (Attentions()) {
            Attentions()->Open(ClientWindows(0));
        }
    });
    if (!calls->Listen(QDir::currentPath())) {
        LogDebug(QStringLiteral("Calls from outside are not taken: ") + calls->Error());
    }
    if (!callAddress.isEmpty()) {
        place(callAddress, {});
    }
}

std::unique_ptr<HistoryStore>& History() {
    static std::unique_ptr<HistoryStore> store;
    return store;
}
