// The board's front-desk additions: escalated guests stand out and rise to
// the top (with an optional sound, switched per browser), a waiting guest can
// be reassigned to a colleague, and the announce form works from the keyboard.
// desk.js renders the board; this script decorates each render.
"use strict";

(() => {
  const soundKey = "vestibra.escalationSound";
  const baseTitle = document.title;
  const sounded = new Set();  // "id:kind" of escalations already played
  let state = null;


  function minutes(ms) {
    const seconds = Math.round(ms / 1000);
    if (seconds < 60) return `${seconds} s`;
    const whole = Math.round(seconds / 60);
    return whole === 1 ? "1 minute" : `${whole} minutes`;
  }

  function escalationText(guest) {
    if (guest.escalation === "unseen") {
      return `Not on the host's screen after ${minutes(state.escalateAfterUnseenMs)}`;
    }
    if (guest.escalation === "unacknowledged") {
      return `Not acknowledged after ${minutes(state.escalateAfterUnacknowledgedMs)}`;
    }
    return "";
  }

  // --- Sound ---------------------------------------------------------------

  function soundOn() {
    try { return localStorage.getItem(soundKey) === "on"; } catch (error) { return false; }
  }

  // One audio context, made (or resumed) on the receptionist's first click or
  // key press: browsers keep a context made without one silent.
  let audio = null;
  function audioContext() {
    const Context = window.AudioContext || window.webkitAudioContext;
    if (!audio && Context) audio = new Context();
    if (audio && audio.state === "suspended") audio.resume().catch(() => {});
    return audio;
  }
  for (const gesture of ["pointerdown", "keydown"]) {
    document.addEventListener(gesture, () => { if (soundOn()) audioContext(); }, { once: true, capture: true });
  }

  function beep() {
    const context = audioContext();
    if (!context) return;
    const tone = context.createOscillator();
    const volume = context.createGain();
    tone.frequency.value = 880;
    volume.gain.setValueAtTime(0.2, context.currentTime);
    volume.gain.exponentialRampToValueAtTime(0.001, context.currentTime + 0.4);
    tone.connect(volume).connect(context.destination);
    tone.start();
    tone.stop(context.currentTime + 0.4);
  }

  function addSoundSwitch() {
    const label = document.createElement("label");
    label.className = "sound-switch";
    const box = document.createElement("input");
    box.type = "checkbox";
    box.id = "escalation-sound";
    box.checked = soundOn();
    box.addEventListener("change", () => {
      try { localStorage.setItem(soundKey, box.checked ? "on" : "off"); } catch (error) { /* private mode */ }
    });
    label.append(box, " Sound when a guest is escalated");
    byId("waiting-title").after(label);
  }

  // Plays once for each escalation not seen before (both kinds of a guest count).
  function soundNewEscalations(escalated) {
    let fresh = false;
    for (const guest of escalated) {
      const key = `${guest.id}:${guest.escalation}`;
      if (!sounded.has(key)) { sounded.add(key); fresh = true; }
    }
    if (fresh && soundOn()) beep();
  }

  // --- Escalation on the board -----------------------------------------------

  function markRow(row, guest) {
    row.classList.add("escalated", guest.escalation);
    const note = document.createElement("span");
    note.className = "escalation";
    note.textContent = escalationText(guest);
    row.querySelector(".status")?.after(note);
  }

  function markEscalations() {
    const body = byId("waiting").tBodies[0];
    const waiting = new Map(state.notifications.filter((g) => g.archivedAt === null).map((g) => [String(g.id), g]));
    const rows = [...body.rows];
    const escalatedRows = rows.filter((row) => waiting.get(row.dataset.id)?.escalation);
    for (const row of escalatedRows) markRow(row, waiting.get(row.dataset.id));
    // Escalated first, longest waiting first within each group, as desk.js orders them.
    body.replaceChildren(...escalatedRows, ...rows.filter((row) => !escalatedRows.includes(row)));
    const escalated = [...waiting.values()].filter((g) => g.escalation);
    document.title = escalated.length ? `(${escalated.length} escalated) ${baseTitle}` : baseTitle;
    soundNewEscalations(escalated);
  }

  // --- Reassign --------------------------------------------------------------

  let reassigning = null;  // the guest the dialog is open for

  function openReassign(guest) {
    reassigning = guest;
    byId("reassign-guest").textContent = `${guest.guestName}, waiting for ${guest.hostName}`;
    reassignHost.clear();
    reassignHost.setStaff(state.staff.filter((member) => member.id !== guest.staffId));
    byId("reassign-hint").textContent = `The waiting time goes on. ${screenAfter(guest.hostName, guest.deliveredAt !== null)}`;
    byId("reassign-message").textContent = "";
    byId("reassign-dialog").showModal();
    byId("reassign-host-name").focus();
  }

  async function submitReassign(event) {
    event.preventDefault();
    const staffId = Number(byId("reassign-host").value);
    const message = byId("reassign-message");
    if (!staffId) { message.textContent = "Choose the colleague the guest should see instead."; return; }
    const result = await request("POST", `api/desk/notifications/${reassigning.id}/reassign`, { staffId });
    if (!result.ok) { message.textContent = result.error; return; }
    const data = result.data;
    byId("reassign-dialog").close();
    const announced = byId("announce-message");
    announced.textContent = `${data.guestName} was reassigned to ${data.hostName}. ` +
      screenAfter(data.previousHostName, data.stillOnPreviousScreen);
    announced.classList.add("done");
    if (typeof refresh === "function") refresh();
  }

  function addReassignButtons() {
    for (const row of byId("waiting").tBodies[0].rows) {
      const guest = state.notifications.find((g) => String(g.id) === row.dataset.id);
      const actions = row.cells[row.cells.length - 1];
      if (!guest || !actions) continue;
      const button = document.createElement("button");
      button.type = "button";
      button.className = "secondary reassign";
      button.textContent = "Reassign";
      button.title = "The host is away: send the guest to a colleague, keeping the waiting time";
      button.addEventListener("click", () => openReassign(guest));
      actions.prepend(button);
    }
  }

  // --- Keyboard ----------------------------------------------------------------

  // The host box picks by typing any part of the name; Enter then announces,
  // or moves on to the guest's name while it is still empty.
  function enterAnnounces() {
    if (byId("announce-guest").value.trim()) byId("announce-form").requestSubmit();
    else byId("announce-guest").focus();
  }

  const reassignHost = makeHostPicker(byId("reassign-host-name"), byId("reassign-host-list"), byId("reassign-host"),
                                      () => byId("reassign-form").requestSubmit());

  document.addEventListener("desk:rendered", (event) => {
    state = event.detail;
    addReassignButtons();
    markEscalations();
  });
  document.addEventListener("desk:host-enter", enterAnnounces);
  byId("reassign-form").addEventListener("submit", submitReassign);
  byId("reassign-cancel").addEventListener("click", () => byId("reassign-dialog").close());
  addSoundSwitch();
})();
