#include "core/logging.h"
#include "window/mainwindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>
#include <csignal>
#include <cstring>

namespace {

bool asksHelpOrVersion(const char *argument)
{
    for (const char *option : {"-h", "--help", "-?", "-V", "-v", "--version"}) {
        if (std::strcmp(argument, option) == 0)
            return true;
    }
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    // A post-build that meets the file-size limit fails its write and says so; the signal's
    // default would kill the window and leave a temporary file behind.
    std::signal(SIGXFSZ, SIG_IGN);

    QCoreApplication::setApplicationName(QStringLiteral("bootloader"));
    QCoreApplication::setApplicationVersion(QStringLiteral(BOOTLOADER_VERSION));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Window to upload firmware to devices whose bootloader answers on UDP.\n"
                       "Takes the options common to all Qt programs (-platform, -style...);\n"
                       "any other argument is ignored."));
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions); // as Qt's own
    parser.addHelpOption();
    // -V as bootloader-cli and bootloader-sim take it, -v as Qt programs do.
    const QCommandLineOption version(
        {QStringLiteral("V"), QStringLiteral("v"), QStringLiteral("version")},
        QStringLiteral("Displays version information."));
    parser.addOption(version);

    // Help and version need no window: QApplication aborts where there is no display.
    for (int i = 1; i < argc; ++i) {
        if (asksHelpOrVersion(argv[i])) {
            QCoreApplication app(argc, argv);
            parser.parse(
                {QCoreApplication::arguments().constFirst(), QString::fromLocal8Bit(argv[i])});
            if (parser.isSet(version))
                parser.showVersion();
            parser.showHelp(0);
        }
    }

    QApplication app(argc, argv); // takes Qt's own options (-platform, -style...) out of argv
    Logging::useTimestamps();
    // Launchers and desktop entries may pass file names or options this window does not
    // know: they are ignored. What is left to answer is --help-all, which lists Qt's options.
    parser.parse(QCoreApplication::arguments());
    if (parser.isSet(QStringLiteral("help-all")))
        parser.process({QCoreApplication::arguments().constFirst(), QStringLiteral("--help-all")});

    MainWindow window;
    window.show();
    // Lets process-level tests start the real program and see it end by itself once shown.
    if (qEnvironmentVariableIsSet("BOOTLOADER_CLOSE_WHEN_SHOWN"))
        QTimer::singleShot(0, &window, &QWidget::close);
    return app.exec();
}
