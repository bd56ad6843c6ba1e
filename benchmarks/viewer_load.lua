-- wrk script of benchmarks/viewer_load.py: GETs of Deep Zoom tiles drawn
-- uniformly from all tiles of all levels, or of tiles of slides that do not
-- exist; prints one RESULT line at the end.
--
--   wrk ... -s viewer_load.lua URL -- tiles|missing BASE LEVEL:COLUMNS:ROWS ...
--
-- BASE is the tiles' path up to the level ("/slides/x_files/"). Every answer
-- of 500 or above is counted as a server error; for "tiles" every answer but
-- 200 is an error, for "missing" every answer but 404.

local threads = {}

function setup(thread)
  table.insert(threads, thread)
  thread:set("id", #threads)
end

function init(args)
  mode = args[1]
  base = args[2]
  levels = {}
  total = 0
  for i = 3, #args do
    local l, c, r = args[i]:match("(%d+):(%d+):(%d+)")
    l, c, r = tonumber(l), tonumber(c), tonumber(r)
    total = total + c * r
    table.insert(levels, {level = l, columns = c, rows = r, last = total})
  end
  math.randomseed(1000 + id)
  unexpected = 0
  server_errors = 0
end

function request()
  local k = math.random(total) - 1
  for _, e in ipairs(levels) do
    if k < e.last then
      local i = k - (e.last - e.columns * e.rows)
      local path = base .. e.level .. "/" .. (i % e.columns) .. "_" .. math.floor(i / e.columns) .. ".jpeg"
      if mode == "missing" then
        path = "/slides/no-such-slide-" .. math.random(1000000) .. "_files/" .. e.level .. "/0_0.jpeg"
      end
      return wrk.format("GET", path)
    end
  end
end

function response(status, headers, body)
  if status >= 500 then
    server_errors = server_errors + 1
  end
  if (mode == "tiles" and status ~= 200) or (mode == "missing" and status ~= 404) then
    unexpected = unexpected + 1
  end
end

function done(summary, latency, requests)
  local bad, failed = 0, 0
  for _, thread in ipairs(threads) do
    bad = bad + thread:get("unexpected")
    failed = failed + thread:get("server_errors")
  end
  local e = summary.errors
  io.write(string.format(
    "RESULT requests=%d duration_us=%d p50_us=%d p99_us=%d max_us=%d unexpected=%d server_errors=%d " ..
    "socket_errors=%d timeouts=%d\n",
    summary.requests, summary.duration, latency:percentile(50), latency:percentile(99), latency.max,
    bad, failed, e.connect + e.read + e.write, e.timeout))
end
