// The approvals dashboard's only script: keep the server-rendered page current.
// It polls the JSON twin of the page and, when the request changed, swaps in the
// fragment the server rendered (and escaped). Between polls it counts TTLs down.
(function () {
  "use strict";

  var POLL_MS = 1000;
  var live = document.getElementById("live");
  var state = document.getElementById("live-state");
  var loaded = performance.now();

  function tickTtls() {
    var elapsed = (performance.now() - loaded) / 1000;
    var cells = document.querySelectorAll("[data-expires-in]");
    for (var i = 0; i < cells.length; i++) {
      var left = Math.max(0, parseFloat(cells[i].getAttribute("data-expires-in")) - elapsed);
      cells[i].textContent = left > 0 ? formatDuration(left) : "expiring…";
    }
  }

  function formatDuration(seconds) {
    seconds = Math.ceil(seconds);
    var h = Math.floor(seconds / 3600), m = Math.floor((seconds % 3600) / 60), s = seconds % 60;
    function two(n) { return (n < 10 ? "0" : "") + n; }
    if (h) return h + " h " + two(m) + " min";
    if (m) return m + " min " + two(s) + " s";
    return s + " s";
  }

  function showState(text) {
    if (!state) return;
    state.hidden = !text;
    state.textContent = text || "";
  }

  // Typed reasons survive a swap, so another approver's answer does not erase them.
  function swap(html) {
    var kept = {};
    var inputs = live.querySelectorAll("input[type=text]");
    for (var i = 0; i < inputs.length; i++) {
      var owner = inputs[i].closest("[data-approver]");
      if (owner && inputs[i].value) kept[owner.getAttribute("data-approver")] = inputs[i].value;
    }
    var focused = document.activeElement && document.activeElement.closest
      ? document.activeElement.closest("[data-approver]") : null;
    var focusedName = focused ? focused.getAttribute("data-approver") : null;
    live.innerHTML = html;
    var owners = live.querySelectorAll("[data-approver]");
    for (var j = 0; j < owners.length; j++) {
      var name = owners[j].getAttribute("data-approver");
      var input = owners[j].querySelector("input[type=text]");
      if (!input) continue;
      if (kept[name]) input.value = kept[name];
      if (name === focusedName) input.focus();
    }
    loaded = performance.now();
  }

  function poll() {
    // "since" lets the server leave out a fragment the page already shows.
    var src = live.getAttribute("data-live-src");
    src += (src.indexOf("?") < 0 ? "?" : "&") + "since=" + encodeURIComponent(live.getAttribute("data-version") || "");
    fetch(src, { credentials: "same-origin", cache: "no-store" })
      .then(function (response) {
        if (response.status === 401) { window.location.reload(); return null; }
        if (!response.ok) throw new Error("HTTP " + response.status);
        return response.json();
      })
      .then(function (data) {
        if (!data) return;
        showState("");
        if (typeof data.html !== "string") {
          // Unchanged and not resent: the TTLs keep counting down locally.
        } else if (data.version !== live.getAttribute("data-version")) {
          live.setAttribute("data-version", data.version);
          swap(data.html);
        } else {
          // Same state: only refresh the TTL baseline the server measured.
          var fresh = document.createElement("div");
          fresh.innerHTML = data.html;
          var old = live.querySelectorAll("[data-expires-in]");
          var now = fresh.querySelectorAll("[data-expires-in]");
          if (old.length === now.length) {
            for (var i = 0; i < old.length; i++) old[i].setAttribute("data-expires-in", now[i].getAttribute("data-expires-in"));
            loaded = performance.now();
          }
        }
        if (data.final) { live.setAttribute("data-final", "true"); return; }
        setTimeout(poll, POLL_MS);
      })
      .catch(function () {
        showState("connection lost, retrying…");
        setTimeout(poll, POLL_MS * 3);
      });
  }

  // A decision is sent once: its button stays disabled until the answer's page loads.
  document.addEventListener("submit", function (event) {
    var button = event.target.querySelector("button[type=submit]");
    if (button) { button.disabled = true; button.textContent = "Sending…"; }
  });

  setInterval(tickTtls, 1000);
  if (live && live.getAttribute("data-live-src") && live.getAttribute("data-final") !== "true") {
    setTimeout(poll, POLL_MS);
  }
})();
