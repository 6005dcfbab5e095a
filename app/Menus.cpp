#include "Menus.h"

#include "frmSettings.h"

#include "about/frmAbout.h"
#include "chat/ClientWindows.h"
#include "chat/frmClient.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>

void AddMenus(frmClient* window) {
    auto addItem = [window](QMenu* menu, const char* menuName, int index, const QString& caption,
                            void (frmClient::*handler)(int)) {
        const QString name = QStringLiteral("%1(%2)").arg(QLatin1String(menuName)).arg(index);
        if (caption == QLatin1String("-")) {
            menu->addSeparator()->setObjectName(name);
            return;
        }
        QAction* a = menu->addAction(caption);
        a->setObjectName(name);
        QObject::connect(a, &QAction::triggered, window,
                         [window, handler, index] { (window->*handler)(index); });
    };
    QMenuBar* bar = window->menuBar();
    window->mnuFile = bar->addMenu(QStringLiteral("&File"));
    window->mnuFile->setObjectName(QStringLiteral("mnuFile"));
    addItem(window->mnuFile, "mnuFile", 0, QStringLiteral("E&xit"), &frmClient::mnuFile_Click);

    QMenu* tools = bar->addMenu(QStringLiteral("&Tools"));
    window->mnuTools = tools;
    tools->setObjectName(QStringLiteral("mnuTools"));
    const auto toolsHandler = &frmClient::mnuTools_Click;
    addItem(tools, "mnuTools", 0, QStringLiteral("&Settings"), toolsHandler);
    addItem(tools, "mnuTools", 1, QStringLiteral("&Accept/Reject Calls"), toolsHandler);
    addItem(tools, "mnuTools", 2, QStringLiteral("-"), toolsHandler);
    addItem(tools, "mnuTools", 3, QStringLiteral("&Clear Settings"), toolsHandler);
    addItem(tools, "mnuTools", 4, QStringLiteral("-"), toolsHandler);
    addItem(tools, "mnuTools", 8, QStringLiteral("Clear Chat Window"), toolsHandler);
    addItem(tools, "mnuTools", 9, QStringLiteral("&Show Debug Window"), toolsHandler);
    addItem(tools, "mnuTools", 10, QStringLiteral("Log Connections"), toolsHandler);

    window->mnuHelp = bar->addMenu(QStringLiteral("&Help"));
    window->mnuHelp->setObjectName(QStringLiteral("mnuHelp"));
    addItem(window->mnuHelp, "mnuHelp", 0, QStringLiteral("&About Palaver..."),
            &frmClient::mnuHelp_Click);
}

void InstallWindowHooks() {
    WindowHooks& hooks = ClientWindowHooks();
    hooks.created = AddMenus;
    hooks.showSettings = [](frmClient* window) { frmSettings::ShowFor(window); };
    hooks.showAbout = [](frmClient* window) { frmAbout::ShowWithIcon(window->windowIcon()); };
}
