// The on-site list and the roll call with 2,000 visits on site, rendered in
// headless Chromium: the time from asking for the page (or, on the desk, from
// the panel's request) until every row is in the page, the median of 5 runs.
// Usage: RECEPTION_EXECUTABLE=build/release/reception/vestibra-reception node bench/visits_render.mjs
// (playwright-core from reception/tests/browser: scripts/install-deps browser).
import { spawn } from "node:child_process";
import { createRequire } from "node:module";
import { mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";

const here = path.dirname(fileURLToPath(import.meta.url));
const require = createRequire(path.join(here, "../reception/tests/browser/package.json"));
const { chromium } = require("playwright-core");
const serviceExe = process.env.RECEPTION_EXECUTABLE;
const visits = 2000;
const runs = 5;

function startService(directory) {
  return new Promise((resolve, reject) => {
    const address = "127.86.66.7";
    const child = spawn(serviceExe, ["--listen", `${address}:80`, "--database", "reception.db", "--demo",
                                     "--desk-writes-per-second", "1000", "--max-waiting-per-host", "10000"],
                        { cwd: directory, stdio: ["ignore", "pipe", "pipe"] });
    let output = "";
    const timer = setTimeout(() => { child.kill("SIGKILL"); reject(new Error("no start in 20 s")); }, 20000);
    const collect = (chunk) => {
      output += chunk;
      if (output.includes("listening on")) { clearTimeout(timer); resolve({ child, output, origin: `http://${address}` }); }
    };
    child.stdout.on("data", collect);
    child.stderr.on("data", collect);
    child.on("exit", () => { clearTimeout(timer); reject(new Error(output)); });
  });
}

const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];

const directory = mkdtempSync(path.join(tmpdir(), "vestibra-visits-bench-"));
const service = await startService(directory);
const browser = await chromium.launch({ executablePath: process.env.CHROMIUM || "/usr/bin/chromium", args: ["--no-sandbox"] });
try {
  const page = await browser.newPage();
  await page.goto(`${service.origin}/`);
  await page.fill("#login-name", "reception");
  await page.fill("#login-password", service.output.match(/desk login: reception \/ (\S+)/)[1]);
  await page.click("#login-form button[type=submit]");
  await page.locator("#account-name", { hasText: "reception" }).waitFor();
  await page.evaluate(async (count) => {
    const post = (target, body) => fetch(target, { method: "POST", headers: { "Content-Type": "application/json" },
                                                   body: JSON.stringify(body) }).then((r) => r.json());
    const host = await post("api/desk/staff", { name: "Bench Host" });
    for (let i = 0; i < count; i += 50) {
      // Each guest met by the host (withdrawn at the desk), as most on site are: the board stays small.
      await Promise.all(Array.from({ length: Math.min(50, count - i) }, async (_, j) => {
        const guest = await post("api/desk/notifications", { staffId: host.id, guestName: `Guest ${i + j}`, company: "Bench Ltd", note: "" });
        await post(`api/desk/notifications/${guest.id}/archive`, {});
      }));
    }
  }, visits);

  const rollCall = [];
  const onSite = [];
  for (let run = 0; run < runs; run += 1) {
    const started = Date.now();
    await page.goto(`${service.origin}/roll-call/`);
    await page.waitForFunction((count) => document.querySelectorAll("#people tbody tr").length === count, visits,
                               { polling: "raf", timeout: 20000 });
    rollCall.push(Date.now() - started);
    const deskStarted = Date.now();
    await page.goto(`${service.origin}/`);
    await page.waitForFunction((count) => document.querySelectorAll("#on-site tbody tr").length === count, visits,
                               { polling: "raf", timeout: 20000 });
    onSite.push(Date.now() - deskStarted);
  }
  const row = (figure, ms) => `| visits | ${figure} | ${ms} ms | ≤ 1 s | ${ms <= 1000 ? "yes" : "no"} |`;
  console.log(row(`roll call page, ${visits} on site, load to every row rendered`, median(rollCall)));
  console.log(row(`desk page's On site panel, ${visits} on site, load to every row rendered`, median(onSite)));
} finally {
  await browser.close();
  service.child.kill("SIGTERM");
  rmSync(directory, { recursive: true, force: true });
}
