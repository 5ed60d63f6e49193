// The front desk page's common ground, beside common.js: the refresh of the
// desk's state, and the one way each panel's script hooks into the page
// (onDesk). Each panel has a script of its own.
"use strict";

const refreshMs = 2000;
const controls = /[\u0000-\u001f\u007f-\u009f]/;
// Staff in the order people look for them: last name, then first name, as this browser's language sorts.
const collator = new Intl.Collator(undefined, { sensitivity: "base" });

let session = null;  // { name, role } while logged in (session.js)
let serverOffsetMs = 0;  // service clock minus this browser's clock
let refreshing = false;

// The page's events, which every panel listens to through onDesk:
//   "session"        a desk session began; the account { name, role }
//   "session-ended"  the service no longer knows the session; the message to show
//   "rendered"       the desk's state as the service last sent it
function onDesk(name, handler) { document.addEventListener(`desk:${name}`, (event) => handler(event.detail)); }
function tellDesk(name, detail) { document.dispatchEvent(new CustomEvent(`desk:${name}`, { detail })); }

function serviceNow() { return Date.now() + serverOffsetMs; }

function twoDigits(n) { return String(n).padStart(2, "0"); }

function sortedStaff(staff) {
  return [...staff].sort((a, b) => collator.compare(a.lastName, b.lastName) || collator.compare(a.firstName, b.firstName));
}

// A 401 while logged in: the session ended (logged out elsewhere, expired,
// password changed), so back to the login form.
onSessionEnded(() => { if (session) tellDesk("session-ended", "Your session has ended. Please log in again."); });

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
