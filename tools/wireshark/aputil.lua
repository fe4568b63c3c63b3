-- Dissector for the access point management protocol (EtherType 0xAAAA).
--
-- Layout: a 9-byte header (magic F5 58, version, length, sequence, type), the
-- body of the message type, and a CRC-16/XMODEM over sequence, type and body.
-- Header and body fields are big-endian; the 16-byte block header inside
-- block messages is little-endian. Replies are linked to their requests by
-- sequence number and the two stations.
--
-- Every byte is treated as hostile: each read is checked against what the
-- frame holds, and a length that lies is shown as malformed, never as a Lua
-- error. Nothing is hidden: a capture made with secrets kept shows them.

local aputil = Proto("aputil", "AP management protocol")

local MESSAGE_NAMES = {
    [0] = "MSG_BROWSE", [1] = "MSG_BROWSE_REPLY", [2] = "MSG_GET", [3] = "MSG_GET_REPLY",
    [4] = "MSG_SESSION", [5] = "MSG_LOGOUT", [6] = "MSG_SET", [7] = "MSG_SET_REPLY",
    [8] = "MSG_HANDLE_OPEN", [9] = "MSG_HANDLE_OPEN_REPLY", [10] = "MSG_HANDLE_CLOSE",
    [11] = "MSG_HANDLE_CLOSE_REPLY", [12] = "MSG_HANDLE_READ", [13] = "MSG_HANDLE_READ_REPLY",
    [14] = "MSG_HANDLE_WRITE", [15] = "MSG_HANDLE_WRITE_REPLY", [20] = "MSG_BLOCK", [21] = "MSG_BLOCK_REPLY",
}
local SUBTYPE_NAMES = {
    [1] = "SESSION_LOGIN", [2] = "SESSION_LOGIN_REPLY", [3] = "SESSION_CHECK", [4] = "SESSION_CHECK_REPLY",
}
local ATTR_NAMES = {
    [0] = "ATTR_VENDOR", [1] = "ATTR_PRODUCT", [2] = "ATTR_MODEL", [3] = "ATTR_AP_NAME",
    [5] = "ATTR_USER", [6] = "ATTR_PASSWORD", [0xFFFF] = "ATTR_END",
}
local BLOCK_OP_NAMES = {
    [0] = "BLOCK_OP_FINISH", [1] = "BLOCK_OP_READ", [2] = "BLOCK_OP_WRITE", [0x10] = "BLOCK_OP_INFO",
    [0x30] = "BLOCK_OP_COMMIT",
}
local STATUS_NAMES = {
    [0] = "STATUS_OK", [1] = "STATUS_FAILED", [2] = "STATUS_NO_REPLY", [3] = "STATUS_BUSY",
    [4] = "STATUS_BAD_SESSION", [6] = "STATUS_NO_SESSION", [8] = "STATUS_NO_ROOM",
}
local CHECKSUM_STATUS = { [0] = "Bad", [1] = "Good", [2] = "Unverified" }

local MAGIC = 0xF558
local HEADER_SIZE = 9
local BLOCK_HEADER_SIZE = 16

local f = {
    magic = ProtoField.uint16("aputil.magic", "Magic", base.HEX),
    version = ProtoField.uint8("aputil.version", "Version", base.HEX),
    length = ProtoField.uint16("aputil.length", "Length", base.DEC, nil, nil,
        "Bytes from the sequence up to the checksum: 4 + body length"),
    seq = ProtoField.uint16("aputil.seq", "Sequence", base.DEC),
    type = ProtoField.uint16("aputil.type", "Type", base.DEC, MESSAGE_NAMES),
    checksum = ProtoField.uint16("aputil.checksum", "Checksum", base.HEX),
    checksum_calculated = ProtoField.uint16("aputil.checksum.calculated", "Calculated checksum", base.HEX),
    checksum_status = ProtoField.uint8("aputil.checksum.status", "Checksum status", base.DEC, CHECKSUM_STATUS),
    padding = ProtoField.bytes("aputil.padding", "Padding"),
    body = ProtoField.bytes("aputil.body", "Body"),
    trailing = ProtoField.bytes("aputil.trailing", "Bytes behind the body's fields"),

    session = ProtoField.uint16("aputil.session", "Session", base.DEC),
    status = ProtoField.uint16("aputil.status", "Status", base.DEC, STATUS_NAMES),
    subtype = ProtoField.uint16("aputil.session.subtype", "Session subtype", base.DEC, SUBTYPE_NAMES),
    value1 = ProtoField.uint16("aputil.session.value1", "First value", base.DEC),
    value2 = ProtoField.uint16("aputil.session.value2", "Second value", base.DEC),

    attr = ProtoField.none("aputil.attr", "Attribute"),
    attr_id = ProtoField.uint16("aputil.attr.id", "Attribute id", base.DEC, ATTR_NAMES),
    attr_length = ProtoField.uint8("aputil.attr.length", "Value length", base.DEC),
    attr_value = ProtoField.bytes("aputil.attr.value", "Value"),
    attr_text = ProtoField.string("aputil.attr.text", "Value as text"),
    idlist = ProtoField.none("aputil.idlist", "Attribute ids"),

    data_count = ProtoField.uint16("aputil.data.count", "Data count", base.DEC),
    data = ProtoField.bytes("aputil.data", "Data"),

    handle = ProtoField.uint16("aputil.handle", "Handle", base.DEC),
    mode = ProtoField.uint8("aputil.handle.mode", "Mode", base.HEX),
    name = ProtoField.stringz("aputil.handle.name", "Name"),
    handle_value = ProtoField.uint32("aputil.handle.value", "Value", base.HEX),
    max_length = ProtoField.uint16("aputil.handle.max_length", "Largest length accepted", base.DEC),
    data_length = ProtoField.uint16("aputil.handle.data_length", "Data length", base.DEC),
    position = ProtoField.uint32("aputil.handle.position", "Position", base.DEC),

    block = ProtoField.none("aputil.block", "Block header"),
    block_op = ProtoField.uint8("aputil.block.op", "Operation", base.HEX, BLOCK_OP_NAMES),
    block_reserved = ProtoField.bytes("aputil.block.reserved", "Reserved"),
    block_offset = ProtoField.uint32("aputil.block.offset", "Offset", base.HEX),
    block_length = ProtoField.uint32("aputil.block.length", "Length", base.DEC),
    block_data = ProtoField.bytes("aputil.block.data", "Block data"),

    response_in = ProtoField.framenum("aputil.response_in", "Response in", base.NONE, frametype.RESPONSE),
    response_to = ProtoField.framenum("aputil.response_to", "Response to", base.NONE, frametype.REQUEST),
    time = ProtoField.relative_time("aputil.time", "Time since request"),
}
aputil.fields = {
    f.magic, f.version, f.length, f.seq, f.type, f.checksum, f.checksum_calculated, f.checksum_status,
    f.padding, f.body, f.trailing, f.session, f.status, f.subtype, f.value1, f.value2,
    f.attr, f.attr_id, f.attr_length, f.attr_value, f.attr_text, f.idlist, f.data_count, f.data,
    f.handle, f.mode, f.name, f.handle_value, f.max_length, f.data_length, f.position,
    f.block, f.block_op, f.block_reserved, f.block_offset, f.block_length, f.block_data,
    f.response_in, f.response_to, f.time,
}

local e = {
    bad_checksum = ProtoExpert.new("aputil.checksum.bad", "Bad checksum", expert.group.CHECKSUM,
        expert.severity.ERROR),
    malformed = ProtoExpert.new("aputil.malformed", "Malformed frame", expert.group.MALFORMED,
        expert.severity.ERROR),
    bad_magic = ProtoExpert.new("aputil.magic.bad", "Wrong magic", expert.group.MALFORMED, expert.severity.WARN),
    unknown_type = ProtoExpert.new("aputil.type.unknown", "Undefined message type", expert.group.UNDECODED,
        expert.severity.WARN),
    unterminated = ProtoExpert.new("aputil.list.unterminated", "List ends without its terminator",
        expert.group.PROTOCOL, expert.severity.NOTE),
    trailing = ProtoExpert.new("aputil.trailing.bytes", "Bytes behind the body's fields", expert.group.PROTOCOL,
        expert.severity.NOTE),
    internal = ProtoExpert.new("aputil.dissector.error", "Dissector error", expert.group.MALFORMED,
        expert.severity.ERROR),
}
aputil.experts = {
    e.bad_checksum, e.malformed, e.bad_magic, e.unknown_type, e.unterminated, e.trailing, e.internal,
}

-- CRC-16/XMODEM: poly 0x1021, MSB first, initial 0, no final XOR.
local CRC_TABLE = {}
for i = 0, 255 do
    local crc = bit32.lshift(i, 8)
    for _ = 1, 8 do
        if bit32.band(crc, 0x8000) ~= 0 then
            crc = bit32.bxor(bit32.lshift(crc, 1), 0x1021)
        else
            crc = bit32.lshift(crc, 1)
        end
    end
    CRC_TABLE[i] = bit32.band(crc, 0xFFFF)
end

local function crc16(bytes)
    local crc = 0
    for i = 0, bytes:len() - 1 do
        local index = bit32.band(bit32.bxor(bit32.rshift(crc, 8), bytes:get_index(i)), 0xFF)
        crc = bit32.band(bit32.bxor(CRC_TABLE[index], bit32.lshift(crc, 8)), 0xFFFF)
    end
    return crc
end

-- A cursor over [pos, limit) of the frame's bytes. Every read checks that the
-- bytes are there; a short read flags the frame malformed and stops the walk.
local Cursor = {}
Cursor.__index = Cursor

local function cursor(tvb, pos, limit, tree)
    return setmetatable({ tvb = tvb, pos = pos, limit = limit, tree = tree, failed = false }, Cursor)
end

function Cursor:left() return self.limit - self.pos end

function Cursor:fail(what)
    if not self.failed then
        self.failed = true
        local at = math.min(self.pos, self.tvb:len())
        self.tree:add_tvb_expert_info(e.malformed, self.tvb(at, 0), what)
    end
end

-- Adds a field of width n; returns its value (or nil when it is not there).
function Cursor:field(field, n, what, little, tree)
    if self.failed then return nil end
    if self:left() < n then
        self:fail((what or "field") .. " missing: " .. n .. " bytes needed, " .. math.max(self:left(), 0) ..
            " left")
        return nil
    end
    local range = self.tvb(self.pos, n)
    local target = tree or self.tree
    local value
    if little then
        target:add_le(field, range)
        value = range:le_uint()
    else
        target:add(field, range)
        value = n <= 4 and range:uint() or nil
    end
    self.pos = self.pos + n
    return value
end

function Cursor:u8(field, what, tree) return self:field(field, 1, what, false, tree) end
function Cursor:u16(field, what, tree) return self:field(field, 2, what, false, tree) end
function Cursor:u32(field, what, tree) return self:field(field, 4, what, false, tree) end

-- Bytes of a given count; a count larger than what is left is a lie.
function Cursor:bytes(field, n, what, tree)
    if self.failed then return nil end
    if n > self:left() then
        self:fail((what or "data") .. " claims " .. n .. " bytes, only " .. math.max(self:left(), 0) .. " left")
        return nil
    end
    local range = self.tvb(self.pos, n)
    if n > 0 then (tree or self.tree):add(field, range) end
    self.pos = self.pos + n
    return range
end

local function printable(range)
    local ok, text = pcall(function() return range:raw() end)
    if not ok or text == nil then return "" end
    return (text:gsub("[^\32-\126]", "."))
end

-- One attribute: id, length, value. Returns its id, or nil at the end or on a lie.
local function attribute(c)
    if c.failed or c:left() < 2 then return nil end
    local id = c.tvb(c.pos, 2):uint()
    if id == 0xFFFF then
        c:u16(f.attr_id, "terminator")
        return id
    end
    local start = c.pos
    local item = c.tree:add(f.attr, c.tvb(c.pos, math.min(3, c:left())))
    c:u16(f.attr_id, "attribute id", item)
    local n = c:u8(f.attr_length, "attribute length", item)
    if n == nil then return nil end
    local value = c:bytes(f.attr_value, n, "attribute value", item)
    if value == nil then return nil end
    item:set_len(c.pos - start)
    local name = ATTR_NAMES[id] or ("id " .. id)
    if n > 0 then
        item:add(f.attr_text, value, value:raw())
        item:set_text(name .. ": " .. printable(value))
    else
        item:set_text(name .. ": (empty)")
    end
    return id
end

-- Attributes until the terminator (when terminated) or the body's end.
local function attributes(c, terminated)
    while not c.failed and c:left() > 0 do
        local id = attribute(c)
        if id == nil or id == 0xFFFF then
            return
        end
    end
    if terminated and not c.failed then
        c.tree:add_tvb_expert_info(e.unterminated, c.tvb(math.min(c.pos, c.tvb:len()), 0),
            "Attribute list ends without ATTR_END")
    end
end

local function idlist(c)
    local start = c.pos
    local item = c.tree:add(f.idlist, c.tvb(c.pos, 0))
    while not c.failed do
        if c:left() < 2 then
            c:fail("id list ends without its terminator 0xFFFF")
            break
        end
        local id = c:u16(f.attr_id, "attribute id", item)
        if id == 0xFFFF then break end
    end
    item:set_len(c.pos - start)
end

local function blockheader(c)
    if c:left() < BLOCK_HEADER_SIZE then
        c:fail("block header missing: " .. BLOCK_HEADER_SIZE .. " bytes needed, " .. c:left() .. " left")
        return nil
    end
    local item = c.tree:add(f.block, c.tvb(c.pos, BLOCK_HEADER_SIZE))
    local op = c:u8(f.block_op, "op code", item)
    c:bytes(f.block_reserved, 3, "reserved", item)
    local offset = c:field(f.block_offset, 4, "offset", true, item)
    local length = c:field(f.block_length, 4, "length", true, item)
    c:bytes(f.block_reserved, 4, "reserved", item)
    item:set_text(string.format("Block header: %s, offset 0x%08x, length %d",
        BLOCK_OP_NAMES[op] or string.format("op 0x%02x", op), offset, length))
    return op, offset, length
end

-- Counted data holding a block header and its data.
local function counted_block(c, info)
    local count = c:u16(f.data_count, "data count")
    if count == nil then return end
    if count > c:left() then
        c:fail("data count " .. count .. " is more than the " .. c:left() .. " bytes left")
        return
    end
    local data = cursor(c.tvb, c.pos, c.pos + count, c.tree)
    local op, offset, length = blockheader(data)
    if op ~= nil then
        info[#info + 1] = string.format("%s offset=0x%x len=%d", BLOCK_OP_NAMES[op] or ("op " .. op), offset,
            length)
        if data:left() > 0 then data:bytes(f.block_data, data:left(), "block data") end
    end
    c.failed = c.failed or data.failed
    c.pos = c.pos + count
end

local BODY = {}
BODY[0] = function(c) attributes(c, false) end
BODY[1] = BODY[0]
BODY[2] = function(c) c:u16(f.session, "session"); idlist(c) end
BODY[3] = function(c) c:u16(f.session, "session"); c:u16(f.status, "status"); attributes(c, true) end
BODY[4] = function(c, info)
    local subtype = c:u16(f.subtype, "subtype")
    if subtype == nil then return end
    info[#info + 1] = SUBTYPE_NAMES[subtype] or ("subtype " .. subtype)
    local at = c.pos
    local v1 = c:u16(f.value1, "first value")
    local v2 = c:u16(f.value2, "second value")
    if v1 == nil or v2 == nil then return end
    -- What the two values mean for each subtype.
    if subtype == 2 or subtype == 4 then
        c.tree:add(f.status, c.tvb(at, 2)):set_generated()
    end
    if subtype == 2 or subtype == 3 or subtype == 4 then
        c.tree:add(f.session, c.tvb(at + 2, 2)):set_generated()
    end
    if subtype == 2 then info[#info + 1] = string.format("status=%d session=%d", v1, v2) end
    if subtype == 1 then attributes(c, false) end
end
BODY[5] = function(c) c:u16(f.session, "session") end
BODY[6] = function(c) c:u16(f.session, "session"); attributes(c, true) end
BODY[7] = function(c) c:u16(f.session, "session"); c:u16(f.status, "status") end
BODY[8] = function(c)
    c:u16(f.session, "session")
    c:u8(f.mode, "mode")
    if c.failed then return end
    local n = 0
    while n < c:left() and c.tvb(c.pos + n, 1):uint() ~= 0 do n = n + 1 end
    if n >= c:left() then
        c:fail("name ends without its zero byte")
        return
    end
    c:bytes(f.name, n + 1, "name")
end
BODY[9] = function(c)
    c:u16(f.session, "session"); c:u16(f.status, "status"); c:u16(f.handle, "handle")
    c:u32(f.handle_value, "value")
end
BODY[10] = function(c) c:u16(f.session, "session"); c:u16(f.handle, "handle") end
BODY[11] = function(c) c:u16(f.session, "session"); c:u16(f.handle, "handle"); c:u16(f.status, "status") end
BODY[12] = function(c)
    c:u16(f.session, "session"); c:u16(f.handle, "handle"); c:u16(f.max_length, "largest length")
    c:u32(f.position, "position")
end
BODY[13] = function(c)
    c:u16(f.session, "session"); c:u16(f.handle, "handle")
    local status = c:u16(f.status, "status")
    local n = c:u16(f.data_length, "data length")
    c:u32(f.position, "position")
    if status == 0 and n ~= nil then c:bytes(f.data, n, "data") end
end
BODY[14] = function(c)
    c:u16(f.session, "session"); c:u16(f.handle, "handle")
    local n = c:u16(f.data_length, "data length")
    c:u32(f.position, "position")
    if n ~= nil then c:bytes(f.data, n, "data") end
end
BODY[15] = function(c)
    c:u16(f.session, "session"); c:u16(f.handle, "handle"); c:u16(f.status, "status")
    c:u16(f.data_length, "data length"); c:u32(f.position, "position")
end
BODY[20] = function(c, info) c:u16(f.session, "session"); counted_block(c, info) end
BODY[21] = function(c, info)
    c:u16(f.session, "session"); c:u16(f.status, "status"); counted_block(c, info)
end

-- Which reply answers which request: the reply's type (and subtype).
local function reply_kind(msgtype, subtype)
    if msgtype == 4 then
        if subtype == 1 then return "4.2", true end
        if subtype == 3 then return "4.4", true end
        if subtype == 2 then return "4.2", false end
        if subtype == 4 then return "4.4", false end
        return nil
    end
    if msgtype == 5 or MESSAGE_NAMES[msgtype] == nil then return nil end
    if msgtype % 2 == 0 then return tostring(msgtype + 1), true end
    return tostring(msgtype), false
end

-- Filled on the first pass, in frame order; read on every pass.
local requests = {}   -- key -> { number, time } of the latest request
local links = {}      -- frame number -> { request = n, time = seconds } or { response = n }

function aputil.init()
    requests = {}
    links = {}
end

-- A station as text of 12 hex digits. The link layer's addresses are read
-- from pinfo, the same way on every pass (field extractors see nothing on a
-- pass that builds no tree).
local function station(address)
    local text = tostring(address)
    if text == "Broadcast" then return "FFFFFFFFFFFF" end
    local hex = text:gsub("[^%x]", ""):upper()
    if #hex == 12 then return hex end
    return text
end

local BROADCAST = "FFFFFFFFFFFF"

local function link(pinfo, tree, tvb, seq, kind, isrequest)
    local src = station(pinfo.dl_src)
    local dst = station(pinfo.dl_dst)
    local number = pinfo.number
    if not pinfo.visited then
        if isrequest then
            requests[src .. dst .. seq .. "/" .. kind] = { number = number, time = pinfo.abs_ts }
        else
            -- The requester is the reply's destination; the request went to the
            -- replying station or, for a browse, to everyone.
            local r = requests[dst .. src .. seq .. "/" .. kind] or requests[dst .. BROADCAST .. seq .. "/" .. kind]
            if r ~= nil then
                links[number] = { request = r.number, time = pinfo.abs_ts - r.time }
                local back = links[r.number]
                if back == nil then links[r.number] = { response = number } end
            end
        end
    end
    local l = links[number]
    if l == nil then return end
    if l.request ~= nil then
        tree:add(f.response_to, tvb(0, 0), l.request):set_generated()
        local secs = math.floor(l.time)
        local nsecs = math.floor((l.time - secs) * 1e9 + 0.5)
        if nsecs >= 1000000000 then secs, nsecs = secs + 1, nsecs - 1000000000 end
        tree:add(f.time, tvb(0, 0), NSTime.new(secs, nsecs)):set_generated()
    elseif l.response ~= nil then
        tree:add(f.response_in, tvb(0, 0), l.response):set_generated()
    end
end

local function dissect(tvb, pinfo, root)
    local size = tvb:len()
    pinfo.cols.protocol = "APUTIL"
    local tree = root:add(aputil, tvb())
    if size < 12 then
        tree:add_tvb_expert_info(e.malformed, tvb(), "Payload of " .. size .. " bytes, at least 12 needed")
        pinfo.cols.info = "Malformed (too short)"
        if size >= 2 then tree:add(f.magic, tvb(0, 2)) end
        return
    end

    local magic = tvb(0, 2):uint()
    local magic_item = tree:add(f.magic, tvb(0, 2))
    if magic ~= MAGIC then
        magic_item:add_tvb_expert_info(e.bad_magic, tvb(0, 2), string.format("Magic 0x%04x, not 0xf558", magic))
    end
    tree:add(f.version, tvb(2, 1))
    local length = tvb(3, 2):uint()
    local length_item = tree:add(f.length, tvb(3, 2))
    local seq = tvb(5, 2):uint()
    tree:add(f.seq, tvb(5, 2))
    local msgtype = tvb(7, 2):uint()
    tree:add(f.type, tvb(7, 2))
    local name = MESSAGE_NAMES[msgtype] or ("type " .. msgtype)
    local info = { name, "seq=" .. seq }

    -- The body ends where the length says if that is inside the frame; if the
    -- length lies, the body is what the frame holds and there is no checksum.
    local body_end
    local checksum_present = false
    if length < 4 then
        length_item:add_tvb_expert_info(e.malformed, tvb(3, 2), "Length " .. length .. " is below 4")
        body_end = HEADER_SIZE
    elseif length + 7 > size then
        length_item:add_tvb_expert_info(e.malformed, tvb(3, 2), "Length " .. length .. " claims " ..
            (length + 7) .. " bytes, the frame holds " .. size)
        body_end = size
    else
        body_end = 5 + length
        checksum_present = true
    end

    if checksum_present then
        local stored = tvb(body_end, 2):uint()
        local calculated = crc16(tvb(5, length):bytes())
        local item = tree:add(f.checksum, tvb(body_end, 2))
        tree:add(f.checksum_calculated, tvb(body_end, 2), calculated):set_generated()
        if stored == calculated then
            item:append_text(" [correct]")
            tree:add(f.checksum_status, tvb(body_end, 2), 1):set_generated()
        else
            item:append_text(string.format(" [incorrect, should be 0x%04x]", calculated))
            tree:add(f.checksum_status, tvb(body_end, 2), 0):set_generated()
            item:add_tvb_expert_info(e.bad_checksum, tvb(body_end, 2),
                string.format("Bad checksum 0x%04x, calculated 0x%04x", stored, calculated))
            info[#info + 1] = "[BAD CHECKSUM]"
        end
        if size > body_end + 2 then tree:add(f.padding, tvb(body_end + 2)) end
    else
        tree:add(f.checksum_status, tvb(0, 0), 2):set_generated()
    end

    local c = cursor(tvb, HEADER_SIZE, body_end, tree)
    local subtype = nil
    local body = BODY[msgtype]
    if body == nil then
        tree:add_tvb_expert_info(e.unknown_type, tvb(7, 2), "Message type " .. msgtype .. " is not defined")
        if c:left() > 0 then tree:add(f.body, tvb(c.pos, c:left())) end
    else
        if msgtype == 4 and c:left() >= 2 then subtype = tvb(HEADER_SIZE, 2):uint() end
        body(c, info)
        if not c.failed and c:left() > 0 then
            tree:add(f.trailing, tvb(c.pos, c:left()))
            tree:add_tvb_expert_info(e.trailing, tvb(c.pos, c:left()), c:left() .. " bytes behind the body's fields")
        end
    end
    if c.failed or not checksum_present or length < 4 then info[#info + 1] = "[MALFORMED]" end

    local kind, isrequest = reply_kind(msgtype, subtype)
    if kind ~= nil then link(pinfo, tree, tvb, seq, kind, isrequest) end

    tree:append_text(", " .. name .. ", Seq " .. seq)
    pinfo.cols.info = table.concat(info, " ")
end

function aputil.dissector(tvb, pinfo, root)
    local ok, err = pcall(dissect, tvb, pinfo, root)
    if not ok then
        -- A fault of this script must not end the dissection of the capture.
        root:add_tvb_expert_info(e.internal, tvb(0, 0), "Dissector error: " .. tostring(err))
    end
    return tvb:len()
end

DissectorTable.get("ethertype"):add(0xAAAA, aputil)
