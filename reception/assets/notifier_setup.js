// How to install notifiers (admin): this service's access key, the installer
// to download and its command line with the key, warned about when it is the
// built-in key.
"use strict";

(() => {
  async function loadNotifierSetup() {
    const result = await request("GET", "api/desk/notifier-setup");
    if (!result.ok) return;
    byId("notifier-key").textContent = result.data.key;
    byId("notifier-install").textContent = result.data.install;
    byId("notifier-key-warning").hidden = !result.data.builtInKey;
    // The package ships the installer; a build from source has none to offer.
    byId("notifier-download").hidden = !result.data.installer;
    byId("notifier-no-download").hidden = Boolean(result.data.installer);
  }

  onDesk("session", (account) => { if (account.role === "admin") loadNotifierSetup(); });
})();
