// The visitor log (admin): every guest with arrival, delivery,
// acknowledgement or withdrawal, filtered by dates and host, its CSV export,
// and the retention in force.
"use strict";

(() => {
  const dayMs = 24 * 60 * 60 * 1000;

  function say(id, text, done) {
    byId(id).textContent = text;
    byId(id).classList.toggle("done", Boolean(done));
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

  function dateTime(ms) { return ms === null ? "" : dateAndTime(ms); }

  const outcomes = { waiting: "Waiting", acknowledged: "Acknowledged", withdrawn: "Withdrawn", reassigned: "Reassigned" };

  // How the host answered: on the notifier's screen, or by an alert's reply link.
  function outcomeText(visit) {
    if (visit.outcome === "acknowledged" && visit.archivedBy === "reply") return "Acknowledged by reply";
    return outcomes[visit.outcome] || visit.outcome;
  }

  function logRow(visit) {
    const row = element("tr");
    for (const text of [visit.guestName, visit.note, visit.hostName, dateTime(visit.arrivedAt),
                        dateTime(visit.deliveredAt), dateTime(visit.acknowledgedAt), dateTime(visit.withdrawnAt),
                        outcomeText(visit), visit.company, visit.checkInMethod || "", dateTime(visit.signedOutAt)]) {
      row.append(element("td", "", text));
    }
    return row;
  }

  // What the log shows: its filter as last asked for, and the cursor of its page (null for the first).
  let shown = { query: "", after: null };
  let reads = 0;  // an answer to an older read than the latest is dropped

  async function readLog() {
    const read = ++reads;
    const { query, after } = shown;
    const paged = after ? `${query}&after=${encodeURIComponent(after)}` : query;
    const result = await request("GET", `api/desk/visitors?${paged}`);
    if (read !== reads) return;
    if (!result.ok) return say("log-message", result.error);
    const visits = result.data.visitors;
    byId("visitor-log").tBodies[0].replaceChildren(...visits.map(logRow));
    byId("visitor-log").hidden = visits.length === 0;
    say("log-message", visits.length === 0 ? "No guests in this range."
      : result.data.truncated ? `${visits.length} guests; export the CSV for all of them. ` : "", true);
    if (result.data.next) {
      const more = element("button", "", "Next page");
      more.type = "button";
      more.addEventListener("click", () => showLog(null, result.data.next));
      byId("log-message").append(more);
    }
  }

  // One page of the log; a page after the first continues from the cursor the previous one gave.
  function showLog(event, after) {
    if (event) event.preventDefault();
    const query = event || !after ? logQuery() : shown.query;
    shown = { query, after: after || null };
    byId("log-export").href = `api/desk/visitors.csv?${query}`;
    return readLog();
  }

  // The log follows the board while it is on screen: read again when a guest
  // arrives, is shown, answered or withdrawn, and now and then for what the
  // board does not list (a sign-out at the kiosk). Off screen it waits, and
  // catches up with the first refresh after it is shown.
  const quietReadMs = 30000;
  let boardSeen = "";
  let readAt = 0;

  function boardFingerprint(state) {
    return state.notifications.map((guest) => `${guest.id}:${guest.deliveredAt}:${guest.archivedAt}`).join(",");
  }

  function followBoard(state) {
    if (byId("visitor-log").closest("section").classList.contains("off-page")) return;
    const seen = boardFingerprint(state);
    if (seen === boardSeen && Date.now() - readAt < quietReadMs) return;
    boardSeen = seen;
    readAt = Date.now();
    readLog();
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

  onDesk("rendered", (state) => {
    showRetention(state.retentionDays);
    fillHosts(state.staff);
    if (session && session.role === "admin") followBoard(state);
  });
  byId("log-form").addEventListener("submit", showLog);
  byId("log-form").addEventListener("change", () => { byId("log-export").href = `api/desk/visitors.csv?${logQuery()}`; });
  byId("log-from").value = localDate(Date.now() - 7 * dayMs);
  byId("log-to").value = localDate(Date.now());
  shown = { query: logQuery(), after: null };
  byId("log-export").href = `api/desk/visitors.csv?${shown.query}`;
})();
