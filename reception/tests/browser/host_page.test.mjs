// The host's own page in headless Chromium against a real vestibra-reception,
// with the notification permission granted: the host signs in with a link by
// mail (a small SMTP receiver of the test's own), the desk announces a guest,
// the page raises a notification and lists the guest, and "On my way" turns
// the desk's row to acknowledged.
// Run through CTest, which sets RECEPTION_EXECUTABLE and CHROMIUM.
import { after, before, test } from "node:test";
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import { createServer } from "node:net";
import { mkdtempSync, readFileSync, rmSync } from "node:fs";
import { createRequire } from "node:module";
import { tmpdir } from "node:os";
import path from "node:path";
import { chromium } from "playwright-core";

const serviceExe = process.env.RECEPTION_EXECUTABLE;
const browserExe = process.env.CHROMIUM || "/usr/bin/chromium";

let browser;
let service;
let smtp;
const mails = [];

function randomLoopback() {
  const part = () => 1 + Math.floor(Math.random() * 250);
  return `127.${part()}.${part()}.${part()}`;
}

// Just enough SMTP to take mails: each message's text goes to mails.
function smtpSession(socket) {
  let data = null;
  let buffer = "";
  socket.write("220 test ESMTP\r\n");
  socket.on("data", (chunk) => {
    buffer += chunk.toString("utf8");
    for (;;) {
      if (data !== null) {
        const end = buffer.indexOf("\r\n.\r\n");
        if (end < 0) return;
        mails.push(data + buffer.slice(0, end));
        buffer = buffer.slice(end + 5);
        data = null;
        socket.write("250 OK\r\n");
        continue;
      }
      const line = buffer.indexOf("\r\n");
      if (line < 0) return;
      const command = buffer.slice(0, line).toUpperCase();
      buffer = buffer.slice(line + 2);
      if (command.startsWith("EHLO")) socket.write("250-test\r\n250 8BITMIME\r\n");
      else if (command.startsWith("DATA")) { data = ""; socket.write("354 go on\r\n"); }
      else if (command.startsWith("QUIT")) { socket.end("221 bye\r\n"); return; }
      else socket.write("250 OK\r\n");
    }
  });
}

async function startSmtp() {
  for (let attempt = 0; attempt < 10; attempt += 1) {
    const server = createServer(smtpSession);
    const port = 20000 + Math.floor(Math.random() * 12000);
    try {
      await new Promise((resolve, reject) => { server.once("error", reject); server.listen(port, "127.0.0.1", resolve); });
      return { server, port };
    } catch (error) {
      if (error.code !== "EADDRINUSE") throw error;
    }
  }
  throw new Error("no free port for the SMTP receiver");
}

function startService(directory) {
  return new Promise((resolve, reject) => {
    const address = randomLoopback();
    const child = spawn(serviceExe, ["--listen", `${address}:80`, "--database", "reception.db", "--demo",
                                     "--public-url", `http://${address}/`, "--smtp-url", `smtp://127.0.0.1:${smtp.port}`,
                                     "--smtp-tls", "none", "--smtp-from", "desk@example.com"],
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

async function waitFor(condition, what, ms = 10000) {
  const deadline = Date.now() + ms;
  while (Date.now() < deadline) {
    if (condition()) return;
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  throw new Error(`timed out waiting for ${what}`);
}

// axe-core's whole rule set, run in the page: the violations as "rule: elements".
const axeSource = readFileSync(createRequire(import.meta.url).resolve("axe-core/axe.min.js"), "utf8");
async function accessibilityViolations(page) {
  await page.evaluate(axeSource);
  return page.evaluate(async () => (await window.axe.run(document)).violations
    .map((violation) => `${violation.id}: ${violation.nodes.map((node) => node.target.join(" ")).join(", ")}`));
}

before(async () => {
  assert.ok(serviceExe, "RECEPTION_EXECUTABLE must be set");
  smtp = await startSmtp();
  service = await startService(mkdtempSync(path.join(tmpdir(), "vestibra-host-page-")));
  browser = await chromium.launch({ executablePath: browserExe, args: ["--no-sandbox"] });
});

after(async () => {
  await browser?.close();
  if (service) {
    const exited = new Promise((resolve) => service.child.once("exit", resolve));
    service.child.kill("SIGTERM");
    await exited;
    rmSync(service.directory, { recursive: true, force: true });
  }
  smtp?.server.close();
});

test("signed in by a mailed link, the host's page notifies of a new guest and On my way acknowledges it", async () => {
  const origin = `http://${service.address}`;
  const desk = await browser.newPage();
  await desk.goto(`${origin}/`);
  await desk.fill("#login-name", "reception");
  await desk.fill("#login-password", service.output.match(/desk login: reception \/ (\S+)/)[1]);
  await desk.click("#login-form button[type=submit]");
  // The staff list is on the desk's Staff page; the board is shown first.
  const anna = desk.locator("#staff li", { hasText: "Anna Schmidt" });
  await anna.waitFor({ state: "attached" });
  const annaId = Number(await anna.getAttribute("data-id"));
  const deskCall = (method, target, body) => desk.evaluate(async ([m, t, b]) => {
    const response = await fetch(t, { method: m, headers: { "Content-Type": "application/json" }, body: JSON.stringify(b) });
    return { status: response.status, data: await response.json() };
  }, [method, target, body]);
  assert.equal((await deskCall("PUT", `api/desk/staff/${annaId}`, { email: "anna@example.com" })).status, 200);

  // The host's browser: notifications allowed, and each one raised noted for the test.
  const context = await browser.newContext({ permissions: ["notifications"] });
  await context.addInitScript(() => {
    const Real = window.Notification;
    window.shownNotifications = [];
    function Spy(title, options) {
      window.shownNotifications.push({ title, body: options?.body });
      return new Real(title, options);
    }
    Object.defineProperty(Spy, "permission", { get: () => Real.permission });
    Spy.requestPermission = (...args) => Real.requestPermission(...args);
    window.Notification = Spy;
  });
  const page = await context.newPage();
  await page.goto(`${origin}/me/`);
  await page.fill("#email", "anna@example.com");
  await page.click("#link-form button[type=submit]");
  await page.locator("#link-message", { hasText: "sign-in link is on its way" }).waitFor();
  await waitFor(() => mails.length === 1, "the sign-in mail");
  const link = mails[0].match(/http:\/\/\S+\/me\/sign-in\/[0-9a-f]{64}/)[0];
  await page.goto(link);
  await page.locator("button", { hasText: "Sign in" }).click();
  await page.locator("#who-name", { hasText: "Anna Schmidt" }).waitFor();
  await page.locator("#connection", { hasText: "Live" }).waitFor();
  assert.equal(await page.locator("#enable-notifications").isHidden(), true, "the permission is already granted");

  // The desk announces a guest: listed with its waiting time, and notified.
  assert.equal((await deskCall("POST", "api/desk/notifications", { staffId: annaId, guestName: "Page Guest", note: "Lobby" })).status, 201);
  const guest = page.locator("#guests li", { hasText: "Page Guest" });
  await guest.waitFor({ timeout: 5000 });
  assert.match(await guest.textContent(), /waiting less than a minute/);
  const shown = await page.evaluate(() => window.shownNotifications);
  assert.equal(shown.length, 1);
  assert.match(shown[0].body, /Page Guest \(Lobby\) is waiting/);
  // "My visits" has the guest as soon as the page hears of it.
  await page.locator("#visits li", { hasText: "Page Guest, waiting" }).waitFor({ timeout: 5000 });

  // On a phone: the page as wide as the screen, "On my way" inside its card.
  await page.setViewportSize({ width: 390, height: 844 });
  const fit = await page.evaluate(() => {
    const card = document.querySelector("#guests li").getBoundingClientRect();
    const button = document.querySelector("#guests li button").getBoundingClientRect();
    return { fits: document.documentElement.scrollWidth <= window.innerWidth,
             inCard: button.left >= card.left && button.right <= card.right };
  });
  assert.deepEqual(fit, { fits: true, inCard: true });
  assert.deepEqual(await accessibilityViolations(page), []);

  await guest.locator("button", { hasText: "On my way" }).click();
  await guest.waitFor({ state: "detached" });
  await page.locator("#visits li", { hasText: "Page Guest, acknowledged" }).waitFor({ timeout: 5000 });
  await desk.locator("#handled tbody tr", { hasText: "Page Guest" }).locator(".status", { hasText: "Acknowledged" })
    .waitFor({ timeout: 10000 });
  await desk.click('#pages a[data-page="staff"]');
  await desk.locator("#staff li", { hasText: "Anna Schmidt" }).locator(".page-state", { hasText: "Page: signed in" }).waitFor();
  await context.close();
  await desk.close();
});
