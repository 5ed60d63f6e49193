// Reassigning a waiting guest to a colleague, from a button on the guest's
// row; the waiting time goes on.
"use strict";

(() => {
  let state = null;

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
    refresh();
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

  const reassignHost = makeHostPicker(byId("reassign-host-name"), byId("reassign-host-list"), byId("reassign-host"),
                                      () => byId("reassign-form").requestSubmit());

  onDesk("rendered", (fresh) => {
    state = fresh;
    addReassignButtons();
  });
  byId("reassign-form").addEventListener("submit", submitReassign);
  byId("reassign-cancel").addEventListener("click", () => byId("reassign-dialog").close());
})();
