#pragma once

#include <QProcess>
#include <QStringList>

// bootloader-sim started with "--port 0" plus `options` on 127.0.0.1 and the free port it picked
// (the caller passes BOOTLOADER_SIM_PATH, defined for test executables only), its stderr into a
// file so a verbose simulator cannot stall on a full pipe; terminated when this goes away.
// `wrapper` runs it, as in {"bash", "-c", "...; exec \"$@\"", "sh"}.
class SimProcess
{
public:
    SimProcess(const QString &program, const QStringList &options,
               const QString &stderrFile = QString(), const QStringList &wrapper = {});
    ~SimProcess();
    quint16 port() const { return m_port; } // 0 when it never said it was listening
    QString device() const { return QStringLiteral("127.0.0.1:%1").arg(m_port); }
    QProcess &process() { return m_process; }
    bool stop(); // SIGTERM; whether it then exited normally with status 0

private:
    QProcess m_process;
    quint16 m_port = 0;
};
