// Keeps the roll call's page so that it opens while the service is down: each
// of its files is fetched from the service as long as it answers (so a new
// version arrives at once) and taken from this browser's copy when not. The
// list and the ticks themselves stay in the page's own storage (roll-call.js).
"use strict";

const cacheName = "vestibra-roll-call-1";
const pageFiles = ["./", "roll-call.css", "roll-call.js", "../common.js"].map((file) => new URL(file, self.location).href);
// A service that hangs rather than refuses must not keep the page from opening.
const answerWithinMs = 4000;

self.addEventListener("install", (event) => {
  event.waitUntil(caches.open(cacheName).then((cache) => cache.addAll(pageFiles)).then(() => self.skipWaiting()));
});

self.addEventListener("activate", (event) => {
  event.waitUntil(caches.keys()
    .then((names) => Promise.all(names.filter((name) => name !== cacheName).map((name) => caches.delete(name))))
    .then(() => self.clients.claim()));
});

async function fromServiceOrCopy(request, key) {
  const cache = await caches.open(cacheName);
  const timeout = new AbortController();
  const timer = setTimeout(() => timeout.abort(), answerWithinMs);
  try {
    const response = await fetch(request, { signal: timeout.signal });
    if (response.ok) await cache.put(key, response.clone());
    return response;
  } catch (error) {
    const copy = await cache.match(key);
    return copy || Response.error();
  } finally {
    clearTimeout(timer);
  }
}

self.addEventListener("fetch", (event) => {
  if (event.request.method !== "GET") return;
  const url = new URL(event.request.url);
  url.search = "";
  url.hash = "";
  const key = url.href.endsWith("/roll-call/index.html") ? pageFiles[0] : url.href;
  // Everything else, the list's requests included, goes to the service as usual.
  if (!pageFiles.includes(key)) return;
  event.respondWith(fromServiceOrCopy(event.request, key));
});
