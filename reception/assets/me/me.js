// The host's own page: sign in, see one's waiting guests live (an event
// stream), a browser notification and an optional sound for each new guest,
// "On my way", one's alert contacts, visits and notifier key.
"use strict";

let serverOffsetMs = 0;
let stream = null;
let reconnectTimer = null;
const guests = new Map();  // id -> guest

function waitingText(arrivedAt) {
  const minutes = Math.max(0, Math.floor((Date.now() + serverOffsetMs - arrivedAt) / 60000));
  if (minutes < 1) return "waiting less than a minute";
  return minutes === 1 ? "waiting 1 minute" : `waiting ${minutes} minutes`;
}

function renderGuests() {
  const sorted = [...guests.values()].sort((a, b) => a.arrivedAt - b.arrivedAt);
  byId("guests").replaceChildren(...sorted.map((guest) => {
    const item = element("li", guest.fresh ? "new" : "");
    item.dataset.id = guest.id;
    const text = element("span", "guest", guest.guest);
    if (guest.note) text.append(element("span", "note", ` (${guest.note})`));
    const waiting = element("span", "waiting", waitingText(guest.arrivedAt));
    const button = element("button", "", "On my way");
    button.type = "button";
    button.addEventListener("click", () => acknowledge(guest, button));
    item.append(text, waiting, button);
    return item;
  }));
  byId("guests-empty").hidden = guests.size > 0;
  document.title = guests.size > 0 ? `(${guests.size}) My guests - Reception` : "My guests - Reception";
}

async function acknowledge(guest, button) {
  button.disabled = true;
  const result = await request("POST", `/api/me/notifications/${guest.id}/acknowledge`, {});
  if (!result.ok && result.status !== 404) {
    button.disabled = false;
    byId("connection").textContent = result.error;
    return;
  }
  guests.delete(guest.id);
  renderGuests();
}

// A short tone made here: no sound file to fetch.
function playSound() {
  if (!byId("sound").checked) return;
  try {
    const context = new AudioContext();
    const tone = context.createOscillator();
    const gain = context.createGain();
    tone.frequency.value = 880;
    gain.gain.setValueAtTime(0.2, context.currentTime);
    gain.gain.exponentialRampToValueAtTime(0.001, context.currentTime + 0.6);
    tone.connect(gain).connect(context.destination);
    tone.start();
    tone.stop(context.currentTime + 0.6);
  } catch {
    // No audio output: the notification is enough.
  }
}

function notify(guest) {
  playSound();
  if (!("Notification" in window) || Notification.permission !== "granted") return;
  const body = guest.note ? `${guest.guest} (${guest.note}) is waiting at reception.` : `${guest.guest} is waiting at reception.`;
  const shown = new Notification("A guest for you", { body, tag: `guest-${guest.id}` });
  shown.addEventListener("click", () => window.focus());
}

function showNotificationState() {
  const button = byId("enable-notifications");
  const state = byId("notification-state");
  if (!("Notification" in window)) {
    button.hidden = true;
    state.textContent = "This browser shows no notifications.";
    return;
  }
  button.hidden = Notification.permission === "granted";
  state.textContent = Notification.permission === "granted" ? "Notifications are on."
    : Notification.permission === "denied" ? "Notifications are blocked for this site in the browser's settings." : "";
}

function onSnapshot(event) {
  const data = JSON.parse(event.data);
  serverOffsetMs = data.now - Date.now();
  guests.clear();
  for (const guest of data.guests) guests.set(guest.id, guest);
  renderGuests();
  visitsChanged();
}

function onAnnounced(event) {
  const guest = JSON.parse(event.data);
  guest.fresh = true;
  guests.set(guest.id, guest);
  renderGuests();
  notify(guest);
  visitsChanged();
}

function onDelivered(event) {
  const guest = JSON.parse(event.data);
  if (guests.has(guest.id)) guests.set(guest.id, { ...guests.get(guest.id), deliveredAt: guest.deliveredAt });
}

function onGone(event) {
  guests.delete(JSON.parse(event.data).id);
  renderGuests();
  visitsChanged();
}

function connect() {
  clearTimeout(reconnectTimer);
  if (stream) stream.close();
  stream = new EventSource("/api/me/events");
  const connection = byId("connection");
  stream.addEventListener("open", () => {
    connection.textContent = "Live: new guests appear here as the desk announces them.";
    connection.classList.remove("lost");
  });
  stream.addEventListener("snapshot", onSnapshot);
  stream.addEventListener("announced", onAnnounced);
  stream.addEventListener("delivered", onDelivered);
  for (const name of ["acknowledged", "withdrawn", "reassigned"]) stream.addEventListener(name, onGone);
  stream.addEventListener("signed-out", showSignIn);
  stream.addEventListener("error", () => {
    connection.textContent = "Connection lost: reconnecting...";
    connection.classList.add("lost");
    // The browser retries by itself unless the answer was an error; then the page does.
    if (stream.readyState === EventSource.CLOSED) reconnectTimer = setTimeout(checkSession, 5000);
  });
}

async function loadContacts() {
  const result = await request("GET", "/api/me/contacts");
  if (!result.ok) return;
  byId("contact-email").value = result.data.email;
  byId("contact-email").readOnly = result.data.emailFromDirectory;
  byId("email-from-directory").hidden = !result.data.emailFromDirectory;
  byId("contact-url").value = result.data.alertUrl;
}

async function saveContacts(event) {
  event.preventDefault();
  const body = { alertUrl: byId("contact-url").value.trim() };
  if (!byId("contact-email").readOnly) body.email = byId("contact-email").value.trim();
  const result = await request("PUT", "/api/me/contacts", body);
  showMessage("contacts-message", result.ok ? "Saved." : result.error, result.ok);
}

async function testContacts() {
  showMessage("contacts-message", "Sending...", true);
  const result = await request("POST", "/api/me/contacts/test", {});
  if (!result.ok) return showMessage("contacts-message", result.error);
  const lines = Object.entries(result.data.results).map(([channel, sent]) =>
    `${channel}: ${sent.delivered ? "sent" : `not sent (${sent.error || sent.status})`}`);
  showMessage("contacts-message", lines.length ? lines.join("; ") : "No email or push address is set.", true);
}

async function loadVisits() {
  const result = await request("GET", "/api/me/visits");
  if (!result.ok) return;
  byId("visits").replaceChildren(...result.data.visits.map((visit) =>
    element("li", "", `${dateAndTime(visit.arrivedAt)}: ${visit.guest}, ${visit.outcome}`)));
  byId("visits-empty").hidden = result.data.visits.length > 0;
}

// "My visits" follows the guests' events; a burst of them is read once.
let visitsTimer = null;
function visitsChanged() {
  clearTimeout(visitsTimer);
  visitsTimer = setTimeout(loadVisits, 300);
}

function showNotifierKey(key) {
  byId("notifier-key").textContent = key.key;
  byId("notifier-install").textContent = key.install;
}

async function loadNotifierKey() {
  const result = await request("GET", "/api/me/notifier");
  if (result.ok) showNotifierKey(result.data);
}

// A key that leaked is replaced; notifiers installed with the old one stop working.
byId("notifier-new-key").addEventListener("click", async () => {
  if (!window.confirm("Make a new key? Notifiers installed with the current key stop working until they get the new one.")) return;
  const result = await request("POST", "/api/me/notifier/new-key", {});
  if (result.ok) showNotifierKey(result.data);
  showMessage("notifier-message", result.ok ? "A new key was made; the old one no longer works." : result.error, result.ok);
});

function showSignedIn(session) {
  byId("sign-in").hidden = true;
  byId("who").hidden = false;
  byId("who-name").textContent = session.name;
  for (const id of ["guests-panel", "contacts-panel", "notifier-panel", "invitations-panel", "visits-panel"]) byId(id).hidden = false;
  showNotificationState();
  connect();
  loadContacts();
  loadVisits();
  loadNotifierKey();
}

function showSignIn() {
  if (stream) stream.close();
  stream = null;
  byId("sign-in").hidden = false;
  byId("who").hidden = true;
  for (const id of ["guests-panel", "contacts-panel", "notifier-panel", "invitations-panel", "visits-panel"]) byId(id).hidden = true;
}

async function checkSession() {
  const result = await request("GET", "/api/me/session");
  if (result.ok) return showSignedIn(result.data);
  if (result.status === 401 || result.status === 403) return showSignIn();
  byId("connection").textContent = "The service cannot be reached: trying again...";
  reconnectTimer = setTimeout(checkSession, 5000);
}

byId("password-form").addEventListener("submit", async (event) => {
  event.preventDefault();
  const result = await request("POST", "/api/me/login", { login: byId("login").value.trim(), password: byId("password").value });
  byId("password").value = "";
  if (!result.ok) return showMessage("password-message", result.error);
  showMessage("password-message", "");
  showSignedIn(result.data);
});

byId("link-form").addEventListener("submit", async (event) => {
  event.preventDefault();
  const result = await request("POST", "/api/me/sign-in-link", { email: byId("email").value.trim() });
  showMessage("link-message", result.ok ? result.data.message : result.error, result.ok);
});

byId("sign-out").addEventListener("click", async () => {
  await request("POST", "/api/me/logout", {});
  showSignIn();
});

// Browsers ask for the permission only after a click on the page.
byId("enable-notifications").addEventListener("click", async () => {
  if ("Notification" in window) await Notification.requestPermission();
  showNotificationState();
});

byId("sound").checked = localStorage.getItem("vestibra-sound") === "on";
byId("sound").addEventListener("change", () => localStorage.setItem("vestibra-sound", byId("sound").checked ? "on" : "off"));
byId("contacts-form").addEventListener("submit", saveContacts);
byId("contacts-test").addEventListener("click", testContacts);
setInterval(renderGuests, 15000);
checkSession();
