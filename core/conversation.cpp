#include "core/conversation.h"

#include "core/datagram.h"

#include <algorithm>

namespace Conversation {

bool advancesSequence(Ping ping)
{
    return ping == Ping::Opening;
}

KeepAliveStep onKeepAlive(LinkState link)
{
    switch (link) {
    case LinkDown:
        break;
    case LinkConnecting:
        return {true, true};
    case LinkUp:
        return {false, true};
    }
    return {};
}

void RecentRequests::add(quint8 sequence)
{
    m_sequences[size_t(m_next)] = sequence;
    m_next = (m_next + 1) % Size;
    m_count = qMin(m_count + 1, Size);
}

bool RecentRequests::contains(quint8 sequence) const
{
    const auto end = m_sequences.cbegin() + m_count;
    return std::find(m_sequences.cbegin(), end, sequence) != end;
}

Reply readReply(const char *data, qint64 length, const Outstanding &outstanding)
{
    if (outstanding.link == LinkDown)
        return Reply::Stray;
    switch (Datagram::classifyReply(data, length, outstanding.sequence)) {
    case Datagram::ReplyKind::Nothing:
        break;
    case Datagram::ReplyKind::KeepAlive:
        return Reply::KeepAlive;
    case Datagram::ReplyKind::SequenceMismatch:
        if (outstanding.recent &&
            outstanding.recent->contains(Datagram::replyByte(data, length, ReplySequenceOffset)))
            return Reply::Stale;
        return Reply::Mismatch;
    case Datagram::ReplyKind::Success:
        return outstanding.request ? Reply::Success : Reply::Stray;
    case Datagram::ReplyKind::Failure:
        return outstanding.request ? Reply::Failure : Reply::Stray;
    }
    return Reply::Ignored;
}

bool callsForEndNotice(Reply reply)
{
    return reply == Reply::Stray || reply == Reply::Mismatch;
}

} // namespace Conversation
