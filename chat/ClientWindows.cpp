#include "ClientWindows.h"

#include "LoginGuard.h"
#include "frmClient.h"

#include "log/frmDebug.h"
#include "platform/Twips.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>

void WindowTable::DeleteLater::operator()(frmClient* w) const {
    // A window is often unloaded from inside one of its own handlers.
    w->deleteLater();
}

WindowTable::WindowTable() {
    connect(&pool_, &LoginPool::LoggedIn, this, &WindowTable::LoggedIn);
    connect(&pool_, &LoginPool::DebugLine, this, [](const QString& text) { LogDebug(text); });
    auto toSwitchboard = [this](const QString& text) {
        if (frmClient* board = Window(0)) {
            board->LogInfo(text);
        }
    };
    connect(&pool_, &LoginPool::Report, this, toSwitchboard);
    connect(&pool_, &LoginPool::HeldBack, this,
            [toSwitchboard](const QString& address) { toSwitchboard(HeldBackNote(address)); });
    connect(&pool_, &LoginPool::ManyWrongLogins, this, [toSwitchboard] {
        toSwitchboard(QStringLiteral("Many wrong login passwords from everywhere: logins are "
                                     "judged at most one a second for now"));
    });
    lastWindowGone = [] {
        if (QCoreApplication::instance() != nullptr) {
            QTimer::singleShot(0, QCoreApplication::instance(), &QCoreApplication::quit);
        }
    };
}

WindowTable::~WindowTable() = default;

frmClient* WindowTable::Window(int slot) const {
    if (slot < 0 || slot >= kWindowSlots) {
        return nullptr;
    }
    return slots_[static_cast<std::size_t>(slot)].window.get();
}

bool WindowTable::InUse(int slot) const {
    return slot >= 0 && slot < kWindowSlots && slots_[static_cast<std::size_t>(slot)].inUse;
}

int WindowTable::SlotOf(const frmClient* window) const {
    for (int slot = 0; slot < kWindowSlots; ++slot) {
        if (window != nullptr && slots_[static_cast<std::size_t>(slot)].window.get() == window) {
            return slot;
        }
    }
    return -1;
}

std::int16_t WindowTable::Line(const frmClient* owner, int k) const {
    const int slot = SlotOf(owner);
    if (slot < 0 || k < 0 || k >= kLines) {
        return -1;
    }
    return slots_[static_cast<std::size_t>(slot)].lines[static_cast<std::size_t>(k)];
}

frmClient* WindowTable::OwnerOf(const frmClient* line) const {
    const int lineSlot = SlotOf(line);
    for (const Slot& s : slots_) {
        if (lineSlot >= 0 && s.window != nullptr &&
            std::find(s.lines.begin(), s.lines.end(), lineSlot) != s.lines.end()) {
            return s.window.get();
        }
    }
    return nullptr;
}

QList<std::pair<int, frmClient*>> WindowTable::LinesOf(const frmClient* owner) const {
    QList<std::pair<int, frmClient*>> lines;
    for (int k = 0; k < kLines; ++k) {
        if (frmClient* w = Window(Line(owner, k))) {
            lines.append({k, w});
        }
    }
    return lines;
}

std::int16_t WindowTable::Create() {
    for (int slot = 0; slot < kCreatableSlots; ++slot) {
        Slot& cell = slots_[static_cast<std::size_t>(slot)];
        // A slot is free only once its last window is gone, not merely released.
        if (cell.inUse || cell.window != nullptr) {
            continue;
        }
        cell.inUse = true;
        cell.lines.fill(-1);
        cell.window.reset(new frmClient(static_cast<std::int16_t>(slot), limits));
        frmClient* w = cell.window.get();
        connect(w, &frmClient::LineWanted, this, [this, w] { OpenLine(w, nullptr); });
        connect(w, &frmClient::CallArrived, this, [this, w](int requestID) {
            // Held back for wrong passwords: closed before AUTH.
            const QString from = platform::TcpSocket::RequestAddress(requestID);
            if (const qint64 held = Logins().HoldMs(from); held > 0) {
                LogDebug(
                    QStringLiteral("Call from ") + from +
                    QStringLiteral(" closed: logins from there are held back for %1 ms").arg(held));
                return;
            }
            pool_.Admit(requestID, limits, w);
        });
        connect(w, &frmClient::ConferenceWanted, this, [this, w] { MergeLines(w); });
        connect(w, &frmClient::UnloadWanted, this, [this, w] { UnloadWindow(w); });
        connect(w, &frmClient::OwnerNote, this, [this, w](const QString& text) {
            if (frmClient* owner = OwnerOf(w); owner != nullptr && owner != w) {
                owner->LogInfo(text);
            }
        });
        connect(w, &frmClient::SwitchboardNote, this, [this](const QString& text) {
            if (frmClient* board = Window(0)) {
                board->LogInfo(text);
            }
        });
        connect(w, &frmClient::ReportWanted, this, [this, w] { w->LogConnections(LinesOf(w)); });
        connect(w, &frmClient::SettingsCleared, this, [this] {
            RefreshAllTitles();
            RefreshAllLevels();
        });
        if (created) {
            created(w);
        }
        const int tx = platform::TwipsPerPixelX();
        const int ty = platform::TwipsPerPixelY();
        w->MoveTwips((slot + 1) * 20 * tx, (slot + 1) * 20 * ty);
        w->Load();
        w->AddAddresses();
        return static_cast<std::int16_t>(slot);
    }
    return -1;
}

frmClient* WindowTable::OpenLine(frmClient* owner, Call* call) {
    if (call != nullptr) {
        LogDebug(QStringLiteral("Creating new client window"));
    }
    const std::int16_t slot = Create();
    if (slot == -1) {
        if (call == nullptr) {
            owner->Inform(QStringLiteral("Unable to create a new client window"),
                          platform::MsgIcon::Exclamation);
        } else {
            call->Close(); // nowhere to show it: closed before it is accepted
            call->deleteLater();
        }
        return nullptr;
    }
    frmClient* line = Window(slot);
    if (call != nullptr) {
        owner->LogInfo(QStringLiteral("*** Connecting ") + call->RemoteAddress() +
                       QStringLiteral(" to line #") + QString::number(slot + 1));
    }
    if (!Attach(owner, line)) {
        // No free entry in the owner's line table: the new window would be stranded.
        line->Unload();
        if (call == nullptr) {
            owner->ShowStatus(
                QStringLiteral(" All %1 lines of this window are in use").arg(kLines));
        } else {
            call->Close();
            call->deleteLater();
        }
        return nullptr;
    }
    if (call != nullptr) {
        LogDebug(QStringLiteral("Client Window #") + QString::number(slot));
        line->Adopt(call, true);
    }
    return line;
}

frmClient* WindowTable::NewLine(frmClient* owner) {
    return SlotOf(owner) >= 0 ? OpenLine(owner, nullptr) : nullptr;
}

void WindowTable::LoggedIn(Call* call, QObject* listener) {
    auto* owner = qobject_cast<frmClient*>(listener);
    if (owner == nullptr || SlotOf(owner) < 0) {
        owner = Window(0);
    }
    if (owner == nullptr) {
        call->Close();
        call->deleteLater();
        return;
    }
    // The window that was called takes the call itself when it is free, as it would have
    // answered it; otherwise the call gets a line of its own.
    if (owner->call().Idle() && owner->conference().Empty()) {
        owner->Adopt(call, false);
        return;
    }
    OpenLine(owner, call);
}

bool WindowTable::Attach(frmClient* owner, frmClient* line) {
    Slot& cell = slots_[static_cast<std::size_t>(SlotOf(owner))];
    const auto free = std::find(cell.lines.begin(), cell.lines.end(), std::int16_t{-1});
    if (free == cell.lines.end()) {
        return false;
    }
    *free = line->ID();
    line->BecomeLine(owner->ID());
    // 15 pixels below and right of the owner's frame, or of its last visible line, so that
    // lines stack instead of covering each other. The position is set before the window is
    // shown, so the window manager places the frame there rather than the client area.
    QPoint at = owner->frameGeometry().topLeft();
    for (const auto& [k, w] : LinesOf(owner)) {
        if (w != line && w->isVisible()) {
            at = w->frameGeometry().topLeft();
        }
    }
    line->move(at + QPoint(15, 15));
    line->setVisible(true);
    return true;
}

void WindowTable::MergeLines(frmClient* owner) {
    for (const auto& [k, line] : LinesOf(owner)) {
        if (!line->Member()) {
            owner->Merge(line);
        }
    }
}

void WindowTable::UnloadWindow(frmClient* window) {
    const int slot = SlotOf(window);
    if (slot < 0) {
        return;
    }
    Slot& cell = slots_[static_cast<std::size_t>(slot)];
    // Conference members cannot be seen or reached once their owner has gone; other lines
    // keep a switchboard open.
    int open = 0;
    for (const auto& [k, line] : LinesOf(window)) {
        if (line->Member()) {
            cell.lines[static_cast<std::size_t>(k)] = -1;
            line->Unload();
        } else {
            ++open;
        }
    }
    if (!window->Tag() && open > 0) {
        window->Inform(QStringLiteral("Unable to close switchboard window until\n"
                                      "all other client windows are closed first."),
                       platform::MsgIcon::Information);
        return;
    }
    if (frmClient* owner = OwnerOf(window)) {
        Slot& ownerCell = slots_[static_cast<std::size_t>(SlotOf(owner))];
        std::replace(ownerCell.lines.begin(), ownerCell.lines.end(), window->ID(),
                     std::int16_t{-1});
    }
    cell.inUse = false;
    window->Teardown();
    Forget(window);
}

void WindowTable::Forget(frmClient* window) {
    bool anyLeft = false;
    for (Slot& cell : slots_) {
        if (cell.window.get() == window) {
            cell.window.reset();
        } else if (cell.window != nullptr) {
            anyLeft = true;
        }
    }
    if (!anyLeft && lastWindowGone) {
        lastWindowGone();
    }
}

void WindowTable::RefreshAllTitles() {
    for (const Slot& cell : slots_) {
        if (cell.inUse && cell.window != nullptr) {
            cell.window->SetTitle();
        }
    }
}

void WindowTable::RefreshAllLevels() {
    for (const Slot& cell : slots_) {
        if (cell.inUse && cell.window != nullptr) {
            cell.window->SetLayers();
        }
    }
}

void WindowTable::CloseAll() {
    // Lines before their owners, so that no switchboard refuses to close.
    for (int pass = 0; pass < 3; ++pass) {
        for (int slot = kWindowSlots - 1; slot >= 0; --slot) {
            frmClient* w = Window(slot);
            if (w != nullptr && (w->Tag() || pass > 0)) {
                w->Unload();
            }
        }
    }
}

WindowTable& ClientWindows() {
    static WindowTable table;
    return table;
}

frmClient* ClientWindows(int slot) {
    return ClientWindows().Window(slot);
}

std::int16_t CreateClientWindow() {
    return ClientWindows().Create();
}
