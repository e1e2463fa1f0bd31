-- wrk script: every request is a POST of one JSON-RPC generate_key call. The body and the bearer
-- token come from the environment (BENCH_BODY, BENCH_TOKEN), so the same script drives the daemon
-- and the fixed-response nginx.
wrk.method = "POST"
wrk.body = os.getenv("BENCH_BODY")
wrk.headers["Content-Type"] = "application/json"
local token = os.getenv("BENCH_TOKEN")
if token and token ~= "" then
  wrk.headers["Authorization"] = "Bearer " .. token
end

function done(summary, latency, requests)
  io.write(string.format("BENCH_RESULT rps=%.1f p50_us=%d p99_us=%d requests=%d errors=%d\n",
    summary.requests / (summary.duration / 1e6), latency:percentile(50), latency:percentile(99),
    summary.requests, summary.errors.status + summary.errors.connect + summary.errors.read +
    summary.errors.write + summary.errors.timeout))
end
