// How to install notifiers (admin): this service's access key and the
// installer's command line with it, warned about when it is the built-in key.
"use strict";

(() => {
  async function loadNotifierSetup() {
    const result = await request("GET", "api/desk/notifier-setup");
    if (!result.ok) return;
    byId("notifier-key").textContent = result.data.key;
    byId("notifier-install").textContent = result.data.install;
    byId("notifier-key-warning").hidden = !result.data.builtInKey;
  }

  onDesk("session", (account) => { if (account.role === "admin") loadNotifierSetup(); });
})();
