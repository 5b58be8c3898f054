#pragma once

#include "session/devicetarget.h"

#include <QObject>
#include <QVector>

class QSocketNotifier;

// One program per slot: for each slot, an abstract Unix socket named after its address, port
// and interface, held for as long as the program uses the slot. It needs no file and no
// writable folder, is per network namespace as the slot is, and the kernel frees it however the
// program ends. A program that finds a slot held learns the holder's pid from the kernel
// (SO_PEERCRED) and its name from the holder, which answers each asker with it.
class SlotLock : public QObject
{
    Q_OBJECT

public:
    // `holder` is what an asker is told, such as "bootloader-cli station".
    explicit SlotLock(const QString &holder, QObject *parent = nullptr);
    ~SlotLock() override;

    // Takes every device's slot, or none: false with "LABEL is in use by HOLDER (pid N)".
    bool acquire(const QVector<DeviceTarget> &devices, QString *error);

private:
    bool take(const DeviceTarget &device, QString *error);
    void answer(int fd);
    void release();

    QByteArray m_holder;
    QVector<int> m_fds;
    QVector<QSocketNotifier *> m_notifiers;
};
