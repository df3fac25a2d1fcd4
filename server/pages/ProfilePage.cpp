#include "server/pages/Html.h"
#include "server/pages/Pages.h"

namespace quorvin::server::pages {

namespace {

// Draws the live candles from /api/usage/candles every 5 seconds. The handle comes from a
// data attribute, never from text spliced into the script.
constexpr const char* chartScript = R"js((function () {
  const handle = document.getElementById('chart').dataset.handle;
  const canvas = document.getElementById('chart');
  const status = document.getElementById('chart-status');
  function draw(frame) {
    const ratio = window.devicePixelRatio || 1;
    const w = canvas.clientWidth, h = canvas.clientHeight;
    canvas.width = w * ratio; canvas.height = h * ratio;
    const g = canvas.getContext('2d');
    g.scale(ratio, ratio);
    g.clearRect(0, 0, w, h);
    const candles = frame.candles || [];
    const seen = candles.filter(c => c.observed);
    status.textContent = seen.length === 0 ? 'Collecting live candles' :
      (frame.stale ? 'Idle' : 'Live') + ' \u00b7 ' + Math.round(frame.tokenRate || 0).toLocaleString() +
      ' tokens/min \u00b7 $' + (frame.costRate || 0).toFixed(2) + '/h';
    if (seen.length === 0) return;
    let hi = Math.max(...seen.map(c => c.high)), lo = Math.min(...seen.map(c => c.low));
    if (hi === lo) { hi += 1; lo = Math.max(0, lo - 1); }
    const volMax = Math.max(1, ...candles.map(c => c.vol));
    const top = 10, plot = h * 0.72, volTop = h * 0.78;
    const y = v => top + (hi - v) / (hi - lo) * (plot - top);
    const bw = w / candles.length, body = Math.max(1, Math.min(10, bw * 0.54));
    candles.forEach((c, i) => {
      const x = (i + 0.5) * bw;
      if (!c.observed) return;
      const color = c.open > c.close ? '#c71f1f' : '#1cb857';
      g.strokeStyle = color; g.fillStyle = color;
      g.beginPath(); g.moveTo(x, y(c.high)); g.lineTo(x, y(c.low)); g.stroke();
      const a = y(Math.max(c.open, c.close)), b = y(Math.min(c.open, c.close));
      g.fillRect(x - body / 2, a, body, Math.max(1, b - a));
      g.globalAlpha = 0.35;
      const vh = (c.vol / volMax) * (h - volTop - 4);
      g.fillRect(x - body / 2, h - 4 - vh, body, vh);
      g.globalAlpha = 1;
    });
  }
  function refresh() {
    fetch('/api/usage/candles?handle=' + encodeURIComponent(handle) + '&target=45', {cache: 'no-store'})
      .then(r => r.ok ? r.json() : Promise.reject(r.status))
      .then(draw)
      .catch(() => { status.textContent = 'Live candles unavailable'; });
  }
  refresh();
  setInterval(refresh, 5000);
})();
)js";

}  // namespace

std::string profileScript() { return chartScript; }

std::string profile(const ProfileData& data) {
  const auto& summary = data.summary;
  const std::string h = html::escape(data.handle);
  std::string body = "<h1>" + h + "</h1>";
  body += "<p><strong>" + html::formatTokens(summary.total) + "</strong> tokens, <strong>" +
          html::formatDollars(summary.cost) + "</strong> at list prices, from " + std::to_string(summary.machines) +
          " machine" + (summary.machines == 1 ? "" : "s") + ".</p>";
  body += "<h2 id=\"live\">Live</h2><p id=\"chart-status\" class=\"muted\">Loading…</p><canvas id=\"chart\" data-handle=\"" +
          h + "\"></canvas>";
  body += "<p class=\"muted\">Each candle is one minute. Its open, high, low and close are the token flow in "
          "tokens per minute measured between consecutive uploads; the bar below is the tokens used in that "
          "minute.</p>";
  if (!summary.models.empty()) {
    body += "<h2>Models</h2><table><tr><th>Model</th><th>Tokens</th><th>Cost</th></tr>";
    for (const auto& model : summary.models) {
      body += "<tr><td>" + html::escape(model.name) + "</td><td>" + html::formatTokens(model.tokens) + "</td><td>" +
              html::formatDollars(model.cost) + "</td></tr>";
    }
    body += "</table>";
  }
  body += "<h2>Signed checkpoints</h2>";
  if (data.head) {
    const auto& head = *data.head;
    body += "<p>Checkpoint #" + std::to_string(head.seq) + " at " + html::formatTime(head.ts) + "<br>Head <code>" +
            html::escape(head.head) + "</code><br>Key <code>" + html::escape(head.pubkey) + "</code></p>";
  } else {
    body += "<p class=\"muted\">No checkpoint yet.</p>";
  }
  body +=
      "<p class=\"muted\">Every checkpoint is a tick signed with Ed25519 by the machine's key. The chain head is "
      "<code>head = lowercase_hex(SHA-256(previous_head_hex || canonical_tick))</code>, where "
      "<code>previous_head_hex</code> is the previous head's 64 hexadecimal characters (nothing for the first "
      "tick) and <code>canonical_tick</code> is the tick as JSON with keys sorted at every level, no whitespace "
      "and the cost written as a plain decimal with at most four fractional digits, for example "
      "<code>{\"handle\":\"alice\",\"metrics\":{\"costUsdTotal\":1.2346,\"tokensTotal\":1200},\"prev\":\"\","
      "\"seq\":0,\"ts\":1767323045000}</code>. The current head is at <code>/api/oracle/" + h + "</code>.</p>";
  body += "<script src=\"/assets/profile.js\"></script>";
  return html::page("Quorvin: " + data.handle, body);
}

}  // namespace quorvin::server::pages
