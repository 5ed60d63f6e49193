// The kiosk and the roll call in headless Chromium against a real
// vestibra-reception with house rules: a guest checks in with an
// invitation's code and one touch, another without a code; the kiosk returns
// to its start after 60 s untouched; the roll call keeps its list and ticks
// once the service is gone. Timers run on Playwright's clock.
// Run through CTest, which sets RECEPTION_EXECUTABLE and CHROMIUM.
import { after, before, test } from "node:test";
import assert from "node:assert/strict";
import { spawn, spawnSync } from "node:child_process";
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { createRequire } from "node:module";
import { tmpdir } from "node:os";
import path from "node:path";
import { chromium } from "playwright-core";

const serviceExe = process.env.RECEPTION_EXECUTABLE;
const browserExe = process.env.CHROMIUM || "/usr/bin/chromium";

let browser;
let service;
let origin;

function randomLoopback() {
  const part = () => 1 + Math.floor(Math.random() * 250);
  return `127.${part()}.${part()}.${part()}`;
}

function startService(directory) {
  return new Promise((resolve, reject) => {
    const address = randomLoopback();
    const child = spawn(serviceExe, ["--listen", `${address}:80`, "--database", "reception.db", "--demo",
                                     "--house-rules-file", "rules.txt"],
                        { cwd: directory, stdio: ["ignore", "pipe", "pipe"] });
    let output = "";
    const timer = setTimeout(() => { child.kill("SIGKILL"); reject(new Error("no start in 20 s")); }, 20000);
    const collect = (chunk) => {
      output += chunk;
      if (output.includes("listening on")) { clearTimeout(timer); resolve({ child, output, address, directory }); }
    };
    child.stdout.on("data", collect);
    child.stderr.on("data", collect);
    child.on("exit", () => { clearTimeout(timer); reject(new Error(output)); });
  });
}

async function stopService() {
  if (!service || service.child.exitCode !== null) return;
  const exited = new Promise((resolve) => service.child.once("exit", resolve));
  service.child.kill("SIGTERM");
  await exited;
}

async function logIn(page, name, password) {
  await page.goto(`${origin}/`);
  await page.fill("#login-name", name);
  await page.fill("#login-password", password);
  await page.click("#login-form button[type=submit]");
}

// axe-core's whole rule set, run in the page: the violations as "rule: elements".
const axeSource = readFileSync(createRequire(import.meta.url).resolve("axe-core/axe.min.js"), "utf8");
async function accessibilityViolations(page) {
  await page.evaluate(axeSource);
  return page.evaluate(async () => (await window.axe.run(document)).violations
    .map((violation) => `${violation.id}: ${violation.nodes.map((node) => node.target.join(" ")).join(", ")}`));
}

function today() {
  const now = new Date();
  return `${now.getFullYear()}-${String(now.getMonth() + 1).padStart(2, "0")}-${String(now.getDate()).padStart(2, "0")}`;
}

before(async () => {
  assert.ok(serviceExe, "RECEPTION_EXECUTABLE must be set");
  const directory = mkdtempSync(path.join(tmpdir(), "vestibra-visits-"));
  writeFileSync(path.join(directory, "rules.txt"), "Wear your badge at all times.\n");
  const added = spawnSync(serviceExe, ["desk-user", "add", "tablet", "--role", "kiosk", "--database", "reception.db"],
                          { cwd: directory, input: "tablet-password\n", timeout: 20000 });
  assert.equal(added.status, 0, String(added.stderr));
  service = await startService(directory);
  origin = `http://${service.address}`;
  browser = await chromium.launch({ executablePath: browserExe, args: ["--no-sandbox"] });
});

after(async () => {
  await browser?.close();
  await stopService();
  if (service) rmSync(service.directory, { recursive: true, force: true });
});

test("the kiosk checks guests in with a code and one touch, and without one, and forgets them when left alone", async () => {
  const desk = await browser.newPage();
  await logIn(desk, "reception", service.output.match(/desk login: reception \/ (\S+)/)[1]);
  await desk.locator("#account-name", { hasText: "reception" }).waitFor();
  const deskCall = (method, target, body) => desk.evaluate(async ([m, t, b]) => {
    const response = await fetch(t, { method: m, headers: { "Content-Type": "application/json" }, body: JSON.stringify(b) });
    return { status: response.status, data: await response.json() };
  }, [method, target, body]);
  const host = await deskCall("POST", "api/desk/staff", { name: "Hanna Host" });
  const invited = await deskCall("POST", "api/desk/invitations",
                                 { hostId: host.data.id, guestName: "Ada Lovelace", company: "Engines", expectedOn: today() });
  assert.equal(invited.status, 201);

  const context = await browser.newContext({ viewport: { width: 1024, height: 768 } });
  await context.clock.install();
  const kiosk = await context.newPage();
  await logIn(kiosk, "tablet", "tablet-password");
  await kiosk.waitForURL(`${origin}/kiosk/`);
  await kiosk.locator("#start").waitFor();
  // A phone-sized screen: the screens as wide as it, zooming allowed, no accessibility violations.
  assert.doesNotMatch(await kiosk.locator("meta[name=viewport]").getAttribute("content"), /user-scalable=no|maximum-scale/);
  await kiosk.setViewportSize({ width: 390, height: 844 });
  for (const open of [null, "#no-code"]) {
    if (open) await kiosk.click(open);
    assert.ok(await kiosk.evaluate(() => document.documentElement.scrollWidth <= window.innerWidth), open || "start");
    assert.deepEqual(await accessibilityViolations(kiosk), [], open || "start");
  }
  await kiosk.click("#walk-up .back");
  await kiosk.setViewportSize({ width: 1024, height: 768 });

  // A mistyped code is told at once, before any rules.
  await kiosk.locator("#code").pressSequentially("zzzz zzzz");
  await kiosk.keyboard.press("Enter");
  await kiosk.locator("#start-message", { hasText: "This code cannot be used" }).waitFor();
  assert.equal(await kiosk.locator("#rules").isHidden(), true);
  await kiosk.fill("#code", "");

  // The code, as a scanner types it, then the one touch for the house rules.
  await kiosk.locator("#code").pressSequentially(invited.data.code.toLowerCase());
  await kiosk.keyboard.press("Enter");
  await kiosk.locator("#rules-text", { hasText: "Wear your badge" }).waitFor();
  await kiosk.click("#accept");
  await kiosk.locator("#done-title", { hasText: "Welcome, Ada Lovelace" }).waitFor();
  assert.match(await kiosk.locator("#done-text").textContent(), /Hanna Host has been told/);
  await kiosk.clock.fastForward(61000);
  await kiosk.locator("#start").waitFor();
  assert.doesNotMatch(await kiosk.locator("body").innerText(), /Ada|Hanna/);

  // Without a code: name, company, the host found from 2 letters, the rules.
  await kiosk.click("#no-code");
  await kiosk.fill("#guest-name", "Grace Hopper");
  await kiosk.fill("#company", "Navy");
  await kiosk.fill("#host-search", "ha");
  await kiosk.clock.runFor(300);
  await kiosk.locator("#hosts button", { hasText: "Hanna Host" }).click();
  await kiosk.click("#walk-up-form button[type=submit]");
  await kiosk.click("#accept");
  await kiosk.locator("#done-title", { hasText: "Welcome, Grace Hopper" }).waitFor();

  // Left mid-entry, the page returns to its start with nothing of the guest.
  await kiosk.clock.fastForward(10000);
  await kiosk.click("#no-code");
  await kiosk.fill("#guest-name", "Half Typed");
  await kiosk.clock.fastForward(59000);
  assert.equal(await kiosk.locator("#walk-up").isVisible(), true, "59 s are not yet idle");
  await kiosk.clock.fastForward(2000);
  await kiosk.locator("#start").waitFor();
  assert.equal(await kiosk.locator("#guest-name").inputValue(), "");

  const onSite = await deskCall("GET", "api/desk/on-site");
  assert.deepEqual(onSite.data.visits.map((visit) => visit.guestName), ["Ada Lovelace", "Grace Hopper"]);
  await context.close();
  await desk.close();
});

test("the roll call keeps its list and ticks when the service is gone", async () => {
  const context = await browser.newContext();
  await context.clock.install();
  const page = await context.newPage();
  await logIn(page, "reception", service.output.match(/desk login: reception \/ (\S+)/)[1]);
  await page.locator("#account-name", { hasText: "reception" }).waitFor();
  await page.goto(`${origin}/roll-call/`);
  const ada = page.locator("#people tbody tr", { hasText: "Ada Lovelace" });
  await ada.waitFor();
  // Kept by a service worker: the service is on a loopback address, where browsers allow one.
  assert.equal(await page.evaluate(async () => Boolean((await navigator.serviceWorker.ready).active)), true);
  assert.equal(await page.locator("#keep-hint").isVisible(), false);
  assert.equal(await page.locator("#people tbody tr").count(), 2);
  assert.equal(await page.locator("#unticked").textContent(), "2 of 2 not yet ticked");
  await ada.locator("input[type=checkbox]").check();
  assert.equal(await page.locator("#unticked").textContent(), "1 of 2 not yet ticked");
  const asOf = (await page.locator("#as-of").textContent()).match(/\d\d:\d\d/)[0];

  await stopService();
  await page.clock.fastForward(31000);
  await page.locator("#as-of", { hasText: `as of ${asOf}` }).waitFor();
  assert.equal(await page.locator("#people tbody tr").count(), 2);
  assert.equal(await ada.locator("input[type=checkbox]").isChecked(), true);
  assert.equal(await page.locator("#unticked").textContent(), "1 of 2 not yet ticked");

  // What this browser keeps, for a tab reopened while the service is gone.
  const kept = await page.evaluate(() => [localStorage.getItem("vestibra.rollCall.list"),
                                          localStorage.getItem("vestibra.rollCall.ticks")]);
  assert.match(kept[0], /Grace Hopper/);
  assert.equal(Object.keys(JSON.parse(kept[1])).length, 1);
  const [download] = await Promise.all([page.waitForEvent("download"), page.click("#export")]);
  const csv = readFileSync(await download.path(), "utf8");
  assert.match(csv, /^\uFEFFhere,guest,company,host,checked_in\r\nyes,Ada Lovelace,Engines,Hanna Host,/);

  // Opened anew while the service is down: the page from the service worker, the list from this browser.
  const reopened = await context.newPage();
  await reopened.goto(`${origin}/roll-call/`);
  await reopened.locator("#as-of", { hasText: `as of ${asOf}` }).waitFor();
  assert.equal(await reopened.locator("#people tbody tr").count(), 2);
  assert.equal(await reopened.locator("#unticked").textContent(), "1 of 2 not yet ticked");
  assert.deepEqual(await accessibilityViolations(reopened), []);

  // The kept copy: one file that opens from disk with the list, its ticks and its count.
  const [copy] = await Promise.all([reopened.waitForEvent("download"), reopened.click("#keep-copy")]);
  assert.match(copy.suggestedFilename(), /^roll-call-\d{4}-\d\d-\d\d-\d{4}\.html$/);
  const saved = path.join(service.directory, copy.suggestedFilename());
  await copy.saveAs(saved);
  const file = await context.newPage();
  await file.goto(`file://${saved}`);
  assert.equal(await file.locator("tbody tr").count(), 2);
  assert.equal(await file.locator("tbody tr", { hasText: "Ada Lovelace" }).locator("input").isChecked(), true);
  assert.equal(await file.locator("tbody tr", { hasText: "Grace Hopper" }).locator("td").nth(2).textContent(), "Navy");
  assert.match(await file.locator("body").innerText(), new RegExp(`1 of 2 not yet ticked as of .*${asOf}`));
  await file.locator("tbody tr", { hasText: "Grace Hopper" }).locator("input").check();
  assert.equal(await file.locator("#unticked").textContent(), "0 of 2 not yet ticked");
  await context.close();
});
