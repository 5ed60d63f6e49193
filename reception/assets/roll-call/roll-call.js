// The evacuation roll call: everyone on site, a tick box per person and the
// count of those not yet ticked. The list is read every 30 s; this browser
// keeps the last one and the ticks, so with the service unreachable (the
// building is being left) the page goes on showing them "as of" their time.
"use strict";

(() => {
  const refreshMs = 30000;
  const listKey = "vestibra.rollCall.list";
  const ticksKey = "vestibra.rollCall.ticks";
  const byId = (id) => document.getElementById(id);

  function load(key, fallback) {
    try { return JSON.parse(localStorage.getItem(key)) || fallback; } catch (error) { return fallback; }
  }
  function save(key, value) {
    try { localStorage.setItem(key, JSON.stringify(value)); } catch (error) { /* private mode: the page still works */ }
  }

  let saved = load(listKey, null);  // { at, visits }
  let ticks = load(ticksKey, {});   // visit id -> true

  function timeOfDay(ms) {
    const at = new Date(ms);
    return `${String(at.getHours()).padStart(2, "0")}:${String(at.getMinutes()).padStart(2, "0")}`;
  }

  function cell(text) {
    const td = document.createElement("td");
    td.textContent = text;
    return td;
  }

  function countUnticked() {
    const visits = saved ? saved.visits : [];
    const left = visits.filter((visit) => !ticks[visit.id]).length;
    byId("unticked").textContent = `${left} of ${visits.length} not yet ticked`;
  }

  function row(visit) {
    const line = document.createElement("tr");
    const box = document.createElement("input");
    box.type = "checkbox";
    box.checked = Boolean(ticks[visit.id]);
    box.setAttribute("aria-label", `${visit.guestName} is here`);
    box.addEventListener("change", () => {
      if (box.checked) ticks[visit.id] = true; else delete ticks[visit.id];
      save(ticksKey, ticks);
      line.classList.toggle("ticked", box.checked);
      countUnticked();
    });
    const tick = document.createElement("td");
    tick.append(box);
    line.classList.toggle("ticked", box.checked);
    line.append(tick, cell(visit.guestName), cell(visit.company), cell(visit.hostName), cell(timeOfDay(visit.checkedInAt)));
    return line;
  }

  function csvField(text) {
    const value = /^[=+\-@]/.test(text) ? `'${text}` : text;
    return /[",;\r\n]/.test(value) ? `"${value.replace(/"/g, '""')}"` : value;
  }

  function exportLink() {
    const visits = saved ? saved.visits : [];
    const lines = [["here", "guest", "company", "host", "checked_in"]].concat(visits.map((visit) => [
      ticks[visit.id] ? "yes" : "no", visit.guestName, visit.company, visit.hostName, new Date(visit.checkedInAt).toISOString()]));
    const text = "\uFEFF" + lines.map((fields) => fields.map(csvField).join(",")).join("\r\n") + "\r\n";
    const link = byId("export");
    if (link.href.startsWith("blob:")) URL.revokeObjectURL(link.href);
    link.href = URL.createObjectURL(new Blob([text], { type: "text/csv" }));
  }

  function render(fresh) {
    const visits = saved ? saved.visits : [];
    byId("people").querySelector("tbody").replaceChildren(...visits.map(row));
    byId("empty").hidden = visits.length > 0 || !saved;
    const asOf = byId("as-of");
    asOf.textContent = saved ? (fresh ? `Updated at ${timeOfDay(saved.at)}` : `as of ${timeOfDay(saved.at)}`) : "";
    asOf.classList.toggle("stale", !fresh);
    countUnticked();
    exportLink();
  }

  async function refresh() {
    let response = null;
    try { response = await fetch("/api/desk/on-site"); } catch (error) { response = null; }
    if (response && response.ok) {
      const data = await response.json();
      saved = { at: Date.now(), visits: data.visits };
      save(listKey, saved);
      // Ticks of people who have left go with them.
      const present = new Set(data.visits.map((visit) => String(visit.id)));
      for (const id of Object.keys(ticks)) if (!present.has(id)) delete ticks[id];
      save(ticksKey, ticks);
      byId("message").textContent = "";
      return render(true);
    }
    byId("message").textContent = response && response.status === 401
      ? "Log in at the desk page first; this page shows the last list it had."
      : "The reception service cannot be reached; this is the last list, with its ticks.";
    render(false);
  }

  byId("print").addEventListener("click", () => window.print());
  byId("clear-ticks").addEventListener("click", () => {
    if (!window.confirm("Clear every tick?")) return;
    ticks = {};
    save(ticksKey, ticks);
    render(!byId("as-of").classList.contains("stale"));
  });
  render(false);
  refresh();
  setInterval(refresh, refreshMs);
})();
