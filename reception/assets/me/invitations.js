// The host's invitations: invite a guest for a day (the guest gets the code
// by mail when an address is given), see the coming ones, cancel one.
"use strict";

(() => {
  const states = { open: "expected", "checked-in": "checked in", cancelled: "cancelled" };

  function item(invitation) {
    const when = `${localDay(invitation.expectedOn)}${invitation.expectedAt ? ` ${clockTime(invitation.expectedAt)}` : ""}`;
    const line = element("li", "", `${when}: ${invitation.guestName}` +
      `${invitation.company ? ` (${invitation.company})` : ""}, code ${invitation.code}, ${states[invitation.state] || invitation.state} `);
    if (invitation.state === "open") {
      const cancel = element("button", "secondary", "Cancel");
      cancel.type = "button";
      cancel.addEventListener("click", async () => {
        cancel.disabled = true;
        const result = await request("DELETE", `/api/me/invitations/${invitation.id}`);
        showMessage("invite-message", result.ok ? `The invitation of ${invitation.guestName} is cancelled.` : result.error, result.ok);
        load();
      });
      line.append(cancel);
    }
    return line;
  }

  async function load() {
    const result = await request("GET", "/api/me/invitations");
    if (!result.ok) return;
    byId("invitations").replaceChildren(...result.data.invitations.map(item));
    byId("invitations-empty").hidden = result.data.invitations.length > 0;
  }

  byId("invite-form").addEventListener("submit", async (event) => {
    event.preventDefault();
    const body = { guestName: byId("invite-guest").value.trim(), company: byId("invite-company").value.trim(),
                   guestEmail: byId("invite-email").value.trim(), expectedOn: byId("invite-day").value,
                   expectedAt: byId("invite-time").value, note: "" };
    const result = await request("POST", "/api/me/invitations", body);
    if (!result.ok) return showMessage("invite-message", result.error);
    byId("invite-form").reset();
    showMessage("invite-message", `${result.data.guestName} is invited for ${localDay(result.data.expectedOn)}: code ${result.data.code}.`, true);
    load();
  });
  // Shown with the other panels once signed in (me.js).
  new MutationObserver(() => { if (!byId("invitations-panel").hidden) load(); })
    .observe(byId("invitations-panel"), { attributes: true, attributeFilter: ["hidden"] });
})();
