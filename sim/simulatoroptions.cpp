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

bool SimulatorOptions::checkAddress(const QCommandLineParser &parser, SimulatorSettings *settings,
                                    QString *error) const
{
    if (!settings->bindAddress.setAddress(parser.value(bind))) {
        *error =
            QStringLiteral("--bind wants a numeric address, not \"%1\"").arg(parser.value(bind));
        return false;
    }
    if (!settings->bindAddress.isLoopback() && !parser.isSet(allowNonLoopback)) {
        *error = QStringLiteral("refusing to listen on %1, which is not a loopback address "
                                "(add --allow-non-loopback to insist)")
                     .arg(settings->bindAddress.toString());
        return false;
    }
    const int number = parsePortText(parser.value(port));
    if (number < 0) {
        *error = QStringLiteral("--port wants a number from 0 to 65535, not \"%1\"")
                     .arg(parser.value(port));
        return false;
    }
    settings->port = quint16(number);
    return true;
}

bool SimulatorOptions::checkFaults(const QCommandLineParser &parser, SimulatorSettings *settings,
                                   QString *error) const
{
    const std::pair<const QCommandLineOption &, int &> counts[] = {
        {delay, settings->delayMs},
        {erase, settings->eraseMs},
        {dropEvery, settings->dropEvery},
        {dropAnswer, settings->dropAnswer},
        {duplicateEvery, settings->duplicateEvery},
        {wrongSeqEvery, settings->wrongSequenceEvery},
        {silentAfter, settings->silentAfterMs},
        {swap, settings->swapMs},
    };
    for (const auto &[option, target] : counts) {
        // An optional one not given keeps its default ("never").
        if (option.defaultValues().isEmpty() && !parser.isSet(option))
            continue;
        const std::optional<int> value = readCount(parser, option, LongestDeviceTimeMs, error);
        if (!value)
            return false;
        target = *value;
    }
    for (const QString &name : parser.values(fail)) {
        if (!isAnsweredCommandName(name.toLatin1())) {
            *error = QStringLiteral("--fail wants Ping, Start, Write, End or Check, not \"%1\"")
                         .arg(name);
            return false;
        }
        settings->failCommands.insert(name.toLatin1());
    }
    return true;
}

std::optional<SimulatorSettings> SimulatorOptions::settings(const QCommandLineParser &parser,
                                                            QString *error) const
{
    if (!parser.positionalArguments().isEmpty()) {
        *error = QStringLiteral("unexpected argument \"%1\"")
                     .arg(parser.positionalArguments().constFirst());
        return std::nullopt;
    }
    SimulatorSettings settings;
    if (!checkAddress(parser, &settings, error) || !checkFaults(parser, &settings, error))
        return std::nullopt;
    settings.savePath = parser.value(save);
    settings.verbose = parser.isSet(verbose);
    settings.quiet = parser.isSet(quiet);
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
