// The staff directory (admin): who is in it and whether their notifier is
// online, adding and removing members.
"use strict";

(() => {
  const nameRule = { max: 40 };

  function presence(member) {
    if (member.online) return "Notifier online";
    if (member.lastPollAt === null) return "Notifier never connected";
    return `Notifier offline, last seen ${timeOfDay(member.lastPollAt)}`;
  }

  function staffItem(member) {
    const item = element("li");
    item.dataset.id = member.id;
    const dot = element("span", member.online ? "dot online" : "dot");
    dot.setAttribute("aria-hidden", "true");
    const name = element("span", "name", member.displayName);
    const state = element("span", "presence", presence(member));
    const remove = element("button", "secondary", "Remove");
    remove.type = "button";
    remove.addEventListener("click", () => removeStaff(member, remove));
    item.append(dot, name, state, remove);
    return item;
  }

  function renderStaff(state) {
    const staff = sortedStaff(state.staff);
    byId("staff").replaceChildren(...staff.map(staffItem));
    byId("staff-empty").hidden = staff.length > 0;
  }

  async function removeStaff(member, button) {
    if (!window.confirm(`Remove ${member.displayName} from the staff directory?`)) return;
    button.disabled = true;
    const result = await request("DELETE", `api/desk/staff/${member.id}`);
    showMessage("staff-message", result.ok ? `${member.displayName} was removed.` : result.error, result.ok);
    await refresh();
  }

  // The checks the service makes too, so most mistakes are caught before sending.
  function nameProblem(label, value) {
    if (!value) return `${label} is missing.`;
    if (controls.test(value)) return `${label} must not contain control characters.`;
    if (/[,|]/.test(value)) return `${label} must not contain "," or "|".`;
    if (value.includes("\u00a0")) return `${label} must not contain non-breaking spaces.`;
    if (value.includes("=")) return `${label} must not contain "=".`;
    if ([...value].length > nameRule.max) return `${label} is longer than ${nameRule.max} characters.`;
    return "";
  }

  async function addStaff(event) {
    event.preventDefault();
    // Runs of spaces are made one, as the service does.
    const firstName = byId("staff-first").value.trim().replace(/ {2,}/g, " ");
    const lastName = byId("staff-last").value.trim().replace(/ {2,}/g, " ");
    const problem = nameProblem("The first name", firstName) || nameProblem("The last name", lastName);
    if (problem) return showMessage("staff-message", problem);
    const result = await request("POST", "api/desk/staff", { firstName, lastName });
    if (!result.ok) return showMessage("staff-message", result.error);
    byId("staff-form").reset();
    showMessage("staff-message", `${result.data.displayName} was added.`, true);
    await refresh();
  }

  onDesk("rendered", renderStaff);
  byId("staff-form").addEventListener("submit", addStaff);
})();
