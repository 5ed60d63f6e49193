// The front desk page in headless Chromium against a real vestibra-reception,
// with the notifier's own client (notifier_probe) polling and archiving.
// Run through CTest, which sets RECEPTION_EXECUTABLE and NOTIFIER_PROBE.
import { after, before, test } from "node:test";
import assert from "node:assert/strict";
import { execFile, spawn } from "node:child_process";
import { mkdtempSync, readFileSync, rmSync } from "node:fs";
import { createRequire } from "node:module";
import { tmpdir } from "node:os";
import path from "node:path";
import { chromium } from "playwright-core";

const serviceExe = process.env.RECEPTION_EXECUTABLE;
const probeExe = process.env.NOTIFIER_PROBE;
const browserExe = process.env.CHROMIUM || "/usr/bin/chromium";
const host = "José Müller";

let directory;
let service;
let address;
let browser;
let adminPassword;  // the demo admin's, as the service printed it

function randomLoopback() {
  const part = () => 1 + Math.floor(Math.random() * 250);
  return `127.${part()}.${part()}.${part()}`;
}

// Starts the service on port 80 of a loopback address of its own; resolves
// once it is listening, rejects when it exits first.
function startOn(candidate) {
  return new Promise((resolve, reject) => {
    const child = spawn(serviceExe, ["--listen", `${candidate}:80`, "--database", "reception.db", "--demo"],
                        { cwd: directory, stdio: ["ignore", "pipe", "pipe"] });
    let output = "";
    const timer = setTimeout(() => { child.kill("SIGKILL"); reject(new Error("no start in 20 s")); }, 20000);
    const collect = (chunk) => {
      output += chunk;
      if (output.includes("listening on")) {
        clearTimeout(timer);
        adminPassword = output.match(/desk login: reception \/ (\S+)/)[1];
        resolve(child);
      }
    };
    child.stdout.on("data", collect);
    child.stderr.on("data", collect);
    child.on("exit", () => { clearTimeout(timer); reject(new Error(output)); });
  });
}

// The notifier's client: one poll for the host, and optionally a click on Close.
function notifierPoll(archive) {
  const args = [`http://${address}/api/reception/`, host];
  if (archive) args.push("archive");
  return new Promise((resolve, reject) => {
    execFile(probeExe, args, { cwd: directory, timeout: 20000 }, (error, stdout) => {
      if (error) reject(error); else resolve(stdout.split("\n").filter((line) => line.startsWith("probe: ")));
    });
  });
}

// axe-core's whole rule set, run in the page: the violations as "rule: elements".
const axeSource = readFileSync(createRequire(import.meta.url).resolve("axe-core/axe.min.js"), "utf8");
async function accessibilityViolations(page) {
  await page.evaluate(axeSource);  // not a script tag: the desk's CSP allows none inline
  return page.evaluate(async () => (await window.axe.run(document)).violations
    .map((violation) => `${violation.id}: ${violation.nodes.map((node) => node.target.join(" ")).join(", ")}`));
}

// Opens a page of the desk by its link in the bar.
async function showPage(page, name) {
  await page.click(`#pages a[data-page="${name}"]`);
  await page.locator(`#pages a[data-page="${name}"][aria-current="page"]`).waitFor();
}

async function logIn(page, name, password) {
  await page.fill("#login-name", name);
  await page.fill("#login-password", password);
  await page.click("#login-form button[type=submit]");
}

// A page of its own (its own cookies), logged in as the demo admin; options
// as for a browser context (a screen size, a touch screen).
async function openDesk(options) {
  const page = await browser.newPage(options);
  page.on("dialog", (dialog) => dialog.accept());
  await page.goto(`http://${address}/`);
  await logIn(page, "reception", adminPassword);
  await page.locator("#staff li", { hasText: host }).waitFor({ state: "attached" });
  return page;
}

// What the service answers the page's own script for a request (status only).
function statusFromPage(page, method, path, body) {
  return page.evaluate(async ([method, path, body]) => {
    const response = await fetch(path, { method, headers: { "Content-Type": "application/json" }, body });
    return response.status;
  }, [method, path, body]);
}

async function chooseHost(page, name) {
  await page.fill("#announce-host-name", name);
  await page.locator("#announce-host-list li[role=option]", { hasText: name }).first().click();
}

before(async () => {
  assert.ok(serviceExe && probeExe, "RECEPTION_EXECUTABLE and NOTIFIER_PROBE must be set");
  directory = mkdtempSync(path.join(tmpdir(), "vestibra-desk-"));
  for (let attempt = 0; attempt < 10 && !service; attempt += 1) {
    const candidate = randomLoopback();
    try {
      service = await startOn(candidate);
      address = candidate;
    } catch (error) {
      if (!String(error.message).includes("already in use")) throw error;
    }
  }
  assert.ok(service, "no free loopback address for the service");
  browser = await chromium.launch({ executablePath: browserExe, args: ["--no-sandbox"] });
});

after(async () => {
  await browser?.close();
  if (service) {
    const exited = new Promise((resolve) => service.once("exit", resolve));
    service.kill("SIGTERM");
    await exited;
  }
  if (directory) rmSync(directory, { recursive: true, force: true });
});

test("a guest is announced, waits, reaches the host's screen and is acknowledged", async () => {
  const page = await openDesk();
  await chooseHost(page, host);
  await page.fill("#announce-guest", "Zoë Brontë");
  await page.fill("#announce-note", "Meeting room 2");
  await page.click("#announce-form button[type=submit]");
  // The message appears once the service has answered (a disk sync away).
  await page.locator("#announce-message", { hasText: "announced" }).waitFor();
  assert.equal(await page.locator("#announce-message").textContent(), "Zoë Brontë was announced to José Müller.");

  const row = page.locator("#waiting tbody tr", { hasText: "Zoë Brontë" });
  await row.waitFor();
  assert.equal(await row.locator("td.note").textContent(), "Meeting room 2");
  assert.equal(await row.locator(".status").textContent(), "Not on screen: notifier never connected");
  // The waiting clock runs.
  const firstClock = await row.locator("td.clock").textContent();
  assert.match(firstClock, /^00:0\d$/);
  await page.waitForFunction((before) => {
    const clock = document.querySelector("#waiting tbody tr td.clock");
    return clock && clock.textContent !== before;
  }, firstClock, { timeout: 5000 });

  const polled = await notifierPoll(false);
  assert.equal(polled[0], "probe: 1 waiting, archived 0");
  assert.match(polled[1], /^probe: \d+\|Zoë Brontë$/);
  await row.locator(".status", { hasText: /^On screen since / }).waitFor({ timeout: 10000 });
  // A notifier that stopped asking (30 s in the service; here its state says so at once) is no longer "on screen".
  const offline = async (route) => {
    const response = await route.fetch();
    const state = await response.json();
    for (const member of state.staff) member.online = false;
    await route.fulfill({ response, json: state });
  };
  await page.route("**/api/desk/state", offline);
  await row.locator(".status.offline", { hasText: /^Shown at .+, notifier offline since \d/ }).waitFor({ timeout: 10000 });
  await page.unroute("**/api/desk/state", offline);
  await showPage(page, "staff");
  await page.locator("#staff li", { hasText: host }).locator(".presence", { hasText: "Notifier online" })
    .waitFor({ timeout: 10000 });
  await showPage(page, "board");

  const acknowledged = await notifierPoll(true);
  assert.equal(acknowledged[0], "probe: 1 waiting, archived 1");
  await page.locator("#handled tbody tr", { hasText: "Zoë Brontë" }).locator(".status", { hasText: /^Acknowledged at / })
    .waitFor({ timeout: 10000 });
  await page.locator("#waiting-empty").waitFor({ state: "visible" });
  assert.equal(await page.locator("#waiting tbody tr").count(), 0);
  await page.close();
});

test("bad input gets a clear message and the directory is kept", async () => {
  const page = await openDesk();
  await showPage(page, "staff");
  const staffMessage = page.locator("#staff-message");
  const addStaff = async (first, last) => {
    await page.fill("#staff-first", first);
    await page.fill("#staff-last", last);
    await page.click("#staff-form button[type=submit]");
  };

  await addStaff("Łukasz", "Nowak");
  await page.locator("#staff-message", { hasText: "Ł" }).waitFor();
  assert.equal(await staffMessage.textContent(),
               "The first name contains \"Ł\", which notifiers using the code page WINDOWS-1252 cannot show.");
  await addStaff("Anna", "Schmidt");
  await page.locator("#staff-message", { hasText: "already" }).waitFor();
  assert.equal(await staffMessage.textContent(), "Anna Schmidt is already in the staff directory.");
  // Names as people write them, sorted by last name as this browser's language does.
  await addStaff("Mary Ann", "Lee");
  await page.locator("#staff-message", { hasText: "Mary Ann Lee was added." }).waitFor();
  await addStaff("Léa", "Émond");
  await page.locator("#staff li", { hasText: "Léa Émond" }).waitFor();
  const order = await page.locator("#staff li .name").allTextContents();
  assert.ok(order.indexOf("Léa Émond") < order.indexOf("Mary Ann Lee"), order.join(", "));

  await addStaff("Ida", "Weiß");
  await page.locator("#staff li", { hasText: "Ida Weiß" }).waitFor();
  assert.equal(await staffMessage.textContent(), "Ida Weiß was added.");

  await showPage(page, "board");
  await chooseHost(page, "Ida Weiß");
  await page.fill("#announce-guest", "Ada Lovelace");
  await page.fill("#announce-note", "Meeting room 2, 10 o'clock");
  await page.click("#announce-form button[type=submit]");
  await page.locator("#waiting tbody tr", { hasText: "Ada Lovelace" }).locator("td.note", { hasText: "Meeting room 2, 10 o'clock" })
    .waitFor();

  // A host with a guest waiting cannot be removed; after withdrawing the guest they can.
  await showPage(page, "staff");
  const ida = page.locator("#staff li", { hasText: "Ida Weiß" });
  await ida.locator("button", { hasText: "Remove" }).click();
  await page.locator("#staff-message", { hasText: "still waiting" }).waitFor();
  await showPage(page, "board");
  await page.locator("#waiting tbody tr", { hasText: "Ada Lovelace" }).locator("button", { hasText: "Withdraw" }).click();
  await page.locator("#handled tbody tr", { hasText: "Ada Lovelace" }).locator(".status", { hasText: "Withdrawn" })
    .waitFor({ timeout: 10000 });
  await showPage(page, "staff");
  await page.locator("#staff li", { hasText: "Ida Weiß" }).locator("button", { hasText: "Remove" }).click();
  await page.locator("#staff-message", { hasText: "Ida Weiß was removed." }).waitFor();
  await page.locator("#staff li", { hasText: "Ida Weiß" }).waitFor({ state: "detached" });
  await page.close();
});

// What of the page a narrow screen would have to scroll sideways for: the
// page's overflow, a header shorter than the screen and buttons out of reach.
function sidewaysOverflow(page) {
  return page.evaluate(() => {
    const width = document.documentElement.clientWidth;  // the screen less a scroll bar
    const faults = [];
    if (document.documentElement.scrollWidth > window.innerWidth) {
      faults.push(`page ${document.documentElement.scrollWidth} px wide`);
    }
    const header = document.querySelector("header").getBoundingClientRect();
    if (Math.round(header.width) < width) faults.push(`header ${header.width} px wide`);
    for (const button of document.querySelectorAll("button, nav a")) {
      const box = button.getBoundingClientRect();
      if (box.width === 0) continue;  // not shown
      if (box.left < 0 || box.right > width + 0.5) faults.push(`${button.textContent.trim()} at ${box.left}-${box.right}`);
    }
    return faults;
  });
}

test("the board on a laptop and a phone: announcing in the first screen, no sideways scrolling, live visitor log", async () => {
  // The visitor log, opened before the guests come.
  const log = await openDesk();
  await showPage(log, "visitors");
  await log.waitForFunction(() => !document.getElementById("visitor-log").hidden ||
                                  document.getElementById("log-message").textContent !== "");

  // A laptop: the form in the first screen, where it stays however many guests come.
  const laptop = await openDesk({ viewport: { width: 1366, height: 768 } });
  const formTops = [];
  for (let n = 1; n <= 6; n += 1) {
    await chooseHost(laptop, host);
    await laptop.fill("#announce-guest", `Laptop Guest ${n}`);
    await laptop.fill("#announce-company", `Firm ${n}`);
    await laptop.click("#announce-form button[type=submit]");
    await laptop.locator("#waiting tbody tr", { hasText: `Laptop Guest ${n}` }).waitFor();
    await laptop.locator("#on-site tbody tr", { hasText: `Laptop Guest ${n}` }).waitFor();
    // Where the form is on the page, however far the page has been scrolled to type into it.
    formTops.push(await laptop.evaluate(() => byId("announce-form").getBoundingClientRect().top + window.scrollY));
  }
  assert.equal(await laptop.locator("#waiting tbody tr", { hasText: "Laptop Guest 6" }).locator("td.company").textContent(),
               "Firm 6");
  const buttonEnd = await laptop.evaluate(() =>
    document.querySelector("#announce-form button[type=submit]").getBoundingClientRect().bottom + window.scrollY);
  assert.ok(formTops[0] >= 0 && buttonEnd <= 768, `the form at ${formTops[0]}, its button ends at ${buttonEnd}`);
  assert.equal(formTops[5], formTops[0], "the form does not move down as guests come");
  // The log already open has them, without a reload.
  await log.locator("#visitor-log tbody tr", { hasText: "Laptop Guest 6" }).waitFor({ timeout: 10000 });
  assert.equal(await log.locator("#visitor-log tbody tr", { hasText: "Laptop Guest 6" }).locator("td").nth(8).textContent(),
               "Firm 6");

  // A phone: every page as wide as the screen, each table row a card, announcing by touch.
  const phone = await openDesk({ viewport: { width: 390, height: 844 }, isMobile: true, hasTouch: true });
  for (const name of ["staff", "visitors", "administration", "board"]) {
    await showPage(phone, name);
    if (name === "visitors") await phone.locator("#visitor-log tbody tr", { hasText: "Laptop Guest 6" }).waitFor();
    assert.deepEqual(await sidewaysOverflow(phone), [], name);
    assert.deepEqual(await accessibilityViolations(phone), [], name);
  }
  const card = phone.locator("#waiting tbody tr", { hasText: "Laptop Guest 1" });
  assert.equal(await card.locator("td.company").getAttribute("data-label"), "Company");
  await phone.tap("#announce-host-name");
  await phone.fill("#announce-host-name", host);
  await phone.locator("#announce-host-list li[role=option]", { hasText: host }).first().tap();
  await phone.tap("#announce-guest");
  await phone.fill("#announce-guest", "Phone Guest");
  await phone.tap("#announce-form button[type=submit]");
  await phone.locator("#waiting tbody tr", { hasText: "Phone Guest" }).waitFor();
  assert.deepEqual(await sidewaysOverflow(phone), [], "the board with its guests");
  for (const page of [log, laptop, phone]) await page.close();
});

test("each role sees its own desk: login, pages, audit log and log out, without accessibility violations", async () => {
  const page = await browser.newPage();
  page.on("dialog", (dialog) => dialog.accept());
  await page.goto(`http://${address}/`);
  await page.locator("#login-form").waitFor({ state: "visible" });
  assert.equal(await page.locator("#desk").isVisible(), false);
  assert.deepEqual(await accessibilityViolations(page), [], "the login page");
  await logIn(page, "reception", "not the password");
  await page.locator("#login-message", { hasText: "Wrong" }).waitFor();
  assert.equal(await page.locator("#login-message").textContent(), "Wrong name or password.");

  // The admin adds a desk account, announces a guest and finds both in the audit log.
  // The admin's pages, one at a time, each kept in the address.
  await logIn(page, "reception", adminPassword);
  await page.locator("#waiting-title").waitFor();
  assert.equal(await page.locator("#account-name").textContent(), "reception (admin)");
  const pages = { board: ["#announce-title", "#waiting-title"], staff: ["#staff-title", "#import-title"],
                  visitors: ["#log-title"],
                  administration: ["#notifiers-title", "#directory-title", "#accounts-title", "#audit-title"] };
  for (const [name, titles] of Object.entries(pages)) {
    await showPage(page, name);
    assert.equal(new URL(page.url()).hash, `#${name}`);
    const shown = [];
    for (const title of Object.values(pages).flat()) if (await page.locator(title).isVisible()) shown.push(title);
    assert.deepEqual(shown, titles, name);
    assert.deepEqual(await accessibilityViolations(page), [], name);
  }
  await page.reload();
  await page.locator("#accounts-title").waitFor();  // the page in the address comes back
  await page.fill("#account-name-input", "frontdesk");
  await page.fill("#account-password", "front-desk-pass");
  await page.click("#account-form button[type=submit]");
  await page.locator("#accounts li", { hasText: "frontdesk" }).waitFor();
  assert.equal(await page.locator("#accounts-message").textContent(), "frontdesk (desk) was added.");
  await showPage(page, "board");
  await chooseHost(page, host);
  await page.fill("#announce-guest", "Grace Hopper");
  await page.click("#announce-form button[type=submit]");
  await showPage(page, "administration");
  const announced = page.locator("#audit tbody tr", { hasText: "Grace Hopper" });
  await announced.waitFor({ timeout: 10000 });
  const [, account, from, action] = await announced.locator("td").allTextContents();
  assert.deepEqual([account, action], ["reception", "announce"]);
  assert.match(from, /^127\./);
  assert.equal(await page.locator("#audit tbody tr").first().locator("td").nth(3).textContent(), "announce");
  await page.locator("#audit tbody tr", { hasText: "account-add" }).waitFor();
  // The admin sees how to install notifiers with this service's key (the built-in one here, with a warning).
  await page.locator("#notifier-install", { hasText: "SERVICEKEY=" }).waitFor();
  const key = await page.locator("#notifier-key").textContent();
  assert.match(await page.locator("#notifier-install").textContent(),
               new RegExp(`^msiexec /i vestibra-win64\\.msi /qn SERVICEHOST=\\S+ SERVICEKEY=${key}$`));
  assert.equal(await page.locator("#notifier-key-warning").isVisible(), true);

  // Log out ends the session: the form is back, and the cookie opens nothing any more.
  await page.click("#logout");
  await page.locator("#login-message.done", { hasText: "logged out" }).waitFor();  // not in the error colour
  assert.equal(await page.locator("#desk").isVisible(), false);
  assert.equal(await statusFromPage(page, "GET", "api/desk/state"), 401);
  await page.reload();
  await page.locator("#login-form").waitFor({ state: "visible" });

  // A desk account announces and withdraws, but has no staff directory or admin panels.
  await logIn(page, "frontdesk", "front-desk-pass");
  await page.locator("#waiting tbody tr", { hasText: "Grace Hopper" }).waitFor();
  assert.equal(await page.locator("#account-name").textContent(), "frontdesk (desk)");
  // The board alone, without the bar, whatever the address says.
  assert.equal(await page.locator("#pages").isVisible(), false);
  await page.evaluate(() => { location.hash = "#administration"; });
  for (const panel of ["#staff-title", "#accounts-title", "#audit-title", "#import-title", "#log-title", "#notifiers-title"]) {
    assert.equal(await page.locator(panel).isVisible(), false, panel);
  }
  assert.equal(await page.locator("#waiting-title").isVisible(), true);
  assert.equal(await statusFromPage(page, "POST", "api/desk/staff", JSON.stringify({ name: "Eve Lee" })), 403);
  assert.equal(await statusFromPage(page, "GET", "api/desk/audit"), 403);
  await page.locator("#waiting tbody tr", { hasText: "Grace Hopper" }).getByRole("button", { name: "Withdraw" }).click();
  await page.locator("#handled tbody tr", { hasText: "Grace Hopper" }).locator(".status", { hasText: "Withdrawn" })
    .waitFor({ timeout: 10000 });
  await page.click("#logout");
  await page.locator("#login-form").waitFor({ state: "visible" });
  await page.close();
});
