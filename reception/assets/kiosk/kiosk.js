// The self check-in kiosk: a guest with a code types or scans it (a hand
// scanner types the QR's text and Enter) and, once the service has found the
// code good and where house rules are set, accepts them with one touch; a
// guest without one gives a name, company and host; a leaving guest signs
// out by code or name. After 60 s without a touch the page returns to its
// start and keeps nothing of the last guest.
"use strict";

(() => {
  const idleMs = 60000;
  const doneMs = 8000;
  let rules = { version: null, text: "" };
  let pending = null;  // the check-in waiting for the house rules, with their version
  let hostId = null;
  let idleTimer = null;
  let searchTimer = null;

  // Where the service gives no reason, the guest is sent to reception.
  requestTexts.unreachable = "The check-in cannot be reached. Please ask at reception.";
  requestTexts.answered = () => "Please ask at reception.";
  onSessionEnded(() => show("signed-out"));
  const call = request;

  function show(id) {
    for (const screen of document.querySelectorAll(".screen")) screen.hidden = screen.id !== id;
    const first = byId(id).querySelector("input");
    if (first) first.focus();
  }

  // Back to the start with every field, list and message of the last guest cleared.
  function reset() {
    pending = null;
    hostId = null;
    for (const input of document.querySelectorAll("input")) input.value = "";
    for (const list of document.querySelectorAll(".picks")) list.replaceChildren();
    for (const message of document.querySelectorAll(".message")) message.textContent = "";
    byId("done-title").textContent = "";
    byId("done-text").textContent = "";
    if (!byId("signed-out").hidden) return;
    show("start");
  }

  function touched() {
    clearTimeout(idleTimer);
    idleTimer = setTimeout(reset, idleMs);
  }

  function welcome(data) {
    byId("done-title").textContent = `Welcome, ${data.guestName}`;
    byId("done-text").textContent = `${data.hostName} has been told you are here. Please take a seat.`;
    show("done");
    clearTimeout(idleTimer);
    idleTimer = setTimeout(reset, doneMs);
  }

  // The service checks a code first and asks for the house rules only then
  // (409 with their version), so a mistyped code is told at once, not after
  // the rules.
  async function checkIn(body, messageId) {
    pending = null;
    const result = await call("POST", "/api/kiosk/check-in", body);
    if (result.ok) return welcome(result.data);
    const version = result.status === 409 && result.data && result.data.houseRulesVersion;
    if (version) {
      if (rules.version !== version) await loadRules();
      pending = { body: { ...body, houseRulesVersion: version }, messageId };
      return show("rules");
    }
    show(messageId === "start-message" ? "start" : "walk-up");
    byId(messageId).textContent = result.error;
  }

  async function loadRules() {
    const result = await call("GET", "/api/kiosk/house-rules");
    if (result.ok) rules = result.data;
    byId("rules-text").textContent = rules.text;
  }

  function pickList(listId, items, label, chosen) {
    byId(listId).replaceChildren(...items.map((item) => {
      const entry = document.createElement("li");
      const button = document.createElement("button");
      button.type = "button";
      button.textContent = label(item);
      button.addEventListener("click", () => {
        for (const other of byId(listId).querySelectorAll("button")) other.setAttribute("aria-pressed", "false");
        button.setAttribute("aria-pressed", "true");
        chosen(item);
      });
      entry.append(button);
      return entry;
    }));
  }

  // Searches once typing pauses, and only from 2 letters on.
  function searchAs(inputId, path, listId, label, chosen) {
    byId(inputId).addEventListener("input", () => {
      clearTimeout(searchTimer);
      const text = byId(inputId).value.trim();
      if (text.length < 2) return byId(listId).replaceChildren();
      searchTimer = setTimeout(async () => {
        const result = await call("GET", `${path}?q=${encodeURIComponent(text)}`);
        if (result.ok && byId(inputId).value.trim() === text) {
          pickList(listId, result.data.hosts || result.data.visits, label, chosen);
        }
      }, 250);
    });
  }

  byId("code-form").addEventListener("submit", (event) => {
    event.preventDefault();
    const code = byId("code").value.trim();
    if (code) checkIn({ code }, "start-message");
  });
  byId("walk-up-form").addEventListener("submit", (event) => {
    event.preventDefault();
    const guestName = byId("guest-name").value.trim();
    if (!guestName) return (byId("walk-up-message").textContent = "Please type your name.");
    if (!hostId) return (byId("walk-up-message").textContent = "Please choose who you are here to see.");
    checkIn({ guestName, company: byId("company").value.trim(), hostId }, "walk-up-message");
  });
  byId("accept").addEventListener("click", () => { if (pending) checkIn(pending.body, pending.messageId); });
  byId("no-code").addEventListener("click", () => show("walk-up"));
  byId("leaving").addEventListener("click", () => show("sign-out"));
  for (const back of document.querySelectorAll(".back")) back.addEventListener("click", reset);
  searchAs("host-search", "/api/kiosk/hosts", "hosts", (host) => host.name, (host) => { hostId = host.id; });
  searchAs("leaving-search", "/api/kiosk/on-site", "leaving-list", (visit) => visit.guestName, async (visit) => {
    const result = await call("POST", "/api/kiosk/sign-out", { visitId: visit.id });
    if (!result.ok) return (byId("sign-out-message").textContent = result.error);
    byId("done-title").textContent = `Goodbye, ${result.data.guestName}`;
    byId("done-text").textContent = "Thank you for your visit.";
    show("done");
    clearTimeout(idleTimer);
    idleTimer = setTimeout(reset, doneMs);
  });
  for (const kind of ["pointerdown", "keydown", "input"]) document.addEventListener(kind, touched, true);
  loadRules().then(() => { if (byId("signed-out").hidden) show("start"); });
  touched();
})();
