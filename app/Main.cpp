#include "Main.h"
#include "Version.h"

#include "Announcer.h"
#include "Attention.h"
#include "Menus.h"
#include "Nearby.h"
#include "NetworkWatch.h"
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

// The "Nearby" panel of the switchboard: the copies found on the local network, each called
// with Enter or a double-click. Hidden while it lists nobody.
void ShowNearby(frmClient* board, const QString& ownId, const Security* security,
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
    auto* nearby = new Nearby(QDBusConnection::systemBus(), ownId, dock);
    QObject::connect(nearby, &Nearby::Unavailable, board,
                     [board](const QString& why) { board->LogInfo(why); });
    QObject::connect(nearby, &Nearby::Changed, list, [nearby, list, dock, security] {
        list->clear();
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

App* App::current_ = nullptr;

App::App() {
    current_ = this;
}

App::~App() {
    network_.reset();
    history_.reset(); // what waits is written before the program goes
    attention_.reset();
    recorder_.reset();
    calls_.reset();
    announcer_.reset();
    table_.Pending().Reset(); // no socket outlives the application object
    if (current_ == this) {
        current_ = nullptr;
    }
}

App& App::Current() {
    Q_ASSERT(current_ != nullptr);
    return *current_;
}

void App::UpdateAnnouncement() {
    if (announcer_ == nullptr) {
        return;
    }
    Switchboard& model = table_.Model();
    Announcer::Wanted wanted;
    wanted.on =
        Windows().showOnNetwork && model.ServerState(0) == int(platform::TcpSocket::Listening);
    wanted.port = model.ServerPort(0);
    wanted.nickname = Settings.Nickname;
    if (const Security* security = model.SecurityState(); security->CanOffer()) {
        wanted.fingerprint = security->identity.Fingerprint();
    }
    announcer_->Set(wanted);
}

void App::Place(const QString& address, const QByteArray& key) {
    frmClient* board = table_.Window(0);
    // A second activation of the same entry shows the line already calling it.
    for (int k = 0; board != nullptr && k < WindowTable::kLines; ++k) {
        frmClient* line = table_.Window(table_.Line(board, k));
        const Call* call = line != nullptr ? line->ShownCall() : nullptr;
        if (call != nullptr && !call->Idle() && call->CallAddress() == address) {
            line->raise();
            line->activateWindow();
            return;
        }
    }
    if (frmClient* line = board != nullptr ? table_.NewLine(board) : nullptr) {
        line->PlaceCall(address, key);
        line->raise();
        line->activateWindow();
    }
}

void App::Start(const QString& callAddress) {
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

    InstallWindowHooks(*this);
    crcbinding::SetFailureReporter([](const QString& text) {
        platform::MessageRequest box;
        box.text = text;
        box.icon = platform::MsgIcon::Critical;
        platform::PostMessage(box);
    });
    frmDebug* debug = LoadDebugWindow();
    debug->hide();
    debug->StartLog();
    debug->Log(QStringLiteral("Debugger started"));
    LoadSettings();
    // Notifications, the tray and the history follow every call and window from its
    // creation.
    attention_ = std::make_unique<Attention>(table_);
    recorder_ = std::make_unique<Recorder>(table_.Model(), table_.LineTable(), history_);
    frmClient* board = table_.Window(table_.Create());
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
    Switchboard& model = table_.Model();
    model.EnableSecurity();
    // Shown on the local network while the server accepts calls.
    announcer_ = std::make_unique<Announcer>(QDBusConnection::systemBus());
    QObject::connect(announcer_.get(), &Announcer::Unavailable, announcer_.get(),
                     [this](const QString& why) {
                         if (frmClient* w = table_.Window(0)) {
                             w->LogInfo(why);
                         }
                     });
    QObject::connect(&model, &Switchboard::ServerChanged, announcer_.get(), [this](int owner) {
        if (owner == 0) {
            UpdateAnnouncement();
        }
    });
    UpdateAnnouncement(); // the server may have been switched on at start already
    if (board != nullptr) {
        QObject::connect(board, &frmClient::SettingsCleared, announcer_.get(),
                         [this] { UpdateAnnouncement(); });
    }
    // The history opens once the switchboard can say why it could not.
    history_ = std::make_unique<HistoryStore>();
    QObject::connect(history_.get(), &HistoryStore::Failed, history_.get(),
                     [this](const QString& why) {
                         if (frmClient* w = table_.Window(0)) {
                             w->LogInfo(QStringLiteral("History is off: ") + why);
                         }
                     });
    // Lines that wait for a peer outlast a restart, in the same file.
    model.limits.keeper = &waiting_;
    network_ = std::make_unique<NetworkWatch>(model);
    // A peer that once answered securely is never taken as new without asking.
    model.SecurityState()->securedBefore = [this](const QString& address) {
        return history_ && history_->SecureBefore(address);
    };
    // Opened once the event loop runs, so that the switchboard is on screen first.
    QTimer::singleShot(0, history_.get(), [this] { history_->Open(HistoryStore::DefaultPath()); });

    // Calls asked for from outside, by "palaver call" or a link, each in a line of its own.
    calls_ = std::make_unique<outside::CallServer>();
    QObject::connect(calls_.get(), &outside::CallServer::CallWanted, calls_.get(),
                     [this](const QString& address) { Place(address); });
    if (board != nullptr) {
        ShowNearby(board, announcer_->Id(), model.SecurityState(),
                   [this](const QString& address, const QByteArray& key) { Place(address, key); });
    }
    QObject::connect(calls_.get(), &outside::CallServer::ShowWanted, calls_.get(), [this] {
        if (attention_) {
            attention_->Open(table_.Window(0));
        }
    });
    if (!calls_->Listen(QDir::currentPath())) {
        LogDebug(QStringLiteral("Calls from outside are not taken: ") + calls_->Error());
    }
    if (!callAddress.isEmpty()) {
        Place(callAddress);
    }
}

void Main(const QString& callAddress) {
    App::Current().Start(callAddress);
}

WindowTable& ClientWindows() {
    return App::Current().Table();
}

frmClient* ClientWindows(int slot) {
    return ClientWindows().Window(slot);
}

std::int16_t CreateClientWindow() {
    return ClientWindows().Create();
}

std::unique_ptr<HistoryStore>& History() {
    return App::Current().History();
}

std::unique_ptr<Attention>& Attentions() {
    return App::Current().Attentions();
}

void UpdateAnnouncement() {
    App::Current().UpdateAnnouncement();
}
