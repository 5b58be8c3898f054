#include "sim/simulatoroptions.h"

#include "core/deviceendpoint.h"
#include "sim/simwire.h"

namespace {

constexpr int LongestDeviceTimeMs = 24 * 60 * 60 * 1000;

std::optional<int> readCount(const QCommandLineParser &parser, const QCommandLineOption &option,
                             int highest, QString *error)
{
    bool ok = false;
    const QString text = parser.value(option);
    const int value = text.toInt(&ok, 10);
    if (ok && value >= 0 && value <= highest)
        return value;
    *error = QStringLiteral("--%1 wants a whole number from 0 to %2, not \"%3\"")
                 .arg(option.names().constFirst())
                 .arg(highest)
                 .arg(text);
    return std::nullopt;
}

} // namespace

std::optional<SimulatorSettings> SimulatorOptions::settings(const QCommandLineParser &parser,
                                                            QString *error) const
{
    const SimulatorOptions &options = *this;
    if (!parser.positionalArguments().isEmpty()) {
        *error = QStringLiteral("unexpected argument \"%1\"")
                     .arg(parser.positionalArguments().constFirst());
        return std::nullopt;
    }
    SimulatorSettings settings;

    if (!settings.bindAddress.setAddress(parser.value(options.bind))) {
        *error = QStringLiteral("--bind wants a numeric address, not \"%1\"")
                     .arg(parser.value(options.bind));
        return std::nullopt;
    }
    if (!settings.bindAddress.isLoopback() && !parser.isSet(options.allowNonLoopback)) {
        *error = QStringLiteral("refusing to listen on %1, which is not a loopback address "
                                "(add --allow-non-loopback to insist)")
                     .arg(settings.bindAddress.toString());
        return std::nullopt;
    }

    const int port = parsePortText(parser.value(options.port));
    if (port < 0) {
        *error = QStringLiteral("--port wants a number from 0 to 65535, not \"%1\"")
                     .arg(parser.value(options.port));
        return std::nullopt;
    }
    settings.port = quint16(port);

    const std::pair<const QCommandLineOption &, int &> counts[] = {
        {options.delay, settings.delayMs},
        {options.erase, settings.eraseMs},
        {options.dropEvery, settings.dropEvery},
        {options.duplicateEvery, settings.duplicateEvery},
        {options.wrongSeqEvery, settings.wrongSequenceEvery},
    };
    for (const auto &[option, target] : counts) {
        const std::optional<int> value = readCount(parser, option, LongestDeviceTimeMs, error);
        if (!value)
            return std::nullopt;
        target = *value;
    }
    const std::pair<const QCommandLineOption &, int &> optional[] = {
        {options.silentAfter, settings.silentAfterMs},
        {options.swap, settings.swapMs},
    };
    for (const auto &[option, target] : optional) {
        if (!parser.isSet(option))
            continue;
        const std::optional<int> value = readCount(parser, option, LongestDeviceTimeMs, error);
        if (!value)
            return std::nullopt;
        target = *value;
    }

    for (const QString &name : parser.values(options.fail)) {
        if (!isAnsweredCommandName(name.toLatin1())) {
            *error = QStringLiteral("--fail wants Ping, Start, Write, End or Check, not \"%1\"")
                         .arg(name);
            return std::nullopt;
        }
        settings.failCommands.insert(name.toLatin1());
    }

    settings.savePath = parser.value(options.save);
    settings.verbose = parser.isSet(options.verbose);
    settings.quiet = parser.isSet(options.quiet);
    if (settings.verbose && settings.quiet) {
        *error = QStringLiteral("--verbose and --quiet exclude each other");
        return std::nullopt;
    }
    return settings;
}

std::optional<SimulatorSettings> parseSimulatorArguments(const QStringList &arguments,
                                                         QString *error)
{
    QCommandLineParser parser;
    const SimulatorOptions options;
    parser.addOptions(options.list());
    if (!parser.parse(arguments)) {
        *error = parser.errorText();
        return std::nullopt;
    }
    return options.settings(parser, error);
}
