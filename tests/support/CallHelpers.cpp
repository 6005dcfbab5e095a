#include "CallHelpers.h"
#include "app/Main.h"

#include "chat/ClientWindows.h"
#include "chat/frmClient.h"
#include "settings/Settings.h"

#include <QAction>
#include <QComboBox>
#include <QPlainTextEdit>
#include <QTcpServer>
#include <QWidget>

Call* CallOf(const frmClient* w) {
    Call* call = w != nullptr ? w->ShownCall() : nullptr;
    if (call == nullptr) {
        QTest::qFail("the window shows no call", __FILE__, __LINE__);
    }
    return call;
}

void Click(const QObject* w, const QString& name) {
    if (auto* control = Find<QWidget>(w, name)) {
        QTest::mouseClick(control, Qt::LeftButton);
    }
}

void Menu(const QObject* w, const QString& name) {
    if (auto* item = Find<QAction>(w, name)) {
        item->trigger();
    }
}

int FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::Any, 0);
    return probe.serverPort();
}

frmClient* AddLine(frmClient* owner) {
    QList<int> before;
    for (int k = 0; k < frmClient::kLines; ++k) {
        before << ClientWindows().Line(owner, k);
    }
    Click(owner, "cmdLine2");
    for (int k = 0; k < frmClient::kLines; ++k) {
        const int slot = ClientWindows().Line(owner, k);
        if (slot >= 0 && slot != before[k]) {
            return ClientWindows(slot);
        }
    }
    return nullptr;
}

void StartListening(frmClient* board) {
    Settings.Port = FreePort();
    Click(board, "lblServer");
}

void Type(frmClient* w, const QString& text) {
    auto* box = Find<QPlainTextEdit>(w, "txtSend");
    box->setPlainText(text);
    QTest::keyClick(box, Qt::Key_Return);
}

int SlotsInUse() {
    int count = 0;
    for (int slot = 0; slot < kWindowSlots; ++slot) {
        count += ClientWindows().InUse(slot) ? 1 : 0;
    }
    return count;
}

// A line of the switchboard that calls it; returns the caller once both ends logged in.
frmClient* CallBoard(frmClient* board, frmClient* caller) {
    if (caller == nullptr) {
        caller = AddLine(board);
    }
    Find<QComboBox>(caller, "cmbIP")->setEditText("127.0.0.1");
    Click(caller, "cmdConnect");
    if (!QTest::qWaitFor([&] { return caller->LoginFlag() == 1; }, 5000)) {
        return nullptr;
    }
    return caller;
}

// The line window of `board` that answered an incoming call (the last one, if several).
frmClient* AnsweringLine(frmClient* board) {
    frmClient* line = nullptr;
    for (int k = 0; k < frmClient::kLines; ++k) {
        frmClient* w = ClientWindows().Line(board, k) >= 0
                           ? ClientWindows(ClientWindows().Line(board, k))
                           : nullptr;
        if (w != nullptr && !w->StartStamp().isEmpty()) {
            line = w;
        }
    }
    return line;
}
