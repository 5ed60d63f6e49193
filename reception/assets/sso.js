// The "Sign in with ..." link beside a password form, shown when the service
// has single sign-on; local passwords keep working beside it. Used by the
// desk page and the host's page; the link's own address says which sign-in.
"use strict";

(async () => {
  const link = document.getElementById("sso-sign-in");
  if (!link) return;
  try {
    const response = await fetch(new URL("login-option", link.href), { credentials: "same-origin" });
    if (!response.ok) return;
    const option = await response.json();
    link.textContent = `Sign in with ${option.displayName}`;
    link.hidden = false;
  } catch {
    // No single sign-on: the password form alone.
  }
})();
