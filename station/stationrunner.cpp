#include "station/stationrunner.h"

#include "core/commandline.h"
#include "core/quotedinput.h"
#include "posix/output.h"
#include "posix/terminationsignals.h"
#include "session/devicelist.h"
#include "session/imagepin.h"
#include "session/slotlock.h"
#include "session/uploadimage.h"
#include "station/journal.h"
#include "station/journaltail.h"
#include "station/stationdisplay.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QEventLoop>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSysInfo>

using namespace Output;

namespace {

// The pin, the station's name and the metrics file.
bool checkStationNames(const StationInput &input, StationSettings *settings, QString *error)
{
    static const QRegularExpression nameShape(QStringLiteral("\\A[A-Za-z0-9._-]{1,64}\\z"));
    if (input.expectSha256) {
        const std::optional<QString> pin = ImagePin::parse(input.expectSha256->text);
        if (!pin) {
            *error = SessionLimits::refusal(*input.expectSha256, ImagePin::wants());
            return false;
        }
        settings->expectSha256 = *pin;
    }
    settings->name = QSysInfo::machineHostName().section(QLatin1Char('.'), 0, 0);
    if (input.name && !nameShape.match(input.name->text).hasMatch()) {
        *error = SessionLimits::refusal(*input.name,
                                        QStringLiteral("1 to 64 letters, digits, '.', '_' or '-'"));
        return false;
    }
    if (input.name)
        settings->name = input.name->text;
    if (input.metrics)
        settings->metricsPath = QFileInfo(input.metrics->text).absoluteFilePath();
    return true;
}

// A value the command line may give beside the config file (the unit gives --name and
// --metrics): where both give it, they must agree.
bool agree(const std::optional<StationInput::Value> &given,
           std::optional<StationInput::Value> *fromFile, QString *error)
{
    if (given && *fromFile && (*fromFile)->text != given->text) {
        *error = QStringLiteral("%1 says %2, %3 %4")
                     .arg((*fromFile)->where, quotedInput((*fromFile)->text), given->where,
                          quotedInput(given->text));
        return false;
    }
    if (given)
        *fromFile = given;
    return true;
}

// Reads and checks the config file into `run`.
bool readConfigRun(StationRun &run, QString *error)
{
    std::optional<StationInput> input = readStationConfig(run.config, error);
    if (!input || !agree(run.input.name, &input->name, error) ||
        !agree(run.input.metrics, &input->metrics, error))
        return false;
    std::optional<StationSettings> settings = checkStationInput(*input, error);
    if (!settings)
        return false;
    run.input = *input;
    run.settings = *settings;
    return true;
}

// New at each start: when, and a random part for two starts in one second.
QString newRunId()
{
    return QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'-")) +
           QString::number(QRandomGenerator::system()->generate() & 0xFFFFFF, 16)
               .rightJustified(6, QLatin1Char('0'));
}

} // namespace

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
        readDeviceList(input.devices, input.devicesFrom, error, input.interface);
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
    if (!checkStationNames(input, &settings, error))
        return std::nullopt;
    return settings;
}

int runStation(StationRun run)
{
    QString error;
    if (!run.config.isEmpty() && !readConfigRun(run, &error)) {
        message(QStringLiteral("bootloader-cli: %1\n").arg(error).toLocal8Bit());
        return ExitUsage;
    }
    StationSettings &settings = run.settings;
    int refused = loadUploadImage(run.input.image, run.input.force, &settings.image);
    if (!refused)
        refused = ImagePin::refuseOther(run.input.image, settings.image, settings.expectSha256);
    if (refused)
        return refused;
    settings.count = run.count;
    // One program per slot, for as long as the station runs.
    SlotLock held(QCoreApplication::applicationName() + QStringLiteral(" station"));
    if (!held.acquire(settings.devices, &error)) {
        message(
            QStringLiteral("bootloader-cli: %1; no board was flashed\n").arg(error).toLocal8Bit());
        return ExitUsage;
    }
    settings.run = newRunId();

    // A board whose record cannot be kept is not programmed.
    Journal journal;
    if (!journal.open(run.journal, &error)) {
        message(QStringLiteral("bootloader-cli: the journal %1 cannot be opened for "
                               "appending: %2; no board was flashed\n")
                    .arg(quotedInput(run.journal), error)
                    .toLocal8Bit());
        return ExitReportLost;
    }
    settings.lastBoards = lastBoardNumbers(run.journal, settings.name);

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
