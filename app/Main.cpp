#include "Main.h"
#include "Version.h"

#include "Announcer.h"
#include "Attention.h"
#include "Internet.h"
#include "Menus.h"
#include "Nearby.h"
#include "NetworkWatch.h"
#include "OutsideCalls.h"
#include "PeoplePanel.h"
#include "Recorder.h"

#include "settings/Settings.h"

#include "call/People.h"
#include "chat/ClientWindows.h"
#include "chat/frmClient.h"
#include "history/HistoryStore.h"
#include "history/HistoryWindow.h"
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
#include <QStandardPaths>
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

} // namespace

App* App::current_ = nullptr;

App::App() {
    current_ = this;
}

App::~App() {
    internet_.reset(); // the router forgets the port before the program ends
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

frmClient* App::Place(const QString& address, const QByteArray& key, bool front) {
    frmClient* board = table_.Window(0);
    // A second activation of the same entry shows the line already calling it.
    for (int k = 0; board != nullptr && k < WindowTable::kLines; ++k) {
        frmClient* line = table_.Window(table_.Line(board, k));
        const Call* call = line != nullptr ? line->ShownCall() : nullptr;
        if (call != nullptr && !call->Idle() && call->CallAddress() == address) {
            line->raise();
            line->activateWindow();
            return line;
        }
    }
    frmClient* line = board != nullptr ? table_.NewLine(board) : nullptr;
    if (line != nullptr) {
        line->PlaceCall(address, key);
        if (front) {
            line->raise();
            line->activateWindow();
        }
    }
    return line;
}

void App::SendTo(const QString& address, const QStringList& files) {
    QPointer<frmClient> line = Place(address);
    if (line == nullptr) {
        return;
    }
    // Offered once the call is up and the peer said it takes files; each try looks again.
    auto* wait = new QTimer(line);
    wait->setInterval(100);
    auto tries = std::make_shared<int>(0);
    QObject::connect(wait, &QTimer::timeout, line, [line, wait, files, tries] {
        Call* call = line->ShownCall();
        if (call != nullptr && call->Files().Available()) {
            wait->deleteLater();
            line->SendFiles(files);
        } else if (++*tries > 600 ||
                   (call != nullptr && call->Idle() && !call->Retrying() && *tries > 10)) {
            wait->deleteLater();
            line->LogInfo(QStringLiteral("*** Files not sent: no call that takes them"));
        }
    });
    wait->start();
}

void App::Reach(const QByteArray& key) {
    if (people_ == nullptr) {
        return;
    }
    if (frmClient* shown = table_.Window(table_.LineTable().LineShowing(people_->CallWith(key)))) {
        shown->show();
        shown->raise();
        shown->activateWindow();
        return;
    }
    for (const People::Person& p : people_->List()) {
        if (p.contact.key != key) {
            continue;
        }
        if (!p.reachAt.isEmpty()) {
            Place(p.reachAt, key);
            return;
        }
        // Away: what is typed waits, and its addresses are tried at once, newest first.
        frmClient* board = table_.Window(0);
        if (frmClient* line = board != nullptr ? table_.NewLine(board) : nullptr) {
            line->WriteTo(key, p.contact.name, p.contact.addresses.value(0));
            line->raise();
            line->activateWindow();
        }
        people_->CheckNow(key);
        return;
    }
}

void App::StartPeople(frmClient* board) {
    Switchboard& model = table_.Model();
    people_ = std::make_unique<People>(model);
    people_->defaultPort = Settings.Port;
    // Lines that waited for a contact go by a call of the program's own once it is here.
    QObject::connect(
        people_.get(), &People::DeliveryWanted, people_.get(),
        [this](const QByteArray& key, const QString& address) { Place(address, key, false); });
    QObject::connect(
        people_.get(), &People::Delivered, people_.get(),
        [this](const QByteArray& key, const QString& name, int count) {
            const QString text =
                (count == 1 ? QStringLiteral("The line that waited for ")
                            : QStringLiteral("%1 lines that waited for ").arg(count)) +
                name +
                (count == 1 ? QStringLiteral(" was delivered") : QStringLiteral(" were delivered"));
            const int line = table_.LineTable().LineShowing(people_->CallWith(key));
            if (frmClient* shown = table_.Window(line); shown != nullptr && line != 0) {
                shown->LogInfo(text);
            }
            if (frmClient* w = table_.Window(0)) {
                w->LogInfo(text);
            }
        });
    if (board == nullptr) {
        return;
    }
    auto* nearby = new Nearby(QDBusConnection::systemBus(), announcer_->Id(), board);
    QObject::connect(nearby, &Nearby::Unavailable, board,
                     [board](const QString& why) { board->LogInfo(why); });
    QObject::connect(nearby, &Nearby::Changed, people_.get(),
                     [this, nearby] { people_->SetAnnounced(nearby->Announced()); });
    PeoplePanel::Actions actions;
    actions.reach = [this](const QByteArray& key) { Reach(key); };
    actions.place = [this](const QString& address, const QByteArray& key) { Place(address, key); };
    actions.showHistory = [this, board](const QByteArray& key) {
        frmHistory::ShowFor(history_.get(), board)->ShowKey(QString::fromLatin1(key.toHex()));
    };
    actions.forgetHistory = [this](const QByteArray& key) {
        if (history_) {
            history_->ForgetKey(QString::fromLatin1(key.toHex()));
        }
    };
    new PeoplePanel(board, *people_, *nearby, *model.SecurityState(), actions);
    nearby->Start();
}

void App::Start(const QString& callAddress, const QStringList& files) {
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
    // Before the first window: the switchboard's own call takes files too.
    files_.downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation) +
                       QStringLiteral("/Palaver");
    files_.keptFile = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                      QStringLiteral("/Palaver/transfers.json");
    table_.Model().limits.files = &files_;

    // Before the first window: its Tools menu holds the option.
    internet_ = std::make_unique<Internet>(table_.Model(), [this] { return table_.Window(0); });
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
    QObject::connect(network_.get(), &NetworkWatch::Changed, internet_.get(),
                     &Internet::NetworkChanged);
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
    QObject::connect(
        calls_.get(), &outside::CallServer::SendWanted, calls_.get(),
        [this](const QString& address, const QStringList& files) { SendTo(address, files); });
    StartPeople(board);
    QObject::connect(calls_.get(), &outside::CallServer::ShowWanted, calls_.get(), [this] {
        if (attention_) {
            attention_->Open(table_.Window(0));
        }
    });
    if (!calls_->Listen(QDir::currentPath())) {
        LogDebug(QStringLiteral("Calls from outside are not taken: ") + calls_->Error());
    }
    if (!callAddress.isEmpty() && !files.isEmpty()) {
        SendTo(callAddress, files);
    } else if (!callAddress.isEmpty()) {
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
