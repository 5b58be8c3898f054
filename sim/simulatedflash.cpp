#include "sim/simulatedflash.h"

#include "core/firmwareimage.h"
#include "sim/simwire.h"

quint8 SimulatedFlash::erase()
{
    m_contents.clear();
    m_contents.reserve(FirmwareImageSize);
    m_uploading = true;
    return ReplyOkCode;
}

quint8 SimulatedFlash::write(const QByteArray &block)
{
    if (!m_uploading)
        return SimStatus::WriteWithoutStart;
    if (qint64(m_contents.size()) + block.size() > FirmwareImageSize)
        return SimStatus::WritePastImageEnd;
    m_contents.append(block);
    return ReplyOkCode;
}

quint8 SimulatedFlash::end()
{
    m_uploading = false;
    return check();
}

quint8 SimulatedFlash::check() const
{
    return isValidFirmwareImage(m_contents) ? ReplyOkCode : SimStatus::InvalidImage;
}

bool SimulatedFlash::abandon()
{
    if (!m_uploading)
        return false;
    m_contents.clear();
    m_uploading = false;
    return true;
}
