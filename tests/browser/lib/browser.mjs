// Launches a real browser for the page tests, in a fresh profile, with no
// network beyond the loopback: Debian's Chromium through playwright-core, or
// Debian's Firefox ESR through puppeteer-core over WebDriver BiDi (stock
// Firefox, nothing downloaded). Both give a page with the same small API
// (playwright's names), so a test script runs unchanged in either engine.
import { mkdtempSync, rmSync, existsSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";

export const CHROMIUM = process.env.FPKEYD_CHROMIUM || "/usr/bin/chromium";
export const FIREFOX = process.env.FPKEYD_FIREFOX || "/usr/bin/firefox-esr";
export const ENGINES = ["chromium", "firefox"];

export const CHROMIUM_FLAGS = [
  "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
  "--disable-background-networking", "--disable-component-update", "--disable-sync",
];

/**
 * Why `engine` cannot run here, or "" when it can.
 * @param {"chromium"|"firefox"} engine
 */
export async function missing(engine) {
  const exe = engine === "firefox" ? FIREFOX : CHROMIUM;
  const pkg = engine === "firefox" ? "puppeteer-core" : "playwright-core";
  if (!existsSync(exe)) return `${engine} not found at ${exe}: run scripts/install-deps`;
  try {
    await import(pkg);
  } catch {
    return `${pkg} is not installed: run scripts/install-deps (npm ci --prefix tests/browser)`;
  }
  return "";
}

/**
 * Opens one browser of `engine` with one page.
 * insecureCerts: accept the test's throwaway https certificate (made for
 * one run, trusted by nothing); nothing else is relaxed.
 * @returns {Promise<{engine: string, page: any, close: () => Promise<void>}>}
 */
export async function launch({ engine = "chromium", width = 1440, height = 1000, insecureCerts = false } = {}) {
  return engine === "firefox" ? launchFirefox(width, height, insecureCerts)
                              : launchChromium(width, height, insecureCerts);
}

async function launchChromium(width, height, insecureCerts) {
  const { chromium } = await import("playwright-core");
  const profile = mkdtempSync(join(tmpdir(), "fpkeyd-chromium-"));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    args: CHROMIUM_FLAGS,
    viewport: { width, height },
    ignoreHTTPSErrors: insecureCerts,
  });
  const page = context.pages()[0] ?? (await context.newPage());
  return {
    engine: "chromium",
    page,
    close: async () => {
      await context.close().catch(() => {});
      rmSync(profile, { recursive: true, force: true });
    },
  };
}

async function launchFirefox(width, height, insecureCerts) {
  const { default: puppeteer } = await import("puppeteer-core");
  const browser = await puppeteer.launch({
    browser: "firefox",
    executablePath: FIREFOX,
    headless: true,
    acceptInsecureCerts: insecureCerts,
    defaultViewport: { width, height },
    // No update checks, telemetry or captive-portal probes from the test profile.
    extraPrefsFirefox: {
      "app.update.enabled": false, "network.captive-portal-service.enabled": false,
      "datareporting.policy.dataSubmissionEnabled": false, "browser.shell.checkDefaultBrowser": false,
    },
  });
  const p = await browser.newPage();
  // playwright's names over puppeteer's page.
  const page = {
    goto: (url) => p.goto(url),
    click: (sel) => p.click(sel),
    fill: (sel, value) => p.$eval(sel, (el, v) => {
      el.value = v;
      el.dispatchEvent(new Event("input", { bubbles: true }));
      el.dispatchEvent(new Event("change", { bubbles: true }));
    }, value),
    selectOption: (sel, value) => p.select(sel, value),
    waitForFunction: (fn, arg, opts = {}) => p.waitForFunction(fn, { timeout: opts.timeout ?? 30000 }, arg),
    waitForSelector: (sel, opts = {}) => p.waitForSelector(sel, { timeout: opts.timeout ?? 30000 }),
    evaluate: (fn, arg) => p.evaluate(fn, arg),
    $eval: (sel, fn, arg) => p.$eval(sel, fn, arg),
    $$eval: (sel, fn, arg) => p.$$eval(sel, fn, arg),
    $$: (sel) => p.$$(sel),
    screenshot: (opts) => p.screenshot(opts),
    on: (ev, fn) => p.on(ev, fn),
  };
  return {
    engine: "firefox",
    page,
    close: async () => {
      await browser.close().catch(() => {});
    },
  };
}

export function haveChromium() {
  return existsSync(CHROMIUM);
}

/** The engine named by `--engine` in argv (chromium when none). */
export function engineArg(argv = process.argv.slice(2)) {
  const i = argv.indexOf("--engine");
  const e = i >= 0 ? argv[i + 1] : "chromium";
  if (!ENGINES.includes(e)) throw new Error(`unknown engine '${e}' (${ENGINES.join(", ")})`);
  return e;
}
