// The example shop's page: enrols a finger, signs in and confirms a payment,
// each with the key. The server issues every challenge and writes every text
// the user confirms; this page carries them to the key and the key's answers
// back, and decides nothing itself.
import { FpKey, FpKeyError, ResultCode } from "/fpkey.js";

const $ = (id) => document.getElementById(id);

// ?port=N: a daemon on another port than the usual one (scripts/demo with
// FPKEYD_PORT, the tests).
function daemonUrl() {
  const port = new URLSearchParams(location.search).get("port");
  return port && /^\d{1,5}$/.test(port) ? `ws://127.0.0.1:${port}/websocket` : undefined;
}

function status(text, state) {
  $("status").textContent = text;
  $("status").dataset.state = state;
}

function answer(body, outcome) {
  $("answer").textContent = JSON.stringify(body, null, 1);
  $("answer").dataset.outcome = outcome;
}

let connecting = null;

// One connection to fpkeyd, opened at the first step that needs the key.
function key() {
  connecting ??= FpKey.connect(daemonUrl()).then((k) => {
    // The daemon asks the user to allow this site once, by a touch.
    k.on("approval", ({ site, state }) => {
      if (state === "touch") status(`Touch your key to allow ${site} to use it.`, "touch");
      else if (state === "wait") status("Your key is busy with another site; wait a moment.", "wait");
      else if (state === "refused") status("This site was not allowed to use your key.", "error");
    });
    // The question the key asks, as the desktop shows it.
    k.on("confirm", ({ state, text }) => {
      const what = text ? `confirm: ${text}` : "sign in";
      if (state === "touch") status(`Touch your key to ${what}`, "touch");
      else status(`Your key will ask you to ${what}; wait until it is free.`, "wait");
    });
    return k;
  }, (e) => {
    connecting = null;
    throw e;
  });
  return connecting;
}

async function api(path, body) {
  const res = await fetch(path, body === undefined ? {} : {
    method: "POST",
    headers: { "Content-Type": "application/json" },
    body: JSON.stringify(body),
  });
  const data = await res.json().catch(() => ({ error: `HTTP ${res.status}` }));
  if (!res.ok) {
    const e = new Error(data.error || `HTTP ${res.status}`);
    e.server = data;
    throw e;
  }
  return data;
}

function explain(e) {
  if (e instanceof FpKeyError) {
    if (e.reterr === ResultCode.NOT_CONFIRMED) return "No enrolled finger touched the key in time.";
    if (e.reterr === ResultCode.USER_EXISTS) return "Your key has a user of this name already.";
    if (e.reterr === ResultCode.CONNECTION_LOST) return "fpkeyd is not running, or it went away.";
    return `The key refused: ${e.result} (${e.reterr}).`;
  }
  return e.server ? `The server refused: ${e.message}` : String(e.message || e);
}

// Runs one step with every button off, so that steps never overlap.
function step(el, event, fn) {
  el.addEventListener(event, async (ev) => {
    ev.preventDefault();
    const buttons = document.querySelectorAll("button");
    for (const b of buttons) b.disabled = true;
    try {
      await fn();
    } catch (e) {
      status(explain(e), "error");
      if (e.server) answer(e.server, "refused");
    } finally {
      for (const b of buttons) b.disabled = false;
    }
  });
}

async function showAccount() {
  const user = await api("/api/me").then((r) => r.user, () => "");
  $("account").textContent = user || "nobody";
  $("account").dataset.user = user;
}

// Sends what the key signed, and keeps it on show for the curious.
function assertion(a) {
  const body = { clientData: a.clientData, signature: a.signature };
  $("sent").textContent = JSON.stringify(body, null, 1);
  return body;
}

step($("enrol-form"), "submit", async () => {
  const user = $("user").value.trim();
  const finger = Number($("finger").value);
  const { challenge } = await api("/api/enrol/begin", { user });
  const k = await key();
  const [serial] = await k.call("GetDevInfo", [2]);
  const deviceKey = await k.call("GetDevPubKey", []);
  $("enrol-progress").value = 0;
  status("Touch the sensor with that finger, lift it, and again until the bar is full.", "enrol");
  const rec = await k.enroll(user, finger, $("finger-name").value.trim() || `finger ${finger}`, {
    onProgress: (p) => {
      $("enrol-progress").max = p.total;
      $("enrol-progress").value = p.done;
    },
  });
  $("enrol-progress").value = $("enrol-progress").max;
  const r = await api("/api/enrol", { challenge, user: rec.user, serial, deviceKey, publicKey: rec.publicKey,
                                      record: rec.recordName, signinfo: rec.signInfo });
  answer(r, "enrolled");
  status(`Enrolled ${r.enrolled}. You can sign in now.`, "ok");
});

step($("btn-signin"), "click", async () => {
  const { challenge } = await api("/api/signin/begin", {});
  const a = await (await key()).assert(challenge);
  const r = await api("/api/signin", assertion(a));
  answer(r, "signed-in");
  await showAccount();
  status(`Signed in as ${r.user}.`, "ok");
});

step($("btn-signout"), "click", async () => {
  answer(await api("/api/signout", {}), "signed-out");
  await showAccount();
  status("Signed out.", "ok");
});

step($("pay-form"), "submit", async () => {
  const { challenge, text } = await api("/api/pay/begin", { amount: $("amount").value.trim(), payee: $("payee").value });
  status(`Your key will ask you to confirm: ${text}`, "wait");
  const a = await (await key()).assert(challenge, { text });
  const r = await api("/api/pay", assertion(a));
  answer(r, r.status);
  status(`Done: ${r.text}.`, "ok");
});

showAccount();
