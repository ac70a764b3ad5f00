#!/usr/bin/env node
// verify-cli.mjs - fpkey-verify on Node, built on verify.mjs: the same
// arguments, exit statuses and messages as the C++ program, so either
// serves a relying party's scripts.
//
// Exit 0: verified (nothing printed); 1: a check failed, one line
// "fpkey-verify: <check>: <reason>" on stderr; 2: usage error.
import { open } from "node:fs/promises";
import { checkPublicKey, publicKeyPem, verifyAssertion, verifyEnrolment, verifySignature, MAX_CLIENT_DATA }
  from "./verify.mjs";

const MAX_FILE = 1 << 20;
const USAGE = `usage: fpkey-verify assertion --public-key HEX --client-data FILE|- --signature HEX --origin ORIGIN --challenge C [--text T]
       fpkey-verify signature --public-key HEX --signature HEX (--text T | --file F) [--length N]
       fpkey-verify enrolment --device-key HEX --public-key HEX --record NAME --serial S --signinfo HEX
       fpkey-verify pem HEX
`;

const SUBCOMMANDS = {
  assertion: { required: ["public-key", "client-data", "signature", "origin", "challenge"], optional: ["text"] },
  signature: { required: ["public-key", "signature"], optional: ["text", "file", "length"] },
  enrolment: { required: ["device-key", "public-key", "record", "serial", "signinfo"], optional: [] },
};

class UsageError extends Error {}

// Arguments come from anyone: show a little of them, printable only.
const shown = (arg) => JSON.stringify(arg.slice(0, 40)).replace(/[^\x20-\x7e]/g, "?");

// The options as a map, or null when --help stands in an option's place.
function parseOptions(name, args) {
  const { required, optional } = SUBCOMMANDS[name];
  const opts = new Map();
  for (let i = 0; i < args.length; i += 2) {
    if (args[i] === "--help") return null;
    const key = args[i].startsWith("--") ? args[i].slice(2) : null;
    if (key === null || (!required.includes(key) && !optional.includes(key))) {
      throw new UsageError(`${name}: unknown option ${shown(args[i])}`);
    }
    if (opts.has(key)) throw new UsageError(`${name}: --${key} given twice`);
    if (i + 1 >= args.length) throw new UsageError(`${name}: --${key} needs a value`);
    opts.set(key, args[i + 1]);
  }
  for (const key of required) {
    if (!opts.has(key)) throw new UsageError(`${name}: --${key} is missing`);
  }
  return opts;
}

// At most limit + 1 bytes, so that the caller sees an input over its bound
// without reading all of it.
async function readBounded(path, limit) {
  const chunks = [];
  let total = 0;
  try {
    if (path === "-") {
      for await (const chunk of process.stdin) {
        chunks.push(chunk);
        total += chunk.length;
        if (total > limit) break;
      }
    } else {
      const fh = await open(path, "r");
      try {
        const buf = new Uint8Array(limit + 1);
        for (let n; total <= limit && (n = (await fh.read(buf, total, limit + 1 - total)).bytesRead) > 0;) total += n;
        chunks.push(buf.subarray(0, total));
      } finally {
        await fh.close();
      }
    }
  } catch (e) {
    throw new UsageError(`cannot read ${path === "-" ? "standard input" : shown(path)}: ${e.code ?? "error"}`);
  }
  const out = new Uint8Array(Math.min(total, limit + 1));
  let at = 0;
  for (const c of chunks) {
    const part = c.subarray(0, out.length - at);
    out.set(part, at);
    at += part.length;
  }
  return out;
}

async function run(argv) {
  const [name, ...args] = argv;
  if (name === "--help" || (name === "pem" && args[0] === "--help")) return { help: true };
  if (name === "pem") {
    if (args.length !== 1) throw new UsageError("pem takes one public key");
    const key = checkPublicKey(args[0]);
    return key.ok ? { out: publicKeyPem(args[0]) } : key;
  }
  if (!Object.hasOwn(SUBCOMMANDS, name ?? "")) {
    throw new UsageError(name === undefined ? "no subcommand" : `unknown subcommand ${shown(name)}`);
  }
  const o = parseOptions(name, args);
  if (o === null) return { help: true };
  if (name === "assertion") {
    return verifyAssertion({
      publicKey: o.get("public-key"), clientData: await readBounded(o.get("client-data"), MAX_CLIENT_DATA),
      signature: o.get("signature"), origin: o.get("origin"), challenge: o.get("challenge"), text: o.get("text") ?? "",
    });
  }
  if (name === "enrolment") {
    return verifyEnrolment({
      deviceKey: o.get("device-key"), publicKey: o.get("public-key"), record: o.get("record"),
      serial: o.get("serial"), signinfo: o.get("signinfo"),
    });
  }
  if (o.has("text") === o.has("file")) throw new UsageError("signature: give one of --text and --file");
  let message;
  if (o.has("text")) {
    message = o.get("text");
  } else {
    message = await readBounded(o.get("file"), MAX_FILE);
    if (message.length > MAX_FILE) throw new UsageError("signature: --file is larger than 1 MiB");
  }
  const lengthText = o.get("length") ?? "0";
  if (!/^[0-9]{1,10}$/.test(lengthText)) throw new UsageError("signature: --length needs a number");
  const length = Number(lengthText);
  const bytes = typeof message === "string" ? new TextEncoder().encode(message).length : message.length;
  if (length > bytes) throw new UsageError(`signature: --length ${length} is beyond the message's ${bytes} bytes`);
  return verifySignature({ publicKey: o.get("public-key"), message, signature: o.get("signature"), length });
}

try {
  const result = await run(process.argv.slice(2));
  if (result.help) {
    process.stdout.write(USAGE);
  } else if (result.out !== undefined) {
    process.stdout.write(result.out);
  } else if (!result.ok) {
    process.stderr.write(`fpkey-verify: ${result.check}: ${result.reason}\n`);
    process.exitCode = 1;
  }
} catch (e) {
  if (!(e instanceof UsageError)) throw e;
  process.stderr.write(`fpkey-verify: usage: ${e.message}\n${USAGE}`);
  process.exitCode = 2;
}
