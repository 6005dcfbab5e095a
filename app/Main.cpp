#include "Main.h"

#include "log/frmDebug.h"

void Main() {
    DebugLog() = std::make_unique<CLog>();
    frmDebug* debug = LoadDebugWindow();
    debug->hide();
    DebugLog()->Start(QString(), debug->txtLog());
    DebugLog()->Log(QStringLiteral("Debugger started"));
}
