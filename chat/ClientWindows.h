// The program's chat windows: it creates them in numbered slots, owns them, and keeps which
// lines belong to which window and which window shows which call. The calls themselves live
// in the switchboard model; the table answers the rules that involve more than one window.
#pragma once

#include "call/Call.h"
#include "call/LoginPool.h"
#include "call/Switchboard.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

class frmClient;
struct LineReport;

inline constexpr int kWindowSlots = 21;    // slots 0 to 20; slot 20 stays empty
inline constexpr int kCreatableSlots = 20; // creation uses slots 0 to 19

class WindowTable : public QObject {
    Q_OBJECT
    // First, so that everything below may refer to it.
    Switchboard model_;

public:
    static constexpr int kLines = 10;

    WindowTable();
    ~WindowTable() override;

    // The window in a slot, or null when the slot is empty, out of range, or holds a
    // conference member (which has no window).
    frmClient* Window(int slot) const;
    // A slot is in use from its window's creation until its window has unloaded, and while
    // its call is a conference member.
    bool InUse(int slot) const;
    // Creates and loads (but does not show) a window in the first free slot; -1 when none.
    std::int16_t Create();
    // Entry `k` of a window's line table: the slot of a line it owns, or -1.
    std::int16_t Line(const frmClient* owner, int k) const;
    void RefreshAllTitles();
    // "Show times in the chat": every window's log, now and later, stamps its lines.
    void SetShowTimes(bool on);
    bool ShowTimes() const { return showTimes_; }
    void RefreshAllLevels();
    // A new idle line window of `owner`, as "+ Line" opens it; null when none can be had.
    frmClient* NewLine(frmClient* owner);
    // Unloads every window, lines first (program end, tests).
    void CloseAll();
    // The window that shows `call` (a conference member is shown by its owner), or null.
    frmClient* WindowShowing(const Call* call) const;
    // The slot of the window that shows `call`, or -1.
    int SlotShowing(const Call* call) const;
    // The window whose conference this is, or null.
    frmClient* WindowShowing(const Conference* conference) const;

    // The calls, listening sockets and conferences behind the windows.
    Switchboard& Model() { return model_; }
    LoginPool& Pending() { return model_.Pending(); }

    // The limits every new call gets.
    CallLimits& limits;
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
        // A conference member's call: the slot keeps its number, no window shows it.
        QPointer<Call> member;
    };

    int SlotOf(const frmClient* window) const;
    frmClient* OwnerOf(int slot) const;
    QList<std::pair<int, frmClient*>> LinesOf(const frmClient* owner) const;
    QList<LineReport> Report(const frmClient* owner) const;
    // A line for `call`, which has logged in, or an idle one when it is null.
    frmClient* OpenLine(frmClient* owner, Call* call);
    void Arrived(Call* call, int owner);
    bool Attach(frmClient* owner, frmClient* line);
    void MergeLines(frmClient* owner);
    void FreeSlot(int slot);
    void UnloadWindow(frmClient* window);
    void Forget(frmClient* window);

    std::array<Slot, kWindowSlots> slots_;
    bool showTimes_ = false;
};

// The program's one table.
WindowTable& ClientWindows();
// The window in `slot` of the program's table.
frmClient* ClientWindows(int slot);
std::int16_t CreateClientWindow();
