// The "On site" panel: every guest checked in and not signed out, with a
// Sign out button; the list is read again with the board, at most every 5 s.
"use strict";

(() => {
  const everyMs = 5000;
  let readAt = 0;

  function row(visit) {
    const line = element("tr");
    line.append(element("td", "", visit.guestName), element("td", "", visit.company), element("td", "", visit.hostName),
                element("td", "", timeOfDay(visit.checkedInAt)));
    const cell = element("td");
    const button = element("button", "secondary", "Sign out");
    button.type = "button";
    button.addEventListener("click", () => signOut(visit, button));
    cell.append(button);
    line.append(cell);
    return line;
  }

  function render(visits) {
    byId("on-site").querySelector("tbody").replaceChildren(...visits.map(row));
    byId("on-site-count").textContent = visits.length ? `(${visits.length})` : "";
    byId("on-site-empty").hidden = visits.length > 0;
  }

  async function read() {
    readAt = Date.now();
    const result = await request("GET", "api/desk/on-site");
    if (result.ok) render(result.data.visits);
  }

  async function signOut(visit, button) {
    button.disabled = true;
    const result = await request("POST", `api/desk/visits/${visit.id}/sign-out`, {});
    showMessage("on-site-message", result.ok ? `${visit.guestName} was signed out.` : result.error, result.ok);
    await read();
  }

  onDesk("rendered", () => { if (Date.now() - readAt >= everyMs) read(); });
  onDesk("announced", read);
})();
