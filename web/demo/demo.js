// The demo page: every daemon command behind a button, and a live log.
// Classic script (see index.html); fpkey.classic.js provides globalThis.fpkey.
(function () {
  "use strict";
  const { FpKey, FpKeyError, ResultCode, DEFAULT_URL } = globalThis.fpkey;
  const $ = (id) => document.getElementById(id);

  /** @type {FpKey|null} */
  let key = null;

  // ---------- helpers ----------

  // ?ws=ws://host:port/path or ?port=N picks another daemon address.
  function daemonUrl() {
    const q = new URLSearchParams(location.search);
    if (q.get("ws")) return q.get("ws");
    if (q.get("port")) return `ws://127.0.0.1:${q.get("port")}/websocket`;
    return localStorage.getItem("fpkeyd.url") || DEFAULT_URL;
  }

  function show(outId, value, ok = true) {
    const el = $(outId);
    el.textContent = typeof value === "string" ? value : JSON.stringify(value, null, 1);
    el.className = "out " + (ok ? "ok" : "err");
  }

  function describe(e) {
    if (e instanceof FpKeyError) return `${e.function} failed: ${e.result} (reterr ${e.reterr})`;
    return String(e && e.message ? e.message : e);
  }

  // Runs an action behind a button: spinner while it runs, result or error
  // into the card's output box.
  function action(buttonId, outId, fn) {
    const btn = $(buttonId);
    btn.addEventListener("click", async () => {
      if (!key) {
        show(outId, "Not connected to fpkeyd", false);
        return;
      }
      btn.classList.add("busy");
      btn.disabled = true;
      $(outId).classList.add("stale");
      try {
        const r = await fn();
        if (r !== undefined) show(outId, r, true);
      } catch (e) {
        show(outId, describe(e), false);
      } finally {
        btn.classList.remove("busy");
        btn.disabled = !keyButtonUsable(btn);
        $(outId).classList.remove("stale");
      }
    });
  }

  const call = (fn, params) => key.call(fn, params);

  function utf8ToBase64(text) {
    const bytes = new TextEncoder().encode(text);
    let bin = "";
    for (const b of bytes) bin += String.fromCharCode(b);
    return btoa(bin);
  }

  const toHex = (bytes) => Array.from(bytes, (b) => b.toString(16).padStart(2, "0")).join("").toUpperCase();

  // ---------- log ----------

  const log = $("log");
  function logLine(kind, dir, text) {
    const li = document.createElement("li");
    li.className = kind;
    const t = new Date();
    const stamp = t.toTimeString().slice(0, 8) + "." + String(t.getMilliseconds()).padStart(3, "0");
    let body = text;
    if ($("log-pretty").checked) {
      try { body = JSON.stringify(JSON.parse(text), null, 1); } catch { /* keep the raw text */ }
    }
    li.innerHTML = '<span class="t"></span><span class="d"></span><span class="m"></span>';
    li.children[0].textContent = stamp;
    li.children[1].textContent = dir;
    li.children[2].textContent = body;
    const stick = log.scrollTop + log.clientHeight >= log.scrollHeight - 8;
    log.appendChild(li);
    while (log.children.length > 500) log.removeChild(log.firstChild);
    if (stick) log.scrollTop = log.scrollHeight;
  }

  function wire(w) {
    if (w.direction === "out") return logLine("sent", "→", w.text);
    let cls = "recv";
    try {
      const m = JSON.parse(w.text);
      if (["ackEnroll", "ackVerify", "ackDevice", "ackConfirm"].includes(m.function)) cls += " push";
      if (m.reterr !== 0) cls += " fail";
    } catch { /* not JSON: shown as it came */ }
    logLine(cls, "←", w.text);
  }

  $("btn-log-clear").addEventListener("click", () => (log.textContent = ""));

  // ---------- connection ----------

  function setState(state, text) {
    const pill = $("conn-state");
    pill.className = "pill " + { on: "pill-on", off: "pill-off", wait: "pill-wait" }[state];
    pill.dataset.state = state;
    pill.textContent = text;
  }

  // ---------- key presence ----------

  // Names of the keys present, as fpkeyd pushes them; null while unknown
  // (not yet listed, or a daemon without WatchDevice): buttons stay usable.
  let keys = null;

  function keyButtonUsable(btn) {
    return keys === null || keys.size > 0 || btn.hasAttribute("data-nokey");
  }

  function showKeys() {
    const pill = $("key-state");
    const state = keys === null ? "unknown" : keys.size ? "present" : "absent";
    pill.dataset.state = state;
    pill.className = "pill " + { unknown: "pill-wait", present: "pill-on", absent: "pill-off" }[state];
    pill.textContent = state === "unknown" ? "key: ?" : state === "present" ?
      (keys.size === 1 ? "key plugged in" : `${keys.size} keys plugged in`) : "no key";
    pill.title = keys && keys.size ? [...keys].join("\n") : "key presence, pushed by fpkeyd (WatchDevice)";
    for (const btn of document.querySelectorAll(".cards button")) {
      // Cancel of an enrolment has its own state; running actions keep theirs.
      if (btn.id === "btn-cancel-enrol" || btn.classList.contains("busy")) continue;
      btn.disabled = !keyButtonUsable(btn);
    }
    if (keys !== null && !keys.size) $("btn-cancel-enrol").disabled = true;
  }

  function onDevice(d) {
    if (keys === null) keys = new Set();
    if (d.present) keys.add(d.name);
    else keys.delete(d.name);
    logLine("note", "·", `key ${d.present ? "plugged in" : "pulled out"}: ${d.name}`);
    showKeys();
  }

  // After each (re)connect: the keys present now; changes come pushed.
  async function listKeys() {
    try {
      const r = await key.call("EnumDevice", []);
      keys = new Set(r[1]);
    } catch (e) {
      keys = e instanceof FpKeyError && e.reterr === ResultCode.OPERATION_FAILED ? new Set() : null;
    }
    showKeys();
  }

  async function connect() {
    if (key) key.close();
    const url = $("ws-url").value.trim() || DEFAULT_URL;
    localStorage.setItem("fpkeyd.url", url);
    setState("wait", "connecting…");
    logLine("note", "·", `connecting to ${url} (retrying until fpkeyd answers)`);
    key = new FpKey(url, { waitForDaemon: true });
    key.on("wire", wire);
    // The daemon asks the user before this site may use the key.
    key.on("approval", ({ site, state }) => {
      const box = $("approval");
      box.hidden = false;
      box.dataset.state = state;
      if (state === "touch") {
        box.textContent = `Touch your key to allow this site (${site}) to use it.`;
      } else if (state === "wait") {
        box.textContent = `This site (${site}) asks to use your key: wait until the fingerprint operation in progress is done.`;
      } else if (state === "allowed") {
        box.textContent = `This site may use your key now (${site}).`;
      } else {
        box.textContent = "This site was not allowed to use your key. Reload the page to ask again.";
      }
      logLine("note", "·", `site approval: ${state} ${site}`);
    });
    // The daemon asks the user to confirm an act of this page (a signed
    // statement, a deletion): the same question the desktop shows.
    key.on("confirm", ({ site, state, text }) => {
      const box = $("confirm");
      const question = text ? `${site} asks you to confirm: ${text}` : `${site} asks you to sign in`;
      box.hidden = false;
      box.dataset.state = state;
      box.textContent = state === "wait" ?
        `${question} — wait until the fingerprint operation in progress is done.` :
        `${question} — touch an enrolled finger on your key.`;
      logLine("note", "·", `confirmation asked: ${state} ${question}`);
    });
    // The asked command's own reply ends the question, whatever its outcome.
    key.on("reply", (m) => {
      if (["FingerAssert", "DeleteUser", "DeleteFinger", "SetSvrPubKey"].includes(m.function)) $("confirm").hidden = true;
    });
    key.on("open", () => {
      setState("on", "connected");
      logLine("note", "·", `connected to ${url}`);
      key.call("GetVersion").then((v) => ($("daemon-version").textContent = v), () => {});
      listKeys();
    });
    key.on("device", onDevice);
    key.on("watchError", () => {
      keys = null;
      showKeys();
    });
    key.on("close", () => {
      setState("wait", "reconnecting…");
      $("daemon-version").textContent = "";
      $("confirm").hidden = true;
      keys = null;
      showKeys();
      logLine("note", "·", "connection closed; reconnecting");
    });
    try {
      await key.start();
    } catch (e) {
      setState("off", "offline");
    }
  }

  $("btn-reconnect").addEventListener("click", connect);

  // ---------- key ----------

  action("btn-enum", "out-key", async () => {
    const r = await call("EnumDevice", []);
    const sel = $("key-select");
    sel.innerHTML = '<option value="">(first key found)</option>';
    for (const name of r[1]) {
      const o = document.createElement("option");
      o.value = o.textContent = name;
      sel.appendChild(o);
    }
    if (r[1].length) sel.value = r[1][0];
    return `${r[0]} key(s): ${r[1].join(", ")}`;
  });
  action("btn-open-device", "out-key", async () => {
    const name = $("key-select").value;
    await call("openDevice", [name || null]);
    return `Opened ${name || "the first key"}`;
  });
  action("btn-close-device", "out-key", async () => {
    await call("closeDevice", []);
    return "Key closed";
  });
  action("btn-opendev", "out-key", () => call("OpenDev", []));
  action("btn-connect", "out-key", () => call("Connect", []));
  action("btn-disconnect", "out-key", () => call("Disconnect", []));
  action("btn-version", "out-key", () => call("GetVersion", []));
  action("btn-initdev", "out-key", () => call("InitDev", []));
  action("btn-clientid", "out-key", async () => `Label: ${await call("GetClientID", [])}`);
  action("btn-info", "out-key", async () => {
    const level = Number($("info-level").value);
    const r = await call("GetDevInfo", [level]);
    const names = ["Serial number", "Device type", "Label", "Device public key", "Application"];
    const dl = $("key-info");
    dl.textContent = "";
    r.forEach((v, i) => {
      const dt = document.createElement("dt");
      const dd = document.createElement("dd");
      dt.textContent = names[i] || `item ${i}`;
      dd.textContent = v === "" ? "—" : String(v);
      dd.dataset.field = ["serial", "type", "label", "pubkey", "app"][i] || String(i);
      dl.append(dt, dd);
    });
    return r;
  });
  action("btn-facpub", "out-key", async () => `Factory public key:\n${await call("GetFacPubKey", [])}`);
  action("btn-devpub", "out-key", async () => `Device public key:\n${await call("GetDevPubKey", [])}`);
  action("btn-svrpub", "out-key", async () => {
    await call("SetSvrPubKey", [$("svr-pub").value.trim()]);
    return "Server public key stored on the key";
  });

  // ---------- users ----------

  // A verification ends when another kind of command reaches the daemon, so
  // fingerprint actions wait for a user-list refresh still on the wire.
  let refreshing = Promise.resolve();
  function refreshUsers() {
    refreshing = loadUsers();
    return refreshing;
  }
  const quiet = () => refreshing.catch(() => {});

  async function loadUsers() {
    const r = await call("GetUserList", []);
    const ul = $("user-list");
    ul.textContent = "";
    if (!r[1].length) {
      ul.innerHTML = '<li class="empty">No users on the key</li>';
      return r;
    }
    for (const name of r[1]) {
      const li = document.createElement("li");
      li.dataset.user = name;
      const n = document.createElement("span");
      n.className = "name";
      n.textContent = name;
      const chips = document.createElement("span");
      chips.className = "fingers";
      const del = document.createElement("button");
      del.className = "ghost small danger";
      del.textContent = "Delete";
      del.title = `DeleteUser ${name}`;
      del.addEventListener("click", async () => {
        try {
          show("out-users", await call("DeleteUser", [name]));
          await refreshUsers();
        } catch (e) {
          show("out-users", describe(e), false);
        }
      });
      li.append(n, chips, del);
      ul.appendChild(li);
      try {
        const [used, free] = await Promise.all([call("GetFingerUsed", [name]), call("GetFingerUnused", [name])]);
        for (const idx of used[1]) {
          const c = document.createElement("button");
          c.className = "chip";
          c.textContent = `finger ${idx} ×`;
          c.title = `DeleteFinger ${name} [${idx}]`;
          c.addEventListener("click", async () => {
            try {
              show("out-users", await call("DeleteFinger", [name, [idx]]));
              await refreshUsers();
            } catch (e) {
              show("out-users", describe(e), false);
            }
          });
          chips.appendChild(c);
        }
        const f = document.createElement("span");
        f.className = "chip free";
        f.textContent = `${free[1].length} free`;
        f.title = `unused finger numbers: ${free[1].join(", ")}`;
        chips.appendChild(f);
      } catch (e) {
        chips.textContent = describe(e);
      }
    }
    return r;
  }

  action("btn-users", "out-users", refreshUsers);
  action("btn-delete-all", "out-users", async () => {
    if (!confirm("Delete every user and fingerprint on the key?")) return undefined;
    const r = await call("DeleteUser", [null]);
    await refreshUsers();
    return r;
  });

  let enrolTotal = 6;
  function setProgress(step, total, state) {
    const p = $("enrol-progress");
    p.classList.toggle("done", state === "done");
    p.classList.toggle("failed", state === "failed");
    p.setAttribute("aria-valuemax", String(total));
    p.setAttribute("aria-valuenow", String(step));
    $("enrol-bar").style.width = `${Math.round((100 * step) / total)}%`;
  }
  function enrolStatus(text, cls = "") {
    const s = $("enrol-status");
    s.textContent = text;
    s.className = "status " + cls;
  }
  function onEnrollProgress(p) {
    enrolTotal = p.total;
    setProgress(p.done, p.total, "");
    if (p.error) enrolStatus(`That capture did not count: ${fpkey.messageOf(p.error)} — touch again`, "warn");
    else enrolStatus(`Capture ${p.done} of ${p.total} done — lift and touch again`);
  }

  async function enrol(addFinger) {
    await quiet();
    const user = $("enrol-user").value.trim();
    const finger = Number($("enrol-finger").value);
    const name = $("enrol-name").value;
    enrolTotal = 6;
    setProgress(0, enrolTotal, "");
    enrolStatus("Touch the sensor…");
    $("btn-cancel-enrol").disabled = false;
    try {
      const rec = await key.enroll(user, finger, name, { addFinger, onProgress: onEnrollProgress });
      setProgress(enrolTotal, enrolTotal, "done");
      enrolStatus(`Enrolled ${rec.user}, finger ${rec.fingerIndex} (${rec.recordName})`, "ok");
      refreshUsers().catch(() => {});
      return rec;
    } catch (e) {
      $("enrol-progress").classList.add("failed");
      enrolStatus(describe(e), "err");
      throw e;
    } finally {
      $("btn-cancel-enrol").disabled = true;
    }
  }
  action("btn-register", "out-users", () => enrol(false));
  action("btn-addfinger", "out-users", () => enrol(true));
  $("btn-cancel-enrol").addEventListener("click", () => key && key.cancelEnroll().catch((e) => show("out-users", describe(e), false)));

  // ---------- fingerprint login ----------

  function who(state, name, detail) {
    $("login-card").className = "who who-" + state;
    $("who-avatar").textContent = state === "ok" ? name.slice(0, 1).toUpperCase() || "✓" : state === "wait" ? "…" : "?";
    $("who-name").textContent = state === "ok" ? name || "Finger matched" : name;
    $("who-detail").textContent = detail || "";
  }

  let pollAbort = null;
  action("btn-login", "out-login", async () => {
    await quiet();
    who("wait", "Touch the sensor…");
    try {
      const m = await key.loginFinger();
      who("ok", m.user, `finger ${m.fingerIndex} · ${m.fingerName} · ${m.recordName}`);
      return m;
    } catch (e) {
      who("none", "Not logged in", describe(e));
      throw e;
    }
  });
  action("btn-poll", "out-login", async () => {
    await quiet();
    pollAbort = new AbortController();
    who("wait", "Touch the sensor…", "polling LoopVerify");
    try {
      await key.pollVerify({ signal: pollAbort.signal, onPoll: (n) => ($("who-detail").textContent = `LoopVerify poll ${n}`) });
      who("ok", "Finger matched", "startVerify / LoopVerify");
      return "Verified (polling)";
    } catch (e) {
      who("none", "Not verified", describe(e));
      throw e;
    } finally {
      pollAbort = null;
    }
  });
  action("btn-cancel-verify", "out-login", async () => {
    if (pollAbort) pollAbort.abort();
    await key.cancelVerify();
    return "Verification cancelled";
  });

  // ---------- sign-in and confirmation ----------

  // A web server would issue the challenge; here the page makes a fresh one.
  function newChallenge() {
    const bytes = crypto.getRandomValues(new Uint8Array(32));
    return btoa(String.fromCharCode(...bytes)).replace(/\+/g, "-").replace(/\//g, "_").replace(/=+$/, "");
  }

  // What a server checks before the signature: the statement names this
  // page's origin, the challenge just sent and the text the user was shown.
  async function assertWith(text) {
    await quiet();
    const challenge = newChallenge();
    const a = await key.assert(challenge, { text });
    const data = JSON.parse(a.clientData);
    const wrong = [];
    if (data.type !== "fpkey.assert") wrong.push(`type ${data.type}`);
    if (String(data.origin) !== location.origin) wrong.push(`origin ${data.origin}, this page is ${location.origin}`);
    if (data.challenge !== challenge) wrong.push(`challenge ${data.challenge}, sent ${challenge}`);
    if (data.text !== text) wrong.push(`text ${JSON.stringify(data.text)}, asked ${JSON.stringify(text)}`);
    const body = `Challenge sent: ${challenge}\n\nclientData:\n${a.clientData}\n\n` +
      `Signature (DER, hex):\n${a.signature}\n\nPublic key:\n${a.publicKey}`;
    if (wrong.length) throw new Error(`The clientData does not match this page: ${wrong.join("; ")}\n\n${body}`);
    return `${text ? "Confirmed" : "Signed in"} by ${a.user}, finger ${a.finger} (shown on the ${a.shown}).\n` +
      `The clientData names this page (${location.origin}) and the challenge it sent.\n\n${body}`;
  }
  action("btn-assert-signin", "out-assert", () => assertWith(""));
  action("btn-assert-pay", "out-assert", () => assertWith(`Pay ${$("pay-amount").value.trim()} to Shop`));

  // ---------- signing ----------

  const signData = () => $("sign-data").value;
  action("btn-facsign", "out-sign", async () => `Factory key signature (DER, hex):\n${await call("FactorySign", [signData()])}`);
  action("btn-devsign", "out-sign", async () => `Device key signature (DER, hex):\n${await call("DeviceSign", [signData()])}`);
  action("btn-fpsign", "out-sign", async () => `Finger key signature (DER, hex):\n${await call("FingerSign", [signData()])}`);
  action("btn-rklogin", "out-sign", async () => {
    await call("rkLogin", [$("key-select").value, "", $("pin").value]);
    return "PIN accepted: the key application is open";
  });
  action("btn-rklogin-fp", "out-sign", async () => {
    const r = await call("rkLogin", [$("key-select").value, "", ""]);
    return ["Finger accepted", r];
  });
  action("btn-containers", "out-sign", async () => {
    const r = await call("rkEnumContainer", []);
    const sel = $("container-select");
    sel.textContent = "";
    for (const n of r[1]) {
      const o = document.createElement("option");
      o.value = o.textContent = n;
      sel.appendChild(o);
    }
    if (r[1].includes("axDevCot")) sel.value = "axDevCot";
    return r;
  });
  action("btn-signnormal", "out-sign", async () => {
    const r = await call("SignDataNormal", [$("container-select").value, utf8ToBase64(signData())]);
    return `Signature (DER, Base64):\n${r[1][0]}\n\nSigner certificate (Base64):\n${r[1][1]}`;
  });
  action("btn-signp7", "out-sign", async () => `PKCS#7 SignedData (Base64):\n${await call("SignDataToPKCS7", [$("container-select").value, utf8ToBase64(signData())])}`);

  // ---------- decryption ----------

  action("btn-sm2", "out-decrypt", async () => {
    const hex = await call("Sm2Decrypt", [$("sm2-cipher").value.replace(/\s+/g, "")]);
    let text = "";
    try {
      text = new TextDecoder("utf-8", { fatal: true }).decode(Uint8Array.from(hex.match(/../g) || [], (h) => parseInt(h, 16)));
    } catch { text = "(not UTF-8)"; }
    return `Plain text (hex): ${hex}\nAs text: ${text}`;
  });
  action("btn-sm2-sample", "out-decrypt", async () => {
    const pub = await call("GetDevPubKey", []);
    const bytes = Uint8Array.from(pub.match(/../g), (h) => parseInt(h, 16));
    const c = demoSm2.encrypt(bytes, new TextEncoder().encode($("sm2-plain").value));
    $("sm2-cipher").value = toHex(c);
    return "Sample encrypted in the page to the device public key; press Decrypt";
  });
  $("btn-sm4-sample").addEventListener("click", () => {
    const k = crypto.getRandomValues(new Uint8Array(16));
    const c = demoSm4.encryptEcbPkcs7(k, new TextEncoder().encode($("sm4-plain").value));
    $("sm4-key").value = toHex(k);
    $("sm4-cipher").value = toHex(c);
    show("out-decrypt", "Sample made in the page with a random key; press Decrypt SM4", true);
  });
  action("btn-sm4", "out-decrypt", async () => {
    const r = await call("Sm4Decrypt", [$("sm4-cipher").value.trim(), $("sm4-key").value.trim()]);
    return `Decrypted: ${r}`;
  });

  // ---------- any command ----------

  action("btn-raw", "out-raw", async () => {
    let params;
    try {
      params = JSON.parse($("raw-params").value || "[]");
    } catch (e) {
      throw new Error("params is not JSON: " + e.message);
    }
    return call($("raw-fn").value.trim(), params);
  });

  // ---------- start ----------

  $("ws-url").value = daemonUrl();
  connect();
})();
