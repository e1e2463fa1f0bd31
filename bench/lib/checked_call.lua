-- wrk script of the soak: every request is a POST of the JSON-RPC call in SOAK_BODY with the bearer
-- token SOAK_TOKEN; an answer whose body lacks SOAK_EXPECT counts as bad (a JSON-RPC error is
-- still HTTP 200, which wrk alone would count as a success).
wrk.method = "POST"
wrk.body = os.getenv("SOAK_BODY")
wrk.headers["Content-Type"] = "application/json"
wrk.headers["Authorization"] = "Bearer " .. os.getenv("SOAK_TOKEN")
local expect = os.getenv("SOAK_EXPECT")
local threads = {}

function setup(thread)
  table.insert(threads, thread)
end

function init(args)
  bad = 0
end

function response(status, headers, body)
  if status ~= 200 or not body or not body:find(expect, 1, true) then
    bad = bad + 1
  end
end

function done(summary, latency, requests)
  local total_bad = 0
  for _, thread in ipairs(threads) do
    total_bad = total_bad + thread:get("bad")
  end
  io.write(string.format("SOAK_RESULT requests=%d errors=%d bad=%d p99_us=%d\n", summary.requests,
    summary.errors.connect + summary.errors.read + summary.errors.write + summary.errors.timeout,
    total_bad, latency:percentile(99)))
end
