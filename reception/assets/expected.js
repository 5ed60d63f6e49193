// "Expected today": the day's invitations, each checked in with one click,
// and a form to invite a guest for a host.
"use strict";

(() => {
  const everyMs = 10000;
  let readAt = 0;
  const states = { open: "Expected", "checked-in": "Checked in", cancelled: "Cancelled" };

  function row(invitation) {
    const line = element("tr");
    line.append(element("td", "", invitation.guestName), element("td", "", invitation.company),
                element("td", "", invitation.hostName), element("td", "", clockTime(invitation.expectedAt)),
                element("td", "", states[invitation.state] || invitation.state));
    const cell = element("td");
    if (invitation.state === "open") {
      const button = element("button", "", "Check in");
      button.type = "button";
      button.addEventListener("click", () => checkIn(invitation, button));
      cell.append(button);
    }
    line.append(cell);
    return line;
  }

  async function read() {
    readAt = Date.now();
    const result = await request("GET", "api/desk/invitations");
    if (!result.ok) return;
    const invitations = result.data.invitations;
    byId("expected").querySelector("tbody").replaceChildren(...invitations.map(row));
    byId("expected-empty").hidden = invitations.length > 0;
  }

  async function checkIn(invitation, button) {
    button.disabled = true;
    const result = await request("POST", `api/desk/invitations/${invitation.id}/check-in`, {});
    showMessage("expected-message", result.ok ? `${invitation.guestName} is checked in; ${invitation.hostName} has been told.`
      : result.error, result.ok);
    await read();
    tellDesk("announced", result.data);
    await refresh();
  }

  async function invite(event) {
    event.preventDefault();
    const hostId = Number(byId("invite-host").value);
    if (!hostId) return showMessage("invite-message", "Choose the member of staff the guest is coming to see.");
    const body = { hostId, guestName: byId("invite-guest").value.trim(), company: byId("invite-company").value.trim(),
                   guestEmail: byId("invite-email").value.trim(), expectedOn: byId("invite-day").value,
                   expectedAt: byId("invite-time").value, note: "" };
    const result = await request("POST", "api/desk/invitations", body);
    if (!result.ok) return showMessage("invite-message", result.error);
    byId("invite-form").reset();
    showMessage("invite-message", `${result.data.guestName} is invited for ${localDay(result.data.expectedOn)}: code ${result.data.code}.`, true);
    await read();
  }

  const picker = makeHostPicker(byId("invite-host-name"), byId("invite-host-list"), byId("invite-host"), () => {});
  onDesk("rendered", (state) => {
    picker.setStaff(sortedStaff(state.staff));
    if (Date.now() - readAt >= everyMs) read();
  });
  byId("invite-form").addEventListener("submit", invite);
})();
