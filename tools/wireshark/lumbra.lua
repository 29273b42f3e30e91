-- lumbra.lua -- a Wireshark and tshark dissector for the lumbra protocol, the
-- wire between lumbra32 and its server.
--
--   tshark -X lua_script:lumbra.lua -r session.pcap
--   wireshark: copy this file into the personal or global plugins folder
--
-- The dissector is registered on TCP port 3001 (a preference) and as a
-- heuristic dissector for every other port: a stream that begins with the
-- greeting "LUMT" and the marker, or a reply headed "LBX" and three digits.
--
-- What it reads, as client and server write it:
--   client   greeting "LUMT"; login "ID \"" + 110-character credential block +
--            "2.4" + '"' (118 bytes, no marker); commands; batches of INSERT,
--            UPDATE and DELETE texts in the outgoing run-length form, each
--            followed by a blank, optionally followed by a COMMIT text; binary
--            inserts (EBCDIC text, length clause "(nnnnn)='", raw data, 0x7D,
--            an optional zero byte); "CONT=n"; farewell "FIM,Lumbra".
--   server   replies "LBX000" + four status digits + text; SELECT replies with
--            row count, row length, column description, '.' and the first block
--            of rows; continuation blocks headed "LBX" + the first three digits
--            of n, rows in the incoming run-length form.
--   Every message but the login ends with the end-of-block marker "LBXEOB";
--   a binary insert ends where its length clause says.
--
-- Passwords are never shown: the credential block is one opaque item. The
-- dissector knows only where the identification stands in the block, not how
-- the credentials are laid out, so it cannot decode them.

-- Loaded twice (a copy in a plugins folder and one given with -X lua_script),
-- the first copy stays and this one does nothing.
local registered, lumbra = pcall(Proto, "lumbra", "Lumbra database protocol")
if not registered then return end

local MARKER = "LBXEOB"
local MARKER_LENGTH = 6
local HEAD_TAG = "LBX000"
local LOGIN_LENGTH = 118
local CREDENTIAL_BLOCK_LENGTH = 110
local BINARY_PREFIX = "\201\213\226\197\217\227\064" -- "INSERT " in EBCDIC
local EBCDIC_APOSTROPHE = 0x7D
-- "(nnnnn)='" in EBCDIC: 0x4D, five digits 0xF0..0xF9, 0x5D, 0x7E, 0x7D.
local LENGTH_CLAUSE_PATTERN = "\077([\240-\249][\240-\249][\240-\249][\240-\249][\240-\249])\093\126\125"
local LENGTH_CLAUSE_LENGTH = 9
local DEFAULT_PORT = 3001
local COMMAND_WORDS = { COMMIT = true, DELETE = true, EXEC = true, INSERT = true, ROLLBACK = true,
                        SELECT = true, UPDATE = true, PARM = true, SET = true, GETSET = true }
-- Positions in the credential block (0 is its first character) of the eleven
-- identification characters, in order. Every other position but 0 holds an
-- upper-case hexadecimal digit.
local IDENTIFICATION_POSITIONS = { 92, 82, 80, 9, 95, 44, 65, 13, 63, 89, 14 }
local RUN_DIGITS = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"

-- The server's statuses and what each means, as docs/operations.md lists
-- them with their texts; 2001 to 2028 are the database's own errors.
local STATUSES = {
  ["0000"] = "success",
  ["0100"] = "message not understood at this point of the session",
  ["0101"] = "malformed login message",
  ["0102"] = "unknown identification or wrong password",
  ["0103"] = "the login's new password cannot be a password",
  ["0104"] = "command before a successful login",
  ["0105"] = "second login on one session",
  ["0106"] = "the session's database connection could not be opened",
  ["0107"] = "login refused: the database of the users cannot be reached",
  ["0110"] = "message longer than the server accepts",
  ["0120"] = "command word the server does not know",
  ["0121"] = "SELECT text with a second statement behind it",
  ["0122"] = "binary insert without a usable length clause or value",
  ["0123"] = "COMMIT or ROLLBACK followed by more than blanks and one ';': nothing committed or rolled back",
  ["0140"] = "CONT without an open result",
  ["0141"] = "malformed CONT number",
  ["0150"] = "a row that does not fit a block, or longer than 99999",
  ["0151"] = "more rows than the count can carry",
  ["0160"] = "SET or GETSET of a setting the server does not know",
  ["0161"] = "SET value out of range",
  ["0170"] = "malformed PARM",
  ["2005"] = "another session held the write lock past the busy timeout",
}

-- What a status means; nil for one the server does not answer.
local function status_meaning(status)
  local known = STATUSES[status]
  if known then return known end
  local number = tonumber(status)
  if status:find("^%d%d%d%d$") and number >= 2001 and number <= 2028 then
    return "SQL error: 2000 + the database's primary result code"
  end
  return nil
end

local run_digit_value = {}
for i = 1, #RUN_DIGITS do run_digit_value[RUN_DIGITS:byte(i)] = i - 1 end

---------------------------------------------------------------------------
-- Fields

local F = {
  kind = ProtoField.string("lumbra.kind", "Kind"),
  command = ProtoField.string("lumbra.command", "Command word"),
  sql = ProtoField.string("lumbra.sql", "Command text"),
  greeting = ProtoField.string("lumbra.greeting", "Greeting"),
  farewell = ProtoField.string("lumbra.farewell", "Farewell"),
  cont = ProtoField.uint32("lumbra.cont", "Continuation number"),
  tag = ProtoField.string("lumbra.tag", "Head tag"),
  status = ProtoField.string("lumbra.status", "Status"),
  status_meaning = ProtoField.string("lumbra.status.meaning", "Meaning"),
  text = ProtoField.string("lumbra.text", "Reply text"),
  marker = ProtoField.string("lumbra.marker", "End-of-block marker"),

  login_user = ProtoField.string("lumbra.login.user", "Identification"),
  login_credentials = ProtoField.none("lumbra.login.credentials", "Credential block"),
  login_version = ProtoField.string("lumbra.login.version", "Client version"),

  server_nn = ProtoField.string("lumbra.server.nn", "Client address (NN)"),
  server_sv = ProtoField.string("lumbra.server.sv", "Server version (SV)"),
  server_bd = ProtoField.string("lumbra.server.bd", "Database version (BD)"),
  server_os = ProtoField.string("lumbra.server.os", "Operating system (OS)"),
  server_sk = ProtoField.string("lumbra.server.sk", "Communication (SK)"),
  server_mr = ProtoField.string("lumbra.server.mr", "Monitor (MR)"),
  server_ml = ProtoField.uint32("lumbra.server.ml", "Message length (ML)"),
  server_info = ProtoField.string("lumbra.server.info", "Server information, as the client shows it"),

  rows = ProtoField.uint32("lumbra.rows", "Rows selected"),
  row_length = ProtoField.uint32("lumbra.row_length", "Row length"),
  columns = ProtoField.string("lumbra.columns", "Column description"),
  column = ProtoField.string("lumbra.column", "Column"),
  column_name = ProtoField.string("lumbra.column.name", "Name"),
  column_type = ProtoField.string("lumbra.column.type", "Type"),
  column_width = ProtoField.uint32("lumbra.column.width", "Width"),
  block_rows = ProtoField.uint32("lumbra.block.rows", "Rows in this block"),
  row = ProtoField.string("lumbra.row", "Row"),
  row_number = ProtoField.uint32("lumbra.row.number", "Row number"),
  row_value = ProtoField.string("lumbra.row.value", "Value"),

  batch_count = ProtoField.uint32("lumbra.batch.count", "Batched commands"),
  batch_entry = ProtoField.string("lumbra.batch.entry", "Batched command"),
  batch_commit = ProtoField.string("lumbra.batch.commit", "COMMIT behind the batch"),

  bin_length = ProtoField.uint32("lumbra.bin.length", "Data length"),
  bin_clause = ProtoField.string("lumbra.bin.clause", "Length clause"),
  bin_data = ProtoField.bytes("lumbra.bin.data", "Data"),
  bin_quote = ProtoField.uint8("lumbra.bin.quote", "Closing quote", base.HEX),

  commit_updates = ProtoField.uint32("lumbra.commit.updates", "Updates committed"),
  commit_changed = ProtoField.uint32("lumbra.commit.changed", "Rows changed by one update"),
  commit_total = ProtoField.uint32("lumbra.commit.total", "Updates in all"),

  request_in = ProtoField.framenum("lumbra.request_in", "Request in frame", base.NONE, frametype.REQUEST),
  response_in = ProtoField.framenum("lumbra.response_in", "Reply in frame", base.NONE, frametype.RESPONSE),
  time = ProtoField.relative_time("lumbra.time", "Time since request"),
  request_kind = ProtoField.string("lumbra.request.kind", "Kind of the request"),
  request_command = ProtoField.string("lumbra.request.command", "Command word of the request"),

  session_user = ProtoField.string("lumbra.session.user", "Session user"),
  session_version = ProtoField.string("lumbra.session.version", "Server version of the session"),
}

local field_list = {}
for _, field in pairs(F) do field_list[#field_list + 1] = field end
lumbra.fields = field_list

local E = {
  wrong_tag = ProtoExpert.new("lumbra.expert.wrong_tag", "Reply with the wrong head tag",
                              expert.group.PROTOCOL, expert.severity.ERROR),
  row_cut = ProtoExpert.new("lumbra.expert.row_cut", "End-of-block marker cuts a row",
                            expert.group.MALFORMED, expert.severity.ERROR),
  run_overrun = ProtoExpert.new("lumbra.expert.run_overrun", "Run overruns its row",
                                expert.group.MALFORMED, expert.severity.ERROR),
  bad_digit = ProtoExpert.new("lumbra.expert.bad_digit", "Run-length digit outside 0-9A-Z",
                              expert.group.MALFORMED, expert.severity.ERROR),
  unknown_command = ProtoExpert.new("lumbra.expert.unknown_command", "Unknown command word",
                                    expert.group.PROTOCOL, expert.severity.WARN),
  length_clause = ProtoExpert.new("lumbra.expert.length_clause", "Length clause does not match the data",
                                  expert.group.MALFORMED, expert.severity.ERROR),
  no_clause = ProtoExpert.new("lumbra.expert.no_clause", "Binary insert without a length clause",
                              expert.group.MALFORMED, expert.severity.ERROR),
  bad_status = ProtoExpert.new("lumbra.expert.bad_status", "Status is not four decimal digits",
                               expert.group.MALFORMED, expert.severity.ERROR),
  short_reply = ProtoExpert.new("lumbra.expert.short_reply", "Reply shorter than head, status and marker",
                                expert.group.MALFORMED, expert.severity.ERROR),
  server_error = ProtoExpert.new("lumbra.expert.server_error", "Server error status",
                                 expert.group.RESPONSE_CODE, expert.severity.NOTE),
  bad_select = ProtoExpert.new("lumbra.expert.bad_select", "SELECT reply without counts or '.'",
                               expert.group.MALFORMED, expert.severity.ERROR),
  extra_rows = ProtoExpert.new("lumbra.expert.extra_rows", "Block holds more than the rows left",
                               expert.group.PROTOCOL, expert.severity.WARN),
  empty_block = ProtoExpert.new("lumbra.expert.empty_block", "Continuation reply with status 0000 instead of a block",
                                expert.group.PROTOCOL, expert.severity.ERROR),
  bad_login = ProtoExpert.new("lumbra.expert.bad_login", "Malformed login message",
                              expert.group.MALFORMED, expert.severity.ERROR),
  bad_batch = ProtoExpert.new("lumbra.expert.bad_batch", "Malformed run-length escape in a batched command",
                              expert.group.MALFORMED, expert.severity.ERROR),
  no_result = ProtoExpert.new("lumbra.expert.no_result", "Rows of an unknown result (its SELECT is not in the capture)",
                              expert.group.SEQUENCE, expert.severity.NOTE),
}
local expert_list = {}
for _, e in pairs(E) do expert_list[#expert_list + 1] = e end
lumbra.experts = expert_list

lumbra.prefs.port = Pref.uint("TCP port", DEFAULT_PORT, "The TCP port of lumbra servers (others are found by heuristics)")

---------------------------------------------------------------------------
-- Text helpers

-- Windows-1252 0x80..0x9F as Unicode code points (nil: undefined).
local CP1252_HIGH = {
  [0x80] = 0x20AC, [0x82] = 0x201A, [0x83] = 0x0192, [0x84] = 0x201E, [0x85] = 0x2026, [0x86] = 0x2020,
  [0x87] = 0x2021, [0x88] = 0x02C6, [0x89] = 0x2030, [0x8A] = 0x0160, [0x8B] = 0x2039, [0x8C] = 0x0152,
  [0x8E] = 0x017D, [0x91] = 0x2018, [0x92] = 0x2019, [0x93] = 0x201C, [0x94] = 0x201D, [0x95] = 0x2022,
  [0x96] = 0x2013, [0x97] = 0x2014, [0x98] = 0x02DC, [0x99] = 0x2122, [0x9A] = 0x0161, [0x9B] = 0x203A,
  [0x9C] = 0x0153, [0x9E] = 0x017E, [0x9F] = 0x0178,
}

local function utf8_of(code)
  if code < 0x80 then return string.char(code) end
  if code < 0x800 then
    return string.char(0xC0 + math.floor(code / 0x40), 0x80 + code % 0x40)
  end
  return string.char(0xE0 + math.floor(code / 0x1000), 0x80 + math.floor(code / 0x40) % 0x40, 0x80 + code % 0x40)
end

-- Bytes in Windows-1252 as readable UTF-8: control bytes, zero bytes and the
-- five undefined codes as \xNN, a backslash doubled.
local byte_text_cache = {}
for b = 0, 255 do
  local shown
  if b == 0x5C then
    shown = "\\\\"
  elseif b >= 0x20 and b < 0x7F then
    shown = string.char(b)
  elseif b >= 0xA0 then
    shown = utf8_of(b)
  elseif b >= 0x80 and CP1252_HIGH[b] then
    shown = utf8_of(CP1252_HIGH[b])
  else
    shown = string.format("\\x%02X", b)
  end
  byte_text_cache[b] = shown
end

local function readable(bytes)
  if not bytes:find("[%c\\\128-\255]") then return bytes end
  return (bytes:gsub(".", function(c) return byte_text_cache[c:byte()] end))
end

local function shortened(text, limit)
  limit = limit or 60
  if #text <= limit then return text end
  return text:sub(1, limit) .. "..."
end

local function starts_with(s, prefix) return s:sub(1, #prefix) == prefix end

-- The time between two packets as an NSTime (relative timestamps keep the precision).
local function nstime_between(t0, t1)
  local d = t1 - t0
  if d < 0 then d = 0 end
  local secs = math.floor(d)
  local nsecs = math.floor((d - secs) * 1e9 + 0.5)
  if nsecs >= 1e9 then secs, nsecs = secs + 1, nsecs - 1e9 end
  return NSTime.new(secs, nsecs)
end

---------------------------------------------------------------------------
-- Run-length escape

-- Outgoing form (batched commands): "@@" is '@'; '@', digit d and c are d+1
-- copies of c. Returns the decoded text and a problem, or nil.
local function decode_outgoing(s)
  if not s:find("@", 1, true) then return s, nil end
  local out, pos, n = {}, 1, #s
  while pos <= n do
    local at = s:find("@", pos, true)
    if not at then
      out[#out + 1] = s:sub(pos)
      break
    end
    out[#out + 1] = s:sub(pos, at - 1)
    local nxt = s:byte(at + 1)
    if nxt == 64 then
      out[#out + 1] = "@"
      pos = at + 2
    elseif not nxt or at + 2 > n then
      return table.concat(out), "the text ends inside an escape"
    else
      local d = run_digit_value[nxt]
      if not d then
        return table.concat(out), string.format("digit %q after '@' is outside 0-9A-Z", string.char(nxt))
      end
      out[#out + 1] = s:sub(at + 2, at + 2):rep(d + 1)
      pos = at + 3
    end
  end
  return table.concat(out), nil
end

-- Incoming form (rows): "@@" is '@'; '@', digits d1 d2 and c are d1*36+d2
-- copies of c. Decodes one row of `row_length` bytes from s at `pos`, reading
-- no further than `limit` (exclusive). Returns the row, the next position and
-- a problem ("cut", "overrun", "digit") or nil.
local function decode_row(s, pos, limit, row_length)
  local out, produced = {}, 0
  while produced < row_length do
    if pos >= limit then return table.concat(out), pos, "cut" end
    local b = s:byte(pos)
    if b == 64 then
      if pos + 1 >= limit then return table.concat(out), pos, "cut" end
      if s:byte(pos + 1) == 64 then
        out[#out + 1] = "@"
        produced = produced + 1
        pos = pos + 2
      else
        if pos + 3 >= limit then return table.concat(out), pos, "cut" end
        local d1, d2 = run_digit_value[s:byte(pos + 1)], run_digit_value[s:byte(pos + 2)]
        if not d1 or not d2 then return table.concat(out), pos, "digit" end
        local count = d1 * 36 + d2
        if produced + count > row_length then
          out[#out + 1] = s:sub(pos + 3, pos + 3):rep(row_length - produced)
          return table.concat(out), pos + 4, "overrun", produced + count - row_length
        end
        out[#out + 1] = s:sub(pos + 3, pos + 3):rep(count)
        produced = produced + count
        pos = pos + 4
      end
    else
      local stop = s:find("@", pos, true) or limit
      if stop > limit then stop = limit end
      local take = math.min(stop - pos, row_length - produced)
      out[#out + 1] = s:sub(pos, pos + take - 1)
      produced = produced + take
      pos = pos + take
    end
  end
  return table.concat(out), pos, nil
end

---------------------------------------------------------------------------
-- State: per TCP stream, and per message for later passes

local streams = {}   -- stream key -> conversation state
local messages = {}  -- message key -> record made on the first pass
local frame_counts = {} -- frame number -> messages dissected in it so far (first pass)

function lumbra.init()
  streams = {}
  messages = {}
  frame_counts = {}
end

-- A stream is known by its two ends (a field such as tcp.stream is not
-- there on tshark's first pass, which builds no tree).
local function stream_of(pinfo)
  local a = tostring(pinfo.src) .. ":" .. pinfo.src_port
  local b = tostring(pinfo.dst) .. ":" .. pinfo.dst_port
  if a > b then a, b = b, a end
  local key = a .. " " .. b
  local conv = streams[key]
  if not conv then
    conv = { pending = {}, pending_first = 1, pending_next = 1, client_scan = {}, server_scan = {} }
    streams[key] = conv
  end
  return conv
end

-- Whether the bytes at hand come from the server. Decided once per stream:
-- by the registered port when one side uses it, else by the first message
-- (a reply begins with "LBX").
local function from_server(conv, pinfo, tvb, offset)
  if not conv.server then
    local port = lumbra.prefs.port
    local src, dst = tostring(pinfo.src) .. ":" .. pinfo.src_port, tostring(pinfo.dst) .. ":" .. pinfo.dst_port
    if pinfo.dst_port == port and pinfo.src_port ~= port then
      conv.server = dst
    elseif pinfo.src_port == port and pinfo.dst_port ~= port then
      conv.server = src
    elseif tvb:len() - offset >= 3 and tvb:raw(offset, 3) == "LBX" then
      conv.server = src
    else
      conv.server = dst
    end
  end
  return conv.server == tostring(pinfo.src) .. ":" .. pinfo.src_port
end

---------------------------------------------------------------------------
-- Message boundaries

-- The length of the message at `offset` that ends with the first marker, or
-- nil while the marker has not come. A long message comes one segment at a
-- time, each time with all of it so far: `scan` remembers how far a message
-- that begins with the same bytes was searched, so that only what is new is
-- copied and searched again.
local function through_marker(tvb, offset, scan)
  local available = tvb:len() - offset
  local head = tvb:raw(offset, math.min(available, 16))
  local from = 0
  if scan.head == head and scan.searched and scan.searched <= available then
    from = math.max(scan.searched - (MARKER_LENGTH - 1), 0)
  end
  local at = tvb:raw(offset + from, available - from):find(MARKER, 1, true)
  if at then
    scan.head, scan.searched = nil, nil
    return from + at + MARKER_LENGTH - 1
  end
  scan.head, scan.searched = head, available
  return nil
end

-- The length of the client message at `offset`, or nil while it is not
-- complete. (More bytes are always asked for one segment at a time: a message
-- whose length clause lies only shows its end once more has arrived.)
local function client_message_length(tvb, offset, scan)
  local available = tvb:len() - offset
  local head = tvb:raw(offset, math.min(available, 7))
  if #head < 3 and starts_with("ID ", head) then return nil end
  if starts_with(head, "ID ") then
    if available < LOGIN_LENGTH then return nil end
    return LOGIN_LENGTH
  end
  if #head < 7 and starts_with(BINARY_PREFIX, head) then return nil end
  if starts_with(head, BINARY_PREFIX) then
    -- At most 32767 bytes of data: the whole message is searched each time.
    local s = tvb:raw(offset, available)
    local clause_at, _, digits = s:find(LENGTH_CLAUSE_PATTERN, 8)
    if clause_at then
      local quote = clause_at + LENGTH_CLAUSE_LENGTH + tonumber(
        digits:gsub(".", function(c) return string.char(c:byte() - 0xF0 + 48) end), 10)
      -- The closing quote, then the marker or a zero byte and the marker.
      if #s < quote + MARKER_LENGTH then return nil end
      if s:byte(quote) == EBCDIC_APOSTROPHE then
        if s:sub(quote + 1, quote + MARKER_LENGTH) == MARKER then return quote + MARKER_LENGTH end
        if s:byte(quote + 1) == 0 then
          if #s < quote + 1 + MARKER_LENGTH then return nil end
          if s:sub(quote + 2, quote + 1 + MARKER_LENGTH) == MARKER then return quote + 1 + MARKER_LENGTH end
        end
      end
      -- The clause lies: the message runs to the next marker from where the quote should be.
      local at = s:find(MARKER, quote, true)
      if not at then return nil end
      return at + MARKER_LENGTH - 1
    end
  end
  return through_marker(tvb, offset, scan)
end

---------------------------------------------------------------------------
-- Client messages

local function command_word(text)
  -- Up to and including the first blank, at most 16 characters; the word
  -- without its blank is returned.
  local word = text:sub(1, 16)
  local blank = word:find(" ", 1, true)
  if blank then word = word:sub(1, blank - 1) end
  return word
end

-- Splits a batch (outgoing form) into its entries and the COMMIT text behind
-- them: an entry ends at a blank outside quotes followed by INSERT, UPDATE,
-- DELETE or COMMIT; escapes are stepped over whole. Returns a list of
-- {start, length} (0-based within s) and the COMMIT's start or nil.
local function split_batch(s)
  local entries, start, quote, i, n = {}, 0, nil, 1, #s
  while i <= n do
    local c = s:sub(i, i)
    if c == "@" then
      i = i + ((s:sub(i + 1, i + 1) == "@") and 2 or 3)
    elseif quote then
      if c == quote then quote = nil end
      i = i + 1
    elseif c == "'" or c == '"' then
      quote = c
      i = i + 1
    elseif c == " " then
      local rest = s:sub(i + 1, i + 7)
      if rest == "INSERT " or rest == "UPDATE " or rest == "DELETE " then
        entries[#entries + 1] = { start, i - 1 - start }
        start = i
      elseif starts_with(rest, "COMMIT") then
        entries[#entries + 1] = { start, i - 1 - start }
        return entries, i
      end
      i = i + 1
    else
      i = i + 1
    end
  end
  if start < n then
    local length = n - start
    if s:sub(n, n) == " " then length = length - 1 end
    entries[#entries + 1] = { start, length }
  end
  return entries, nil
end

local function add_marker(tree, tvb, at)
  if at >= 0 and tvb:len() >= at + MARKER_LENGTH and tvb:raw(at, MARKER_LENGTH) == MARKER then
    tree:add(F.marker, tvb(at, MARKER_LENGTH))
  end
end

-- Dissects one client message; returns its kind, its command word (if any),
-- the summary for the Info column and, for a CONT, its number.
local function dissect_request(tvb, pinfo, tree, conv, rec)
  local length = tvb:len()
  local raw = tvb:raw()
  local info, kind, word, cont_number

  if starts_with(raw, "ID ") then
    kind = "login"
    tree:add(F.kind, "login"):set_generated()
    tree:add(tvb(0, math.min(length, 4)), "Login head: " .. readable(raw:sub(1, 4)))
    local user
    if length >= 4 + CREDENTIAL_BLOCK_LENGTH then
      local block = raw:sub(5, 4 + CREDENTIAL_BLOCK_LENGTH)
      local chars = {}
      for i, position in ipairs(IDENTIFICATION_POSITIONS) do chars[i] = block:sub(position + 1, position + 1) end
      user = table.concat(chars):gsub(" +$", "")
      local block_item = tree:add(F.login_credentials, tvb(4, CREDENTIAL_BLOCK_LENGTH))
      block_item:set_text(string.format("credentials (%d characters)", CREDENTIAL_BLOCK_LENGTH))
      tree:add(F.login_user, tvb(4, CREDENTIAL_BLOCK_LENGTH), readable(user))
      -- Character 0 is '0'; every position but the identification's holds a hexadecimal digit.
      local is_identification = {}
      for _, position in ipairs(IDENTIFICATION_POSITIONS) do is_identification[position] = true end
      local well_formed = block:sub(1, 1) == "0"
      for position = 1, CREDENTIAL_BLOCK_LENGTH - 1 do
        if not is_identification[position] and not block:sub(position + 1, position + 1):find("^[0-9A-F]$") then
          well_formed = false
          break
        end
      end
      if not well_formed then
        block_item:add_proto_expert_info(E.bad_login, "The credential block is not '0', the identification and hexadecimal digits")
      end
      if length >= LOGIN_LENGTH then
        tree:add(F.login_version, tvb(114, 3))
        if raw:sub(4, 4) ~= '"' or raw:sub(118, 118) ~= '"' then
          tree:add_proto_expert_info(E.bad_login, "The credential block and the version are not between double quotes")
        end
      end
      rec.user = user
    else
      tree:add_proto_expert_info(E.bad_login, "Login message of " .. length .. " bytes, not " .. LOGIN_LENGTH)
    end
    info = "Login " .. (user and readable(user) or "?") .. ", credentials (110 characters)"
    return kind, nil, info
  end

  if starts_with(raw, BINARY_PREFIX) then
    kind = "binary_insert"
    word = "INSERT"
    tree:add(F.kind, "binary_insert"):set_generated()
    tree:add(F.command, "INSERT"):set_generated()
    local clause_at, _, digits = raw:find(LENGTH_CLAUSE_PATTERN, 8)
    if not clause_at then
      local text_end = length
      if raw:sub(-MARKER_LENGTH) == MARKER then text_end = length - MARKER_LENGTH end
      tree:add_packet_field(F.sql, tvb(0, text_end), ENC_EBCDIC_CP037)
      tree:add_proto_expert_info(E.no_clause, "No length clause \"(nnnnn)='\" after the command text")
      add_marker(tree, tvb, length - MARKER_LENGTH)
      return kind, word, "Binary insert without a length clause"
    end
    local prefix_length = clause_at - 1
    local data_length = tonumber((digits:gsub(".", function(c) return string.char(c:byte() - 0xF0 + 48) end)), 10)
    local _, sql = tree:add_packet_field(F.sql, tvb(0, prefix_length), ENC_EBCDIC_CP037)
    sql = tvb(0, prefix_length):string(ENC_EBCDIC_CP037)
    local clause_tvb = tvb(prefix_length, LENGTH_CLAUSE_LENGTH)
    tree:add(F.bin_clause, clause_tvb, clause_tvb:string(ENC_EBCDIC_CP037))
    tree:add(F.bin_length, clause_tvb, data_length)
    local data_start = prefix_length + LENGTH_CLAUSE_LENGTH
    local quote = data_start + data_length
    local ends_well = quote < length and raw:byte(quote + 1) == EBCDIC_APOSTROPHE and
        (raw:sub(quote + 2, quote + 1 + MARKER_LENGTH) == MARKER and quote + 1 + MARKER_LENGTH == length or
         raw:byte(quote + 2) == 0 and raw:sub(quote + 3, quote + 2 + MARKER_LENGTH) == MARKER and
         quote + 2 + MARKER_LENGTH == length)
    if ends_well then
      if data_length > 0 then tree:add(F.bin_data, tvb(data_start, data_length)) end
      tree:add(F.bin_quote, tvb(quote, 1))
    else
      local before_marker = length - MARKER_LENGTH - data_start
      if before_marker > 0 then tree:add(F.bin_data, tvb(data_start, before_marker)) end
      tree:add_proto_expert_info(E.length_clause, string.format(
        "The length clause says %d bytes, but the closing quote and the marker do not follow them (%d bytes before the marker)",
        data_length, math.max(before_marker, 0)))
    end
    add_marker(tree, tvb, length - MARKER_LENGTH)
    return kind, word, string.format("Binary insert of %d bytes: %s", data_length, shortened(sql))
  end

  local text_length = length
  if raw:sub(-MARKER_LENGTH) == MARKER then text_length = length - MARKER_LENGTH end
  local text = raw:sub(1, text_length)
  local text_range = text_length > 0 and tvb(0, text_length) or nil
  local marker_at = text_length

  if text == "LUMT" then
    kind = "greeting"
    tree:add(F.kind, "greeting"):set_generated()
    tree:add(F.greeting, text_range)
    info = "Greeting"
  elseif starts_with(text, "FIM") then
    kind = "farewell"
    tree:add(F.kind, "farewell"):set_generated()
    tree:add(F.farewell, text_range)
    info = "Farewell " .. readable(text)
  elseif starts_with(text, "CONT=") then
    kind = "cont"
    tree:add(F.kind, "cont"):set_generated()
    local digits = text:match("^CONT=(%d+)")
    cont_number = digits and tonumber(digits) or nil
    if cont_number and cont_number <= 0xFFFFFFFF then
      tree:add(F.cont, tvb(5, #digits), cont_number)
    end
    info = readable(text)
  elseif starts_with(text, "COMMIT") then
    kind = "commit"
    word = "COMMIT"
    tree:add(F.kind, "commit"):set_generated()
    tree:add(F.command, "COMMIT"):set_generated()
    tree:add_packet_field(F.sql, text_range, ENC_WINDOWS_1252)
    info = "COMMIT"
  elseif starts_with(text, "INSERT ") or starts_with(text, "UPDATE ") or starts_with(text, "DELETE ") then
    kind = "batch"
    tree:add(F.kind, "batch"):set_generated()
    local entries, commit_at = split_batch(text)
    tree:add(F.batch_count, #entries):set_generated()
    for i, entry in ipairs(entries) do
      local encoded = text:sub(entry[1] + 1, entry[1] + entry[2])
      local decoded, problem = decode_outgoing(encoded)
      local range = entry[2] > 0 and tvb(entry[1], entry[2]) or tvb(entry[1], 0)
      local item = tree:add(F.batch_entry, range, readable(decoded))
      item:set_text(string.format("Batched command %d: %s", i, readable(decoded)))
      item:add(F.command, range, command_word(decoded))
      item:add(F.sql, range, readable(decoded))
      if problem then item:add_proto_expert_info(E.bad_batch, problem) end
    end
    rec.commit = commit_at ~= nil
    info = string.format("Batch of %d", #entries)
    if commit_at then
      tree:add(F.batch_commit, tvb(commit_at, text_length - commit_at), readable(text:sub(commit_at + 1)))
      info = info .. " + COMMIT"
    end
    if entries[1] then
      local first = decode_outgoing(text:sub(entries[1][1] + 1, entries[1][1] + entries[1][2]))
      info = info .. ": " .. shortened(readable(first), 50)
    end
  else
    kind = "command"
    word = command_word(text)
    tree:add(F.kind, "command"):set_generated()
    if text_range then
      tree:add(F.command, tvb(0, #word), readable(word))
      tree:add_packet_field(F.sql, text_range, ENC_WINDOWS_1252)
    else
      tree:add(F.command, ""):set_generated()
      tree:add(F.sql, ""):set_generated()
    end
    if word ~= "" and not COMMAND_WORDS[word] then
      tree:add_proto_expert_info(E.unknown_command, "Unknown command word \"" .. readable(word) .. "\"")
    end
    info = text == "" and "Empty command" or shortened(readable(text))
  end
  add_marker(tree, tvb, marker_at)
  return kind, word, info, cont_number
end

---------------------------------------------------------------------------
-- Server replies

-- The server information keywords of a login reply text (starting at
-- `text_at` in tvb). Fixed widths; a value ends early where the text does.
local function dissect_server_info(tvb, tree, text, text_at)
  local function value(keyword, width)
    local at = text:find(keyword, 1, true)
    if not at then return nil end
    local first = at + #keyword
    local v = text:sub(first, first + width - 1)
    return v, text_at + first - 1
  end
  local sub = tree:add(tvb(text_at, #text), "Server information")
  local values = {}
  local nn, nn_at = value(",NN=", 8)
  if nn then
    local bytes = {}
    for pair in nn:gmatch("%x%x") do bytes[#bytes + 1] = tostring(tonumber(pair, 16)) end
    local shown = #bytes == 4 and table.concat(bytes, ".") or readable(nn)
    sub:add(F.server_nn, tvb(nn_at, #nn), shown)
  end
  local sv, sv_at = value(",SV=", 5)
  if sv then sub:add(F.server_sv, tvb(sv_at, #sv), readable(sv)) end
  local bd, bd_at = value(",BD=", 5)
  if bd then sub:add(F.server_bd, tvb(bd_at, #bd), readable(bd)) end
  local os, os_at = value(",OS=", 7)
  local os_text = "    "
  if os then
    if starts_with(os, "MVS") then
      os_text = os:sub(4, 4) == "E" and "MVS-ESA" or "MVS-XA"
    else
      os_text = os:sub(1, 4)
    end
    sub:add(F.server_os, tvb(os_at, math.min(#os, 4)), readable(os_text))
  end
  local sk, sk_at = value(",SK=", 8)
  local sk_text, sk_version = " ", "0.0.0"
  if sk then
    if starts_with(sk, "SNA") then
      sk_text = "SNA"
      sub:add(F.server_sk, tvb(sk_at, math.min(#sk, 3)), "SNA")
    else
      sk_text = starts_with(sk, "ILK") and "TCP/IP INTERLINK " or "TCP/IP IBM "
      sk_version = sk:sub(4, 8)
      sub:add(F.server_sk, tvb(sk_at, #sk), readable(sk_text .. sk_version))
    end
  end
  local mr, mr_at = value(",MR=", 9)
  local mr_name, mr_version = " ", "0.0.0"
  if mr then
    mr_name, mr_version = mr:sub(1, 4), mr:sub(5, 9)
    sub:add(F.server_mr, tvb(mr_at, #mr), readable(mr_name .. " " .. mr_version))
  end
  local ml_value
  local ml_at = text:find(",ML=", 1, true)
  if ml_at then
    local first = text:find("%d", ml_at + 1)
    if first then
      local span = text:sub(first):match("^[^ ,%).=;]*")
      local digits = span:match("^%d+")
      if digits and #digits <= 9 then
        ml_value = tonumber(digits)
        sub:add(F.server_ml, tvb(text_at + first - 1, #digits), ml_value)
      end
    end
  end
  if sv or bd or os or sk or mr then
    -- As the client formats it, in Windows-1252 ("Vers\227o", "Comunica\231\227o").
    local info = string.format(
      "Vers\227o %5.5s, Sistema Operacional %s, Monitor de Teleprocessamento %5.5s %5.5s, Adabas %5.5s, Comunica\231\227o %s %5.5s",
      sv or "0.0.0", os_text, mr_name, mr_version, bd or "0.0.0", sk_text, sk_version)
    sub:add(F.server_info, readable(info)):set_generated()
  end
  return sv and readable(sv) or nil, ml_value
end

local function parse_columns(description)
  local columns = {}
  for item in (description .. ","):gmatch("([^,]*),") do
    local name, type_code, width = item:match("^(.*)=(%a)%((%d+)%)$")
    columns[#columns + 1] = { text = item, name = name, type = type_code, width = width and tonumber(width) }
  end
  return columns
end

local function column_value_text(bytes, type_code)
  if type_code == "B" then
    local shown = bytes:sub(1, 64):gsub(".", function(c) return string.format("%02X", c:byte()) end)
    if #bytes > 64 then shown = shown .. "..." end
    return shown
  elseif type_code == "N" then
    return readable((bytes:gsub("^ +", "")))
  end
  return readable((bytes:gsub(" +$", "")))
end

-- Decodes the rows of a block from tvb offset `first` up to `limit`
-- (exclusive), adding one item per row. `result` holds row_length, columns,
-- rows_left and next_number; it is updated. `continuation`: a CONT block,
-- in which a block without bytes still carries one row of length zero.
local function dissect_rows(tvb, tree, first, limit, result, continuation)
  local s = tvb:raw()
  local pos, stop = first + 1, limit + 1
  local row_length = result.row_length
  local count = 0
  local function row_item(decoded, from, to)
    local number = result.next_number
    local range = to > from and tvb(from - 1, to - from) or tvb(from - 1, 0)
    local item = tree:add(F.row, range, readable(decoded))
    item:set_text(string.format("Row %d: %s", number, shortened(readable(decoded), 200)))
    item:add(F.row_number, number):set_generated()
    local columns = result.columns
    if columns and #decoded == row_length then
      local at = 1
      for _, column in ipairs(columns) do
        if not column.width or at + column.width - 1 > #decoded then break end
        local bytes = decoded:sub(at, at + column.width - 1)
        local value_item = item:add(F.row_value, range, column_value_text(bytes, column.type))
        value_item:set_text(string.format("%s: %s", readable(column.name), column_value_text(bytes, column.type)))
        at = at + column.width
      end
    end
    result.next_number = number + 1
    result.rows_left = result.rows_left - 1
    count = count + 1
    return item
  end

  if row_length == 0 then
    if pos == stop then
      if continuation and result.rows_left > 0 then row_item("", pos, pos) end
    else
      tree:add_proto_expert_info(E.extra_rows, "Bytes in a block of rows of length zero")
    end
    return count
  end

  while pos < stop do
    if result.rows_left <= 0 then
      tree:add(tvb(pos - 1, stop - pos), string.format("%d bytes after the last row of the result", stop - pos))
        :add_proto_expert_info(E.extra_rows, string.format("The block holds %d bytes after the result's last row", stop - pos))
      break
    end
    local row_start = pos
    local decoded, next_pos, problem, excess = decode_row(s, pos, stop, row_length)
    local item = row_item(decoded, row_start, next_pos)
    pos = next_pos
    if problem == "cut" then
      item:add_proto_expert_info(E.row_cut, string.format(
        "The end-of-block marker cuts row %d after %d of its %d bytes", result.next_number - 1, #decoded, row_length))
      break
    elseif problem == "overrun" then
      item:add_proto_expert_info(E.run_overrun, string.format(
        "A run overruns row %d by %d bytes (row length %d)", result.next_number - 1, excess, row_length))
      break
    elseif problem == "digit" then
      item:add_proto_expert_info(E.bad_digit, string.format(
        "Row %d: a run's digits \"%s\" are outside 0-9A-Z", result.next_number - 1, readable(s:sub(pos + 1, pos + 2))))
      break
    end
  end
  return count
end

local function add_status(tree, tvb, raw)
  local status = raw:sub(7, 10)
  local item = tree:add(F.status, tvb(6, #status), readable(status))
  if not status:find("^%d%d%d%d$") then
    item:add_proto_expert_info(E.bad_status, "Status \"" .. readable(status) .. "\" is not four decimal digits")
  else
    local meaning = status_meaning(status)
    if meaning then item:add(F.status_meaning, meaning):set_generated() end
  end
  return status, item
end

-- Dissects one server reply. `request` is the record of the request it
-- answers (or nil). Returns kind and Info summary.
local function dissect_reply(tvb, pinfo, tree, conv, rec, request)
  local length = tvb:len()
  local raw = tvb:raw()
  local text_end = raw:sub(-MARKER_LENGTH) == MARKER and length - MARKER_LENGTH or length
  local tag = raw:sub(1, 6)
  local request_kind = request and request.kind
  local request_word = request and request.word
  local tag_item = tree:add(F.tag, tvb(0, math.min(6, length)), readable(tag))

  local expected_tag = HEAD_TAG
  if request_kind == "cont" and request.cont_digits then expected_tag = "LBX" .. request.cont_digits:sub(1, 3) end
  local is_block = tag ~= HEAD_TAG and tag:find("^LBX%d%d%d$") ~= nil
  if request_kind and tag ~= HEAD_TAG and tag ~= expected_tag then
    tag_item:add_proto_expert_info(E.wrong_tag, string.format("Head tag \"%s\" where \"%s\"%s is expected",
      readable(tag), HEAD_TAG, expected_tag ~= HEAD_TAG and (" or \"" .. expected_tag .. "\"") or ""))
    if request_kind ~= "cont" then is_block = false end
  elseif not request_kind and tag ~= HEAD_TAG and not is_block then
    tag_item:add_proto_expert_info(E.wrong_tag, "Head tag \"" .. readable(tag) .. "\" is neither LBX000 nor a continuation tag")
  end

  if is_block then
    tree:add(F.kind, "block"):set_generated()
    if request and request.cont then tree:add(F.cont, request.cont):set_generated() end
    local result = rec.result
    local info
    if result then
      local first_number = result.next_number
      local count = dissect_rows(tvb, tree, 6, text_end, result, true)
      tree:add(F.block_rows, count):set_generated()
      info = string.format("Block %s: %s of %d", readable(tag),
        count == 0 and "no row" or count == 1 and ("row " .. first_number) or
        string.format("rows %d-%d", first_number, first_number + count - 1), result.total)
    else
      if text_end > 6 then tree:add(tvb(6, text_end - 6), "Rows (their SELECT is not in the capture)") end
      tree:add_proto_expert_info(E.no_result, "The row length is unknown without the SELECT reply")
      info = "Block " .. readable(tag)
    end
    add_marker(tree, tvb, text_end)
    return "block", info
  end

  tree:add(F.kind, "reply"):set_generated()
  if length < 16 or text_end < 10 then
    tree:add_proto_expert_info(E.short_reply, "Reply of " .. length .. " bytes")
    if length >= 10 then add_status(tree, tvb, raw) end
    add_marker(tree, tvb, text_end)
    return "reply", "Reply (malformed, " .. length .. " bytes)"
  end
  local status, status_item = add_status(tree, tvb, raw)
  local text = raw:sub(11, text_end)
  local about = request_kind == "binary_insert" and "binary insert" or
      request_word and request_word ~= "" and request_word or request_kind or "?"
  local info = string.format("Reply %s to %s", readable(status), about)

  if status ~= "0000" and status:find("^%d%d%d%d$") then
    status_item:add_proto_expert_info(E.server_error, string.format("Server error %s: %s", status, shortened(readable(text), 120)))
  end

  if request_kind == "command" and request_word == "SELECT" then
    if status == "0000" then
      local dot = raw:find(".", 11, true)
      local rows_field, length_field = raw:sub(11, 18), raw:sub(19, 23)
      local rows_value, length_value = tonumber(rows_field:match("^%s*(%d+)")), tonumber(length_field:match("^%s*(%d+)"))
      if not dot or dot > text_end or not rows_value or not length_value or dot < 24 then
        tree:add_packet_field(F.text, tvb(10, text_end - 10), ENC_WINDOWS_1252)
        tree:add_proto_expert_info(E.bad_select, "No row count, row length and '.' at the head of the reply")
        conv.result = nil
        add_marker(tree, tvb, text_end)
        return "reply", info .. " (malformed)"
      end
      tree:add_packet_field(F.text, tvb(10, dot - 10), ENC_WINDOWS_1252)
      tree:add(F.rows, tvb(10, 8), rows_value)
      tree:add(F.row_length, tvb(18, 5), length_value)
      local description = raw:sub(24, dot - 1)
      local columns = parse_columns(description)
      local columns_item = tree:add(F.columns, tvb(23, dot - 24), readable(description))
      local at = 23
      for _, column in ipairs(columns) do
        local range = tvb(at, #column.text)
        local item = columns_item:add(F.column, range, readable(column.text))
        if column.name then
          item:add(F.column_name, range, readable(column.name))
          item:add(F.column_type, range, column.type)
          item:add(F.column_width, range, column.width)
        end
        at = at + #column.text + 1
      end
      local result = rec.result
      local count = dissect_rows(tvb, tree, dot, text_end, result, false)
      tree:add(F.block_rows, count):set_generated()
      info = string.format("Reply 0000 to SELECT: %d rows of %d bytes, %d in this block", rows_value, length_value, count)
    else
      tree:add_packet_field(F.text, tvb(10, text_end - 10), ENC_WINDOWS_1252)
      info = info .. ": " .. shortened(readable(text))
    end
    add_marker(tree, tvb, text_end)
    return "reply", info
  end

  if text_end > 10 then
    tree:add_packet_field(F.text, tvb(10, text_end - 10), ENC_WINDOWS_1252)
  else
    tree:add(F.text, tvb(10, 0), "")
  end
  if request_kind == "login" and status == "0000" then
    local version, ml = dissect_server_info(tvb, tree, text, 10)
    rec.login_version = version
    -- The greeting text, then what the keywords say.
    local greeting = text:match("^(.-),%u%u=") or text
    info = string.format("%s: %s; server %s, message length %s", info, shortened(readable(greeting)),
      version or "?", ml and tostring(ml) or "1900")
  elseif request_kind == "command" and request_word == "SET" and status == "0000" then
    local ml_at = text:find(",ML=", 1, true)
    if ml_at then
      local first = text:find("%d", ml_at + 1)
      local digits = first and text:sub(first):match("^%d+")
      if digits and #digits <= 9 then tree:add(F.server_ml, tvb(10 + first - 1, #digits), tonumber(digits)) end
    end
  elseif request and request.commit and status == "0000" then
    local items = math.floor(#text / 11)
    tree:add(F.commit_updates, items):set_generated()
    for i = 0, items - 1 do
      local item = text:sub(i * 11 + 1, i * 11 + 11)
      local range = tvb(10 + i * 11, 11)
      local changed = item:match("^(%d+) $")
      local total = item:match("^%+(%d+) $")
      if changed and #changed <= 10 and tonumber(changed) <= 0xFFFFFFFF then
        tree:add(F.commit_changed, range, tonumber(changed))
      elseif total then
        tree:add(F.commit_total, range, tonumber(total))
      end
    end
    info = string.format("Reply %s to COMMIT: %d update%s", status, items, items == 1 and "" or "s")
  elseif request_kind == "cont" and status == "0000" then
    tree:add_proto_expert_info(E.empty_block, "A continuation is answered by a block or a failure; 0000 under LBX000 is neither")
  end
  if not info:find(":", 1, true) and text ~= "" then info = info .. ": " .. shortened(readable(text)) end
  add_marker(tree, tvb, text_end)
  return "reply", info
end

---------------------------------------------------------------------------
-- One message, with its pairing

local function copy_result(result)
  if not result then return nil end
  return { row_length = result.row_length, columns = result.columns, rows_left = result.rows_left,
           next_number = result.next_number, total = result.total }
end

local function dissect_message(tvb, pinfo, root, conv, key, server_side)
  local tree = root:add(lumbra, tvb())
  local rec = messages[key]
  local first_pass = not rec
  if first_pass then
    rec = { frame = pinfo.number, time = pinfo.rel_ts, server_side = server_side }
    frame_counts[pinfo.number] = (frame_counts[pinfo.number] or 0) + 1
    rec.nth = frame_counts[pinfo.number]
    messages[key] = rec
  end

  local kind, info
  if not server_side then
    local word, cont_number
    kind, word, info, cont_number = dissect_request(tvb, pinfo, tree, conv, rec)
    if first_pass then
      rec.kind, rec.word, rec.cont = kind, word, cont_number
      if kind == "cont" then
        rec.cont_digits = tvb:raw():match("^CONT=(%d+)")
      else
        conv.result = nil -- every other message ends the open result
      end
      if kind == "commit" then rec.commit = true end
      if kind == "login" then conv.login_user = rec.user end
      conv.pending[conv.pending_next] = rec
      conv.pending_next = conv.pending_next + 1
    end
    if rec.response then
      tree:add(F.response_in, rec.response.frame):set_generated()
    end
  else
    local request
    if first_pass then
      request = conv.pending[conv.pending_first]
      if request then
        conv.pending[conv.pending_first] = nil
        conv.pending_first = conv.pending_first + 1
        request.response = rec
        rec.request = request
      end
      -- What the reply needs of the result set: the SELECT opens one, a block goes on with it.
      local tag = tvb:len() >= 6 and tvb:raw(0, 6) or ""
      if request and request.kind == "command" and request.word == "SELECT" then
        local raw = tvb:raw()
        local rows = tonumber(raw:sub(11, 18):match("^%s*(%d+)") or "")
        local row_length = tonumber(raw:sub(19, 23):match("^%s*(%d+)") or "")
        local dot = raw:find(".", 11, true)
        if raw:sub(7, 10) == "0000" and rows and row_length and dot and dot >= 24 then
          rec.result = { row_length = row_length, columns = parse_columns(raw:sub(24, dot - 1)),
                         rows_left = rows, next_number = 1, total = rows }
        end
      elseif tag ~= HEAD_TAG and tag:find("^LBX%d%d%d$") and conv.result then
        rec.result = copy_result(conv.result)
      end
    end
    request = rec.request
    -- Decoding changes the copy it is given; the record keeps the state before it.
    local saved = rec.result
    rec.result = copy_result(saved)
    kind, info = dissect_reply(tvb, pinfo, tree, conv, rec, request)
    local after = rec.result
    rec.result = saved
    if first_pass then
      rec.kind = kind
      if kind == "block" or (request and request.word == "SELECT" and saved) then
        conv.result = after
        if after and after.rows_left <= 0 then conv.result = nil end
      elseif request and request.kind == "cont" then
        conv.result = nil
      end
      if rec.login_version then conv.version = rec.login_version end
      if request and request.kind == "login" and tvb:len() >= 10 and tvb:raw(6, 4) == "0000" then
        conv.user = conv.login_user
      end
    end
    if request then
      tree:add(F.request_in, request.frame):set_generated()
      tree:add(F.time, nstime_between(request.time, rec.time)):set_generated()
      tree:add(F.request_kind, request.kind):set_generated()
      if request.word then tree:add(F.request_command, request.word):set_generated() end
    end
  end

  if conv.user then tree:add(F.session_user, readable(conv.user)):set_generated() end
  if conv.version then tree:add(F.session_version, conv.version):set_generated() end
  tree:append_text(", " .. kind)

  if rec.nth == 1 then
    pinfo.cols.info = info
  else
    pinfo.cols.info:append(" | " .. info)
  end
end

---------------------------------------------------------------------------
-- Entry points

function lumbra.dissector(tvb, pinfo, root)
  local total = tvb:len()
  if total == 0 then return 0 end
  pinfo.cols.protocol = "LUMBRA"
  local conv = stream_of(pinfo)
  local offset = 0
  while offset < total do
    local server_side = from_server(conv, pinfo, tvb, offset)
    local length
    if server_side then
      -- Later passes get whole messages from TCP: no need to remember searches.
      length = through_marker(tvb, offset, pinfo.visited and {} or conv.server_scan)
    else
      length = client_message_length(tvb, offset, pinfo.visited and {} or conv.client_scan)
    end
    if not length then
      pinfo.desegment_offset = offset
      pinfo.desegment_len = DESEGMENT_ONE_MORE_SEGMENT
      return total
    end
    local key = string.format("%d:%d:%d", pinfo.number, total, offset)
    dissect_message(tvb(offset, length):tvb(), pinfo, root, conv, key, server_side)
    offset = offset + length
  end
  return offset
end

local function heuristic(tvb, pinfo, root)
  local length = tvb:len()
  if length < 6 then return false end
  local head = tvb:raw(0, math.min(length, 10))
  if head == "LUMT" .. MARKER or head:find("^LBX%d%d%d") then
    pinfo.conversation = lumbra
    lumbra.dissector(tvb, pinfo, root)
    return true
  end
  return false
end

local registered_port
local function register_port()
  local table = DissectorTable.get("tcp.port")
  if registered_port then table:remove(registered_port, lumbra) end
  registered_port = lumbra.prefs.port
  if registered_port ~= 0 then table:add(registered_port, lumbra) end
end

function lumbra.prefs_changed()
  if registered_port ~= lumbra.prefs.port then register_port() end
end

register_port()
lumbra:register_heuristic("tcp", heuristic)
