#include "ClientWindows.h"

#include "call/LoginGuard.h"
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

WindowTable::WindowTable() : limits(model_.limits) {
    connect(&model_, &Switchboard::CallArrived, this, &WindowTable::Arrived);
    connect(&model_, &Switchboard::DebugLine, this, [](const QString& text) { LogDebug(text); });
    auto toSwitchboard = [this](const QString& text) {
        if (frmClient* board = Window(0)) {
            board->LogInfo(text);
        }
    };
    connect(&model_, &Switchboard::Report, this, toSwitchboard);
    connect(&model_, &Switchboard::HeldBack, this,
            [toSwitchboard](const QString& address) { toSwitchboard(HeldBackNote(address)); });
    connect(&model_, &Switchboard::ManyWrongLogins, this, [toSwitchboard] {
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

frmClient* WindowTable::OwnerOf(int lineSlot) const {
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

QList<LineReport> WindowTable::Report(const frmClient* owner) const {
    QList<LineReport> rows;
    for (int k = 0; k < kLines; ++k) {
        const int line = Line(owner, k);
        if (line < 0) {
            continue;
        }
        const Slot& cell = slots_[static_cast<std::size_t>(line)];
        const Call* call = cell.window != nullptr ? cell.window->ShownCall() : cell.member.data();
        if (cell.window == nullptr && call == nullptr) {
            continue;
        }
        rows.append({k, line, owner->ID(), model_.ServerState(line),
                     call != nullptr ? call->Nickname() : QString(),
                     call != nullptr ? call->StartStamp() : QString()});
    }
    return rows;
}

frmClient* WindowTable::WindowShowing(const Call* call) const {
    const int slot = SlotShowing(call);
    if (slot < 0) {
        return nullptr;
    }
    const Slot& cell = slots_[static_cast<std::size_t>(slot)];
    return cell.window != nullptr ? cell.window.get() : OwnerOf(slot);
}

frmClient* WindowTable::WindowShowing(const Conference* conference) const {
    for (const Slot& cell : slots_) {
        if (cell.window != nullptr && conference != nullptr &&
            cell.window->ShownConference() == conference) {
            return cell.window.get();
        }
    }
    return nullptr;
}

int WindowTable::SlotShowing(const Call* call) const {
    for (int slot = 0; slot < kWindowSlots && call != nullptr; ++slot) {
        const Slot& cell = slots_[static_cast<std::size_t>(slot)];
        if ((cell.window != nullptr && cell.window->ShownCall() == call) || cell.member == call) {
            return slot;
        }
    }
    return -1;
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
        cell.window.reset(new frmClient(static_cast<std::int16_t>(slot), model_));
        frmClient* w = cell.window.get();
        connect(w, &frmClient::LineWanted, this, [this, w] { OpenLine(w, nullptr); });
        connect(w, &frmClient::ConferenceWanted, this, [this, w] { MergeLines(w); });
        connect(w, &frmClient::UnloadWanted, this, [this, w] { UnloadWindow(w); });
        connect(w, &frmClient::OwnerNote, this, [this, w](const QString& text) {
            if (frmClient* owner = OwnerOf(SlotOf(w)); owner != nullptr && owner != w) {
                owner->LogInfo(text);
            }
        });
        connect(w, &frmClient::SwitchboardNote, this, [this](const QString& text) {
            if (frmClient* board = Window(0)) {
                board->LogInfo(text);
            }
        });
        connect(w, &frmClient::ReportWanted, this, [this, w] { w->LogConnections(Report(w)); });
        connect(w, &frmClient::AddressesChanged, this, [this, w] {
            for (const Slot& other : slots_) {
                if (other.window != nullptr && other.window.get() != w) {
                    other.window->ShowAddresses();
                }
            }
        });
        connect(w, &frmClient::SettingsCleared, this, [this] {
            RefreshAllTitles();
            RefreshAllLevels();
        });
        if (created) {
            created(w);
        }
        // The switchboard is placed by the window manager (or where it was last time); the
        // others stack from it.
        if (slot != 0) {
            const int tx = platform::TwipsPerPixelX();
            const int ty = platform::TwipsPerPixelY();
            w->MoveTwips((slot + 1) * 20 * tx, (slot + 1) * 20 * ty);
        }
        w->Load();
        w->ShowTimes(showTimes_);
        w->ShowAddresses();
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
            model_.Release(call); // nowhere to show it
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
            model_.Release(call);
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

void WindowTable::Arrived(Call* call, int ownerSlot) {
    frmClient* owner = Window(ownerSlot);
    if (owner == nullptr) {
        owner = Window(0);
    }
    if (owner == nullptr) {
        model_.Release(call);
        return;
    }
    // The window that was called takes the call itself when it is free, as it would have
    // answered it; otherwise the call gets a line of its own.
    if (owner->Free()) {
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
    Conference& conference = owner->conference();
    for (const auto& [k, line] : LinesOf(owner)) {
        const int slot = SlotOf(line);
        Slot& cell = slots_[static_cast<std::size_t>(slot)];
        // The call joins the conference; its window goes, its slot stays taken while the
        // call lasts, so line numbers stay as they were.
        Call* call = line->GiveUpCall();
        cell.member = call;
        line->hide();
        cell.window.reset();
        if (call == nullptr) {
            continue;
        }
        conference.Add(call);
        connect(call, &Call::Lost, this,
                [this, call](const QString& nickname, const QString& remote) {
                    const int at = SlotShowing(call);
                    if (frmClient* owner = OwnerOf(at)) {
                        owner->LogInfo(QStringLiteral("Lost client call ") + nickname +
                                       QStringLiteral(" - ") + remote);
                    }
                    FreeSlot(at);
                });
    }
}

void WindowTable::FreeSlot(int slot) {
    if (slot < 0 || slot >= kWindowSlots) {
        return;
    }
    Slot& cell = slots_[static_cast<std::size_t>(slot)];
    for (Slot& other : slots_) {
        std::replace(other.lines.begin(), other.lines.end(), static_cast<std::int16_t>(slot),
                     std::int16_t{-1});
    }
    cell.inUse = false;
    if (Call* call = cell.member.data()) {
        cell.member = nullptr;
        disconnect(call, nullptr, this, nullptr);
        model_.Release(call);
    }
}

void WindowTable::UnloadWindow(frmClient* window) {
    const int slot = SlotOf(window);
    if (slot < 0) {
        return;
    }
    Slot& cell = slots_[static_cast<std::size_t>(slot)];
    // Conference members cannot be seen or reached once their owner has gone; other lines
    // keep a switchboard open. The members go without telling each other.
    Conference* conference = window->ShownConference();
    const bool hear = conference != nullptr && conference->HearEachOther();
    if (conference != nullptr) {
        conference->SetHearEachOther(false);
    }
    int open = 0;
    for (std::int16_t line : cell.lines) {
        if (line < 0) {
            continue;
        }
        const Slot& lineCell = slots_[static_cast<std::size_t>(line)];
        if (lineCell.window == nullptr && lineCell.inUse) {
            FreeSlot(line);
        } else if (lineCell.window != nullptr) {
            ++open;
        }
    }
    if (conference != nullptr) {
        conference->SetHearEachOther(hear);
    }
    if (!window->Tag() && open > 0) {
        window->Inform(QStringLiteral("Unable to close switchboard window until\n"
                                      "all other client windows are closed first."),
                       platform::MsgIcon::Information);
        return;
    }
    for (Slot& other : slots_) {
        std::replace(other.lines.begin(), other.lines.end(), window->ID(), std::int16_t{-1});
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

void WindowTable::SetShowTimes(bool on) {
    showTimes_ = on;
    for (const Slot& cell : slots_) {
        if (cell.window != nullptr) {
            cell.window->ShowTimes(on);
        }
    }
}

std::int16_t CreateClientWindow() {
    return ClientWindows().Create();
}
