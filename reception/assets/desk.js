// The front desk page: announces guests, shows who is waiting and whether the
// host's notifier has shown and acknowledged them, and keeps the staff
// directory. Everything comes from the service's /api/desk/ requests.
// desk_accounts.js adds the admin panels, desk_session.js logging in and out.
"use strict";

const refreshMs = 2000;
const longWaitMs = 10 * 60 * 1000;
const nameRule = { max: 40 };
const controls = /[\u0000-\u001f\u007f-\u009f]/;
// Staff in the order people look for them: last name, then first name, as this browser's language sorts.
const collator = new Intl.Collator(undefined, { sensitivity: "base" });

let serverOffsetMs = 0;  // service clock minus this browser's clock
let latest = { staff: [], notifications: [], onlineWindowMs: 30000 };
let refreshing = false;

const byId = (id) => document.getElementById(id);

function element(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

function serviceNow() { return Date.now() + serverOffsetMs; }

function twoDigits(n) { return String(n).padStart(2, "0"); }

function waitingClock(sinceMs) {
  const seconds = Math.max(0, Math.floor((serviceNow() - sinceMs) / 1000));
  const h = Math.floor(seconds / 3600);
  const m = Math.floor((seconds % 3600) / 60);
  const s = seconds % 60;
  return h > 0 ? `${h}:${twoDigits(m)}:${twoDigits(s)}` : `${twoDigits(m)}:${twoDigits(s)}`;
}

function timeOfDay(ms) {
  return new Date(ms).toLocaleTimeString([], { hour: "2-digit", minute: "2-digit" });
}

async function request(method, path, body) {
  const options = { method, headers: {} };
  if (body !== undefined) {
    options.headers["Content-Type"] = "application/json";
    options.body = JSON.stringify(body);
  }
  let response;
  try {
    response = await fetch(path, options);
  } catch (error) {
    return { ok: false, error: "The reception service cannot be reached." };
  }
  let data = null;
  try { data = await response.json(); } catch (error) { data = null; }
  // The session ended (logged out elsewhere, expired, password changed): back to the login form.
  if (response.status === 401 && session) showLogin("Your session has ended. Please log in again.");
  if (!response.ok) {
    return { ok: false, status: response.status, error: (data && data.error) || `The service answered ${response.status}.` };
  }
  return { ok: true, data };
}

function showMessage(id, text, done) {
  const message = byId(id);
  message.textContent = text;
  message.classList.toggle("done", Boolean(done));
}

// --- Guests ---------------------------------------------------------------

function screenStatus(guest) {
  if (guest.archivedAt !== null) {
    // The notifier keeps what it was given until its user clicks Close.
    const kept = guest.stillOnScreen ? `, still on ${guest.hostName}'s screen` : "";
    const css = guest.stillOnScreen ? "withdrawn on-screen" : "withdrawn";
    if (guest.archivedBy === "desk") return { label: `Withdrawn${kept || " by the desk"}`, css };
    if (guest.archivedBy === "reassigned") return { label: `Reassigned${kept || " to a colleague"}`, css };
    return { label: `Acknowledged at ${timeOfDay(guest.archivedAt)}`, css: "acknowledged" };
  }
  if (guest.deliveredAt !== null) return { label: `On screen since ${timeOfDay(guest.deliveredAt)}`, css: "delivered" };
  return { label: "Not yet on screen", css: "pending" };
}

function statusCell(guest) {
  const status = screenStatus(guest);
  const cell = element("td");
  cell.append(element("span", `status ${status.css}`, status.label));
  return cell;
}

function waitingRow(guest) {
  const row = element("tr");
  row.dataset.id = guest.id;
  row.append(element("td", "guest", guest.guestName), element("td", "note", guest.note),
             element("td", "host", guest.hostName));
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
  row.append(element("td", "guest", guest.guestName), element("td", "note", guest.note),
             element("td", "host", guest.hostName), element("td", "", timeOfDay(guest.arrivedAt)), statusCell(guest));
  return row;
}

function renderGuests() {
  const waiting = latest.notifications.filter((g) => g.archivedAt === null);
  const handled = latest.notifications.filter((g) => g.archivedAt !== null).reverse();
  byId("waiting").tBodies[0].replaceChildren(...waiting.map(waitingRow));
  byId("handled").tBodies[0].replaceChildren(...handled.map(handledRow));
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

// What the host's screen does after a withdraw or reassign: a notifier keeps
// a guest it has shown until its user clicks Close.
function screenAfter(hostName, shown) {
  return shown ? `${hostName}'s screen keeps showing the guest until ${hostName} clicks Close.`
    : `The guest was not on ${hostName}'s screen yet and will not be shown.`;
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

// --- Staff ----------------------------------------------------------------

function presence(member) {
  if (member.online) return "Notifier online";
  if (member.lastPollAt === null) return "Notifier never connected";
  return `Notifier offline, last seen ${timeOfDay(member.lastPollAt)}`;
}

function staffItem(member) {
  const item = element("li");
  item.dataset.id = member.id;
  const dot = element("span", member.online ? "dot online" : "dot");
  dot.setAttribute("aria-hidden", "true");
  const name = element("span", "name", member.displayName);
  const state = element("span", "presence", presence(member));
  const remove = element("button", "secondary", "Remove");
  remove.type = "button";
  remove.addEventListener("click", () => removeStaff(member, remove));
  item.append(dot, name, state, remove);
  return item;
}

function renderStaff() {
  latest.staff.sort((a, b) => collator.compare(a.lastName, b.lastName) || collator.compare(a.firstName, b.firstName));
  byId("staff").replaceChildren(...latest.staff.map(staffItem));
  byId("staff-empty").hidden = latest.staff.length > 0;
  byId("announce-host-name").placeholder = latest.staff.length ? "Type any part of the name" : "Add staff first";
  announceHost.setStaff(latest.staff);
}

async function removeStaff(member, button) {
  if (!window.confirm(`Remove ${member.displayName} from the staff directory?`)) return;
  button.disabled = true;
  const result = await request("DELETE", `api/desk/staff/${member.id}`);
  showMessage("staff-message", result.ok ? `${member.displayName} was removed.` : result.error, result.ok);
  await refresh();
}

// The checks the service makes too, so most mistakes are caught before sending.
function nameProblem(label, value) {
  if (!value) return `${label} is missing.`;
  if (controls.test(value)) return `${label} must not contain control characters.`;
  if (/[,|]/.test(value)) return `${label} must not contain "," or "|".`;
  if (value.includes("\u00a0")) return `${label} must not contain non-breaking spaces.`;
  if (value.includes("=")) return `${label} must not contain "=".`;
  if ([...value].length > nameRule.max) return `${label} is longer than ${nameRule.max} characters.`;
  return "";
}

async function addStaff(event) {
  event.preventDefault();
  // Runs of spaces are made one, as the service does.
  const firstName = byId("staff-first").value.trim().replace(/ {2,}/g, " ");
  const lastName = byId("staff-last").value.trim().replace(/ {2,}/g, " ");
  const problem = nameProblem("The first name", firstName) || nameProblem("The last name", lastName);
  if (problem) return showMessage("staff-message", problem);
  const result = await request("POST", "api/desk/staff", { firstName, lastName });
  if (!result.ok) return showMessage("staff-message", result.error);
  byId("staff-form").reset();
  showMessage("staff-message", `${result.data.displayName} was added.`, true);
  await refresh();
}

// --- Announcing -----------------------------------------------------------

async function announce(event) {
  event.preventDefault();
  const staffId = Number(byId("announce-host").value);
  const guestName = byId("announce-guest").value.trim();
  const note = byId("announce-note").value.trim();
  if (!staffId) return showMessage("announce-message", "Choose the member of staff the guest is here to see.");
  if (!guestName) return showMessage("announce-message", "The guest's name is missing.");
  if (controls.test(guestName) || controls.test(note)) {
    return showMessage("announce-message", "Names and notes must not contain control characters.");
  }
  const result = await request("POST", "api/desk/notifications", { staffId, guestName, note });
  if (!result.ok) return showMessage("announce-message", result.error);
  byId("announce-guest").value = "";
  byId("announce-note").value = "";
  showMessage("announce-message", `${result.data.guestName} was announced to ${result.data.hostName}.`, true);
  await refresh();
}

// --- Refresh --------------------------------------------------------------

async function refresh() {
  if (refreshing) return;
  refreshing = true;
  const sentAt = Date.now();
  const result = await request("GET", "api/desk/state");
  refreshing = false;
  const connection = byId("connection");
  if (!result.ok) {
    connection.textContent = `${result.error} Retrying…`;
    connection.classList.add("lost");
    return;
  }
  serverOffsetMs = result.data.now - Math.round((sentAt + Date.now()) / 2);
  latest = result.data;
  connection.textContent = `Up to date at ${timeOfDay(result.data.now)}`;
  connection.classList.remove("lost");
  renderStaff();
  renderGuests();
  // front_desk.js marks escalations and adds reassigning to the fresh rows.
  document.dispatchEvent(new CustomEvent("desk:rendered", { detail: latest }));
  refreshAuditIfShown();
}

// Enter in the host box, with no list open, goes on as front_desk.js decides.
const announceHost = makeHostPicker(byId("announce-host-name"), byId("announce-host-list"), byId("announce-host"),
                                    (event) => document.dispatchEvent(new CustomEvent("desk:host-enter", { detail: event })));
byId("announce-form").addEventListener("submit", announce);
byId("staff-form").addEventListener("submit", addStaff);
setInterval(tickClocks, 1000);
