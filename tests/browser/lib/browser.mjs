// Launches Debian's Chromium through playwright-core with flags that need no
// network, in a fresh profile directory.
import { mkdtempSync, rmSync, existsSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";

export const CHROMIUM = process.env.FPKEYD_CHROMIUM || "/usr/bin/chromium";

export const CHROMIUM_FLAGS = [
  "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
  "--disable-background-networking", "--disable-component-update", "--disable-sync",
];

/** @returns {Promise<{browser: any, page: any, close: () => Promise<void>}>} */
export async function launch({ width = 1440, height = 1000 } = {}) {
  const { chromium } = await import("playwright-core");
  const profile = mkdtempSync(join(tmpdir(), "fpkeyd-chromium-"));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    args: CHROMIUM_FLAGS,
    viewport: { width, height },
  });
  const page = context.pages()[0] ?? (await context.newPage());
  return {
    browser: context,
    page,
    close: async () => {
      await context.close().catch(() => {});
      rmSync(profile, { recursive: true, force: true });
    },
  };
}

export function haveChromium() {
  return existsSync(CHROMIUM);
}
