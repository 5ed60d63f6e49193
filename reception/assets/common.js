// What every page of the service shares: its requests to the service (with
// one place that hears of an ended session), finding and making elements,
// and times written one way, in this browser's language.
"use strict";

const byId = (id) => document.getElementById(id);

function element(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

// A form's message: in the error colour unless done.
function showMessage(id, text, done) {
  const message = byId(id);
  message.textContent = text;
  message.classList.toggle("done", Boolean(done));
}

// --- Requests ------------------------------------------------------------------

let sessionEnded = () => {};

// handler runs on every 401 answer: the page's session ended (logged out
// elsewhere, expired, password changed) and the page shows its sign-in.
function onSessionEnded(handler) { sessionEnded = handler; }

// Each page says what a failed request tells its reader (a guest at the kiosk
// is told something else than the desk).
const requestTexts = {
  unreachable: "The reception service cannot be reached.",
  answered: (status) => `The service answered ${status}.`,
};

// { ok, status, data, error }: status 0 and data null when the service could
// not be reached; error is the service's own message where it gave one.
async function request(method, path, body) {
  const options = { method, headers: {}, credentials: "same-origin" };
  if (body !== undefined) {
    options.headers["Content-Type"] = "application/json";
    options.body = JSON.stringify(body);
  }
  let response;
  try {
    response = await fetch(path, options);
  } catch (error) {
    return { ok: false, status: 0, data: null, error: requestTexts.unreachable };
  }
  let data = null;
  try { data = await response.json(); } catch (error) { data = null; }
  if (response.status === 401) sessionEnded();
  const error = response.ok ? "" : (data && data.error) || requestTexts.answered(response.status);
  return { ok: response.ok, status: response.status, data, error };
}

// --- Times -----------------------------------------------------------------------

// One way of writing a time of day and a date everywhere, as this browser's
// language does (08:16, 8:16 AM, ...).
const timeFormat = new Intl.DateTimeFormat(undefined, { hour: "2-digit", minute: "2-digit" });
const dateTimeFormat = new Intl.DateTimeFormat(undefined, {
  year: "numeric", month: "2-digit", day: "2-digit", hour: "2-digit", minute: "2-digit" });
const dayFormat = new Intl.DateTimeFormat(undefined, { year: "numeric", month: "2-digit", day: "2-digit" });

function timeOfDay(ms) { return timeFormat.format(new Date(ms)); }

function dateAndTime(ms) { return dateTimeFormat.format(new Date(ms)); }

// A day and time as the service keeps invitations ("2026-03-01", "14:30"),
// written like every other time; text it cannot read is shown as it is.
function localDay(day) {
  const parts = /^(\d{4})-(\d{2})-(\d{2})$/.exec(day || "");
  return parts ? dayFormat.format(new Date(Number(parts[1]), Number(parts[2]) - 1, Number(parts[3]))) : day || "";
}

function clockTime(time) {
  const parts = /^(\d{2}):(\d{2})$/.exec(time || "");
  return parts ? timeFormat.format(new Date(2000, 0, 1, Number(parts[1]), Number(parts[2]))) : time || "";
}

// --- Tables on narrow screens ------------------------------------------------------

// A narrow screen shows each row of a table.stacked as a card, every cell
// under its column's name (desk.css): the cells carry the names of their
// columns, written here whenever a table's rows change.
function labelCells(table) {
  const names = table.tHead ? [...table.tHead.rows[0].cells].map((cell) => cell.textContent) : [];
  for (const body of table.tBodies) {
    for (const row of body.rows) {
      if (row.cells.length !== names.length) continue;  // a row spanning the columns, such as a note
      [...row.cells].forEach((cell, index) => { cell.dataset.label = names[index]; });
    }
  }
}

function labelStackedTables() {
  for (const table of document.querySelectorAll("table.stacked")) {
    labelCells(table);
    new MutationObserver(() => labelCells(table)).observe(table, { childList: true, subtree: true });
  }
}

document.addEventListener("DOMContentLoaded", labelStackedTables);
