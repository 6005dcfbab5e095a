// The program's chat windows: one per line of the line table that has a view. The model
// opens, merges and ends lines; the table makes, places and drops their windows.
#pragma once

#include "call/Call.h"
#include "call/Lines.h"
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

inline constexpr int kWindowSlots = Lines::kSlots;

class WindowTable : public QObject {
    Q_OBJECT
    // First, so that everything below may refer to them.
    Switchboard model_;
    Lines lines_;

public:
    static constexpr int kLines = Lines::kPerOwner;

    WindowTable();
    ~WindowTable() override;

    // The window of a line, or null when the line is unused or merged into a conference.
    frmClient* Window(int slot) const;
    // A line is in use from its opening until it ends, merged into a conference or not.
    bool InUse(int slot) const { return lines_.InUse(slot); }
    // Opens a switchboard line and its window (loaded, not shown); -1 when none is free.
    std::int16_t Create();
    // Entry `k` of a window's line table: the line it owns, or -1.
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

    // The calls, listening sockets and conferences behind the windows.
    Switchboard& Model() { return model_; }
    Lines& LineTable() { return lines_; }
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

    int SlotOf(const frmClient* window) const;
    QList<LineReport> Report(const frmClient* owner) const;
    void Opened(int line);
    void Place(frmClient* owner, frmClient* line);
    void Noted(int line, const LineNote& note);
    void UnloadWindow(frmClient* window);
    void Forget(int line);

    std::array<std::unique_ptr<frmClient, DeleteLater>, Lines::kSlots> windows_;
    bool showTimes_ = false;
};
