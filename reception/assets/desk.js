// The front desk page's common ground: the service's /api/desk/ requests,
// the refresh of the desk's state, and the one way each panel's script hooks
// into the page (onDesk). Each panel has a script of its own.
"use strict";

const refreshMs = 2000;
const controls = /[\u0000-\u001f\u007f-\u009f]/;
// Staff in the order people look for them: last name, then first name, as this browser's language sorts.
const collator = new Intl.Collator(undefined, { sensitivity: "base" });

let session = null;  // { name, role } while logged in (session.js)
let serverOffsetMs = 0;  // service clock minus this browser's clock
let refreshing = false;

const byId = (id) => document.getElementById(id);

function element(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

// The page's events, which every panel listens to through onDesk:
//   "session"        a desk session began; the account { name, role }
//   "session-ended"  the service no longer knows the session; the message to show
//   "rendered"       the desk's state as the service last sent it
function onDesk(name, handler) { document.addEventListener(`desk:${name}`, (event) => handler(event.detail)); }
function tellDesk(name, detail) { document.dispatchEvent(new CustomEvent(`desk:${name}`, { detail })); }

function serviceNow() { return Date.now() + serverOffsetMs; }

function twoDigits(n) { return String(n).padStart(2, "0"); }

function timeOfDay(ms) {
  return new Date(ms).toLocaleTimeString([], { hour: "2-digit", minute: "2-digit" });
}

function dateAndTime(ms) {
  return new Date(ms).toLocaleString([], { dateStyle: "short", timeStyle: "medium" });
}

function sortedStaff(staff) {
  return [...staff].sort((a, b) => collator.compare(a.lastName, b.lastName) || collator.compare(a.firstName, b.firstName));
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
  if (response.status === 401 && session) tellDesk("session-ended", "Your session has ended. Please log in again.");
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

// What the host's screen does after a withdraw or reassign: a notifier keeps
// a guest it has shown until its user clicks Close.
function screenAfter(hostName, shown) {
  return shown ? `${hostName}'s screen keeps showing the guest until ${hostName} clicks Close.`
    : `The guest was not on ${hostName}'s screen yet and will not be shown.`;
}

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
  connection.textContent = `Up to date at ${timeOfDay(result.data.now)}`;
  connection.classList.remove("lost");
  tellDesk("rendered", result.data);
}
