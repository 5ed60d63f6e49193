// The desk accounts (admin): adding one, a new password, removing one.
"use strict";

(() => {
  function passwordEditor(account, item) {
    const input = element("input");
    input.type = "password";
    input.autocomplete = "new-password";
    input.placeholder = "New password";
    input.setAttribute("aria-label", `New password for ${account.name}`);
    const save = element("button", "secondary", "Save");
    save.type = "button";
    save.addEventListener("click", async () => {
      const result = await request("POST", `api/desk/accounts/${account.id}/password`, { password: input.value });
      input.value = "";
      showMessage("accounts-message", result.ok ? `${account.name} has a new password.` : result.error, result.ok);
      if (result.ok) refreshAccounts();
    });
    item.append(input, save);
    input.focus();
  }

  function accountItem(account) {
    const item = element("li");
    item.dataset.id = account.id;
    const last = account.lastLoginAt === null ? "never logged in" : `last login ${dateAndTime(account.lastLoginAt)}`;
    item.append(element("span", "name", account.name), element("span", "presence", `${account.role}, ${last}`));
    const reset = element("button", "secondary", "New password");
    reset.type = "button";
    reset.addEventListener("click", () => { reset.disabled = true; passwordEditor(account, item); });
    const remove = element("button", "secondary", "Remove");
    remove.type = "button";
    remove.addEventListener("click", () => removeAccount(account, remove));
    item.append(reset, remove);
    return item;
  }

  async function refreshAccounts() {
    const result = await request("GET", "api/desk/accounts");
    if (result.ok) byId("accounts").replaceChildren(...result.data.accounts.map(accountItem));
  }

  async function addAccount(event) {
    event.preventDefault();
    const name = byId("account-name-input").value.trim();
    const role = byId("account-role").value;
    const password = byId("account-password").value;
    if (password.length < 8) return showMessage("accounts-message", "A password needs at least 8 characters.");
    const result = await request("POST", "api/desk/accounts", { name, role, password });
    byId("account-password").value = "";
    if (!result.ok) return showMessage("accounts-message", result.error);
    byId("account-form").reset();
    showMessage("accounts-message", `${result.data.name} (${result.data.role}) was added.`, true);
    refreshAccounts();
  }

  async function removeAccount(account, button) {
    if (!window.confirm(`Remove the desk account ${account.name}? Its sessions end at once.`)) return;
    button.disabled = true;
    const result = await request("DELETE", `api/desk/accounts/${account.id}`);
    showMessage("accounts-message", result.ok ? `${account.name} was removed.` : result.error, result.ok);
    refreshAccounts();
  }

  onDesk("session", (account) => { if (account.role === "admin") refreshAccounts(); });
  byId("account-form").addEventListener("submit", addAccount);
})();
