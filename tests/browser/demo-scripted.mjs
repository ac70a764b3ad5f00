// The demo page, served over https, in Chromium or Firefox against a scripted daemon: the fingerprint flows
// (enrolment progress, a capture that does not count, cancel, login once and
// by polling, finger deletion) with every pushed message under the test's
// control. The real daemon and virtual key are in demo-e2e.mjs.
//
// node demo-scripted.mjs --engine chromium|firefox --artifacts DIR
// Exit: 0, 1, or 77 (skipped).
import { mkdirSync, mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { startFakeDaemon, reply } from "./unit/fakeserver.mjs";
import { serveWeb, makeCert } from "./lib/serve.mjs";
import { engineArg } from "./lib/browser.mjs";

const argv = process.argv.slice(2);
const artifacts = argv[argv.indexOf("--artifacts") + 1] || join(process.cwd(), "browser-artifacts");
const engine = engineArg(argv);
const log = (m) => console.log(`[demo-scripted ${engine}] ${m}`);

// The daemon's side of the story: every delayed answer waits for touch().
function scriptedDaemon() {
  const st = { users: [], waiting: null, loginWaiting: null, polls: 0, matched: false, touches: [] };
  const ack = (conn, fn, result, reterr = 0) => conn.send({ function: fn, result, reterr });
  st.handler = (conn, req) => {
    const p = req.params;
    switch (req.function) {
      case "GetVersion": return conn.send(reply(req, "1.0.1.32 MEBO"));
      case "GetUserList": return conn.send(reply(req, [st.users.length, st.users.map((u) => u.name)]));
      case "GetFingerUsed": {
        const u = st.users.find((x) => x.name === p[0]);
        return conn.send(u ? reply(req, [p[0], u.fingers]) : reply(req, "user is NOT existed", 2));
      }
      case "GetFingerUnused": {
        const u = st.users.find((x) => x.name === p[0]);
        const free = [1, 2, 3, 4, 5, 6, 7, 8, 9, 10].filter((i) => !u?.fingers.includes(i));
        return conn.send(reply(req, [p[0], free]));
      }
      case "RegisterUser":
        if (st.users.some((u) => u.name === p[0])) return conn.send(reply(req, "user is existed", 1));
        st.enrol = { user: p[0], finger: p[1], name: p[2], remaining: 6 };
        return conn.send(reply(req, [6]));
      case "WaitEnroll": st.waiting = conn; return undefined;
      case "CancelEnroll":
        conn.send(reply(req, "user canceled", 5));
        if (st.waiting && st.enrol) ack(st.waiting, "ackEnroll", "user canceled", 5);
        st.enrol = null;
        return undefined;
      case "LoginFinger": st.loginWaiting = conn; return undefined;
      case "startVerify": st.polls = 0; st.matched = false; return conn.send(reply(req, null));
      case "LoopVerify":
        st.polls++;
        return conn.send(st.matched ? reply(req, null) : reply(req, "not find this err", -63));
      case "CancelVerify": return conn.send(reply(req, "user canceled", 5));
      case "FingerSign": return conn.send(reply(req, "3044" + "0220" + "11".repeat(32) + "0220" + "22".repeat(32)));
      case "DeleteFinger": {
        const u = st.users.find((x) => x.name === p[0]);
        u.fingers = u.fingers.filter((f) => !p[1].includes(f));
        return conn.send(reply(req, [p[0], p[1].flatMap((i) => [i, `${p[0]}_${i}_1`, "right-thumb"])]));
      }
      default: return conn.send(reply(req, "not find this function", 164));
    }
  };
  // One finger on the sensor: the next capture of an enrolment, or a login.
  st.touch = (finger) => {
    st.touches.push(finger);
    if (st.enrol && st.waiting) {
      const e = st.enrol;
      if (finger !== "alice-thumb") return ack(st.waiting, "ackEnroll", [0xe109, e.remaining]);
      e.remaining--;
      if (e.remaining > 0) return ack(st.waiting, "ackEnroll", [0, e.remaining]);
      st.users.push({ name: e.user, fingers: [e.finger] });
      st.enrol = null;
      return ack(st.waiting, "ackEnroll", [0, 0, e.finger, `${e.user}_${e.finger}_1`, e.name, "04" + "AB".repeat(64), "3044" + "CD".repeat(68)]);
    }
    if (st.loginWaiting) {
      const c = st.loginWaiting;
      st.loginWaiting = null;
      return ack(c, "ackVerify", [0, "alice", 1, "alice_1_1", "right-thumb"]);
    }
    st.matched = true;
    return undefined;
  };
  return st;
}

async function main() {
  const { launch, missing } = await import("./lib/browser.mjs");
  const why = await missing(engine);
  if (why) {
    log(`SKIPPED: ${why}`);
    return 77;
  }
  mkdirSync(artifacts, { recursive: true });
  const st = scriptedDaemon();
  let daemon = await startFakeDaemon((c, r) => st.handler(c, r));
  // The page comes from an https origin and still reaches ws://127.0.0.1.
  const certDir = mkdtempSync(join(tmpdir(), "fpkeyd-cert-"));
  const web = await serveWeb(makeCert(certDir));
  rmSync(certDir, { recursive: true, force: true });
  const b = await launch({ engine, insecureCerts: true });
  const page = b.page;
  const errors = [];
  // Firefox reports each reconnect attempt that finds no daemon as a page
  // error; the test stops the daemon on purpose, and checks the reconnect.
  page.on("pageerror", (e) => {
    if (!/establish a connection to the server at ws:/.test(e.message)) errors.push(e.message);
  });
  const text = (sel) => page.$eval(sel, (el) => el.textContent);
  const progress = () => page.$eval("#enrol-progress", (el) => ({
    now: Number(el.getAttribute("aria-valuenow")), max: Number(el.getAttribute("aria-valuemax")),
    done: el.classList.contains("done"), failed: el.classList.contains("failed"),
    width: document.getElementById("enrol-bar").style.width,
  }));
  const until = async (fn, what) => {
    const end = Date.now() + 10000;
    for (;;) {
      const v = await fn();
      if (v) return v;
      if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
      await new Promise((r) => setTimeout(r, 30));
    }
  };
  const shot = (name) => page.screenshot({ path: join(artifacts, `scripted-${engine}-${name}.png`), fullPage: true });
  const fail = (m) => { throw new Error(m); };

  try {
    await page.goto(`${web.origin}/demo/index.html?port=${daemon.port}`);
    await page.waitForSelector("#conn-state[data-state=on]");

    // Enrolment: a cancel first, then a full one with a capture that does not count.
    await page.click("#btn-register");
    await until(() => st.waiting && st.enrol, "RegisterUser and WaitEnroll");
    st.touch("alice-thumb");
    await until(async () => (await progress()).now === 1, "first capture");
    await page.click("#btn-cancel-enrol");
    await until(async () => (await progress()).failed, "the cancel to show");
    if (!/user canceled \(reterr 5\)/.test(await text("#enrol-status"))) fail(`cancel: ${await text("#enrol-status")}`);

    await page.click("#btn-register");
    await until(() => st.waiting && st.enrol, "a new enrolment");
    if ((await progress()).failed || (await progress()).now !== 0) fail("a new enrolment starts from an empty bar");
    for (let i = 1; i <= 3; i++) {
      st.touch("alice-thumb");
      await until(async () => (await progress()).now === i, `capture ${i}`);
    }
    st.touch("bob-index");
    await until(async () => /did not count/.test(await text("#enrol-status")), "the complaint");
    if ((await progress()).now !== 3) fail("a capture that does not count moved the bar");
    await shot("enrolment-in-progress");
    for (let i = 4; i <= 6; i++) st.touch("alice-thumb");
    await until(async () => (await progress()).done, "the end of the enrolment");
    const bar = await progress();
    if (bar.now !== 6 || bar.max !== 6 || bar.width !== "100%") fail(`bar at the end: ${JSON.stringify(bar)}`);
    const rec = JSON.parse(await text("#out-users"));
    if (rec.recordName !== "alice_1_1" || rec.fingerName !== "right thumb") fail(`record: ${JSON.stringify(rec)}`);
    await page.waitForSelector("#user-list li[data-user=alice] .chip:not(.free)");
    await shot("enrolled");

    // Login once, then by polling.
    await page.click("#btn-login");
    await until(() => st.loginWaiting, "LoginFinger");
    if (!(await page.$eval("#login-card", (el) => el.classList.contains("who-wait")))) fail("login does not ask for a finger");
    st.touch("alice-thumb");
    await page.waitForSelector("#login-card.who-ok");
    if ((await text("#who-name")) !== "alice") fail(`logged in: ${await text("#who-name")}`);
    await page.click("#btn-fpsign");
    await until(async () => /^Finger key signature/.test(await text("#out-sign")), "FingerSign");

    await page.click("#btn-poll");
    await until(() => st.polls >= 3, "three polls");
    st.touch("alice-thumb");
    await until(async () => (await text("#out-login")) === "\"Verified (polling)\"" ||
                             (await text("#out-login")) === "Verified (polling)", "the polling result");
    await shot("verified-by-polling");

    // Delete the finger from the user list.
    await page.click("#user-list li[data-user=alice] .chip:not(.free)");
    await until(async () => /alice_1_1/.test(await text("#out-users")), "DeleteFinger");
    await until(async () => (await page.$$("#user-list li[data-user=alice] .chip:not(.free)")).length === 0, "the chip to go");

    // The daemon restarts: the page says so and comes back by itself.
    const port = daemon.port;
    await daemon.stop();
    await page.waitForSelector("#conn-state[data-state=wait]");
    await shot("daemon-gone");
    daemon = await startFakeDaemon((c, r) => st.handler(c, r), port);
    await page.waitForSelector("#conn-state[data-state=on]", { timeout: 15000 });
    await until(async () => (await text("#daemon-version")) === "1.0.1.32 MEBO", "the version after the restart");

    const pushes = await page.$$eval("#log li.push", (els) => els.length);
    if (pushes !== 10) fail(`log shows ${pushes} pushed messages, the daemon pushed 10`);
    if (errors.length) fail(`page errors: ${errors.join("; ")}`);
    await shot("done");
    log("passed");
    return 0;
  } catch (e) {
    await shot("failure").catch(() => {});
    log(`FAILED: ${e.stack || e}`);
    return 1;
  } finally {
    await b.close();
    web.close();
    await daemon.stop();
  }
}

main().then((code) => process.exit(code));
