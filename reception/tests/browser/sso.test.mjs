// Single sign-on end to end: a real OpenID provider on loopback
// (oidc_provider.mjs), the real service, and headless Chromium signing in to
// the desk with the role from the provider's groups. Callbacks that must be
// refused (a wrong state, a code used again) make no session, a flood of
// started sign-ins spoils no other browser's; after the provider rotates
// its key the next sign-in works without a restart.
import { after, before, test } from "node:test";
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import { mkdtempSync, rmSync, writeFileSync } from "node:fs";
import net from "node:net";
import { tmpdir } from "node:os";
import path from "node:path";
import { chromium } from "playwright-core";
import { newSigningKey, startProvider } from "./oidc_provider.mjs";

const serviceExe = process.env.RECEPTION_EXECUTABLE;
const browserExe = process.env.CHROMIUM || "/usr/bin/chromium";
const clientSecret = "client-secret-for-the-test";

let directory;
let service;
let serviceLog = "";
let address;
let providerPort;
let provider;
let browser;

const part = () => 1 + Math.floor(Math.random() * 250);

// A free port from 20000-32000 on 127.0.0.1, outside the ephemeral range.
async function freePort() {
  for (let attempt = 0; attempt < 20; ++attempt) {
    const port = 20000 + Math.floor(Math.random() * 12000);
    const free = await new Promise((resolve) => {
      const probe = net.createServer().once("error", () => resolve(false));
      probe.listen(port, "127.0.0.1", () => probe.close(() => resolve(true)));
    });
    if (free) return port;
  }
  throw new Error("no free port");
}

function startService(candidate) {
  return new Promise((resolve, reject) => {
    const child = spawn(serviceExe, [
      "--listen", `${candidate}:80`, "--database", "reception.db", "--public-url", `http://${candidate}/`,
      "--oidc-issuer", `http://127.0.0.1:${providerPort}`, "--oidc-client-id", "vestibra",
      "--oidc-client-secret-file", "client-secret", "--oidc-admin-group", "vestibra-admins",
      "--oidc-desk-group", "vestibra-desk", "--oidc-display-name", "Test Office ID",
    ], { cwd: directory, stdio: ["ignore", "pipe", "pipe"] });
    const timer = setTimeout(() => { child.kill("SIGKILL"); reject(new Error("no start in 20 s")); }, 20000);
    const collect = (chunk) => {
      serviceLog += chunk;
      if (serviceLog.includes("listening on")) { clearTimeout(timer); resolve(child); }
    };
    child.stdout.on("data", collect);
    child.stderr.on("data", collect);
    child.on("exit", () => { clearTimeout(timer); reject(new Error(serviceLog)); });
  });
}

async function waitFor(check, what) {
  for (let attempt = 0; attempt < 100; ++attempt) {
    if (await check()) return;
    await new Promise((resolve) => setTimeout(resolve, 200));
  }
  throw new Error(`timed out waiting for ${what}`);
}

async function newContext() {
  const context = await browser.newContext();
  // Nothing but loopback: the provider's dev pages link a web font.
  await context.route(/^https?:\/\/(?!127\.)/, (route) => route.abort());
  return context;
}

// Signs in through the provider's login form; resolves with the page and the callback's URL.
async function signIn(context, user) {
  const page = await context.newPage();
  let callback;
  page.on("request", (request) => { if (request.url().includes("/sso/callback")) callback = request.url(); });
  await page.goto(`http://${address}/`);
  await page.locator("#sso-sign-in", { hasText: "Sign in with Test Office ID" }).click();
  await page.fill("input[name=login]", user);
  await page.fill("input[name=password]", "pw");
  await page.click("button[type=submit]");
  await page.waitForURL((url) => url.host === address);
  return { page, callback };
}

async function deskSession(context) {
  const response = await context.request.get(`http://${address}/api/desk/session`);
  return response.status() === 200 ? response.json() : response.status();
}

before(async () => {
  directory = mkdtempSync(path.join(tmpdir(), "vestibra-sso-"));
  writeFileSync(path.join(directory, "client-secret"), `${clientSecret}\n`);
  providerPort = await freePort();
  // The provider is down when the service starts: it starts anyway, says so, and retries.
  for (let attempt = 0; !service && attempt < 5; ++attempt) {
    address = `127.${part()}.${part()}.${part()}`;
    try { service = await startService(address); } catch (error) { if (attempt === 4) throw error; }
  }
  await waitFor(() => serviceLog.includes("cannot be reached"), "the log of the provider being down");
  browser = await chromium.launch({ executablePath: browserExe, args: ["--no-sandbox"] });
  const redirectUri = `http://${address}/sso/callback`;
  provider = await startProvider({ port: providerPort, redirectUri, clientSecret, key: newSigningKey("key-1") });
});

after(async () => {
  await browser?.close();
  service?.kill("SIGTERM");
  await provider?.close();
  if (directory) rmSync(directory, { recursive: true, force: true });
});

test("the desk signs in through the provider with the role from the groups", async () => {
  // A sign-in while the provider was away starts another discovery.
  await waitFor(async () => {
    const response = await fetch(`http://${address}/sso/desk`, { redirect: "manual" });
    return response.status === 302;
  }, "discovery after the provider came up");
  const admin = await newContext();
  const { page } = await signIn(admin, "alice");
  await page.locator("#account-name", { hasText: "alice (admin)" }).waitFor();
  const desk = await newContext();
  await signIn(desk, "bob");
  assert.deepEqual(await deskSession(desk), { name: "bob", role: "desk" });
  const outsider = await newContext();
  const refused = await signIn(outsider, "carol");
  assert.match(await refused.page.locator("h1").textContent(), /Not allowed at the front desk/);
  assert.equal(await deskSession(outsider), 401);
  // A local account's name is never taken over by a sign-in of that name.
  const local = await admin.request.post(`http://${address}/api/desk/accounts`, {
    headers: { "Content-Type": "application/json", Origin: `http://${address}` },
    data: { name: "dave", role: "admin", password: "local-password-1" } });
  assert.equal(local.status(), 201);
  const namesake = await newContext();
  const taken = await signIn(namesake, "dave");
  assert.match(await taken.page.locator("h1").textContent(), /Name already taken/);
  assert.equal(await deskSession(namesake), 401);
  // Audited like any login, and recorded as single sign-on.
  const audit = await (await admin.request.get(`http://${address}/api/desk/audit`)).json();
  const entries = audit.entries.map((entry) => `${entry.account} ${entry.action} ${entry.detail}`);
  assert.ok(entries.includes("bob login single sign-on as desk"), entries.join("\n"));
  assert.ok(entries.some((entry) => entry.startsWith("carol login-failed")), entries.join("\n"));
  await Promise.all([admin.close(), desk.close(), outsider.close(), namesake.close()]);
});

test("a wrong state and a code used again make no session", async () => {
  const first = await newContext();
  const { callback } = await signIn(first, "bob");
  assert.ok(callback);
  const code = new URL(callback).searchParams.get("code");
  const attacker = await newContext();
  // The same callback again: its sign-in was used up.
  let answer = await attacker.request.get(callback, { maxRedirects: 0 });
  assert.equal(answer.status(), 400);
  // A sign-in of its own, answered with another state.
  const start = await attacker.request.get(`http://${address}/sso/desk`, { maxRedirects: 0 });
  assert.equal(start.status(), 302);
  answer = await attacker.request.get(`http://${address}/sso/callback?code=${code}&state=not-this-one`, { maxRedirects: 0 });
  assert.equal(answer.status(), 400);
  // The right state (of a new sign-in), but the code the provider already exchanged.
  const again = await attacker.request.get(`http://${address}/sso/desk`, { maxRedirects: 0 });
  const state = new URL(again.headers().location).searchParams.get("state");
  answer = await attacker.request.get(`http://${address}/sso/callback?code=${code}&state=${state}`, { maxRedirects: 0 });
  assert.equal(answer.status(), 502);
  assert.equal(await deskSession(attacker), 401);
  await Promise.all([first.close(), attacker.close()]);
});

test("a flood of sign-in starts from one client leaves another browser's sign-in working", async () => {
  const context = await newContext();
  const page = await context.newPage();
  await page.goto(`http://${address}/sso/desk`);
  await page.locator("input[name=login]").waitFor();
  // More starts than any table of sign-ins under way could hold, a few at a time.
  let next = 0;
  const starts = 20500;
  const flood = async () => {
    while (next < starts) {
      ++next;
      const response = await fetch(`http://${address}/sso/desk`, { redirect: "manual" });
      assert.equal(response.status, 302);
      await response.arrayBuffer();
    }
  };
  await Promise.all(Array.from({ length: 8 }, flood));
  await page.fill("input[name=login]", "bob");
  await page.fill("input[name=password]", "pw");
  await page.click("button[type=submit]");
  await page.waitForURL((url) => url.host === address);
  assert.deepEqual(await deskSession(context), { name: "bob", role: "desk" });
  await context.close();
});

test("a host signs in to their own page by the email the provider vouches for", async () => {
  const admin = await newContext();
  await signIn(admin, "alice");
  const added = await admin.request.post(`http://${address}/api/desk/staff`, {
    headers: { "Content-Type": "application/json", Origin: `http://${address}` },
    data: { firstName: "Bob", lastName: "Baker", email: "BOB@example.test" } });
  assert.equal(added.status(), 201);
  const host = await newContext();
  const page = await host.newPage();
  await page.goto(`http://${address}/me/`);
  await page.locator("#sso-sign-in", { hasText: "Sign in with Test Office ID" }).click();
  await page.fill("input[name=login]", "bob");
  await page.fill("input[name=password]", "pw");
  await page.click("button[type=submit]");
  await page.locator("#who-name", { hasText: "Bob Baker" }).waitFor();
  // The host's session is for the host's page only.
  assert.equal(await deskSession(host), 403);
  // Nobody on the staff has carol's email: no page, no session.
  const stranger = await newContext();
  const refused = await stranger.newPage();
  await refused.goto(`http://${address}/sso/me`);
  await refused.fill("input[name=login]", "carol");
  await refused.fill("input[name=password]", "pw");
  await refused.click("button[type=submit]");
  await refused.locator("#sso-message", { hasText: "carol@example.test" }).waitFor();
  // In the desk's look: its stylesheet is loaded and the message sits in a panel.
  assert.equal(await refused.locator(".panel #sso-message").count(), 1);
  assert.notEqual(await refused.locator(".panel").evaluate((panel) => getComputedStyle(panel).borderTopStyle), "none");
  assert.equal((await stranger.request.get(`http://${address}/api/me/session`)).status(), 401);
  await Promise.all([admin.close(), host.close(), stranger.close()]);
});

test("after the provider rotates its key the next sign-in works without a restart", async () => {
  await provider.close();
  const redirectUri = `http://${address}/sso/callback`;
  provider = await startProvider({ port: providerPort, redirectUri, clientSecret, key: newSigningKey("key-2") });
  const context = await newContext();
  const { page } = await signIn(context, "alice");
  await page.locator("#account-name", { hasText: "alice (admin)" }).waitFor();
  // Local passwords keep working beside it (none is set here: a wrong one is refused as usual).
  const local = await context.request.post(`http://${address}/api/desk/login`, {
    headers: { "Content-Type": "application/json" }, data: { name: "alice", password: "not-the-password" } });
  assert.equal(local.status(), 401);
  await context.close();
});
