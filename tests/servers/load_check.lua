-- wrk script: checks every response body against the expected page, byte for
-- byte, and sums the counts of all threads at the end.
-- argument after "--": the file holding the expected body
local threads = {}

function setup(thread)
  table.insert(threads, thread)
end

function init(args)
  local f = assert(io.open(args[1], "rb"))
  want = f:read("*a")
  f:close()
  seen, wrong, bad_status = 0, 0, 0
end

function response(status, headers, body)
  seen = seen + 1
  if status ~= 200 then
    bad_status = bad_status + 1
  elseif body ~= want then
    wrong = wrong + 1
  end
end

function done(summary, latency, requests)
  local total, wrongs, bads = 0, 0, 0
  for _, t in ipairs(threads) do
    total = total + t:get("seen")
    wrongs = wrongs + t:get("wrong")
    bads = bads + t:get("bad_status")
  end
  local e = summary.errors
  io.write(string.format(
    "RESULT checked=%d wrong_body=%d non_200=%d requests=%d duration_us=%d" ..
    " connect=%d read=%d write=%d status=%d timeout=%d\n",
    total, wrongs, bads, summary.requests, summary.duration,
    e.connect, e.read, e.write, e.status, e.timeout))
end
