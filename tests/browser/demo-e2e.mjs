// End to end in a real browser: a blank virtual key, fpkey-provision,
// fpkeyd on a free port, the demo page in Chromium or Firefox. Opens the key, shows its
// information, enrols a user while the test touches the virtual sensor, logs
// in by finger, signs, decrypts, signs in and confirms a payment by a touch;
// one screenshot per step.
//
// node demo-e2e.mjs --engine chromium|firefox --fpkeyd BIN --vkey BIN [--provision BIN] --artifacts DIR
// Exit: 0 passed, 1 failed, 77 skipped (the reason is printed).
import { spawn, execFileSync } from "node:child_process";
import { createServer as netServer } from "node:net";
import { existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { serveWeb, makeCert } from "./lib/serve.mjs";
import { engineArg } from "./lib/browser.mjs";

const SKIP = 77;
class Skip extends Error {}
class Failure extends Error {}

function args() {
  const a = {};
  const v = process.argv.slice(2);
  for (let i = 0; i < v.length; i += 2) a[v[i].replace(/^--/, "")] = v[i + 1] ?? "";
  return a;
}

const opt = args();
const engine = engineArg();
const artifacts = opt.artifacts || join(process.cwd(), "browser-artifacts");
const children = [];
let tmp = "";

function log(msg) {
  console.log(`[demo-e2e ${engine}] ${msg}`);
}

function freePort() {
  return new Promise((resolve, reject) => {
    const s = netServer();
    s.once("error", reject);
    s.listen(0, "127.0.0.1", () => {
      const p = s.address().port;
      s.close(() => resolve(p));
    });
  });
}

function start(name, bin, argv, env = {}) {
  const out = [];
  const child = spawn(bin, argv, { env: { ...process.env, ...env }, stdio: ["ignore", "pipe", "pipe"] });
  child.stdout.on("data", (d) => out.push(d));
  child.stderr.on("data", (d) => out.push(d));
  child.exitInfo = null;
  child.on("exit", (code, sig) => (child.exitInfo = { code, sig }));
  child.output = () => Buffer.concat(out).toString();
  child.label = name;
  children.push(child);
  return child;
}

async function waitFor(cond, what, ms = 15000) {
  const end = Date.now() + ms;
  for (;;) {
    const v = await cond();
    if (v) return v;
    if (Date.now() > end) throw new Failure(`timed out waiting for ${what}`);
    await new Promise((r) => setTimeout(r, 50));
  }
}

function canConnect(port) {
  return new Promise((resolve) => {
    import("node:net").then(({ connect }) => {
      const s = connect(port, "127.0.0.1");
      s.once("connect", () => { s.destroy(); resolve(true); });
      s.once("error", () => resolve(false));
    });
  });
}

function ctl(control, ...words) {
  try {
    return execFileSync(opt.vkey, ["ctl", control, ...words], { encoding: "utf8", timeout: 5000 });
  } catch (e) {
    throw new Skip(`virtual sensor not available yet: 'fpkey-vkey ctl ${words.join(" ")}' failed: ` +
                   `${(e.stdout || "") + (e.stderr || "") || e.message}`.trim());
  }
}

// fpkeyd on `port` with the virtual key at `sock`. Every test page comes
// from one of `pageOrigins`: the one place that tells the daemon which
// sites may use the key.
// The default site settings, but for `listed` (allowed from the start): any
// other page's site is asked for and allowed by a touch, as a user would.
async function startDaemon(sock, port, listed, config) {
  mkdirSync(config, { recursive: true });
  const daemon = start("fpkeyd", opt.fpkeyd, ["--virtual-key", sock, "--allow-origin", listed],
                       { FPKEYD_PORT: String(port), XDG_CONFIG_HOME: config,
                         FPKEYD_ADMIN_ORIGINS: join(config, "no-admin-file") });
  await waitFor(async () => daemon.exitInfo || (await canConnect(port)), "fpkeyd to listen");
  if (daemon.exitInfo) throw new Failure(`fpkeyd ended: ${daemon.output()}`);
  return daemon;
}

async function main() {
  if (!opt.fpkeyd || !existsSync(opt.fpkeyd)) throw new Skip(`fpkeyd not built (${opt.fpkeyd || "no path"})`);
  if (!opt.vkey || !existsSync(opt.vkey)) throw new Skip(`fpkey-vkey not built (${opt.vkey || "no path"})`);
  const { launch, missing } = await import("./lib/browser.mjs");
  const why = await missing(engine);
  if (why) throw new Skip(why);

  mkdirSync(artifacts, { recursive: true });
  tmp = mkdtempSync(join(tmpdir(), "fpkeyd-e2e-"));
  const sock = join(tmp, "key.sock");
  const control = join(tmp, "control.sock");

  // 1. A blank virtual key, then the factory step, then the daemon.
  const vkey = start("fpkey-vkey", opt.vkey, ["--state", join(tmp, "state"), "--socket", sock, "--control", control,
                                              "--finger-wait", "30000"]);
  await waitFor(() => existsSync(sock) && existsSync(control) || vkey.exitInfo, "the virtual key's sockets");
  if (vkey.exitInfo) throw new Failure(`fpkey-vkey ended: ${vkey.output()}`);

  const provisioned = !!opt.provision && existsSync(opt.provision);
  if (provisioned) {
    try {
      const out = execFileSync(opt.provision, ["--virtual-key", sock, "--ca-dir", join(tmp, "ca")],
                               { encoding: "utf8", timeout: 120000, stdio: ["ignore", "pipe", "pipe"] });
      log(`provisioned: ${out.trim().split("\n").at(-1)}`);
    } catch (e) {
      throw new Failure(`fpkey-provision failed (${e.status}): ${e.stdout}${e.stderr}`);
    }
  }

  // The page comes from two origins: https (a throwaway certificate the
  // browser is told to accept) for the key's presence, http for the rest.
  const web = await serveWeb();
  const secureWeb = await serveWeb(makeCert(tmp));
  const port = await freePort();
  await startDaemon(sock, port, secureWeb.origin, join(tmp, "config"));
  const url = `${web.origin}/demo/index.html?port=${port}`;
  const secureUrl = `${secureWeb.origin}/demo/index.html?port=${port}`;
  const b = await launch({ engine, width: 1440, height: 1000, insecureCerts: true });
  const page = b.page;
  const pageErrors = [];
  page.on("pageerror", (e) => pageErrors.push(e.message));
  let shot = 0;
  const snap = async (name) => {
    const file = join(artifacts, `${engine}-${String(++shot).padStart(2, "0")}-${name}.png`);
    await page.screenshot({ path: file, fullPage: true });
    log(`screenshot ${file}`);
  };

  // The sticky top bar can cover a button the browser deems in view, and
  // takes the click: the button goes to the middle of the window first.
  const click = async (button) => {
    await page.$eval(`#${button}`, (el) => el.scrollIntoView({ block: "center" }));
    await page.click(`#${button}`);
  };
  // Clicks a button and waits until its action has finished; returns what
  // the card's output box shows and the reterr in it, if it failed.
  const run = async (button, out, ms = 30000) => {
    await page.$eval(`#${out}`, (el) => { el.textContent = ""; el.className = "out"; });
    await click(button);
    await page.waitForFunction(([b, o]) => {
      const btn = document.getElementById(b);
      return !btn.classList.contains("busy") && document.getElementById(o).textContent !== "";
    }, [button, out], { timeout: ms });
    const r = await page.$eval(`#${out}`, (el) => ({ ok: el.classList.contains("ok"), text: el.textContent }));
    const m = /\(reterr (-?\d+)\)/.exec(r.text);
    r.reterr = m ? Number(m[1]) : 0;
    return r;
  };
  const expectOk = (r, what) => {
    if (!r.ok) throw new Failure(`${what}: ${r.text}`);
    return r;
  };
  // Stops the run as skipped when the daemon answers that a command is not
  // wired yet (164: unknown command; 102: refused before reaching the key).
  const notYet = (r, codes, reason) => {
    if (!r.ok && codes.includes(r.reterr)) throw new Skip(`${reason} (daemon answered: ${r.text})`);
  };

  try {
    // Step: a page from an https origin reaches ws://127.0.0.1 (loopback is
    // not mixed content) and shows the key's presence live: pulled out, the
    // key's buttons are off; plugged in again, on.
    await page.goto(secureUrl);
    await page.waitForSelector("#conn-state[data-state=on]", { timeout: 15000 });
    await page.waitForSelector("#key-state[data-state=present]", { timeout: 15000 });
    const keyButtons = () => page.$eval("#btn-info", (el) => !el.disabled);
    if (!(await keyButtons())) throw new Failure("a key is present but its buttons are off");
    ctl(control, "unplug");
    await page.waitForSelector("#key-state[data-state=absent]", { timeout: 15000 });
    if (await keyButtons()) throw new Failure("the key was pulled out but its buttons are on");
    if (!(await page.$eval("#btn-enum", (el) => !el.disabled))) throw new Failure("listing keys needs no key, yet it is off");
    await snap("https-key-pulled-out");
    ctl(control, "plug");
    await page.waitForSelector("#key-state[data-state=present]", { timeout: 15000 });
    if (!(await keyButtons())) throw new Failure("the key is back but its buttons are off");

    // Step: the page's site is not allowed yet: its first commands wait
    // while the page asks for a touch; the touch allows it and they run.
    await page.goto(url);
    await page.waitForSelector("#conn-state[data-state=on]", { timeout: 15000 });
    await page.waitForSelector("#approval[data-state=touch]", { timeout: 15000 });
    const asked = await page.$eval("#approval", (el) => el.textContent);
    if (!asked.startsWith("Touch your key to allow this site")) throw new Failure(`approval prompt: ${asked}`);
    await snap("site-approval-asked");
    // A touch sooner than a person could read the question is not taken.
    await new Promise((r) => setTimeout(r, 700));
    ctl(control, "touch", "owner-finger");
    await page.waitForSelector("#approval[data-state=allowed]", { timeout: 15000 });
    const origins = readFileSync(join(tmp, "config", "fpkeyd", "origins"), "utf8");
    if (!origins.includes(`${web.origin}\n`)) throw new Failure(`origins file: ${origins}`);

    // Step: the page shows the daemon's version.
    await page.waitForFunction(() => document.getElementById("daemon-version").textContent === "1.0.1.32 MEBO");
    await snap("connected");

    // Step: enumerate and open the key.
    let r = await run("btn-enum", "out-key");
    notYet(r, [164], "key listing not available yet");
    expectOk(r, "EnumDevice");
    if (!/1 key\(s\): FingerPrint\.Usb\.0x2541\.0x2549\.\.01\.03/.test(r.text)) throw new Failure(`EnumDevice: ${r.text}`);
    r = await run("btn-open-device", "out-key");
    notYet(r, [102, 164], "opening a key not available yet");
    expectOk(r, "openDevice");
    await snap("key-opened");

    // Step: key information.
    r = await run("btn-info", "out-key");
    notYet(r, [102, 164], "key information not available yet");
    expectOk(r, "GetDevInfo");
    const serial = await page.$eval("dd[data-field=serial]", (el) => el.textContent);
    const type = await page.$eval("dd[data-field=type]", (el) => el.textContent);
    if (!serial || serial === "—" || !/^\d+$/.test(type)) throw new Failure(`GetDevInfo shows serial '${serial}', type '${type}'`);
    log(`key serial ${serial}, type ${type}`);
    await snap("key-information");

    if (!provisioned) throw new Skip("fpkey-provision not built yet: enrolment, login and signing not run");

    // Step: public keys of the provisioned key.
    r = expectOk(await run("btn-facpub", "out-key"), "GetFacPubKey");
    if (!/\n04[0-9A-F]{128}$/.test(r.text)) throw new Failure(`GetFacPubKey: ${r.text}`);
    const facPub = r.text.split("\n").at(-1);
    r = expectOk(await run("btn-devpub", "out-key"), "GetDevPubKey");
    if (!/\n04[0-9A-F]{128}$/.test(r.text)) throw new Failure(`GetDevPubKey: ${r.text}`);
    const devPub = r.text.split("\n").at(-1);

    // Step: factory and device signatures (OpenSSL checks both against the
    // key's public keys), PIN login and the PKCS#7 family.
    const message = "Pay 100.00 to ACME Ltd, order 2026-0042";
    await page.fill("#sign-data", message);
    r = expectOk(await run("btn-facsign", "out-sign"), "FactorySign");
    verifySm2(facPub, message, r.text.split("\n").at(-1));
    r = expectOk(await run("btn-devsign", "out-sign"), "DeviceSign");
    verifySm2(devPub, message, r.text.split("\n").at(-1));
    await snap("device-signature");
    expectOk(await run("btn-rklogin", "out-sign"), "rkLogin");
    r = expectOk(await run("btn-containers", "out-sign"), "rkEnumContainer");
    if (!r.text.includes("axDevCot") || r.text.includes("\"baseCot\"")) throw new Failure(`rkEnumContainer: ${r.text}`);
    r = expectOk(await run("btn-signnormal", "out-sign"), "SignDataNormal");
    const der = Buffer.from(r.text.split("\n")[1], "base64");
    if (der[0] !== 0x30) throw new Failure(`SignDataNormal signature is not DER: ${r.text}`);
    r = expectOk(await run("btn-signp7", "out-sign"), "SignDataToPKCS7");
    const p7 = Buffer.from(r.text.split("\n").at(-1), "base64");
    if (!p7.includes(Buffer.from("2a864886f70d010702", "hex"))) throw new Failure(`not a PKCS#7 SignedData: ${r.text.slice(0, 200)}`);
    await snap("pkcs7-signature");

    // Step: SM4 decryption of a sample the page makes with a random key.
    await page.click("#btn-sm4-sample");
    r = expectOk(await run("btn-sm4", "out-decrypt"), "Sm4Decrypt");
    if (r.text !== "Decrypted: secret for the key") throw new Failure(`Sm4Decrypt: ${r.text}`);

    // Step: SM2 decryption of a text the page encrypts to the device key.
    expectOk(await run("btn-sm2-sample", "out-decrypt"), "SM2 sample");
    r = expectOk(await run("btn-sm2", "out-decrypt"), "Sm2Decrypt");
    if (!r.text.endsWith("As text: hello from the page")) throw new Failure(`Sm2Decrypt: ${r.text}`);
    await snap("decrypted");

    // Step: enrol alice while the test touches the sensor six times.
    expectOk(await run("btn-users", "out-users"), "GetUserList");
    await page.fill("#enrol-user", "alice");
    await page.selectOption("#enrol-finger", "1");
    await page.fill("#enrol-name", "right-thumb");
    await page.$eval("#out-users", (el) => { el.textContent = ""; el.className = "out"; });
    await page.click("#btn-register");
    const enrolStep = () => page.$eval("#enrol-progress", (el) => Number(el.getAttribute("aria-valuenow")));
    // The first touch waits on the sensor until the module asks for it.
    for (let touch = 1; touch <= 6; touch++) {
      const early = await page.$eval("#out-users", (el) => el.textContent);
      if (early) {
        const m = /\(reterr (-?\d+)\)/.exec(early);
        if (m && [102, 164].includes(Number(m[1]))) throw new Skip(`enrolment not available yet (daemon answered: ${early})`);
        throw new Failure(`enrolment ended early: ${early}`);
      }
      ctl(control, "touch", "alice-thumb");
      if (touch < 6) await waitFor(async () => (await enrolStep()) >= touch || (await page.$eval("#out-users", (el) => el.textContent)), `capture ${touch}`, 30000);
      if (touch === 3) await snap("enrolment-in-progress");
    }
    await page.waitForFunction(() => document.getElementById("out-users").textContent !== "" &&
                                     !document.getElementById("btn-register").classList.contains("busy"), null, { timeout: 30000 });
    const enrolOut = await page.$eval("#out-users", (el) => ({ ok: el.classList.contains("ok"), text: el.textContent }));
    if (!enrolOut.ok) throw new Failure(`enrolment: ${enrolOut.text}`);
    const record = JSON.parse(enrolOut.text);
    if (record.user !== "alice" || record.fingerIndex !== 1 || !/^alice_1_\d+$/.test(record.recordName) ||
        record.fingerName !== "right-thumb" || !/^04[0-9A-F]{128}$/.test(record.publicKey)) {
      throw new Failure(`enrolment record: ${enrolOut.text}`);
    }
    const bar = await page.$eval("#enrol-progress", (el) => ({ done: el.classList.contains("done"), now: el.getAttribute("aria-valuenow"), max: el.getAttribute("aria-valuemax"), width: document.getElementById("enrol-bar").style.width }));
    if (!bar.done || bar.now !== bar.max || bar.width !== "100%") throw new Failure(`progress bar did not reach the end: ${JSON.stringify(bar)}`);
    // The list's finger queries must be answered before the login starts: a
    // command of another family would end the verification.
    await page.waitForSelector("#user-list li[data-user=alice] .chip.free", { timeout: 10000 });
    if ((await page.$$("#user-list li[data-user=alice] .chip:not(.free)")).length !== 1) {
      throw new Failure("the user list does not show alice's one finger");
    }
    await snap("enrolled");

    // Step: log in by finger.
    await page.$eval("#out-login", (el) => { el.textContent = ""; el.className = "out"; });
    await page.click("#btn-login");
    await new Promise((res) => setTimeout(res, 300));
    const refused = await page.$eval("#out-login", (el) => el.textContent);
    const rm = /\(reterr (-?\d+)\)/.exec(refused);
    if (rm && [102, 164].includes(Number(rm[1]))) throw new Skip(`fingerprint login not available yet (daemon answered: ${refused})`);
    ctl(control, "touch", "alice-thumb");
    await page.waitForFunction(() => document.getElementById("out-login").textContent !== "", null, { timeout: 30000 });
    const who = await page.$eval("#who-name", (el) => el.textContent);
    const loginOk = await page.$eval("#login-card", (el) => el.classList.contains("who-ok"));
    if (!loginOk || who !== "alice") throw new Failure(`login by finger: ${await page.$eval("#out-login", (el) => el.textContent)}`);
    await snap("logged-in");

    // Step: verification by polling (startVerify, then LoopVerify until the touch).
    await page.$eval("#out-login", (el) => { el.textContent = ""; el.className = "out"; });
    await page.click("#btn-poll");
    await page.waitForFunction(() => /LoopVerify poll/.test(document.getElementById("who-detail").textContent) ||
                                     document.getElementById("out-login").textContent !== "", null, { timeout: 15000 });
    const pollRefused = /\(reterr (-?\d+)\)/.exec(await page.$eval("#out-login", (el) => el.textContent));
    if (pollRefused && [102, 164].includes(Number(pollRefused[1]))) {
      throw new Skip(`polling verification not available yet (daemon answered ${pollRefused[1]})`);
    }
    ctl(control, "touch", "alice-thumb");
    await page.waitForFunction(() => document.getElementById("out-login").textContent !== "", null, { timeout: 30000 });
    r = await page.$eval("#out-login", (el) => ({ ok: el.classList.contains("ok"), text: el.textContent }));
    if (!r.ok || !/Verified \(polling\)/.test(r.text)) throw new Failure(`polling verification: ${r.text}`);
    await snap("verified-by-polling");

    // Step: sign with the finger's key; OpenSSL checks it against the enrolled public key.
    r = expectOk(await run("btn-fpsign", "out-sign"), "FingerSign");
    const sigHex = r.text.split("\n").at(-1);
    if (!/^304[456]/.test(sigHex)) throw new Failure(`FingerSign: ${r.text}`);
    verifySm2(record.publicKey, message, sigHex);
    await snap("finger-signature");

    // Steps: sign in, then confirm a payment: the page shows the question,
    // the touch comes after it, and the reply is a clientData naming this
    // page and the challenge it sent, signed by alice's finger key.
    for (const [button, text, name] of [["btn-assert-signin", "", "sign-in"],
                                        ["btn-assert-pay", "Pay 100.00 to Shop", "payment"]]) {
      await page.$eval("#out-assert", (el) => { el.textContent = ""; el.className = "out"; });
      await click(button);
      await page.waitForSelector("#confirm[data-state=touch]:not([hidden])", { timeout: 15000 });
      const question = await page.$eval("#confirm", (el) => el.textContent);
      if (!question.startsWith(`${web.origin} asks you to ${text ? `confirm: ${text}` : "sign in"} — `)) {
        throw new Failure(`${button} question: ${question}`);
      }
      await snap(`${name}-asked`);
      await new Promise((res) => setTimeout(res, 700));
      ctl(control, "touch", "alice-thumb");
      await page.waitForFunction(() => document.getElementById("out-assert").textContent !== "", null, { timeout: 30000 });
      r = await page.$eval("#out-assert", (el) => ({ ok: el.classList.contains("ok"), text: el.textContent }));
      const m = /Challenge sent: (\S+)\n\nclientData:\n(.+)\n\nSignature \(DER, hex\):\n(\w+)\n\nPublic key:\n(\w+)$/.exec(r.text);
      if (!r.ok || !m) throw new Failure(`${button}: ${r.text}`);
      const data = JSON.parse(m[2]);
      if (data.origin !== web.origin || data.challenge !== m[1] || !/^[\w-]{43}$/.test(m[1]) || data.text !== text ||
          data.user !== "alice" || m[4] !== record.publicKey) throw new Failure(`${button}: ${r.text}`);
      verifySm2(record.publicKey, m[2], m[3]);
      if (!(await page.$eval("#confirm", (el) => el.hidden))) throw new Failure(`${button}: the question stays shown`);
      await snap(`${name}-signed`);
    }

    const pushes = await page.$$eval("#log li.push", (els) => els.length);
    if (pushes < 7) throw new Failure(`message log shows ${pushes} pushed messages, expected the enrolment's and the login's`);
    if (pageErrors.length) throw new Failure(`page errors: ${pageErrors.join("; ")}`);
  } catch (e) {
    await snap(e instanceof Skip ? "stopped-here" : "failure").catch(() => {});
    throw e;
  } finally {
    await b.close();
    web.close();
    secureWeb.close();
  }
}

// SM2 signature over SM3(Z || message) with the default signer ID, checked
// by the openssl CLI against a 65-byte public key given as hex.
function verifySm2(pubHex, message, sigHex) {
  const spki = Buffer.concat([Buffer.from("3059301306072a8648ce3d020106082a811ccf5501822d034200", "hex"),
                              Buffer.from(pubHex, "hex")]);
  const pem = `-----BEGIN PUBLIC KEY-----\n${spki.toString("base64").match(/.{1,64}/g).join("\n")}\n-----END PUBLIC KEY-----\n`;
  const dir = mkdtempSync(join(tmp, "sig-"));
  writeFileSync(join(dir, "pub.pem"), pem);
  writeFileSync(join(dir, "msg"), message);
  writeFileSync(join(dir, "sig"), Buffer.from(sigHex, "hex"));
  try {
    execFileSync("openssl", ["pkeyutl", "-verify", "-pubin", "-inkey", join(dir, "pub.pem"), "-rawin", "-digest", "sm3",
                             "-in", join(dir, "msg"), "-sigfile", join(dir, "sig"),
                             "-pkeyopt", "distid:1234567812345678"], { stdio: "pipe" });
  } catch (e) {
    throw new Failure(`OpenSSL rejects the signature ${sigHex} by ${pubHex}: ${e.stdout}${e.stderr}`);
  }
}

function cleanup() {
  for (const c of children) {
    if (!c.exitInfo) c.kill("SIGTERM");
  }
}
process.on("exit", cleanup);

main().then(
  () => {
    cleanup();
    log("passed");
    if (tmp) rmSync(tmp, { recursive: true, force: true });
    process.exit(0);
  },
  (e) => {
    cleanup();
    if (e instanceof Skip) {
      log(`SKIPPED: ${e.message}`);
      process.exitCode = SKIP;
    } else {
      log(`FAILED: ${e.stack || e.message}`);
      for (const c of children) log(`--- ${c.label} output ---\n${c.output().slice(-4000)}`);
      process.exitCode = 1;
    }
    if (tmp) rmSync(tmp, { recursive: true, force: true });
    setTimeout(() => process.exit(process.exitCode), 100);
  });
