// How long web/verify.mjs takes for one SM2 check, as a ratio against the
// same number of ECDSA P-256 checks by Node's built-in crypto (OpenSSL) in
// the same process: the price of a verifier without dependencies.
//
//   node bench/web/verify_bench.mjs PATH/TO/fpk-sm2-vectors [COUNT]
import { execFileSync } from "node:child_process";
import { createSign, createVerify, generateKeyPairSync } from "node:crypto";
import { verifySignature } from "../../web/verify.mjs";

const [gen, countArg] = process.argv.slice(2);
if (!gen) {
  console.error("usage: node bench/web/verify_bench.mjs PATH/TO/fpk-sm2-vectors [COUNT]");
  process.exit(2);
}
const count = Number(countArg || 500);
const vectors = execFileSync(gen, [String(count), "1"], { encoding: "utf8", maxBuffer: 1 << 26 })
  .trim().split("\n").map((l) => JSON.parse(l)).filter((v) => v.valid);
const inputs = vectors.map((v) => ({ publicKey: v.publicKey, message: Buffer.from(v.message, "hex"),
                                     signature: v.signature, signerId: v.id }));

const { privateKey, publicKey } = generateKeyPairSync("ec", { namedCurve: "P-256" });
const native = inputs.map(({ message }) => {
  const s = createSign("SHA256");
  s.update(message);
  return { message, signature: s.sign(privateKey) };
});

function time(run) {
  const start = process.hrtime.bigint();
  run();
  return Number(process.hrtime.bigint() - start) / 1e6;
}

// A first pass of each warms the JIT and verify.mjs's table.
for (const v of inputs.slice(0, 20)) verifySignature(v);
let ok = 0;
const ours = time(() => { for (const v of inputs) ok += verifySignature(v).ok; });
const base = time(() => {
  for (const { message, signature } of native) {
    const v = createVerify("SHA256");
    v.update(message);
    v.verify(publicKey, signature);
  }
});
if (ok !== inputs.length) throw new Error(`${inputs.length - ok} good signatures refused`);
console.log(`${inputs.length} checks: verify.mjs ${(ours / inputs.length).toFixed(3)} ms each, ` +
            `Node crypto ECDSA P-256 ${(base / inputs.length).toFixed(3)} ms each, ratio ${(ours / base).toFixed(1)}`);
