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
--   * captures written by `qvlink --pcap` and `qvsim --pcap` (files, pipes and the
--     extcap program qvlink-extcap): link type 147 (USER0), each packet one direction
--     byte and one frame, or bytes read that formed none. Bit 0 of that byte is the
--     direction (0 request, 1 reply); bits 1-7 are a mark on what the client read and did
--     not take, saying why (MARKS below);
--   * TCP, on the port in the preference qvlink.tcp_port (none by default) or chosen
--     with Decode As. Frames are cut from the byte stream: requests by their layout,
--     replies by the reply-length rules of the library, from the request they answer.
--
-- Everything this dissector knows of a function code is its row in FUNCTIONS below.
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
local DIRECTION_BIT = 0x01       -- of the capture's direction byte; the rest is the mark
local MARK_BITS = 0xFE

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

-- Marks on the bytes a client read and did not take as a reply: one row per mark, the
-- same rows as the capture writer's (pcapwriter.cpp). pairing: "late" pairs the bytes
-- with the request they answer, "none" with no request; without it they pair as a reply
-- read in an attempt does. unframed: the bytes are shown as bytes, not as a frame.
local MARKS = {
    [1] = { key = "late", name = "late reply", text = "Late reply: answers an earlier request",
            group = expert.group.SEQUENCE, pairing = "late" },
    [2] = { key = "unasked", name = "unasked frame", text = "Unasked frame: answers no request written",
            group = expert.group.SEQUENCE, pairing = "none" },
    [3] = { key = "noise", name = "line noise", text = "Line noise: bytes that form no frame",
            group = expert.group.MALFORMED, pairing = "none", unframed = true },
    [4] = { key = "cut_short", name = "cut short", text = "Cut short: the start of a reply whose rest did not come",
            group = expert.group.MALFORMED },
    [5] = { key = "not_an_answer", name = "not an answer",
            text = "Not an answer: damaged, or not the reply to its request", group = expert.group.PROTOCOL },
}
local mark_names = {}
for value, row in pairs(MARKS) do mark_names[value] = row.text end
local crc_status_names = { [0] = "Bad", [1] = "Good" }

-- The fields, filled in below once the function rows have given their names; the
-- rows' parsers use them only when they run.
local f = {}

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

-- Lengths -----------------------------------------------------------------------------
-- On byte strings holding what has arrived from the start of a frame. Each answers
-- with the frame's total length, CRC included, MORE when more bytes must come first,
-- or UNKNOWN when the layout does not tell.

local MORE, UNKNOWN = "more", "unknown"

local function u16(s, i) return s:byte(i) * 256 + s:byte(i + 1) end

-- Request layouts: the bytes after the function code, from the request so far (s) and
-- the index of its first field (at).
local function fields_after(need, count)
    return function(s, at)
        if #s < at + need - 1 then return MORE end
        return count(s, at)
    end
end

-- Reply-length rules, as the library's: on the request (CRC included) and the reply so
-- far, both behind their route triplets, so that byte 2 is the function code. req is
-- nil where the request is not known; a rule that needs it then answers UNKNOWN.
local function requested_count(req)
    return req and #req >= 6 and u16(req, 5) or nil
end

local function bits_reply(req)
    local count = requested_count(req)
    return count and 5 + math.floor((count + 7) / 8) or UNKNOWN
end

local function registers_reply(req)
    local count = requested_count(req)
    return count and 5 + 2 * count or UNKNOWN
end

local function echo_reply(req)
    return req and #req or UNKNOWN
end

-- A fixed number of data bytes after address and function.
local function fixed_reply(data_bytes)
    return function() return 2 + data_bytes + CRC_SIZE end
end

-- Byte count u8, then that many bytes.
local function byte_count_reply(_, s)
    if #s < 3 then return MORE end
    return 3 + s:byte(3) + CRC_SIZE
end

-- Byte count u16, then that many bytes.
local function fifo_reply(_, s)
    if #s < 4 then return MORE end
    return 4 + u16(s, 3) + CRC_SIZE
end

-- Sub-functions a module echoes: all but listen-only mode and those not defined.
local function echoed_diagnostic(sub)
    return sub <= 3 or (sub >= 10 and sub <= 18) or sub == 20
end

local function diagnostic_reply(req)
    if not req or #req < 4 then return UNKNOWN end
    return echoed_diagnostic(u16(req, 3)) and #req or UNKNOWN
end

-- Behind 0x2B: the objects of a read list each object's id and length, so the reply
-- ends with its last object: MEI, read code, conformity, more follows, next id, number
-- of objects, then per object id, length and value. A pass-through's answer has no
-- length of its own. Known from the reply alone, so a reply whose request is not in
-- the capture is framed too.
local function encapsulated_reply(req, s)
    if req and (#req < 3 or req:byte(3) ~= OBJECT_MEI) then return UNKNOWN end
    if #s < 3 then return MORE end
    if s:byte(3) ~= OBJECT_MEI then return UNKNOWN end
    if #s < 8 then return MORE end
    local p = 9
    for _ = 1, s:byte(8) do
        if #s < p + 1 then return MORE end
        p = p + 2 + s:byte(p + 1)
    end
    return p - 1 + CRC_SIZE
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

local function byte_counted(c, tree, field)
    local bytes = c:uint(tree, f.byte_count, 1)
    if bytes then c:block(tree, field, bytes) end
    return ""
end

local function nothing() return "" end

-- Parsers: fill the tree and return the text for the Info column. Those of a reply get
-- the facts of the request it answers (facts.code, facts.start, facts.count).
local function read_run_request(unit)
    return function(c, tree) local s, n = start_and_count(c, tree) return range_text(s, n, unit) end
end

local function bits_reply_fields(c, tree, facts, code)
    local bytes = c:uint(tree, f.byte_count, 1)
    if not bytes then return "" end
    local count = (facts.code == code and facts.count) or bytes * 8
    add_bits(c, tree, bytes, count, facts.code == code and facts.start or nil)
    return string.format(", %d bytes of bits", bytes)
end

local function registers_reply_fields(c, tree, facts, code)
    local bytes = c:uint(tree, f.byte_count, 1)
    if not bytes then return "" end
    add_registers(c, tree, math.floor(bytes / 2), facts.code == code and facts.start or nil)
    return ", " .. amount(math.floor(bytes / 2), "register")
end

local function write_run_reply(unit)
    return function(c, tree) local s, n = start_and_count(c, tree) return range_text(s, n, unit) end
end

local function write_coil_fields(c, tree)
    local address = c:uint(tree, f.start, 2)
    local value = c:uint(tree, f.coil_value, 2)
    return value and string.format(", coil %d %s", address, coil_names[value] or "?") or ""
end

local function write_register_fields(c, tree)
    local address = c:uint(tree, f.start, 2)
    local value = c:uint(tree, f.value, 2)
    return value and string.format(", register %d = %d", address, value) or ""
end

local function diagnostic_fields(c, tree)
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

local function mask_write_fields(c, tree)
    local address = c:uint(tree, f.start, 2)
    c:uint(tree, f.and_mask, 2)
    c:uint(tree, f.or_mask, 2)
    return address and string.format(", register %d", address) or ""
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

local function file_request(with_data)
    return function(c, tree)
        local bytes = c:uint(tree, f.byte_count, 1)
        if not bytes then return "" end
        local text, k = "", 1
        while c:left() > 0 do
            local file, record, length = file_sub_request(c, tree, k, with_data)
            if k == 1 and length then
                text = string.format(", file %d, %s from %d", file, amount(length, "record"), record)
            end
            k = k + 1
        end
        return text
    end
end

local function read_file_reply_fields(c, tree)
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

local function event_counter_reply_fields(c, tree)
    local word = c:uint(tree, f.status_word, 2)
    local events = c:uint(tree, f.event_count, 2)
    if not events then return "" end
    return string.format(", status 0x%04x%s, %s", word, word == 0xFFFF and " (busy)" or "", amount(events, "event"))
end

local function event_log_reply_fields(c, tree)
    local bytes = c:uint(tree, f.byte_count, 1)
    if not bytes then return "" end
    c:uint(tree, f.status_word, 2)
    c:uint(tree, f.event_count, 2)
    c:uint(tree, f.message_count, 2)
    c:block(tree, f.events, bytes - 6)
    return ""
end

local function read_write_request_fields(c, tree)
    local start, count = start_and_count(c, tree)
    local write_start = c:uint(tree, f.write_start, 2)
    local write_count = c:uint(tree, f.write_count, 2)
    local bytes = c:uint(tree, f.byte_count, 1)
    if bytes then add_registers(c, tree, math.floor(bytes / 2), write_start) end
    return range_text(start, count, "register") .. (write_count and string.format(", %s written from %d",
                                                    amount(write_count, "register"), write_start) or "")
end

local function fifo_reply_fields(c, tree)
    local bytes = c:uint(tree, f.fifo_bytes, 2)
    if not bytes then return "" end
    local count = c:uint(tree, f.fifo_count, 2)
    add_registers(c, tree, count or 0)
    return ", " .. amount(count or 0, "register")
end

local function encapsulated_request_fields(c, tree)
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

local function encapsulated_reply_fields(c, tree)
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

local function flash_page_fields(second_field)
    return function(c, tree)
        local page = c:uint(tree, f.flash_page, 4)
        if second_field then c:uint(tree, f[second_field], 2) end
        return page and (", page " .. page) or ""
    end
end

local function page_crc_reply_fields(c, tree)
    local crc = c:uint(tree, f.page_crc, 2)
    return crc and string.format(", CRC 0x%04x", crc) or ""
end

-- One row per function code ---------------------------------------------------------
-- name:         the function's name
-- request:      the request's bytes after the function code: a number, or
--               fn(s, at) -> count, MORE or UNKNOWN (at: index of the first field)
-- reply_length: the library's reply-length rule (above)
-- request_fields, reply_fields: the parsers of a request and of a reply
-- echo:         for a write, how many bytes after the function code its confirmation
--               repeats (math.huge: all of them)
-- An exception reply and the route in front of a frame are the same for every code
-- and handled around the rows.

local FUNCTIONS = {
    [0x01] = { name = "Read coils", request = 4, reply_length = bits_reply,
               request_fields = read_run_request("bit"), reply_fields = bits_reply_fields },
    [0x02] = { name = "Read discrete inputs", request = 4, reply_length = bits_reply,
               request_fields = read_run_request("bit"), reply_fields = bits_reply_fields },
    [0x03] = { name = "Read holding registers", request = 4, reply_length = registers_reply,
               request_fields = read_run_request("register"), reply_fields = registers_reply_fields },
    [0x04] = { name = "Read input registers", request = 4, reply_length = registers_reply,
               request_fields = read_run_request("register"), reply_fields = registers_reply_fields },
    [0x05] = { name = "Write single coil", request = 4, reply_length = echo_reply, echo = 4,
               request_fields = write_coil_fields, reply_fields = write_coil_fields },
    [0x06] = { name = "Write single register", request = 4, reply_length = echo_reply, echo = 4,
               request_fields = write_register_fields, reply_fields = write_register_fields },
    [0x07] = { name = "Read exception status", request = 0, reply_length = fixed_reply(1),
               request_fields = nothing,
               reply_fields = function(c, tree)
                   local status = c:uint(tree, f.exception_status, 1)
                   return status and string.format(", status 0x%02x", status) or ""
               end },
    -- Sub-function 0 echoes any number of bytes; the others carry one word.
    [0x08] = { name = "Diagnostics",
               request = fields_after(2, function(s, at) return u16(s, at) == 0 and UNKNOWN or 4 end),
               reply_length = diagnostic_reply, request_fields = diagnostic_fields, reply_fields = diagnostic_fields },
    [0x0B] = { name = "Read event counter", request = 0, reply_length = fixed_reply(4),
               request_fields = nothing, reply_fields = event_counter_reply_fields },
    [0x0C] = { name = "Read event log", request = 0, reply_length = byte_count_reply,
               request_fields = nothing, reply_fields = event_log_reply_fields },
    [0x0F] = { name = "Write coils",
               request = fields_after(5, function(s, at) return 5 + s:byte(at + 4) end),
               reply_length = fixed_reply(4), echo = 4,
               request_fields = function(c, tree)
                   local start, count = start_and_count(c, tree)
                   local bytes = c:uint(tree, f.byte_count, 1)
                   if bytes then add_bits(c, tree, bytes, count, start) end
                   return range_text(start, count, "bit")
               end,
               reply_fields = write_run_reply("bit") },
    [0x10] = { name = "Write registers",
               request = fields_after(5, function(s, at) return 5 + s:byte(at + 4) end),
               reply_length = fixed_reply(4), echo = 4,
               request_fields = function(c, tree)
                   local start, count = start_and_count(c, tree)
                   local bytes = c:uint(tree, f.byte_count, 1)
                   if bytes then add_registers(c, tree, math.floor(bytes / 2), start) end
                   return range_text(start, count, "register")
               end,
               reply_fields = write_run_reply("register") },
    [0x11] = { name = "Report server id", request = 0, reply_length = byte_count_reply,
               request_fields = nothing, reply_fields = function(c, tree) return byte_counted(c, tree, f.server_id) end },
    [0x14] = { name = "Read file records",
               request = fields_after(1, function(s, at) return 1 + s:byte(at) end),
               reply_length = byte_count_reply,
               request_fields = file_request(false), reply_fields = read_file_reply_fields },
    [0x15] = { name = "Write file records",
               request = fields_after(1, function(s, at) return 1 + s:byte(at) end),
               reply_length = echo_reply, echo = math.huge,
               request_fields = file_request(true), reply_fields = file_request(true) },
    [0x16] = { name = "Mask write register", request = 6, reply_length = echo_reply, echo = 6,
               request_fields = mask_write_fields, reply_fields = mask_write_fields },
    [0x17] = { name = "Read/write registers",
               request = fields_after(9, function(s, at) return 9 + s:byte(at + 8) end),
               reply_length = registers_reply,
               request_fields = read_write_request_fields, reply_fields = registers_reply_fields },
    [0x18] = { name = "Read FIFO queue", request = 2, reply_length = fifo_reply,
               request_fields = function(c, tree)
                   local address = c:uint(tree, f.start, 2)
                   return address and string.format(", queue at %d", address) or ""
               end,
               reply_fields = fifo_reply_fields },
    -- Behind the route triplets only pass-through and objects are left; an object
    -- request is MEI, read code and object id.
    [0x2B] = { name = "Encapsulated interface",
               request = fields_after(1, function(s, at) return s:byte(at) == OBJECT_MEI and 3 or UNKNOWN end),
               reply_length = encapsulated_reply,
               request_fields = encapsulated_request_fields, reply_fields = encapsulated_reply_fields },
    [0x41] = { name = "Read boot-loader info", request = 0, reply_length = byte_count_reply,
               request_fields = nothing,
               reply_fields = function(c, tree) return byte_counted(c, tree, f.bootloader_info) end },
    [0x42] = { name = "Erase flash page", request = 6, reply_length = fixed_reply(4),
               request_fields = flash_page_fields("flash_key"), reply_fields = flash_page_fields() },
    [0x43] = { name = "Read page CRC", request = 0, reply_length = fixed_reply(2),
               request_fields = nothing, reply_fields = page_crc_reply_fields },
    [0x44] = { name = "Write flash page", request = 6, reply_length = fixed_reply(4),
               request_fields = flash_page_fields("flash_value"), reply_fields = flash_page_fields() },
}

-- A row missing a part is a mistake here, not in the traffic: say so when loading.
local function_names = {}
for code, row in pairs(FUNCTIONS) do
    for _, part in ipairs({ "name", "request", "reply_length", "request_fields", "reply_fields" }) do
        if row[part] == nil then error(string.format("qvlink.lua: function %d has no %s", code, part)) end
    end
    function_names[code] = row.name
end

-- Fields ----------------------------------------------------------------------------

local fields = {
    direction = ProtoField.uint8("qvlink.direction", "Direction", base.DEC, direction_names, DIRECTION_BIT),
    mark = ProtoField.uint8("qvlink.mark", "Mark", base.DEC, mark_names, MARK_BITS),
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
    write_start = ProtoField.uint16("qvlink.write_start", "Write start address", base.DEC),
    write_count = ProtoField.uint16("qvlink.write_count", "Write count", base.DEC),
    byte_count = ProtoField.uint8("qvlink.byte_count", "Byte count", base.DEC),
    register = ProtoField.uint16("qvlink.register", "Register", base.DEC),
    coil_value = ProtoField.uint16("qvlink.coil_value", "Coil value", base.HEX, coil_names),
    value = ProtoField.uint16("qvlink.value", "Value", base.DEC),
    and_mask = ProtoField.uint16("qvlink.and_mask", "AND mask", base.HEX),
    or_mask = ProtoField.uint16("qvlink.or_mask", "OR mask", base.HEX),
    bits = ProtoField.bytes("qvlink.bits", "Bits"),
    bit = ProtoField.uint8("qvlink.bit", "Bit", base.DEC),
    exception_status = ProtoField.uint8("qvlink.exception_status", "Exception status", base.HEX),
    fifo_bytes = ProtoField.uint16("qvlink.fifo.byte_count", "Byte count", base.DEC),
    fifo_count = ProtoField.uint16("qvlink.fifo.count", "FIFO count", base.DEC),

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
for name, field in pairs(fields) do
    f[name] = field
    field_list[#field_list + 1] = field
end
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
    mark = ProtoExpert.new("qvlink.mark.unknown", "A mark this dissector does not know",
                           expert.group.PROTOCOL, expert.severity.WARN),
}
local expert_list = { ef.bad_crc, ef.exception, ef.short, ef.extra, ef.unmatched, ef.undecoded, ef.mark }
for _, row in pairs(MARKS) do
    row.expert = ProtoExpert.new("qvlink.mark." .. row.key, row.text, row.group, expert.severity.WARN)
    expert_list[#expert_list + 1] = row.expert
end
qvlink.experts = expert_list

qvlink.prefs.tcp_port = Pref.uint("TCP port", 0, "TCP port of the gateway's link (0: none; Decode As works too)")

-- Framing -----------------------------------------------------------------------------

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

local function request_length(s)
    local fi = function_index(s)
    if not fi then return MORE end
    local row = FUNCTIONS[s:byte(fi)]
    if not row then return UNKNOWN end
    local fields_count = row.request
    if type(fields_count) == "function" then fields_count = fields_count(s, fi + 1) end
    if type(fields_count) ~= "number" then return fields_count end
    return fi + fields_count + CRC_SIZE
end

-- The reply's length by the row of its function: a routed reply is the inner reply
-- plus 3 bytes per hop, an exception reply address, function, code and CRC. The route
-- is the request's, or the reply's own where the request is not known (req nil).
local function reply_length(req, s)
    local prefix = 0
    while true do
        if req and #req < 2 then return UNKNOWN end
        if #s < 2 then return MORE end
        if band(s:byte(2), EXCEPTION_BIT) ~= 0 then return 5 + prefix end
        local head = req or s
        if head:byte(2) ~= ROUTE_CODE then break end
        if #head < 3 then return req and UNKNOWN or MORE end
        if head:byte(3) ~= ROUTE_MEI then break end
        if #s <= 3 then return MORE end
        if req then req = req:sub(4) end
        s = s:sub(4)
        prefix = prefix + 3
    end
    local row = FUNCTIONS[(req or s):byte(2)]
    if not row then return UNKNOWN end
    local n = row.reply_length(req, s)
    if type(n) ~= "number" then return n end
    return n + prefix
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
    else
        n = request and reply_length(request, s) or UNKNOWN
        -- Rules that need nothing of the request frame a reply on its own.
        if n == UNKNOWN then n = reply_length(nil, s) end
    end
    if n == UNKNOWN then n = crc_delimited_length(s) end
    if n == MORE and #s >= MAX_FRAME then return false end
    return n
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

-- Requests and replies ----------------------------------------------------------------
-- Per conversation (the capture file's one link, or one TCP connection) the recent
-- requests, each answered or not. A reply answers the newest unanswered request that
-- it fits (same modules and function): the client sends one request at a time, but a
-- retry may go out before a late reply comes in. A reply marked late answers the newest
-- earlier request it answers as the library judges (answers()), an unanswered one first. What the first pass learns is kept
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

-- Whether a whole reply answers a request along its whole route, as the library judges
-- it: the modules and function (or an exception from one of them), the length the
-- request asks for, and the fields a write's confirmation repeats (its row's echo).
local function answers(request, reply)
    if not fits(request, reply) then return false end
    local n = reply_length(request, reply)
    if type(n) == "number" and n ~= #reply then return false end
    local fi = function_index(request)
    if not fi or #reply < fi or band(reply:byte(fi), EXCEPTION_BIT) ~= 0 then return true end
    local row = FUNCTIONS[request:byte(fi)]
    if not row or not row.echo then return true end
    local last = math.min(fi + row.echo, #request - CRC_SIZE)
    return #reply >= last and reply:sub(fi + 1, last) == request:sub(fi + 1, last)
end

-- The newest request that test(request bytes, reply) accepts and that has no reply yet,
-- and whether there was one; else the newest it accepts.
local function newest_request(conv, reply, test)
    local newest
    for i = #conv.requests, 1, -1 do
        local r = conv.requests[i]
        if test(r.bytes, reply) then
            if not r.answered then return r, true end
            newest = newest or r
        end
    end
    return newest, false
end

-- A late reply: the newest earlier request it answers that has no reply yet, else the
-- newest it answers. Identical requests cannot be told apart; this gives each its reply.
local function find_answered_request(conv, reply)
    return (newest_request(conv, reply, answers))
end

local function find_request(conv, reply)
    local r, unanswered = newest_request(conv, reply, fits)
    if unanswered then return r, true end
    -- No unanswered request fits: the reply still needs one for its length.
    return r or conv.requests[#conv.requests], false
end

-- What a reply PDU answers: {request = bytes, frame = number, time = seconds,
-- answers = whether it is that request's reply}. pairing is that of the reply's mark.
local function reply_context(pinfo, conv, pdu_key, reply, pairing)
    local context = pairs_by_pdu[pdu_key]
    if context or pinfo.visited then return context or {} end
    local r, answered
    if pairing == "late" then
        r = find_answered_request(conv, reply)
        answered = r ~= nil
    elseif pairing ~= "none" then
        r, answered = find_request(conv, reply)
    end
    context = r and { request = r.bytes, frame = r.frame, time = r.time, entry = r, answers = answered } or {}
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
    -- A request answered again (a late copy) keeps its first reply.
    reply_of_request[context.entry.key] = reply_of_request[context.entry.key] or pinfo.number
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
    local mark
    if direction_range then
        tree:add(f.direction, direction_range)
        local value = rshift(band(direction_range:uint(), MARK_BITS), 1)
        mark = MARKS[value]
        if value ~= 0 then tree:add(f.mark, direction_range):add_proto_expert_info(mark and mark.expert or ef.mark) end
    else
        tree:add(f.direction, direction):set_generated()
    end
    local marked = mark and (" [" .. mark.name .. "]") or ""

    if mark and mark.unframed then
        tree:add(f.data, tvb(offset, length))
        tree:append_text(", " .. mark.name)
        return string.format("Reply: %s", amount(length, "byte")) .. marked
    end
    if length < MIN_FRAME then
        tree:add(f.data, tvb(offset, length))
        tree:add_proto_expert_info(ef.short)
        return "frame too short" .. marked
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
    local row = FUNCTIONS[code]
    local name = row and row.name or ("Function " .. code)
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
        local parser = row and (direction == REQUEST and row.request_fields or row.reply_fields)
        text = name .. (parser and parser(c, tree, request_facts(context and context.request), code) or "")
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
    elseif not (mark and mark.pairing == "none") then
        tree:add_proto_expert_info(ef.unmatched)
    end

    local label = direction == REQUEST and "Request" or "Reply"
    tree:append_text(string.format(", %s %s: %s%s", label, path, name, marked))
    return string.format("%s %s: %s%s", label, path, text, marked)
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
    local direction = band(tvb(0, 1):uint(), DIRECTION_BIT)
    local mark = MARKS[rshift(band(tvb(0, 1):uint(), MARK_BITS), 1)]
    local conv = conversation("capture")
    local key = tostring(pinfo.number)
    local length = tvb:len() - 1
    local context
    if direction == REPLY then
        context = reply_context(pinfo, conv, key, tvb:raw(1, length), mark and mark.pairing)
    end
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
        -- A request of another module or function would give the reply a wrong length.
        local request = context and context.request
        if request and not fits(request, available) then request = nil end
        local length = stream_frame_length(available, direction, request)
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
