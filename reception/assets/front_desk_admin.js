// The office manager's panels: the staff directory imported from and
// exported to CSV, and the visitor log with its CSV export and the retention
// in force. Uses the admin requests of the desk API.
"use strict";

(() => {
  const maxUploadBytes = 2 * 1024 * 1024 - 4096;  // the service's upload limit, less the JSON around the text
  const dayMs = 24 * 60 * 60 * 1000;
  let importText = null;  // the chosen file's text once it is previewed

  // byId, element and request come from desk.js, loaded first.

  function say(id, text, done) {
    byId(id).textContent = text;
    byId(id).classList.toggle("done", Boolean(done));
  }

  // --- Staff import ------------------------------------------------------------

  function nameItems(list, names) {
    byId(list).replaceChildren(...names.map((n) => element("li", "", `Line ${n.line}: ${n.firstName} ${n.lastName}`)));
  }

  function showPreview(preview) {
    const { added, unchanged, rejected } = preview;
    const more = preview.moreRejected || 0;  // rejected lines beyond those listed
    const rejectedCount = rejected.length + more;
    byId("import-summary").textContent = preview.applied
      ? `Added ${added.length}; ${unchanged.length} already in the directory; ${rejectedCount} rejected.`
      : `${added.length} to add, ${unchanged.length} already in the directory, ${rejectedCount} rejected.`;
    nameItems("import-added", added);
    nameItems("import-unchanged", unchanged);
    const rejectedItems = rejected.map((r) =>
      element("li", "", `Line ${r.line}: ${r.text.trim() || "(empty)"}: ${r.reason}`));
    if (more > 0) rejectedItems.push(element("li", "", `… and ${more} more rejected lines.`));
    byId("import-rejected").replaceChildren(...rejectedItems);
    byId("import-preview").hidden = false;
    byId("import-apply").disabled = preview.applied || added.length === 0;
  }

  async function readChosenFile() {
    const file = byId("import-file").files[0];
    if (!file) return { error: "Choose a CSV file first." };
    if (file.size > maxUploadBytes) return { error: "The file is larger than 2 MB." };
    try {
      return { text: new TextDecoder("utf-8", { fatal: true }).decode(await file.arrayBuffer()) };
    } catch (error) {
      return { error: "The file is not UTF-8 text. Save it from the spreadsheet as \"CSV UTF-8\"." };
    }
  }

  async function previewImport(event) {
    event.preventDefault();
    importText = null;
    byId("import-preview").hidden = true;
    const chosen = await readChosenFile();
    if (chosen.error) return say("import-message", chosen.error);
    const result = await request("POST", "api/desk/staff/import", { csv: chosen.text, apply: false });
    if (!result.ok) return say("import-message", result.error);
    importText = chosen.text;
    say("import-message", "");
    showPreview(result.data);
  }

  async function applyImport() {
    if (importText === null) return;
    byId("import-apply").disabled = true;
    const result = await request("POST", "api/desk/staff/import", { csv: importText, apply: true });
    if (!result.ok) {
      byId("import-apply").disabled = false;
      return say("import-message", result.error);
    }
    importText = null;
    showPreview(result.data);
    say("import-message", `${result.data.added.length} added to the staff directory.`, true);
    if (typeof refresh === "function") refresh();
  }

  // --- Visitor log -------------------------------------------------------------

  function localDate(ms) {
    const d = new Date(ms);
    return `${d.getFullYear()}-${String(d.getMonth() + 1).padStart(2, "0")}-${String(d.getDate()).padStart(2, "0")}`;
  }

  // Midnight at the start of a yyyy-mm-dd day in this browser's time zone.
  function dayStart(value) {
    const [year, month, day] = value.split("-").map(Number);
    return new Date(year, month - 1, day).getTime();
  }

  function logQuery() {
    const from = byId("log-from").value;
    const to = byId("log-to").value;
    const params = new URLSearchParams();
    if (from) params.set("from", String(dayStart(from)));
    if (to) params.set("to", String(dayStart(to) + dayMs));
    if (byId("log-host").value) params.set("host", byId("log-host").value);
    return params.toString();
  }

  function dateTime(ms) {
    if (ms === null) return "";
    return new Date(ms).toLocaleString([], { dateStyle: "short", timeStyle: "short" });
  }

  const outcomes = { waiting: "Waiting", acknowledged: "Acknowledged", withdrawn: "Withdrawn", reassigned: "Reassigned" };

  function logRow(visit) {
    const row = element("tr");
    for (const text of [visit.guestName, visit.note, visit.hostName, dateTime(visit.arrivedAt),
                        dateTime(visit.deliveredAt), dateTime(visit.acknowledgedAt), dateTime(visit.withdrawnAt),
                        outcomes[visit.outcome] || visit.outcome]) {
      row.append(element("td", "", text));
    }
    return row;
  }

  async function showLog(event) {
    if (event) event.preventDefault();
    const query = logQuery();
    byId("log-export").href = `api/desk/visitors.csv?${query}`;
    const result = await request("GET", `api/desk/visitors?${query}`);
    if (!result.ok) return say("log-message", result.error);
    const visits = result.data.visitors;
    byId("visitor-log").tBodies[0].replaceChildren(...visits.map(logRow));
    byId("visitor-log").hidden = visits.length === 0;
    say("log-message", visits.length === 0 ? "No guests in this range."
      : result.data.truncated ? `The first ${visits.length} guests; export the CSV for all of them.` : "", true);
  }

  function showRetention(days) {
    byId("retention-note").textContent = days > 0
      ? `Guest records are deleted ${days} ${days === 1 ? "day" : "days"} after the guest's visit ended.`
      : "Guest records are kept for good: no retention period is set.";
  }

  // The host filter follows the staff directory, keeping the choice.
  function fillHosts(staff) {
    const select = byId("log-host");
    const chosen = select.value;
    const names = staff.map((member) => member.displayName);
    if (chosen && !names.includes(chosen)) names.push(chosen);
    select.replaceChildren(new Option("Every host", ""), ...names.map((name) => new Option(name, name)));
    select.value = chosen;
  }

  document.addEventListener("desk:rendered", (event) => {
    showRetention(event.detail.retentionDays);
    fillHosts(event.detail.staff);
  });
  byId("import-form").addEventListener("submit", previewImport);
  byId("import-file").addEventListener("change", () => { importText = null; byId("import-preview").hidden = true; });
  byId("import-apply").addEventListener("click", applyImport);
  byId("log-form").addEventListener("submit", showLog);
  byId("log-form").addEventListener("change", () => { byId("log-export").href = `api/desk/visitors.csv?${logQuery()}`; });
  byId("log-from").value = localDate(Date.now() - 7 * dayMs);
  byId("log-to").value = localDate(Date.now());
  byId("log-export").href = `api/desk/visitors.csv?${logQuery()}`;
})();
