// The push doctor from a device's row: the running device is asked over its
// gateway stream for a fresh report, which is shown once it answers. A device
// that cannot be asked, or does not answer in time, is said so, and its last
// report is offered.
"use strict";

const DOCTOR_WAIT_MS = 10000;
const DOCTOR_POLL_MS = 250;
// The newest ask; an older one stops drawing once another, or anything else,
// took the detail pane.
let doctorAsk = 0;

function showDoctor(ask, title, text, actions) {
  $("#detail").dataset.doctor = String(ask);
  $("#detail-title").textContent = title;
  $("#detail-body").textContent = text;
  $("#detail-actions").replaceChildren(...(actions || []));
  $("#detail").hidden = false;
}

function doctorReportPath(psid) {
  return "/__admin/devices/doctor?format=json&psid=" + encodeURIComponent(psid);
}

function reportedAt(report) {
  return String(report.reported_at || "").slice(0, 19).replace("T", " ") + " UTC";
}

async function askDoctor(psid, name) {
  const ask = ++doctorAsk;
  const title = "Push doctor: " + name;
  const current = () => !$("#detail").hidden && $("#detail").dataset.doctor === String(ask);
  showDoctor(ask, title, `Asking ${name} for a fresh report…`);
  let request;
  try {
    ({ request } = await api("POST", "/__admin/devices/doctor/request", { psid }));
  } catch (error) {
    if (current()) await offerLastReport(ask, psid, title, `${name}: ${error.message}.`);
    return;
  }
  const until = Date.now() + DOCTOR_WAIT_MS;
  while (Date.now() < until) {
    await new Promise((resolve) => setTimeout(resolve, DOCTOR_POLL_MS));
    if (!current()) return;
    // None yet, or the emulator away for a moment: asked again at the next turn.
    const report = await api("GET", doctorReportPath(psid)).catch(() => null);
    if (report && report.request >= request) {
      if (current()) showDoctor(ask, `${title}, reported ${reportedAt(report)}`, report.text);
      return;
    }
  }
  if (current())
    await offerLastReport(ask, psid, title,
      `${name} did not answer request ${request} within ${DOCTOR_WAIT_MS / 1000} s.`);
}

async function offerLastReport(ask, psid, title, why) {
  let last;
  try {
    last = await api("GET", doctorReportPath(psid));
  } catch (error) {
    return showDoctor(ask, title, `${why}\nNo earlier report: ${error.message}`);
  }
  showDoctor(ask, title, why, [h("button", {
    type: "button", class: "small",
    onclick: () => showDoctor(ask, `${title}, last reported ${reportedAt(last)}`, last.text),
  }, `Show the last report (${reportedAt(last)})`)]);
}
