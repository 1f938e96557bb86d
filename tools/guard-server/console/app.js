// The console's page: the station list and one station's page, polled once
// a second. Every change goes with the token in a header; the token comes in
// the page's address once and is kept for this tab only.
"use strict";

const token = (() => {
  const given = new URLSearchParams(location.search).get("token");
  if (given) {
    sessionStorage.setItem("qz-token", given);
    history.replaceState(null, "", location.pathname + location.hash);
  }
  return sessionStorage.getItem("qz-token") || "";
})();

const $ = (id) => document.getElementById(id);

function el(tag, attrs, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (k === "class") e.className = v;
    else if (k.startsWith("data-")) e.setAttribute(k, v);
    else e[k] = v;
  }
  for (const c of children) e.append(c instanceof Node ? c : document.createTextNode(c ?? ""));
  return e;
}

async function api(path, body) {
  const init = { headers: { "X-Console-Token": token } };
  if (body !== undefined) {
    init.method = "POST";
    init.headers["Content-Type"] = "application/json";
    init.body = JSON.stringify(body);
  }
  const r = await fetch(path, init);
  const data = await r.json().catch(() => ({}));
  if (!r.ok) throw new Error(data.error || r.statusText);
  return data;
}

function age(seconds) {
  if (seconds === null || seconds === undefined) return "never";
  if (seconds < 90) return Math.round(seconds) + " s ago";
  if (seconds < 5400) return Math.round(seconds / 60) + " min ago";
  return Math.round(seconds / 3600) + " h ago";
}

function when(s) {
  return s.last_heartbeat ? new Date(s.last_heartbeat * 1000).toLocaleTimeString() + " (" + age(s.age) + ")" : "never";
}

function lockBadge(word) {
  return el("span", { class: "badge " + (word || "offline") }, word || "unknown");
}

function user(s) {
  if (!s.login) return "unknown";
  return s.login.state === "logon" ? (s.login.user || "a user") : "nobody logged on";
}

let current = null;

function route() {
  const m = location.hash.match(/^#\/station\/(.+)$/);
  current = m ? decodeURIComponent(m[1]) : null;
  $("list-view").hidden = current !== null;
  $("station-view").hidden = current === null;
  if (current) {
    $("station-name").textContent = current;
    $("shot-image").hidden = true;
    $("shot-time").textContent = "No screenshot yet.";
    $("processes").tBodies[0].replaceChildren();
    $("inventory").textContent = "Not fetched yet.";
    $("logs-link").hidden = true;
  }
  refresh();
}

async function refresh() {
  try {
    if (current) showStation(await api("/api/stations/" + encodeURIComponent(current)));
    else showList(await api("/api/stations"));
    $("status").textContent = "updated " + new Date().toLocaleTimeString();
  } catch (e) {
    $("status").textContent = "not updated: " + e.message;
  }
}

function showList(stations) {
  const rows = stations.map((s) => el("tr", { "data-station": s.name },
    el("td", { class: "name" }, el("a", { href: "#/station/" + encodeURIComponent(s.name) }, s.name)),
    el("td", { class: "room" }, s.room || "—"),
    el("td", { class: "address" }, s.address + (s.listener_port ? ":" + s.listener_port : "")),
    el("td", { class: "heartbeat" }, when(s)),
    el("td", { class: "users" }, user(s)),
    el("td", { class: "lock" }, lockBadge(s.lock_status)),
    el("td", { class: "apps" }, s.applications.length ? s.applications.join(", ") : "none"),
    el("td", { class: "events" }, String(s.pending_events)),
    el("td", { class: "version" }, s.version || "—")));
  $("stations").tBodies[0].replaceChildren(...rows);
  $("no-stations").hidden = stations.length > 0;
}

function showStation(s) {
  $("station-room").textContent = s.room || "—";
  $("station-address").textContent = s.address + (s.listener_port ? ", command port " + s.listener_port : "") +
    (s.websocket ? ", websocket open" : "");
  $("station-heartbeat").textContent = when(s);
  $("station-user").textContent = user(s);
  $("station-lock").replaceChildren(lockBadge(s.lock_status));
  $("station-version").textContent = s.version || "—";
  const items = s.history.map((h) => el("li", {},
    el("span", {}, h.time + " "), el("strong", {}, h.command), " ",
    el("span", { class: h.ok ? "ok" : "fail" }, h.ok ? (h.result || "sent") : ("failed: " + (h.error || h.result))),
    el("details", {}, el("summary", {}, "request and reply"),
      el("pre", {}, h.request || ""), el("pre", {}, h.reply || "(no reply)"))));
  // Newest first; open details stay open across refreshes.
  const open = new Set([...$("history").querySelectorAll("details[open]")].map((d) => d.parentNode.dataset.key));
  items.forEach((li, i) => { li.dataset.key = String(i); li.querySelector("details").open = open.has(String(i)); });
  $("history").replaceChildren(...items.reverse());
}

async function command(name, params, xml) {
  const r = await api("/api/stations/" + encodeURIComponent(current) + "/command", { name, params, xml });
  refresh();
  if (!r.ok) throw new Error(r.error || "the agent did not answer");
  return r;
}

function busy(button, work) {
  button.addEventListener("click", async () => {
    button.disabled = true;
    try {
      await work();
    } catch (e) {
      $("status").textContent = e.message;
    } finally {
      button.disabled = false;
    }
  });
}

async function loadProcesses() {
  const r = await command("get_all_active_processes");
  const rows = (r.processes || []).map((p) => {
    const stop = el("button", { class: "stop" }, "Stop");
    busy(stop, async () => {
      if (!confirm("Stop " + (p.name || p.path) + " (" + p.id + ")? Unsaved work in it is lost.")) return;
      await command("shutdown_process", {}, ["<process><process_id>" + p.id + "</process_id></process>"]);
      await loadProcesses();
    });
    return el("tr", { "data-pid": p.id }, el("td", {}, p.id), el("td", { class: "program", title: p.path || "" },
      p.name || p.path || "?"), el("td", {}, p.started || ""), el("td", {}, stop));
  });
  $("processes").tBodies[0].replaceChildren(...rows);
}

busy($("shot-button"), async () => {
  const r = await command("get_screen_shot", { width: $("shot-width").value, height: $("shot-height").value });
  if (!r.image) throw new Error("the reply holds no picture");
  $("shot-image").src = r.image;
  $("shot-image").hidden = false;
  $("shot-time").textContent = "Captured " + r.captured + " (" + r.bytes + " bytes)";
});
busy($("message-button"), async () => {
  await command("show_message", { message: $("message-text").value });
});
for (const word of ["locked", "halflocked", "unlocked"]) {
  busy($("lock-" + word), async () => {
    await api("/api/stations/" + encodeURIComponent(current) + "/lock", { lock_status: word });
    refresh();
  });
}
busy($("logoff-button"), async () => {
  if (!confirm("Log off the user of " + current + "? Unsaved work is lost.")) return;
  await command("logout_station");
});
busy($("processes-button"), loadProcesses);
busy($("inventory-button"), async () => {
  $("inventory").textContent = (await command("get_computer_info")).text || "(empty)";
});
busy($("logs-button"), async () => {
  const r = await command("get_client_log");
  $("logs-link").href = r.download;
  $("logs-link").download = current + "-logs.zip";
  $("logs-link").hidden = false;
});

window.addEventListener("hashchange", route);
route();
setInterval(refresh, 1000);
