#include "cli/stationrunner.h"

#include "cli/commandlineoptions.h"
#include "cli/devicelist.h"
#include "cli/filecommands.h"
#include "cli/journal.h"
#include "cli/output.h"
#include "cli/quotedinput.h"
#include "cli/stationdisplay.h"
#include "core/commandline.h"
#include "posix/terminationsignals.h"

#include <QEventLoop>
#include <QFileInfo>

using namespace Output;

namespace {

QString refusal(const StationInput::Value &value, const QString &wants)
{
    return QStringLiteral("%1 wants %2, not %3").arg(value.where, wants, quotedInput(value.text));
}

} // namespace

bool checkSessionValues(const std::optional<StationInput::Value> &timeout,
                        const std::optional<StationInput::Value> &retries,
                        const std::optional<StationInput::Value> &retryAfter,
                        DeviceSession::Settings *session, QString *error)
{
    if (timeout) {
        const std::optional<int> ms = CliLimits::parseSecondsMs(timeout->text);
        if (!ms) {
            *error = refusal(*timeout, QStringLiteral("a number of seconds above 0"));
            return false;
        }
        session->replyTimeoutMs = *ms;
    }
    if (retries) {
        const std::optional<int> n =
            CommandLine::parseDecimal(retries->text, 0, CliLimits::MostRetries);
        if (!n) {
            *error =
                refusal(*retries,
                        QStringLiteral("a whole number from 0 to %1").arg(CliLimits::MostRetries));
            return false;
        }
        session->retries = *n;
    }
    if (retryAfter) {
        const std::optional<int> ms =
            CommandLine::parseDecimal(retryAfter->text, 1, int(CliLimits::LongestSeconds * 1000));
        if (!ms) {
            *error = refusal(*retryAfter, QStringLiteral("a number of ms above 0"));
            return false;
        }
        session->retryAfterMs = *ms;
    }
    return true;
}

std::optional<StationSettings> checkStationInput(const StationInput &input, QString *error)
{
    StationSettings settings;
    if (!checkSessionValues(input.timeout, input.retries, input.retryAfter, &settings.session,
                            error))
        return std::nullopt;
    if (input.goneAfter) {
        const std::optional<int> ms = CliLimits::parseSecondsMs(input.goneAfter->text);
        if (!ms || *ms < ShortestGoneAfterSeconds * 1000) {
            *error = refusal(
                *input.goneAfter,
                QStringLiteral("a number of seconds from %1 up").arg(ShortestGoneAfterSeconds));
            return std::nullopt;
        }
        settings.goneAfterMs = *ms;
    } else {
        settings.goneAfterMs = int(DefaultGoneAfterSeconds * 1000);
    }
    const std::optional<QVector<DeviceTarget>> devices =
        readDeviceList(input.devices, input.devicesFrom, error);
    if (!devices) {
        error->prepend(input.devicesWhere);
        return std::nullopt;
    }
    if (devices->isEmpty()) {
        *error = input.devicesWhere + QStringLiteral("station wants at least one device");
        return std::nullopt;
    }
    settings.devices = *devices;
    settings.imagePath = QFileInfo(input.image).absoluteFilePath();
    settings.noStart = input.noStart;
    return settings;
}

int runStation(StationRun run)
{
    QString error;
    if (!run.config.isEmpty()) {
        std::optional<StationInput> input = readStationConfig(run.config, &error);
        std::optional<StationSettings> settings;
        if (input)
            settings = checkStationInput(*input, &error);
        if (!settings) {
            message(QStringLiteral("bootloader-cli: %1\n").arg(error).toLocal8Bit());
            return ExitUsage;
        }
        run.input = *input;
        run.settings = *settings;
    }
    StationSettings &settings = run.settings;
    if (const int refused = loadUploadImage(run.input.image, run.input.force, &settings.image))
        return refused;
    settings.count = run.count;

    // A board whose record cannot be kept is not programmed.
    Journal journal;
    if (!journal.open(run.journal, &error)) {
        message(QStringLiteral("bootloader-cli: the journal %1 cannot be opened for "
                               "appending: %2; no board was flashed\n")
                    .arg(quotedInput(run.journal), error)
                    .toLocal8Bit());
        return ExitReportLost;
    }

    QStringList labels;
    for (const DeviceTarget &device : qAsConst(settings.devices))
        labels << device.label();
    StationDisplay display(StationDisplay::modeFor(run.quiet), run.json, labels);
    Station station(settings, journal, display);
    if (!TerminationSignals::onSignal(
            &station, [&station](int signalNumber) { station.signal(signalNumber); }, &error))
        message(QStringLiteral("bootloader-cli: %1\n").arg(error).toLocal8Bit());
    QEventLoop loop;
    QObject::connect(&station, &Station::finished, &loop, &QEventLoop::quit, Qt::QueuedConnection);
    station.start();
    loop.exec();
    display.finish();
    const int status = station.exitStatus();
    return reportWritten() || status >= 128 ? status : qMax(status, int(ExitReportLost));
}
