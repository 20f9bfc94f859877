-- Wireshark dissector for the link to the analyser's electronic modules.
--
-- A frame, in both directions (fields of more than one byte big-endian):
--   address | 2B 0C next-address, once per gateway hop | function | fields | CRC-16, high byte first
-- A gateway strips its own triplet, forwards the rest and answers with its address,
-- the triplet and the inner module's reply; when it cannot deliver it answers
-- address, AB, exception code. Bit 7 of the function code marks an exception reply.
-- CRC-16: polynomial 0x1021, initial 0xFFFF, not reflected, no final XOR.
--
-- Two ways in:
--   * captures written by `qvlink --pcap` and `qvsim --pcap`: link type 147 (USER0),
--     each packet one direction byte (0 request, 1 reply) and one whole frame;
--   * TCP, on the port in the preference qvlink.tcp_port (none by default) or chosen
--     with Decode As. Frames are cut from the byte stream: requests by their layout,
--     replies by the reply-length rules of the library, from the request they answer.
--
-- Load it with `wireshark -X lua_script:qvlink.lua` (or tshark), or copy it into the
-- personal Lua plugins folder (Help > About > Folders).

local qvlink = Proto("qvlink", "Analyser module link")

local bits = bit32 or bit
local band, bxor, lshift, rshift = bits.band, bits.bxor, bits.lshift, bits.rshift

-- Protocol constants ----------------------------------------------------------------

local ROUTE_CODE = 0x2B          -- function of a route triplet, pass-through and objects
local ROUTE_MEI = 0x0C
local PASS_THROUGH_MEI = 0x0D
local OBJECT_MEI = 0x0E
local EXCEPTION_BIT = 0x80
local CRC_SIZE = 2
local MIN_FRAME = 4              -- address, function, CRC
-- Frames carry at most 100 data bytes plus header; anything that has not formed a
-- frame after this many bytes is not one.
local MAX_FRAME = 256

local REQUEST, REPLY = 0, 1

local function_names = {
    [1] = "Read coils",
    [2] = "Read discrete inputs",
    [3] = "Read holding registers",
    [4] = "Read input registers",
    [5] = "Write single coil",
    [6] = "Write single register",
    [7] = "Read exception status",
    [8] = "Diagnostics",
    [11] = "Read event counter",
    [12] = "Read event log",
    [15] = "Write coils",
    [16] = "Write registers",
    [17] = "Report server id",
    [20] = "Read file records",
    [21] = "Write file records",
    [22] = "Mask write register",
    [23] = "Read/write registers",
    [24] = "Read FIFO queue",
    [43] = "Encapsulated interface",
    [65] = "Read boot-loader info",
    [66] = "Erase flash page",
    [67] = "Read page CRC",
    [68] = "Write flash page",
}

local exception_names = {
    [1] = "Illegal function",
    [2] = "Illegal data address",
    [3] = "Illegal data value",
    [4] = "Device failure",
    [5] = "Acknowledge",
    [6] = "Device busy",
    [8] = "Memory parity error",
    [10] = "Gateway path unavailable",
    [11] = "Gateway target did not respond",
}

local diagnostic_names = {
    [0] = "Return query data",
    [1] = "Restart communications",
    [2] = "Return diagnostic register",
    [3] = "Change input delimiter",
    [4] = "Force listen-only mode",
    [10] = "Clear counters",
    [11] = "Bus message count",
    [12] = "Bus CRC error count",
    [13] = "Bus exception count",
    [14] = "Server message count",
    [15] = "Server no-response count",
    [16] = "Server NAK count",
    [17] = "Server busy count",
    [18] = "Bus character overrun count",
    [20] = "Clear overrun counter",
}

-- Data of the restart sub-function: 0xFFFF, outside the usual two, enters the boot loader.
local restart_names = {
    [0x0000] = "Restart, keep event log",
    [0xFF00] = "Restart, clear event log",
    [0xFFFF] = "Enter boot loader",
}

local coil_names = { [0x0000] = "Off", [0xFF00] = "On" }
local mei_names = { [ROUTE_MEI] = "Route", [PASS_THROUGH_MEI] = "Pass-through", [OBJECT_MEI] = "Read objects" }
local read_code_names = { [1] = "Basic", [2] = "Regular", [3] = "Extended", [4] = "One object" }
local more_follows_names = { [0x00] = "No", [0xFF] = "Yes" }
local object_names = {
    [0] = "Vendor", [1] = "Product code", [2] = "Version", [3] = "Vendor URL",
    [4] = "Product name", [5] = "Model", [6] = "Application",
}
local status_word_names = { [0x0000] = "Idle", [0xFFFF] = "Busy" }
local direction_names = { [REQUEST] = "Request", [REPLY] = "Reply" }
local crc_status_names = { [0] = "Bad", [1] = "Good" }

-- Fields ----------------------------------------------------------------------------

local f = {
    direction = ProtoField.uint8("qvlink.direction", "Direction", base.DEC, direction_names),
    address = ProtoField.uint8("qvlink.address", "Address", base.DEC),
    route = ProtoField.uint8("qvlink.route", "Route to module", base.DEC),
    path = ProtoField.string("qvlink.path", "Path"),
    func = ProtoField.uint8("qvlink.function", "Function", base.DEC, function_names, 0x7F),
    exception_bit = ProtoField.bool("qvlink.function.exception", "Exception reply", 8, nil, EXCEPTION_BIT),
    exception = ProtoField.uint8("qvlink.exception", "Exception", base.DEC, exception_names),
    crc = ProtoField.uint16("qvlink.crc", "CRC", base.HEX),
    crc_status = ProtoField.uint8("qvlink.crc.status", "CRC status", base.DEC, crc_status_names),
    crc_calculated = ProtoField.uint16("qvlink.crc.calculated", "Calculated CRC", base.HEX),

    start = ProtoField.uint16("qvlink.start", "Start address", base.DEC),
    count = ProtoField.uint16("qvlink.count", "Count", base.DEC),
    byte_count = ProtoField.uint8("qvlink.byte_count", "Byte count", base.DEC),
    register = ProtoField.uint16("qvlink.register", "Register", base.DEC),
    coil_value = ProtoField.uint16("qvlink.coil_value", "Coil value", base.HEX, coil_names),
    value = ProtoField.uint16("qvlink.value", "Value", base.DEC),
    bits = ProtoField.bytes("qvlink.bits", "Bits"),
    bit = ProtoField.uint8("qvlink.bit", "Bit", base.DEC),
    exception_status = ProtoField.uint8("qvlink.exception_status", "Exception status", base.HEX),

    diag_sub = ProtoField.uint16("qvlink.diag.sub", "Sub-function", base.DEC, diagnostic_names),
    diag_data = ProtoField.uint16("qvlink.diag.data", "Data", base.HEX),
    restart = ProtoField.uint16("qvlink.restart", "Restart", base.HEX, restart_names),
    echo = ProtoField.bytes("qvlink.diag.echo", "Echo data"),

    status_word = ProtoField.uint16("qvlink.status_word", "Status word", base.HEX, status_word_names),
    event_count = ProtoField.uint16("qvlink.event_count", "Event count", base.DEC),
    message_count = ProtoField.uint16("qvlink.message_count", "Message count", base.DEC),
    events = ProtoField.bytes("qvlink.events", "Events"),
    server_id = ProtoField.bytes("qvlink.server_id", "Server id"),

    file = ProtoField.none("qvlink.file", "Sub-request"),
    file_length = ProtoField.uint8("qvlink.file.response_length", "Sub-response length", base.DEC),
    file_reftype = ProtoField.uint8("qvlink.file.reftype", "Reference type", base.DEC),
    file_number = ProtoField.uint16("qvlink.file.number", "File", base.DEC),
    file_record = ProtoField.uint16("qvlink.file.record", "Record", base.DEC),
    file_records = ProtoField.uint16("qvlink.file.length", "Record length", base.DEC),
    file_data = ProtoField.uint16("qvlink.file.data", "Record data", base.DEC),

    mei = ProtoField.uint8("qvlink.mei", "MEI type", base.HEX, mei_names),
    passthrough = ProtoField.bytes("qvlink.passthrough", "Pass-through data"),
    read_code = ProtoField.uint8("qvlink.object.read_code", "Read code", base.DEC, read_code_names),
    conformity = ProtoField.uint8("qvlink.object.conformity", "Conformity level", base.HEX),
    more_follows = ProtoField.uint8("qvlink.object.more_follows", "More follows", base.HEX, more_follows_names),
    next_object = ProtoField.uint8("qvlink.object.next_id", "Next object id", base.DEC),
    object_count = ProtoField.uint8("qvlink.object.count", "Number of objects", base.DEC),
    object = ProtoField.none("qvlink.object", "Object"),
    object_id = ProtoField.uint8("qvlink.object.id", "Object id", base.DEC, object_names),
    object_length = ProtoField.uint8("qvlink.object.length", "Length", base.DEC),
    object_value = ProtoField.string("qvlink.object.value", "Value"),

    bootloader_info = ProtoField.string("qvlink.bootloader_info", "Boot-loader info"),
    flash_page = ProtoField.uint32("qvlink.flash.page", "Flash page", base.DEC),
    flash_key = ProtoField.uint16("qvlink.flash.key", "Erase key", base.HEX),
    flash_value = ProtoField.uint16("qvlink.flash.value", "Value", base.HEX),
    page_crc = ProtoField.uint16("qvlink.flash.crc", "Page CRC", base.HEX),
    data = ProtoField.bytes("qvlink.data", "Data"),

    request_in = ProtoField.framenum("qvlink.request_in", "Request in", base.NONE, frametype.REQUEST),
    response_in = ProtoField.framenum("qvlink.response_in", "Reply in", base.NONE, frametype.RESPONSE),
    time = ProtoField.relative_time("qvlink.time", "Time since request"),
}
local field_list = {}
for _, field in pairs(f) do field_list[#field_list + 1] = field end
qvlink.fields = field_list

local ef = {
    bad_crc = ProtoExpert.new("qvlink.crc.bad", "Bad CRC", expert.group.CHECKSUM, expert.severity.ERROR),
    exception = ProtoExpert.new("qvlink.exception.reply", "Exception reply",
                                expert.group.RESPONSE_CODE, expert.severity.NOTE),
    short = ProtoExpert.new("qvlink.short", "Frame shorter than its function's fields",
                            expert.group.MALFORMED, expert.severity.ERROR),
    extra = ProtoExpert.new("qvlink.extra", "Bytes beyond the function's fields",
                            expert.group.MALFORMED, expert.severity.WARN),
    unmatched = ProtoExpert.new("qvlink.unmatched", "Reply without an unanswered request",
                                expert.group.SEQUENCE, expert.severity.WARN),
    undecoded = ProtoExpert.new("qvlink.undecoded", "Bytes that form no frame",
                                expert.group.UNDECODED, expert.severity.WARN),
    direction = ProtoExpert.new("qvlink.direction.unknown", "Unknown direction byte",
                                expert.group.MALFORMED, expert.severity.ERROR),
}
qvlink.experts = { ef.bad_crc, ef.exception, ef.short, ef.extra, ef.unmatched, ef.undecoded, ef.direction }

qvlink.prefs.tcp_port = Pref.uint("TCP port", 0, "TCP port of the gateway's link (0: none; Decode As works too)")

-- CRC -------------------------------------------------------------------------------

local crc_table = {}
for byte = 0, 255 do
    local crc = lshift(byte, 8)
    for _ = 1, 8 do
        if band(crc, 0x8000) ~= 0 then
            crc = band(bxor(lshift(crc, 1), 0x1021), 0xFFFF)
        else
            crc = band(lshift(crc, 1), 0xFFFF)
        end
    end
    crc_table[byte] = crc
end

local function crc_step(crc, byte)
    return bxor(band(lshift(crc, 8), 0xFFFF), crc_table[bxor(rshift(crc, 8), byte)])
end

-- Over bytes first..last (1-based, inclusive) of a byte string.
local function crc16(s, first, last)
    local crc = 0xFFFF
    for i = first, last do crc = crc_step(crc, s:byte(i)) end
    return crc
end

-- Frame lengths ---------------------------------------------------------------------
-- On a byte string holding what has arrived from the start of a frame. Each returns
-- the frame's total length with its CRC, MORE when more bytes must come first, or
-- UNKNOWN when the layout does not tell.

local MORE, UNKNOWN = "more", "unknown"

local function u16(s, i) return s:byte(i) * 256 + s:byte(i + 1) end

-- Index of the function code behind the address and route triplets; nil until the
-- bytes show where the prefix ends.
local function function_index(s)
    local i = 2
    while true do
        if #s < i + 1 then return nil end
        if s:byte(i) ~= ROUTE_CODE or s:byte(i + 1) ~= ROUTE_MEI then return i end
        i = i + 3
    end
end

-- Bytes after the function code of a request, by its layout; for the others, how
-- many bytes after it tell their length.
local request_fields = { [1] = 4, [2] = 4, [3] = 4, [4] = 4, [5] = 4, [6] = 4, [7] = 0, [11] = 0,
                         [12] = 0, [17] = 0, [65] = 0, [66] = 6, [67] = 0, [68] = 6 }
local request_length_fields = { [8] = 2, [15] = 5, [16] = 5, [20] = 1, [21] = 1, [43] = 1 }

local function request_length(s)
    local fi = function_index(s)
    if not fi then return MORE end
    local code = s:byte(fi)
    local fields = request_fields[code]
    if not fields then
        local need = request_length_fields[code]
        if not need then return UNKNOWN end
        if #s < fi + need then return MORE end
        if code == 8 then
            -- Sub-function 0 echoes any number of bytes; the others carry one word.
            if u16(s, fi + 1) == 0 then return UNKNOWN end
            fields = 4
        elseif code == 15 or code == 16 then
            fields = 5 + s:byte(fi + 5)
        elseif code == 20 or code == 21 then
            fields = 1 + s:byte(fi + 1)
        elseif s:byte(fi + 1) == OBJECT_MEI then
            fields = 3
        else
            return UNKNOWN  -- pass-through: its payload has no length field
        end
    end
    return fi + fields + CRC_SIZE
end

-- The library's reply-length rule: from the request frame (CRC included) and the
-- reply bytes so far. A routed reply is the inner reply plus 3 bytes per hop.
local function reply_length(req, s)
    local prefix, ro, po = 0, 0, 0
    while true do
        local rlen, plen = #req - ro, #s - po
        if rlen < 2 then return UNKNOWN end
        if plen < 2 then return MORE end
        if band(s:byte(po + 2), EXCEPTION_BIT) ~= 0 then return 5 + prefix end
        local code = req:byte(ro + 2)
        local count = rlen >= 6 and u16(req, ro + 5) or nil
        if code == 1 or code == 2 then
            if not count then return UNKNOWN end
            return 5 + math.floor((count + 7) / 8) + prefix
        elseif code == 3 or code == 4 or code == 23 then
            if not count then return UNKNOWN end
            return 5 + 2 * count + prefix
        elseif code == 5 or code == 6 or code == 21 or code == 22 then
            return rlen + prefix
        elseif code == 7 then
            return 5 + prefix
        elseif code == 8 then
            if rlen < 4 then return UNKNOWN end
            local sub = u16(req, ro + 3)
            if sub <= 3 or (sub >= 10 and sub <= 18) or sub == 20 then return rlen + prefix end
            return UNKNOWN
        elseif code == 11 or code == 15 or code == 16 or code == 66 or code == 68 then
            return 8 + prefix
        elseif code == 12 or code == 17 or code == 20 or code == 65 then
            if plen <= 2 then return MORE end
            return s:byte(po + 3) + 5 + prefix
        elseif code == 24 then
            if plen <= 3 then return MORE end
            return u16(s, po + 3) + 6 + prefix
        elseif code == 67 then
            return 6 + prefix
        elseif code == ROUTE_CODE then
            if rlen < 3 or req:byte(ro + 3) ~= ROUTE_MEI then return UNKNOWN end
            if plen <= 3 then return MORE end
            ro, po, prefix = ro + 3, po + 3, prefix + 3
        else
            return UNKNOWN
        end
    end
end

-- An object reply lists its objects with their lengths, so its end can be found
-- where the library has to wait for silence.
local function object_reply_length(s)
    local fi = function_index(s)
    if not fi then return MORE end
    if s:byte(fi) ~= ROUTE_CODE or #s < fi + 1 then return UNKNOWN end
    if s:byte(fi + 1) ~= OBJECT_MEI then return UNKNOWN end
    -- MEI, read code, conformity, more follows, next id, number of objects
    if #s < fi + 6 then return MORE end
    local p = fi + 7
    for _ = 1, s:byte(fi + 6) do
        if #s < p + 1 then return MORE end
        p = p + 2 + s:byte(p + 1)
    end
    return p - 1 + CRC_SIZE
end

-- The shortest run of bytes that ends in its own valid CRC.
local function crc_delimited_length(s)
    local crc = 0xFFFF
    for last = 1, #s - CRC_SIZE do
        crc = crc_step(crc, s:byte(last))
        if last + CRC_SIZE >= MIN_FRAME and crc == u16(s, last + 1) then return last + CRC_SIZE end
    end
    return MORE
end

-- The length of the frame at the start of s; false when the bytes form no frame.
local function stream_frame_length(s, direction, request)
    local n
    if direction == REQUEST then
        n = request_length(s)
    elseif request then
        n = reply_length(request, s)
    else
        n = UNKNOWN
    end
    if n == UNKNOWN and direction == REPLY then n = object_reply_length(s) end
    if n == UNKNOWN then n = crc_delimited_length(s) end
    if n == MORE and #s >= MAX_FRAME then return false end
    return n
end

-- Fields of one frame -----------------------------------------------------------------

-- Reads fields in order from a frame's data (between function code and CRC), adding
-- each to the tree; past the end it adds nothing and remembers that it ran short.
local Cursor = {}
Cursor.__index = Cursor

local function new_cursor(tvb, first, stop)
    return setmetatable({ tvb = tvb, pos = first, stop = stop, short = false }, Cursor)
end

function Cursor:left() return self.stop - self.pos end

function Cursor:take(size)
    if size < 0 or self:left() < size then
        self.short = true
        return nil
    end
    local range = self.tvb(self.pos, size)
    self.pos = self.pos + size
    return range
end

-- A number field; returns its value and item, or nil.
function Cursor:uint(tree, field, size)
    local range = self:take(size)
    if not range then return nil end
    return range:uint(), tree:add(field, range)
end

-- A field over the next size bytes (the rest when size is nil); returns its range.
function Cursor:block(tree, field, size)
    if size == nil then size = self:left() end
    if size == 0 then return nil end
    local range = self:take(size)
    if range then tree:add(field, range) end
    return range
end

-- Facts about the request a reply answers, from its bytes.
local function request_facts(request)
    if not request then return {} end
    local fi = function_index(request)
    if not fi or #request < fi then return {} end
    local facts = { code = request:byte(fi) }
    if #request >= fi + 4 + CRC_SIZE then
        facts.start = u16(request, fi + 1)
        facts.count = u16(request, fi + 3)
    end
    return facts
end

local function add_registers(c, tree, count, first_address, field)
    for k = 0, count - 1 do
        local value, item = c:uint(tree, field or f.register, 2)
        if not value then return end
        if first_address then
            item:set_text(string.format("Register %d: %d (0x%04x)", first_address + k, value, value))
        end
    end
end

local function add_bits(c, tree, bytes, count, first_address)
    local range = c:take(bytes)
    if not range then return end
    local sub = tree:add(f.bits, range)
    count = math.min(count, bytes * 8)
    for k = 0, count - 1 do
        local byte = range:range(math.floor(k / 8), 1)
        local value = band(rshift(byte:uint(), k % 8), 1)
        local item = sub:add(f.bit, byte, value)
        if first_address then item:set_text(string.format("Bit %d: %d", first_address + k, value)) end
    end
end

local function start_and_count(c, tree)
    local start = c:uint(tree, f.start, 2)
    local count = c:uint(tree, f.count, 2)
    return start, count
end

-- "1 register", "2 registers"
local function amount(n, unit)
    return string.format("%d %s%s", n, unit, n == 1 and "" or "s")
end

local function range_text(start, count, unit)
    if not count then return "" end
    return string.format(", %s from %d", amount(count, unit), start)
end

local function file_sub_request(c, tree, k, with_data)
    local first = c.pos
    local item = tree:add(f.file, c.tvb(c.pos, math.min(7, c:left())))
    item:set_text("Sub-request " .. k)
    c:uint(item, f.file_reftype, 1)
    local file = c:uint(item, f.file_number, 2)
    local record = c:uint(item, f.file_record, 2)
    local length = c:uint(item, f.file_records, 2)
    if with_data and length then
        add_registers(c, item, length, nil, f.file_data)
        item:set_len(c.pos - first)
    end
    if length then
        item:append_text(string.format(": file %d, %s from %d", file, amount(length, "record"), record))
    end
    return file, record, length
end

-- Request parsers: fill the tree, return the text for the Info column.
local requests = {}

for _, code in ipairs({ 1, 2 }) do
    requests[code] = function(c, tree) local s, n = start_and_count(c, tree) return range_text(s, n, "bit") end
end
for _, code in ipairs({ 3, 4 }) do
    requests[code] = function(c, tree) local s, n = start_and_count(c, tree) return range_text(s, n, "register") end
end

requests[5] = function(c, tree)
    local address = c:uint(tree, f.start, 2)
    local value = c:uint(tree, f.coil_value, 2)
    return value and string.format(", coil %d %s", address, coil_names[value] or "?") or ""
end

requests[6] = function(c, tree)
    local address = c:uint(tree, f.start, 2)
    local value = c:uint(tree, f.value, 2)
    return value and string.format(", register %d = %d", address, value) or ""
end

requests[8] = function(c, tree)
    local sub = c:uint(tree, f.diag_sub, 2)
    if sub == 0 then
        c:block(tree, f.echo)
    elseif sub == 1 then
        local data = c:uint(tree, f.restart, 2)
        return ", " .. (restart_names[data] or "Restart")
    elseif sub then
        c:uint(tree, f.diag_data, 2)
    end
    return sub and (", " .. (diagnostic_names[sub] or ("sub-function " .. sub))) or ""
end

requests[15] = function(c, tree)
    local start, count = start_and_count(c, tree)
    local bytes = c:uint(tree, f.byte_count, 1)
    if bytes then add_bits(c, tree, bytes, count, start) end
    return range_text(start, count, "bit")
end

requests[16] = function(c, tree)
    local start, count = start_and_count(c, tree)
    local bytes = c:uint(tree, f.byte_count, 1)
    if bytes then add_registers(c, tree, math.floor(bytes / 2), start) end
    return range_text(start, count, "register")
end

requests[20] = function(c, tree)
    local bytes = c:uint(tree, f.byte_count, 1)
    if not bytes then return "" end
    local text, k = "", 1
    while c:left() > 0 do
        local file, record, length = file_sub_request(c, tree, k, false)
        if k == 1 and length then text = string.format(", file %d, %s from %d", file, amount(length, "record"), record) end
        k = k + 1
    end
    return text
end

requests[21] = function(c, tree)
    local bytes = c:uint(tree, f.byte_count, 1)
    if not bytes then return "" end
    local text, k = "", 1
    while c:left() > 0 do
        local file, record, length = file_sub_request(c, tree, k, true)
        if k == 1 and length then text = string.format(", file %d, %s from %d", file, amount(length, "record"), record) end
        k = k + 1
    end
    return text
end

requests[43] = function(c, tree)
    local mei = c:uint(tree, f.mei, 1)
    if mei == PASS_THROUGH_MEI then
        local range = c:block(tree, f.passthrough)
        return ", " .. amount(range and range:len() or 0, "byte")
    elseif mei == OBJECT_MEI then
        c:uint(tree, f.read_code, 1)
        local id = c:uint(tree, f.object_id, 1)
        return id and string.format(", from object %d", id) or ""
    end
    return ""
end

requests[66] = function(c, tree)
    local page = c:uint(tree, f.flash_page, 4)
    c:uint(tree, f.flash_key, 2)
    return page and (", page " .. page) or ""
end

requests[68] = function(c, tree)
    local page = c:uint(tree, f.flash_page, 4)
    c:uint(tree, f.flash_value, 2)
    return page and (", page " .. page) or ""
end

for _, code in ipairs({ 7, 11, 12, 17, 65, 67 }) do
    requests[code] = function() return "" end
end

-- Reply parsers: as the request parsers, with the facts of the request answered.
local replies = {}

local function byte_counted(c, tree, field)
    local bytes = c:uint(tree, f.byte_count, 1)
    if bytes then c:block(tree, field, bytes) end
    return bytes
end

for _, code in ipairs({ 1, 2 }) do
    replies[code] = function(c, tree, facts)
        local bytes = c:uint(tree, f.byte_count, 1)
        if not bytes then return "" end
        local count = (facts.code == code and facts.count) or bytes * 8
        add_bits(c, tree, bytes, count, facts.code == code and facts.start or nil)
        return string.format(", %d bytes of bits", bytes)
    end
end

for _, code in ipairs({ 3, 4 }) do
    replies[code] = function(c, tree, facts)
        local bytes = c:uint(tree, f.byte_count, 1)
        if not bytes then return "" end
        add_registers(c, tree, math.floor(bytes / 2), facts.code == code and facts.start or nil)
        return ", " .. amount(math.floor(bytes / 2), "register")
    end
end

-- Echoes of the request.
for _, code in ipairs({ 5, 6, 8, 21 }) do replies[code] = requests[code] end

replies[7] = function(c, tree)
    local status = c:uint(tree, f.exception_status, 1)
    return status and string.format(", status 0x%02x", status) or ""
end

replies[11] = function(c, tree)
    local word = c:uint(tree, f.status_word, 2)
    local events = c:uint(tree, f.event_count, 2)
    if not events then return "" end
    return string.format(", status 0x%04x%s, %s", word, word == 0xFFFF and " (busy)" or "", amount(events, "event"))
end

replies[12] = function(c, tree)
    local bytes = c:uint(tree, f.byte_count, 1)
    if not bytes then return "" end
    c:uint(tree, f.status_word, 2)
    c:uint(tree, f.event_count, 2)
    c:uint(tree, f.message_count, 2)
    c:block(tree, f.events, bytes - 6)
    return ""
end

for _, code in ipairs({ 15, 16 }) do
    replies[code] = function(c, tree)
        local start, count = start_and_count(c, tree)
        return range_text(start, count, code == 15 and "bit" or "register")
    end
end

replies[17] = function(c, tree) byte_counted(c, tree, f.server_id) return "" end

replies[20] = function(c, tree, facts)
    local bytes = c:uint(tree, f.byte_count, 1)
    if not bytes then return "" end
    local total, k = 0, 1
    while c:left() > 0 do
        local first = c.pos
        local item = tree:add(f.file, c.tvb(c.pos, math.min(2, c:left())))
        item:set_text("Sub-response " .. k)
        local length = c:uint(item, f.file_length, 1)
        c:uint(item, f.file_reftype, 1)
        if not length or length < 1 then break end
        local records = math.floor((length - 1) / 2)
        add_registers(c, item, records, nil, f.file_data)
        item:set_len(c.pos - first)
        item:append_text(": " .. amount(records, "record"))
        total, k = total + records, k + 1
    end
    return ", " .. amount(total, "record")
end

replies[43] = function(c, tree)
    local mei = c:uint(tree, f.mei, 1)
    if mei == PASS_THROUGH_MEI then
        local range = c:block(tree, f.passthrough)
        return ", " .. amount(range and range:len() or 0, "byte")
    elseif mei ~= OBJECT_MEI then
        return ""
    end
    c:uint(tree, f.read_code, 1)
    c:uint(tree, f.conformity, 1)
    local more = c:uint(tree, f.more_follows, 1)
    c:uint(tree, f.next_object, 1)
    local count = c:uint(tree, f.object_count, 1)
    for _ = 1, count or 0 do
        if c:left() < 2 then c.short = true break end
        local length = c.tvb(c.pos + 1, 1):uint()
        local item = tree:add(f.object, c.tvb(c.pos, math.min(2 + length, c:left())))
        local id = c:uint(item, f.object_id, 1)
        c:uint(item, f.object_length, 1)
        local value = c:block(item, f.object_value, length)
        item:set_text(string.format("Object %d (%s): %s", id, object_names[id] or "private",
                                    value and value:string() or ""))
    end
    return ", " .. amount(count or 0, "object") .. (more == 0xFF and ", more follow" or "")
end

replies[65] = function(c, tree) byte_counted(c, tree, f.bootloader_info) return "" end

for _, code in ipairs({ 66, 68 }) do
    replies[code] = function(c, tree)
        local page = c:uint(tree, f.flash_page, 4)
        return page and (", page " .. page) or ""
    end
end

replies[67] = function(c, tree)
    local crc = c:uint(tree, f.page_crc, 2)
    return crc and string.format(", CRC 0x%04x", crc) or ""
end

-- Requests and replies ----------------------------------------------------------------
-- Per conversation (the capture file's one link, or one TCP connection) the recent
-- requests, each answered or not. A reply answers the newest unanswered request that
-- it fits (same modules and function): the client sends one request at a time, but a
-- retry may go out before a late reply comes in. What the first pass learns is kept
-- per PDU, so that later passes show the same pairs in any order.

local RECENT_REQUESTS = 16

local conversations, pairs_by_pdu, reply_of_request

local function forget_all()
    conversations, pairs_by_pdu, reply_of_request = {}, {}, {}
end
forget_all()
qvlink.init = forget_all

local function conversation(key)
    local conv = conversations[key]
    if not conv then
        conv = { requests = {} }
        conversations[key] = conv
    end
    return conv
end

-- Whether a reply (as far as it has arrived) comes from the modules and function of
-- a request: the same route, then the same function code, or an exception to it
-- from the target or from a gateway on the way.
local function fits(request, reply)
    if #reply < 1 or reply:byte(1) ~= request:byte(1) then return #reply < 1 end
    local i = 2
    while #reply >= i + 2 and #request >= i + 2 and request:byte(i) == ROUTE_CODE and request:byte(i + 1) == ROUTE_MEI do
        if reply:byte(i) == band(ROUTE_CODE + EXCEPTION_BIT, 0xFF) then return true end
        if reply:byte(i) ~= ROUTE_CODE or reply:byte(i + 1) ~= ROUTE_MEI or reply:byte(i + 2) ~= request:byte(i + 2) then
            return false
        end
        i = i + 3
    end
    if #reply < i or #request < i then return true end
    return band(reply:byte(i), 0x7F) == request:byte(i)
end

local function find_request(conv, reply)
    local newest_fit
    for i = #conv.requests, 1, -1 do
        local r = conv.requests[i]
        if fits(r.bytes, reply) then
            if not r.answered then return r, true end
            newest_fit = newest_fit or r
        end
    end
    -- No unanswered request fits: the reply still needs one for its length.
    return newest_fit or conv.requests[#conv.requests], false
end

-- What a reply PDU answers: {request = bytes, frame = number, time = seconds,
-- answers = whether it is that request's reply}.
local function reply_context(pinfo, conv, pdu_key, reply)
    local context = pairs_by_pdu[pdu_key]
    if context or pinfo.visited then return context or {} end
    local r, answers = find_request(conv, reply)
    context = r and { request = r.bytes, frame = r.frame, time = r.time, entry = r, answers = answers } or {}
    pairs_by_pdu[pdu_key] = context
    return context
end

local function note_request(pinfo, conv, pdu_key, bytes)
    if pinfo.visited then return end
    local requests = conv.requests
    requests[#requests + 1] = { bytes = bytes, frame = pinfo.number, time = pinfo.abs_ts, key = pdu_key }
    if #requests > RECENT_REQUESTS then table.remove(requests, 1) end
end

local function note_answered(pinfo, context)
    if pinfo.visited or not context.answers then return end
    context.entry.answered = true
    reply_of_request[context.entry.key] = pinfo.number
end

local function seconds_to_nstime(seconds)
    if seconds < 0 then seconds = 0 end
    local whole = math.floor(seconds)
    return NSTime.new(whole, math.floor((seconds - whole) * 1e9 + 0.5))
end

-- One whole frame at offset..offset+length of tvb.
-- The direction comes from the capture's direction byte (direction_range) or from
-- the TCP connection.
local function dissect_frame(tvb, offset, length, direction, direction_range, pinfo, root, conv, pdu_key, context)
    local tree = root:add(qvlink, tvb(offset, length))
    local stop = offset + length
    if direction_range then
        tree:add(f.direction, direction_range)
    else
        tree:add(f.direction, direction):set_generated()
    end

    if length < MIN_FRAME then
        tree:add(f.data, tvb(offset, length))
        tree:add_proto_expert_info(ef.short)
        return "frame too short"
    end

    -- Address and route triplets.
    local address = tvb(offset, 1):uint()
    tree:add(f.address, tvb(offset, 1))
    local path, pos = tostring(address), offset + 1
    while pos + 3 <= stop - CRC_SIZE - 1 and tvb(pos, 1):uint() == ROUTE_CODE and tvb(pos + 1, 1):uint() == ROUTE_MEI do
        local next_module = tvb(pos + 2, 1):uint()
        tree:add(f.route, tvb(pos, 3), next_module):set_text(string.format("Route to module %d", next_module))
        path = path .. "/" .. next_module
        pos = pos + 3
    end
    tree:add(f.path, path):set_generated()

    -- Function, then its fields or the exception code.
    local code_byte = tvb(pos, 1):uint()
    local code = band(code_byte, 0x7F)
    tree:add(f.func, tvb(pos, 1))
    local is_exception = direction == REPLY and band(code_byte, EXCEPTION_BIT) ~= 0
    if direction == REPLY then tree:add(f.exception_bit, tvb(pos, 1)) end
    local c = new_cursor(tvb, pos + 1, stop - CRC_SIZE)
    local name = function_names[code] or ("Function " .. code)
    if code == ROUTE_CODE and not is_exception and pos + 1 < stop - CRC_SIZE then
        name = mei_names[tvb(pos + 1, 1):uint()] or name
    end
    local text
    if is_exception then
        local exception, exception_item = c:uint(tree, f.exception, 1)
        if exception then
            exception_item:add_proto_expert_info(ef.exception)
            text = string.format("Exception from %s: %s (%d)", path, exception_names[exception] or "unknown", exception)
        else
            text = "Exception"
        end
    else
        local parser = (direction == REQUEST and requests or replies)[code]
        text = name .. (parser and parser(c, tree, request_facts(context and context.request)) or "")
    end
    if c:left() > 0 then
        tree:add(f.data, tvb(c.pos, c:left())):add_proto_expert_info(ef.extra)
    end
    if c.short then tree:add_proto_expert_info(ef.short) end

    -- CRC over everything before it, high byte first.
    local crc_range = tvb(stop - CRC_SIZE, CRC_SIZE)
    local expected = crc16(tvb:raw(offset, length - CRC_SIZE), 1, length - CRC_SIZE)
    local crc_item = tree:add(f.crc, crc_range)
    crc_item:add(f.crc_calculated, expected):set_generated()
    local good = crc_range:uint() == expected
    crc_item:add(f.crc_status, good and 1 or 0):set_generated()
    if not good then
        crc_item:add_proto_expert_info(ef.bad_crc)
        text = text .. " [bad CRC]"
    end

    -- Pairs.
    if direction == REQUEST then
        local answered_in = reply_of_request[pdu_key]
        if answered_in then tree:add(f.response_in, answered_in):set_generated() end
    elseif context and context.frame and context.answers then
        tree:add(f.request_in, context.frame):set_generated()
        tree:add(f.time, seconds_to_nstime(pinfo.abs_ts - context.time)):set_generated()
        note_answered(pinfo, context)
    else
        tree:add_proto_expert_info(ef.unmatched)
    end

    local label = direction == REQUEST and "Request" or "Reply"
    tree:append_text(string.format(", %s %s: %s", label, path, name))
    return string.format("%s %s: %s", label, path, text)
end

local function set_info(pinfo, first, text)
    if first then
        pinfo.cols.info:set(text)
    else
        pinfo.cols.info:append("; " .. text)
    end
end

-- Captures of our own tools: one direction byte, then one frame.
local function dissect_capture(tvb, pinfo, root)
    local direction = tvb(0, 1):uint()
    local conv = conversation("capture")
    local key = tostring(pinfo.number)
    if direction ~= REQUEST and direction ~= REPLY then
        local tree = root:add(qvlink, tvb())
        tree:add(f.data, tvb()):add_proto_expert_info(ef.direction)
        return tvb:len()
    end
    local length = tvb:len() - 1
    local context
    if direction == REPLY then context = reply_context(pinfo, conv, key, tvb:raw(1, length)) end
    local text = dissect_frame(tvb, 1, length, direction, tvb(0, 1), pinfo, root, conv, key, context)
    if direction == REQUEST then note_request(pinfo, conv, key, tvb:raw(1, length)) end
    pinfo.cols.src:set(direction == REQUEST and "host" or "module")
    pinfo.cols.dst:set(direction == REQUEST and "module" or "host")
    set_info(pinfo, true, text)
    return tvb:len()
end

-- TCP: which side is the client, and so which way a segment goes. The port the
-- dissector was found by is the gateway's; failing that, whoever spoke first is the client.
local function stream_direction(pinfo)
    local src = tostring(pinfo.src) .. ":" .. pinfo.src_port
    local dst = tostring(pinfo.dst) .. ":" .. pinfo.dst_port
    local key = src < dst and (src .. " " .. dst) or (dst .. " " .. src)
    local conv = conversation(key)
    if not conv.client then
        local server_port = pinfo.match_uint
        if server_port and server_port ~= 0 and pinfo.src_port ~= pinfo.dst_port then
            conv.client = (pinfo.dst_port == server_port) and src or dst
        else
            conv.client = src
        end
    end
    return (src == conv.client) and REQUEST or REPLY, conv
end

local function dissect_stream(tvb, pinfo, root)
    local direction, conv = stream_direction(pinfo)
    local offset, total, first = 0, tvb:len(), true
    -- Bytes that line up as no frame are passed over one at a time, as a receiver
    -- resynchronises, and shown as one block.
    local unframed
    local function show_unframed(upto)
        if not unframed then return end
        local tree = root:add(qvlink, tvb(unframed, upto - unframed))
        tree:add(f.data, tvb(unframed, upto - unframed)):add_proto_expert_info(ef.undecoded)
        set_info(pinfo, first, "bytes that form no frame")
        first, unframed = false, nil
    end
    while offset < total do
        local available = tvb:raw(offset, math.min(total - offset, MAX_FRAME))
        local key = string.format("%d:%d:%d", pinfo.number, total, offset)
        local context = direction == REPLY and reply_context(pinfo, conv, key, available) or nil
        local length = stream_frame_length(available, direction, context and context.request)
        if length == false then
            unframed = unframed or offset
            offset = offset + 1
        elseif length == MORE or length > total - offset then
            show_unframed(offset)
            if direction == REPLY and not pinfo.visited then pairs_by_pdu[key] = nil end
            pinfo.desegment_offset = offset
            pinfo.desegment_len = (length == MORE) and DESEGMENT_ONE_MORE_SEGMENT or (length - (total - offset))
            return total
        else
            show_unframed(offset)
            local text = dissect_frame(tvb, offset, length, direction, nil, pinfo, root, conv, key, context)
            if direction == REQUEST then note_request(pinfo, conv, key, tvb:raw(offset, length)) end
            set_info(pinfo, first, text)
            first = false
            offset = offset + length
        end
    end
    show_unframed(total)
    return total
end

function qvlink.dissector(tvb, pinfo, root)
    if tvb:len() == 0 then return 0 end
    pinfo.cols.protocol:set("QVLINK")
    -- Captures of our own link type have no ports.
    if pinfo.port_type == 0 then return dissect_capture(tvb, pinfo, root) end
    return dissect_stream(tvb, pinfo, root)
end

DissectorTable.get("wtap_encap"):add((wtap_encaps or wtap).USER0, qvlink)
DissectorTable.get("tcp.port"):add_for_decode_as(qvlink)

local registered_port = 0
function qvlink.prefs_changed()
    local tcp = DissectorTable.get("tcp.port")
    if registered_port ~= 0 then tcp:remove(registered_port, qvlink) end
    registered_port = qvlink.prefs.tcp_port
    if registered_port ~= 0 then tcp:add(registered_port, qvlink) end
end
