#include "core/commandline.h"
#include "core/logging.h"
#include "mainwindow/mainwindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <cstdio>
#include <cstring>

namespace {

bool asksHelpOrVersion(const char *argument)
{
    for (const char *option : {"-h", "--help", "-v", "--version"}) {
        if (std::strcmp(argument, option) == 0)
            return true;
    }
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication::setApplicationName(QStringLiteral("bootloader"));
    QCoreApplication::setApplicationVersion(QStringLiteral(BOOTLOADER_VERSION));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Window to upload firmware to devices whose bootloader answers on UDP."));
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions); // as Qt's own
    parser.addHelpOption();
    parser.addVersionOption();

    // Help and version need no window: QApplication aborts where there is no display.
    for (int i = 1; i < argc; ++i) {
        if (asksHelpOrVersion(argv[i])) {
            const QString option = QString::fromLocal8Bit(argv[i]);
            QCoreApplication app(argc, argv);
            parser.process({QCoreApplication::arguments().constFirst(), option}); // exits
        }
    }

    QApplication app(argc, argv); // takes Qt's own options (-platform, -style...) out of argv
    Logging::useTimestamps();
    if (!parser.parse(QCoreApplication::arguments()) || !parser.positionalArguments().isEmpty()) {
        const QString error = parser.errorText().isEmpty()
                                  ? QStringLiteral("Unexpected argument '%1'.")
                                        .arg(parser.positionalArguments().constFirst())
                                  : parser.errorText();
        std::fprintf(stderr, "bootloader: %s\n\n%s", qPrintable(error),
                     qPrintable(parser.helpText()));
        return CommandLine::UsageExitCode;
    }
    parser.process(app); // what is left for it is --help-all, which also lists Qt's options

    MainWindow window;
    window.show();
    return app.exec();
}
