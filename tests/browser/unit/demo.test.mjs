// The demo's helpers: the classic copy of fpkey.js must match the module,
// and the page's SM4 sample must be what the key can decrypt.
import { test } from "node:test";
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import { createDecipheriv, getCiphers, webcrypto } from "node:crypto";
import { execFileSync } from "node:child_process";
import { mkdtempSync, writeFileSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import vm from "node:vm";
import { toClassic } from "../../../web/build-classic.mjs";

const web = new URL("../../../web/", import.meta.url);
const read = (p) => readFileSync(new URL(p, web), "utf8");

test("demo/fpkey.classic.js is the current fpkey.js and exposes the module's exports", () => {
  assert.equal(read("demo/fpkey.classic.js"), toClassic(read("fpkey.js")),
               "stale copy: run node web/build-classic.mjs");
  const sandbox = { WebSocket: function () {} };
  sandbox.globalThis = sandbox;
  vm.runInNewContext(read("demo/fpkey.classic.js"), sandbox);
  const { FpKey, ResultCode, FpKeyError, messageOf, DEFAULT_URL } = sandbox.fpkey;
  assert.equal(typeof FpKey.connect, "function");
  assert.equal(ResultCode.PENDING, -63);
  assert.equal(new FpKeyError(5, "user canceled", "CancelEnroll").reterr, 5);
  assert.equal(messageOf(122), "App user locked");
  assert.equal(DEFAULT_URL, "ws://127.0.0.1:11230/websocket");
});

function loadSm4() {
  const sandbox = {};
  sandbox.globalThis = sandbox;
  vm.runInNewContext(read("demo/sm4.js"), sandbox);
  return sandbox.demoSm4;
}
const hex = (s) => Uint8Array.from(Buffer.from(s, "hex"));

test("the page's SM4 gives the published vector and decrypts with OpenSSL at every padding length", () => {
  const sm4 = loadSm4();
  const k = hex("0123456789abcdeffedcba9876543210");
  assert.equal(Buffer.from(sm4.encryptBlock(k, k)).toString("hex"), "681edf34d206965e86b3e94f536e4246");
  if (!getCiphers().includes("sm4-ecb")) return; // OpenSSL without SM4: vector only
  for (const len of [0, 1, 15, 16, 17, 31, 32, 33, 100]) {
    const plain = Buffer.alloc(len, 0x41 + (len % 26));
    const c = sm4.encryptEcbPkcs7(k, plain);
    assert.equal(c.length, (Math.floor(len / 16) + 1) * 16);
    const d = createDecipheriv("sm4-ecb", k, null);
    assert.deepEqual(Buffer.concat([d.update(c), d.final()]), plain, `length ${len}`);
  }
});

function loadSm2() {
  const sandbox = { crypto: webcrypto };
  sandbox.globalThis = sandbox;
  vm.runInNewContext(read("demo/sm2.js"), sandbox);
  return sandbox.demoSm2;
}

test("the page's SM3 gives the published digests", () => {
  const { sm3 } = loadSm2();
  const h = (s) => Buffer.from(sm3(new TextEncoder().encode(s))).toString("hex");
  assert.equal(h("abc"), "66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0");
  assert.equal(h("abcd".repeat(16)), "debe9ff92275b8a138604889c18e5a4d6fdb70e5387e5765293dcba39c0c5732");
});

// C1 || C3 || C2 as the ASN.1 form the openssl CLI reads.
function toAsn1(c) {
  const int = (b) => {
    let i = 0;
    while (i < 31 && b[i] === 0) i++;
    b = b.subarray(i);
    if (b[0] & 0x80) b = Buffer.concat([Buffer.from([0]), b]);
    return Buffer.concat([Buffer.from([2, b.length]), b]);
  };
  const len = (n) => (n < 128 ? Buffer.from([n]) : Buffer.from([0x81, n]));
  const oct = (b) => Buffer.concat([Buffer.from([4]), len(b.length), b]);
  const body = Buffer.concat([int(c.subarray(0, 32)), int(c.subarray(32, 64)), oct(c.subarray(64, 96)), oct(c.subarray(96))]);
  return Buffer.concat([Buffer.from([0x30]), len(body.length), body]);
}

test("what the page encrypts with SM2, OpenSSL decrypts with the private key", (t) => {
  try {
    execFileSync("openssl", ["version"], { stdio: "ignore" });
  } catch {
    t.skip("no openssl CLI");
    return;
  }
  const { encrypt } = loadSm2();
  const dir = mkdtempSync(join(tmpdir(), "fpkey-sm2-"));
  try {
    execFileSync("openssl", ["genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:SM2", "-out", join(dir, "k.pem")]);
    const spki = execFileSync("openssl", ["pkey", "-in", join(dir, "k.pem"), "-pubout", "-outform", "DER"]);
    const pub = new Uint8Array(spki.subarray(spki.length - 65));
    for (const len of [1, 31, 32, 33, 100]) {
      const plain = Buffer.alloc(len, 0x61 + (len % 26));
      const c = Buffer.from(encrypt(pub, new Uint8Array(plain)));
      assert.equal(c.length, 96 + len);
      writeFileSync(join(dir, "c.der"), toAsn1(c));
      const out = execFileSync("openssl", ["pkeyutl", "-decrypt", "-inkey", join(dir, "k.pem"), "-in", join(dir, "c.der")]);
      assert.deepEqual(out, plain, `length ${len}`);
    }
    assert.throws(() => encrypt(new Uint8Array(65).fill(4), new Uint8Array([1])), /not a point/);
  } finally {
    rmSync(dir, { recursive: true, force: true });
  }
});
