-- wrk script for the status page load: a fixed pause per connection between requests
-- (CVX_WRK_DELAY_MS) gives a steady request rate, and every answer is checked to be
-- one whole page.
local threads = {}

function setup(thread)
   table.insert(threads, thread)
end

function init(args)
   bad = 0
   pages = 0
   pause = tonumber(os.getenv("CVX_WRK_DELAY_MS") or "0")
end

function delay()
   return pause
end

function response(status, headers, body)
   if status ~= 200 or not string.find(body, "</html>%s*$") then
      bad = bad + 1
   else
      pages = pages + 1
   end
end

function done(summary, latency, requests)
   local b, p = 0, 0
   for _, t in ipairs(threads) do
      b = b + t:get("bad")
      p = p + t:get("pages")
   end
   io.write(string.format("wrk_whole_pages=%d\nwrk_bad_pages=%d\n", p, b))
   io.write(string.format("wrk_latency_p50_ms=%.2f\nwrk_latency_p99_ms=%.2f\nwrk_latency_max_ms=%.2f\n",
      latency:percentile(50) / 1000, latency:percentile(99) / 1000, latency.max / 1000))
end
