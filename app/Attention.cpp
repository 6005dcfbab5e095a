#include "Attention.h"

#include "chat/FileRows.h"

#include "chat/ClientWindows.h"
#include "chat/frmClient.h"
#include "platform/MessageBox.h"

#include <QAction>
#include <QApplication>
#include <QPainter>
#include <QSettings>
#include <QStandardPaths>
#include <QTimer>
#include <QWindow>

namespace {

QSettings Options() {
    return QSettings(QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) +
                         QStringLiteral("/tray.ini"),
                     QSettings::IniFormat);
}

} // namespace

Attention::Attention(WindowTable& table, QObject* parent) : QObject(parent), table_(table) {
    tray_.setObjectName(QStringLiteral("trayIcon"));
    menu_.setObjectName(QStringLiteral("mnuTray"));
    tray_.setContextMenu(&menu_);
    connect(&menu_, &QMenu::aboutToShow, this, &Attention::BuildMenu);
    connect(&notifier_, &platform::DesktopNotifier::Activated, this, [this](quintptr key) {
        for (frmClient* w : windows_) {
            if (reinterpret_cast<quintptr>(w) == key) {
                Open(w);
                return;
            }
        }
        Open(table_.Window(0));
    });
    connect(&tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
        if (r != QSystemTrayIcon::Trigger && r != QSystemTrayIcon::DoubleClick) {
            return;
        }
        // The window with unread lines, or else the switchboard.
        for (frmClient* w : windows_) {
            if (unread_.value(w) > 0) {
                Open(w);
                return;
            }
        }
        Open(table_.Window(0));
    });
    connect(qApp, &QGuiApplication::focusWindowChanged, this, [this](QWindow* focused) {
        for (frmClient* w : windows_) {
            if (focused != nullptr && w->windowHandle() == focused) {
                Seen(w);
            }
        }
    });
    // What the calls report, shown against the window that shows each call.
    Switchboard& model = table_.Model();
    connect(&model, &Switchboard::CallAdded, this, &Attention::WatchCall);
    for (Call* call : model.Calls()) {
        WatchCall(call);
    }
    connect(&model, &Switchboard::CallArrived, this, [this](Call* call) {
        OnNotice(ShownIn(call), call->Nickname(),
                 QStringLiteral("Call from ") + call->RemoteAddress());
    });
    BuildMenu();
    Refresh();
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        tray_.show();
    }
}

Attention::~Attention() = default;

bool Attention::KeepInTray() {
    return Options().value(QStringLiteral("keep-running"), false).toBool();
}

void Attention::SetKeepInTray(bool keep) {
    QSettings options = Options();
    options.setValue(QStringLiteral("keep-running"), keep);
}

void Attention::WatchCall(Call* call) {
    // Connected as the call is made, before any window: the window is still the call's when
    // its line or its end is told here.
    connect(call, &Call::ChatLine, this,
            [this, call](const QString& nickname, const QString& text) {
                OnNotice(ShownIn(call), nickname, text);
            });
    // An offer, and a file that arrived, are news like a line.
    connect(&call->Files(), &Transfers::Added, this, [this, call](const QByteArray& id) {
        const Transfer* t = call->Files().Find(id);
        if (t != nullptr && t->state == Transfer::State::Asked) {
            OnNotice(ShownIn(call), call->Nickname(),
                     QStringLiteral("Offers ") + chat::FileTitle(*t));
        }
    });
    connect(&call->Files(), &Transfers::Finished, this, [this, call](const QByteArray& id) {
        const Transfer* t = call->Files().Find(id);
        if (t != nullptr && t->way == Transfer::Way::In && t->state == Transfer::State::Done) {
            OnNotice(ShownIn(call), call->Nickname(),
                     QStringLiteral("Received ") + chat::FileTitle(*t));
        }
    });
    connect(call, &Call::Lost, this, [this, call](const QString& nickname, const QString& remote) {
        if (!nickname.isEmpty()) {
            OnNotice(ShownIn(call), nickname, QStringLiteral("Lost call - ") + remote);
        }
    });
    connect(call, &Call::ConnectionLost, this, [this, call](const QString& nickname) {
        OnNotice(ShownIn(call), nickname,
                 call->Redialling() ? QStringLiteral("Connection lost, calling again")
                                    : QStringLiteral("Connection lost"));
    });
}

frmClient* Attention::ShownIn(const Call* call) const {
    // The model says which line shows the call; the table, which window that line has.
    return table_.Window(table_.LineTable().LineShowing(call));
}

void Attention::Watch(frmClient* window) {
    windows_.append(window);
    connect(window, &QObject::destroyed, this, [this, window] {
        // Only compared, never used: the window is half gone.
        unread_.remove(window);
        pending_.remove(window);
        windows_.removeAll(window);
        notifier_.Close(reinterpret_cast<quintptr>(window));
        Refresh();
    });
    if (window->ID() == 0 && KeepInTray() && QSystemTrayIcon::isSystemTrayAvailable()) {
        window->SetHideOnClose(true);
    }
}

int Attention::Unread(const frmClient* window) const {
    return unread_.value(const_cast<frmClient*>(window));
}

void Attention::OnNotice(frmClient* window, const QString& summary, const QString& body) {
    if (!windows_.contains(window)) {
        return; // nobody shows it (a null window is never watched)
    }
    if (window->isVisible() && window->isActiveWindow()) {
        return; // the user is looking at it
    }
    ++unread_[window];
    pending_.insert(window, {summary, body});
    if (!telling_) {
        telling_ = true;
        // At once after this read, but a chatty peer updates the desktop at most every
        // kTellEveryMs: the notification shows the newest line either way.
        const qint64 since = told_.isValid() ? told_.elapsed() : kTellEveryMs;
        QTimer::singleShot(static_cast<int>(std::max<qint64>(0, kTellEveryMs - since)), this,
                           &Attention::Tell);
    }
}

void Attention::Tell() {
    telling_ = false;
    told_.start();
    Refresh();
    const QHash<frmClient*, Notice> pending = std::exchange(pending_, {});
    if (quiet_) {
        return; // counted, not told
    }
    for (auto it = pending.begin(); it != pending.end(); ++it) {
        if (unread_.value(it.key()) == 0) {
            continue; // seen in the meantime
        }
        if (notifier_.Available()) {
            ++toldCount_;
            notifier_.Show(reinterpret_cast<quintptr>(it.key()), it->summary, it->body);
        } else if (tray_.isVisible()) {
            tray_.showMessage(it->summary, platform::DesktopNotifier::SafeBody(it->body));
        }
    }
}

void Attention::Seen(frmClient* window) {
    if (unread_.remove(window) > 0) {
        notifier_.Close(reinterpret_cast<quintptr>(window));
        Refresh();
    }
}

void Attention::Open(frmClient* window) {
    if (window == nullptr) {
        return;
    }
    // A minimised window is restored, keeping whether it was maximised.
    window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
    window->show();
    window->raise();
    window->activateWindow();
    Seen(window);
}

QString Attention::ToolTip() const {
    int total = 0;
    QStringList rows;
    for (frmClient* w : windows_) {
        const int n = unread_.value(w);
        if (n > 0) {
            total += n;
            rows << w->windowTitle() + QStringLiteral(": %1 unread").arg(n);
        }
    }
    if (total == 0) {
        return QStringLiteral("Palaver");
    }
    return QStringLiteral("Palaver - %1 unread\n").arg(total) + rows.join(QLatin1Char('\n'));
}

void Attention::Refresh() {
    tray_.setToolTip(platform::PlainToolTip(ToolTip()));
    QPixmap icon = QApplication::windowIcon().pixmap(64, 64);
    if (icon.isNull()) {
        icon = QPixmap(64, 64);
        icon.fill(Qt::darkCyan);
    }
    if (!unread_.isEmpty()) {
        // A mark on the icon while anything is unread.
        QPainter paint(&icon);
        paint.setRenderHint(QPainter::Antialiasing);
        paint.setBrush(QColor(0xD0, 0x20, 0x20));
        paint.setPen(Qt::white);
        // The icon may be smaller than asked for (an icon is never scaled up): the mark takes
        // its top right corner whatever its size.
        const qreal size = icon.deviceIndependentSize().width();
        paint.drawEllipse(QRectF(size * 0.53, size * 0.03, size * 0.44, size * 0.44));
    }
    tray_.setIcon(QIcon(icon));
}

void Attention::BuildMenu() {
    menu_.clear();
    int k = 0;
    for (frmClient* w : windows_) {
        const int n = unread_.value(w);
        QAction* a = menu_.addAction(w->windowTitle() +
                                     (n > 0 ? QStringLiteral(" (%1 unread)").arg(n) : QString()));
        a->setObjectName(QStringLiteral("mnuTrayWindow(%1)").arg(k++));
        connect(a, &QAction::triggered, this, [this, w] {
            if (windows_.contains(w)) { // it may have gone since the menu was built
                Open(w);
            }
        });
    }
    menu_.addSeparator();
    QAction* server = menu_.addAction(QStringLiteral("&Accept/Reject Calls"));
    server->setObjectName(QStringLiteral("mnuTrayServer"));
    connect(server, &QAction::triggered, this, [this] {
        if (frmClient* board = table_.Window(0)) {
            board->ToggleServer();
        }
    });
    QAction* show = menu_.addAction(QStringLiteral("Show &Switchboard"));
    show->setObjectName(QStringLiteral("mnuTrayShow"));
    connect(show, &QAction::triggered, this, [this] { Open(table_.Window(0)); });
    QAction* quiet = menu_.addAction(QStringLiteral("&Do not disturb"));
    quiet->setObjectName(QStringLiteral("mnuTrayQuiet"));
    quiet->setCheckable(true);
    quiet->setChecked(quiet_);
    connect(quiet, &QAction::toggled, this, [this](bool on) { quiet_ = on; });
    QAction* keep =
        menu_.addAction(QStringLiteral("&Keep running in the tray when the switchboard is closed"));
    keep->setObjectName(QStringLiteral("mnuTrayKeep"));
    keep->setCheckable(true);
    keep->setChecked(KeepInTray());
    connect(keep, &QAction::toggled, this, [this](bool on) {
        SetKeepInTray(on);
        if (frmClient* board = table_.Window(0)) {
            board->SetHideOnClose(on && QSystemTrayIcon::isSystemTrayAvailable());
        }
    });
    menu_.addSeparator();
    QAction* quit = menu_.addAction(QStringLiteral("&Quit"));
    quit->setObjectName(QStringLiteral("mnuTrayQuit"));
    // Unloading follows the rules of the window table, not the close box.
    connect(quit, &QAction::triggered, this, [this] { table_.CloseAll(); });
}
