#include "app/Main.h"
#include "Version.h"
#include "history/HistoryStore.h"

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>

namespace {

// --help and --version are answered before any window system is touched, so they work
// without a display.
int AnswerCommandLine(int argc, char** argv, bool* handled) {
    QStringList args;
    for (int k = 0; k < argc; ++k) {
        args << QString::fromLocal8Bit(argv[k]);
    }
    QCoreApplication::setApplicationName(QStringLiteral("palaver"));
    QCoreApplication::setApplicationVersion(QStringLiteral("%1.%2.%3")
                                                .arg(PALAVER_VERSION_MAJOR)
                                                .arg(PALAVER_VERSION_MINOR)
                                                .arg(PALAVER_VERSION_PATCH));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Palaver: chat directly with other Palaver users over TCP."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    // Qt's own options (-platform, -style, ...) are left to QApplication.
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    if (!parser.parse(args)) {
        *handled = false; // not ours: QApplication may know it
        return 0;
    }
    if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
        // Without an application object the parser cannot know the program's name.
        QString text = parser.helpText();
        text.replace(QStringLiteral("<executable_name>"), QStringLiteral("palaver"));
        std::fputs(qPrintable(text), stdout);
        *handled = true;
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("Palaver %s\n", qPrintable(QCoreApplication::applicationVersion()));
        *handled = true;
        return 0;
    }
    *handled = false;
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    bool handled = false;
    const int code = AnswerCommandLine(argc, argv, &handled);
    if (handled) {
        return code;
    }
    QApplication app(argc, argv);
    Main();
    const int status = QApplication::exec();
    History().reset(); // what waits is written before the program goes
    return status;
}
