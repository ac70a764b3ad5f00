// SM2 public-key encryption (with the SM3 it needs) for the demo's "Make a
// sample": the page encrypts to the key's device public key, and the key
// decrypts with "Sm2Decrypt". Output C1 || C3 || C2 without the 04 prefix:
// X (32) || Y (32) || SM3 hash (32) || cipher text. Not constant-time: a
// demonstration helper, never for real secrets.
(function () {
  "use strict";

  // ---- SM3 ----
  const rol = (x, n) => ((x << n) | (x >>> (32 - n))) >>> 0;
  const IV = [0x7380166f, 0x4914b2b9, 0x172442d7, 0xda8a0600, 0xa96f30bc, 0x163138aa, 0xe38dee4d, 0xb0fb0e4e];

  /** @param {Uint8Array} msg @returns {Uint8Array} 32-byte digest */
  function sm3(msg) {
    const bitLen = msg.length * 8;
    const padded = new Uint8Array(((msg.length + 9 + 63) >> 6) << 6);
    padded.set(msg);
    padded[msg.length] = 0x80;
    const view = new DataView(padded.buffer);
    view.setUint32(padded.length - 8, Math.floor(bitLen / 0x100000000));
    view.setUint32(padded.length - 4, bitLen >>> 0);
    const v = IV.slice();
    const w = new Array(68);
    const w1 = new Array(64);
    for (let off = 0; off < padded.length; off += 64) {
      for (let j = 0; j < 16; j++) w[j] = view.getUint32(off + 4 * j);
      for (let j = 16; j < 68; j++) {
        const x = (w[j - 16] ^ w[j - 9] ^ rol(w[j - 3], 15)) >>> 0;
        w[j] = (x ^ rol(x, 15) ^ rol(x, 23) ^ rol(w[j - 13], 7) ^ w[j - 6]) >>> 0;
      }
      for (let j = 0; j < 64; j++) w1[j] = (w[j] ^ w[j + 4]) >>> 0;
      let [a, b, c, d, e, f, g, h] = v;
      for (let j = 0; j < 64; j++) {
        const t = j < 16 ? 0x79cc4519 : 0x7a879d8a;
        const ss1 = rol((rol(a, 12) + e + rol(t, j % 32)) >>> 0, 7);
        const ss2 = (ss1 ^ rol(a, 12)) >>> 0;
        const ff = j < 16 ? a ^ b ^ c : (a & b) | (a & c) | (b & c);
        const gg = j < 16 ? e ^ f ^ g : (e & f) | (~e & g);
        const tt1 = ((ff >>> 0) + d + ss2 + w1[j]) >>> 0;
        const tt2 = ((gg >>> 0) + h + ss1 + w[j]) >>> 0;
        d = c;
        c = rol(b, 9);
        b = a;
        a = tt1;
        h = g;
        g = rol(f, 19);
        f = e;
        e = (tt2 ^ rol(tt2, 9) ^ rol(tt2, 17)) >>> 0;
      }
      const next = [a, b, c, d, e, f, g, h];
      for (let i = 0; i < 8; i++) v[i] = (v[i] ^ next[i]) >>> 0;
    }
    const out = new Uint8Array(32);
    const ov = new DataView(out.buffer);
    v.forEach((x, i) => ov.setUint32(4 * i, x));
    return out;
  }

  // ---- the recommended 256-bit curve ----
  const P = BigInt("0xFFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFF");
  const A = P - 3n;
  const N = BigInt("0xFFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54123");
  const G = [BigInt("0x32C4AE2C1F1981195F9904466A39C9948FE30BBFF2660BE1715A4589334C74C7"),
             BigInt("0xBC3736A2F4F6779C59BDCEE36B692153D0A9877CC62A474002DF32E52139F0A0")];
  const B = BigInt("0x28E9FA9E9D9F5E344D5A9E4BCF6509A7F39789F515AB8F92DDBCBD414D940E93");

  const mod = (x) => ((x % P) + P) % P;
  function inv(x) {
    let [a, b, u] = [mod(x), P, 1n];
    let v = 0n;
    while (a !== 1n) {
      const q = b / a;
      [a, b] = [b - q * a, a];
      [u, v] = [v - q * u, u];
    }
    return mod(u);
  }
  // Affine points; null is the point at infinity.
  function add(p, q) {
    if (!p) return q;
    if (!q) return p;
    let l;
    if (p[0] === q[0]) {
      if (mod(p[1] + q[1]) === 0n) return null;
      l = mod((3n * p[0] * p[0] + A) * inv(2n * p[1]));
    } else {
      l = mod((q[1] - p[1]) * inv(q[0] - p[0]));
    }
    const x = mod(l * l - p[0] - q[0]);
    return [x, mod(l * (p[0] - x) - p[1])];
  }
  function mul(k, p) {
    let r = null;
    for (let bit = BigInt(k.toString(2).length - 1); bit >= 0n; bit--) {
      r = add(r, r);
      if ((k >> bit) & 1n) r = add(r, p);
    }
    return r;
  }

  const toBytes = (x) => {
    const out = new Uint8Array(32);
    for (let i = 31; i >= 0; i--, x >>= 8n) out[i] = Number(x & 255n);
    return out;
  };
  const fromBytes = (b) => b.reduce((acc, x) => (acc << 8n) | BigInt(x), 0n);
  const cat = (...parts) => {
    const out = new Uint8Array(parts.reduce((n, p) => n + p.length, 0));
    let off = 0;
    for (const p of parts) { out.set(p, off); off += p.length; }
    return out;
  };

  function kdf(z, len) {
    const out = new Uint8Array(len);
    for (let ct = 1, off = 0; off < len; ct++, off += 32) {
      const c = new Uint8Array([ct >>> 24, (ct >>> 16) & 255, (ct >>> 8) & 255, ct & 255]);
      out.set(sm3(cat(z, c)).subarray(0, Math.min(32, len - off)), off);
    }
    return out;
  }

  function randomScalar() {
    for (;;) {
      const k = fromBytes(crypto.getRandomValues(new Uint8Array(32)));
      if (k > 0n && k < N) return k;
    }
  }

  /**
   * @param {Uint8Array} pub 65 bytes 04 || X || Y (or 64 without the 04)
   * @param {Uint8Array} msg
   * @param {bigint} [k] the ephemeral scalar (random when absent)
   * @returns {Uint8Array} X1 || Y1 || C3 || C2
   */
  function encrypt(pub, msg, k) {
    const raw = pub.length === 65 ? pub.subarray(1) : pub;
    const Q = [fromBytes(raw.subarray(0, 32)), fromBytes(raw.subarray(32, 64))];
    if (mod(Q[1] * Q[1] - (Q[0] * Q[0] * Q[0] + A * Q[0] + B)) !== 0n) throw new Error("not a point of the curve");
    for (;;) {
      const kk = k ?? randomScalar();
      const c1 = mul(kk, G);
      const s = mul(kk, Q);
      const x2 = toBytes(s[0]);
      const y2 = toBytes(s[1]);
      const t = kdf(cat(x2, y2), msg.length);
      if (msg.length && t.every((b) => b === 0)) {
        if (k !== undefined) throw new Error("key stream is zero");
        continue;
      }
      const c2 = msg.map((b, i) => b ^ t[i]);
      const c3 = sm3(cat(x2, msg, y2));
      return cat(toBytes(c1[0]), toBytes(c1[1]), c3, c2);
    }
  }

  globalThis.demoSm2 = { sm3, encrypt };
})();
