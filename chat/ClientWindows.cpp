#include "ClientWindows.h"

#include "frmClient.h"

#include "platform/Twips.h"

#include <QCoreApplication>
#include <QTimer>

#include <memory>

std::array<std::int16_t, kWindowSlots> WindowInUse{};
QString IP;

namespace {

// Windows are top-level, so the table owns them; deletion is deferred because a window
// is often unloaded from inside one of its own handlers.
struct DeleteLater {
    void operator()(frmClient* w) const { w->deleteLater(); }
};
std::array<std::unique_ptr<frmClient, DeleteLater>, kWindowSlots> windows;

std::function<void()>& LastWindowHandler() {
    static std::function<void()> handler = [] {
        if (QCoreApplication::instance() != nullptr) {
            QTimer::singleShot(0, QCoreApplication::instance(), &QCoreApplication::quit);
        }
    };
    return handler;
}

} // namespace

frmClient* ClientWindows(int slot) {
    if (slot < 0 || slot >= kWindowSlots) {
        return nullptr;
    }
    return windows[static_cast<std::size_t>(slot)].get();
}

std::int16_t CreateClientWindow() {
    for (int slot = 0; slot < kCreatableSlots; ++slot) {
        // A slot is free only once its last window is gone, not merely released.
        if (WindowInUse[static_cast<std::size_t>(slot)] != 0 ||
            windows[static_cast<std::size_t>(slot)] != nullptr) {
            continue;
        }
        WindowInUse[static_cast<std::size_t>(slot)] = 1;
        auto& cell = windows[static_cast<std::size_t>(slot)];
        cell.reset(new frmClient());
        frmClient* w = cell.get();
        w->SetID(static_cast<std::int16_t>(slot));
        w->SetLevel(0);
        if (ClientWindowHooks().created) {
            ClientWindowHooks().created(w);
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

void ReleaseClientWindow(std::int16_t slot) {
    if (slot >= 0 && slot < kWindowSlots) {
        WindowInUse[static_cast<std::size_t>(slot)] = 0;
    }
}

void RefreshAllTitles() {
    for (int slot = 0; slot < kWindowSlots; ++slot) {
        if (WindowInUse[static_cast<std::size_t>(slot)] == 1 && ClientWindows(slot) != nullptr) {
            ClientWindows(slot)->SetTitle();
        }
    }
}

void RefreshAllLevels() {
    for (int slot = 0; slot < kWindowSlots; ++slot) {
        if (WindowInUse[static_cast<std::size_t>(slot)] == 1 && ClientWindows(slot) != nullptr) {
            ClientWindows(slot)->SetLayers();
        }
    }
}

void DestroyClientWindow(frmClient* window) {
    bool anyLeft = false;
    for (auto& cell : windows) {
        if (cell.get() == window) {
            cell.reset();
        } else if (cell) {
            anyLeft = true;
        }
    }
    if (!anyLeft && LastWindowHandler()) {
        LastWindowHandler()();
    }
}

WindowHooks& ClientWindowHooks() {
    static WindowHooks hooks;
    return hooks;
}

void SetLastWindowHandler(std::function<void()> handler) {
    LastWindowHandler() = std::move(handler);
}
