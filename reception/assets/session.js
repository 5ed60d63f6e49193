// Logging in and out: the login form while there is no session, the desk
// (and for admins its admin panels) while there is one.
"use strict";

let refreshTimer = null;

// message in the error colour unless done (a plain "You have logged out.").
function showLogin(message, done) {
  session = null;
  clearInterval(refreshTimer);
  refreshTimer = null;
  byId("desk").hidden = true;
  byId("pages").hidden = true;
  byId("logout").hidden = true;
  byId("account-name").textContent = "";
  byId("connection").textContent = "";
  byId("login").hidden = false;
  showMessage("login-message", message || "", done);
  byId("login-name").focus();
}

function showDesk(account) {
  session = account;
  byId("login").hidden = true;
  byId("desk").hidden = false;
  byId("logout").hidden = false;
  byId("account-name").textContent = `${account.name} (${account.role})`;
  for (const panel of document.querySelectorAll(".admin-only")) panel.hidden = account.role !== "admin";
  tellDesk("session", account);
  refresh();
  if (!refreshTimer) refreshTimer = setInterval(refresh, refreshMs);
}

async function logIn(event) {
  event.preventDefault();
  const name = byId("login-name").value.trim();
  const password = byId("login-password").value;
  if (!name || !password) return showMessage("login-message", "Enter your name and password.");
  const result = await request("POST", "api/desk/login", { name, password });
  byId("login-password").value = "";
  if (!result.ok) return showMessage("login-message", result.error);
  if (result.data.redirect) return window.location.assign(result.data.redirect);
  showDesk(result.data);
}

async function logOut() {
  await request("POST", "api/desk/logout", {});
  showLogin("You have logged out.", true);
}

async function startDesk() {
  const result = await request("GET", "api/desk/session");
  if (result.ok) showDesk(result.data);
  else showLogin(result.status === 401 ? "" : result.error);
}

onDesk("session-ended", (message) => showLogin(message));
byId("login-form").addEventListener("submit", logIn);
byId("logout").addEventListener("click", logOut);
startDesk();
