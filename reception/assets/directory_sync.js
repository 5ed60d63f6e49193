// The admin panel of the staff directory: the last sync, a preview of what
// a sync would change, and Sync now. Syncs run on the service's directory
// worker; the panel asks for their results while one is under way.
"use strict";

const directoryIdleRefreshMs = 30000;
let directoryPending = false;  // a sync or preview asked for and not yet done
let directoryCheckedAt = 0;

function countsText(counts) {
  return `added ${counts.added}, updated ${counts.updated}, deactivated ${counts.deactivated}, ` +
         `unchanged ${counts.unchanged}, rejected ${counts.rejected}`;
}

function resultText(result) {
  if (!result) return "none yet";
  const at = dateAndTime(result.at);
  const outcomes = { applied: "synced", previewed: "previewed", safetyStop: "stopped by the safety check",
                     unreachable: "failed", failed: "failed" };
  const text = `${at}: ${outcomes[result.outcome] || result.outcome}`;
  if (result.outcome === "applied" || result.outcome === "previewed") return `${text}: ${countsText(result.counts)}`;
  return `${text}: ${result.reason}`;
}

// The last sync as the database records it, whoever ran it (the command line too).
function recordedText(recorded) {
  const at = dateAndTime(recorded.at);
  const outcomes = { applied: "synced", safetyStop: "stopped by the safety check", failed: "failed" };
  return `${at}: ${outcomes[recorded.outcome]}: ${recorded.summary} (by ${recorded.by})`;
}

function lastSyncText(state) {
  const recorded = state.lastRecordedSync;
  if (recorded && (!state.lastSync || recorded.at > state.lastSync.at)) return recordedText(recorded);
  return resultText(state.lastSync);
}

function nameItems(id, names) {
  byId(id).replaceChildren(...names.map((name) => element("li", "", name)));
}

// A list of what a result changed or would change; cut at 200 per list by the service.
function showChanges(result) {
  const shown = result && result.outcome !== "unreachable" && result.outcome !== "failed";
  byId("directory-changes").hidden = !shown;
  if (!shown) return;
  const changes = result.changes;
  byId("directory-changes-summary").textContent = `${result.outcome === "previewed" ? "A sync now would make" : "Changes of the last sync"}: ${countsText(result.counts)}`;
  nameItems("directory-added", changes.added);
  nameItems("directory-updated", changes.updated.map((u) =>
    u.reactivated ? `${u.after} (back in the directory)` : u.before === u.after ? `${u.after} (new mail)` : `${u.before} → ${u.after}`));
  nameItems("directory-deactivated", changes.deactivated);
  nameItems("directory-rejected", changes.rejected.map((r) => `${r.dn}: ${r.reason}`));
}

function showDirectoryState(state) {
  const panel = byId("directory-panel");
  if (!state.configured) {
    byId("directory-status").textContent = "No directory is set: start the service with --ldap-url and --ldap-base.";
    panel.querySelectorAll("button").forEach((button) => { button.disabled = true; });
    return;
  }
  const busy = state.running || state.queued;
  const every = state.syncMinutes > 0 ? `every ${state.syncMinutes} minutes` : "only on request";
  byId("directory-status").textContent = busy ? "A sync is under way…" : `The staff are synced ${every}.`;
  byId("directory-last").textContent = `Last sync: ${lastSyncText(state)}`;
  // "Preview asked for…" goes once the result it waited for is shown.
  if (directoryPending && !busy) showMessage("directory-message", "");
  byId("directory-preview").disabled = busy;
  byId("directory-sync").disabled = busy;
  byId("directory-force").hidden = !(state.lastSync && state.lastSync.outcome === "safetyStop");
  byId("directory-force").disabled = busy;
  const newest = [state.lastSync, state.lastPreview].filter(Boolean).sort((a, b) => b.at - a.at)[0];
  showChanges(newest);
  directoryPending = busy;
}

async function refreshDirectory() {
  directoryCheckedAt = Date.now();
  const result = await request("GET", "api/desk/directory-sync");
  if (result.ok) showDirectoryState(result.data);
}

async function askForSync(dryRun, force) {
  if (force && !window.confirm("Sync even though more than half of the directory's staff would be deactivated?")) return;
  const result = await request("POST", "api/desk/directory-sync", { dryRun, force });
  showMessage("directory-message", result.ok ? (dryRun ? "Preview asked for…" : "Sync asked for…") : result.error, result.ok);
  if (result.ok) directoryPending = true;
  refreshDirectory();
}

// Each refresh of the desk: often while a sync is under way, now and then otherwise.
onDesk("rendered", () => {
  if (!session || session.role !== "admin") return;
  if (directoryPending || Date.now() - directoryCheckedAt >= directoryIdleRefreshMs) refreshDirectory();
});
byId("directory-preview").addEventListener("click", () => askForSync(true, false));
byId("directory-sync").addEventListener("click", () => askForSync(false, false));
byId("directory-force").addEventListener("click", () => askForSync(false, true));
