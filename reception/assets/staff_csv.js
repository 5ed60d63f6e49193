// The staff directory imported from and exported to CSV (admin): a preview
// of what a file would change, then applying it.
"use strict";

(() => {
  const maxUploadBytes = 2 * 1024 * 1024 - 4096;  // the service's upload limit, less the JSON around the text
  let importText = null;  // the chosen file's text once it is previewed

  function say(id, text, done) {
    byId(id).textContent = text;
    byId(id).classList.toggle("done", Boolean(done));
  }

  // --- Staff import ------------------------------------------------------------

  // What a line does with its contact columns, so none is set unseen.
  const contactNotes = {
    set: "contact set to",
    kept: "contact in the file NOT applied (an import changes no existing member's contact):",
  };

  function contactText(n) {
    if (!n.contact || n.contact === "none") return "";
    const columns = [n.email && `email ${n.email}`, n.alertUrl && `push ${n.alertUrl}`].filter(Boolean).join(", ");
    return `; ${contactNotes[n.contact] || n.contact} ${columns}`;
  }

  function nameItems(list, names) {
    byId(list).replaceChildren(...names.map((n) =>
      element("li", "", `Line ${n.line}: ${n.firstName} ${n.lastName}${contactText(n)}`)));
  }

  function showPreview(preview) {
    const { added, unchanged, rejected } = preview;
    const more = preview.moreRejected || 0;  // rejected lines beyond those listed
    const rejectedCount = rejected.length + more;
    byId("import-summary").textContent = preview.applied
      ? `Added ${added.length}; ${unchanged.length} already in the directory; ${rejectedCount} rejected.`
      : `${added.length} to add, ${unchanged.length} already in the directory, ${rejectedCount} rejected.`;
    nameItems("import-added", added);
    nameItems("import-unchanged", unchanged);
    const rejectedItems = rejected.map((r) =>
      element("li", "", `Line ${r.line}: ${r.text.trim() || "(empty)"}: ${r.reason}`));
    if (more > 0) rejectedItems.push(element("li", "", `… and ${more} more rejected lines.`));
    byId("import-rejected").replaceChildren(...rejectedItems);
    byId("import-preview").hidden = false;
    byId("import-apply").disabled = preview.applied || added.length === 0;
  }

  async function readChosenFile() {
    const file = byId("import-file").files[0];
    if (!file) return { error: "Choose a CSV file first." };
    if (file.size > maxUploadBytes) return { error: "The file is larger than 2 MB." };
    try {
      return { text: new TextDecoder("utf-8", { fatal: true }).decode(await file.arrayBuffer()) };
    } catch (error) {
      return { error: "The file is not UTF-8 text. Save it from the spreadsheet as \"CSV UTF-8\"." };
    }
  }

  async function previewImport(event) {
    event.preventDefault();
    importText = null;
    byId("import-preview").hidden = true;
    const chosen = await readChosenFile();
    if (chosen.error) return say("import-message", chosen.error);
    const result = await request("POST", "api/desk/staff/import", { csv: chosen.text, apply: false });
    if (!result.ok) return say("import-message", result.error);
    importText = chosen.text;
    say("import-message", "");
    showPreview(result.data);
  }

  async function applyImport() {
    if (importText === null) return;
    byId("import-apply").disabled = true;
    const result = await request("POST", "api/desk/staff/import", { csv: importText, apply: true });
    if (!result.ok) {
      byId("import-apply").disabled = false;
      return say("import-message", result.error);
    }
    importText = null;
    showPreview(result.data);  // its summary says what was added: no second line
    say("import-message", "");
    refresh();
  }

  byId("import-form").addEventListener("submit", previewImport);
  byId("import-file").addEventListener("change", () => { importText = null; byId("import-preview").hidden = true; });
  byId("import-apply").addEventListener("click", applyImport);
})();
