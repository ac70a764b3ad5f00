// The example relying party (examples/relying-party) end to end in a real
// browser: a provisioned virtual key, fpkeyd allowing the example's origin,
// the example's server on a free port, its page in Chromium or Firefox. The
// page enrols a finger while the test touches the sensor, signs in and
// confirms a payment with a touch each; the server must say who signed in
// and that it was paid, and refuse the sign-in's statement sent again.
//
// node relying-party.mjs --engine chromium|firefox --fpkeyd BIN --vkey BIN --provision BIN --artifacts DIR
// Exit: 0 passed, 1 failed, 77 skipped (the reason is printed).
import { dirname, join } from "node:path";
import { fileURLToPath } from "node:url";
import { Stage, Skip, Failure, freePort, sleep, waitFor } from "./lib/stage.mjs";

const SERVER = join(dirname(fileURLToPath(import.meta.url)), "..", "..", "examples", "relying-party", "server.mjs");
const stage = new Stage("relying-party");

stage.run(async () => {
  await stage.needDaemonAndBrowser();
  const { provisioned } = await stage.startKey();
  if (!provisioned) throw new Skip("fpkey-provision not built: a blank key cannot enrol");

  const rpPort = await freePort();
  const origin = `http://127.0.0.1:${rpPort}`;
  await stage.startListening("relying party", process.execPath, [SERVER, "--port", String(rpPort)], rpPort);
  const port = await stage.startDaemon(origin);
  const page = await stage.openPage({ width: 1000, height: 1200 });
  const text = (sel) => page.$eval(sel, (el) => el.textContent);
  // Waits for the page's status line to show `state`, and returns it.
  const statusIs = async (state) => {
    await page.waitForSelector(`#status[data-state=${state}]`, { timeout: 30000 });
    return text("#status");
  };
  // Waits for the step to end; the page says why when it did not succeed.
  const finished = async (expected) => {
    await page.waitForSelector("#status[data-state=ok], #status[data-state=error]", { timeout: 30000 });
    const said = await text("#status");
    if (said !== expected) throw new Failure(`the page says '${said}', expected '${expected}' (server: ${await text("#answer")})`);
  };
  // Touches once the key's question is on the page: a touch sooner than a
  // person could read it is not taken.
  const confirmWith = async (finger, expected) => {
    const asked = await statusIs("touch");
    if (asked !== expected) throw new Failure(`the page shows '${asked}', expected '${expected}'`);
    await stage.snap(expected.replace(/\W+/g, "-").toLowerCase());
    await sleep(700);
    stage.touch(finger);
  };

  await page.goto(`${origin}/?port=${port}`);

  // Enrolment: six captures, each after the page counted the last.
  await page.fill("#user", "alice");
  await page.selectOption("#finger", "1");
  await page.click("#btn-enrol");
  await statusIs("enrol");
  const captured = async (touch) => {
    const s = await page.evaluate(() => ({ n: document.getElementById("enrol-progress").value,
                                            state: document.getElementById("status").dataset.state,
                                            text: document.getElementById("status").textContent }));
    if (s.state === "error") throw new Failure(`enrolment: ${s.text}`);
    return s.n >= touch;
  };
  for (let touch = 1; touch <= 6; touch++) {
    stage.touch("alice-thumb");
    if (touch < 6) await waitFor(() => captured(touch), `capture ${touch}`, 30000);
  }
  await finished("Enrolled alice. You can sign in now.");
  await stage.snap("enrolled");

  // Sign-in: the server names the user behind the session cookie.
  await page.click("#btn-signin");
  await confirmWith("alice-thumb", "Touch your key to sign in");
  await finished("Signed in as alice.");
  if ((await page.$eval("#account", (el) => el.dataset.user)) !== "alice") throw new Failure("the server names no user");
  const signIn = await text("#sent");
  await stage.snap("signed-in");

  // Payment: the server writes the text; the key asks exactly that.
  await page.fill("#amount", "100");
  await page.fill("#payee", "Shop");
  await page.click("#btn-pay");
  await confirmWith("alice-thumb", "Touch your key to confirm: Pay 100.00 to Shop");
  await finished("Done: Pay 100.00 to Shop.");
  const paid = JSON.parse(await text("#answer"));
  if (paid.status !== "paid" || paid.text !== "Pay 100.00 to Shop" || paid.user !== "alice") {
    throw new Failure(`payment: ${JSON.stringify(paid)}`);
  }
  await stage.snap("paid");

  // The sign-in's statement, sent again, answers a challenge already used.
  const replay = await fetch(`${origin}/api/signin`, { method: "POST", headers: { "Content-Type": "application/json" },
                                                      body: signIn });
  const refusal = await replay.json();
  if (replay.status !== 400 || refusal.error !== "challenge already used" || replay.headers.has("set-cookie")) {
    throw new Failure(`replayed sign-in: ${replay.status} ${JSON.stringify(refusal)}`);
  }
  // A body is read up to 16 KiB; one byte more is refused unread.
  for (const [size, status] of [[16 * 1024, 400], [16 * 1024 + 1, 413]]) {
    const r = await fetch(`${origin}/api/signin`, { method: "POST", headers: { "Content-Type": "application/json" },
                                                   body: " ".repeat(size) });
    if (r.status !== status) throw new Failure(`a body of ${size} bytes: ${r.status}`);
  }
  if (stage.pageErrors.length) throw new Failure(`page errors: ${stage.pageErrors.join("; ")}`);
});
