// The board's alert additions: what was sent to each guest's host and team
// (and what failed), the staff's email and push addresses in the directory,
// and a note on the announce form when the chosen host's notifier is
// offline. desk.js renders the board; this script decorates each render.
"use strict";

(() => {
  const channelNames = { email: "email", push: "push", "team-webhook": "team chat", "team-email": "team email" };
  let state = null;
  let editing = null;  // the member whose contacts the form edits

  // "email sent 10:03", "push failed: the push address answered 500, retrying",
  // "team chat not needed": the service gives the reason in words.
  function alertText(alert) {
    const channel = channelNames[alert.channel] || alert.channel;
    if (alert.state === "sent") return `${channel} sent ${timeOfDay(alert.at)}`;
    if (alert.state === "cancelled") return `${channel} not needed`;
    const reason = alert.error || (alert.status !== null ? `answered ${alert.status}` : "no answer");
    return `${channel} failed: ${reason}${alert.state === "pending" ? ", retrying" : ""}`;
  }

  function decorateGuests() {
    for (const guest of state.notifications) {
      for (const row of document.querySelectorAll(`#waiting tr[data-id="${guest.id}"], #handled tr[data-id="${guest.id}"]`)) {
        const status = row.querySelector("span.status");
        if (status && guest.archivedBy === "reply") status.textContent = `Acknowledged by reply at ${timeOfDay(guest.archivedAt)}`;
        if (!guest.alerts || guest.alerts.length === 0 || !status) continue;
        const list = element("span", "alerts");
        for (const alert of guest.alerts) {
          list.append(element("span", `alert ${alert.state}`, alertText(alert)));
        }
        status.parentElement.append(list);
      }
    }
  }

  function contactText(member) {
    const ways = [];
    if (member.email) ways.push(member.email);
    if (member.alertUrl) ways.push("push set");
    return ways.length ? ways.join(", ") : "no email or push";
  }

  function decorateStaff() {
    for (const member of state.staff) {
      const item = document.querySelector(`#staff li[data-id="${member.id}"]`);
      if (!item) continue;
      const contact = element("span", "contact", contactText(member));
      const edit = element("button", "secondary", "Contacts");
      edit.type = "button";
      edit.title = `Email and push address for ${member.displayName}`;
      edit.addEventListener("click", () => openContactForm(member));
      item.insertBefore(contact, item.querySelector("button"));
      item.insertBefore(edit, item.querySelector("button"));
    }
  }

  function openContactForm(member) {
    editing = member;
    byId("contact-name").textContent = member.displayName;
    byId("contact-email").value = member.email || "";
    byId("contact-url").value = member.alertUrl || "";
    showMessage("contact-message", "");
    byId("contact-form").hidden = false;
    byId("contact-email").focus();
  }

  async function saveContact(event) {
    event.preventDefault();
    if (!editing) return;
    const email = byId("contact-email").value.trim();
    const alertUrl = byId("contact-url").value.trim();
    const result = await request("PUT", `api/desk/staff/${editing.id}`, { email, alertUrl });
    if (!result.ok) return showMessage("contact-message", result.error);
    showMessage("staff-message", `The contacts of ${editing.displayName} were saved.`, true);
    byId("contact-form").hidden = true;
    editing = null;
    await refresh();
  }

  // The announce form says what happens when the host's notifier is offline.
  function announceNote() {
    const note = byId("announce-alert-note");
    const chosen = state && state.staff.find((member) => String(member.id) === byId("announce-host").value);
    if (!chosen || chosen.online) {
      note.hidden = true;
      return;
    }
    const ways = [];
    if (chosen.email && state.alertMail) ways.push("email");
    if (chosen.alertUrl) ways.push("push");
    note.textContent = ways.length
      ? `${chosen.displayName}'s notifier is offline: ${chosen.firstName} will be alerted by ${ways.join(" and ")}.`
      : `${chosen.displayName}'s notifier is offline and there is no email or push address to alert.`;
    note.hidden = false;
  }

  onDesk("rendered", (fresh) => {
    state = fresh;
    decorateGuests();
    decorateStaff();
    announceNote();
  });
  byId("announce-host").addEventListener("change", announceNote);
  byId("contact-form").addEventListener("submit", saveContact);
  byId("contact-cancel").addEventListener("click", () => {
    byId("contact-form").hidden = true;
    editing = null;
  });
})();
