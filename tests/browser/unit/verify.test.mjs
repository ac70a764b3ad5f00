// web/verify.mjs and verify-cli.mjs against signatures OpenSSL made. The
// signing program comes in FPK_SM2_VECTORS (ctest's verify_js sets it).
import { test } from "node:test";
import assert from "node:assert/strict";
import { execFileSync, spawn, spawnSync } from "node:child_process";
import { once } from "node:events";
import { createInterface } from "node:readline";
import { createPublicKey } from "node:crypto";
import { fileURLToPath } from "node:url";
import { sm3, verifyAssertion, verifyEnrolment, verifySignature } from "../../../web/verify.mjs";

const gen = process.env.FPK_SM2_VECTORS;
const needsGen = gen ? {} : { skip: "FPK_SM2_VECTORS (path of fpk-sm2-vectors) is not set" };
const cli = fileURLToPath(new URL("../../../web/verify-cli.mjs", import.meta.url));
const hex = (b) => Buffer.from(b).toString("hex");
const signed = (msg, ...more) => JSON.parse(execFileSync(gen, ["--sign", hex(Buffer.from(msg)), ...more], { encoding: "utf8" }));
const N = "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54123";

test("SM3 gives the standard's digests", () => {
  assert.equal(hex(sm3(Buffer.from("abc"))), "66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0");
  assert.equal(hex(sm3(Buffer.from("abcd".repeat(16)))), "debe9ff92275b8a138604889c18e5a4d6fdb70e5387e5765293dcba39c0c5732");
});

test("2000 OpenSSL signatures, a quarter spoiled: verifySignature agrees on each", needsGen, async () => {
  // Checked as they come, while the program still signs the rest.
  const child = spawn(gen, ["2000", "20240611"], { stdio: ["ignore", "pipe", "inherit"] });
  const closed = once(child, "close");
  const wrong = [];
  let count = 0, valid = 0;
  for await (const line of createInterface({ input: child.stdout })) {
    const v = JSON.parse(line);
    const r = verifySignature({ publicKey: v.publicKey, message: Buffer.from(v.message, "hex"), signature: v.signature, signerId: v.id });
    if (r.ok !== v.valid) wrong.push({ ...v, r });
    count++;
    valid += v.valid;
  }
  assert.deepEqual([await closed, count], [[0, null], 2000]);
  assert.ok(valid > 1300 && valid < 1700, `${valid} valid`);
  assert.deepEqual(wrong.slice(0, 3), []);
});

test("the key's 32-byte integers and minimal DER pass; other forms are refused", needsGen, () => {
  const v = signed("abc", "--short");
  assert.notEqual(v.keyForm, v.signature); // a zero byte kept that minimal DER drops
  const check = (signature, message = "abc") => {
    const r = verifySignature({ publicKey: v.publicKey, message, signature });
    return r.ok || r.check;
  };
  assert.equal(check(v.signature), true);
  assert.equal(check(v.keyForm.toLowerCase()), true);
  assert.equal(check(v.keyForm, "abd"), "signature");
  assert.equal(verifySignature({ publicKey: v.publicKey, message: "abcd", signature: v.keyForm, length: 3 }).ok, true);
  assert.throws(() => verifySignature({ publicKey: v.publicKey, message: "abc", signature: v.keyForm, length: 4 }), TypeError);

  // The INTEGERs' contents; minimal DER is at most 70 bytes here, so each
  // spoiled text below stays within the longest signature's 72.
  const integers = (sig) => {
    const n = parseInt(sig.slice(6, 8), 16);
    return [sig.slice(8, 8 + 2 * n), sig.slice(12 + 2 * n)];
  };
  const [r, s] = integers(v.keyForm);
  const [rm, sm] = integers(v.signature);
  const len = (h) => (h.length / 2).toString(16).padStart(2, "0").toUpperCase();
  const seq = (body) => "30" + len(body) + body;
  const int = (h) => "02" + len(h) + h;
  const keyZero = r.length === 64 && r.startsWith("00") ? r : s;
  assert.equal(check(seq(int(rm) + int(sm))), true);
  for (const bad of [
    seq(int(rm) + int(sm)) + "00", // after the SEQUENCE
    seq(int(rm) + int(sm) + "0500"), // inside it
    seq(int(rm) + "02" + len(sm + "00") + sm), // an INTEGER longer than its bytes
    "3081" + seq(int(rm) + int(sm)).slice(2), // long-form length
    seq(int(r) + int("00" + keyZero)), // zero bytes beyond 32
    seq(int("0001") + int(s)), // a short non-minimal integer
    seq(int("00") + int(s)),
    seq(int(r) + int("00" + N)),
    seq(int("8" + r.slice(1)) + int(s)), // negative
  ]) assert.equal(check(bad), "signature form", bad);
});

test("an enrolment record holds for the device key over key text, record and serial", needsGen, () => {
  const finger = signed("x").publicKey;
  const dev = signed(finger + "alice_1_3" + "SN0042");
  const args = { deviceKey: dev.publicKey, publicKey: finger.toLowerCase(), record: "alice_1_3", serial: "SN0042", signinfo: dev.keyForm };
  assert.deepEqual(verifyEnrolment(args), { ok: true });
  assert.equal(verifyEnrolment({ ...args, serial: "SN0043" }).check, "signature");
  assert.equal(verifyEnrolment({ ...args, publicKey: dev.publicKey }).check, "signature");
});

test("assertions: the daemon's exact clientData with the expected origin, challenge and text", needsGen, () => {
  const members = {
    type: "fpkey.assert", origin: "https://shop.example", challenge: 'q"\\/Rt7-x~0123456789', text: 'Pay 5 € to "Bob"',
    user: "al\u001fice", finger: 1, record: "alice_1_3", serial: "SN0042", shown: "desktop",
  };
  // JSON.stringify quotes as the daemon does except \u001F, written in lower case.
  const daemonJson = (o) => JSON.stringify(o).replace("\\u001f", "\\u001F");
  const clientData = daemonJson(members);
  const v = signed(clientData);
  const expect = { publicKey: v.publicKey, clientData, signature: v.keyForm, origin: members.origin, challenge: members.challenge, text: members.text };
  const checkOf = (changes) => verifyAssertion({ ...expect, ...changes }).check;
  const { type, origin, ...rest } = members;
  assert.deepEqual(verifyAssertion(expect), { ok: true, user: "al\u001fice", finger: 1, record: "alice_1_3", serial: "SN0042", shown: "desktop" });
  assert.equal(verifyAssertion({ ...expect, clientData: Buffer.from(clientData) }).ok, true);
  assert.equal(checkOf({ origin: "https://shop.example.evil" }), "origin");
  assert.equal(checkOf({ challenge: members.challenge + "x" }), "challenge");
  assert.equal(checkOf({ text: undefined }), "text");
  assert.equal(checkOf({ signature: v.signature.slice(0, -1) + (v.signature.endsWith("0") ? "1" : "0") }), "signature");
  assert.equal(checkOf({ publicKey: signed("x").publicKey }), "signature");
  assert.equal(checkOf({ publicKey: v.publicKey.slice(0, -1) + (v.publicKey.endsWith("0") ? "1" : "0") }), "public key");
  assert.equal(checkOf({ publicKey: "04", signature: "", origin: "", clientData: "" }), "public key");
  assert.equal(checkOf({ signature: v.keyForm + "00", clientData: "" }), "signature form");
  for (const bad of [
    clientData.replace('"fpkey.assert"', '"fpkey.other"'),
    JSON.stringify({ type, ...rest, origin }),
    JSON.stringify({ ...members, extra: 1 }),
    clientData.replace('"origin":', '"origin": '),
    clientData.replace("\\u001F", "\\u001f"),
    clientData.replace("https://", "https:\\/\\/"),
    clientData.replace('"finger":1', '"finger":1.0'),
    clientData.replace('"finger":1', '"finger":11'),
    clientData.replace('"desktop"', '"phone"'),
    clientData + " ",
    Buffer.concat([Buffer.from(clientData.slice(0, 40)), Buffer.from([0xc3]), Buffer.from(clientData.slice(40))]),
  ]) assert.equal(checkOf({ clientData: bad }), "client data", String(bad));

  // The bound moves by one: exactly 4096 bytes pass, one more fails.
  const full = daemonJson({ ...members, serial: "" });
  const long = daemonJson({ ...members, serial: "S".repeat(4096 - Buffer.byteLength(full)) });
  const lv = signed(long);
  assert.equal(verifyAssertion({ ...expect, clientData: long, publicKey: lv.publicKey, signature: lv.signature }).ok, true);
  assert.equal(checkOf({ clientData: long.replace('"SSS', '"SSSS') }), "client data");
});

// Its verdicts on the key's own signatures are held against fpkey-verify's
// in the finger suite; here the usage error and the PEM only.
test("verify-cli: a usage error exits 2; pem gives a key OpenSSL reads", needsGen, () => {
  const v = signed("hello");
  const run = (...args) => spawnSync(process.execPath, [cli, ...args], { encoding: "utf8" });
  const usage = run("signature", "--public-key", v.publicKey, "--signature", v.keyForm, "--text", "hello", "--length", "6");
  assert.equal(usage.status, 2);
  assert.match(usage.stderr, /^fpkey-verify: usage: /);
  const pem = run("pem", v.publicKey);
  assert.equal(pem.status, 0);
  assert.ok(createPublicKey(pem.stdout).export({ type: "spki", format: "der" }).toString("hex").toUpperCase().endsWith(v.publicKey));
});
