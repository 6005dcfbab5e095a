#include "Menus.h"
#include "Internet.h"

#include "Attention.h"
#include "Main.h"
#include "OutsideCalls.h"
#include "frmSettings.h"

#include "about/frmAbout.h"
#include "chat/ClientWindows.h"
#include "chat/frmClient.h"
#include "history/HistoryWindow.h"
#include "platform/Desktop.h"
#include "platform/MessageBox.h"

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QMenuBar>
#include <QSettings>
#include <QStandardPaths>
#include <QUrl>

namespace {

// A checkable Tools item for one switch of an options file kept outside the settings file.
template <class Options, Options (*Read)(), void (*Write)(Options)>
void OptionItem(App& app, QMenu* tools, const char* name, const QString& text,
                bool Options::*field) {
    QAction* item = tools->addAction(text);
    item->setObjectName(QString::fromLatin1(name));
    item->setCheckable(true);
    item->setChecked(Read().*field);
    QObject::connect(item, &QAction::toggled, item, [&app, field](bool on) {
        Options options = Read();
        options.*field = on;
        Write(options);
        ApplyOptions(app);
    });
    // Another window may have changed it since.
    QObject::connect(tools, &QMenu::aboutToShow, item,
                     [item, field] { item->setChecked(Read().*field); });
}

} // namespace

void AddMenus(App& app, frmClient* window) {
    // Items keep the names "menu(index)" of a control array, for tests and accessibility;
    // each is connected to its command directly.
    auto addItem = [](QMenu* menu, const char* menuName, int index, const QString& caption) {
        const QString name = QStringLiteral("%1(%2)").arg(QLatin1String(menuName)).arg(index);
        if (caption == QLatin1String("-")) {
            menu->addSeparator()->setObjectName(name);
            return static_cast<QAction*>(nullptr);
        }
        QAction* action = menu->addAction(caption);
        action->setObjectName(name);
        return action;
    };
    QMenuBar* bar = window->menuBar();
    MenuItems items;
    QMenu* file = bar->addMenu(QStringLiteral("&File"));
    file->setObjectName(QStringLiteral("mnuFile"));
    items.sendFile = file->addAction(QStringLiteral("Send &File..."));
    items.sendFile->setObjectName(QStringLiteral("mnuSendFile"));
    items.sendFile->setShortcut(QKeySequence(QStringLiteral("Ctrl+O")));
    file->addSeparator();
    items.exit = addItem(file, "mnuFile", 0, QStringLiteral("E&xit"));

    QMenu* tools = bar->addMenu(QStringLiteral("&Tools"));
    tools->setObjectName(QStringLiteral("mnuTools"));
    items.settings = addItem(tools, "mnuTools", 0, QStringLiteral("&Settings"));
    items.server = addItem(tools, "mnuTools", 1, QStringLiteral("&Accept/Reject Calls"));
    addItem(tools, "mnuTools", 2, QStringLiteral("-"));
    items.clearSettings = addItem(tools, "mnuTools", 3, QStringLiteral("&Clear Settings"));
    addItem(tools, "mnuTools", 4, QStringLiteral("-"));
    items.clearChat = addItem(tools, "mnuTools", 8, QStringLiteral("Clear Chat Window"));
    items.debug = addItem(tools, "mnuTools", 9, QStringLiteral("&Show Debug Window"));
    items.report = addItem(tools, "mnuTools", 10, QStringLiteral("Log Connections"));
    tools->addSeparator()->setObjectName(QStringLiteral("mnuToolsHistoryBar"));
    items.history = addItem(tools, "mnuTools", 11, QStringLiteral("&History..."));
    items.history->setShortcut(QKeySequence(QStringLiteral("Ctrl+H")));
    // Kept outside the settings file, like the tray's options.
    QAction* hear = tools->addAction(QStringLiteral("Conference &members hear each other"));
    hear->setObjectName(QStringLiteral("mnuToolsHearEachOther"));
    hear->setCheckable(true);
    Switchboard& model = app.Table().Model();
    hear->setChecked(model.MembersHearEachOther());
    QObject::connect(hear, &QAction::toggled, hear, [&app](bool on) {
        SetMembersHearEachOther(on);
        ApplyOptions(app);
    });
    QObject::connect(tools, &QMenu::aboutToShow, hear,
                     [hear, &model] { hear->setChecked(model.MembersHearEachOther()); });

    OptionItem<WindowOptions, Windows, SetWindows>(app, tools, "mnuToolsShowTimes",
                                                   QStringLiteral("Show &times in the chat"),
                                                   &WindowOptions::showTimes);
    OptionItem<WindowOptions, Windows, SetWindows>(app, tools, "mnuToolsAcceptAtStart",
                                                   QStringLiteral("Accept calls at s&tart"),
                                                   &WindowOptions::acceptAtStart);
    OptionItem<WindowOptions, Windows, SetWindows>(app, tools, "mnuToolsShowOnNetwork",
                                                   QStringLiteral("Show me on the local &network"),
                                                   &WindowOptions::showOnNetwork);
    OptionItem<SecureCallOptions, SecureCalls, SetSecureCalls>(
        app, tools, "mnuToolsSecureCalls", QStringLiteral("Offer and accept &secure calls"),
        &SecureCallOptions::offer);
    OptionItem<SecureCallOptions, SecureCalls, SetSecureCalls>(app, tools, "mnuToolsOnlySecure",
                                                               QStringLiteral("&Only secure calls"),
                                                               &SecureCallOptions::only);

    if (Internet* internet = app.InternetReach()) {
        tools->addSeparator();
        internet->AddTo(tools);
    }

    QMenu* help = bar->addMenu(QStringLiteral("&Help"));
    help->setObjectName(QStringLiteral("mnuHelp"));
    items.about = addItem(help, "mnuHelp", 0, QStringLiteral("&About Palaver..."));
    QAction* guide = new QAction(QStringLiteral("Palaver &Help"), help);
    guide->setObjectName(QStringLiteral("mnuHelp(1)"));
    guide->setShortcut(QKeySequence::HelpContents);
    help->insertAction(items.about, guide);
    QObject::connect(guide, &QAction::triggered, window, [window] { OpenGuide(window); });
    window->SetMenus(items);
    QObject::connect(window, &frmClient::SettingsWanted, window,
                     [&app, window] { frmSettings::ShowFor(app, window); });
    QObject::connect(window, &frmClient::HistoryWanted, window, [&app, window] {
        if (app.History()) {
            frmHistory::ShowFor(app.History().get(), window);
        }
    });
    if (app.Attentions()) {
        app.Attentions()->Watch(window);
    }
    QObject::connect(window, &frmClient::AboutWanted, window,
                     [window] { frmAbout::ShowWithIcon(window->windowIcon()); });
}

void OpenGuide(QWidget* parent) {
    // Installed beside the program; run from the build tree, the source's copy.
    const QString installed = QDir(QCoreApplication::applicationDirPath())
                                  .filePath(QStringLiteral(PALAVER_DOC_RELDIR "/guide.html"));
    const QString source = QStringLiteral(PALAVER_SOURCE_DOCS "/guide.html");
    const QString guide = QFileInfo::exists(installed) ? installed : source;
    if (!QFileInfo::exists(guide) || !platform::OpenTarget(QUrl::fromLocalFile(guide).toString())) {
        platform::MessageRequest box;
        box.parent = parent;
        box.text = QStringLiteral("The user guide could not be opened. It is installed as ") +
                   installed + QStringLiteral("; see also \"man palaver\".");
        box.icon = platform::MsgIcon::Exclamation;
        platform::ShowMessage(box);
    }
}

void InstallWindowHooks(App& app) {
    app.Table().created = [&app](frmClient* window) { AddMenus(app, window); };
    ApplyOptions(app);
}

void ApplyOptions(App& app) {
    Switchboard& model = app.Table().Model();
    model.SetMembersHearEachOther(MembersHearEachOther());
    app.Table().SetShowTimes(Windows().showTimes);
    const SecureCallOptions secure = SecureCalls();
    model.SetSecureCalls(secure.offer, secure.only);
    app.UpdateAnnouncement();
}

namespace {

QSettings Options(const char* file) {
    return QSettings(QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) +
                         QStringLiteral("/") + QString::fromLatin1(file),
                     QSettings::IniFormat);
}

QSettings ConferenceOptions() {
    return Options("conference.ini");
}

} // namespace

bool MembersHearEachOther() {
    return ConferenceOptions().value(QStringLiteral("members-hear-each-other"), true).toBool();
}

void SetMembersHearEachOther(bool on) {
    QSettings options = ConferenceOptions();
    options.setValue(QStringLiteral("members-hear-each-other"), on);
}

SecureCallOptions SecureCalls() {
    const QSettings options = Options("secure.ini");
    return {options.value(QStringLiteral("offer"), true).toBool(),
            options.value(QStringLiteral("only"), false).toBool()};
}

void SetSecureCalls(SecureCallOptions chosen) {
    QSettings options = Options("secure.ini");
    options.setValue(QStringLiteral("offer"), chosen.offer);
    options.setValue(QStringLiteral("only"), chosen.only);
}

WindowOptions Windows() {
    const QSettings options = Options("windows.ini");
    return {options.value(QStringLiteral("show-times"), false).toBool(),
            options.value(QStringLiteral("accept-at-start"), false).toBool(),
            options.value(QStringLiteral("show-on-network"), true).toBool()};
}

void SetWindows(WindowOptions chosen) {
    QSettings options = Options("windows.ini");
    options.setValue(QStringLiteral("show-times"), chosen.showTimes);
    options.setValue(QStringLiteral("accept-at-start"), chosen.acceptAtStart);
    options.setValue(QStringLiteral("show-on-network"), chosen.showOnNetwork);
    options.sync();
}

namespace {

// One key per folder a copy was started from.
QString PlaceKey() {
    return QStringLiteral("places/") + outside::ServerName(QDir::currentPath());
}

} // namespace

QByteArray SwitchboardPlace() {
    return Options("windows.ini").value(PlaceKey()).toByteArray();
}

void KeepSwitchboardPlace(const QByteArray& geometry) {
    QSettings options = Options("windows.ini");
    options.setValue(PlaceKey(), geometry);
}
