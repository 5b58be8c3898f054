#include "cli/sessionrunner.h"

#include "cli/output.h"
#include "cli/progressreporter.h"
#include "core/commandline.h"

#include <QCoreApplication>
#include <csignal>
#include <memory>
#include <vector>

using namespace Output;

namespace {

QString operationName(DeviceSession::Operation operation)
{
    switch (operation) {
    case DeviceSession::Operation::Upload:
        return QStringLiteral("upload");
    case DeviceSession::Operation::Check:
        return QStringLiteral("check");
    case DeviceSession::Operation::StartApplication:
        return QStringLiteral("start");
    }
    return QString();
}

QString resultText(DeviceSession::Result result)
{
    switch (result) {
    case DeviceSession::Result::Succeeded:
        return QStringLiteral("ok");
    case DeviceSession::Result::Refused:
        return QStringLiteral("failed");
    case DeviceSession::Result::NoAnswer:
        return QStringLiteral("no answer");
    case DeviceSession::Result::NothingListens:
        return QStringLiteral("nothing listens");
    case DeviceSession::Result::LinkLost:
        return QStringLiteral("link lost");
    case DeviceSession::Result::TimedOut:
        return QStringLiteral("timed out");
    case DeviceSession::Result::SequenceMismatch:
        return QStringLiteral("sequence mismatch");
    case DeviceSession::Result::Interrupted:
        return QStringLiteral("interrupted");
    case DeviceSession::Result::Pending:
        break;
    }
    return QStringLiteral("unfinished");
}

int exitCodeFor(DeviceSession::Result result)
{
    switch (result) {
    case DeviceSession::Result::Succeeded:
        return ExitSucceeded;
    case DeviceSession::Result::Refused:
        return ExitRefused;
    default:
        return ExitLink;
    }
}

} // namespace

int runSessions(DeviceSession::Operation operation, const QByteArray &image,
                const QVector<DeviceTarget> &devices, const RunOptions &options)
{
    const bool showsProgress = operation == DeviceSession::Operation::Upload;
    ProgressReporter reporter(showsProgress
                                  ? ProgressReporter::progressFor(options.quiet, options.verbose)
                                  : ProgressReporter::Progress::None,
                              options.verbose, options.json);
    std::vector<std::unique_ptr<DeviceSession>> sessions;
    int running = devices.size();
    for (const DeviceTarget &device : devices) {
        const int index = reporter.addDevice(device.label(), operationName(operation));
        auto session = std::make_unique<DeviceSession>(device, operation, image, options.session);
        DeviceSession *raw = session.get();
        QObject::connect(raw, &DeviceSession::progressChanged,
                         [&reporter, index](int percent) { reporter.progress(index, percent); });
        QObject::connect(
            raw, &DeviceSession::commandAnswered,
            [&reporter, index](const char *name, quint8 sequence, Datagram::ReplyKind answer,
                               quint8 status, qint64 roundTripUs) {
                reporter.commandAnswered(index, name, sequence, answer, status, roundTripUs);
            });
        QObject::connect(raw, &DeviceSession::noticeSent,
                         [&reporter, index](const char *name, quint8 sequence) {
                             reporter.noticeSent(index, name, sequence);
                         });
        QObject::connect(raw, &DeviceSession::requestRepeated,
                         [&reporter, index](const char *name, quint8 sequence, int attempt) {
                             reporter.requestRepeated(index, name, sequence, attempt);
                         });
        QObject::connect(raw, &DeviceSession::finished, [&reporter, &running, raw, index] {
            const DeviceSession::Result result = raw->result();
            if (result == DeviceSession::Result::Succeeded ||
                result == DeviceSession::Result::Refused)
                reporter.verdict(index, result == DeviceSession::Result::Succeeded, raw->detail());
            reporter.deviceFinished(index, resultText(raw->result()));
            if (--running == 0)
                QCoreApplication::quit();
        });
        sessions.push_back(std::move(session));
    }

    // A signal tells every device still busy that its upload is over, then ends the run.
    int signalled = 0;
    QString error;
    if (!CommandLine::onTerminationSignals(
            [&](int signalNumber) {
                if (signalled == 0)
                    signalled = signalNumber;
                for (const auto &session : sessions)
                    session->interrupt();
            },
            &error))
        Output::message(QStringLiteral("bootloader-cli: %1\n").arg(error).toLocal8Bit());

    reporter.begin();
    for (const auto &session : sessions)
        session->start();
    if (running > 0) // a session may end inside start(), when its first send fails
        QCoreApplication::exec();

    int worst = ExitSucceeded;
    for (size_t i = 0; i < sessions.size(); ++i) {
        const DeviceSession &session = *sessions[i];
        ProgressReporter::Summary summary;
        summary.operation = operationName(operation);
        summary.result = resultText(session.result());
        summary.exitStatus = exitCodeFor(session.result());
        summary.elapsedMs = session.elapsedMs();
        summary.bytesSent = session.bytesSent();
        summary.retries = session.retries();
        summary.roundTripsUs = session.roundTripsUs();
        summary.detail = session.detail();
        reporter.summary(int(i), summary);
        worst = qMax(worst, summary.exitStatus);
    }
    if (!reportWritten())
        worst = qMax(worst, int(ExitReportLost));
    return signalled ? 128 + signalled : worst;
}
