// Helpers shared by the call tests.
#pragma once

#include <QList>

class frmClient;

int FreePort();
// Presses "+ Line" on `owner` and returns the window it added to the owner's line table.
frmClient* AddLine(frmClient* owner);
// Starts the switchboard's server on a free port.
void StartListening(frmClient* board);
// Types a line into a window's send box and presses Enter.
void Type(frmClient* w, const QString& text);
