// Escalated guests on the board stand out and rise to the top, count in the
// page's title, and can sound once (switched on per browser).
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

  onDesk("rendered", (fresh) => {
    state = fresh;
    markEscalations();
  });
  addSoundSwitch();
})();
