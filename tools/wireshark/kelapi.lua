-- kelapi.lua - the protocol analyser's dissector for the kelapi connector
-- protocol (docs/protocol.md): frames on TCP port 2893, and on any other port
-- through "Decode As" (tshark: -d tcp.port==PORT,kelapi).
--
-- A frame is a 4-byte code, a flag byte and the words the flag byte announces,
-- followed by as much data as dwDataLen says (none after KEL_CMD_IGNORE).
-- Frames are reassembled across segments and several in one segment are each
-- shown. The identify and logon blocks are decoded; the logon block's password
-- fields are shown as their scrambled bytes and never decoded. A frame that
-- announces more than 16 MiB of data is taken for bytes that are no frame:
-- from there on that direction of the connection is marked, not decoded.

local kelapi = Proto("kelapi", "kelapi connector protocol")

local DEFAULT_PORT = 2893
local HEADER_LEN = 5
local MAX_DATA_LEN = 16 * 1024 * 1024
local IDENT_BLOCK_LEN = 88
local LOGON_BLOCK_LEN = 41
local CMD_IDENTIFY, RSP_IDENTIFY = 0x80000001, 0x40000001
local CMD_LOGON, RSP_LOGON = 0x80000002, 0x40000002
local CMD_IGNORE = 0x80000008

-- The library's own codes; every other code is the application's.
local code_names = {
    [CMD_IDENTIFY] = "KEL_CMD_IDENTIFY",
    [RSP_IDENTIFY] = "KEL_RSP_IDENTIFY",
    [CMD_LOGON] = "KEL_CMD_LOGON",
    [RSP_LOGON] = "KEL_RSP_LOGON",
    [0x80000003] = "KEL_CMD_DISCONNECT",
    [0x40000003] = "KEL_RSP_DISCONNECT",
    [CMD_IGNORE] = "KEL_CMD_IGNORE",
}

-- The result that the library makes of each host return code it knows.
local return_codes = {
    [0x00010001] = "KEL_ERR_HOST_104", [0x00010002] = "KEL_ERR_HOST_106",
    [0x00010003] = "KEL_ERR_HOST_107", [0x00010004] = "KEL_ERR_HOST_104",
    [0x00010005] = "KEL_ERR_HOST_108", [0x00020001] = "KEL_ERR_HOST_200",
    [0x00030001] = "KEL_ERR_HOST_202", [0x00030002] = "KEL_ERR_HOST_203",
    [0x00030003] = "KEL_ERR_HOST_204", [0x00030004] = "KEL_ERR_HOST_201",
    [0x00040001] = "KEL_ERR_HOST_205", [0x00050001] = "KEL_ERR_HOST_202",
    [0x00050002] = "KEL_ERR_HOST_201", [0x00060001] = "KEL_ERR_HOST_200",
}

-- The word bits of the flag byte, in the order their words follow it.
local words = {
    { bit = 0x01, name = "parm1" },
    { bit = 0x02, name = "retcode" },
    { bit = 0x04, name = "parm3" },
    { bit = 0x08, name = "datalen" },
}

local f = kelapi.fields
f.from = ProtoField.string("kelapi.from", "From")
f.code = ProtoField.uint32("kelapi.code", "Code", base.HEX)
f.name = ProtoField.string("kelapi.name", "Code name")
f.flags = ProtoField.uint8("kelapi.flags", "Flags", base.HEX)
f.flag_parm1 = ProtoField.bool("kelapi.flags.parm1", "dwParm1 follows (KEL_FLAG_PARM1)", 8, nil, 0x01)
f.flag_retcode = ProtoField.bool("kelapi.flags.retcode", "dwRetCode follows (KEL_FLAG_RETCODE)", 8, nil, 0x02)
f.flag_parm3 = ProtoField.bool("kelapi.flags.parm3", "dwParm3 follows (KEL_FLAG_PARM3)", 8, nil, 0x04)
f.flag_datalen = ProtoField.bool("kelapi.flags.datalen", "dwDataLen follows (KEL_FLAG_DATALEN)", 8, nil, 0x08)
f.flag_noskip = ProtoField.bool("kelapi.flags.noskip", "Must not be skipped (KEL_FLAG_NOSKIP)", 8, nil, 0x10)
f.flag_app = ProtoField.uint8("kelapi.flags.app", "The application's bits", base.HEX, nil, 0xE0)
f.parm1 = ProtoField.uint32("kelapi.parm1", "dwParm1", base.HEX_DEC)
f.retcode = ProtoField.uint32("kelapi.retcode", "dwRetCode", base.HEX, return_codes)
f.parm3 = ProtoField.uint32("kelapi.parm3", "dwParm3", base.HEX_DEC)
f.datalen = ProtoField.uint32("kelapi.datalen", "dwDataLen", base.DEC)
f.data = ProtoField.bytes("kelapi.data", "Data")
f.ident_id = ProtoField.uint32("kelapi.identify.id", "Identifier", base.HEX)
f.ident_version = ProtoField.uint32("kelapi.identify.version", "Version", base.HEX)
f.ident_description = ProtoField.string("kelapi.identify.description", "Description")
f.logon_user = ProtoField.string("kelapi.logon.user", "User id")
f.logon_password = ProtoField.bytes("kelapi.logon.password", "Password (scrambled, 16 bytes)")
f.logon_password2 = ProtoField.bytes("kelapi.logon.password2", "Second password (scrambled, 16 bytes)")
f.logon_data = ProtoField.uint8("kelapi.logon.data", "Logon data", base.HEX)
f.not_a_frame = ProtoField.bytes("kelapi.not_a_frame", "Not a frame")

local expert_not_a_frame = ProtoExpert.new("kelapi.not_a_frame.expert", "Not a frame",
    expert.group.MALFORMED, expert.severity.ERROR)
local expert_ignore_data = ProtoExpert.new("kelapi.ignore_data", "An ignore frame announces data, but none follows it",
    expert.group.PROTOCOL, expert.severity.WARN)
kelapi.experts = { expert_not_a_frame, expert_ignore_data }

local tcp_stream = Field.new("tcp.stream")

-- Per direction of a connection, the packet in which it stopped making sense.
local lost_in = {}
function kelapi.init()
    lost_in = {}
end

local function has_bit(flags, bit)
    return math.floor(flags / bit) % 2 == 1
end

local function header_length(flags)
    local length = HEADER_LEN
    for _, word in ipairs(words) do
        if has_bit(flags, word.bit) then length = length + 4 end
    end
    return length
end

local function data_length(code, flags, buf, header_len)
    if not has_bit(flags, 0x08) then return 0, 0 end
    local announced = buf(header_len - 4, 4):uint()
    return announced, code == CMD_IGNORE and 0 or announced
end

-- The NUL-terminated text at the start of a fixed field.
local function field_text(range)
    local text = range:raw()
    local nul = text:find("\0", 1, true)
    return nul and text:sub(1, nul - 1) or text
end

local function add_identify_block(tree, range)
    local block = tree:add(range, "Identify block")
    block:add(f.ident_id, range(0, 4))
    block:add(f.ident_version, range(4, 4))
    block:add(f.ident_description, range(8, 80), field_text(range(8, 80)))
end

local function add_logon_block(tree, range)
    local block = tree:add(range, "Logon block")
    block:add(f.logon_user, range(0, 9), field_text(range(0, 9)))
    block:add(f.logon_password, range(9, 16)):append_text(" (scrambled; not decoded)")
    block:add(f.logon_password2, range(25, 16)):append_text(" (scrambled; not decoded)")
end

local function add_data(tree, code, range)
    local len = range:len()
    if (code == CMD_IDENTIFY or code == RSP_IDENTIFY) and len == IDENT_BLOCK_LEN then
        add_identify_block(tree, range)
    elseif code == CMD_LOGON and len == LOGON_BLOCK_LEN then
        add_logon_block(tree, range)
    elseif code == RSP_LOGON and len == 1 then
        tree:add(f.logon_data, range)
    else
        tree:add(f.data, range)
    end
end

-- One whole frame in buf; returns its line for the Info column.
local function add_frame(buf, tree, from)
    local code = buf(0, 4):uint()
    local flags = buf(4, 1):uint()
    local name = code_names[code]
    local header_len = header_length(flags)
    local announced, follows = data_length(code, flags, buf, header_len)
    local label = name or string.format("0x%08X", code)
    local frame = tree:add(kelapi, buf):set_text(string.format("kelapi frame from the %s: %s", from, label))
    frame:add(f.from, from):set_generated()
    frame:add(f.code, buf(0, 4)):append_text(name and " (" .. name .. ")" or " (the application's)")
    frame:add(f.name, name or "application"):set_generated()
    local flag_tree = frame:add(f.flags, buf(4, 1))
    for _, field in ipairs({ f.flag_parm1, f.flag_retcode, f.flag_parm3, f.flag_datalen, f.flag_noskip, f.flag_app }) do
        flag_tree:add(field, buf(4, 1))
    end
    local line = { from .. ": " .. label }
    local offset = HEADER_LEN
    for _, word in ipairs(words) do
        if has_bit(flags, word.bit) and word.name ~= "datalen" then
            frame:add(f[word.name], buf(offset, 4))
            line[#line + 1] = string.format("%s 0x%08X", word.name, buf(offset, 4):uint())
            offset = offset + 4
        end
    end
    if has_bit(flags, 0x08) then frame:add(f.datalen, buf(offset, 4)) end
    line[#line + 1] = "data " .. announced
    if code == CMD_IGNORE and announced > 0 then
        frame:add_proto_expert_info(expert_ignore_data)
    end
    if follows > 0 then add_data(frame, code, buf(header_len, follows)) end
    return table.concat(line, " ")
end

local function add_not_a_frame(tree, range, why)
    local item = tree:add(kelapi, range):set_text("kelapi: not a frame")
    item:add(f.not_a_frame, range)
    item:add_proto_expert_info(expert_not_a_frame, "Not a frame: " .. why)
end

function kelapi.dissector(tvb, pinfo, tree)
    pinfo.cols.protocol = "KELAPI"
    local from = pinfo.dst_port == pinfo.match_uint and "client" or "server"
    local stream = tcp_stream()
    local key = string.format("%s/%s:%d", stream and tostring(stream.value) or "?", tostring(pinfo.src), pinfo.src_port)
    local len = tvb:len()
    local lines = {}
    local offset = 0
    if lost_in[key] and pinfo.number > lost_in[key] then
        add_not_a_frame(tree, tvb(), string.format("this direction stopped making sense in packet %d", lost_in[key]))
        pinfo.cols.info = from .. ": not a frame"
        return len
    end
    while offset < len do
        local rest = len - offset
        if rest < HEADER_LEN or rest < header_length(tvb(offset + 4, 1):uint()) then
            pinfo.desegment_offset = offset
            pinfo.desegment_len = DESEGMENT_ONE_MORE_SEGMENT
            break
        end
        local flags = tvb(offset + 4, 1):uint()
        local header_len = header_length(flags)
        local code = tvb(offset, 4):uint()
        local announced, follows = data_length(code, flags, tvb(offset, header_len), header_len)
        if follows > MAX_DATA_LEN then
            lost_in[key] = math.min(lost_in[key] or pinfo.number, pinfo.number)
            add_not_a_frame(tree, tvb(offset), string.format(
                "a frame 0x%08X announces %d bytes of data, more than %d", code, announced, MAX_DATA_LEN))
            lines[#lines + 1] = from .. ": not a frame"
            offset = len
            break
        end
        if rest < header_len + follows then
            pinfo.desegment_offset = offset
            pinfo.desegment_len = header_len + follows - rest
            break
        end
        lines[#lines + 1] = add_frame(tvb(offset, header_len + follows):tvb(), tree, from)
        offset = offset + header_len + follows
    end
    if #lines > 0 then pinfo.cols.info = table.concat(lines, "; ") end
    return len
end

DissectorTable.get("tcp.port"):add(DEFAULT_PORT, kelapi)
