// Choosing a member of staff by typing any part of the name: a combobox
// (an input with a list box) that works from the keyboard and stays quick
// with a directory of thousands. The chosen id is kept in a hidden input, so
// forms read it as they read a select's value.
"use strict";

const hostPickerShown = 50;  // matches listed at once; typing more narrows them

// Lower case without accents, so "lea" finds "Léa" and "muller" "Müller".
function foldedName(text) {
  return text.normalize("NFD").replace(/[\u0300-\u036f]/g, "").toLowerCase();
}

// input: the visible text box; list: an empty <ul>; chosen: the hidden
// input holding the id. onEnter(event) runs for Enter when no list is open.
function makeHostPicker(input, list, chosen, onEnter) {
  let staff = [];
  let matches = [];
  let active = -1;

  input.setAttribute("role", "combobox");
  input.setAttribute("aria-autocomplete", "list");
  input.setAttribute("aria-controls", list.id);
  input.setAttribute("aria-expanded", "false");
  input.autocomplete = "off";
  list.setAttribute("role", "listbox");
  list.hidden = true;

  const label = (member) => `${member.displayName}${member.online ? "" : " (notifier offline)"}`;

  function optionItem(member, index) {
    const item = element("li", index === active ? "active" : "", label(member));
    item.id = `${list.id}-${member.id}`;
    item.setAttribute("role", "option");
    item.setAttribute("aria-selected", String(index === active));
    // mousedown, not click: the input must not lose focus (and close the list) first.
    item.addEventListener("mousedown", (event) => { event.preventDefault(); choose(member); });
    return item;
  }

  function render(open) {
    const items = matches.slice(0, hostPickerShown).map(optionItem);
    if (matches.length > hostPickerShown) {
      items.push(element("li", "more", `${matches.length - hostPickerShown} more: type more of the name`));
    }
    if (open && matches.length === 0) items.push(element("li", "more", "No member of staff has that name"));
    list.replaceChildren(...items);
    list.hidden = !open;
    input.setAttribute("aria-expanded", String(open));
    if (active >= 0) {
      input.setAttribute("aria-activedescendant", `${list.id}-${matches[active].id}`);
      list.children[active].scrollIntoView({ block: "nearest" });
    } else {
      input.removeAttribute("aria-activedescendant");
    }
  }

  function filter() {
    const typed = foldedName(input.value.trim());
    matches = staff.filter((member) => foldedName(member.displayName).includes(typed));
    active = matches.length ? 0 : -1;
  }

  // The hidden input says when it changes, as a select would: forms and
  // notes that follow the chosen host listen for "change".
  function setChosen(value) {
    if (chosen.value === value) return;
    chosen.value = value;
    chosen.dispatchEvent(new Event("change"));
  }

  function choose(member) {
    setChosen(String(member.id));
    input.value = member.displayName;
    render(false);
  }

  function move(step) {
    if (list.hidden) filter();
    const last = Math.min(matches.length, hostPickerShown) - 1;
    if (last >= 0) active = Math.max(0, Math.min(last, active + step));
    render(true);
  }

  input.addEventListener("input", () => {
    setChosen("");
    filter();
    render(true);
  });
  input.addEventListener("keydown", (event) => {
    if (event.key === "ArrowDown" || event.key === "ArrowUp") {
      event.preventDefault();
      move(event.key === "ArrowDown" ? 1 : -1);
    } else if (event.key === "Escape" && !list.hidden) {
      event.preventDefault();
      event.stopPropagation();  // a dialog stays open
      render(false);
    } else if (event.key === "Enter") {
      event.preventDefault();
      if (!list.hidden && active >= 0) choose(matches[active]);
      else onEnter(event);
    }
  });
  input.addEventListener("blur", () => render(false));

  return {
    // The members to choose from; a chosen member no longer among them is dropped.
    setStaff(members) {
      staff = members;
      const kept = staff.find((member) => String(member.id) === chosen.value);
      if (!kept) setChosen("");
      if (!list.hidden) { filter(); render(true); }
    },
    clear() {
      setChosen("");
      input.value = "";
      render(false);
    },
  };
}
