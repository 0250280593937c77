// The emulator's console: one page over the admin API, nothing else.
"use strict";

const REFRESH_MS = 1500;
const REQUESTS_KEPT = 1000;
const $ = (selector) => document.querySelector(selector);

// Builds an element; strings become text, never markup.
function h(tag, attributes, ...children) {
  const element = document.createElement(tag);
  for (const [key, value] of Object.entries(attributes || {})) {
    if (value === undefined || value === null || value === false) continue;
    if (key.startsWith("on")) element.addEventListener(key.slice(2), value);
    else if (key === "dataset") Object.assign(element.dataset, value);
    else element.setAttribute(key, value === true ? "" : value);
  }
  for (const child of children.flat(Infinity)) {
    if (child === undefined || child === null || child === false) continue;
    element.append(child instanceof Node ? child : String(child));
  }
  return element;
}

function fill(tbody, rows, columns, emptyText) {
  tbody.replaceChildren(...(rows.length ? rows
    : [h("tr", {}, h("td", { colspan: columns, class: "empty" }, emptyText))]));
}

// Times: the emulator's clock, shown in UTC like its journal.
function formatTime(ms) {
  if (ms === null || ms === undefined || ms === "") return "";
  const date = new Date(Number(ms));
  return isNaN(date) ? String(ms) : date.toISOString().slice(0, 19).replace("T", " ");
}
function formatClock(iso) {
  return typeof iso === "string" && iso.length >= 23 ? iso.slice(11, 23) : String(iso ?? "");
}
function dash() {
  return h("span", { class: "hint" }, "—");
}
function shortId(id) {
  return id && id.length > 16 ? id.slice(0, 12) + "…" : (id || "");
}
function pretty(value) {
  if (typeof value === "string") {
    try { return JSON.stringify(JSON.parse(value), null, 2); } catch { return value; }
  }
  return JSON.stringify(value, null, 2);
}

// An emulator listening beyond loopback asks for the token its start line
// printed in the console's address; the page keeps it for the tab.
const ADMIN_TOKEN = (() => {
  const given = new URLSearchParams(location.search).get("token");
  if (given) {
    sessionStorage.setItem("orvo-admin-token", given);
    history.replaceState(null, "", location.pathname);
  }
  return sessionStorage.getItem("orvo-admin-token") || "";
})();

async function api(method, path, body) {
  const options = { method, headers: {} };
  if (ADMIN_TOKEN) options.headers.Authorization = "Bearer " + ADMIN_TOKEN;
  // The admin API takes JSON only, so a page of another site cannot post to it.
  if (body !== undefined || method === "POST") {
    options.body = body === undefined ? "{}" : typeof body === "string" ? body : JSON.stringify(body);
    options.headers["Content-Type"] = "application/json";
  }
  let response;
  try {
    response = await fetch(path, options);
  } catch (error) {
    throw new Error("the emulator is not reachable (" + error.message + ")");
  }
  const text = await response.text();
  let json = null;
  try { json = JSON.parse(text); } catch { /* not JSON: said below */ }
  if (!response.ok) {
    throw new Error((json && json.error) || `HTTP ${response.status} ${text.slice(0, 200)}`);
  }
  if (json === null) throw new Error("the answer is not JSON");
  return json;
}

function showError(error) {
  const banner = $("#error");
  banner.hidden = !error;
  banner.textContent = error ? String(error.message || error) : "";
}

function showResult(element, ok, text) {
  element.className = "result " + (ok ? "ok" : "failed");
  element.textContent = text;
}

function showDetail(title, value) {
  $("#detail").dataset.doctor = "";
  $("#detail-actions").replaceChildren();
  $("#detail-title").textContent = title;
  $("#detail-body").textContent = pretty(value);
  $("#detail").hidden = false;
}

// --- panels ---

const panels = ["overview", "messages", "requests", "send", "faults", "data"];
let current = "overview";

function openPanel(name) {
  if (!panels.includes(name)) name = "overview";
  current = name;
  for (const panel of panels) $("#panel-" + panel).hidden = panel !== name;
  for (const link of document.querySelectorAll("nav a"))
    link.classList.toggle("active", link.dataset.panel === name);
  refresh();
}

// What the forms suggest: devices, users, groups, apps as last loaded.
const known = { devices: [], users: [], groups: [], apps: [] };

async function loadKnown() {
  const [devices, users, groups, apps] = await Promise.all([
    api("GET", "/__admin/devices"), api("GET", "/__admin/users"),
    api("GET", "/__admin/groups"), api("GET", "/__admin/apps"),
  ]);
  known.devices = devices.devices;
  known.users = users.users;
  known.groups = groups.groups;
  known.apps = apps.apps;
}

// Redrawing only what changed keeps a reader's text selection and place.
const drawn = {};
function changed(name, data) {
  const key = JSON.stringify(data);
  if (drawn[name] === key) return false;
  drawn[name] = key;
  return true;
}

async function refreshOverview() {
  const [messages, faults] = await Promise.all([
    api("GET", "/__admin/messages"), api("GET", "/__admin/faults"),
  ]);
  updateFaultCount(faults.faults.length);
  const devices = known.devices;
  if (!changed("overview", [known, messages.messages.length, faults.faults.length, requests.length])) return;
  const registered = devices.filter((d) => d.registered).length;
  const queued = devices.reduce((sum, d) => sum + (d.queued || 0), 0);
  const cards = [
    ["devices", devices.length], ["registered", registered], ["users", known.users.length],
    ["groups", known.groups.length], ["messages", messages.messages.length],
    ["queued deliveries", queued], ["requests", requests.length],
    ["fault rules", faults.faults.length],
  ];
  $("#counts").replaceChildren(...cards.map(([what, n]) =>
    h("div", { class: "card", dataset: { count: what } },
      h("div", { class: "n" }, n), h("div", { class: "what" }, what))));

  fill($("#devices tbody"), devices.map((d) => h("tr", { dataset: { psid: d.psid || "" } },
    h("td", {}, d.device_name || h("span", { class: "hint" }, "(no gateway name)")),
    h("td", { class: "mono", title: d.psid || "" }, shortId(d.psid),
      d.psid ? h("div", {}, h("button", { type: "button", class: "small doctor",
        title: "ask the running device for a fresh push-doctor report",
        onclick: () => askDoctor(d.psid, d.device_name || shortId(d.psid)) }, "doctor")) : null),
    h("td", {}, d.cuid || ""),
    h("td", {}, d.mode || dash()),
    h("td", {}, d.app_state ? h("span", { class: "pill" }, d.app_state)
      : h("span", { class: "hint", title: "the library does not report it; orvo-sim does" }, "not reported")),
    h("td", {}, d.registered ? "yes" : "no", d.registered_at ? h("div", { class: "hint" }, formatTime(d.registered_at)) : null),
    h("td", { class: "num" }, d.badge ?? ""),
    h("td", { class: "num" }, d.queued ?? 0),
    h("td", {}, formatTime(d.last_seen)),
    h("td", {}, [d.model, d.os_version].filter(Boolean).join(" ") || dash()),
    h("td", { class: "mono" }, d.app_id, d.app_version ? " " + d.app_version : ""))),
  11, "No devices yet. Start one with: orvo-sim run NAME --user ID");

  fill($("#users tbody"), known.users.map((u) => h("tr", { dataset: { cuid: u.cuid } },
    h("td", {}, u.cuid), h("td", {}, u.name || ""), h("td", {}, u.phone || ""),
    h("td", { class: "mono" }, u.app_id),
    h("td", { class: "num" }, devices.filter((d) => d.cuid === u.cuid && d.app_id === u.app_id).length),
    h("td", {}, formatTime(u.created_at)))), 6, "No users.");

  fill($("#groups tbody"), known.groups.map((g) => h("tr", { dataset: { group: g.group_seq } },
    h("td", {}, g.group_seq), h("td", { class: "mono" }, g.app_id),
    h("td", {}, g.members.join(", ")))), 3, "No groups.");
}

function refreshMessageFilter() {
  const select = $("#messages-filter");
  const chosen = select.value;
  const options = [h("option", { value: "" }, "everyone")];
  for (const user of known.users)
    options.push(h("option", { value: "cuid=" + user.cuid }, "user " + user.cuid));
  for (const device of known.devices)
    if (device.psid)
      options.push(h("option", { value: "psid=" + device.psid },
        "device " + (device.device_name || shortId(device.psid))));
  select.replaceChildren(...options);
  if ([...select.options].some((o) => o.value === chosen)) select.value = chosen;
}

// The user and device that sent a message; "backend" for the admin API's sends.
function messageSender(m) {
  if (m.sender === "admin") return "backend";
  const parts = [m.sender_cuid, m.sender_device || shortId(m.sender_psid)].filter(Boolean);
  return parts.length ? parts.join(" · ") : m.sender || "";
}

const STEPS = [["queued", "queued_at"], ["sent", "sent_at"], ["delivered", "delivered_at"], ["read", "read_at"]];

async function refreshMessages() {
  refreshMessageFilter();
  const [key, value] = ($("#messages-filter").value || "=").split("=");
  const query = key ? `?${key}=${encodeURIComponent(value)}` : "";
  const { messages } = await api("GET", "/__admin/messages" + query);
  if (!changed("messages", messages)) return;
  const rows = [];
  for (const m of messages.slice().reverse()) {
    rows.push(h("tr", { class: "message clickable", dataset: { seqno: m.seqno },
      onclick: () => showDetail(`Message ${m.seqno}`, { ...m, deliveries: undefined }) },
      h("td", { class: "num" }, m.seqno),
      h("td", {}, formatTime(m.created_at)),
      h("td", { class: "from" }, messageSender(m)),
      h("td", {}, m.target_kind === "ALL" ? "everyone" : `${(m.target_kind || "").toLowerCase()} ${m.target || ""}`),
      h("td", {}, m.message || ""),
      h("td", { class: "mono" }, m.ext || ""),
      h("td", { class: "num" }, m.badge ?? ""),
      h("td", {}, m.silent ? "silent" : "alert",
        m.reserve_at ? h("div", { class: "hint" }, "reserved " + formatTime(m.reserve_at)) : null),
      h("td", {}, h("span", { class: "pill state-" + m.state }, m.state || ""),
        m.repeated_acks || m.repeated_reads
          ? h("div", { class: "hint" }, `repeated: ${m.repeated_acks} acks, ${m.repeated_reads} reads`)
          : null)));
    for (const d of m.deliveries) {
      rows.push(h("tr", { class: "delivery clickable", dataset: { state: d.state, device: d.device_name || d.token },
        onclick: () => showDetail(`Payload of message ${m.seqno} to ${d.device_name || d.token}`, d.payload) },
        h("td", {}),
        h("td", { colspan: 3 }, "→ ", d.device_name || h("span", { class: "mono" }, shortId(d.token)),
          d.cuid ? h("span", { class: "hint" }, "  user " + d.cuid) : null),
        h("td", { colspan: 4 }, h("div", { class: "steps" }, STEPS.map(([step, column]) =>
          h("span", { class: "step" + (d[column] ? " done" : ""), title: formatTime(d[column]) },
            h("b", {}, step), " ", d[column] ? formatTime(d[column]).slice(11) : "—")))),
        h("td", {}, h("span", { class: "pill state-" + d.state }, d.state),
          d.acks > 1 || d.reads > 1 ? h("div", { class: "hint" }, `${d.acks} acks, ${d.reads} reads`) : null)));
    }
  }
  fill($("#messages tbody"), rows, 9, "No messages.");
}

// --- requests: the journal, kept live by the emulator's event stream ---

let requests = [];
const openRequests = new Set();
let journalStream = null;

function requestProblem(entry) {
  const failed = entry.status === 0 || entry.status >= 400 || !!entry.fault ||
    (entry.result_code !== "" && entry.result_code !== "0000");
  if (failed) return "bad";
  return entry.notes && entry.notes.length ? "noted" : "";
}

// Who made the request. A send names its recipient in CUID, so the emulator
// says who sent it (caller) and the recipient follows the arrow.
function requestSubject(entry) {
  const form = entry.form || {};
  const parts = [];
  const who = entry.caller ? { cuid: entry.caller.cuid, psid: entry.caller.psid } : { cuid: form.CUID, psid: form.PSID };
  if (who.cuid) parts.push(who.cuid);
  if (who.psid) parts.push(shortId(who.psid));
  if (form.token) parts.push(shortId(form.token));
  const subject = parts.join(" · ");
  if (!entry.caller) return subject;
  return `${subject} → ${form.TARGET === "PSID" ? "its own device" : form.CUID || ""}`;
}

function requestRows(entry) {
  const problem = requestProblem(entry);
  const open = openRequests.has(entry.id);
  const row = h("tr", { class: `request clickable ${problem}${open ? " open" : ""}`, dataset: { id: entry.id, endpoint: entry.endpoint },
    onclick: () => { open ? openRequests.delete(entry.id) : openRequests.add(entry.id); renderRequests(); } },
    h("td", { class: "num" }, entry.id),
    h("td", { class: "mono", title: entry.time }, formatClock(entry.time)),
    h("td", {}, entry.method),
    h("td", { class: "mono" }, entry.endpoint),
    h("td", { class: "num" }, entry.status === 0 ? "none" : entry.status),
    h("td", { class: "mono" }, entry.result_code),
    h("td", { class: "num" }, Number(entry.duration_ms || 0).toFixed(1)),
    h("td", { class: "mono" }, requestSubject(entry)),
    h("td", { class: "flag" }, entry.fault ? `fault: ${entry.fault.effect}` : "",
      entry.notes && entry.notes.length ? `${entry.fault ? " · " : ""}${entry.notes.length} note${entry.notes.length > 1 ? "s" : ""}` : ""));
  if (!open) return [row];
  const form = entry.form || {};
  const detail = h("tr", { class: "request-detail" }, h("td", { colspan: 9 },
    h("div", { class: "detail-grid" },
      h("div", {},
        h("h3", {}, `Form (${entry.method} ${entry.path} from ${entry.client}${entry.request_id ? ", request " + entry.request_id : ""})`),
        Object.keys(form).length
          ? h("dl", { class: "kv mono" }, Object.entries(form).map(([k, v]) => [h("dt", {}, k), h("dd", {}, v)]))
          : h("p", { class: "hint" }, "empty"),
        h("h3", {}, "Notes"),
        entry.notes && entry.notes.length
          ? h("ul", { class: "notes" }, entry.notes.map((n) => h("li", {}, n)))
          : h("p", { class: "hint" }, "none: the request was valid"),
        entry.fault ? [h("h3", {}, "Fault rule"), h("pre", {}, pretty(entry.fault))] : null),
      h("div", {},
        h("h3", {}, `Answer (HTTP ${entry.status === 0 ? "none" : entry.status})`),
        h("pre", {}, entry.answer === null || entry.answer === undefined ? "(not JSON, or no answer)"
          : entry.answer === "" ? "(empty)" : pretty(entry.answer))))));
  return [row, detail];
}

function renderRequests() {
  const endpoint = $("#requests-endpoint").value;
  const code = $("#requests-code").value;
  const problems = $("#requests-problems").checked;
  const shown = requests.filter((e) => (!endpoint || e.endpoint === endpoint) &&
    (!code || e.result_code === code) && (!problems || requestProblem(e)));
  const rows = [];
  for (let i = shown.length - 1; i >= 0; --i) rows.push(...requestRows(shown[i]));
  fill($("#requests tbody"), rows, 9, requests.length ? "No request matches." : "No requests yet.");
  syncSelect($("#requests-endpoint"), requests.map((e) => e.endpoint));
  syncSelect($("#requests-code"), requests.map((e) => e.result_code).filter((c) => c !== ""));
  $("#nav-requests").textContent = requests.length || "";
}

// Keeps a filter's choices to what has been seen, without losing the choice.
function syncSelect(select, values) {
  const wanted = [...new Set(values)].sort();
  const have = [...select.options].slice(1).map((o) => o.value);
  if (wanted.join("\n") === have.join("\n")) return;
  const chosen = select.value;
  select.replaceChildren(select.options[0], ...wanted.map((v) => h("option", { value: v }, v)));
  select.value = wanted.includes(chosen) || chosen === "" ? chosen : "";
}

let renderPending = false;
function addRequest(entry) {
  requests.push(entry);
  if (requests.length > REQUESTS_KEPT) requests.splice(0, requests.length - REQUESTS_KEPT);
  // A burst of requests becomes one redraw.
  if (!renderPending) {
    renderPending = true;
    requestAnimationFrame(() => { renderPending = false; renderRequests(); });
  }
}

async function startJournal() {
  if (journalStream) journalStream.close();
  const { requests: recent } = await api("GET", `/__admin/requests?limit=${REQUESTS_KEPT}`);
  requests = recent;
  renderRequests();
  const after = requests.length ? requests[requests.length - 1].id : 0;
  const token = ADMIN_TOKEN ? `&admin_token=${encodeURIComponent(ADMIN_TOKEN)}` : "";
  journalStream = new EventSource(`/__admin/requests/stream?after=${after}${token}`);
  journalStream.addEventListener("open", () => setConnection("live"));
  journalStream.addEventListener("error", () => setConnection("down"));
  journalStream.addEventListener("request", (event) => {
    const entry = JSON.parse(event.data);
    if (requests.length && requests[requests.length - 1].id >= entry.id) return;
    addRequest(entry);
  });
  journalStream.addEventListener("cleared", () => {
    requests = [];
    openRequests.clear();
    renderRequests();
  });
}

function setConnection(state) {
  const pill = $("#connection");
  pill.className = "pill " + state;
  pill.textContent = state === "live" ? "live" : "reconnecting";
  pill.title = state === "live" ? "The request journal streams from the emulator" : "The emulator is not reachable";
}

// --- send ---

function targetKind() {
  return document.querySelector("input[name=target-kind]:checked").value;
}

function refreshSendSuggestions() {
  const kind = targetKind();
  const target = $("#send-target");
  target.disabled = kind === "all";
  target.placeholder = { user: "user ID (CUID)", group: "group number", device: "device name, push service ID or device ID", all: "every device" }[kind];
  let values = [];
  if (kind === "user") values = known.users.map((u) => u.cuid);
  if (kind === "group") values = known.groups.map((g) => g.group_seq);
  if (kind === "device") values = known.devices.map((d) => d.device_name || d.psid).filter(Boolean);
  $("#send-targets").replaceChildren(...[...new Set(values)].map((v) => h("option", { value: v })));
  $("#send-apps").replaceChildren(...known.apps.map((a) => h("option", { value: a.app_id })));
}

async function send(event) {
  event.preventDefault();
  const result = $("#send-result");
  const kind = targetKind();
  const body = {};
  if (kind === "all") body.all = true;
  else {
    const target = $("#send-target").value.trim();
    if (!target) return showResult(result, false, `Say which ${kind} receives it.`);
    body[kind] = target;
  }
  const app = $("#send-app").value.trim();
  if (app) body.app_id = app;
  body.message = $("#send-message").value;
  const ext = $("#send-ext").value;
  if (ext) body.ext = ext;
  const badge = $("#send-badge").value.trim();
  if (badge !== "") {
    if (!/^-?\d+$/.test(badge)) return showResult(result, false, "The badge is a whole number.");
    body.badge = Number(badge);
  }
  if ($("#send-silent").checked) body.silent = true;
  const reserve = $("#send-reserve").value;
  if (reserve) body.reserve_date = reserve.length === 16 ? reserve + ":00" : reserve;
  try {
    const sent = await api("POST", "/__admin/send", body);
    showResult(result, true, `Message ${sent.seqno} ${sent.reserved ? "reserved" : "sent"} to ` +
      `${sent.targets} device${sent.targets === 1 ? "" : "s"}.`);
  } catch (error) {
    showResult(result, false, "Not sent: " + error.message);
  }
}

// --- data ---

async function clearEverything() {
  if (!confirm("Clear everything the emulator holds: devices, users, messages, the journal and the fault rules?")) return;
  try {
    await api("POST", "/__admin/reset");
    requests = [];
    openRequests.clear();
    renderRequests();
    showResult($("#data-result"), true, "Everything cleared.");
  } catch (error) {
    showResult($("#data-result"), false, "Not cleared: " + error.message);
  }
  refresh();
}

async function exportSnapshot() {
  try {
    const snapshot = await api("GET", "/__admin/snapshot");
    const blob = new Blob([JSON.stringify(snapshot, null, 2)], { type: "application/json" });
    const link = h("a", { href: URL.createObjectURL(blob),
      download: `orvo-emulator-snapshot-${new Date().toISOString().slice(0, 19).replace(/:/g, "")}.json` });
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(link.href), 10000);
    const rows = Object.values(snapshot.tables || {}).reduce((sum, t) => sum + t.length, 0);
    showResult($("#data-result"), true, `Snapshot exported (${rows} rows).`);
  } catch (error) {
    showResult($("#data-result"), false, "Not exported: " + error.message);
  }
}

async function importSnapshot() {
  const file = $("#data-import-file").files[0];
  if (!file) return showResult($("#data-result"), false, "Choose a snapshot file first.");
  try {
    const text = await file.text();
    try { JSON.parse(text); } catch { throw new Error(`${file.name} is not JSON`); }
    await api("POST", "/__admin/snapshot", text);
    showResult($("#data-result"), true, `Snapshot ${file.name} imported.`);
  } catch (error) {
    showResult($("#data-result"), false, "Not imported: " + error.message);
  }
  refresh();
}

async function advanceClock() {
  const seconds = Number($("#clock-seconds").value);
  if (!(seconds >= 0)) return showResult($("#data-result"), false, "Give a number of seconds.");
  try {
    const moved = await api("POST", "/__admin/clock", { advance_ms: Math.round(seconds * 1000) });
    showResult($("#data-result"), true, `Clock now ${moved.now}; ${moved.released} reserved send(s) released.`);
  } catch (error) {
    showResult($("#data-result"), false, error.message);
  }
  refresh();
}

// --- refresh loop ---

let refreshing = false;
async function refresh() {
  if (refreshing) return;
  refreshing = true;
  try {
    const clock = await api("GET", "/__admin/clock");
    $("#clock").textContent = clock.now.slice(0, 19).replace("T", " ") + " UTC" +
      (clock.offset_ms ? ` (+${Math.round(clock.offset_ms / 1000)} s)` : "");
    await loadKnown();
    if (current === "overview") await refreshOverview();
    if (current === "messages") await refreshMessages();
    if (current === "send") refreshSendSuggestions();
    // The overview counts the rules itself.
    if (current === "faults") await refreshFaults();
    else if (current !== "overview") updateFaultCount((await api("GET", "/__admin/faults")).faults.length);
    showError(null);
  } catch (error) {
    showError(error);
  } finally {
    refreshing = false;
  }
}

function start() {
  for (const link of document.querySelectorAll("nav a"))
    link.addEventListener("click", (event) => {
      event.preventDefault();
      history.replaceState(null, "", "#" + link.dataset.panel);
      openPanel(link.dataset.panel);
    });
  window.addEventListener("hashchange", () => openPanel(location.hash.slice(1)));
  for (const id of ["#requests-endpoint", "#requests-code", "#requests-problems"])
    $(id).addEventListener("change", renderRequests);
  $("#messages-filter").addEventListener("change", refresh);
  for (const radio of document.querySelectorAll("input[name=target-kind]"))
    radio.addEventListener("change", refreshSendSuggestions);
  $("#send-form").addEventListener("submit", send);
  $("#fault-effect").addEventListener("change", showFaultParameters);
  $("#fault-form").addEventListener("submit", addFault);
  $("#fault-endpoints").replaceChildren(...ENDPOINTS.map((e) => h("option", { value: e })));
  $("#faults-clear").addEventListener("click", clearFaults);
  $("#data-clear").addEventListener("click", clearEverything);
  $("#data-export").addEventListener("click", exportSnapshot);
  $("#data-import").addEventListener("click", importSnapshot);
  $("#clock-advance").addEventListener("click", advanceClock);
  $("#detail-close").addEventListener("click", () => { $("#detail").hidden = true; });
  startJournal().catch(showError);
  openPanel(location.hash.slice(1));
  setInterval(() => { if (!document.hidden) refresh(); }, REFRESH_MS);
}

// Runs once every script of the page has defined its functions.
document.addEventListener("DOMContentLoaded", start);
