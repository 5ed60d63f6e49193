// The front desk's escalation, reassigning, staff CSV, visitor log and
// retention in headless Chromium against a real vestibra-reception, with the
// notifier's own client (notifier_probe) as the hosts' screens.
// Run through CTest, which sets RECEPTION_EXECUTABLE, NOTIFIER_PROBE and CHROMIUM.
import { after, before, test } from "node:test";
import assert from "node:assert/strict";
import { execFile, execFileSync, spawn } from "node:child_process";
import { mkdtempSync, readFileSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";
import { chromium } from "playwright-core";

const serviceExe = process.env.RECEPTION_EXECUTABLE;
const probeExe = process.env.NOTIFIER_PROBE;
const browserExe = process.env.CHROMIUM || "/usr/bin/chromium";
// Escalation after 2 s unseen; acknowledgement stays out of the way.
const boardOptions = ["--escalate-after-unseen", "2", "--escalate-after-unacknowledged", "600"];

let browser;
const services = [];  // every service started here, stopped at the end

function randomLoopback() {
  const part = () => 1 + Math.floor(Math.random() * 250);
  return `127.${part()}.${part()}.${part()}`;
}

// Starts the service on port 80 of address with its database in directory;
// resolves with the child and its start-up output once it listens.
function startOn(address, directory, options) {
  return new Promise((resolve, reject) => {
    const child = spawn(serviceExe, ["--listen", `${address}:80`, "--database", "reception.db", "--demo", ...options],
                        { cwd: directory, stdio: ["ignore", "pipe", "pipe"] });
    let output = "";
    const timer = setTimeout(() => { child.kill("SIGKILL"); reject(new Error("no start in 20 s")); }, 20000);
    const collect = (chunk) => {
      output += chunk;
      if (output.includes("listening on")) { clearTimeout(timer); resolve({ child, output }); }
    };
    child.stdout.on("data", collect);
    child.stderr.on("data", collect);
    child.on("exit", () => { clearTimeout(timer); reject(new Error(output)); });
  });
}

// A service on a loopback address of its own; address may be given to restart one.
async function startService(options, directory = mkdtempSync(path.join(tmpdir(), "vestibra-front-desk-")), address) {
  for (let attempt = 0; attempt < 10; attempt += 1) {
    const candidate = address || randomLoopback();
    try {
      const { child, output } = await startOn(candidate, directory, options);
      const service = { child, output, address: candidate, directory };
      services.push(service);
      return service;
    } catch (error) {
      if (address || !String(error.message).includes("already in use")) throw error;
    }
  }
  throw new Error("no free loopback address for the service");
}

async function stopService(service) {
  const exited = new Promise((resolve) => service.child.once("exit", resolve));
  service.child.kill("SIGTERM");
  await exited;
  services.splice(services.indexOf(service), 1);
}

// One poll of the host's notifier.
function notifierPoll(service, host) {
  return new Promise((resolve, reject) => {
    execFile(probeExe, [`http://${service.address}/api/reception/`, host], { cwd: service.directory, timeout: 20000 },
             (error, stdout) => {
               if (error) reject(error); else resolve(stdout.split("\n").filter((line) => line.startsWith("probe: ")));
             });
  });
}

// Opens the desk page logged in as the demo admin, with the password this
// start of the service printed, on one of its pages (by its address).
// initScript runs in the page before its own scripts.
async function openDesk(service, initScript, deskPage = "board") {
  const page = await browser.newPage();
  page.on("dialog", (dialog) => dialog.accept());
  if (initScript) await page.addInitScript(initScript);
  await page.goto(`http://${service.address}/#${deskPage}`);
  await page.fill("#login-name", "reception");
  await page.fill("#login-password", service.output.match(/desk login: reception \/ (\S+)/)[1]);
  await page.click("#login-form button[type=submit]");
  await page.locator("#staff li", { hasText: "José Müller" }).waitFor({ state: "attached" });
  await page.locator(`#pages a[data-page="${deskPage}"][aria-current="page"]`).waitFor();
  return page;
}

async function showPage(page, name) {
  await page.click(`#pages a[data-page="${name}"]`);
  await page.locator(`#pages a[data-page="${name}"][aria-current="page"]`).waitFor();
}

async function announce(page, host, guest) {
  await page.fill("#announce-host-name", host);
  await page.locator("#announce-host-list li[role=option]", { hasText: host }).first().click();
  await page.fill("#announce-guest", guest);
  await page.click("#announce-form button[type=submit]");
  await page.locator("#waiting tbody tr", { hasText: guest }).waitFor();
}

function seconds(clock) {
  const [m, s] = clock.split(":").map(Number);
  return m * 60 + s;
}

let board;

before(async () => {
  assert.ok(serviceExe && probeExe, "RECEPTION_EXECUTABLE and NOTIFIER_PROBE must be set");
  board = await startService(boardOptions);
  browser = await chromium.launch({ executablePath: browserExe, args: ["--no-sandbox"] });
});

after(async () => {
  await browser?.close();
  for (const service of [...services]) {
    await stopService(service);
    rmSync(service.directory, { recursive: true, force: true });
  }
});

test("an unseen guest is escalated: on top, with text, counted in the title, one sound", async () => {
  // Counts the tones the page plays (kept across the reload below).
  const desk = await openDesk(board, () => {
    window.tonesPlayed = 0;
    const Original = window.AudioContext;
    window.AudioContext = class extends Original {
      createOscillator() {
        const tone = super.createOscillator();
        const start = tone.start.bind(tone);
        tone.start = (...args) => { window.tonesPlayed += 1; start(...args); };
        return tone;
      }
    };
  });
  assert.equal(await desk.locator("#escalation-sound").isChecked(), false, "the sound is off by default");
  await desk.check("#escalation-sound");
  await desk.reload();
  await desk.locator("#staff li", { hasText: "José Müller" }).waitFor({ state: "attached" });
  assert.equal(await desk.locator("#escalation-sound").isChecked(), true, "the switch is kept by this browser");

  await announce(desk, "José Müller", "Delivered Guest");
  await notifierPoll(board, "José Müller");
  await announce(desk, "Anna Schmidt", "Unseen Guest");
  const unseen = desk.locator("#waiting tbody tr", { hasText: "Unseen Guest" });
  await unseen.locator(".escalation").waitFor({ timeout: 10000 });
  assert.equal(await unseen.locator(".escalation").textContent(), "Not on the host's screen after 2 s");
  assert.match(await unseen.getAttribute("class"), /escalated/);
  assert.equal(await desk.locator("#waiting tbody tr").first().locator("td.guest").textContent(), "Unseen Guest");
  assert.equal(await desk.locator("#waiting tbody tr", { hasText: "Delivered Guest" }).locator(".escalation").count(), 0);
  assert.match(await desk.title(), /^\(1 escalated\) /);
  // Played once, not again on the following refreshes.
  await desk.waitForTimeout(4500);
  assert.equal(await desk.evaluate(() => window.tonesPlayed), 1);

  // Delivery ends it.
  await notifierPoll(board, "Anna Schmidt");
  await unseen.locator(".escalation").waitFor({ state: "detached", timeout: 10000 });
  assert.doesNotMatch(await desk.title(), /escalated/);
  // The notifier keeps a guest it has shown until its user clicks Close: the desk says so.
  const asked = [];
  desk.on("dialog", (dialog) => asked.push(dialog.message()));
  for (const guest of ["Delivered Guest", "Unseen Guest"]) {
    await desk.locator("#waiting tbody tr", { hasText: guest }).locator("button", { hasText: "Withdraw" }).click();
    await desk.locator("#waiting tbody tr", { hasText: guest }).waitFor({ state: "detached", timeout: 10000 });
  }
  assert.deepEqual(asked, [
    "Withdraw Delivered Guest? José Müller's screen keeps showing the guest until José Müller clicks Close.",
    "Withdraw Unseen Guest? Anna Schmidt's screen keeps showing the guest until Anna Schmidt clicks Close.",
  ]);
  await desk.locator("#handled tbody tr", { hasText: "Delivered Guest" })
    .locator(".status", { hasText: "Withdrawn, still on José Müller's screen" }).waitFor({ timeout: 10000 });
  await desk.close();
});

test("reassigning keeps the waiting clock and the new host's notifier gets the guest", async () => {
  const desk = await openDesk(board);
  await announce(desk, "Anna Schmidt", "Moved Guest");
  const row = desk.locator("#waiting tbody tr", { hasText: "Moved Guest" });
  await desk.waitForFunction(() => {
    const clock = [...document.querySelectorAll("#waiting tbody tr")]
      .find((r) => r.textContent.includes("Moved Guest"))?.querySelector("td.clock");
    return clock && clock.textContent >= "00:03";
  }, null, { timeout: 10000 });
  const waited = seconds(await row.locator("td.clock").textContent());

  // From the keyboard: the button, type any part of the colleague's name, Enter picks, Enter reassigns.
  await row.locator("button", { hasText: "Reassign" }).click();
  await desk.locator("#reassign-dialog").waitFor();
  await desk.keyboard.type("schmidt");
  await desk.locator("#reassign-host-list li", { hasText: "No member of staff has that name" }).waitFor();
  await desk.fill("#reassign-host-name", "");
  await desk.keyboard.type("dubo");
  await desk.keyboard.press("ArrowDown");
  await desk.keyboard.press("Enter");
  assert.equal(await desk.inputValue("#reassign-host-name"), "Chloé Dubois");
  await desk.keyboard.press("Enter");
  await desk.locator("#announce-message", { hasText: "Moved Guest was reassigned to Chloé Dubois. The guest was not on " +
                                                     "Anna Schmidt's screen yet and will not be shown." }).waitFor();
  await row.locator("td.host", { hasText: "Chloé Dubois" }).waitFor({ timeout: 10000 });
  assert.ok(seconds(await row.locator("td.clock").textContent()) >= waited, "the waiting clock goes on");
  await desk.locator("#handled tbody tr", { hasText: "Moved Guest" }).locator(".status", { hasText: "Reassigned" })
    .waitFor({ timeout: 10000 });

  const polled = await notifierPoll(board, "Chloé Dubois");
  assert.equal(polled[0], "probe: 1 waiting, archived 0");
  assert.match(polled[1], /^probe: \d+\|Moved Guest$/);
  assert.equal((await notifierPoll(board, "Anna Schmidt"))[0], "probe: 0 waiting, archived 0");
  await desk.close();
});

test("the host is picked by typing any part of the name and Enter announces", async () => {
  const desk = await openDesk(board);
  await desk.fill("#announce-guest", "Typed Guest");
  await desk.locator("#announce-host-name").focus();
  await desk.keyboard.type("brie");
  assert.equal(await desk.getAttribute("#announce-host-name", "aria-expanded"), "true");
  await desk.keyboard.press("Enter");  // picks the one match
  assert.equal(await desk.inputValue("#announce-host-name"), "Liam O'Brien");
  await desk.keyboard.press("Enter");
  await desk.locator("#announce-message", { hasText: "Typed Guest was announced to Liam O'Brien." }).waitFor();
  await desk.close();
});

test("a staff CSV is previewed and only its good rows are added", async () => {
  const desk = await openDesk(board, undefined, "staff");
  const csv = "\uFEFFemail;last_name;first_name\r\n" +
    "ida@example.com;Weiß;Ida\r\n" +
    "a@example.com;Schmidt;Anna\r\n" +
    "\r\n" +
    "b@example.com;\"Nowak\";\"Łukasz\"\r\n" +
    "c@example.com;Weiß;Ida\r\n" +
    "d@example.com;Ng;Mai\r\n";
  await desk.setInputFiles("#import-file", { name: "staff.csv", mimeType: "text/csv", buffer: Buffer.from(csv) });
  await desk.click("#import-form button[type=submit]");
  await desk.locator("#import-preview").waitFor();
  assert.equal(await desk.locator("#import-summary").textContent(),
               "2 to add, 1 already in the directory, 2 rejected.");
  // Each line shows its contact columns and what the import does with them.
  assert.deepEqual(await desk.locator("#import-added li").allTextContents(), [
    "Line 2: Ida Weiß; contact set to email ida@example.com",
    "Line 7: Mai Ng; contact set to email d@example.com",
  ]);
  assert.deepEqual(await desk.locator("#import-rejected li").allTextContents(), [
    "Line 5: Łukasz Nowak: The first name contains \"Ł\", which notifiers using the code page WINDOWS-1252 cannot show.",
    "Line 6: Ida Weiß: The same name as line 2.",
  ]);
  await desk.click("#import-apply");
  await desk.locator("#import-summary", { hasText: "Added 2; 1 already in the directory; 2 rejected." }).waitFor();
  assert.equal(await desk.locator("#import-message").textContent(), "", "one summary line, not two");
  await desk.locator("#staff li", { hasText: "Ida Weiß" }).waitFor({ timeout: 10000 });
  await desk.locator("#staff li", { hasText: "Mai Ng" }).waitFor();
  assert.equal(await desk.locator("#staff li", { hasText: "Nowak" }).count(), 0);

  const download = desk.waitForEvent("download");
  await desk.click("#staff-export");
  const exported = readFileSync(await (await download).path()).toString("utf8");
  assert.ok(exported.startsWith("\uFEFFfirst_name,last_name,email,alert_url\r\n"), "a byte order mark, then the header");
  assert.match(exported, /\r\nIda,Weiß,ida@example.com,\r\n/);
  await desk.close();
});

test("the visitor log filters by host and exports the same rows", async () => {
  const desk = await openDesk(board);
  await announce(desk, "Liam O'Brien", "Logged Guest");
  await showPage(desk, "visitors");
  await desk.locator("#log-host option", { hasText: "Liam O'Brien" }).waitFor({ state: "attached" });
  await desk.selectOption("#log-host", "Liam O'Brien");
  await desk.click("#log-form button[type=submit]");
  const rows = desk.locator("#visitor-log tbody tr");
  // The log shown before the filter stays until the filtered answer replaces it.
  const expected = ["Typed Guest", "Logged Guest"];
  const guests = () => rows.locator("td:first-child").allTextContents();
  for (let look = 0; look < 50 && JSON.stringify(await guests()) !== JSON.stringify(expected); look++) {
    await desk.waitForTimeout(100);
  }
  assert.deepEqual(await guests(), expected);
  assert.equal(await rows.last().locator("td:nth-child(8)").textContent(), "Waiting");
  assert.equal(await desk.locator("#retention-note").textContent(),
               "Guest records are deleted 30 days after the guest's visit ended.");

  const download = desk.waitForEvent("download");
  await desk.click("#log-export");
  const lines = readFileSync(await (await download).path()).toString("utf8").trimEnd().split("\r\n");
  assert.equal(lines[0], "\uFEFFguest,note,host,arrived,delivered,acknowledged,withdrawn_or_reassigned,outcome,company,check_in_method,signed_out");
  assert.deepEqual(lines.slice(1).map((line) => line.split(",")[0]), ["Typed Guest", "Logged Guest"]);
  assert.ok(lines.slice(1).every((line) => line.split(",")[2] === "Liam O'Brien"));

  // A range before today holds none of them.
  await desk.fill("#log-from", "2020-01-01");
  await desk.fill("#log-to", "2020-01-31");
  await desk.click("#log-form button[type=submit]");
  await desk.locator("#log-message", { hasText: "No guests in this range." }).waitFor();
  await desk.close();
});

test("retention deletes finished guests older than the period at start-up", async () => {
  const service = await startService(["--retention-days", "30"]);
  const desk = await openDesk(service);
  await announce(desk, "José Müller", "Old Guest");
  await announce(desk, "José Müller", "Recent Guest");
  for (const guest of ["Old Guest", "Recent Guest"]) {
    await desk.locator("#waiting tbody tr", { hasText: guest }).locator("button", { hasText: "Withdraw" }).click();
    await desk.locator("#waiting tbody tr", { hasText: guest }).waitFor({ state: "detached", timeout: 10000 });
  }
  await desk.close();
  await stopService(service);
  // The old guest's visit moves 31 days back, the recent one's 29.
  const day = 86400000;
  execFileSync("sqlite3", [path.join(service.directory, "reception.db"),
    `UPDATE notification SET arrived_at = arrived_at - ${31 * day}, archived_at = archived_at - ${31 * day}
       WHERE headline = 'Old Guest';
     UPDATE notification SET arrived_at = arrived_at - ${29 * day}, archived_at = archived_at - ${29 * day}
       WHERE headline = 'Recent Guest';`]);

  const restarted = await startService(["--retention-days", "30"], service.directory, service.address);
  assert.match(restarted.output, /retention of 30 days: deleted 1 guest record and /);
  const after = await openDesk(restarted, undefined, "visitors");
  const start = new Date(Date.now() - 60 * day);
  await after.fill("#log-from", start.toISOString().slice(0, 10));
  await after.click("#log-form button[type=submit]");
  await after.locator("#visitor-log tbody tr").first().waitFor();
  assert.deepEqual(await after.locator("#visitor-log tbody tr td:first-child").allTextContents(), ["Recent Guest"]);
  await after.close();
});
