#pragma once

#include <QtGlobal>

// Whether the device answers keep-alive pings.
enum LinkState : int {
    LinkDown = 0,
    LinkConnecting = 1,
    LinkUp = 2,
};

// The rules of a conversation with one device that the window and the CLI share: sequence
// numbers, what a reply means given what is outstanding, what a keep-alive does to the link and
// which replies draw an "End" notice. No sockets, timers or widgets: each side keeps its state,
// sends and times the way it does, and asks here what a datagram means.
namespace Conversation {

enum class Ping {
    Opening, // the first of a connection
    Tick,    // the periodic keep-alive
};

// The Ping that opens a connection takes the next sequence number, as every other command
// does; a tick repeats the current number, so a request outstanding meanwhile keeps the
// sequence its reply echoes.
bool advancesSequence(Ping ping);

struct KeepAliveStep
{
    bool linkComesUp = false;        // the first answer of a connection
    bool restartsLinkWindow = false; // the link is lost only after a whole window of silence
};

// What a keep-alive answer does in `link`. A link that is down takes none: such an answer is
// stray.
KeepAliveStep onKeepAlive(LinkState link);

struct Outstanding
{
    LinkState link = LinkDown;
    bool request = false; // a request other than "Ping" waits for its verdict
    quint8 sequence = 0;  // the number the last command went out with
    // With retransmission, any reply but the outstanding request's is a late duplicate (a reply
    // to a repeat, or one the network delayed or doubled). Without: strictly lock-step.
    bool retransmits = false;
};

enum class Reply {
    Ignored,   // nothing was read
    KeepAlive, // an answer to "Ping", whatever its sequence
    Success,   // the verdict on the outstanding request: accepted
    Failure,   // the verdict on the outstanding request: refused
    Stray,     // a verdict while nothing waits for one, or anything while the link is down
    Mismatch,  // echoes another sequence than the outstanding request's
    Stale,     // with retransmission: a late duplicate, whatever its age; dropped
};

// What a reply of `length` bytes means given what is outstanding.
Reply readReply(const char *data, qint64 length, const Outstanding &outstanding);

// Whether a reply calls for an "End" notice, so that the device gives up whatever it was
// doing: a stray reply or a mismatch. NoticeLimiter decides whether it goes out now.
bool callsForEndNotice(Reply reply);

} // namespace Conversation
