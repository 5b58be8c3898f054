#include "core/conversation.h"

#include "core/datagram.h"

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
        return outstanding.retransmits ? Reply::Stale : Reply::Mismatch;
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
