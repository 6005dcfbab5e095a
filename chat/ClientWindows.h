// The program's chat windows: it creates them in numbered slots, owns them, and keeps which
// lines belong to which window. Windows say what they need through signals; the table
// answers with the rules that involve more than one window.
#pragma once

#include "Call.h"
#include "LoginPool.h"

#include <QList>
#include <QObject>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

class frmClient;

inline constexpr int kWindowSlots = 21;    // slots 0 to 20; slot 20 stays empty
inline constexpr int kCreatableSlots = 20; // creation uses slots 0 to 19

class WindowTable : public QObject {
    Q_OBJECT
public:
    static constexpr int kLines = 10;

    WindowTable();
    ~WindowTable() override;

    // The window in a slot, or null when the slot is empty or out of range.
    frmClient* Window(int slot) const;
    // A slot is in use from its window's creation until its window has unloaded.
    bool InUse(int slot) const;
    // Creates and loads (but does not show) a window in the first free slot; -1 when none.
    std::int16_t Create();
    // Entry `k` of a window's line table: the slot of a line it owns, or -1.
    std::int16_t Line(const frmClient* owner, int k) const;
    void RefreshAllTitles();
    void RefreshAllLevels();
    // A new idle line window of `owner`, as "+ Line" opens it; null when none can be had.
    frmClient* NewLine(frmClient* owner);
    // Unloads every window, lines first (program end, tests).
    void CloseAll();
    // Calls answered but not logged in yet.
    LoginPool& Pending() { return pool_; }

    // The limits every new window's call gets.
    CallLimits limits;
    // What the layer above puts on every new window (its menus, its dialogs).
    std::function<void(frmClient*)> created;
    // What happens when the last window has gone (the program ends by default).
    std::function<void()> lastWindowGone;

private:
    struct DeleteLater {
        void operator()(frmClient* w) const;
    };
    struct Slot {
        std::unique_ptr<frmClient, DeleteLater> window;
        bool inUse = false;
        std::array<std::int16_t, kLines> lines{};
    };

    int SlotOf(const frmClient* window) const;
    frmClient* OwnerOf(const frmClient* line) const;
    QList<std::pair<int, frmClient*>> LinesOf(const frmClient* owner) const;
    // A line for `call`, which has logged in, or an idle one when it is null.
    frmClient* OpenLine(frmClient* owner, Call* call);
    void LoggedIn(Call* call, QObject* listener);
    bool Attach(frmClient* owner, frmClient* line);
    void MergeLines(frmClient* owner);
    void UnloadWindow(frmClient* window);
    void Forget(frmClient* window);

    std::array<Slot, kWindowSlots> slots_;
    LoginPool pool_;
};

// The program's one table.
WindowTable& ClientWindows();
// The window in `slot` of the program's table.
frmClient* ClientWindows(int slot);
std::int16_t CreateClientWindow();
