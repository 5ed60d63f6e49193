// The staff directory's part of the hosts' own pages (admin): whether each
// member is signed in to their page, "Sign out everywhere", and the member's
// personal notifier key for installing their notifier ("New key" replaces it).
"use strict";

(() => {
  function pageCell(member) {
    const cell = element("span", "page");
    cell.append(element("span", "page-state", member.page ? "Page: signed in" : "Page: not signed in"));
    if (member.page) {
      const signOut = element("button", "secondary", "Sign out everywhere");
      signOut.type = "button";
      signOut.addEventListener("click", () => signOutEverywhere(member, signOut));
      cell.append(signOut);
    }
    const key = element("button", "secondary", "Notifier key");
    key.type = "button";
    key.addEventListener("click", () => showKey(member, key));
    const newKey = element("button", "secondary", "New key");
    newKey.type = "button";
    newKey.addEventListener("click", () => replaceKey(member, newKey));
    cell.append(key, newKey);
    return cell;
  }

  async function signOutEverywhere(member, button) {
    if (!window.confirm(`Sign ${member.displayName} out of their page on every browser?`)) return;
    button.disabled = true;
    const result = await request("POST", `api/desk/staff/${member.id}/sign-out`, {});
    showMessage("staff-message", result.ok ? `${member.displayName} was signed out everywhere.` : result.error, result.ok);
    await refresh();
  }

  async function showKey(member, button) {
    button.disabled = true;
    const result = await request("GET", `api/desk/staff/${member.id}/notifier-key`);
    button.disabled = false;
    showMessage("staff-message", result.ok ? `${member.displayName}'s notifier: ${result.data.install}` : result.error, result.ok);
  }

  // For a key that leaked: the old one stops working at once.
  async function replaceKey(member, button) {
    if (!window.confirm(`Make a new notifier key for ${member.displayName}? Their notifiers stop working until they get it.`)) return;
    button.disabled = true;
    const result = await request("POST", `api/desk/staff/${member.id}/notifier-key/new`, {});
    button.disabled = false;
    showMessage("staff-message", result.ok ? `${member.displayName}'s new notifier key: ${result.data.install}` : result.error, result.ok);
  }

  onDesk("rendered", (state) => {
    for (const member of state.staff) {
      const item = document.querySelector(`#staff li[data-id="${member.id}"]`);
      if (!item || member.page === undefined) continue;
      item.querySelector(".page")?.remove();
      item.insertBefore(pageCell(member), item.lastElementChild);
    }
  });
})();
