// The desk in pages: Board (announce and the guests), and for admins Staff,
// Visitors and Administration. The page is kept in the address (#board,
// #staff, ...), so reloading or a bookmark opens it; a page the account may
// not see opens the board. A desk account has the board alone, without the bar.
"use strict";

(() => {
  const pages = ["board", "staff", "visitors", "administration"];

  function allowed(name) {
    const link = document.querySelector(`#pages a[data-page="${name}"]`);
    return Boolean(link) && !link.hidden;
  }

  function showPage() {
    const wanted = location.hash.slice(1);
    const page = pages.includes(wanted) && allowed(wanted) ? wanted : "board";
    byId("desk").dataset.page = page;  // each page's own layout (desk.css)
    for (const section of document.querySelectorAll("#desk > section[data-page]")) {
      section.classList.toggle("off-page", section.dataset.page !== page);
    }
    for (const link of document.querySelectorAll("#pages a")) {
      if (link.dataset.page === page) link.setAttribute("aria-current", "page");
      else link.removeAttribute("aria-current");
    }
  }

  onDesk("session", (account) => {
    byId("pages").hidden = account.role !== "admin";
    showPage();
  });
  window.addEventListener("hashchange", showPage);
})();
