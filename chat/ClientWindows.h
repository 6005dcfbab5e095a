// The program-wide table of chat windows.
#pragma once

#include <QString>

#include <array>
#include <cstdint>
#include <functional>

class frmClient;

inline constexpr int kWindowSlots = 21;    // slots 0 to 20; slot 20 stays empty
inline constexpr int kCreatableSlots = 20; // creation uses slots 0 to 19

extern std::array<std::int16_t, kWindowSlots> WindowInUse;
// The address most recently called from any window.
extern QString IP;

// The window in a slot, or null when the slot is empty or out of range.
frmClient* ClientWindows(int slot);

// Creates and loads (but does not show) a window in the first free slot; -1 when none.
std::int16_t CreateClientWindow();
void ReleaseClientWindow(std::int16_t slot);
void RefreshAllTitles();
// Every window's security level label follows the current passwords.
void RefreshAllLevels();

// Called by a window's unload: the table gives the window up for deletion.
void DestroyClientWindow(frmClient* window);

// What the layer above puts on every window: its menus, and the windows its menus open.
struct WindowHooks {
    std::function<void(frmClient*)> created;
    std::function<void(frmClient*)> showSettings;
    std::function<void(frmClient*)> showAbout;
};
WindowHooks& ClientWindowHooks();

// What happens when the last window has been unloaded (the program ends by default).
void SetLastWindowHandler(std::function<void()> handler);
