-- wrk script: POSTs webhook deliveries to the receiver, each body distinct (so none is a
-- redelivery) and signed as Meta signs it: X-Hub-Signature-256: sha256=<HMAC-SHA256 hex>
-- of the exact body, keyed with the app secret. HMAC-SHA256 is written here on LuaJIT's bit
-- operations (wrk has no crypto); it checks itself against RFC 4231 at start.
--
--   APP_SECRET=... [PAUSE_MS=2] [RUN_ID=x] wrk -t1 -c16 -d10s -s bench/sign_webhook.lua --latency URL
--
-- PAUSE_MS paces each connection with wrk's delay() (C connections, pause P ms: about
-- C * 1000 / (P + latency) requests per second); without it every connection sends as fast
-- as it is answered. RUN_ID makes the bodies distinct from an earlier run's.

local bit = require("bit")
local band, bor, bxor, bnot = bit.band, bit.bor, bit.bxor, bit.bnot
local rshift, lshift, ror, tobit = bit.rshift, bit.lshift, bit.ror, bit.tobit
local char, byte, format, rep = string.char, string.byte, string.format, string.rep

local K = {
  0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
  0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
  0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
  0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
  0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
  0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
  0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
  0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
}
for i = 1, 64 do K[i] = tobit(K[i]) end

local function be32(n)
  return char(band(rshift(n, 24), 0xff), band(rshift(n, 16), 0xff), band(rshift(n, 8), 0xff), band(n, 0xff))
end

-- SHA-256 of `message`, as 32 raw bytes.
local function sha256(message)
  local length = #message
  local padded = message .. "\128" .. rep("\0", (55 - length) % 64) ..
                 be32(math.floor(length / 0x20000000)) .. be32(tobit((length * 8) % 0x100000000))
  local h0, h1, h2, h3 = tobit(0x6a09e667), tobit(0xbb67ae85), tobit(0x3c6ef372), tobit(0xa54ff53a)
  local h4, h5, h6, h7 = tobit(0x510e527f), tobit(0x9b05688c), tobit(0x1f83d9ab), tobit(0x5be0cd19)
  local w = {}
  for block = 1, #padded, 64 do
    for i = 0, 15 do
      local a, b, c, d = byte(padded, block + 4 * i, block + 4 * i + 3)
      w[i] = bor(lshift(a, 24), lshift(b, 16), lshift(c, 8), d)
    end
    for i = 16, 63 do
      local x, y = w[i - 15], w[i - 2]
      local s0 = bxor(ror(x, 7), ror(x, 18), rshift(x, 3))
      local s1 = bxor(ror(y, 17), ror(y, 19), rshift(y, 10))
      w[i] = tobit(w[i - 16] + s0 + w[i - 7] + s1)
    end
    local a, b, c, d, e, f, g, h = h0, h1, h2, h3, h4, h5, h6, h7
    for i = 0, 63 do
      local S1 = bxor(ror(e, 6), ror(e, 11), ror(e, 25))
      local ch = bxor(band(e, f), band(bnot(e), g))
      local t1 = tobit(h + S1 + ch + K[i + 1] + w[i])
      local S0 = bxor(ror(a, 2), ror(a, 13), ror(a, 22))
      local maj = bxor(band(a, b), band(a, c), band(b, c))
      local t2 = tobit(S0 + maj)
      h, g, f, e, d, c, b, a = g, f, e, tobit(d + t1), c, b, a, tobit(t1 + t2)
    end
    h0, h1, h2, h3 = tobit(h0 + a), tobit(h1 + b), tobit(h2 + c), tobit(h3 + d)
    h4, h5, h6, h7 = tobit(h4 + e), tobit(h5 + f), tobit(h6 + g), tobit(h7 + h)
  end
  return be32(h0) .. be32(h1) .. be32(h2) .. be32(h3) .. be32(h4) .. be32(h5) .. be32(h6) .. be32(h7)
end

local function xor_with(key, pad)
  local out = {}
  for i = 1, 64 do out[i] = char(bxor(byte(key, i), pad)) end
  return table.concat(out)
end

local function hex(raw)
  return (raw:gsub(".", function(c) return format("%02x", byte(c)) end))
end

-- The key's inner and outer pads, computed once per key.
local function hmac_pads(key)
  if #key > 64 then key = sha256(key) end
  key = key .. rep("\0", 64 - #key)
  return xor_with(key, 0x36), xor_with(key, 0x5c)
end

local function hmac_sha256_hex(inner_pad, outer_pad, message)
  return hex(sha256(outer_pad .. sha256(inner_pad .. message)))
end

do  -- RFC 4231, test case 2
  local i, o = hmac_pads("Jefe")
  local got = hmac_sha256_hex(i, o, "what do ya want for nothing?")
  assert(got == "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843", "HMAC self-check failed: " .. got)
end

local secret = os.getenv("APP_SECRET") or "bench-app-secret"
-- Pacing: each connection waits this long after an answer before its next request.
local pause = tonumber(os.getenv("PAUSE_MS") or "0")
-- Distinct bodies from run to run too: a body seen before would be a redelivery.
local run = os.getenv("RUN_ID") or tostring(os.time())
local inner_pad, outer_pad = hmac_pads(secret)
local threads = {}
local counter = 0
thread_id = 0  -- set in each thread's state by setup()

function setup(thread)
  thread:set("thread_id", #threads + 1)
  table.insert(threads, thread)
end

function init(args)
  wrk.method = "POST"
  wrk.headers["Content-Type"] = "application/json"
end

function delay()
  return pause
end

function request()
  counter = counter + 1
  local body = '{"object":"instagram","entry":[{"id":"17841400000000000","time":1714557600,"changes":[{"field":"comments",' ..
               '"value":{"from":{"id":"17841405309211844","username":"a_fan"},"media":{"id":"17900000000000001",' ..
               '"media_product_type":"FEED"},"id":"' .. run .. "_" .. tostring(thread_id) .. "_" .. tostring(counter) ..
               '","text":"Love this! #quillmere"}}]}]}'
  local headers = {["X-Hub-Signature-256"] = "sha256=" .. hmac_sha256_hex(inner_pad, outer_pad, body)}
  return wrk.format(nil, nil, headers, body)
end

function done(summary, latency, requests)
  io.write(format("non-2xx or 3xx responses: %d\n", summary.errors.status))
end
