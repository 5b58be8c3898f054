#include "core/commandline.h"

#include <QCoreApplication>
#include <algorithm>
#include <cstdio>

namespace CommandLine {

std::optional<int> parse(QCommandLineParser &parser, const char *program, const char *description,
                         const QList<QCommandLineOption> &options)
{
    QCoreApplication::setApplicationName(QString::fromLatin1(program));
    QCoreApplication::setApplicationVersion(QStringLiteral(BOOTLOADER_VERSION));
    parser.setApplicationDescription(QString::fromLatin1(description));
    parser.addHelpOption();
    // -V as in dfu-util and avrdude, which leaves -v for --verbose.
    const QCommandLineOption version({QStringLiteral("V"), QStringLiteral("version")},
                                     QStringLiteral("Displays version information."));
    parser.addOption(version);
    parser.addOptions(options);
    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(version)) {
        std::printf("%s %s\n", program, BOOTLOADER_VERSION);
        return 0;
    }
    return std::nullopt;
}

std::optional<int> parseDecimal(const QString &text, int lowest, int highest)
{
    const bool digits = !text.isEmpty() && std::all_of(text.cbegin(), text.cend(), [](QChar c) {
        return c >= QLatin1Char('0') && c <= QLatin1Char('9');
    });
    bool ok = false;
    const int value = digits ? text.toInt(&ok, 10) : 0;
    if (!ok || value < lowest || value > highest)
        return std::nullopt;
    return value;
}

int usageError(const QString &message)
{
    const QByteArray program = QCoreApplication::applicationName().toLocal8Bit();
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", program.constData(),
                 message.toLocal8Bit().constData(), program.constData());
    return UsageExitCode;
}

} // namespace CommandLine
