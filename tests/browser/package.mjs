// web/ as the npm package a web developer installs: its version is the
// daemon's, `npm pack` gives a tarball that a fresh project installs, Node
// imports it and its subpath, tsc accepts a typed page and refuses its
// slips, and a page without a bundler imports it in each engine.
//
// node package.mjs --version X.Y.Z.N
// Exit: 0 passed, 1 failed (an engine that is not installed is reported skipped).
import { execFileSync, spawnSync } from "node:child_process";
import { mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { dirname, join } from "node:path";
import { fileURLToPath } from "node:url";
import { ENGINES, launch, missing } from "./lib/browser.mjs";
import { WEB_DIR, serveWeb } from "./lib/serve.mjs";

const here = dirname(fileURLToPath(import.meta.url));
const argv = process.argv.slice(2);
const version = argv[argv.indexOf("--version") + 1];
let failed = 0;

function check(ok, what, detail = "") {
  console.log(`${ok ? "ok" : "FAILED"}: ${what}${ok || !detail ? "" : `\n${detail}`}`);
  if (!ok) failed++;
}

function npm(args, cwd) {
  return execFileSync("npm", [...args, "--no-audit", "--no-fund", "--loglevel=error"], { cwd, encoding: "utf8" });
}

const tmp = mkdtempSync(join(tmpdir(), "fpkey-package-"));
try {
  const pkg = JSON.parse(readFileSync(join(WEB_DIR, "package.json"), "utf8"));
  const parts = version.split(".");
  check(pkg.version === `${parts.slice(0, 3).join(".")}+${parts[3]}`,
        `package version ${pkg.version} is the daemon's ${version}`);

  // Pack and install into an empty project, as a developer would.
  const tarball = join(tmp, npm(["pack", WEB_DIR, "--pack-destination", tmp], tmp).trim().split("\n").pop());
  const project = join(tmp, "project");
  mkdirSync(project);
  writeFileSync(join(project, "package.json"), JSON.stringify({ name: "app", private: true, type: "module" }));
  npm(["install", "--offline", tarball], project);
  const files = execFileSync("tar", ["-tzf", tarball], { encoding: "utf8" }).split("\n").filter(Boolean).sort();
  check(!files.some((f) => f.includes("demo/") || f.endsWith("serve.mjs")), "the tarball holds only the package's files",
        files.join("\n"));

  const imported = spawnSync(process.execPath, ["--input-type=module", "-e", `
    import { FpKey, ResultCode, codeNameOf } from "fpkey";
    import { verifyAssertion, publicKeyPem } from "fpkey/verify";
    if (typeof FpKey.connect !== "function" || codeNameOf(ResultCode.NOT_CONFIRMED) !== "NOT_CONFIRMED" ||
        typeof verifyAssertion !== "function" || typeof publicKeyPem !== "function") process.exit(3);
  `], { cwd: project, encoding: "utf8" });
  check(imported.status === 0, "Node imports the installed package and fpkey/verify", imported.stderr);

  // The declarations, through the installed package's exports.
  const tsc = join(here, "node_modules", "typescript", "bin", "tsc");
  writeFileSync(join(project, "tsconfig.json"), JSON.stringify({
    compilerOptions: { strict: true, noEmit: true, target: "es2022", module: "nodenext",
                       moduleResolution: "nodenext", lib: ["es2022", "dom"], types: [] },
    files: ["example.ts"],
  }));
  const example = readFileSync(join(here, "typed", "example.ts"), "utf8");
  const compile = (source) => {
    writeFileSync(join(project, "example.ts"), source);
    return spawnSync(process.execPath, [tsc, "-p", project], { encoding: "utf8" });
  };
  const good = compile(example);
  check(good.status === 0, "tsc accepts the typed example", good.stdout + good.stderr);
  for (const [slip, from, to, said] of [
    ["a misspelt command", '"FingerSign"', '"FingerSing"', /"FingerSing"/],
    ["a number where a string belongs", '["pay 100"]', "[100]", /'number' is not assignable to type 'string'/],
    ["a finger out of range", "loginFinger({ signal", "enroll(who.user, 11, \"x\", { signal", /'11'/],
  ]) {
    const r = compile(example.replace(from, to));
    check(r.status !== 0 && said.test(r.stdout), `tsc refuses ${slip}`, r.stdout);
  }

  // A page without a bundler: an import map names the installed files.
  writeFileSync(join(project, "index.html"), `<!doctype html><title>app</title>
<script type="importmap">{"imports": {"fpkey": "./node_modules/fpkey/fpkey.js",
                                      "fpkey/verify": "./node_modules/fpkey/verify.mjs"}}</script>
<script type="module">
  import { FpKey, codeNameOf } from "fpkey";
  import { verifySignature } from "fpkey/verify";
  const r = verifySignature({ publicKey: "04" + "00".repeat(64), message: "x", signature: "3006020101020101" });
  document.title = [typeof FpKey.connect, codeNameOf(134), r.ok, r.check].join(" ");
</script>`);
  const srv = await serveWeb(undefined, project);
  try {
    for (const engine of ENGINES) {
      const why = await missing(engine);
      if (why) {
        console.log(`skipped in ${engine}: ${why}`);
        continue;
      }
      const b = await launch({ engine });
      try {
        await b.page.goto(`${srv.origin}/index.html`);
        await b.page.waitForFunction(() => document.title !== "app", null, { timeout: 20000 });
        const title = await b.page.evaluate(() => document.title);
        check(title === "function NOT_CONFIRMED false public key", `a page imports the package in ${engine}`, title);
      } finally {
        await b.close();
      }
    }
  } finally {
    srv.close();
  }
} catch (e) {
  check(false, "the package test ran", String(e?.stack ?? e));
} finally {
  rmSync(tmp, { recursive: true, force: true });
}
process.exit(failed ? 1 : 0);
