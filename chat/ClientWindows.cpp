#include "ClientWindows.h"

#include "CallTexts.h"
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

WindowTable::WindowTable() : lines_(model_), limits(model_.limits) {
    connect(&lines_, &Lines::Opened, this, &WindowTable::Opened);
    connect(&lines_, &Lines::CallReplaced, this, [this](int line) {
        if (frmClient* w = Window(line)) {
            w->Adopt(lines_.CallOf(line), false);
        }
    });
    connect(&lines_, &Lines::Merged, this, [this](int line) {
        if (frmClient* w = Window(line)) {
            w->GiveUpCall();
            w->hide();
        }
        windows_[static_cast<std::size_t>(line)].reset();
    });
    connect(&lines_, &Lines::Closed, this, &WindowTable::Forget);
    connect(&lines_, &Lines::Note, this, &WindowTable::Noted);
    connect(&model_, &Switchboard::Debug, this,
            [](const CallReport& r) { LogDebug(chat::CallText(r).text); });
    connect(&model_, &Switchboard::CallReported, this,
            [](const CallReport& report) { LogDebug(chat::CallText(report).text); });
    auto toSwitchboard = [this](const QString& text) {
        if (frmClient* board = Window(0)) {
            board->LogInfo(text);
        }
    };
    connect(&model_, &Switchboard::Report, this,
            [toSwitchboard](const PoolReport& report) { toSwitchboard(chat::PoolText(report)); });
    connect(&model_, &Switchboard::SecurityTrouble, this,
            [toSwitchboard](const KeyTrouble& t) { toSwitchboard(chat::KeyTroubleText(t)); });
    connect(&model_, &Switchboard::HeldBack, this, [toSwitchboard](const QString& address) {
        toSwitchboard(chat::HeldBackNote(address));
    });
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

WindowTable::~WindowTable() {
    disconnect(&lines_, nullptr, this, nullptr);
}

frmClient* WindowTable::Window(int slot) const {
    if (slot < 0 || slot >= kWindowSlots) {
        return nullptr;
    }
    return windows_[static_cast<std::size_t>(slot)].get();
}

int WindowTable::SlotOf(const frmClient* window) const {
    for (int slot = 0; slot < kWindowSlots; ++slot) {
        if (window != nullptr && Window(slot) == window) {
            return slot;
        }
    }
    return -1;
}

std::int16_t WindowTable::Line(const frmClient* owner, int k) const {
    return static_cast<std::int16_t>(lines_.Entry(SlotOf(owner), k));
}

QList<LineReport> WindowTable::Report(const frmClient* owner) const {
    QList<LineReport> rows;
    for (int k = 0; k < kLines; ++k) {
        const int line = Line(owner, k);
        const Call* call = lines_.CallOf(line);
        if (call == nullptr) {
            continue;
        }
        rows.append(
            {k, line, owner->ID(), model_.ServerState(line), call->Nickname(), call->StartStamp()});
    }
    return rows;
}

std::int16_t WindowTable::Create() {
    return static_cast<std::int16_t>(lines_.OpenBoard());
}

void WindowTable::Opened(int slot) {
    Call* call = lines_.CallOf(slot);
    const bool arrived = !call->Idle();
    if (arrived) {
        LogDebug(QStringLiteral("Creating new client window"));
    }
    windows_[static_cast<std::size_t>(slot)].reset(
        new frmClient(static_cast<std::int16_t>(slot), model_, call));
    frmClient* w = Window(slot);
    connect(w, &frmClient::LineWanted, this, [this, w] { lines_.OpenLine(w->ID()); });
    connect(w, &frmClient::ConferenceWanted, this, [this, w] {
        lines_.Merge(w->ID());
        w->ShowConference(lines_.ConferenceOf(w->ID()));
    });
    connect(w, &frmClient::HangupWanted, this, [this, w] { lines_.Hangup(w->ID()); });
    connect(w, &frmClient::UnloadWanted, this, [this, w] { UnloadWindow(w); });
    connect(w, &frmClient::OwnerNote, this, [this, w](const QString& text) {
        if (frmClient* owner = Window(lines_.OwnerOf(w->ID())); owner != nullptr && owner != w) {
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
        for (const auto& other : windows_) {
            if (other != nullptr && other.get() != w) {
                other->ShowAddresses();
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
    const int owner = lines_.OwnerOf(slot);
    if (owner != slot) {
        if (arrived) {
            LogDebug(QStringLiteral("Client Window #") + QString::number(slot));
        }
        Place(Window(owner), w);
        if (arrived) {
            w->Adopt(call, true);
        }
    }
}

void WindowTable::Place(frmClient* owner, frmClient* line) {
    line->BecomeLine(static_cast<std::int16_t>(lines_.OwnerOf(line->ID())));
    if (owner == nullptr) {
        return;
    }
    // 15 pixels below and right of the owner's frame, or of its last visible line, so that
    // lines stack instead of covering each other. The position is set before the window is
    // shown, so the window manager places the frame there rather than the client area.
    QPoint at = owner->frameGeometry().topLeft();
    for (int k = 0; k < kLines; ++k) {
        const frmClient* w = Window(Line(owner, k));
        if (w != nullptr && w != line && w->isVisible()) {
            at = w->frameGeometry().topLeft();
        }
    }
    line->move(at + QPoint(15, 15));
    line->setVisible(true);
}

frmClient* WindowTable::NewLine(frmClient* owner) {
    const int slot = SlotOf(owner);
    return slot >= 0 ? Window(lines_.OpenLine(slot)) : nullptr;
}

void WindowTable::Noted(int line, const LineNote& note) {
    frmClient* w = Window(line);
    if (w == nullptr) {
        return;
    }
    switch (note.event) {
    case LineEvent::Connecting:
        w->LogInfo(QStringLiteral("*** Connecting ") + note.address + QStringLiteral(" to line #") +
                   QString::number(note.number));
        break;
    case LineEvent::NoFreeLine:
        w->Inform(QStringLiteral("Unable to create a new client window"),
                  platform::MsgIcon::Exclamation);
        break;
    case LineEvent::OwnerFull:
        w->ShowStatus(QStringLiteral(" All %1 lines of this window are in use").arg(note.number));
        break;
    case LineEvent::MemberLost:
        w->LogInfo(QStringLiteral("Lost client call ") + note.who + QStringLiteral(" - ") +
                   note.address);
        break;
    case LineEvent::ConferenceEnded:
        w->LogInfo(QStringLiteral("Conference ended: ") + note.who +
                   QStringLiteral(" disconnected"));
        break;
    }
}

void WindowTable::UnloadWindow(frmClient* window) {
    const int slot = SlotOf(window);
    if (slot < 0) {
        return;
    }
    // Conference members cannot be seen or reached once their owner has gone, and go even
    // when other lines keep a switchboard open.
    lines_.CloseMembers(slot);
    if (!lines_.MayClose(slot)) {
        window->Inform(QStringLiteral("Unable to close switchboard window until\n"
                                      "all other client windows are closed first."),
                       platform::MsgIcon::Information);
        return;
    }
    window->Teardown();
    lines_.Close(slot);
}

void WindowTable::Forget(int line) {
    if (frmClient* w = Window(line)) {
        if (!w->unloaded_) {
            w->Teardown(); // ended by the model (its owner closed): the window goes too
        }
        windows_[static_cast<std::size_t>(line)].reset();
    }
    const bool anyLeft =
        std::any_of(windows_.begin(), windows_.end(), [](const auto& w) { return w != nullptr; });
    if (!anyLeft && lastWindowGone) {
        lastWindowGone();
    }
}

void WindowTable::RefreshAllTitles() {
    for (const auto& w : windows_) {
        if (w != nullptr) {
            w->SetTitle();
        }
    }
}

void WindowTable::RefreshAllLevels() {
    for (const auto& w : windows_) {
        if (w != nullptr) {
            w->SetLayers();
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

void WindowTable::SetShowTimes(bool on) {
    showTimes_ = on;
    for (const auto& w : windows_) {
        if (w != nullptr) {
            w->ShowTimes(on);
        }
    }
}
