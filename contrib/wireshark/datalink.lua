-- datalink.lua - a Wireshark/tshark dissector for libDataLink links: the
-- listener's preamble, every unit of the event stream with its header, the
-- collector's acknowledgements matched to the units they answer, and stray
-- bytes between units.
--
--   tshark -X lua_script:datalink.lua -r capture.pcap -Y datalink
--
-- Links are found by a TCP heuristic (a preamble or a pattern at the start of
-- a segment), on the ports of the "Ports" preference, or by Decode As
-- (tshark -d tcp.port==5010,datalink).

local proto = Proto("datalink", "DataLink event stream")

-- The preamble as a little-endian read of its four bytes: which byte order
-- the listener's host has, and whether it announced big-endian units.
local PREAMBLES = {
  [0x0A0B0C0D] = { host_little = true, bigend = false },
  [0x0D0C0B0A] = { host_little = false, bigend = false },
  [0x0C0D0E0F] = { host_little = true, bigend = true },
  [0x0F0E0D0C] = { host_little = false, bigend = true },
}

-- Patterns as values in the unit's own byte order.
local PATTERNS = {
  [0xFFEEFFEE] = { kind = "event", header = 36 },
  [0xFFEEFFDD] = { kind = "event", header = 36 },
  [0xFFCCFFCC] = { kind = "event2024", header = 48 },
  [0xFFEEFFCC] = { kind = "slow", header = 12 },
  [0xFFEEFFFF] = { kind = "slow", header = 12 },
}
local PATTERN_NAMES = {
  [0xFFEEFFEE] = "event, older generation",
  [0xFFEEFFDD] = "event, 2010",
  [0xFFCCFFCC] = "event, 2024",
  [0xFFEEFFCC] = "slow data, older generation",
  [0xFFEEFFFF] = "slow data, 2024",
}

local EVENT_TYPES = {
  [0] = "HB", "NORMAL", "BOR", "EOR", "ENV", "UPD", "IMAGE", "WS", "MCP", "WSS", "BL1", "BL2", "BL3", "PG0",
  "PG1", "PG2", "GMD", "PHOTEN", "PHOTWL", "BEAM_ENERGY", "LLRF_ML", "BEAM_ENERGY_BYPASS", "SPECTR_1",
  "SPECTR_2", "SPECTR_3", "SPECTR_4", "SPECTR_5", "TOROID_ML", "28", "29", "30", "31", "EVMAX (no type)",
}

local IMAGE_HEAD_BYTES = 8
local FRAME_HEAD_BYTES = 100
local IMAGE_INTRO_BYTES = IMAGE_HEAD_BYTES + FRAME_HEAD_BYTES
local SPECTRUM_INTRO_BYTES = 56
local WORD_BYTES = 4
local SCAN_LIMIT_BYTES = 200000

local F = {
  preamble = ProtoField.uint32("datalink.preamble", "Preamble", base.HEX),
  mode = ProtoField.string("datalink.mode", "Announced order"),
  unit = ProtoField.uint32("datalink.unit", "Unit"),
  kind = ProtoField.string("datalink.kind", "Kind"),
  order = ProtoField.string("datalink.order", "Byte order"),
  reversed = ProtoField.bool("datalink.reversed", "Reversed pattern"),
  pattern = ProtoField.uint32("datalink.pattern", "Pattern", base.HEX, PATTERN_NAMES),
  length = ProtoField.uint64("datalink.length", "Length (whole unit)"),
  number = ProtoField.uint64("datalink.number", "Number"),
  type = ProtoField.int32("datalink.type", "Type", base.DEC, EVENT_TYPES),
  time = ProtoField.string("datalink.time", "Time stamp"),
  timeup = ProtoField.uint32("datalink.timeup", "Time, coarse"),
  timelow = ProtoField.uint32("datalink.timelow", "Time, millionths"),
  tmask = ProtoField.int32("datalink.tmask", "Trigger mask"),
  status = ProtoField.int32("datalink.status", "Status"),
  num_svr_block = ProtoField.int32("datalink.num_svr_block", "Sub-blocks"),
  fill = ProtoField.bytes("datalink.fill", "Fill"),
  channels = ProtoField.uint32("datalink.channels", "Channels"),
  body = ProtoField.bytes("datalink.body", "Body"),
  body_length = ProtoField.uint32("datalink.body_length", "Body length"),
  ack = ProtoField.int32("datalink.ack", "Acknowledgement", base.DEC, { [0] = "room", [1] = "no room" }),
  request_in = ProtoField.framenum("datalink.request_in", "Header in", base.NONE, frametype.REQUEST),
  response_in = ProtoField.framenum("datalink.response_in", "Acknowledged in", base.NONE, frametype.RESPONSE),
  ack_time = ProtoField.relative_time("datalink.ack_time", "Time to acknowledgement"),
  stray = ProtoField.bytes("datalink.stray", "Stray bytes"),
}

-- The frame head of an image unit and the header of a spectrum unit, every
-- field four bytes wide: name, label, kind.
local FRAME_HEAD = {
  { "width", "Width", "int" }, { "height", "Height", "int" }, { "aoi_width", "AOI width", "int" },
  { "aoi_height", "AOI height", "int" }, { "x_start", "X start", "int" }, { "y_start", "Y start", "int" },
  { "bpp", "Bytes per pixel", "int" }, { "ebitpp", "Effective bits per pixel", "int" },
  { "hbin", "Horizontal binning", "int" }, { "vbin", "Vertical binning", "int" },
  { "source_format", "Source format", "int" }, { "image_format", "Image format", "int" },
  { "frame", "Frame", "uint" }, { "event", "Event", "uint" }, { "scale_x", "Scale x", "float" },
  { "scale_y", "Scale y", "float" }, { "image_rotation", "Rotation", "float" }, { "fspare2", "fspare2", "float" },
  { "fspare3", "fspare3", "float" }, { "fspare4", "fspare4", "float" }, { "image_flags", "Flags", "int" },
  { "ispare2", "ispare2", "int" }, { "ispare3", "ispare3", "int" }, { "ispare4", "ispare4", "int" },
  { "length", "Length", "int" },
}
local SPECTRUM_HEADER = {
  { "i", "i", "int" }, { "f1", "f1", "float" }, { "f2", "f2", "float" }, { "f3", "f3", "float" },
  { "start", "Start", "float" }, { "inc", "Increment", "float" }, { "usec", "Microseconds", "uint" },
  { "sec", "Seconds", "uint" }, { "bnum", "Bunch number", "uint" }, { "bnum_req", "Bunch number requested", "uint" },
  { "event_nm", "Event number", "uint" }, { "error", "Error", "int" },
}
local FIELD_MAKERS = { int = ProtoField.int32, uint = ProtoField.uint32, float = ProtoField.float }
local function word_fields(prefix, list)
  local fields = {}
  for i, entry in ipairs(list) do
    fields[i] = FIELD_MAKERS[entry[3]]("datalink." .. prefix .. "." .. entry[1], entry[2])
  end
  return fields
end
local FRAME_FIELDS = word_fields("image", FRAME_HEAD)
local SPECTRUM_FIELDS = word_fields("spectrum", SPECTRUM_HEADER)

local all_fields = {}
for _, field in pairs(F) do all_fields[#all_fields + 1] = field end
for _, field in ipairs(FRAME_FIELDS) do all_fields[#all_fields + 1] = field end
for _, field in ipairs(SPECTRUM_FIELDS) do all_fields[#all_fields + 1] = field end
proto.fields = all_fields

local E = {
  stray = ProtoExpert.new("datalink.stray_bytes.expert", "stray bytes before pattern", expert.group.MALFORMED,
    expert.severity.WARN),
  short = ProtoExpert.new("datalink.short_length.expert", "length below header size", expert.group.MALFORMED,
    expert.severity.WARN),
  unknown = ProtoExpert.new("datalink.unknown_pattern.expert", "unknown pattern", expert.group.MALFORMED,
    expert.severity.WARN),
  reversed = ProtoExpert.new("datalink.reversed_pattern.expert",
    "reversed pattern: the producer sends the other byte order without a handshake", expert.group.PROTOCOL,
    expert.severity.NOTE),
  refused = ProtoExpert.new("datalink.no_room.expert", "no room: the body is not sent", expert.group.SEQUENCE,
    expert.severity.NOTE),
  unmatched = ProtoExpert.new("datalink.unmatched_ack.expert", "acknowledgement without a unit header",
    expert.group.SEQUENCE, expert.severity.WARN),
}
proto.experts = { E.stray, E.short, E.unknown, E.reversed, E.refused, E.unmatched }

proto.prefs.ports = Pref.range("Ports", "", "TCP ports of DataLink listeners (the heuristic finds links anyway)",
  65535)
proto.prefs.eight_byte_heads = Pref.enum("Units with an event pattern",
  1, "A 36-byte event header, or an image unit when its frame head's length matches; or always spectra",
  { { 1, "auto", 1 }, { 2, "spectrum", 2 } }, false)

local f_tcp_stream = Field.new("tcp.stream")

-- Per-conversation state, built in the first pass in frame order, and one
-- decision per position in a segment, so that later passes (and a GUI that
-- jumps between frames) show exactly what the first pass found.
local conversations = {}
local decisions = {}

function proto.init()
  conversations = {}
  decisions = {}
end

local function conversation(pinfo)
  local stream = f_tcp_stream()
  local key = stream and tostring(stream.value) or (tostring(pinfo.src) .. tostring(pinfo.dst))
  local conv = conversations[key]
  if not conv then
    conv = { units = 0, expect_body = 0, awaiting = {}, first_awaiting = 1, last_awaiting = 0 }
    conversations[key] = conv
  end
  return conv
end

local function u32(range, little) return little and range:le_uint() or range:uint() end
local function i32(range, little) return little and range:le_int() or range:int() end
local function add(tree, field, range, little)
  if little then return tree:add_le(field, range) end
  return tree:add(field, range)
end

-- The pattern at offset in either byte order: its table entry, its value and
-- whether the unit is little-endian; nil when the word is no pattern.
local function pattern_at(tvb, offset)
  local le = tvb(offset, 4):le_uint()
  if PATTERNS[le] then return PATTERNS[le], le, true end
  local be = tvb(offset, 4):uint()
  if PATTERNS[be] then return PATTERNS[be], be, false end
  return nil
end

local function in_port_range(port)
  local ranges = tostring(proto.prefs.ports)
  for piece in ranges:gmatch("[^,]+") do
    local low, high = piece:match("^%s*(%d+)%s*%-%s*(%d+)%s*$")
    if not low then
      low = piece:match("^%s*(%d+)%s*$")
      high = low
    end
    if low and port >= tonumber(low) and port <= tonumber(high) then return true end
  end
  return false
end

-- Which end sent this segment. The first segment decides for the
-- conversation: a preamble comes from the listener, a pattern from the producer.
local function from_listener(conv, tvb, pinfo)
  if not conv.listener_port then
    if in_port_range(pinfo.src_port) then
      conv.listener_port = pinfo.src_port
    elseif in_port_range(pinfo.dst_port) then
      conv.listener_port = pinfo.dst_port
    elseif tvb:len() >= 4 and pattern_at(tvb, 0) then
      conv.listener_port = pinfo.dst_port
    elseif tvb:len() >= 4 and PREAMBLES[tvb(0, 4):le_uint()] then
      conv.listener_port = pinfo.src_port
    else
      conv.listener_port = math.min(pinfo.src_port, pinfo.dst_port)
    end
  end
  return pinfo.src_port == conv.listener_port
end

local function nstime(seconds)
  local whole = math.floor(seconds)
  return NSTime.new(whole, math.floor((seconds - whole) * 1e9 + 0.5))
end

local function decision_key(pinfo, tvb, offset)
  return pinfo.number .. ":" .. tvb:len() .. ":" .. offset
end

---------------------------------------------------------------------------
-- Listener to producer: the preamble once, then 4-byte acknowledgements.

local function decide_listener(tvb, offset, conv, pinfo)
  local preamble = PREAMBLES[tvb(offset, 4):le_uint()]
  if not conv.preamble_seen and preamble then
    conv.preamble_seen = true
    conv.host_little = preamble.host_little
    -- Units travel in network order when big-endian was announced, else
    -- in the producer's order, which should be the listener's.
    conv.units_little = preamble.host_little and not preamble.bigend
    return { what = "preamble", preamble = preamble }
  end
  conv.preamble_seen = true
  local little = conv.host_little
  if little == nil then
    -- No preamble seen: the acknowledgement is 0 or 1 in one of the orders.
    little = tvb(offset, 4):le_uint() <= 1 or tvb(offset, 4):uint() > 1
  end
  -- Headers are answered in the order they arrived; a producer that does
  -- not wait may have sent several before the first answer.
  local unit = conv.awaiting[conv.first_awaiting]
  local d = { what = "ack", little = little, unit = unit }
  if unit then
    conv.awaiting[conv.first_awaiting] = nil
    conv.first_awaiting = conv.first_awaiting + 1
    unit.ack_frame = pinfo.number
    unit.ack_delta = nstime(pinfo.abs_ts - unit.time)
    -- After "no room" the producer skips the body: the next bytes are the
    -- next unit's pattern.
    if i32(tvb(offset, 4), little) ~= 0 and conv.body_unit == unit then conv.expect_body = 0 end
  end
  return d
end

local function show_listener(tvb, offset, d, tree, pinfo, info)
  local range = tvb(offset, 4)
  if d.what == "preamble" then
    local sub = tree:add(proto, range, "DataLink preamble")
    add(sub, F.preamble, range, d.preamble.host_little)
    sub:add(F.mode, d.preamble.bigend and "big-endian (both ends convert)" or "native"):set_generated()
    sub:add(F.order, d.preamble.host_little and "little-endian listener" or "big-endian listener"):set_generated()
    info[#info + 1] = "preamble " .. (d.preamble.bigend and "big-endian" or "native")
    return
  end
  local value = i32(range, d.little)
  local sub = tree:add(proto, range, "DataLink acknowledgement")
  local item = add(sub, F.ack, range, d.little)
  if d.unit then
    sub:add(F.unit, d.unit.index):set_generated()
    sub:add(F.request_in, d.unit.frame):set_generated()
    sub:add(F.ack_time, d.unit.ack_delta):set_generated()
    info[#info + 1] = "ack " .. value .. " for unit " .. d.unit.index
  else
    item:add_proto_expert_info(E.unmatched)
    info[#info + 1] = "ack " .. value
  end
  if value ~= 0 then item:add_proto_expert_info(E.refused) end
end

---------------------------------------------------------------------------
-- Producer to listener: units, each a header found by its pattern and a body.

local function decide_producer(tvb, offset, conv, pinfo)
  local remaining = tvb:len() - offset
  if conv.expect_body > 0 then
    local size = conv.expect_body
    if remaining < size then return { what = "more", need = size - remaining } end
    conv.expect_body = 0
    return { what = "body", size = size, unit = conv.body_unit }
  end
  if remaining < WORD_BYTES then return { what = "more", need = DESEGMENT_ONE_MORE_SEGMENT } end
  local entry, pattern, little = pattern_at(tvb, offset)
  if not entry then
    -- The collector scans byte by byte for the next pattern; so does this,
    -- gathering segments until one is in sight, as far as the collector
    -- would look.
    for at = offset + 1, tvb:len() - WORD_BYTES do
      if pattern_at(tvb, at) then return { what = "stray", size = at - offset } end
    end
    if remaining < SCAN_LIMIT_BYTES then return { what = "more", need = DESEGMENT_ONE_MORE_SEGMENT } end
    return { what = "stray", size = remaining - (WORD_BYTES - 1) }
  end
  local kind, header = entry.kind, entry.header
  if kind == "event" then
    if proto.prefs.eight_byte_heads == 2 then
      kind, header = "spectrum", SPECTRUM_INTRO_BYTES
    elseif remaining >= IMAGE_INTRO_BYTES then
      -- An image head carries an event pattern too; its frame head repeats
      -- the unit's length in its last word, which no event body is
      -- expected to do.
      local length = u32(tvb(offset + 4, 4), little)
      local frame_length = u32(tvb(offset + IMAGE_INTRO_BYTES - 4, 4), little)
      if length >= IMAGE_INTRO_BYTES and frame_length == length then kind, header = "image", IMAGE_INTRO_BYTES end
    end
  end
  if remaining < header then return { what = "more", need = header - remaining } end
  local length
  if kind == "event2024" then
    length = little and tvb(offset + 8, 8):le_int64() or tvb(offset + 8, 8):int64()
    length = (length < Int64(0) or length > Int64(0xFFFFFFFF)) and -1 or length:tonumber()
  else
    length = u32(tvb(offset + 4, 4), little)
  end
  conv.units = conv.units + 1
  local unit = { index = conv.units, frame = pinfo.number, time = pinfo.abs_ts }
  local d = { what = "header", kind = kind, header = header, pattern = pattern, little = little, unit = unit,
    length = length }
  d.reversed = little ~= (conv.units_little ~= false)
  -- The collector answers every header it reads, one it refuses for its
  -- length too.
  conv.last_awaiting = conv.last_awaiting + 1
  conv.awaiting[conv.last_awaiting] = unit
  if length < header then
    d.short = true
    return d
  end
  conv.expect_body = length - header
  conv.body_unit = unit
  return d
end

local function show_event_header(sub, tvb, offset, d)
  local l = d.little
  if d.kind == "event2024" then
    add(sub, F.type, tvb(offset + 4, 4), l)
    add(sub, F.length, tvb(offset + 8, 8), l)
    add(sub, F.number, tvb(offset + 16, 8), l)
  else
    add(sub, F.length, tvb(offset + 4, 4), l)
    add(sub, F.number, tvb(offset + 8, 4), l)
    add(sub, F.type, tvb(offset + 12, 4), l)
  end
  local at = offset + (d.kind == "event2024" and 24 or 16)
  local up, low = u32(tvb(at, 4), l), u32(tvb(at + 4, 4), l)
  local time = sub:add(F.time, tvb(at, 8), string.format("%u.%06u", up, low))
  add(time, F.timeup, tvb(at, 4), l)
  add(time, F.timelow, tvb(at + 4, 4), l)
  add(sub, F.tmask, tvb(at + 8, 4), l)
  add(sub, F.status, tvb(at + 12, 4), l)
  add(sub, F.num_svr_block, tvb(at + 16, 4), l)
  if d.kind == "event2024" then sub:add(F.fill, tvb(offset + 44, 4)) end
end

local function show_words(sub, tvb, offset, fields, little)
  for i, field in ipairs(fields) do add(sub, field, tvb(offset + (i - 1) * WORD_BYTES, WORD_BYTES), little) end
end

local function show_producer(tvb, offset, d, tree, pinfo, info)
  if d.what == "stray" then
    local range = tvb(offset, d.size)
    local sub = tree:add(proto, range, "DataLink stray bytes (" .. d.size .. ")")
    local item = sub:add(F.stray, range)
    item:add_proto_expert_info(E.stray)
    if d.size >= WORD_BYTES then sub:add_proto_expert_info(E.unknown) end
    info[#info + 1] = d.size .. " stray bytes"
    return
  end
  if d.what == "body" then
    local range = tvb(offset, d.size)
    local sub = tree:add(proto, range, "DataLink body of unit " .. d.unit.index .. " (" .. d.size .. " bytes)")
    sub:add(F.unit, d.unit.index):set_generated()
    sub:add(F.body_length, d.size):set_generated()
    sub:add(F.body, range)
    info[#info + 1] = "body of unit " .. d.unit.index
    return
  end
  local range = tvb(offset, d.header)
  local sub = tree:add(proto, range, "DataLink " .. d.kind .. " header, unit " .. d.unit.index)
  sub:add(F.unit, d.unit.index):set_generated()
  sub:add(F.kind, d.kind):set_generated()
  sub:add(F.order, d.little and "little-endian" or "big-endian"):set_generated()
  local pattern_item = add(sub, F.pattern, tvb(offset, 4), d.little)
  if d.reversed then
    sub:add(F.reversed, true):set_generated()
    pattern_item:add_proto_expert_info(E.reversed)
  end
  if d.kind == "event" or d.kind == "event2024" then
    show_event_header(sub, tvb, offset, d)
  elseif d.kind == "slow" then
    add(sub, F.length, tvb(offset + 4, 4), d.little)
    add(sub, F.channels, tvb(offset + 8, 4), d.little)
  else
    add(sub, F.length, tvb(offset + 4, 4), d.little)
    local head = d.kind == "image" and FRAME_FIELDS or SPECTRUM_FIELDS
    show_words(sub:add(proto, tvb(offset + IMAGE_HEAD_BYTES, d.header - IMAGE_HEAD_BYTES), d.kind == "image"
      and "Frame head" or "Spectrum header"), tvb, offset + IMAGE_HEAD_BYTES, head, d.little)
  end
  if d.short then
    sub:add_proto_expert_info(E.short)
  elseif d.unit.ack_frame then
    sub:add(F.response_in, d.unit.ack_frame):set_generated()
    sub:add(F.ack_time, d.unit.ack_delta):set_generated()
  end
  info[#info + 1] = string.format("%s unit %d length %d", d.kind, d.unit.index, d.length)
end

---------------------------------------------------------------------------

function proto.dissector(tvb, pinfo, tree)
  local length = tvb:len()
  if length == 0 then return 0 end
  pinfo.cols.protocol = "DataLink"
  local conv = conversation(pinfo)
  local listener = from_listener(conv, tvb, pinfo)
  local info = {}
  local offset = 0
  while offset < length do
    local key = decision_key(pinfo, tvb, offset)
    local d = decisions[key]
    if not d then
      if listener then
        if length - offset < WORD_BYTES then
          d = { what = "more", need = DESEGMENT_ONE_MORE_SEGMENT }
        else
          d = decide_listener(tvb, offset, conv, pinfo)
        end
      else
        d = decide_producer(tvb, offset, conv, pinfo)
      end
      decisions[key] = d
    end
    if d.what == "more" then
      pinfo.desegment_offset = offset
      pinfo.desegment_len = d.need
      break
    end
    if listener then
      show_listener(tvb, offset, d, tree, pinfo, info)
      offset = offset + WORD_BYTES
    else
      show_producer(tvb, offset, d, tree, pinfo, info)
      offset = offset + (d.size or d.header)
    end
  end
  if #info > 0 then pinfo.cols.info = table.concat(info, ", ") end
  return length
end

-- A segment that begins with a preamble or a pattern claims the whole
-- conversation for this dissector.
local function heuristic(tvb, pinfo, tree)
  if tvb:len() < WORD_BYTES then return false end
  if not PREAMBLES[tvb(0, 4):le_uint()] and not pattern_at(tvb, 0) then return false end
  pinfo.conversation = proto
  proto.dissector(tvb, pinfo, tree)
  return true
end
proto:register_heuristic("tcp", heuristic)

local tcp_ports = DissectorTable.get("tcp.port")
tcp_ports:add_for_decode_as(proto)
local registered_ports = ""
function proto.prefs_changed()
  local ports = tostring(proto.prefs.ports)
  if ports == registered_ports then return end
  if registered_ports ~= "" then tcp_ports:remove(registered_ports, proto) end
  if ports ~= "" then tcp_ports:add(ports, proto) end
  registered_ports = ports
end

---------------------------------------------------------------------------
-- Statistics: units and bytes by kind, acknowledgements, stray bytes.
-- tshark -q -z datalink,units, or Statistics > DataLink units in Wireshark.

local f_kind, f_length, f_ack = Field.new("datalink.kind"), Field.new("datalink.length"), Field.new("datalink.ack")
local f_stray, f_reversed = Field.new("datalink.stray"), Field.new("datalink.reversed")

local function units_statistics(show)
  local counts, tap = {}, Listener.new("frame", "datalink")
  local function count(name, amount) counts[name] = (counts[name] or 0) + (amount or 1) end
  function tap.reset() counts = {} end
  function tap.packet()
    local lengths = { f_length() }
    for i, kind in ipairs({ f_kind() }) do
      count(kind.value .. " units")
      count(kind.value .. " bytes", tonumber(tostring(lengths[i].value)))
    end
    for _, ack in ipairs({ f_ack() }) do count(ack.value == 0 and "acknowledged with room" or "answered no room") end
    for _, stray in ipairs({ f_stray() }) do count("stray bytes", stray.len) end
    for _ in ipairs({ f_reversed() }) do count("units in reversed order") end
  end
  function tap.draw()
    local names = {}
    for name in pairs(counts) do names[#names + 1] = name end
    table.sort(names)
    local lines = { "DataLink units" }
    for _, name in ipairs(names) do lines[#lines + 1] = string.format("  %-26s %12d", name, counts[name]) end
    show(table.concat(lines, "\n"))
  end
  return tap
end

register_stat_cmd_arg("datalink,units", function() units_statistics(print) end)
if gui_enabled() then
  register_menu("DataLink units", function()
    local window = TextWindow.new("DataLink units")
    local tap = units_statistics(function(text) window:set(text) end)
    window:set_atclose(function() tap:remove() end)
    retap_packets()
  end, MENU_STAT_GENERIC)
end
