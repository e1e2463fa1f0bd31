-- wrk script of the benchmarks that check answers (the soak, the providers benchmark): every
-- request is a POST of the JSON-RPC call in CALL_BODY with the bearer token CALL_TOKEN; an answer
-- whose body lacks CALL_EXPECT counts as bad (a JSON-RPC error is still HTTP 200, which wrk alone
-- would count as a success). Prints one CALL_RESULT line.
wrk.method = "POST"
wrk.body = os.getenv("CALL_BODY")
wrk.headers["Content-Type"] = "application/json"
wrk.headers["Authorization"] = "Bearer " .. os.getenv("CALL_TOKEN")
local expect = os.getenv("CALL_EXPECT")
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
  io.write(string.format("CALL_RESULT rps=%.1f p50_us=%d p99_us=%d requests=%d errors=%d bad=%d\n",
    summary.requests / (summary.duration / 1e6), latency:percentile(50), latency:percentile(99),
    summary.requests, summary.errors.connect + summary.errors.read + summary.errors.write +
    summary.errors.timeout, total_bad))
end
