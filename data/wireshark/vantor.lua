-- Wireshark dissector for the captures the Vantor Protocol Simulator writes (pcapng, link type
-- LINKTYPE_USER5 = 152, one packet per block read or run written, direction in epb_flags).
--
-- Each direction's bytes are cut into frames exactly as the simulator's traffic view cuts them:
-- a frame starts at SOH and ends at its CR, and may span several packets (it is shown in the
-- packet that completes it, over the reassembled bytes); bytes outside frames are "stray".
-- Packets the simulator wrote outside its frames (comment "written outside the frames") are cut
-- on their own. Decoding runs once, in packet order, on the first pass; later passes (clicking
-- around in the window) show what was found then.

local vantor = Proto("vantor", "Vantor Protocol")

local SOH, STX, ETX, ACK, CR, DLE, NAK = 0x01, 0x02, 0x03, 0x06, 0x0D, 0x10, 0x15
local MAX_TEXT = 512        -- text bytes a receiver keeps; the next one is a size error
local MAX_ENTRY = 4096      -- a run of stray bytes is cut into entries of this size
local LOOSE = "written outside the frames"

-- Status codes and the texts the simulator's received list shows for them.
local STATUS = {
    [0] = "OK", "NAK", "Bad SOH", "Bad TYPE", "Bad ID", "Bad STX", "Bad ETX", "Bad BCC",
    "Timeout", "Bad Size", "Unknown Error", "Comm Disabled",
}
local S_OK, S_NAK, S_BAD_STX, S_BAD_BCC, S_BAD_SIZE = 0, 1, 5, 7, 9

local f = {
    direction = ProtoField.string("vantor.direction", "Direction"),
    kind = ProtoField.string("vantor.kind", "Kind"),
    type = ProtoField.string("vantor.type", "Type"),
    text = ProtoField.string("vantor.text", "Text"),
    bcc = ProtoField.string("vantor.bcc", "BCC (received)"),
    bcc_calc = ProtoField.string("vantor.bcc_calc", "BCC (computed)"),
    status = ProtoField.string("vantor.status", "Status"),
    length = ProtoField.uint32("vantor.length", "Length"),
    first = ProtoField.framenum("vantor.first_packet", "Starts in packet"),
    continued = ProtoField.framenum("vantor.continued_in", "Continued in packet"),
    data = ProtoField.bytes("vantor.data", "Bytes"),
}
vantor.fields = { f.direction, f.kind, f.type, f.text, f.bcc, f.bcc_calc, f.status, f.length,
                  f.first, f.continued, f.data }

local e = {
    bad_bcc = ProtoExpert.new("vantor.bad_bcc", "Bad BCC", expert.group.CHECKSUM, expert.severity.ERROR),
    bad_stx = ProtoExpert.new("vantor.bad_stx", "Bad STX", expert.group.MALFORMED, expert.severity.ERROR),
    bad_size = ProtoExpert.new("vantor.overlong", "Text longer than 512 bytes", expert.group.MALFORMED,
                               expert.severity.ERROR),
    stray = ProtoExpert.new("vantor.stray", "Bytes outside any frame", expert.group.PROTOCOL, expert.severity.WARN),
    nak = ProtoExpert.new("vantor.nak", "Negative acknowledgement", expert.group.RESPONSE_CODE,
                          expert.severity.NOTE),
    status = ProtoExpert.new("vantor.bad_status", "Frame not received cleanly", expert.group.MALFORMED,
                             expert.severity.ERROR),
}
vantor.experts = { e.bad_bcc, e.bad_stx, e.bad_size, e.stray, e.nak, e.status }

local fx_direction = Field.new("frame.packet_flags_direction")
local fx_comment = Field.new("frame.comment")
local fx_interface = Field.new("frame.interface_id")

-- Control characters as the traffic view shows them.
local CONTROL = { [0] = "NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL", "BS", "HT", "LF", "VT", "FF",
                  "CR", "SO", "SI", "DLE", "DC1", "DC2", "DC3", "DC4", "NAK", "SYN", "ETB", "CAN", "EM", "SUB",
                  "ESC", "FS", "GS", "RS", "US" }

local function shown(bytes)
    return (bytes:gsub("[^\32-\126]", function(c)
        local b = c:byte()
        if b < 32 then return "<" .. CONTROL[b] .. ">" end
        return string.format("<x%02X>", b)
    end))
end

-- One direction of one link: the segmenter's and the receiver's state between packets.
local function new_stream()
    return { in_frame = false, bytes = {}, stray = {}, stray_first = nil, first = nil, rx = nil }
end

local function new_receiver()
    return { state = "type", status = S_OK, response = false, type = 0, text = {}, sum = 0,
             calc = "", rcvd = "", digit = 0, bcc_from = nil }
end

-- Feeds one byte of a frame (after its SOH); returns true when the frame is complete. The
-- checks and their order are those of the simulator's receiver, so the statuses agree.
local function receive(r, b, at)
    local s = r.state
    if s == "text" then
        if #r.text >= MAX_TEXT then
            r.status, r.state = S_BAD_SIZE, "cr"
        elseif b == DLE then
            r.sum = (r.sum + DLE) % 256
            r.state = "escape"
        elseif b == ETX then
            r.calc = string.format("%03d", r.sum)
            r.state, r.bcc_from = "bcc", at + 1
        else
            r.text[#r.text + 1] = string.char(b)
            r.sum = (r.sum + b) % 256
        end
    elseif s == "type" then
        r.type, r.sum, r.state = b, b, "start"
    elseif s == "start" then
        if b == STX then
            r.state = "text"
        elseif b == ACK then
            r.response, r.state = true, "stx"
        elseif b == NAK then
            r.response, r.status, r.state = true, S_NAK, "stx"
        else
            r.status, r.state = S_BAD_STX, "cr"
        end
    elseif s == "stx" then
        if b == STX then r.state = "text" else r.status, r.state = S_BAD_STX, "cr" end
    elseif s == "escape" then
        r.text[#r.text + 1] = string.char(b)
        r.sum = (r.sum + b) % 256
        r.state = "text"
    elseif s == "bcc" then
        if b == CR then return true end
        r.rcvd = r.rcvd .. string.char(b)
        if string.char(b) ~= r.calc:sub(r.digit + 1, r.digit + 1) then
            r.status, r.state = S_BAD_BCC, "cr"
        else
            r.digit = r.digit + 1
            if r.digit > 2 then r.state = "cr" end
        end
    elseif s == "cr" then
        return b == CR
    end
    return false
end

local results = {}   -- packet number -> what it holds, found on the first pass
local streams = {}   -- "interface/direction" -> stream
local pending = {}   -- stream key -> packet numbers holding the start of the frame in progress

-- The stray run in progress as an entry (it never spans packets: each packet's run ends with it).
local function take_stray(st, packet, out)
    local bytes = table.concat(st.stray)
    out[#out + 1] = { kind = "Stray", bytes = bytes, text = shown(bytes), first = packet, offset = st.stray_first }
    st.stray, st.stray_first = {}, nil
end

local function frame_entry(st)
    local r = st.rx
    local bytes = table.concat(st.bytes)
    local kind = "Message"
    if r.response then kind = bytes:byte(3) == NAK and "NAK" or "ACK" end
    local bcc = ""
    if r.bcc_from then bcc = bytes:sub(r.bcc_from, #bytes - 1) end
    return { kind = kind, bytes = bytes, type = string.char(r.type), text = shown(table.concat(r.text)),
             status = r.status, bcc = bcc, bcc_calc = r.calc, first = st.first }
end

-- Cuts one packet's bytes; returns its entries in the order they completed.
local function cut(st, data, packet)
    local out = {}
    for i = 1, #data do
        local b = data:byte(i)
        if not st.in_frame then
            if b ~= SOH then
                if #st.stray == 0 then st.stray_first = i - 1 end
                st.stray[#st.stray + 1] = string.char(b)
                if #st.stray >= MAX_ENTRY then take_stray(st, packet, out) end
                goto next
            end
            if #st.stray > 0 then take_stray(st, packet, out) end
            st.in_frame, st.bytes, st.first, st.start = true, {}, packet, i - 1
            st.rx = new_receiver()
            st.bytes[1] = string.char(b)
            goto next
        end
        st.bytes[#st.bytes + 1] = string.char(b)
        if receive(st.rx, b, #st.bytes) then
            local entry = frame_entry(st)
            if entry.first == packet then entry.offset = st.start end
            out[#out + 1] = entry
            st.in_frame, st.bytes, st.rx = false, {}, nil
        end
        ::next::
    end
    -- A run of stray bytes shows with the packet it came in rather than waiting for a frame.
    if #st.stray > 0 then take_stray(st, packet, out) end
    return out
end

local function first_pass(tvb, pinfo, inbound, interface, loose)
    local key = interface .. (inbound and "/rx" or "/tx")
    local data = tvb:raw()
    local found
    if loose then
        -- Neither joined to nor cutting into the frames around it: cut alone, and whatever
        -- frame it leaves unfinished counts as stray bytes.
        local st = new_stream()
        found = cut(st, data, pinfo.number)
        if st.in_frame then
            local bytes = table.concat(st.bytes)
            found[#found + 1] = { kind = "Stray", bytes = bytes, text = shown(bytes), first = pinfo.number,
                                  offset = st.start }
        end
    else
        local st = streams[key]
        if not st then
            st = new_stream()
            streams[key] = st
        end
        local was_in_frame, first_before = st.in_frame, st.first
        found = cut(st, data, pinfo.number)
        -- The packets a frame started in or ran through learn where it was completed.
        if was_in_frame and (not st.in_frame or st.first ~= first_before) then
            for _, n in ipairs(pending[key] or {}) do
                if results[n] then results[n].continued = pinfo.number end
            end
            pending[key] = nil
        end
        if st.in_frame then
            if st.first == pinfo.number or not pending[key] then
                pending[key] = { pinfo.number }
            else
                table.insert(pending[key], pinfo.number)
            end
        end
    end
    return { entries = found }
end

local function describe(entry, direction)
    local line = direction .. " " .. entry.kind
    if entry.kind ~= "Stray" then line = line .. " " .. shown(entry.type) end
    line = line .. " '" .. entry.text .. "'"
    if entry.kind ~= "Stray" and entry.status ~= S_OK and entry.status ~= S_NAK then
        line = line .. " [" .. STATUS[entry.status] .. "]"
    end
    return line
end

function vantor.dissector(tvb, pinfo, tree)
    local comments = {}
    for _, c in ipairs({ fx_comment() }) do comments[#comments + 1] = c.value end
    local dir = fx_direction()
    pinfo.cols.protocol = "Vantor"

    if tvb:len() == 0 or not dir or (dir.value ~= 1 and dir.value ~= 2) then
        -- A link event: its comment says what happened.
        pinfo.cols.info = #comments > 0 and table.concat(comments, "; ") or "(no bytes)"
        tree:add(vantor, tvb())
        return 0
    end
    local inbound = dir.value == 1
    local direction = inbound and "Rx" or "Tx"

    local found = results[pinfo.number]
    if not pinfo.visited and not found then
        local loose = false
        for _, c in ipairs(comments) do
            if c:find(LOOSE, 1, true) then loose = true end
        end
        local iface = fx_interface()
        found = first_pass(tvb, pinfo, inbound, iface and iface.value or 0, loose)
        results[pinfo.number] = found
    end
    if not found then return 0 end

    local info = {}
    for _, entry in ipairs(found.entries) do
        local range
        if entry.offset ~= nil then
            range = tvb(entry.offset, #entry.bytes)
        else
            range = ByteArray.new(entry.bytes, true):tvb("Reassembled frame")()
        end
        local item = tree:add(vantor, range)
        item:append_text(": " .. describe(entry, direction))
        item:add(f.direction, range, direction)
        item:add(f.kind, range, entry.kind)
        if entry.kind ~= "Stray" then
            item:add(f.type, range, entry.type)
            item:add(f.status, range, STATUS[entry.status] or tostring(entry.status))
        end
        item:add(f.text, range, entry.text)
        if entry.kind ~= "Stray" then
            item:add(f.bcc, range, entry.bcc)
            item:add(f.bcc_calc, range, entry.bcc_calc)
        end
        item:add(f.length, range, #entry.bytes)
        if entry.first ~= pinfo.number then item:add(f.first, range, entry.first) end
        item:add(f.data, range)
        if entry.kind == "Stray" then
            item:add_proto_expert_info(e.stray, #entry.bytes .. " bytes outside any frame")
        elseif entry.status == S_BAD_BCC then
            item:add_proto_expert_info(e.bad_bcc, "Bad BCC: received " .. entry.bcc .. ", computed " .. entry.bcc_calc)
        elseif entry.status == S_BAD_STX then
            item:add_proto_expert_info(e.bad_stx)
        elseif entry.status == S_BAD_SIZE then
            item:add_proto_expert_info(e.bad_size)
        elseif entry.status == S_NAK or entry.kind == "NAK" then
            item:add_proto_expert_info(e.nak)
        elseif entry.status ~= S_OK then
            item:add_proto_expert_info(e.status, STATUS[entry.status] or tostring(entry.status))
        end
        info[#info + 1] = describe(entry, direction)
    end
    if found.continued then
        local item = tree:add(vantor, tvb())
        item:append_text(": part of a frame")
        item:add(f.continued, tvb(), found.continued)
        info[#info + 1] = direction .. " (frame continues in packet " .. found.continued .. ")"
    elseif #found.entries == 0 then
        tree:add(vantor, tvb()):append_text(": part of a frame")
        info[#info + 1] = direction .. " (part of a frame)"
    end
    pinfo.cols.info = table.concat(info, "; ")
    return tvb:len()
end

function vantor.init()
    results, streams, pending = {}, {}, {}
end

-- Our captures' link type: LINKTYPE_USER5 (152), Wireshark's "USER 5" encapsulation.
local encaps = wtap_encaps or wtap
DissectorTable.get("wtap_encap"):add(encaps.USER5, vantor)
