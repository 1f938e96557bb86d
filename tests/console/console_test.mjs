// The guard server's console in Debian's chromium, against a running agent:
//   node console_test.mjs <console address with token> <folder for screenshots> <process to stop>
// Prints one line a check; exits non-zero at the first failure.
import { chromium, request } from "playwright-core";

const [address, outDir, processName] = process.argv.slice(2);
const base = address.replace(/\/\?token=.*$/, "");
const log = (m) => console.log(`[console] ${m}`);

function check(ok, what) {
  if (!ok) throw new Error(what);
  log("ok: " + what);
}

const browser = await chromium.launch({
  executablePath: "/usr/bin/chromium",
  args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
         "--disable-component-update", "--disable-sync"],
});
try {
  // Without the token nothing is served, neither the data nor the page.
  const stranger = await request.newContext();
  check((await stranger.get(base + "/api/stations")).status() === 403, "a request without the token is refused");
  check((await stranger.get(base + "/")).status() === 403, "the page without the token is refused");
  check((await stranger.post(base + "/api/stations/x/lock", { data: { lock_status: "locked" } })).status() === 403,
        "a change without the token is refused");
  await stranger.dispose();

  const page = await browser.newPage({ viewport: { width: 1280, height: 760 } });
  page.on("dialog", (d) => d.accept());
  await page.goto(address);

  // The station within one heartbeat, with its user and lock state.
  const row = page.locator("#stations tbody tr").first();
  await row.waitFor({ timeout: 60000 });
  const station = await row.getAttribute("data-station");
  await page.waitForFunction(() => {
    const r = document.querySelector("#stations tbody tr");
    return r && r.querySelector(".version").textContent !== "—";
  }, null, { timeout: 60000 });
  const user = await row.locator(".users").textContent();
  const lock = await row.locator(".lock").textContent();
  check(user === "nobody logged on" && lock === "unlocked", `station ${station} listed: user "${user}", lock "${lock}"`);
  await page.screenshot({ path: `${outDir}/console-list.png` });

  await row.locator(".name a").click();
  await page.locator("#station-view").waitFor();

  // A screenshot of the size asked for.
  await page.fill("#shot-width", "320");
  await page.fill("#shot-height", "240");
  await page.click("#shot-button");
  await page.locator("#shot-image").waitFor({ state: "visible", timeout: 60000 });
  await page.waitForFunction(() => { const i = document.querySelector("#shot-image"); return i.complete && i.naturalWidth > 0; },
                             null, { timeout: 10000 });
  const size = await page.$eval("#shot-image", (i) => [i.naturalWidth, i.naturalHeight]);
  check(size[0] === 320 && size[1] === 240, `the screenshot is ${size[0]}x${size[1]}`);

  // A message to the user.
  await page.fill("#message-text", "The lab closes at eight (from the console).");
  await page.click("#message-button");
  await page.waitForFunction(() => {
    const li = document.querySelector("#history li");
    return li && li.textContent.includes("show_message") && li.querySelector(".ok");
  }, null, { timeout: 60000 });
  check(true, "the message was accepted by the agent");

  // A lock comes back as "locked" with a later heartbeat.
  await page.click("#lock-locked");
  await page.waitForFunction(() => document.querySelector("#station-lock").textContent === "locked", null,
                             { timeout: 90000 });
  check(true, "the page shows the station locked");

  // The process list, and a process stopped from it.
  await page.click("#processes-button");
  const target = page.locator("#processes tbody tr", { hasText: new RegExp(processName, "i") }).first();
  await target.waitFor({ timeout: 60000 });
  const pid = await target.getAttribute("data-pid");
  await target.locator("button.stop").click();
  await page.waitForFunction((p) => document.querySelector("#processes tbody tr") &&
                             !document.querySelector(`#processes tbody tr[data-pid="${p}"]`), pid, { timeout: 60000 });
  check(true, `${processName} (${pid}) stopped and gone from the list`);

  // The inventory report and the log archive.
  await page.click("#inventory-button");
  await page.waitForFunction(() => !/Not fetched/.test(document.querySelector("#inventory").textContent), null,
                             { timeout: 60000 });
  check((await page.textContent("#inventory")).length > 40, "the inventory report is shown");
  await page.click("#logs-button");
  await page.locator("#logs-link").waitFor({ state: "visible", timeout: 60000 });
  const [download] = await Promise.all([page.waitForEvent("download"), page.click("#logs-link")]);
  const zip = await download.path();
  const { readFileSync } = await import("node:fs");
  check(readFileSync(zip).subarray(0, 2).toString() === "PK", "the log archive downloads as a ZIP");

  await page.click("#lock-unlocked");
  await page.waitForFunction(() => document.querySelector("#station-lock").textContent === "unlocked", null,
                             { timeout: 90000 });
  await page.screenshot({ path: `${outDir}/console-station.png`, fullPage: true });
  log("PASS " + station);
} finally {
  await browser.close();
}
