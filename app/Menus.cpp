#include "Menus.h"

#include "Attention.h"
#include "Main.h"
#include "frmSettings.h"

#include "about/frmAbout.h"
#include "chat/ClientWindows.h"
#include "chat/frmClient.h"
#include "history/HistoryWindow.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>

void AddMenus(frmClient* window) {
    auto addItem = [](QMenu* menu, const char* menuName, int index, const QString& caption) {
        const QString name = QStringLiteral("%1(%2)").arg(QLatin1String(menuName)).arg(index);
        if (caption == QLatin1String("-")) {
            menu->addSeparator()->setObjectName(name);
            return;
        }
        menu->addAction(caption)->setObjectName(name);
    };
    QMenuBar* bar = window->menuBar();
    QMenu* file = bar->addMenu(QStringLiteral("&File"));
    file->setObjectName(QStringLiteral("mnuFile"));
    addItem(file, "mnuFile", 0, QStringLiteral("E&xit"));

    QMenu* tools = bar->addMenu(QStringLiteral("&Tools"));
    tools->setObjectName(QStringLiteral("mnuTools"));
    addItem(tools, "mnuTools", 0, QStringLiteral("&Settings"));
    addItem(tools, "mnuTools", 1, QStringLiteral("&Accept/Reject Calls"));
    addItem(tools, "mnuTools", 2, QStringLiteral("-"));
    addItem(tools, "mnuTools", 3, QStringLiteral("&Clear Settings"));
    addItem(tools, "mnuTools", 4, QStringLiteral("-"));
    addItem(tools, "mnuTools", 8, QStringLiteral("Clear Chat Window"));
    addItem(tools, "mnuTools", 9, QStringLiteral("&Show Debug Window"));
    addItem(tools, "mnuTools", 10, QStringLiteral("Log Connections"));
    tools->addSeparator()->setObjectName(QStringLiteral("mnuToolsHistoryBar"));
    addItem(tools, "mnuTools", 11, QStringLiteral("&History..."));
    tools->actions().last()->setShortcut(QKeySequence(QStringLiteral("Ctrl+H")));

    QMenu* help = bar->addMenu(QStringLiteral("&Help"));
    help->setObjectName(QStringLiteral("mnuHelp"));
    addItem(help, "mnuHelp", 0, QStringLiteral("&About Palaver..."));
    window->SetMenus(file, tools, help);
    QObject::connect(window, &frmClient::SettingsWanted, window,
                     [window] { frmSettings::ShowFor(window); });
    QObject::connect(window, &frmClient::HistoryWanted, window, [window] {
        if (History()) {
            frmHistory::ShowFor(History().get(), window);
        }
    });
    QObject::connect(window, &frmClient::Recorded, window, [](const HistoryEvent& event) {
        if (History()) {
            History()->Record(event);
        }
    });
    if (Attentions()) {
        Attentions()->Watch(window);
    }
    QObject::connect(window, &frmClient::AboutWanted, window,
                     [window] { frmAbout::ShowWithIcon(window->windowIcon()); });
}

void InstallWindowHooks() {
    ClientWindows().created = AddMenus;
}
