// The admin panels: desk accounts (add, new password, remove), the audit
// log, newest first, a page at a time, and how to install notifiers.
"use strict";

let auditNext = null;    // the id to ask for older entries with, or null
let auditPaged = false;  // older pages shown: the periodic refresh leaves them

function dateAndTime(ms) {
  return new Date(ms).toLocaleString([], { dateStyle: "short", timeStyle: "medium" });
}

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

function auditRow(entry) {
  const row = element("tr");
  row.append(element("td", "", dateAndTime(entry.at)), element("td", "", entry.account), element("td", "", entry.address),
             element("td", "", entry.action), element("td", "note", entry.detail));
  return row;
}

async function loadAudit(older) {
  const path = older && auditNext !== null ? `api/desk/audit?before=${auditNext}` : "api/desk/audit";
  const result = await request("GET", path);
  if (!result.ok) return;
  const rows = result.data.entries.map(auditRow);
  if (older) byId("audit").tBodies[0].append(...rows);
  else byId("audit").tBodies[0].replaceChildren(...rows);
  auditPaged = older;
  auditNext = result.data.next;
  byId("audit-older").hidden = auditNext === null;
  byId("audit-newest").hidden = !auditPaged;
}

// Called by each refresh of the desk: the newest entries, unless older ones are being read.
function refreshAuditIfShown() {
  if (session && session.role === "admin" && !auditPaged) loadAudit(false);
}

async function loadNotifierSetup() {
  const result = await request("GET", "api/desk/notifier-setup");
  if (!result.ok) return;
  byId("notifier-key").textContent = result.data.key;
  byId("notifier-install").textContent = result.data.install;
  byId("notifier-key-warning").hidden = !result.data.builtInKey;
}

function showAdminPanels() {
  refreshAccounts();
  loadAudit(false);
  loadNotifierSetup();
}

byId("account-form").addEventListener("submit", addAccount);
byId("audit-older").addEventListener("click", () => loadAudit(true));
byId("audit-newest").addEventListener("click", () => loadAudit(false));
