// The board: the guests waiting, with their waiting clocks and whether the
// host's notifier has shown them, and those handled lately; withdrawing a guest.
"use strict";

(() => {
  const longWaitMs = 10 * 60 * 1000;

  function waitingClock(sinceMs) {
    const seconds = Math.max(0, Math.floor((serviceNow() - sinceMs) / 1000));
    const h = Math.floor(seconds / 3600);
    const m = Math.floor((seconds % 3600) / 60);
    const s = seconds % 60;
    return h > 0 ? `${h}:${twoDigits(m)}:${twoDigits(s)}` : `${twoDigits(m)}:${twoDigits(s)}`;
  }

  function screenStatus(guest, host) {
    if (guest.archivedAt !== null) {
      // The notifier keeps what it was given until its user clicks Close.
      const kept = guest.stillOnScreen ? `, still on ${guest.hostName}'s screen` : "";
      const css = guest.stillOnScreen ? "withdrawn on-screen" : "withdrawn";
      if (guest.archivedBy === "desk") return { label: `Withdrawn${kept || " by the desk"}`, css };
      if (guest.archivedBy === "reassigned") return { label: `Reassigned${kept || " to a colleague"}`, css };
      if (guest.archivedBy === "signed out") return { label: `Signed out${kept}`, css };
      return { label: `Acknowledged at ${timeOfDay(guest.archivedAt)}`, css: "acknowledged" };
    }
    // The host's open page shows every guest it was sent.
    const page = guest.seenOnPage !== null ? `On the host's page since ${timeOfDay(guest.seenOnPage)}` : "";
    // A screen that stopped asking may be off: say so rather than "on screen".
    if (host && !host.online) {
      const since = host.lastPollAt !== null ? `notifier offline since ${timeOfDay(host.lastPollAt)}` : "notifier never connected";
      if (page) return { label: `${page}, ${since}`, css: "delivered" };
      return { label: guest.deliveredAt !== null ? `Shown at ${timeOfDay(guest.deliveredAt)}, ${since}` : `Not on screen: ${since}`,
               css: "offline" };
    }
    if (guest.screen === "shown") return { label: `On screen since ${timeOfDay(guest.deliveredAt)}`, css: "delivered" };
    // The notifier shows one guest at a time, the next after each Close.
    const queued = guest.screen === "queued" ? `queued on the host's screen, ${ordinal(guest.queuedBehind + 1)}` : "";
    if (page) return { label: queued ? `${page}; ${queued}` : page, css: "delivered" };
    if (queued) return { label: capitalized(queued), css: "pending" };
    return { label: "Not yet on screen", css: "pending" };
  }

  const capitalized = (text) => text.charAt(0).toUpperCase() + text.slice(1);
  // 2 -> "2nd", 11 -> "11th"
  function ordinal(n) {
    const suffix = n % 100 >= 11 && n % 100 <= 13 ? "th" : ["th", "st", "nd", "rd"][n % 10] || "th";
    return `${n}${suffix}`;
  }

  let hosts = new Map();  // staff id -> staff entry of the latest state

  function statusCell(guest) {
    const status = screenStatus(guest, hosts.get(guest.staffId));
    const cell = element("td");
    cell.append(element("span", `status ${status.css}`, status.label));
    return cell;
  }

  function waitingRow(guest) {
    const row = element("tr");
    row.dataset.id = guest.id;
    row.append(element("td", "guest", guest.guestName), element("td", "company", guest.company),
               element("td", "note", guest.note), element("td", "host", guest.hostName));
    const clock = element("td", "clock", waitingClock(guest.arrivedAt));
    clock.dataset.since = guest.arrivedAt;
    row.append(clock, statusCell(guest));
    const actions = element("td");
    const withdraw = element("button", "secondary", "Withdraw");
    withdraw.type = "button";
    withdraw.title = "The guest has left or was met at the desk";
    withdraw.addEventListener("click", () => withdrawGuest(guest, withdraw));
    actions.append(withdraw);
    row.append(actions);
    return row;
  }

  function handledRow(guest) {
    const row = element("tr");
    row.dataset.id = guest.id;
    row.append(element("td", "guest", guest.guestName), element("td", "company", guest.company),
               element("td", "note", guest.note), element("td", "host", guest.hostName),
               element("td", "", timeOfDay(guest.arrivedAt)), statusCell(guest));
    return row;
  }

  function renderGuests(latest) {
    hosts = new Map(latest.staff.map((member) => [member.id, member]));
    const waiting = latest.notifications.filter((g) => g.archivedAt === null);
    const handled = latest.notifications.filter((g) => g.archivedAt !== null).reverse();
    byId("waiting").tBodies[0].replaceChildren(...waiting.map(waitingRow));
    const rows = handled.map(handledRow);
    if (latest.moreHandled) {
      // The board lists the most recent ones only; the visitor log has them all.
      const cell = element("td", "", `The last ${latest.handledShown} are shown; the visitor log has the others.`);
      cell.colSpan = 8;
      rows.push(element("tr"));
      rows[rows.length - 1].append(cell);
    }
    byId("handled").tBodies[0].replaceChildren(...rows);
    byId("waiting").hidden = waiting.length === 0;
    byId("handled").hidden = handled.length === 0;
    byId("waiting-empty").hidden = waiting.length > 0;
    byId("handled-empty").hidden = handled.length > 0;
    byId("waiting-count").textContent = waiting.length ? `(${waiting.length})` : "";
    tickClocks();
  }

  function tickClocks() {
    for (const clock of document.querySelectorAll("#waiting td.clock")) {
      const since = Number(clock.dataset.since);
      clock.textContent = waitingClock(since);
      clock.classList.toggle("long", serviceNow() - since > longWaitMs);
    }
  }

  async function withdrawGuest(guest, button) {
    if (!window.confirm(`Withdraw ${guest.guestName}? ${screenAfter(guest.hostName, guest.deliveredAt !== null)}`)) return;
    button.disabled = true;
    const result = await request("POST", `api/desk/notifications/${guest.id}/archive`, {});
    if (!result.ok) window.alert(result.error);
    else {
      const { guestName, hostName, stillOnScreen } = result.data;
      showMessage("announce-message", `${guestName} was withdrawn. ${screenAfter(hostName, stillOnScreen)}`, true);
    }
    await refresh();
  }

  onDesk("rendered", renderGuests);
  setInterval(tickClocks, 1000);
})();
