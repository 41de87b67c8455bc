-- Wireshark dissector for the datagrams of busgated: a 16-byte header ("LS", mark 0x01,
-- reserved, 64-bit sequence, 32-bit record count) followed by event records (type 0xC0),
-- lifesign records (type 0xC1) and loss records (type 0xC2), all big-endian. Registered on UDP port 57117 and as a
-- heuristic dissector for any other UDP port.

local busgate = Proto("busgate", "Busgate FIP capture stream")

local HEADER_SIZE = 16
local RECORD_MIN_SIZE = 3
local EVENT_HEADER_SIZE = 30
local LIFESIGN_SIZE = 323
local TYPE_EVENT = 0xC0
local TYPE_LIFESIGN = 0xC1
local TYPE_LOSS = 0xC2
local LOSS_MIN_SIZE = 47
local DEFAULT_PORT = 57117

local CONTROL_NAMES = {
    [0x03] = "ID_DAT", [0x05] = "ID_MSG", [0x09] = "ID_RQ1", [0x29] = "ID_RQ2",
    [0x02] = "RP_DAT", [0x06] = "RP_DAT_MSG", [0x0A] = "RP_DAT_RQ1", [0x0E] = "RP_DAT_RQ1_MSG",
    [0x2A] = "RP_DAT_RQ2", [0x2E] = "RP_DAT_RQ2_MSG", [0x08] = "RP_RQ1", [0x28] = "RP_RQ2",
    [0x04] = "RP_MSG_NOACK", [0x14] = "RP_MSG_ACK_E", [0x94] = "RP_MSG_ACK_O",
    [0x10] = "RP_ACK_P_E", [0x30] = "RP_ACK_N_E", [0x40] = "RP_FIN", [0x90] = "RP_ACK_P_O",
    [0xB0] = "RP_ACK_N_O",
}
local IDENTIFIER_CONTROLS = { [0x03] = true, [0x05] = true, [0x09] = true, [0x29] = true }

local RECORD_TYPES = { [TYPE_EVENT] = "event", [TYPE_LIFESIGN] = "lifesign", [TYPE_LOSS] = "loss" }

local f = busgate.fields
f.magic = ProtoField.string("busgate.magic", "Magic")
f.mark = ProtoField.uint8("busgate.mark", "Mark", base.HEX)
f.reserved = ProtoField.uint8("busgate.reserved", "Reserved", base.HEX)
f.seq = ProtoField.uint64("busgate.seq", "Sequence", base.DEC)
f.count = ProtoField.uint32("busgate.count", "Record count", base.DEC)
f.record_type = ProtoField.uint8("busgate.record.type", "Record type", base.HEX, RECORD_TYPES)
f.record_length = ProtoField.uint16("busgate.record.length", "Record length", base.DEC)

f.evt_index = ProtoField.uint64("busgate.event.index", "Frame index", base.DEC)
f.evt_timestamp = ProtoField.uint64("busgate.event.timestamp", "Time stamp (us)", base.DEC)
f.evt_time_a = ProtoField.uint24("busgate.event.time_a", "Time count A", base.DEC)
f.evt_time_b = ProtoField.uint24("busgate.event.time_b", "Time count B", base.DEC)
f.evt_status = ProtoField.uint16("busgate.event.status", "Status", base.HEX)
f.evt_rx_errors = ProtoField.uint16("busgate.event.rx_errors", "Reception error bits", base.HEX, nil, 0x000F)
f.evt_flags = ProtoField.uint16("busgate.event.flags", "Flag bits 4-6", base.HEX, nil, 0x0070)
f.evt_fcs_mode = ProtoField.uint16("busgate.event.fcs_mode", "FCS mode", base.DEC, nil, 0x1800)
f.evt_period_code = ProtoField.uint16("busgate.event.period_code", "Period code", base.DEC, nil, 0xE000)
f.evt_control = ProtoField.uint8("busgate.event.control", "Control byte", base.HEX)
f.evt_control_name = ProtoField.string("busgate.event.control_name", "Control byte name")
f.evt_identifier = ProtoField.uint16("busgate.event.identifier", "Identifier", base.HEX)
f.evt_frame_length = ProtoField.uint16("busgate.event.frame_length", "Frame length", base.DEC)
f.evt_data_length = ProtoField.uint16("busgate.event.data_length", "Data length", base.DEC)
f.evt_frame = ProtoField.bytes("busgate.event.frame", "Frame")
f.evt_fcs = ProtoField.uint16("busgate.event.fcs", "FCS carried", base.HEX)
f.evt_fcs_computed = ProtoField.uint16("busgate.event.fcs_computed", "FCS computed", base.HEX)
f.evt_fcs_status = ProtoField.string("busgate.event.fcs_status", "Frame check")

-- Lifesign fields: name, offset, size, kind ("u", "i" signed, "f" float, "t" time point).
local LIFESIGN_LAYOUT = {
    { "counter", 7, 4, "u" }, { "created_us", 11, 8, "t" }, { "sn", 19, 4, "x" },
    { "cpu_load", 23, 4, "f" }, { "cpu_temperature", 27, 4, "f" },
    { "storage_total", 31, 4, "u" }, { "storage_used", 35, 4, "u" }, { "storage_available", 39, 4, "u" },
    { "storage_used_pct", 43, 4, "f" },
    { "ram_total", 47, 4, "u" }, { "ram_used", 51, 4, "u" }, { "ram_available", 55, 4, "u" },
    { "ram_used_pct", 59, 4, "f" },
    { "buf_total", 63, 4, "u" }, { "buf_used", 67, 4, "u" }, { "buf_free", 71, 4, "u" },
    { "buf_used_pct", 75, 4, "f" },
    { "net_is_active", 79, 1, "u" },
    { "net_total_act_duration_us", 80, 8, "i" }, { "net_total_inact_duration_us", 88, 8, "i" },
    { "net_last_start_date_us", 96, 8, "t" }, { "net_last_stop_date_us", 104, 8, "t" },
    { "net_act_duration_us", 112, 8, "i" }, { "net_inact_duration_us", 120, 8, "i" },
    { "net_act_loss_cnt", 128, 2, "u" },
    { "net_pkt_rcvd_cnt", 134, 4, "u" }, { "net_pkt_rcvd_cnt_per_sec", 138, 4, "u" },
    { "net_bytes_rcvd_cnt_per_sec", 146, 4, "u" },
    { "net_pkt_sent_cnt", 154, 4, "u" }, { "net_pkt_sent_cnt_per_sec", 158, 4, "u" },
    { "net_bytes_sent_cnt_per_sec", 166, 4, "u" },
    { "card_is_active", 170, 1, "u" },
    { "card_total_act_duration_us", 171, 8, "i" }, { "card_total_inact_duration_us", 179, 8, "i" },
    { "card_last_start_date_us", 187, 8, "t" }, { "card_last_stop_date_us", 195, 8, "t" },
    { "card_last_act_duration_us", 203, 8, "i" }, { "card_last_inact_duration_us", 211, 8, "i" },
    { "card_act_loss_cnt", 219, 2, "u" },
    { "card_frame_rcvd_cnt", 225, 4, "u" }, { "card_frame_rcvd_cnt_per_sec", 229, 4, "u" },
    { "card_bytes_rcvd_cnt_per_sec", 237, 4, "u" },
    { "card_fcs_mode", 241, 1, "u" }, { "card_aux", 242, 1, "x" },
    { "status_b0_cnt", 243, 8, "u" }, { "status_b12_cnt", 251, 8, "u" }, { "status_b3_cnt", 259, 8, "u" },
    { "unknown_ctrl_cnt", 267, 8, "u" }, { "fcs_err_cnt", 275, 8, "u" }, { "pdu_type_err_cnt", 283, 8, "u" },
    { "length_err_cnt", 291, 8, "u" }, { "status_b6_cnt", 299, 8, "u" }, { "status_b5_cnt", 307, 8, "u" },
    { "status_b4_cnt", 315, 8, "u" },
}

local UNSIGNED_FIELDS = { [1] = ProtoField.uint8, [2] = ProtoField.uint16, [4] = ProtoField.uint32, [8] = ProtoField.uint64 }
local lifesign_fields = {}
for _, entry in ipairs(LIFESIGN_LAYOUT) do
    local name, size, kind = entry[1], entry[3], entry[4]
    local abbrev = "busgate.lifesign." .. name
    local field
    if kind == "f" then
        field = ProtoField.float(abbrev, name)
    elseif kind == "i" or kind == "t" then
        field = ProtoField.int64(abbrev, name, base.DEC)
    elseif kind == "x" then
        field = UNSIGNED_FIELDS[size](abbrev, name, base.HEX)
    else
        field = UNSIGNED_FIELDS[size](abbrev, name, base.DEC)
    end
    lifesign_fields[name] = field
    f["lifesign_" .. name] = field
end

-- Loss record fields: name, offset, size, kind as above. Later gateways may append fields.
local LOSS_LAYOUT = {
    { "counter", 3, 4, "u" }, { "created_us", 7, 8, "t" }, { "card_lost_frames", 15, 8, "u" },
    { "queue_refused", 23, 8, "u" }, { "send_failed_datagrams", 31, 8, "u" }, { "send_failed_records", 39, 8, "u" },
}
local loss_fields = {}
for _, entry in ipairs(LOSS_LAYOUT) do
    local name, size, kind = entry[1], entry[3], entry[4]
    local abbrev = "busgate.loss." .. name
    local field
    if kind == "t" then
        field = ProtoField.int64(abbrev, name, base.DEC)
    else
        field = UNSIGNED_FIELDS[size](abbrev, name, base.DEC)
    end
    loss_fields[name] = field
    f["loss_" .. name] = field
end

local ef_malformed = ProtoExpert.new("busgate.malformed", "Malformed busgate datagram", expert.group.MALFORMED,
                                     expert.severity.ERROR)
local ef_fcs_bad = ProtoExpert.new("busgate.event.fcs_bad", "Frame check sequence is wrong", expert.group.CHECKSUM,
                                   expert.severity.WARN)
busgate.experts = { ef_malformed, ef_fcs_bad }

-- Frame check: CRC-16 MSB first with a 256-entry table, complemented at the end.
local function make_table(polynomial)
    local t = {}
    for i = 0, 255 do
        local c = bit32.lshift(i, 8)
        for _ = 1, 8 do
            if bit32.band(c, 0x8000) ~= 0 then
                c = bit32.bxor(bit32.band(bit32.lshift(c, 1), 0xFFFF), polynomial)
            else
                c = bit32.band(bit32.lshift(c, 1), 0xFFFF)
            end
        end
        t[i] = c
    end
    return t
end

local FCS_MODES = {
    [1] = { table = make_table(0x1021), init = 0x0000 },
    [2] = { table = make_table(0x1DCF), init = 0xFFFF },
}

local function compute_fcs(mode, tvb, offset, length)
    local m = FCS_MODES[mode]
    if not m then return nil end
    local c = m.init
    for i = 0, length - 1 do
        local b = tvb(offset + i, 1):uint()
        c = bit32.bxor(bit32.band(bit32.lshift(c, 8), 0xFFFF), m.table[bit32.bxor(bit32.rshift(c, 8), b)])
    end
    return bit32.band(bit32.bnot(c), 0xFFFF)
end

local function time_text(range)
    local us = range:int64()
    local seconds = (us / 1000000):tonumber()
    local micros = (us % 1000000):tonumber()
    if micros < 0 then
        seconds = seconds - 1
        micros = micros + 1000000
    end
    return os.date("!%Y-%m-%d %H:%M:%S", seconds) .. string.format(".%06d", micros)
end

local function dissect_event(tvb, tree, offset, length)
    tree:add(f.evt_index, tvb(offset + 5, 8))
    tree:add(f.evt_timestamp, tvb(offset + 13, 8)):append_text(" (" .. time_text(tvb(offset + 13, 8)) .. " UTC)")
    tree:add(f.evt_time_a, tvb(offset + 21, 3))
    tree:add(f.evt_time_b, tvb(offset + 24, 3))
    local status = tvb(offset + 3, 2)
    local status_tree = tree:add(f.evt_status, status)
    status_tree:add(f.evt_rx_errors, status)
    status_tree:add(f.evt_flags, status)
    status_tree:add(f.evt_fcs_mode, status)
    status_tree:add(f.evt_period_code, status)
    local fcs_mode = bit32.rshift(bit32.band(status:uint(), 0x1800), 11)

    local frame = offset + EVENT_HEADER_SIZE
    local n = length - EVENT_HEADER_SIZE
    tree:add(f.evt_frame_length, tvb(offset + 1, 2), n)
    local summary = "event"
    if n == 0 then
        tree:add(f.evt_fcs_status, "short")
        return summary .. " (empty frame)"
    end
    local frame_tree = tree:add(f.evt_frame, tvb(frame, n))
    local control = tvb(frame, 1):uint()
    local name = CONTROL_NAMES[control] or "unknown"
    frame_tree:add(f.evt_control, tvb(frame, 1))
    frame_tree:add(f.evt_control_name, tvb(frame, 1), name)
    summary = string.format("%s idx %s", name, tostring(tvb(offset + 5, 8):uint64()))
    if IDENTIFIER_CONTROLS[control] and n >= 3 then
        frame_tree:add(f.evt_identifier, tvb(frame + 1, 2))
        summary = summary .. string.format(" id 0x%04x", tvb(frame + 1, 2):uint())
    end
    if n < 3 then
        frame_tree:add(f.evt_fcs_status, "short")
        return summary
    end
    frame_tree:add(f.evt_data_length, tvb(frame, n), n - 3)
    local carried = tvb(frame + n - 2, 2)
    local fcs_item = frame_tree:add(f.evt_fcs, carried)
    local computed = compute_fcs(fcs_mode, tvb, frame, n - 2)
    if not computed then
        frame_tree:add(f.evt_fcs_status, carried, "no_mode")
        return summary
    end
    frame_tree:add(f.evt_fcs_computed, carried, computed)
    if computed == carried:uint() then
        frame_tree:add(f.evt_fcs_status, carried, "ok")
    else
        frame_tree:add(f.evt_fcs_status, carried, "bad")
        fcs_item:add_proto_expert_info(ef_fcs_bad)
        summary = summary .. " FCS BAD"
    end
    return summary
end

local function dissect_lifesign(tvb, tree, offset)
    for _, entry in ipairs(LIFESIGN_LAYOUT) do
        local name, at, size, kind = entry[1], entry[2], entry[3], entry[4]
        local range = tvb(offset + at, size)
        local item
        if kind == "i" or kind == "t" then
            item = tree:add(lifesign_fields[name], range, range:int64())
        else
            item = tree:add(lifesign_fields[name], range)
        end
        if kind == "t" then item:append_text(" (" .. time_text(range) .. ")") end
    end
    return "lifesign " .. tvb(offset + 7, 4):uint()
end

local function dissect_loss(tvb, tree, offset)
    for _, entry in ipairs(LOSS_LAYOUT) do
        local name, at, size, kind = entry[1], entry[2], entry[3], entry[4]
        local range = tvb(offset + at, size)
        if kind == "t" then
            tree:add(loss_fields[name], range, range:int64()):append_text(" (" .. time_text(range) .. ")")
        else
            tree:add(loss_fields[name], range)
        end
    end
    return string.format("loss %d: card %s, queue %s, send %s", tvb(offset + 3, 4):uint(),
                         tostring(tvb(offset + 15, 8):uint64()), tostring(tvb(offset + 23, 8):uint64()),
                         tostring(tvb(offset + 39, 8):uint64()))
end

-- What is wrong with the datagram, or nil when its framing is sound.
local function framing_error(tvb)
    local size = tvb:len()
    local offset = HEADER_SIZE
    local number = 0
    while offset < size do
        local left = size - offset
        if left < RECORD_MIN_SIZE then
            return string.format("record %d at offset %d: %d bytes left", number, offset, left)
        end
        local length = tvb(offset + 1, 2):uint()
        local kind = tvb(offset, 1):uint()
        if length < RECORD_MIN_SIZE then
            return string.format("record %d at offset %d: length %d below 3", number, offset, length)
        end
        if length > left then
            return string.format("record %d at offset %d: length %d runs past the end", number, offset, length)
        end
        if kind == TYPE_EVENT and length < EVENT_HEADER_SIZE then
            return string.format("record %d at offset %d: event record shorter than its header", number, offset)
        end
        if kind == TYPE_LIFESIGN and length ~= LIFESIGN_SIZE then
            return string.format("record %d at offset %d: lifesign record of %d bytes", number, offset, length)
        end
        if kind == TYPE_LOSS and length < LOSS_MIN_SIZE then
            return string.format("record %d at offset %d: loss record of %d bytes", number, offset, length)
        end
        offset = offset + length
        number = number + 1
    end
    local count = tvb(12, 4):uint()
    if number ~= count then
        return string.format("record count %d in the header, but %d records in the payload", count, number)
    end
    return nil
end

local function looks_like_busgate(tvb)
    return tvb:len() >= HEADER_SIZE and tvb(0, 2):string() == "LS" and tvb(2, 1):uint() == 0x01 and
               tvb(3, 1):uint() == 0x00
end

function busgate.dissector(tvb, pinfo, tree)
    if tvb:len() < HEADER_SIZE then return 0 end
    pinfo.cols.protocol = "BUSGATE"
    local root = tree:add(busgate, tvb())
    root:add(f.magic, tvb(0, 2))
    root:add(f.mark, tvb(2, 1))
    root:add(f.reserved, tvb(3, 1))
    root:add(f.seq, tvb(4, 8))
    root:add(f.count, tvb(12, 4))
    local sequence = tostring(tvb(4, 8):uint64())
    local problem = nil
    if not looks_like_busgate(tvb) then
        problem = "bad magic, mark or reserved byte"
    else
        problem = framing_error(tvb)
    end
    if problem then
        root:add_proto_expert_info(ef_malformed, problem)
        pinfo.cols.info = "seq " .. sequence .. " malformed: " .. problem
        return tvb:len()
    end

    local summaries = {}
    local offset = HEADER_SIZE
    local number = 0
    while offset < tvb:len() do
        local kind = tvb(offset, 1):uint()
        local length = tvb(offset + 1, 2):uint()
        local record_tree = root:add(tvb(offset, length), string.format("Record %d", number))
        record_tree:add(f.record_type, tvb(offset, 1))
        record_tree:add(f.record_length, tvb(offset + 1, 2))
        local summary
        if kind == TYPE_EVENT then
            summary = dissect_event(tvb, record_tree, offset, length)
        elseif kind == TYPE_LIFESIGN then
            summary = dissect_lifesign(tvb, record_tree, offset)
        elseif kind == TYPE_LOSS then
            summary = dissect_loss(tvb, record_tree, offset)
        else
            summary = string.format("type 0x%02x", kind)
        end
        record_tree:append_text(": " .. summary)
        if number < 3 then summaries[#summaries + 1] = summary end
        offset = offset + length
        number = number + 1
    end
    local info = string.format("seq %s, %d records", sequence, number)
    if #summaries > 0 then info = info .. ": " .. table.concat(summaries, "; ") end
    if number > #summaries then info = info .. "; ..." end
    pinfo.cols.info = info
    return tvb:len()
end

local function heuristic(tvb, pinfo, tree)
    if not looks_like_busgate(tvb) then return false end
    busgate.dissector(tvb, pinfo, tree)
    return true
end

DissectorTable.get("udp.port"):add(DEFAULT_PORT, busgate)
busgate:register_heuristic("udp", heuristic)
