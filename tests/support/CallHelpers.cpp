#include "CallHelpers.h"

#include "chat/ClientWindows.h"
#include "chat/frmClient.h"
#include "settings/Settings.h"

#include <QPlainTextEdit>
#include <QTcpServer>

int FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::Any, 0);
    return probe.serverPort();
}

frmClient* AddLine(frmClient* owner) {
    QList<int> before;
    for (int k = 0; k < frmClient::kLines; ++k) {
        before << owner->Lines(k);
    }
    owner->cmdLine2_Click();
    for (int k = 0; k < frmClient::kLines; ++k) {
        if (owner->Lines(k) >= 0 && owner->Lines(k) != before[k]) {
            return ClientWindows(owner->Lines(k));
        }
    }
    return nullptr;
}

void StartListening(frmClient* board) {
    Settings.Port = FreePort();
    board->lblServer_Click();
}

void Type(frmClient* w, const QString& text) {
    w->txtSend->setPlainText(text);
    w->txtSend_KeyPress(13);
}
