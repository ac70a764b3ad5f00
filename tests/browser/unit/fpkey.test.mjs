// fpkey.js against a fake daemon: correlation, errors, pushed results, the
// flow helpers and reconnection. Run: node --experimental-websocket --test
import { test } from "node:test";
import assert from "node:assert/strict";
import { FpKey, FpKeyError, ResultCode, bytesOf, messageOf } from "../../../web/fpkey.js";
import { startFakeDaemon, reply } from "./fakeserver.mjs";

const fast = { minRetryMs: 20, maxRetryMs: 100, callTimeoutMs: 3000 };
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

async function until(cond, what, ms = 3000) {
  const end = Date.now() + ms;
  while (!cond()) {
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await sleep(5);
  }
}

test("requests carry the envelope and distinct randomIds; replies are matched by randomId", async () => {
  const held = [];
  const srv = await startFakeDaemon((conn, req) => {
    held.push([conn, req]);
    if (held.length === 3) {
      // Answer in reverse order: each promise must still get its own reply.
      for (const [c, r] of held.slice().reverse()) c.send(reply(r, `${r.function}:${r.params[0]}`));
    }
  });
  const key = await FpKey.connect(srv.url, fast);
  try {
    const results = await Promise.all([
      key.call("FactorySign", ["a"]), key.call("DeviceSign", ["b"]), key.call("FingerSign", ["c"]),
    ]);
    assert.deepEqual(results, ["FactorySign:a", "DeviceSign:b", "FingerSign:c"]);
    const reqs = held.map(([, r]) => r);
    for (const r of reqs) {
      assert.deepEqual(Object.keys(r), ["function", "params", "randomId"]);
      assert.equal(typeof r.randomId, "string");
      assert.ok(r.randomId.length > 0);
    }
    assert.equal(new Set(reqs.map((r) => r.randomId)).size, 3);
  } finally {
    key.close();
    await srv.stop();
  }
});

test("failures reject with reterr, the daemon's message and the function; replies without randomId go in order", async () => {
  const srv = await startFakeDaemon((conn, req) => {
    if (req.function === "OpenDev") conn.send(reply(req, "can not open device", 102));
    else if (req.function === "GetVersion" || req.function === "Connect") {
      // Replies stripped of their randomId: matched to the oldest waiting call.
      const r = reply(req, req.function === "GetVersion" ? "1.0.1.32 MEBO" : "OK");
      delete r.randomId;
      conn.send(r);
    } else conn.send(reply(req, "not find this function", 164));
  });
  const key = await FpKey.connect(srv.url, fast);
  try {
    await assert.rejects(key.call("OpenDev"), (e) => {
      assert.ok(e instanceof FpKeyError);
      assert.equal(e.reterr, ResultCode.CANNOT_OPEN_DEVICE);
      assert.equal(e.result, "can not open device");
      assert.equal(e.function, "OpenDev");
      return true;
    });
    await assert.rejects(key.call("NoSuchThing"), { reterr: ResultCode.UNKNOWN_FUNCTION, function: "NoSuchThing" });
    const [v, c] = await Promise.all([key.call("GetVersion"), key.call("Connect")]);
    assert.equal(v, "1.0.1.32 MEBO");
    assert.equal(c, "OK");
  } finally {
    key.close();
    await srv.stop();
  }
});

test("messageOf knows the daemon's texts and falls back like the daemon", () => {
  assert.equal(messageOf(5), "user canceled");
  assert.equal(messageOf(0xe117), "User Canceled");
  assert.equal(messageOf(0xe102), "No permission | Matching failed");
  assert.equal(messageOf(-63), "not find this err");
  assert.equal(messageOf(0), "not find this err");
});

test("bytesOf gives back the bytes of a string the daemon sent one character per byte", () => {
  const text = JSON.parse('"a\\u0000\\u0080\\u00FF\u00e9"');
  assert.deepEqual([...bytesOf(text)], [0x61, 0x00, 0x80, 0xff, 0xe9]);
  assert.throws(() => bytesOf("a\u4e2d"), RangeError);
});

// Plays an enrolment: RegisterUser -> [6]; WaitEnroll -> six progress
// messages (one with a sensor complaint) and the finished record.
function enrolmentDaemon(conn, req, finalFails) {
  if (req.function === "RegisterUser" || req.function === "AddFinger") {
    conn.send(reply(req, [6]));
  } else if (req.function === "WaitEnroll") {
    const push = (result, reterr = 0) => conn.send({ function: "ackEnroll", result, reterr });
    // [error, captures still needed]; a complaint repeats the count.
    push([0, 5]);
    push([0, 4]);
    push([0xe109, 4]);
    push([0, 3]);
    push([0, 2]);
    push([0, 1]);
    if (finalFails) push("user canceled", 5);
    else push([0, 0, req.finger ?? 3, "alice_3_17", "left index", "04" + "AB".repeat(64), "3044" + "CD".repeat(68)]);
  }
}

test("enroll reports every capture and resolves with the finished record", async () => {
  const srv = await startFakeDaemon((c, r) => enrolmentDaemon(c, r, false));
  const key = await FpKey.connect(srv.url, fast);
  try {
    const progress = [];
    const pushed = [];
    key.on("ackEnroll", (m) => pushed.push(m));
    const rec = await key.enroll("alice", 3, "left index", { onProgress: (p) => progress.push(p) });
    assert.deepEqual(progress.map((p) => [p.done, p.remaining, p.error, p.total]), [
      [1, 5, 0, 6], [2, 4, 0, 6], [2, 4, 0xe109, 6], [3, 3, 0, 6], [4, 2, 0, 6], [5, 1, 0, 6],
    ]);
    assert.equal(rec.user, "alice");
    assert.equal(rec.fingerIndex, 3);
    assert.equal(rec.recordName, "alice_3_17");
    assert.equal(rec.fingerName, "left index");
    assert.equal(rec.publicKey.length, 130);
    assert.ok(rec.signInfo.startsWith("3044"));
    assert.equal(pushed.length, 7, "every pushed message reaches the event listeners");
    const sent = srv.conns[0].received.map((r) => r.function);
    assert.deepEqual(sent, ["RegisterUser", "WaitEnroll"]);
    assert.deepEqual(srv.conns[0].received[0].params, ["alice", 3, "left index"]);
  } finally {
    key.close();
    await srv.stop();
  }
});

test("enroll rejects with the pushed code; a refused start never sends WaitEnroll; an abort cancels it", async () => {
  let hang = false;
  const srv = await startFakeDaemon((c, r) => {
    if (r.function === "AddFinger" && r.params[0] === "nobody") c.send(reply(r, "user is NOT existed", 2));
    else if (r.function === "CancelEnroll") c.send(reply(r, "user canceled", 5));
    else if (!(hang && r.function === "WaitEnroll")) enrolmentDaemon(c, r, true);
  });
  const key = await FpKey.connect(srv.url, fast);
  try {
    await assert.rejects(key.enroll("alice", 1, "x"), { reterr: ResultCode.USER_CANCELED, function: "WaitEnroll" });
    await assert.rejects(key.enroll("nobody", 2, "y", { addFinger: true }), { reterr: ResultCode.USER_NOT_EXISTS });
    // A page that gives up: the enrolment ends on the key too.
    hang = true;
    const ctl = new AbortController();
    const given = key.enroll("bob", 1, "x", { signal: ctl.signal });
    await until(() => srv.conns[0].received.length === 5, "WaitEnroll");
    ctl.abort();
    await assert.rejects(given, { reterr: ResultCode.USER_CANCELED, code: "USER_CANCELED" });
    const sent = srv.conns[0].received.map((r) => r.function);
    assert.deepEqual(sent, ["RegisterUser", "WaitEnroll", "AddFinger", "RegisterUser", "WaitEnroll", "CancelEnroll"]);
  } finally {
    key.close();
    await srv.stop();
  }
});

test("loginFinger resolves with the match and rejects with sensor codes pushed as [code]", async () => {
  let attempt = 0;
  const srv = await startFakeDaemon((conn, req) => {
    if (req.function === "CancelVerify") return conn.send(reply(req, "user canceled", 5));
    if (req.function !== "LoginFinger") return conn.send(reply(req, "OK"));
    attempt++;
    const push = (result, reterr = 0) => conn.send({ function: "ackVerify", result, reterr });
    if (attempt === 1) push([0, "alice", 3, "alice_3_17", "left index"]);
    else if (attempt === 2) push([0xe102]);
    else if (attempt === 3) push("Time Out", 7);
    else if (attempt === 4) conn.send(reply(req, "can not open device", 102)); // refused at once
    // Later ones are never answered (another page took the sensor, say).
  });
  const key = await FpKey.connect(srv.url, fast);
  try {
    assert.deepEqual(await key.loginFinger(),
                     { user: "alice", fingerIndex: 3, recordName: "alice_3_17", fingerName: "left index" });
    await assert.rejects(key.loginFinger(), { reterr: ResultCode.FP_MATCH_FAILED, result: "No permission | Matching failed" });
    await assert.rejects(key.loginFinger(), { reterr: ResultCode.TIME_OUT });
    await assert.rejects(key.loginFinger(), { reterr: ResultCode.CANNOT_OPEN_DEVICE });
    // The refused one left nothing behind: a normal call still works.
    assert.equal(await key.call("GetVersion"), "OK");
    // An unanswered login ends by its time limit, or its signal, and is
    // ended on the key as well.
    await assert.rejects(key.loginFinger({ timeout: 50 }),
                         { reterr: ResultCode.CALL_TIMEOUT, code: "CALL_TIMEOUT", function: "LoginFinger" });
    const ctl = new AbortController();
    const given = key.loginFinger({ signal: ctl.signal });
    setTimeout(() => ctl.abort(), 20);
    await assert.rejects(given, { reterr: ResultCode.USER_CANCELED, message: /user canceled \(5 USER_CANCELED\)/ });
    const sent = srv.conns[0].received.map((r) => r.function);
    assert.deepEqual(sent.slice(-4), ["LoginFinger", "CancelVerify", "LoginFinger", "CancelVerify"]);
  } finally {
    key.close();
    await srv.stop();
  }
});

test("fingerprint rkLogin (empty PIN) waits for ackVerify; with a PIN it is answered at once", async () => {
  const srv = await startFakeDaemon((conn, req) => {
    if (req.function === "rkLogin" && req.params[2]) return conn.send(reply(req, null));
    conn.send({ function: "ackVerify", result: [0, "", 0, "", ""], reterr: 0 });
  });
  const key = await FpKey.connect(srv.url, fast);
  try {
    assert.equal(await key.call("rkLogin", ["", "", "314159"]), null);
    assert.deepEqual(await key.call("rkLogin", ["", "", ""]), [0, "", 0, "", ""]);
    assert.deepEqual(await key.call("rkLogin", ["", ""]), [0, "", 0, "", ""]);
  } finally {
    key.close();
    await srv.stop();
  }
});

test("pollVerify polls LoopVerify through PENDING; outcomes and cancellation end it", async () => {
  let polls = 0;
  let outcome = 0;
  const srv = await startFakeDaemon((conn, req) => {
    if (req.function === "startVerify") return conn.send(reply(req, null));
    if (req.function === "CancelVerify") return conn.send(reply(req, "user canceled", 5));
    if (req.function === "LoopVerify") {
      polls++;
      if (polls % 3 !== 0) return conn.send(reply(req, "not find this err", -63));
      return conn.send(outcome === 0 ? reply(req, null) : reply(req, messageOf(outcome), outcome));
    }
  });
  const key = await FpKey.connect(srv.url, fast);
  try {
    const seen = [];
    await key.pollVerify({ onPoll: (n) => seen.push(n) });
    assert.deepEqual(seen, [1, 2, 3]);
    assert.deepEqual(srv.conns[0].received[0], { function: "startVerify", params: [], randomId: srv.conns[0].received[0].randomId });
    outcome = ResultCode.TIME_OUT;
    await assert.rejects(key.pollVerify({ deviceName: null }), { reterr: ResultCode.TIME_OUT });
    assert.deepEqual(srv.conns[0].received.at(-4).params, [null]);

    const ctl = new AbortController();
    outcome = 0;
    polls = 1; // next two polls are pending; abort after the first
    await assert.rejects(key.pollVerify({ signal: ctl.signal, onPoll: (n) => n === 2 && ctl.abort() }),
                         { reterr: ResultCode.USER_CANCELED });
    assert.equal(srv.conns[0].received.at(-1).function, "CancelVerify");
    // The cancel helpers treat the daemon's constant 5 as success.
    await key.cancelVerify();
  } finally {
    key.close();
    await srv.stop();
  }
});

test("a daemon restart fails the waiting calls, then the client reconnects by itself", async () => {
  let srv = await startFakeDaemon((conn, req) => {
    if (req.function === "GetVersion") conn.send(reply(req, "1.0.1.32 MEBO"));
    // "WaitEnroll" gets nothing: the daemon dies while the page waits.
  });
  const port = srv.port;
  const key = await FpKey.connect(srv.url, fast);
  let opens = 0;
  let closes = 0;
  key.on("open", () => opens++);
  key.on("close", () => closes++);
  try {
    const waiting = key.call("WaitEnroll", []);
    await until(() => srv.conns[0].received.length === 1, "WaitEnroll to arrive");
    await srv.stop();
    await assert.rejects(waiting, { reterr: ResultCode.CONNECTION_LOST, function: "WaitEnroll" });
    assert.equal(closes, 1);
    assert.equal(key.connected, false);
    // A call made while the daemon is away waits for the new connection.
    const later = key.call("GetVersion");
    await sleep(150);
    srv = await startFakeDaemon((conn, req) => conn.send(reply(req, "back")), port);
    assert.equal(await later, "back");
    assert.equal(opens, 1);
    assert.equal(key.connected, true);
  } finally {
    key.close();
    await srv.stop();
  }
});

test("key.on('device') asks WatchDevice, again after a reconnect; the pushes never settle a call", async () => {
  const handler = (conn, req) => {
    if (req.function === "WatchDevice") conn.send(reply(req, "OK"));
    // "GetUserList" stays unanswered while a key message comes.
    if (req.function === "GetUserList") {
      conn.send({ function: "ackDevice", result: ["FingerPrint.Usb.0x2541.0x2549..01.03", 0x2549, false], reterr: 0 });
      setTimeout(() => conn.send(reply(req, [0, []])), 50);
    }
  };
  let srv = await startFakeDaemon(handler);
  const port = srv.port;
  const key = await FpKey.connect(srv.url, fast);
  const seen = [];
  const watched = (s) => s.conns.at(-1).received.filter((r) => r.function === "WatchDevice").map((r) => r.params);
  try {
    const off = key.on("device", (d) => seen.push(d));
    const off2 = key.on("device", () => {}); // a second listener asks nothing more
    await until(() => watched(srv).length === 1, "WatchDevice");
    assert.deepEqual(await key.call("GetUserList"), [0, []]);
    assert.deepEqual(seen, [{ name: "FingerPrint.Usb.0x2541.0x2549..01.03", productId: 0x2549, present: false }]);
    await srv.stop();
    srv = await startFakeDaemon(handler, port);
    await until(() => srv.conns.length === 1 && watched(srv).length === 1, "WatchDevice after the reconnect");
    assert.deepEqual(watched(srv), [[]]);
    off();
    assert.equal(watched(srv).length, 1, "another listener remains");
    off2();
    await until(() => watched(srv).length === 2, "WatchDevice [false]");
    assert.deepEqual(watched(srv).at(-1), [false]);
  } finally {
    key.close();
    await srv.stop();
  }
});

test("connect fails at once when nothing listens, unless asked to wait; close ends waiting calls", async () => {
  const probe = await startFakeDaemon(() => {});
  const url = probe.url;
  const port = probe.port;
  await probe.stop();
  await assert.rejects(FpKey.connect(url, fast), { reterr: ResultCode.CONNECTION_LOST });

  const pending = FpKey.connect(url, { ...fast, waitForDaemon: true });
  await sleep(100);
  const srv = await startFakeDaemon((conn, req) => {
    if (req.function !== "WaitEnroll") conn.send(reply(req, "OK"));
  }, port);
  const key = await pending;
  try {
    assert.equal(await key.call("Connect"), "OK");
    const waiting = key.call("WaitEnroll", []);
    await until(() => srv.conns.at(-1).received.length === 2, "WaitEnroll to arrive");
    key.close();
    await assert.rejects(waiting, { reterr: ResultCode.CONNECTION_LOST });
    await assert.rejects(key.call("Connect"), { reterr: ResultCode.CONNECTION_LOST });
  } finally {
    key.close();
    await srv.stop();
  }
});

test("a call without an answer times out; a late answer then changes nothing", async () => {
  const held = [];
  const srv = await startFakeDaemon((conn, req) => held.push([conn, req]));
  const key = await FpKey.connect(srv.url, { ...fast, callTimeoutMs: 100 });
  const wire = [];
  key.on("wire", (w) => wire.push(w.direction));
  try {
    await assert.rejects(key.call("EnumDevice"), { reterr: ResultCode.CALL_TIMEOUT, function: "EnumDevice" });
    const [conn, req] = held[0];
    conn.send(reply(req, [1, ["FingerPrint.Usb.0x2541.0x2549..01.03"]]));
    await until(() => wire.length === 2, "the late answer");
    const next = key.call("GetVersion", [], { timeoutMs: 2000 });
    await until(() => held.length === 2, "second request");
    held[1][0].send(reply(held[1][1], "1.0.1.32 MEBO"));
    assert.equal(await next, "1.0.1.32 MEBO");
    assert.deepEqual(wire, ["out", "in", "out", "in"]);
  } finally {
    key.close();
    await srv.stop();
  }
});
