#include "sim/simwire.h"

SimCommand simCommandFromName(const QByteArray &name)
{
    static const struct
    {
        const char *name;
        SimCommand command;
    } known[] = {
        {CommandName::Ping, SimCommand::Ping},
        {CommandName::Start, SimCommand::Start},
        {CommandName::Write, SimCommand::Write},
        {CommandName::End, SimCommand::End},
        {CommandName::Check, SimCommand::Check},
        {CommandName::StartApplication, SimCommand::StartApplication},
    };
    for (const auto &entry : known) {
        if (name == entry.name)
            return entry.command;
    }
    return SimCommand::Unknown;
}

bool isAnsweredCommandName(const QByteArray &name)
{
    const SimCommand command = simCommandFromName(name);
    return command != SimCommand::Unknown && command != SimCommand::StartApplication;
}

QByteArray simReply(SimCommand command, quint8 sequence, quint8 status)
{
    QByteArray reply(ReplySize, 0);
    reply[0] = char(ReplyMarker);
    reply[ReplySequenceOffset] = char(sequence);
    reply[ReplyCommandOffset] = char(command);
    reply[ReplyStatusOffset] = char(status);
    return reply;
}
