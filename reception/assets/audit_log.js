// The audit log (admin): every desk write, newest first, a page at a time.
"use strict";

(() => {
  let auditNext = null;    // the id to ask for older entries with, or null
  let auditPaged = false;  // older pages shown: the periodic refresh leaves them

  function auditRow(entry) {
    const row = element("tr");
    row.append(element("td", "", dateAndTime(entry.at)), element("td", "", entry.account), element("td", "", entry.address),
               element("td", "", entry.action), element("td", "note", entry.detail));
    return row;
  }

  async function loadAudit(older) {
    const path = older && auditNext !== null ? `api/desk/audit?before=${auditNext}` : "api/desk/audit";
    const result = await request("GET", path);
    if (!result.ok) return;
    const rows = result.data.entries.map(auditRow);
    if (older) byId("audit").tBodies[0].append(...rows);
    else byId("audit").tBodies[0].replaceChildren(...rows);
    auditPaged = older;
    auditNext = result.data.next;
    byId("audit-older").hidden = auditNext === null;
    byId("audit-newest").hidden = !auditPaged;
  }

  onDesk("session", (account) => { if (account.role === "admin") loadAudit(false); });
  // Each refresh of the desk shows the newest entries, unless older ones are being read.
  onDesk("rendered", () => { if (session && session.role === "admin" && !auditPaged) loadAudit(false); });
  byId("audit-older").addEventListener("click", () => loadAudit(true));
  byId("audit-newest").addEventListener("click", () => loadAudit(false));
})();
