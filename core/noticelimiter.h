#pragma once

#include "core/protocol.h"

#include <QElapsedTimer>

// Lets one "End" notice out per interval (EndNoticeIntervalMs unless a test shortens it). Each
// stray reply draws a notice, so a peer that answers notices (an echo service) would otherwise
// keep an exchange going at network speed. A notice held back takes no sequence number: the
// caller asks first.
class NoticeLimiter
{
public:
    explicit NoticeLimiter(int intervalMs = EndNoticeIntervalMs) : m_intervalMs(intervalMs) {}

    bool tryTake()
    {
        if (m_sinceLast.isValid() && !m_sinceLast.hasExpired(m_intervalMs - 1))
            return false;
        m_sinceLast.start();
        return true;
    }

private:
    int m_intervalMs;
    QElapsedTimer m_sinceLast;
};
