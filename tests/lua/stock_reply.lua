-- stock_reply.lua - runs the chunk on standard input as qel-lua-service runs a request,
-- in the stock interpreter, and writes what the service would reply: print's lines, then
-- the chunk's results as tostring gives them, tab-separated; or "error: " and the message.
local source = io.read("a")
local out = {}
local function collect(...)
  local n = select("#", ...)
  for i = 1, n do
    out[#out + 1] = (i > 1 and "\t" or "") .. tostring((select(i, ...)))
  end
end
print = function(...) collect(...) out[#out + 1] = "\n" end
local function handler(message)
  if type(message) == "string" or type(message) == "number" then return tostring(message) end
  local meta = getmetatable(message)
  if meta and meta.__tostring then
    local text = tostring(message)
    if type(text) == "string" then return text end
  end
  return string.format("(error object is a %s value)", type(message))
end
local chunk, message = load(source, "=script", "t")
if not chunk then io.write("error: ", message) return end
local results = table.pack(xpcall(chunk, handler))
if not results[1] then io.write("error: ", results[2]) return end
collect(table.unpack(results, 2, results.n))
io.write(table.concat(out))
