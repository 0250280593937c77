// The console's fault rules: the form that adds them and the table that
// lists them, over /__admin/faults.
"use strict";

const ENDPOINTS = [
  "asking_authorization.ctl", "rcv_register_service.ctl", "rcv_get_service.ctl",
  "rcv_appAlive.ctl", "rcv_delete_service.ctl", "rcv_register_user.ctl", "rcv_delete_user.ctl",
  "rcv_register_usergroup_user.ctl", "rcv_delete_usergroup_user.ctl",
  "new_rcv_register_service_and_user.ctl", "rcv_register_sent_ack.ctl",
  "rcv_register_send_result.ctl", "rcv_register_message.ctl", "rcv_init_badgeNo.ctl",
  "putAppLog.ctl", "/mobile/last-session", "/mobile/purchase", "images",
];
const EFFECTS = {
  latency: "the normal answer, ms later",
  timeout: "no answer; the request is held up to ms (default 60 s)",
  reset: "the connection closed after the request was read",
  status: "this HTTP status with an empty or given body",
  garbage: "bytes of random data that are not JSON",
  truncate: "the real envelope cut in half (the call is carried out)",
  result_code: "a valid envelope with this result code",
  no_header: "an envelope without \"HEADER\"",
  no_body: "a success envelope without \"BODY\"",
  huge_body: "a body of bytes (default 16 MiB), past the client's cap",
};

function updateFaultCount(n) {
  $("#nav-faults").textContent = n || "";
}

function faultParameters(rule) {
  const parts = [];
  if ("ms" in rule) parts.push(`${rule.ms} ms`);
  if ("status" in rule) parts.push(`HTTP ${rule.status}${rule.body ? ` "${rule.body}"` : ""}`);
  if ("result_code" in rule) parts.push(rule.result_code);
  if ("bytes" in rule) parts.push(`${rule.bytes} bytes`);
  return parts.join(", ");
}

async function refreshFaults() {
  const { faults, effects } = await api("GET", "/__admin/faults");
  updateFaultCount(faults.length);
  const select = $("#fault-effect");
  if (!select.options.length) {
    select.replaceChildren(...effects.map((e) => h("option", { value: e }, e)));
    select.value = effects.includes("status") ? "status" : effects[0];
    showFaultParameters();
  }
  if (!changed("faults", faults)) return;
  fill($("#faults tbody"), faults.map((rule) => h("tr", { class: "fault", dataset: { id: rule.id } },
    h("td", { class: "mono" }, rule.id),
    h("td", {}, rule.effect),
    h("td", {}, faultParameters(rule)),
    h("td", { class: "mono" }, rule.endpoint || "any"),
    h("td", { class: "mono", title: rule.psid || "" }, rule.psid ? shortId(rule.psid) : "any"),
    h("td", { class: "mono" }, rule.cuid || "any"),
    h("td", { class: "num" }, "times" in rule ? rule.times : "∞"),
    h("td", {}, rule.probability < 1 ? `${rule.probability} (seed ${rule.seed})` : "always"),
    h("td", { class: "num" }, rule.applied),
    h("td", {}, h("button", { type: "button", class: "small remove",
      onclick: () => removeFault(rule.id) }, "Remove")))), 10, "No fault rules: every request is served normally.");
}

function showFaultParameters() {
  const effect = $("#fault-effect").value;
  for (const label of document.querySelectorAll("#fault-form .params label"))
    label.hidden = !label.dataset.for.split(" ").includes(effect);
  $("#fault-explain").textContent = EFFECTS[effect] || "";
}

async function addFault(event) {
  event.preventDefault();
  const effect = $("#fault-effect").value;
  const rule = { effect };
  const text = { endpoint: "#fault-endpoint", psid: "#fault-psid", cuid: "#fault-cuid" };
  for (const [key, selector] of Object.entries(text)) {
    const value = $(selector).value.trim();
    if (value) rule[key] = value;
  }
  // Numbers go as numbers when they are; the emulator says what is wrong otherwise.
  const numbers = { times: "#fault-times", probability: "#fault-probability", seed: "#fault-seed" };
  const byEffect = {
    latency: { ms: "#fault-ms" }, timeout: { ms: "#fault-ms" }, status: { status: "#fault-status" },
    garbage: { bytes: "#fault-bytes" }, huge_body: { bytes: "#fault-bytes" },
  };
  Object.assign(numbers, byEffect[effect] || {});
  for (const [key, selector] of Object.entries(numbers)) {
    const value = $(selector).value.trim();
    if (value !== "") rule[key] = isNaN(Number(value)) ? value : Number(value);
  }
  if (effect === "status" && $("#fault-body").value) rule.body = $("#fault-body").value;
  if (effect === "result_code" && $("#fault-result-code").value.trim())
    rule.result_code = $("#fault-result-code").value.trim();
  const result = $("#fault-result");
  try {
    const { added } = await api("POST", "/__admin/faults", rule);
    showResult(result, true, `Rule ${added.map((r) => r.id).join(", ")} added.`);
    await refreshFaults();
  } catch (error) {
    showResult(result, false, "Not added: " + error.message);
  }
}

async function removeFault(id) {
  try {
    await api("DELETE", "/__admin/faults/" + encodeURIComponent(id));
    showResult($("#fault-result"), true, `Rule ${id} removed.`);
  } catch (error) {
    showResult($("#fault-result"), false, `Rule ${id} not removed: ${error.message}`);
  }
  await refreshFaults();
}

async function clearFaults() {
  try {
    await api("DELETE", "/__admin/faults");
    showResult($("#fault-result"), true, "Every rule removed.");
  } catch (error) {
    showResult($("#fault-result"), false, error.message);
  }
  await refreshFaults();
}
