// Announcing a guest: the host picked by typing any part of the name, the
// guest's name, the company and a note.
"use strict";

(() => {
  async function announce(event) {
    event.preventDefault();
    const staffId = Number(byId("announce-host").value);
    const guestName = byId("announce-guest").value.trim();
    const note = byId("announce-note").value.trim();
    const company = byId("announce-company").value.trim();
    if (!staffId) return showMessage("announce-message", "Choose the member of staff the guest is here to see.");
    if (!guestName) return showMessage("announce-message", "The guest's name is missing.");
    if (controls.test(guestName) || controls.test(note)) {
      return showMessage("announce-message", "Names and notes must not contain control characters.");
    }
    const result = await request("POST", "api/desk/notifications", { staffId, guestName, company, note });
    if (!result.ok) return showMessage("announce-message", result.error);
    byId("announce-guest").value = "";
    byId("announce-note").value = "";
    byId("announce-company").value = "";
    tellDesk("announced", result.data);
    showMessage("announce-message", `${result.data.guestName} was announced to ${result.data.hostName}.`, true);
    await refresh();
  }

  // The host box picks by typing any part of the name; Enter then announces,
  // or moves on to the guest's name while it is still empty.
  function enterAnnounces() {
    if (byId("announce-guest").value.trim()) byId("announce-form").requestSubmit();
    else byId("announce-guest").focus();
  }

  const announceHost = makeHostPicker(byId("announce-host-name"), byId("announce-host-list"), byId("announce-host"),
                                      enterAnnounces);
  onDesk("rendered", (state) => {
    byId("announce-host-name").placeholder = state.staff.length ? "Type any part of the name" : "Add staff first";
    announceHost.setStaff(sortedStaff(state.staff));
  });
  byId("announce-form").addEventListener("submit", announce);
})();
