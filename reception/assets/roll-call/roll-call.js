// The evacuation roll call: everyone on site, a tick box per person and the
// count of those not yet ticked. The list is read every 30 s; this browser
// keeps the last one and the ticks, so with the service unreachable (the
// building is being left) the page goes on showing them "as of" their time.
// To open at all without the service, the page is kept by a service worker
// (worker.js) where the browser allows one (HTTPS, or localhost); over plain
// HTTP "Keep a copy" saves the list as one file that opens anywhere.
"use strict";

(() => {
  const refreshMs = 30000;
  const listKey = "vestibra.rollCall.list";
  const ticksKey = "vestibra.rollCall.ticks";

  function load(key, fallback) {
    try { return JSON.parse(localStorage.getItem(key)) || fallback; } catch (error) { return fallback; }
  }
  function save(key, value) {
    try { localStorage.setItem(key, JSON.stringify(value)); } catch (error) { /* private mode: the page still works */ }
  }

  let saved = load(listKey, null);  // { at, visits }
  let ticks = load(ticksKey, {});   // visit id -> true

  function untickedText(visits) {
    const left = visits.filter((visit) => !ticks[visit.id]).length;
    return `${left} of ${visits.length} not yet ticked`;
  }

  function countUnticked() {
    byId("unticked").textContent = untickedText(saved ? saved.visits : []);
  }

  function row(visit) {
    const line = element("tr");
    const box = element("input");
    box.type = "checkbox";
    box.checked = Boolean(ticks[visit.id]);
    box.setAttribute("aria-label", `${visit.guestName} is here`);
    box.addEventListener("change", () => {
      if (box.checked) ticks[visit.id] = true; else delete ticks[visit.id];
      save(ticksKey, ticks);
      line.classList.toggle("ticked", box.checked);
      countUnticked();
    });
    const tick = element("td");
    tick.append(box);
    line.classList.toggle("ticked", box.checked);
    line.append(tick, element("td", "", visit.guestName), element("td", "", visit.company),
                element("td", "", visit.hostName), element("td", "", timeOfDay(visit.checkedInAt)));
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

  // --- Keep a copy: the list as one HTML file, its look and tick count inside --------

  const copyStyle = "body{font-family:system-ui,sans-serif;margin:0 auto;max-width:60rem;padding:1rem;color:#1d2430}" +
    "table{border-collapse:collapse;width:100%}th,td{text-align:left;padding:.35rem .5rem;border-bottom:1px solid #d7dce3}" +
    "input{width:1.4rem;height:1.4rem}.count{font-weight:600}";
  const copyScript = "const boxes=[...document.querySelectorAll('input[type=checkbox]')];" +
    "const count=()=>{document.getElementById('unticked').textContent=" +
    "boxes.filter((b)=>!b.checked).length+' of '+boxes.length+' not yet ticked';};" +
    "for(const b of boxes)b.addEventListener('change',count);count();";

  // Built as a document, so names reach the file as text, never as markup.
  function copyDocument() {
    const visits = saved ? saved.visits : [];
    const copy = document.implementation.createHTMLDocument(`Roll call as of ${dateAndTime(saved.at)}`);
    copy.documentElement.lang = "en";
    const head = copy.head;
    const meta = copy.createElement("meta");
    meta.setAttribute("charset", "utf-8");
    const viewport = copy.createElement("meta");
    viewport.name = "viewport";
    viewport.content = "width=device-width, initial-scale=1";
    const style = copy.createElement("style");
    style.textContent = copyStyle;
    head.prepend(meta);
    head.append(viewport, style);
    const make = (tag, text) => { const node = copy.createElement(tag); if (text !== undefined) node.textContent = text; return node; };
    const count = make("p");
    count.append(make("span", untickedText(visits)), ` as of ${dateAndTime(saved.at)}`);
    count.firstChild.id = "unticked";
    count.firstChild.className = "count";
    const table = make("table");
    const headRow = make("tr");
    for (const name of ["Here", "Guest", "Company", "Host", "Checked in"]) headRow.append(make("th", name));
    table.append(make("thead"), make("tbody"));
    table.tHead.append(headRow);
    for (const visit of visits) {
      const line = make("tr");
      const box = make("input");
      box.type = "checkbox";
      box.setAttribute("aria-label", `${visit.guestName} is here`);
      if (ticks[visit.id]) box.setAttribute("checked", "");
      const tick = make("td");
      tick.append(box);
      line.append(tick, make("td", visit.guestName), make("td", visit.company), make("td", visit.hostName),
                  make("td", timeOfDay(visit.checkedInAt)));
      table.tBodies[0].append(line);
    }
    copy.body.append(make("h1", "Roll call"), count, table, make("script", copyScript));
    return `<!doctype html>\n${copy.documentElement.outerHTML}\n`;
  }

  function fileTime(ms) {
    const at = new Date(ms);
    const two = (n) => String(n).padStart(2, "0");
    return `${at.getFullYear()}-${two(at.getMonth() + 1)}-${two(at.getDate())}-${two(at.getHours())}${two(at.getMinutes())}`;
  }

  function keepCopy() {
    if (!saved) return (byId("message").textContent = "There is no list to keep yet.");
    const link = element("a");
    link.href = URL.createObjectURL(new Blob([copyDocument()], { type: "text/html" }));
    link.download = `roll-call-${fileTime(saved.at)}.html`;
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(link.href), 60000);
  }

  // --- The list ------------------------------------------------------------------------

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
    const result = await request("GET", "/api/desk/on-site");
    if (result.ok) {
      saved = { at: Date.now(), visits: result.data.visits };
      save(listKey, saved);
      // Ticks of people who have left go with them.
      const present = new Set(result.data.visits.map((visit) => String(visit.id)));
      for (const id of Object.keys(ticks)) if (!present.has(id)) delete ticks[id];
      save(ticksKey, ticks);
      byId("message").textContent = "";
      return render(true);
    }
    byId("message").textContent = result.status === 401
      ? "Log in at the desk page first; this page shows the last list it had."
      : "The reception service cannot be reached; this is the last list, with its ticks.";
    render(false);
  }

  // The page itself, kept for opening without the service. Registering again
  // fails while the service is down; the worker registered before goes on.
  async function keepPage() {
    let kept = false;
    if (window.isSecureContext && "serviceWorker" in navigator) {
      try {
        kept = Boolean(await navigator.serviceWorker.register("worker.js"));
      } catch (error) {
        kept = Boolean(await navigator.serviceWorker.getRegistration().catch(() => null));
      }
    }
    byId("keep-hint").hidden = kept;
  }

  byId("print").addEventListener("click", () => window.print());
  byId("keep-copy").addEventListener("click", keepCopy);
  byId("clear-ticks").addEventListener("click", () => {
    if (!window.confirm("Clear every tick?")) return;
    ticks = {};
    save(ticksKey, ticks);
    render(!byId("as-of").classList.contains("stale"));
  });
  render(false);
  keepPage();
  refresh();
  setInterval(refresh, refreshMs);
})();
