// The demo's helpers: the classic copy of fpkey.js must match the module,
// and the page's SM4 sample must be what the key can decrypt.
import { test } from "node:test";
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import { createDecipheriv, getCiphers } from "node:crypto";
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
