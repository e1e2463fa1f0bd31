-- wrk script of the providers benchmark: every request is a POST of the generate_key call in
-- BENCH_BODY with the bearer token BENCH_TOKEN. An answer without a wrapped key counts as bad (a
-- JSON-RPC error is still HTTP 200, which wrk alone would count as a success), so a provider
-- broken by the concurrent changes cannot pass for a fast one.
wrk.method = "POST"
wrk.body = os.getenv("BENCH_BODY")
wrk.headers["Content-Type"] = "application/json"
wrk.headers["Authorization"] = "Bearer " .. os.getenv("BENCH_TOKEN")
local threads = {}

function setup(thread)
  table.insert(threads, thread)
end

function init(args)
  bad = 0
end

function response(status, headers, body)
  if status ~= 200 or not body or not body:find('"wrappedKey"', 1, true) then
    bad = bad + 1
  end
end

function done(summary, latency, requests)
  local total_bad = 0
  for _, thread in ipairs(threads) do
    total_bad = total_bad + thread:get("bad")
  end
  io.write(string.format("BENCH_RESULT rps=%.1f p50_us=%d p99_us=%d requests=%d errors=%d bad=%d\n",
    summary.requests / (summary.duration / 1e6), latency:percentile(50), latency:percentile(99),
    summary.requests, summary.errors.connect + summary.errors.read + summary.errors.write +
    summary.errors.timeout, total_bad))
end
