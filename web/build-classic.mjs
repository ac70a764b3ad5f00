// Writes demo/fpkey.classic.js: fpkey.js as a classic script that sets
// globalThis.fpkey. Browsers refuse ES module imports on pages opened from
// file://, so the demo loads this copy; pages on http(s) import fpkey.js.
// Usage: node web/build-classic.mjs [--check]
import { readFileSync, writeFileSync } from "node:fs";
import { fileURLToPath } from "node:url";
import { dirname, join } from "node:path";

const here = dirname(fileURLToPath(import.meta.url));

/** @param {string} source text of fpkey.js @returns {string} */
export function toClassic(source) {
  const names = [];
  const body = source
    .replace(/^export default [^\n]*\n/m, "")
    .replace(/^export (const|function|class) (\w+)/gm, (_, kind, name) => {
      names.push(name);
      return `${kind} ${name}`;
    });
  return "// Generated from web/fpkey.js by web/build-classic.mjs - do not edit.\n" +
    "(function () {\n\"use strict\";\n" + body +
    `globalThis.fpkey = { ${names.join(", ")} };\n})();\n`;
}

if (process.argv[1] === fileURLToPath(import.meta.url)) {
  const out = join(here, "demo", "fpkey.classic.js");
  const text = toClassic(readFileSync(join(here, "fpkey.js"), "utf8"));
  if (process.argv.includes("--check")) {
    if (readFileSync(out, "utf8") !== text) {
      console.error("web/demo/fpkey.classic.js is stale: run node web/build-classic.mjs");
      process.exit(1);
    }
  } else {
    writeFileSync(out, text);
  }
}
