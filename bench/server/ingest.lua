-- wrk script: every request is a complete, growing upload from one of several publishers.
local token = os.getenv("QUORVIN_BENCH_TOKEN")
local handle = os.getenv("QUORVIN_BENCH_HANDLE") or "bench"
local threads = 0

function setup(thread)
  thread:set("tid", threads)
  threads = threads + 1
end

function init(args)
  counter = 0
  headers = {["Authorization"] = "Bearer " .. token, ["Content-Type"] = "application/json"}
end

function request()
  counter = counter + 1
  local body = string.format(
    '{"handle":"%s","source":"ccusage-mac","publisher_id":"bench-%d","app_version":"bench","plan":"",' ..
    '"tokens":{"total":%d,"cost_usd_total":%d.25,"input_total":%d,"output_total":0,"cache_read_total":0,' ..
    '"cache_write_total":0,"apps_used":1,"by_agent":[{"name":"claude","tokens":%d}],"models_used":1,' ..
    '"by_model":[{"name":"claude-sonnet-4","in":%d,"out":0,"cacheRead":0,"cacheWrite":0,"cost":1.5}]}}',
    handle, tid, counter, counter, counter, counter, counter)
  return wrk.format("POST", "/api/ingest", headers, body)
end

function done(summary, latency, requests)
  io.write(string.format("quorvin: requests %d errors %d non2xx %d seconds %.2f p50_ms %.2f p99_ms %.2f\n",
    summary.requests, summary.errors.connect + summary.errors.read + summary.errors.write + summary.errors.timeout,
    summary.errors.status, summary.duration / 1e6, latency:percentile(50) / 1000, latency:percentile(99) / 1000))
end
