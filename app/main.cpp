#include "app/Main.h"
#include "Version.h"
#include "app/Attention.h"
#include "app/OutsideCalls.h"
#include "call/Identity.h"
#include "chat/CallTexts.h"
#include "chat/ClientWindows.h"
#include "history/HistoryStore.h"
#include "platform/Address.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>

#include <cstdio>

namespace {

// Qt's own options, which QApplication takes out of the arguments itself.
bool QtOption(const QString& arg, bool* takesValue) {
    static const QStringList withValue = {"platform",
                                          "platformpluginpath",
                                          "platformtheme",
                                          "plugin",
                                          "qwindowgeometry",
                                          "qwindowicon",
                                          "qwindowtitle",
                                          "style",
                                          "stylesheet",
                                          "session",
                                          "display",
                                          "geometry",
                                          "title",
                                          "name",
                                          "visual",
                                          "ncols",
                                          "cmap",
                                          "fn",
                                          "font",
                                          "bg",
                                          "background",
                                          "fg",
                                          "foreground",
                                          "btn",
                                          "button",
                                          "im",
                                          "inputstyle",
                                          "qmljsdebugger"};
    static const QStringList flags = {"reverse", "widgetcount", "nograb", "dograb", "sync"};
    if (!arg.startsWith(QLatin1Char('-'))) {
        return false;
    }
    QString name = arg.mid(arg.startsWith(QLatin1String("--")) ? 2 : 1);
    const qsizetype eq = name.indexOf(QLatin1Char('='));
    if (eq >= 0) {
        name = name.left(eq);
        *takesValue = false;
        return withValue.contains(name);
    }
    *takesValue = withValue.contains(name);
    return *takesValue || flags.contains(name);
}

struct CommandLine {
    bool done = false; // answered on the terminal; exit with `status`
    int status = 0;
    QString call;      // an address to call, as given
    QStringList files; // to send there, absolute
};

// Answered before any window system is touched, so that it works without a display: help,
// version, bad input (status 2, never a window), and a call to hand over or place.
CommandLine Read(int argc, char** argv) {
    QStringList args{QStringLiteral("palaver")};
    for (int k = 1; k < argc; ++k) {
        const QString arg = QString::fromLocal8Bit(argv[k]);
        bool takesValue = false;
        if (QtOption(arg, &takesValue)) {
            k += takesValue ? 1 : 0;
            continue;
        }
        args << arg;
    }
    QCoreApplication::setApplicationName(QStringLiteral("palaver"));
    QCoreApplication::setApplicationVersion(QStringLiteral("%1.%2.%3")
                                                .arg(PALAVER_VERSION_MAJOR)
                                                .arg(PALAVER_VERSION_MINOR)
                                                .arg(PALAVER_VERSION_PATCH));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Palaver: chat directly with other Palaver users over TCP.\n\n"
                       "  palaver call HOST[:PORT]   call HOST (also [IPV6]:PORT) from the\n"
                       "                             copy running in this folder, or a new one\n"
                       "  palaver send HOST[:PORT] FILE...   call HOST the same way and offer\n"
                       "                             it the files\n"
                       "  palaver palaver://HOST[:PORT]   the same as call, from a link"));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption fingerprint(
        QStringLiteral("fingerprint"),
        QStringLiteral("Print the fingerprint of your key for secure calls, and exit."));
    parser.addOption(fingerprint);
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("\"call HOST[:PORT]\" or a palaver:// link"),
                                 QStringLiteral("[call HOST[:PORT] | send HOST[:PORT] FILE... | "
                                                "palaver://HOST[:PORT]]"));
    const auto usage = [&parser] {
        QString text = parser.helpText();
        text.replace(QStringLiteral("<executable_name>"), QStringLiteral("palaver"));
        return text;
    };
    const auto refuse = [&usage](const QString& why) {
        std::fprintf(stderr, "palaver: %s\n\n%s", qPrintable(why), qPrintable(usage()));
        return CommandLine{true, 2, {}, {}};
    };
    if (!parser.parse(args)) {
        return refuse(parser.errorText());
    }
    if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
        std::fputs(qPrintable(usage()), stdout);
        return {true, 0, {}, {}};
    }
    if (parser.isSet(version)) {
        std::printf("Palaver %s\n", qPrintable(QCoreApplication::applicationVersion()));
        return {true, 0, {}, {}};
    }
    if (parser.isSet(fingerprint)) {
        // The key is made on first need, this being one.
        QCoreApplication core(argc, argv);
        Identity identity;
        identity.Load(Identity::DefaultPath());
        if (!identity.Usable()) {
            const QString why = chat::KeyTroubleText(identity.Error());
            std::fprintf(stderr, "palaver: %s\n", qPrintable(why));
            return {true, 1, {}, {}};
        }
        std::printf("%s\n", qPrintable(Identity::ShowFingerprint(identity.Fingerprint())));
        return {true, 0, {}, {}};
    }
    const QStringList words = parser.positionalArguments();
    if (words.isEmpty()) {
        return {};
    }
    QString target;
    std::optional<platform::Address> address;
    QStringList files;
    if (words.size() >= 3 && words[0] == QLatin1String("send")) {
        target = words[1];
        address = platform::ParseAddress(target, 7000);
        for (const QString& name : words.mid(2)) {
            const QFileInfo file(name);
            // One request line carries them all: a name with a line break cannot go.
            if (!file.isFile() || !file.isReadable() || name.contains(QLatin1Char('\n')) ||
                name.contains(QLatin1Char('\t')) || files.size() >= 64) {
                return refuse(QStringLiteral("not a file to send: ") + name.left(200));
            }
            files << file.absoluteFilePath();
        }
    } else if (words.size() == 2 && words[0] == QLatin1String("call")) {
        target = words[1];
        address = platform::ParseAddress(target, 7000);
    } else if (words.size() == 1 &&
               words[0].startsWith(QLatin1String("palaver:"), Qt::CaseInsensitive)) {
        address = platform::ParseLink(words[0], 7000);
        target = address ? platform::LinkTarget(words[0]) : QString();
    } else {
        return refuse(QStringLiteral("unknown command: ") + words.join(QLatin1Char(' ')).left(80));
    }
    if (!address || !platform::LooksLikeHost(address->host) || target.size() > 300) {
        return refuse(QStringLiteral("not an address to call: ") +
                      (words.size() == 2 ? words[1] : words[0]).left(80));
    }
    return {false, 0, target, files};
}

} // namespace

int main(int argc, char** argv) {
    const CommandLine line = Read(argc, argv);
    if (line.done) {
        return line.status;
    }
    // A copy already running from this folder places the call; none: this one starts.
    if (!line.call.isEmpty() && outside::HandOver(QDir::currentPath(), line.call, line.files)) {
        return 0;
    }
    // One copy per folder: a second start brings the first one's switchboard forward.
    if (line.call.isEmpty() && outside::Raise(QDir::currentPath())) {
        std::printf("Palaver already runs in this folder; its switchboard was brought forward\n");
        return 0;
    }
    QApplication application(argc, argv);
    App palaver;
    palaver.Start(line.call, line.files);
    return QApplication::exec();
}
