// What the end-to-end page tests share: their arguments, the programs they
// start (a blank virtual key, the factory step, fpkeyd on a free port, any
// helper server), touches of the virtual sensor, the browser and its
// screenshots, and an ending in 0 (passed), 1 (failed) or 77 (skipped, with
// the reason). Everything started is stopped when the run ends.
//
//   const stage = new Stage("my-test");            // --engine, --fpkeyd, --vkey, --provision, --artifacts
//   stage.run(async () => { const key = await stage.startKey(); ... });
import { spawn, execFileSync } from "node:child_process";
import { connect, createServer } from "node:net";
import { existsSync, mkdirSync, mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { engineArg, launch, missing } from "./browser.mjs";

export const SKIP = 77;
/** Ends the run as skipped: something it needs is not there. */
export class Skip extends Error {}
/** Ends the run as failed: what it checks does not hold. */
export class Failure extends Error {}

export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

/** A TCP port on 127.0.0.1 that nothing listens on right now. */
export function freePort() {
  return new Promise((resolve, reject) => {
    const s = createServer();
    s.once("error", reject);
    s.listen(0, "127.0.0.1", () => {
      const p = s.address().port;
      s.close(() => resolve(p));
    });
  });
}

/** Whether something accepts connections on 127.0.0.1:port. */
export function canConnect(port) {
  return new Promise((resolve) => {
    const s = connect(port, "127.0.0.1");
    s.once("connect", () => { s.destroy(); resolve(true); });
    s.once("error", () => resolve(false));
  });
}

/** Polls `cond` until it gives something truthy (returned), failing after `ms`. */
export async function waitFor(cond, what, ms = 15000) {
  const end = Date.now() + ms;
  for (;;) {
    const v = await cond();
    if (v) return v;
    if (Date.now() > end) throw new Failure(`timed out waiting for ${what}`);
    await sleep(50);
  }
}

export class Stage {
  /** @param {string} name the script's name in its log lines */
  constructor(name, argv = process.argv.slice(2)) {
    this.opt = {};
    for (let i = 0; i < argv.length; i += 2) this.opt[argv[i].replace(/^--/, "")] = argv[i + 1] ?? "";
    this.name = name;
    this.engine = engineArg(argv);
    this.artifacts = this.opt.artifacts || join(process.cwd(), "browser-artifacts");
    this.children = [];
    this.closers = [];
    this.tmp = "";
    this.page = null;
    this.pageErrors = [];
    this.shot = 0;
  }

  log(msg) {
    console.log(`[${this.name} ${this.engine}] ${msg}`);
  }

  /** Skips the run when fpkeyd, fpkey-vkey or the engine are missing. */
  async needDaemonAndBrowser() {
    for (const [what, bin] of [["fpkeyd", this.opt.fpkeyd], ["fpkey-vkey", this.opt.vkey]]) {
      if (!bin || !existsSync(bin)) throw new Skip(`${what} not built (${bin || "no path"})`);
    }
    const why = await missing(this.engine);
    if (why) throw new Skip(why);
  }

  /** Starts a program whose output is kept (shown when the run fails) and which is stopped at the end. */
  start(label, bin, argv, env = {}) {
    const out = [];
    const child = spawn(bin, argv, { env: { ...process.env, ...env }, stdio: ["ignore", "pipe", "pipe"] });
    child.stdout.on("data", (d) => out.push(d));
    child.stderr.on("data", (d) => out.push(d));
    child.exitInfo = null;
    child.on("exit", (code, sig) => (child.exitInfo = { code, sig }));
    child.output = () => Buffer.concat(out).toString();
    child.label = label;
    this.children.push(child);
    return child;
  }

  /** Starts a program and waits until it listens on `port`. */
  async startListening(label, bin, argv, port, env = {}) {
    const child = this.start(label, bin, argv, env);
    await waitFor(async () => child.exitInfo || (await canConnect(port)), `${label} to listen`);
    if (child.exitInfo) throw new Failure(`${label} ended: ${child.output()}`);
    return child;
  }

  /**
   * A blank virtual key, given the factory step when fpkey-provision is
   * built. Returns its link socket and whether it was provisioned.
   */
  async startKey() {
    this.sock = join(this.tmp, "key.sock");
    this.control = join(this.tmp, "control.sock");
    const vkey = this.start("fpkey-vkey", this.opt.vkey, ["--state", join(this.tmp, "state"), "--socket", this.sock,
                                                         "--control", this.control, "--finger-wait", "30000"]);
    await waitFor(() => existsSync(this.sock) && existsSync(this.control) || vkey.exitInfo, "the virtual key's sockets");
    if (vkey.exitInfo) throw new Failure(`fpkey-vkey ended: ${vkey.output()}`);
    const provisioned = !!this.opt.provision && existsSync(this.opt.provision);
    if (provisioned) {
      try {
        const out = execFileSync(this.opt.provision, ["--virtual-key", this.sock, "--ca-dir", join(this.tmp, "ca")],
                                 { encoding: "utf8", timeout: 120000, stdio: ["ignore", "pipe", "pipe"] });
        this.log(`provisioned: ${out.trim().split("\n").at(-1)}`);
      } catch (e) {
        throw new Failure(`fpkey-provision failed (${e.status}): ${e.stdout}${e.stderr}`);
      }
    }
    return { sock: this.sock, provisioned };
  }

  /**
   * fpkeyd on a free port with the virtual key, the default site settings
   * (config under this.config) but for `listed`, allowed from the start: any
   * other page's site is asked for and allowed by a touch, as a user would.
   * Returns the port.
   */
  async startDaemon(listed) {
    this.config = join(this.tmp, "config");
    mkdirSync(this.config, { recursive: true });
    const port = await freePort();
    await this.startListening("fpkeyd", this.opt.fpkeyd, ["--virtual-key", this.sock, "--allow-origin", listed], port,
                              { FPKEYD_PORT: String(port), XDG_CONFIG_HOME: this.config,
                                FPKEYD_ADMIN_ORIGINS: join(this.config, "no-admin-file") });
    return port;
  }

  /** A control command of the virtual key ("touch FINGER", "unplug", ...). */
  ctl(...words) {
    try {
      return execFileSync(this.opt.vkey, ["ctl", this.control, ...words], { encoding: "utf8", timeout: 5000 });
    } catch (e) {
      throw new Skip(`virtual sensor not available yet: 'fpkey-vkey ctl ${words.join(" ")}' failed: ` +
                     `${(e.stdout || "") + (e.stderr || "") || e.message}`.trim());
    }
  }

  touch(finger) {
    return this.ctl("touch", finger);
  }

  /** Opens the engine's browser with one page; page errors are collected in this.pageErrors. */
  async openPage(opts = {}) {
    const b = await launch({ engine: this.engine, ...opts });
    this.closers.push(() => b.close());
    this.page = b.page;
    this.page.on("pageerror", (e) => this.pageErrors.push(e.message));
    return this.page;
  }

  /** A full-page screenshot into the artifacts folder, numbered in order. */
  async snap(name) {
    const file = join(this.artifacts, `${this.engine}-${String(++this.shot).padStart(2, "0")}-${name}.png`);
    await this.page.screenshot({ path: file, fullPage: true });
    this.log(`screenshot ${file}`);
  }

  /** Closes `thing` (a server, say) when the run ends. */
  onEnd(fn) {
    this.closers.push(fn);
  }

  _stopChildren() {
    for (const c of this.children) {
      if (!c.exitInfo) c.kill("SIGTERM");
    }
  }

  /** Runs `main` and exits: 0 passed, 1 failed, 77 skipped. */
  run(main) {
    process.on("exit", () => this._stopChildren());
    const end = async (e) => {
      if (e && this.page) await this.snap(e instanceof Skip ? "stopped-here" : "failure").catch(() => {});
      for (const close of this.closers.reverse()) await Promise.resolve().then(close).catch(() => {});
      this._stopChildren();
      if (!e) {
        this.log("passed");
        process.exitCode = 0;
      } else if (e instanceof Skip) {
        this.log(`SKIPPED: ${e.message}`);
        process.exitCode = SKIP;
      } else {
        this.log(`FAILED: ${e.stack || e.message}`);
        for (const c of this.children) this.log(`--- ${c.label} output ---\n${c.output().slice(-4000)}`);
        process.exitCode = 1;
      }
      if (this.tmp) rmSync(this.tmp, { recursive: true, force: true });
      setTimeout(() => process.exit(process.exitCode), 100);
    };
    const go = async () => {
      mkdirSync(this.artifacts, { recursive: true });
      this.tmp = mkdtempSync(join(tmpdir(), `fpkeyd-${this.name}-`));
      await main();
    };
    go().then(() => end(null), (e) => end(e));
  }
}
