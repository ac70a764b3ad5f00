// A page's code as a TypeScript user writes it against the installed
// package: it must compile, and each known slip in it must not.
import { FpKey, FpKeyError, ResultCode, type Assertion } from "fpkey";
import { verifyAssertion } from "fpkey/verify";

export async function run(challenge: string): Promise<string> {
  const key = await FpKey.connect();
  const version: string = await key.call("GetVersion");
  const [serial, type] = await key.call("GetDevInfo", [2]);
  const signature: string = await key.call("FingerSign", ["pay 100"]);
  const controller = new AbortController();
  const who = await key.loginFinger({ signal: controller.signal, timeout: 30000 });
  const asserted: Assertion = await key.assert(challenge, { text: "Pay 100.00 to Shop", timeout: 30000 });
  try {
    await key.call("DeleteUser", [who.user]);
  } catch (e) {
    if (e instanceof FpKeyError && e.code === "NOT_CONFIRMED" && e.reterr === ResultCode.NOT_CONFIRMED) return "";
  }
  const checked = verifyAssertion({
    publicKey: asserted.publicKey,
    clientData: asserted.clientData,
    signature: asserted.signature,
    origin: "https://shop.example",
    challenge,
    text: "Pay 100.00 to Shop",
  });
  return `${version} ${serial} ${type + 1} ${signature} ${checked.ok}`;
}
