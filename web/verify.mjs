// verify.mjs - check on a server what an fpkey security key signed.
//
//   import { verifyAssertion } from "./verify.mjs";
//   const r = verifyAssertion({ publicKey: storedKey, clientData, signature, origin, challenge });
//   if (!r.ok) refuse(`${r.check}: ${r.reason}`); else logIn(r.user, r.finger);
//
// SM2 signatures over SM3(Z || M) on the curve sm2p256v1, in BigInt. No
// dependencies; runs as it is in Node 20+ and in browsers. It handles only
// public values, so nothing here needs to run in constant time.

const UTF8 = new TextEncoder();

/** The signer ID every signature of the key uses. */
export const DEFAULT_SIGNER_ID = "1234567812345678";
/** The longest clientData the daemon can write, with room to spare. */
export const MAX_CLIENT_DATA = 4096;

// ---- SM3 ----

const IV = Uint32Array.of(
  0x7380166f, 0x4914b2b9, 0x172442d7, 0xda8a0600, 0xa96f30bc, 0x163138aa, 0xe38dee4d, 0xb0fb0e4e);
// T_j rotated left by j mod 32, as each round adds it.
const TJ = new Int32Array(64);
for (let j = 0; j < 64; j++) {
  const t = j < 16 ? 0x79cc4519 : 0x7a879d8a;
  const n = j % 32;
  TJ[j] = n === 0 ? t : (t << n) | (t >>> (32 - n));
}

const rotl = (x, n) => (x << n) | (x >>> (32 - n));

function compress(v, w, block, off) {
  for (let j = 0; j < 16; j++, off += 4) {
    w[j] = (block[off] << 24) | (block[off + 1] << 16) | (block[off + 2] << 8) | block[off + 3];
  }
  for (let j = 16; j < 68; j++) {
    const x = w[j - 16] ^ w[j - 9] ^ rotl(w[j - 3], 15);
    w[j] = x ^ rotl(x, 15) ^ rotl(x, 23) ^ rotl(w[j - 13], 7) ^ w[j - 6];
  }
  let a = v[0], b = v[1], c = v[2], d = v[3], e = v[4], f = v[5], g = v[6], h = v[7];
  for (let j = 0; j < 64; j++) {
    const a12 = rotl(a, 12);
    const ss1 = rotl((a12 + e + TJ[j]) | 0, 7);
    const ss2 = ss1 ^ a12;
    const ff = j < 16 ? a ^ b ^ c : (a & b) | (a & c) | (b & c);
    const gg = j < 16 ? e ^ f ^ g : (e & f) | (~e & g);
    const tt1 = (ff + d + ss2 + (w[j] ^ w[j + 4])) | 0;
    const tt2 = (gg + h + ss1 + w[j]) | 0;
    d = c;
    c = rotl(b, 9);
    b = a;
    a = tt1;
    h = g;
    g = rotl(f, 19);
    f = e;
    e = tt2 ^ rotl(tt2, 9) ^ rotl(tt2, 17);
  }
  v[0] ^= a; v[1] ^= b; v[2] ^= c; v[3] ^= d; v[4] ^= e; v[5] ^= f; v[6] ^= g; v[7] ^= h;
}

/**
 * SM3 digest (GM/T 0004).
 * @param {Uint8Array} bytes
 * @returns {Uint8Array} 32 bytes
 */
export function sm3(bytes) {
  if (!(bytes instanceof Uint8Array)) throw new TypeError("sm3: bytes must be a Uint8Array");
  const v = new Int32Array(IV);
  const w = new Int32Array(68);
  const whole = bytes.length - (bytes.length % 64);
  for (let off = 0; off < whole; off += 64) compress(v, w, bytes, off);
  // The tail, the 0x80 marker and the 64-bit bit length fill one or two blocks.
  const tail = new Uint8Array(bytes.length - whole < 56 ? 64 : 128);
  tail.set(bytes.subarray(whole));
  tail[bytes.length - whole] = 0x80;
  const bits = bytes.length * 8;
  const view = new DataView(tail.buffer);
  view.setUint32(tail.length - 8, Math.floor(bits / 0x100000000));
  view.setUint32(tail.length - 4, bits >>> 0);
  for (let off = 0; off < tail.length; off += 64) compress(v, w, tail, off);
  const out = new Uint8Array(32);
  const ov = new DataView(out.buffer);
  for (let i = 0; i < 8; i++) ov.setInt32(4 * i, v[i]);
  return out;
}

// ---- the curve sm2p256v1 (a = p - 3, cofactor 1) ----

const P = 0xfffffffeffffffffffffffffffffffffffffffff00000000ffffffffffffffffn;
const A = P - 3n;
const B = 0x28e9fa9e9d9f5e344d5a9e4bcf6509a7f39789f515ab8f92ddbcbd414d940e93n;
const N = 0xfffffffeffffffffffffffffffffffff7203df6b21c6052b53bbf40939d54123n;
const GX = 0x32c4ae2c1f1981195f9904466a39c9948fe30bbff2660be1715a4589334c74c7n;
const GY = 0xbc3736a2f4f6779c59bdcee36b692153d0a9877cc62a474002df32e52139f0a0n;

const modP = (x) => {
  const r = x % P;
  return r < 0n ? r + P : r;
};

function invert(x, m) {
  let r0 = m, r1 = x % m, t0 = 0n, t1 = 1n;
  if (r1 < 0n) r1 += m;
  while (r1 !== 0n) {
    const q = r0 / r1;
    [r0, r1] = [r1, r0 - q * r1];
    [t0, t1] = [t1, t0 - q * t1];
  }
  if (r0 !== 1n) throw new RangeError("not invertible");
  return t0 < 0n ? t0 + m : t0;
}

// Jacobian points [X, Y, Z] stand for (X/Z^2, Y/Z^3); Z = 0 is infinity.
// Doubling with a = -3 (3M + 5S).
function double(x1, y1, z1) {
  const delta = (z1 * z1) % P;
  const gamma = (y1 * y1) % P;
  const beta = (x1 * gamma) % P;
  const alpha = modP(3n * (x1 - delta) * (x1 + delta));
  const x3 = modP(alpha * alpha - 8n * beta);
  const z3 = modP((y1 + z1) * (y1 + z1) - gamma - delta);
  const y3 = modP(alpha * (4n * beta - x3) - 8n * ((gamma * gamma) % P));
  return [x3, y3, z3];
}

// Jacobian plus affine (x2, y2) (7M + 4S).
function addAffine(x1, y1, z1, x2, y2) {
  if (z1 === 0n) return [x2, y2, 1n];
  const z1z1 = (z1 * z1) % P;
  const u2 = (x2 * z1z1) % P;
  const s2 = (((y2 * z1) % P) * z1z1) % P;
  const h = modP(u2 - x1);
  const r = modP(2n * (s2 - y1));
  if (h === 0n) return r === 0n ? double(x2, y2, 1n) : [1n, 1n, 0n];
  const hh = (h * h) % P;
  const i = 4n * hh;
  const j = (h * i) % P;
  const v = (x1 * i) % P;
  const x3 = modP(r * r - j - 2n * v);
  const y3 = modP(r * (v - x3) - ((2n * y1 * j) % P));
  const z3 = modP((z1 + h) * (z1 + h) - z1z1 - hh);
  return [x3, y3, z3];
}

// Affine forms of finite Jacobian points with one inversion.
function toAffine(points) {
  const prefix = new Array(points.length);
  let acc = 1n;
  for (let i = 0; i < points.length; i++) {
    prefix[i] = acc;
    acc = (acc * points[i][2]) % P;
  }
  let inv = invert(acc, P);
  const out = new Array(points.length);
  for (let i = points.length - 1; i >= 0; i--) {
    const [x, y, z] = points[i];
    const zi = (inv * prefix[i]) % P;
    inv = (inv * z) % P;
    const zi2 = (zi * zi) % P;
    out[i] = [(x * zi2) % P, (((y * zi2) % P) * zi) % P];
  }
  return out;
}

// Odd multiples 1, 3, ..., 2^(w-1) - 1 of an affine point, affine.
function oddMultiples(x, y, w) {
  const count = 1 << (w - 2);
  const [dx, dy] = toAffine([double(x, y, 1n)])[0];
  const jac = [[x, y, 1n]];
  for (let i = 1; i < count; i++) jac.push(addAffine(...jac[i - 1], dx, dy));
  return toAffine(jac);
}

// Width-w NAF digits of k, least significant first.
function naf(k, w) {
  const full = 1n << BigInt(w);
  const half = full >> 1n;
  const digits = [];
  while (k > 0n) {
    let d = 0n;
    if (k & 1n) {
      d = k & (full - 1n);
      if (d >= half) d -= full;
      k -= d;
    }
    digits.push(Number(d));
    k >>= 1n;
  }
  return digits;
}

// The generator's table is built on first use and kept: a wide window
// saves additions in every check after the first.
const G_WINDOW = 8;
const P_WINDOW = 5;
let gTable = null;

// Adds d times the table's point, d odd and of either sign.
function addDigit(x, y, z, d, table) {
  const [tx, ty] = table[(Math.abs(d) - 1) >> 1];
  return addAffine(x, y, z, tx, d > 0 ? ty : P - ty);
}

// u1*G + u2*Q (Q affine, on the curve), interleaving both NAFs over one
// chain of doublings. Returns the affine x, or null for infinity.
function mulAdd(u1, u2, qx, qy) {
  if (gTable === null) gTable = oddMultiples(GX, GY, G_WINDOW);
  const qTable = oddMultiples(qx, qy, P_WINDOW);
  const d1 = naf(u1, G_WINDOW);
  const d2 = naf(u2, P_WINDOW);
  let x = 1n, y = 1n, z = 0n;
  for (let i = Math.max(d1.length, d2.length) - 1; i >= 0; i--) {
    if (z !== 0n) [x, y, z] = double(x, y, z);
    if (d1[i]) [x, y, z] = addDigit(x, y, z, d1[i], gTable);
    if (d2[i]) [x, y, z] = addDigit(x, y, z, d2[i], qTable);
  }
  if (z === 0n) return null;
  const zi = invert(z, P);
  return (x * ((zi * zi) % P)) % P;
}

// ---- text forms ----

const HEX = /^[0-9A-Fa-f]*$/;

function hexBytes(text) {
  const out = new Uint8Array(text.length / 2);
  for (let i = 0; i < out.length; i++) out[i] = parseInt(text.slice(2 * i, 2 * i + 2), 16);
  return out;
}

const bigOf = (bytes) => {
  let v = 0n;
  for (const b of bytes) v = (v << 8n) | BigInt(b);
  return v;
};

function be32(v) {
  const out = new Uint8Array(32);
  for (let i = 31; i >= 0; i--, v >>= 8n) out[i] = Number(v & 0xffn);
  return out;
}

const fail = (check, reason) => ({ ok: false, check, reason });

// "04" || X || Y, 130 hex digits of either case; the point must lie on the
// curve (cofactor 1: every such point is in the signing group).
function parsePublicKey(hex) {
  if (typeof hex !== "string" || hex.length !== 130 || !hex.startsWith("04") || !HEX.test(hex)) {
    return fail("public key", "not 130 hex digits beginning 04");
  }
  const x = BigInt("0x" + hex.slice(2, 66));
  const y = BigInt("0x" + hex.slice(66));
  if (x >= P || y >= P) return fail("public key", "a coordinate is not below the field prime");
  if (modP(y * y - (x * x * x + A * x + B)) !== 0n) return fail("public key", "not a point on the curve");
  return { ok: true, x, y };
}

// One INTEGER of the signature at pos: minimal DER, or the key's own form
// (exactly 32 bytes, zero bytes kept, 0x00 prefix only before a high bit).
function readInteger(der, pos) {
  if (pos + 2 > der.length || der[pos] !== 0x02) return null;
  const len = der[pos + 1];
  if (len < 1 || len > 33 || pos + 2 + len > der.length) return null;
  const v = der.subarray(pos + 2, pos + 2 + len);
  if (v[0] & 0x80) return null; // negative
  const minimal = len === 1 || v[0] !== 0 || (v[1] & 0x80) !== 0;
  const keyForm = len === 32 || (len === 33 && (v[1] & 0x80) !== 0);
  if (!minimal && !keyForm) return null;
  return { value: bigOf(v), next: pos + 2 + len };
}

function parseSignature(hex) {
  // 72 bytes is the longest form: two 33-byte integers.
  if (typeof hex !== "string" || hex.length % 2 !== 0) return fail("signature form", "not a text of whole bytes in hex");
  if (hex.length > 144) return fail("signature form", "longer than the longest signature, 72 bytes");
  if (!HEX.test(hex)) return fail("signature form", "not hex");
  const der = hexBytes(hex);
  if (der.length < 8 || der[0] !== 0x30 || der[1] !== der.length - 2) {
    return fail("signature form", "not one DER SEQUENCE filling the text");
  }
  const r = readInteger(der, 2);
  const s = r && readInteger(der, r.next);
  if (!s) return fail("signature form", "not two DER INTEGERs in minimal or 32-byte form");
  if (s.next !== der.length) return fail("signature form", "bytes after the second INTEGER");
  for (const v of [r.value, s.value]) {
    if (v < 1n || v >= N) return fail("signature form", "r or s outside 1..n-1");
  }
  return { ok: true, r: r.value, s: s.value };
}

function idBytes(signerId) {
  const id = typeof signerId === "string" ? UTF8.encode(signerId) : signerId;
  if (!(id instanceof Uint8Array)) throw new TypeError("signerId must be a string or a Uint8Array");
  if (id.length > 8191) throw new TypeError("signerId is longer than 8191 bytes");
  return id;
}

// e = SM3(Z || M), Z = SM3(ENTL || ID || a || b || xG || yG || xA || yA).
function digest(id, x, y, message) {
  const za = new Uint8Array(2 + id.length + 6 * 32);
  za[0] = (id.length * 8) >> 8;
  za[1] = (id.length * 8) & 0xff;
  za.set(id, 2);
  [A, B, GX, GY, x, y].forEach((v, i) => za.set(be32(v), 2 + id.length + 32 * i));
  const input = new Uint8Array(32 + message.length);
  input.set(sm3(za));
  input.set(message, 32);
  return bigOf(sm3(input));
}

function checkSm2(key, sig, id, message) {
  const t = (sig.r + sig.s) % N;
  if (t === 0n) return fail("signature", "r + s is a multiple of n");
  const x1 = mulAdd(sig.s, t, key.x, key.y);
  if (x1 === null || (digest(id, key.x, key.y, message) + x1) % N !== sig.r) {
    return fail("signature", "the signature does not hold for this key and message");
  }
  return { ok: true };
}

function messageBytes(message) {
  if (typeof message === "string") return UTF8.encode(message);
  if (message instanceof Uint8Array) return message;
  throw new TypeError("message must be a string or a Uint8Array");
}

/**
 * Checks an SM2 signature over SM3(Z || M) made by FactorySign, DeviceSign
 * or FingerSign.
 * @param {object} args
 * @param {string} args.publicKey signer's key: 130 hex digits "04" || X || Y, either case
 * @param {string|Uint8Array} args.message the text (its UTF-8 bytes are signed) or the bytes
 * @param {string} args.signature DER hex: minimal DER or the key's 32-byte integers
 * @param {string|Uint8Array} [args.signerId] signer ID, "1234567812345678" unless given
 * @param {number} [args.length] > 0: only the message's first `length` bytes were signed
 * @returns {{ok: true} | {ok: false, check: "public key"|"signature form"|"signature", reason: string}}
 * @throws {TypeError} for a caller's mistake: a message or signer ID of another type, or a
 *   length that is not an integer 0..message's byte length
 */
export function verifySignature({ publicKey, message, signature, signerId = DEFAULT_SIGNER_ID, length = 0 }) {
  let m = messageBytes(message);
  if (!Number.isSafeInteger(length) || length < 0 || length > m.length) {
    throw new TypeError(`length must be an integer from 0 to the message's ${m.length} bytes`);
  }
  if (length > 0) m = m.subarray(0, length);
  const id = idBytes(signerId);
  const key = parsePublicKey(publicKey);
  if (!key.ok) return key;
  const sig = parseSignature(signature);
  if (!sig.ok) return sig;
  return checkSm2(key, sig, id, m);
}

/**
 * Checks an enrolment record: the device key's signature over the new
 * finger's public key text (upper case, as the key wrote it), the record
 * name and the key's serial.
 * @param {object} args
 * @param {string} args.deviceKey the key's device public key (130 hex digits)
 * @param {string} args.publicKey the enrolled finger's public key (130 hex digits, either case)
 * @param {string} args.record record name, e.g. "alice_1_3"
 * @param {string} args.serial the key's serial as GetDevInfo reports it
 * @param {string} args.signinfo the record's signature (DER hex)
 * @returns {{ok: true} | {ok: false, check: "public key"|"signature form"|"signature", reason: string}}
 * @throws {TypeError} when record or serial is not a string
 */
export function verifyEnrolment({ deviceKey, publicKey, record, serial, signinfo }) {
  if (typeof record !== "string" || typeof serial !== "string") {
    throw new TypeError("record and serial must be strings");
  }
  const device = parsePublicKey(deviceKey);
  if (!device.ok) return device;
  const enrolled = parsePublicKey(publicKey);
  if (!enrolled.ok) return enrolled;
  const sig = parseSignature(signinfo);
  if (!sig.ok) return sig;
  const message = UTF8.encode(publicKey.toUpperCase() + record + serial);
  return checkSm2(device, sig, UTF8.encode(DEFAULT_SIGNER_ID), message);
}

// ---- clientData ----

const PREFIX = UTF8.encode('{"type":"fpkey.assert"');
const MEMBERS = ["type", "origin", "challenge", "text", "user", "finger", "record", "serial", "shown"];
const ESCAPES = { '"': '\\"', "\\": "\\\\", "\b": "\\b", "\f": "\\f", "\n": "\\n", "\r": "\\r", "\t": "\\t" };

// A string as the daemon's writer quotes it.
function quote(s) {
  return '"' + s.replace(/["\\\u0000-\u001f]/g, (c) =>
    ESCAPES[c] ?? "\\u00" + c.charCodeAt(0).toString(16).toUpperCase().padStart(2, "0")) + '"';
}

const sameBytes = (a, b) => a.length === b.length && a.every((v, i) => v === b[i]);

// The clientData's members, only when the bytes are exactly what the daemon
// writes: parsed, then written again and compared, so spacing, escapes,
// number forms, duplicate or extra members all fail.
function parseClientData(bytes) {
  const bad = (reason) => fail("client data", reason);
  if (bytes.length > MAX_CLIENT_DATA) return bad(`longer than ${MAX_CLIENT_DATA} bytes`);
  if (!sameBytes(bytes.subarray(0, PREFIX.length), PREFIX)) return bad('does not begin {"type":"fpkey.assert"');
  let c;
  try {
    c = JSON.parse(new TextDecoder("utf-8", { fatal: true, ignoreBOM: true }).decode(bytes));
  } catch {
    return bad("not UTF-8 JSON");
  }
  if (c === null || typeof c !== "object" || Array.isArray(c)) return bad("not a JSON object");
  const names = Object.keys(c);
  if (names.length !== MEMBERS.length || names.some((k, i) => k !== MEMBERS[i])) {
    return bad(`members are not exactly ${MEMBERS.join(",")} in that order`);
  }
  if (c.type !== "fpkey.assert") return bad("type is not fpkey.assert");
  for (const k of ["origin", "challenge", "text", "user", "record", "serial"]) {
    if (typeof c[k] !== "string") return bad(`${k} is not a string`);
  }
  if (!Number.isInteger(c.finger) || c.finger < 1 || c.finger > 10) return bad("finger is not an integer 1..10");
  if (c.shown !== "desktop" && c.shown !== "page") return bad("shown is neither desktop nor page");
  const again = "{" + MEMBERS.map((k) => quote(k) + ":" + (k === "finger" ? String(c.finger) : quote(c[k]))).join(",") + "}";
  if (!sameBytes(UTF8.encode(again), bytes)) return bad("not in the daemon's exact form (spacing, escapes or numbers)");
  return { ok: true, data: c };
}

/**
 * Checks a FingerAssert result: the clientData is the daemon's, names the
 * expected origin, challenge and text, and the finger's key (the one stored
 * at enrolment) signed its exact bytes. Checks run in this order: public
 * key, signature form, client data, origin, challenge, text, signature.
 * @param {object} args
 * @param {string} args.publicKey the finger's public key stored at enrolment (130 hex digits)
 * @param {string|Uint8Array} args.clientData as returned (at most 4096 bytes)
 * @param {string} args.signature as returned (DER hex)
 * @param {string} args.origin the site the assertion must name ("local" for a local program)
 * @param {string} args.challenge the challenge this server issued
 * @param {string} [args.text] the text the user must have been shown; "" (a sign-in) by default
 * @returns {{ok: true, user: string, finger: number, record: string, serial: string, shown: "desktop"|"page"}
 *   | {ok: false, check: "public key"|"signature form"|"client data"|"origin"|"challenge"|"text"|"signature",
 *      reason: string}}
 * @throws {TypeError} when origin, challenge or text is not a string
 */
export function verifyAssertion({ publicKey, clientData, signature, origin, challenge, text = "" }) {
  for (const [k, v] of Object.entries({ origin, challenge, text })) {
    if (typeof v !== "string") throw new TypeError(`${k} must be a string`);
  }
  const key = parsePublicKey(publicKey);
  if (!key.ok) return key;
  const sig = parseSignature(signature);
  if (!sig.ok) return sig;
  let bytes = clientData;
  if (typeof clientData === "string") {
    // Bound before encoding: UTF-8 is never shorter than the UTF-16 count.
    if (clientData.length > MAX_CLIENT_DATA) return fail("client data", `longer than ${MAX_CLIENT_DATA} bytes`);
    bytes = UTF8.encode(clientData);
  } else if (!(clientData instanceof Uint8Array)) {
    return fail("client data", "neither a string nor bytes");
  }
  const parsed = parseClientData(bytes);
  if (!parsed.ok) return parsed;
  const c = parsed.data;
  if (c.origin !== origin) return fail("origin", "the assertion names another origin");
  if (c.challenge !== challenge) return fail("challenge", "the assertion answers another challenge");
  if (c.text !== text) return fail("text", "the user was shown another text");
  const sm2 = checkSm2(key, sig, UTF8.encode(DEFAULT_SIGNER_ID), bytes);
  if (!sm2.ok) return sm2;
  return { ok: true, user: c.user, finger: c.finger, record: c.record, serial: c.serial, shown: c.shown };
}

/**
 * Checks a public key's text, e.g. before a server stores the key that
 * enrolment returned.
 * @param {string} hex 130 hex digits "04" || X || Y, either case
 * @returns {{ok: true} | {ok: false, check: "public key", reason: string}}
 */
export function checkPublicKey(hex) {
  const key = parsePublicKey(hex);
  return key.ok ? { ok: true } : key;
}

/**
 * The key's public key as a SubjectPublicKeyInfo PEM (id-ecPublicKey on the
 * SM2 curve, OID 1.2.156.10197.1.301), for OpenSSL and other tools.
 * @param {string} hex 130 hex digits "04" || X || Y, either case
 * @returns {string} "-----BEGIN PUBLIC KEY-----\n...\n-----END PUBLIC KEY-----\n"
 * @throws {TypeError} when hex is not a point on the curve
 */
export function publicKeyPem(hex) {
  const key = parsePublicKey(hex);
  if (!key.ok) throw new TypeError(`public key: ${key.reason}`);
  const der = "3059301306072A8648CE3D020106082A811CCF5501822D034200" + hex;
  const b64 = btoa(String.fromCharCode(...hexBytes(der)));
  return `-----BEGIN PUBLIC KEY-----\n${b64.match(/.{1,64}/g).join("\n")}\n-----END PUBLIC KEY-----\n`;
}
