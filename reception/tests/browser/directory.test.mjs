// The desk's directory panel in headless Chromium: Preview sync and Sync now
// against a real vestibra-reception reading a slapd of the test's own.
// Run through CTest, which sets RECEPTION_EXECUTABLE.
import { after, before, test } from "node:test";
import assert from "node:assert/strict";
import { execFileSync, spawn } from "node:child_process";
import { copyFileSync, mkdirSync, mkdtempSync, rmSync, writeFileSync } from "node:fs";
import { createConnection } from "node:net";
import { tmpdir } from "node:os";
import path from "node:path";
import { chromium } from "playwright-core";

const serviceExe = process.env.RECEPTION_EXECUTABLE;
const browserExe = process.env.CHROMIUM || "/usr/bin/chromium";
const suffix = "dc=example,dc=org";

let directory;
let slapd;
let ldapPort;
let service;
let deskUrl;
let adminPassword;
let browser;

const sleep = (ms) => new Promise((resolve) => { setTimeout(resolve, ms); });

function accepts(port) {
  return new Promise((resolve) => {
    const socket = createConnection({ host: "127.0.0.1", port }, () => { socket.end(); resolve(true); });
    socket.on("error", () => resolve(false));
  });
}

// slapd in the foreground on a port from 20000-32000; null when it exits first (the port was taken).
async function startSlapd(port) {
  const child = spawn("/usr/sbin/slapd", ["-f", "slapd.conf", "-h", `ldap://127.0.0.1:${port}/`, "-d", "0"],
                      { cwd: directory, stdio: "ignore" });
  let exited = false;
  child.on("exit", () => { exited = true; });
  for (let waited = 0; waited < 200 && !exited; waited += 1) {  // at most 10 s
    if (await accepts(port)) return child;
    await sleep(50);
  }
  if (!exited) child.kill("SIGKILL");
  return null;
}

function writeSlapdConfiguration() {
  const at = `${directory}/`;
  for (const schema of ["core", "cosine", "inetorgperson"]) copyFileSync(`/etc/ldap/schema/${schema}.schema`, `${at}${schema}.schema`);
  mkdirSync(`${at}db`);
  writeFileSync(`${at}slapd.conf`, [
    `include ${at}core.schema`, `include ${at}cosine.schema`, `include ${at}inetorgperson.schema`,
    `pidfile ${at}slapd.pid`, `argsfile ${at}slapd.args`, "modulepath /usr/lib/ldap", "moduleload back_mdb",
    "database mdb", "maxsize 268435456", `suffix "${suffix}"`, `rootdn "cn=admin,${suffix}"`, "rootpw secret",
    `directory ${at}db`, "dbnosync", ""].join("\n"));
}

function person(uid, givenName, sn) {
  return `dn: uid=${uid},${suffix}\nobjectClass: inetOrgPerson\nuid: ${uid}\ncn: ${givenName} ${sn}\n` +
         `givenName: ${givenName}\nsn: ${sn}\n`;
}

function startService() {
  return new Promise((resolve, reject) => {
    const child = spawn(serviceExe, ["--listen", "127.0.0.1:0", "--database", "reception.db", "--demo",
                                     "--ldap-url", `ldap://127.0.0.1:${ldapPort}`, "--ldap-tls", "none", "--ldap-base", suffix],
                        { cwd: directory, stdio: ["ignore", "pipe", "pipe"] });
    let output = "";
    const timer = setTimeout(() => { child.kill("SIGKILL"); reject(new Error("no start in 20 s")); }, 20000);
    const collect = (chunk) => {
      output += chunk;
      const listening = output.match(/listening on (http:\/\/127\.0\.0\.1:\d+\/)/);
      if (listening) {
        clearTimeout(timer);
        deskUrl = listening[1];
        adminPassword = output.match(/desk login: reception \/ (\S+)/)[1];
        resolve(child);
      }
    };
    child.stdout.on("data", collect);
    child.stderr.on("data", collect);
    child.on("exit", () => { clearTimeout(timer); reject(new Error(output)); });
  });
}

async function stop(child) {
  if (!child || child.exitCode !== null) return;
  const exited = new Promise((resolve) => child.once("exit", resolve));
  child.kill("SIGTERM");
  await exited;
}

before(async () => {
  assert.ok(serviceExe, "RECEPTION_EXECUTABLE must be set");
  directory = mkdtempSync(path.join(tmpdir(), "vestibra-directory-"));
  writeSlapdConfiguration();
  for (let attempt = 0; attempt < 10 && !slapd; attempt += 1) {
    ldapPort = 20000 + Math.floor(Math.random() * 12000);
    slapd = await startSlapd(ldapPort);
  }
  assert.ok(slapd, "slapd did not start on any of 10 ports");
  const ldif = [`dn: ${suffix}\nobjectClass: dcObject\nobjectClass: organization\no: Example\ndc: example\n`,
                person("p1", "Ann", "Lee"), person("p2", "Bob", "Ray"), person("p3", "Cy", "Fox,Jr")].join("\n");
  writeFileSync(path.join(directory, "people.ldif"), ldif);
  execFileSync("ldapadd", ["-x", "-H", `ldap://127.0.0.1:${ldapPort}`, "-D", `cn=admin,${suffix}`, "-w", "secret",
                           "-f", "people.ldif"], { cwd: directory, stdio: "ignore", timeout: 20000 });
  service = await startService();
  browser = await chromium.launch({ executablePath: browserExe, args: ["--no-sandbox"] });
});

after(async () => {
  await browser?.close();
  await stop(service);
  await stop(slapd);
  if (directory) rmSync(directory, { recursive: true, force: true });
});

test("the admin previews a directory sync, then syncs, and the staff list follows", async () => {
  const page = await browser.newPage();
  await page.goto(`${deskUrl}#administration`);
  await page.fill("#login-name", "reception");
  await page.fill("#login-password", adminPassword);
  await page.click("#login-form button[type=submit]");
  await page.locator("#directory-status", { hasText: "only on request" }).waitFor();
  assert.equal(await page.locator("#directory-last").textContent(), "Last sync: none yet");

  await page.click("#directory-preview");
  await page.locator("#directory-changes-summary", { hasText: "A sync now would make" }).waitFor();
  assert.deepEqual(await page.locator("#directory-added li").allTextContents(), ["Ann Lee", "Bob Ray"]);
  assert.match(await page.locator("#directory-rejected li").textContent(), /^uid=p3,dc=example,dc=org: The last name/);
  assert.equal(await page.locator("#staff li", { hasText: "Ann Lee" }).count(), 0, "a preview changes nothing");

  await page.click("#directory-sync");
  await page.locator("#directory-last", { hasText: "synced: added 2, updated 0, deactivated 0, unchanged 0, rejected 1" }).waitFor();
  assert.equal(await page.locator("#directory-message").textContent(), "", "the request's note goes with its result");
  await page.locator("#staff li", { hasText: "Ann Lee" }).waitFor({ state: "attached" });
  // The announce form's host picker offers the new member.
  await page.click('#pages a[data-page="board"]');
  await page.fill("#announce-host-name", "Bob R");
  await page.locator("#announce-host-list li[role=option]", { hasText: "Bob Ray" }).first().waitFor();
  assert.equal(await page.locator("#directory-force").isHidden(), true);
});
