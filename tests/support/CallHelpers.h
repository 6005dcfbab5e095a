// Helpers shared by the tests that open windows: find a control by its name and use it as a
// user does.
#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QTest>

class Call;
class frmClient;
class QWidget;

// The control called `name` inside `w`; fails the test (and returns null) when there is none.
template <class T> T* Find(const QObject* w, const QString& name) {
    T* child = w != nullptr ? w->findChild<T*>(name) : nullptr;
    if (child == nullptr) {
        QTest::qFail(qPrintable("no control " + name), __FILE__, __LINE__);
    }
    return child;
}

// The call a window shows.
Call* CallOf(const frmClient* w);
// Clicks the control called `name` with the mouse.
void Click(const QObject* w, const QString& name);
// Chooses the menu item called `name` ("mnuTools(3)") of a window.
void Menu(const QObject* w, const QString& name);

int FreePort();
// Presses "+ Line" on `owner` and returns the window it added to the owner's line table.
frmClient* AddLine(frmClient* owner);
// Starts the switchboard's server on a free port.
void StartListening(frmClient* board);
// Puts a line into a window's send box and presses Enter.
void Type(frmClient* w, const QString& text);
// Slots of the window table in use.
int SlotsInUse();
// A line of the switchboard that calls it; returns the caller once both ends logged in.
frmClient* CallBoard(frmClient* board, frmClient* caller = nullptr);
// The line window of `board` that answered an incoming call (the last one, if several).
frmClient* AnsweringLine(frmClient* board);
