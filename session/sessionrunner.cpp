#include "session/sessionrunner.h"

#include "posix/output.h"
#include "posix/terminationsignals.h"
#include "session/sessionresult.h"
#include "session/slotlock.h"

#include <QCoreApplication>
#include <QEventLoop>

using namespace Output;

ProgressReporter::Summary summaryOf(const DeviceSession &session)
{
    ProgressReporter::Summary summary;
    summary.operation = operationName(session.operation());
    for (const DeviceSession::Operation step : session.stepsRun())
        summary.steps << operationName(step);
    summary.chained = !session.nextSteps().isEmpty();
    summary.result = resultText(session.result());
    summary.exitStatus = exitCodeFor(session.result());
    summary.elapsedMs = session.elapsedMs();
    summary.bytesSent = session.bytesSent();
    summary.retries = session.retries();
    summary.lateReplies = session.lateReplies();
    summary.roundTripsUs = session.roundTripsUs();
    summary.detail = session.detail();
    return summary;
}

SessionRunner::SessionRunner(DeviceSession::Operation operation, const QByteArray &image,
                             const QVector<DeviceTarget> &devices, const RunOptions &options,
                             QObject *parent)
    : QObject(parent),
      m_reporter(operation == DeviceSession::Operation::Upload
                     ? ProgressReporter::progressFor(options.quiet, options.verbose)
                     : ProgressReporter::Progress::None,
                 options.verbose, options.json, options.quiet),
      m_running(devices.size()), m_imageSha256(options.imageSha256)
{
    for (const DeviceTarget &device : devices) {
        const int index =
            m_reporter.addDevice(device.label(), operationName(operation), device.interface);
        m_sessions.push_back(
            std::make_unique<DeviceSession>(device, operation, image, options.session));
        DeviceSession *session = m_sessions.back().get();
        session->setNextSteps(options.nextSteps);
        connect(session, &DeviceSession::waiting, this,
                [this, index](int givesUpAfterMs) { m_reporter.waiting(index, givesUpAfterMs); });
        connect(session, &DeviceSession::progressChanged, this,
                [this, index](int percent) { m_reporter.progress(index, percent); });
        connect(session, &DeviceSession::commandAnswered, this,
                [this, index](const char *name, quint8 sequence, Datagram::ReplyKind answer,
                              quint8 status, qint64 roundTripUs) {
                    m_reporter.commandAnswered(index, name, sequence, answer, status, roundTripUs);
                });
        connect(session, &DeviceSession::noticeSent, this,
                [this, index](const char *name, quint8 sequence) {
                    m_reporter.noticeSent(index, name, sequence);
                });
        connect(session, &DeviceSession::requestRepeated, this,
                [this, index](const char *name, quint8 sequence, int attempt) {
                    m_reporter.requestRepeated(index, name, sequence, attempt);
                });
        connect(session, &DeviceSession::finished, this, [this, session, index] {
            const DeviceSession::Result result = session->result();
            if (result == DeviceSession::Result::Succeeded ||
                result == DeviceSession::Result::Refused)
                m_reporter.verdict(index, result == DeviceSession::Result::Succeeded,
                                   session->detail());
            m_reporter.deviceFinished(index, resultText(result));
            if (--m_running == 0)
                emit finished();
        });
    }
}

void SessionRunner::start()
{
    m_reporter.begin();
    for (const auto &session : m_sessions)
        session->start();
}

void SessionRunner::interrupt(int signalNumber)
{
    if (m_signal == 0)
        m_signal = signalNumber;
    for (const auto &session : m_sessions)
        session->interrupt();
}

void SessionRunner::writeSummaries()
{
    for (size_t i = 0; i < m_sessions.size(); ++i) {
        ProgressReporter::Summary summary = summaryOf(*m_sessions[i]);
        summary.imageSha256 = m_imageSha256;
        m_reporter.summary(int(i), summary);
    }
}

int SessionRunner::exitStatus() const
{
    int worst = ExitSucceeded;
    for (const auto &session : m_sessions)
        worst = qMax(worst, exitCodeFor(session->result()));
    return m_signal ? 128 + m_signal : worst;
}

int runSessions(DeviceSession::Operation operation, const QByteArray &image,
                const QVector<DeviceTarget> &devices, const RunOptions &options)
{
    QString error;
    SlotLock held(QCoreApplication::applicationName() + QLatin1Char(' ') +
                  operationName(operation));
    if (!held.acquire(devices, &error)) {
        Output::message(QStringLiteral("bootloader-cli: %1\n").arg(error).toLocal8Bit());
        return ExitUsage;
    }
    SessionRunner runner(operation, image, devices, options);
    if (!TerminationSignals::onSignal(
            &runner,
            [&runner](int signalNumber) {
                Output::stopWaiting(); // a paused reader of stdout must not hold the run
                runner.interrupt(signalNumber);
            },
            &error))
        Output::message(QStringLiteral("bootloader-cli: %1\n").arg(error).toLocal8Bit());

    QEventLoop loop;
    QObject::connect(&runner, &SessionRunner::finished, &loop, &QEventLoop::quit);
    runner.start();
    if (!runner.isFinished()) // a session may end inside start(), when its first send fails
        loop.exec();
    runner.writeSummaries();
    return withReport(runner.exitStatus());
}
