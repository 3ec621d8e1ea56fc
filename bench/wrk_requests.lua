-- wrk's side of bench/walk_vs_baselines.sh: sends the requests a walk makes, in the walk's order
-- and over and over, from a file of "HOST TARGET" lines (demo_marketplace --pages writes it).
--   wrk ... -s bench/wrk_requests.lua [-H "Connection: close"] URL -- REQUESTS_FILE
-- Each request carries the headers given with -H besides its own Host header.
local requests = {}
local next_request = 0

function init(args)
  for line in io.lines(args[1]) do
    local host, target = line:match("^(%S+) (%S+)$")
    if host then
      local headers = {}
      for name, value in pairs(wrk.headers) do headers[name] = value end
      headers["Host"] = host
      requests[#requests + 1] = wrk.format("GET", target, headers)
    end
  end
  -- Each thread starts at its own place in the list.
  next_request = math.random(#requests) - 1
end

function request()
  next_request = next_request % #requests + 1
  return requests[next_request]
end
