// The login form's "Sign in with ..." link, shown when the service has
// single sign-on; local passwords keep working beside it.
"use strict";

(async () => {
  const link = byId("sso-sign-in");
  try {
    const response = await fetch("sso/login-option", { credentials: "same-origin" });
    if (!response.ok) return;
    const option = await response.json();
    link.textContent = `Sign in with ${option.displayName}`;
    link.href = option.desk;
    link.hidden = false;
  } catch {
    // No single sign-on: the password form alone.
  }
})();
