#include "support/simprocess.h"

#include <QRegularExpression>

SimProcess::SimProcess(const QString &program, const QStringList &options,
                       const QString &stderrFile, const QStringList &wrapper)
{
    if (!stderrFile.isEmpty())
        m_process.setStandardErrorFile(stderrFile);
    QStringList command = wrapper + QStringList{program, "--port", "0"} + options;
    m_process.start(command.takeFirst(), command);
    if (!m_process.waitForStarted(5000))
        return;
    while (!m_process.canReadLine())
        if (!m_process.waitForReadyRead(5000))
            return;
    static const QRegularExpression listening(
        QStringLiteral("^bootloader-sim listening on 127\\.0\\.0\\.1:(\\d+)\\n$"));
    const QRegularExpressionMatch match =
        listening.match(QString::fromLatin1(m_process.readLine()));
    if (match.hasMatch())
        m_port = quint16(match.captured(1).toUInt());
}

SimProcess::~SimProcess()
{
    if (m_process.state() != QProcess::NotRunning && !stop()) {
        m_process.kill();
        m_process.waitForFinished(3000);
    }
}

bool SimProcess::stop()
{
    m_process.terminate();
    return m_process.waitForFinished(5000) && m_process.exitStatus() == QProcess::NormalExit &&
           m_process.exitCode() == 0;
}
