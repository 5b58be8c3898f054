#pragma once

#include <QProcess>
#include <QStringList>

// bootloader-sim started with "--port 0" plus `options`, on 127.0.0.1 and the free port it
// picked; terminated when this goes away. The program path comes from the caller because
// BOOTLOADER_SIM_PATH is defined for the test executables, not for this library.
class SimProcess
{
public:
    // stderrFile: a file rather than a pipe, so a verbose simulator cannot stall while nobody
    // reads it.
    SimProcess(const QString &program, const QStringList &options,
               const QString &stderrFile = QString());
    ~SimProcess();

    quint16 port() const { return m_port; } // 0 when it never said it was listening
    QString device() const { return QStringLiteral("127.0.0.1:%1").arg(m_port); }
    QProcess &process() { return m_process; }
    // Terminates it (SIGTERM) and tells whether it then exited normally with status 0.
    bool stop();

private:
    QProcess m_process;
    quint16 m_port = 0;
};
