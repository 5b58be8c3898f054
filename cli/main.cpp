#include "cli/commandlineoptions.h"
#include "core/commandline.h"
#include "core/logging.h"
#include "core/quotedinput.h"
#include "posix/logfile.h"

#include <QCoreApplication>
#include <csignal>

int main(int argc, char *argv[])
{
    // A closed pipe or a file-size limit must end in an error message, not a silent death
    // with a device half-written.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);

    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addPositionalArgument(
        QStringLiteral("command"),
        QStringLiteral("postbuild, inspect, upload, check, start or station."),
        QStringLiteral("command [file...]"));
    const CliOptions options;
    if (const std::optional<int> exitCode =
            CommandLine::parse(parser, "bootloader-cli", CliOptions::description(), options.list()))
        return *exitCode;
    Logging::useTimestamps();
    if (parser.isSet(options.logFile)) {
        QString error;
        if (!LogFile::open(parser.value(options.logFile), &error))
            return CommandLine::usageError(
                QStringLiteral("--log-file %1: %2")
                    .arg(quotedInput(parser.value(options.logFile)), error));
        Logging::enableAll();
    }
    const std::variant<CliCommand, QString> command = options.check(parser);
    if (const QString *error = std::get_if<QString>(&command))
        return CommandLine::usageError(*error);
    return runCommand(std::get<CliCommand>(command));
}
