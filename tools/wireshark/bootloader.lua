-- Wireshark/tshark dissector for the bootloader's UDP protocol.
--
-- Commands (to the bootloader's port): type (1 notice, 3 request), sequence, name length N,
-- N bytes of ASCII name, then the payload ("Write": up to 512 image bytes).
-- Replies (from the bootloader's port): byte 1 echoes the sequence, byte 3 is the status.
-- bootloader-sim also sends 0x02 in byte 0 and the command answered in byte 2.
--
-- Use: copy to ~/.local/lib/wireshark/plugins/ (the package installs it system-wide), or
--   tshark -X lua_script:bootloader.lua -r capture.pcapng
-- Filters: bootloader.name == "Write", bootloader.seq == 12, bootloader.reply.status != 0xac,
-- bootloader.malformed, bootloader.wrong_seq. The port is the preference bootloader.port.

local DEFAULT_PORT = 31120
local NOTICE = 1
local REQUEST = 3
local KEEP_ALIVE = 0x73
local SUCCESS = 0xAC

local proto = Proto("bootloader", "Bootloader UDP protocol")

local type_names = { [NOTICE] = "notice", [REQUEST] = "request" }
local answered_names = {
    [0] = "unknown",
    [1] = "Ping",
    [2] = "Start",
    [3] = "Write",
    [4] = "End",
    [5] = "Check",
}
local status_names = {
    [KEEP_ALIVE] = "keep-alive",
    [SUCCESS] = "success",
    [0x01] = "Write refused: no upload in progress",
    [0x02] = "Write refused: past 917504 bytes",
    [0x03] = "not a valid image",
    [0x04] = "forced failure",
    [0x05] = "unknown request name",
}

local f = proto.fields
f.kind = ProtoField.string("bootloader.kind", "Kind")
f.type = ProtoField.uint8("bootloader.type", "Type", base.DEC, type_names)
f.seq = ProtoField.uint8("bootloader.seq", "Sequence", base.DEC)
f.name_len = ProtoField.uint8("bootloader.name_len", "Name length", base.DEC)
f.name = ProtoField.string("bootloader.name", "Name", base.ASCII)
f.payload_len = ProtoField.uint16("bootloader.payload_len", "Payload length", base.DEC)
f.payload = ProtoField.bytes("bootloader.payload", "Payload")
f.marker = ProtoField.uint8("bootloader.reply.marker", "Marker", base.HEX)
f.answered = ProtoField.uint8("bootloader.reply.command", "Command answered", base.DEC,
    answered_names)
f.status = ProtoField.uint8("bootloader.reply.status", "Status", base.HEX, status_names)
f.expected_seq = ProtoField.uint8("bootloader.expected_seq", "Expected sequence", base.DEC)

local ef_malformed = ProtoExpert.new("bootloader.malformed", "Malformed bootloader datagram",
    expert.group.MALFORMED, expert.severity.ERROR)
local ef_unknown_type = ProtoExpert.new("bootloader.unknown_type", "Unknown command type",
    expert.group.PROTOCOL, expert.severity.WARN)
local ef_wrong_seq = ProtoExpert.new("bootloader.wrong_seq",
    "Reply does not echo the last command's sequence", expert.group.SEQUENCE,
    expert.severity.WARN)
local ef_failure = ProtoExpert.new("bootloader.failure", "Device answered with a failure",
    expert.group.RESPONSE_CODE, expert.severity.NOTE)
proto.experts = { ef_malformed, ef_unknown_type, ef_wrong_seq, ef_failure }

proto.prefs.port = Pref.uint("UDP port", DEFAULT_PORT,
    "UDP port the device's bootloader listens on")

-- The last sequence sent to each device by each client, filled on the first pass only, so
-- that a reply is judged against the command that preceded it in the capture, not the last
-- one in the file. Replies remember their verdict by frame number for later passes.
local last_command_seq = {}
local expected_by_frame = {}

function proto.init()
    last_command_seq = {}
    expected_by_frame = {}
end

local function exchange_key(device_addr, device_port, client_addr, client_port)
    return tostring(device_addr) .. ":" .. device_port .. "|" .. tostring(client_addr) .. ":" ..
        client_port
end

local function status_text(status)
    return status_names[status] or string.format("failure 0x%02x", status)
end

-- Non-printable bytes of a name would garble the Info column: show them as escapes.
local function printable(bytes)
    return (bytes:gsub("[^\32-\126]", function(c)
        return string.format("\\x%02x", c:byte())
    end))
end

local function malformed(tree, pinfo, what, text)
    tree:add_proto_expert_info(ef_malformed, text)
    pinfo.cols.info:set("Malformed " .. what .. ": " .. text)
end

local function dissect_command(tvb, pinfo, tree)
    local length = tvb:len()
    tree:add(f.kind, "command"):set_generated()
    if length < 3 then
        malformed(tree, pinfo, "command", length .. " bytes, shorter than the 3-byte header")
        return
    end
    local ctype = tvb(0, 1):uint()
    local seq = tvb(1, 1):uint()
    local name_len = tvb(2, 1):uint()
    local type_item = tree:add(f.type, tvb(0, 1))
    if not type_names[ctype] then
        type_item:add_proto_expert_info(ef_unknown_type,
            string.format("Command type %d is neither 1 (notice) nor 3 (request)", ctype))
    end
    tree:add(f.seq, tvb(1, 1))
    tree:add(f.name_len, tvb(2, 1))
    if 3 + name_len > length then
        malformed(tree, pinfo, "command", string.format(
            "name of %d bytes runs past the end (%d bytes left)", name_len, length - 3))
        return
    end
    local name = ""
    if name_len > 0 then
        name = printable(tvb(3, name_len):raw())
        tree:add(f.name, tvb(3, name_len))
    end
    local payload_len = length - 3 - name_len
    tree:add(f.payload_len, payload_len):set_generated()
    if payload_len > 0 then
        tree:add(f.payload, tvb(3 + name_len, payload_len))
    end
    tree:append_text(string.format(", %s %s, seq %d", name, type_names[ctype] or "command", seq))

    local info = string.format("%s %s seq=%d", name,
        type_names[ctype] or string.format("type-%d command", ctype), seq)
    if payload_len > 0 then
        info = info .. " len=" .. payload_len
    end
    pinfo.cols.info:set(info)

    if not pinfo.visited then
        last_command_seq[exchange_key(pinfo.dst, pinfo.dst_port, pinfo.src, pinfo.src_port)] = seq
    end
end

local function dissect_reply(tvb, pinfo, tree)
    local length = tvb:len()
    tree:add(f.kind, "reply"):set_generated()
    if length < 4 then
        malformed(tree, pinfo, "reply", length .. " bytes, shorter than 4")
        return
    end
    local seq = tvb(1, 1):uint()
    local answered = tvb(2, 1):uint()
    local status = tvb(3, 1):uint()
    tree:add(f.marker, tvb(0, 1))
    tree:add(f.seq, tvb(1, 1))
    tree:add(f.answered, tvb(2, 1))
    local status_item = tree:add(f.status, tvb(3, 1))
    tree:append_text(string.format(", reply seq %d, %s", seq, status_text(status)))

    local info = string.format("reply seq=%d %s", seq, status_text(status))
    if answered_names[answered] and answered ~= 0 then
        info = info .. " (" .. answered_names[answered] .. ")"
    end

    if status ~= KEEP_ALIVE and status ~= SUCCESS then
        status_item:add_proto_expert_info(ef_failure, "Failure: " .. status_text(status))
    end

    -- A keep-alive may carry any sequence; any other reply must echo the last command's.
    if not pinfo.visited then
        local last = last_command_seq[exchange_key(pinfo.src, pinfo.src_port, pinfo.dst,
            pinfo.dst_port)]
        if last ~= nil and status ~= KEEP_ALIVE and last ~= seq then
            expected_by_frame[pinfo.number] = last
        end
    end
    local expected = expected_by_frame[pinfo.number]
    if expected ~= nil then
        local item = tree:add(f.expected_seq, expected)
        item:set_generated()
        item:add_proto_expert_info(ef_wrong_seq,
            string.format("Reply carries seq %d, the last command had seq %d", seq, expected))
        info = info .. string.format(" [wrong seq, expected %d]", expected)
    end
    pinfo.cols.info:set(info)
end

function proto.dissector(tvb, pinfo, tree)
    pinfo.cols.protocol:set("Bootloader")
    local subtree = tree:add(proto, tvb())
    local port = proto.prefs.port
    local is_command
    if pinfo.dst_port == port and pinfo.src_port ~= port then
        is_command = true
    elseif pinfo.src_port == port and pinfo.dst_port ~= port then
        is_command = false
    else
        -- Both ends or neither on the port (Decode As): a reply never starts with 1 or 3.
        local first = tvb:len() > 0 and tvb(0, 1):uint() or 0
        is_command = first == NOTICE or first == REQUEST
    end
    if is_command then
        dissect_command(tvb, pinfo, subtree)
    else
        dissect_reply(tvb, pinfo, subtree)
    end
    return tvb:len()
end

local registered_port = nil

local function register(port)
    local udp = DissectorTable.get("udp.port")
    if registered_port ~= nil then
        udp:remove(registered_port, proto)
        registered_port = nil
    end
    if port > 0 and port <= 65535 then
        udp:add(port, proto)
        registered_port = port
    end
end

function proto.prefs_changed()
    if proto.prefs.port ~= registered_port then
        register(proto.prefs.port)
    end
end

register(proto.prefs.port)
