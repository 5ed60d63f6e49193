// Alerts on the desk page in headless Chromium against a real
// vestibra-reception: the directory edits a host's contacts, the announce
// form notes the offline notifier, the board shows the push sent, and the
// reply page's button acknowledges the guest, which the board then shows.
// Run through CTest, which sets RECEPTION_EXECUTABLE and CHROMIUM.
import { after, before, test } from "node:test";
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import { createServer } from "node:http";
import { mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";
import { chromium } from "playwright-core";

const serviceExe = process.env.RECEPTION_EXECUTABLE;
const browserExe = process.env.CHROMIUM || "/usr/bin/chromium";

let browser;
let service;
let receiver;
const pushes = [];  // the JSON bodies the push receiver got

function randomLoopback() {
  const part = () => 1 + Math.floor(Math.random() * 250);
  return `127.${part()}.${part()}.${part()}`;
}

// A push receiver on a loopback address and a port from 20000-32000.
async function startReceiver() {
  for (let attempt = 0; attempt < 10; attempt += 1) {
    const server = createServer((request, response) => {
      let body = "";
      request.on("data", (chunk) => { body += chunk; });
      request.on("end", () => { pushes.push(JSON.parse(body)); response.end("ok"); });
    });
    const address = randomLoopback();
    const port = 20000 + Math.floor(Math.random() * 12000);
    try {
      await new Promise((resolve, reject) => { server.once("error", reject); server.listen(port, address, resolve); });
      return { server, url: `http://${address}:${port}/push/topic` };
    } catch (error) {
      if (error.code !== "EADDRINUSE") throw error;
    }
  }
  throw new Error("no free port for the push receiver");
}

function startService(directory) {
  return new Promise((resolve, reject) => {
    const address = randomLoopback();
    const child = spawn(serviceExe, ["--listen", `${address}:80`, "--database", "reception.db", "--demo",
                                     "--public-url", `http://${address}/`, "--alert-allow-loopback"],
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

before(async () => {
  assert.ok(serviceExe, "RECEPTION_EXECUTABLE must be set");
  receiver = await startReceiver();
  service = await startService(mkdtempSync(path.join(tmpdir(), "vestibra-alerts-")));
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
  receiver?.server.close();
});

test("contacts edited in the directory, the push shown on the board, the reply page acknowledges", async () => {
  const desk = await browser.newPage();
  await desk.goto(`http://${service.address}/#staff`);
  await desk.fill("#login-name", "reception");
  await desk.fill("#login-password", service.output.match(/desk login: reception \/ (\S+)/)[1]);
  await desk.click("#login-form button[type=submit]");
  const anna = desk.locator("#staff li", { hasText: "Anna Schmidt" });
  await anna.waitFor();

  await anna.locator("button", { hasText: "Contacts" }).click();
  await desk.fill("#contact-email", "anna at example");
  await desk.click("#contact-form button[type=submit]");
  await desk.locator("#contact-message", { hasText: "email address" }).waitFor();
  await desk.fill("#contact-email", "anna@example.com");
  await desk.fill("#contact-url", receiver.url);
  await desk.click("#contact-form button[type=submit]");
  await anna.locator(".contact", { hasText: "anna@example.com, push set" }).waitFor({ timeout: 10000 });
  assert.equal(await desk.locator("#contact-form").isHidden(), true);

  // The demo staff's notifiers never polled: the announce form says so.
  await desk.click('#pages a[data-page="board"]');
  await desk.fill("#announce-host-name", "Anna Schmidt");
  await desk.locator("#announce-host-list li[role=option]", { hasText: "Anna Schmidt" }).first().click();
  // At once, not at the next refresh: the picker says when its choice changes.
  assert.match(await desk.locator("#announce-alert-note").textContent(), /Anna will be alerted by push/);
  await desk.fill("#announce-guest", "Alert Guest");
  await desk.click("#announce-form button[type=submit]");
  const row = desk.locator("#waiting tbody tr", { hasText: "Alert Guest" });
  await row.locator(".alert.sent", { hasText: /^push sent \d/ }).waitFor({ timeout: 10000 });

  assert.equal(pushes.length, 1);
  assert.equal(pushes[0].guest, "Alert Guest");
  const reply = await browser.newPage();
  await reply.goto(pushes[0].acknowledgeUrl);
  // Styled as the desk is: its stylesheet passes the page's policy.
  assert.equal(await reply.locator("header").evaluate((header) => getComputedStyle(header).backgroundColor),
               "rgb(107, 11, 11)");
  await reply.locator("button", { hasText: "I'm on my way" }).click();
  await reply.locator("text=Thanks: the desk knows you are on your way.").waitFor();
  await desk.locator("#handled tbody tr", { hasText: "Alert Guest" }).locator(".status", { hasText: "Acknowledged by reply" })
    .waitFor({ timeout: 10000 });
  await reply.close();
  await desk.close();
});
