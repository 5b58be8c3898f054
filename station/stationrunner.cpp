#include "station/stationrunner.h"

#include "core/commandline.h"
#include "core/quotedinput.h"
#include "posix/output.h"
#include "posix/terminationsignals.h"
#include "session/devicelist.h"
#include "session/uploadimage.h"
#include "station/journal.h"
#include "station/stationdisplay.h"

#include <QEventLoop>
#include <QFileInfo>

using namespace Output;

std::optional<StationSettings> checkStationInput(const StationInput &input, QString *error)
{
    StationSettings settings;
    if (!SessionLimits::checkSessionValues(input.timeout, input.retries, input.retryAfter,
                                           &settings.session, error))
        return std::nullopt;
    if (input.goneAfter) {
        const std::optional<int> ms = SessionLimits::parseSecondsMs(input.goneAfter->text);
        if (!ms || *ms < ShortestGoneAfterSeconds * 1000) {
            *error = SessionLimits::refusal(
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
            &station, [&station](int signalNumber) { station.signal(signalNumber); }, &error) ||
        !TerminationSignals::onHangUp(
            &station, [&station] { station.reopenJournal(); }, &error))
        message(QStringLiteral("bootloader-cli: %1\n").arg(error).toLocal8Bit());
    QEventLoop loop;
    QObject::connect(&station, &Station::finished, &loop, &QEventLoop::quit, Qt::QueuedConnection);
    station.start();
    loop.exec();
    display.finish();
    return withReport(station.exitStatus());
}
