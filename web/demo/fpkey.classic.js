// Generated from web/fpkey.js by web/build-classic.mjs - do not edit.
(function () {
"use strict";
// fpkey.js - talk to the fpkeyd daemon from a web page.
//
//   import { FpKey, ResultCode } from "./fpkey.js";
//   const key = await FpKey.connect();              // ws://127.0.0.1:11230/websocket
//   const info = await key.call("GetDevInfo", [5]);
//   const rec = await key.enroll("alice", 1, "right thumb", { onProgress: p => bar(p.done / p.total) });
//   const who = await key.loginFinger();             // { user, fingerIndex, recordName, fingerName }
//   const sig = await key.call("FingerSign", ["hello"]);
//
// No dependencies; works in browsers and in Node 20+ (pass a WebSocket
// constructor in the options where there is no global one).

/**
 * Result codes of the daemon ("reterr"), plus two codes of this module
 * (CONNECTION_LOST, CALL_TIMEOUT) that the daemon never sends.
 * @readonly
 * @enum {number}
 */
const ResultCode = Object.freeze({
  OK: 0,
  USER_EXISTS: 1,
  USER_NOT_EXISTS: 2,
  FINGERPRINT_FULL: 3,
  ONLY_ONE_FINGER: 4,
  USER_CANCELED: 5,
  FINGER_EXISTS: 6,
  TIME_OUT: 7,
  SAME_FINGERPRINT: 10,
  NO_FINGERPRINT: 11,
  FINGERPRINT_NOT_FOUND: 12,
  CANNOT_DELETE_ALL: 13,
  SM4_ERROR: 14,
  CANNOT_OPEN_DEVICE: 102,
  OPERATION_FAILED: 103,
  INVALID_PARAM: 104,
  INVALID_LENGTH: 105,
  OPEN_APP_FAILED: 106,
  VERIFY_PIN_FAILED: 107,
  SIGN_FAILED: 108,
  NO_CERTIFICATE: 109,
  BAD_JSON: 110,
  BAD_ENVELOPE: 111,
  PKCS7_FAILED: 121,
  APP_LOCKED: 122,
  /** The user has not allowed this site (refused, or no touch in time). */
  SITE_NOT_ALLOWED: 130,
  /** Too many wrong PINs from this site: refused without asking the key. */
  SITE_PIN_LIMIT: 131,
  /** The key's last PIN tries are kept for its owner's own programs. */
  PIN_TRIES_KEPT: 132,
  /** Another site's enrolment or verification holds the fingerprint sensor: try again after it. */
  KEY_BUSY_FOR_ANOTHER_SITE: 133,
  /** No enrolled finger touched the key in time to confirm the act. */
  NOT_CONFIRMED: 134,
  UNKNOWN_FUNCTION: 164,
  NOT_SUPPORTED: 200,
  WRONG_DEVICE: 201,
  /** "LoopVerify": no outcome yet, poll again. */
  PENDING: -63,
  FP_ENROLL_FAILED: 0xe101,
  FP_MATCH_FAILED: 0xe102,
  FP_NO_FINGERPRINT: 0xe103,
  FP_AREA_TOO_SMALL: 0xe104,
  FP_IMAGE_BLUR: 0xe105,
  FP_TOO_FEW_FEATURES: 0xe106,
  FP_SAME_FINGERPRINT: 0xe107,
  FP_SAME_AREA: 0xe108,
  FP_POOR_IMAGE: 0xe109,
  FP_VERIFY_FAILED: 0xe10a,
  FP_BAD_PARAMETERS: 0xe110,
  FP_TEMPLATE_FAILED: 0xe111,
  FP_TOO_FEW_POINTS: 0xe112,
  FP_CUT_BLANK_FAILED: 0xe113,
  FP_CUT_REF_FAILED: 0xe114,
  FP_CAPTURE_FAILED: 0xe115,
  FP_STORAGE_FULL: 0xe116,
  FP_USER_CANCELED: 0xe117,
  FP_WAIT_TIMEOUT: 0xe118,
  FP_LIFT_FINGER: 0xe119,
  FP_FLASH_ERROR: 0xe120,
  FP_NOT_SUPPORTED: 0xe1cc,
  FP_PC_PRODUCT: 0xe1dd,
  /** This module: the connection closed before the answer came. */
  CONNECTION_LOST: -1000,
  /** This module: no answer within the call's time limit. */
  CALL_TIMEOUT: -1001,
});

const MESSAGES = new Map([
  [110, "json is not mine"], [111, "json params is not mine"], [164, "not find this function"],
  [102, "can not open device"], [103, "operate Failed"], [104, "param is invalid"],
  [105, "invalid length"], [1, "user is existed"], [2, "user is NOT existed"],
  [3, "finger print is full"], [4, "only one finger"], [5, "user canceled"],
  [6, "this finger is exist"], [7, "Time Out"], [10, "Enter the same fingerprint"],
  [11, "No FingerPrint"], [12, "Cannot find this fingerprint"], [13, "Cannot del all"],
  [14, "Sm4 Encrypt Error"], [200, "just for test, not surport"], [106, "open APP failed"],
  [107, "Verify pin fail"], [108, "sm2 sign fail"], [109, "no certificate"],
  [121, "pkcs7 pack fail"], [122, "App user locked"], [201, "this dev is not for you"],
  [130, "site not allowed"], [131, "too many wrong PINs from this site"],
  [132, "PIN tries left are kept for the key's owner"], [133, "the key is busy with another site"],
  [134, "not confirmed on the key"],
  [0xe101, "Fingerprint failed..."], [0xe102, "No permission | Matching failed"],
  [0xe103, "No finger print"], [0xe104, "Image area is too small"], [0xe105, "Image blur"],
  [0xe106, "Too few effective features"], [0xe107, "Enter the same fingerprint"],
  [0xe108, "Enter the same area"], [0xe109, "Poor image quality"], [0xe10a, "Verify failed"],
  [0xe110, "Error parameters"], [0xe111, "Failed to create template"],
  [0xe112, "Too few effective feature points"], [0xe113, "Cut blank fail"],
  [0xe114, "Cut Ref Fail"], [0xe115, "Failed to obtain fingerprint"],
  [0xe116, "Insufficient save space"], [0xe117, "User Canceled"], [0xe118, "Wait timeout"],
  [0xe119, "Pls leave the fingerprint contact"], [0xe120, "Read flash error"],
  [0xe1cc, "This product does not support"], [0xe1dd, "This product is for PC"],
  [-1000, "connection to fpkeyd lost"], [-1001, "no answer from fpkeyd in time"],
]);

const NAMES = new Map(Object.entries(ResultCode).map(([name, code]) => [code, name]));

/**
 * The name of a result code in `ResultCode` ("NOT_CONFIRMED" for 134), or
 * "UNKNOWN" for a code this module does not know.
 * @param {number} code
 * @returns {string}
 */
function codeNameOf(code) {
  return NAMES.get(code) ?? "UNKNOWN";
}

/**
 * The daemon's text for a result code (what it puts in "result" on failure).
 * @param {number} code
 * @returns {string}
 */
function messageOf(code) {
  return MESSAGES.get(code) ?? "not find this err";
}

/**
 * The bytes of a reply string that was not UTF-8 on the key's side (a
 * decrypted plain text of any bytes, say): the daemon sends such a string
 * one character per byte, U+0000-U+00FF. A string with a character above
 * U+00FF was sent as UTF-8 text; use TextEncoder for its bytes.
 * @param {string} text
 * @returns {Uint8Array}
 * @throws {RangeError} for a character above U+00FF
 */
function bytesOf(text) {
  const bytes = new Uint8Array(text.length);
  for (let i = 0; i < text.length; i++) {
    const c = text.charCodeAt(i);
    if (c > 0xff) throw new RangeError(`not a byte string: U+${c.toString(16)} at ${i}`);
    bytes[i] = c;
  }
  return bytes;
}

/** Default address of the daemon. */
const DEFAULT_URL = "ws://127.0.0.1:11230/websocket";

/**
 * A failed command: the daemon's "reterr", its name, its message and the
 * command name.
 */
class FpKeyError extends Error {
  /**
   * @param {number} reterr
   * @param {string} message
   * @param {string} fn the command ("function") that failed
   */
  constructor(reterr, message, fn) {
    super(`${fn || "fpkeyd"}: ${message} (${reterr} ${codeNameOf(reterr)})`);
    this.name = "FpKeyError";
    /** @type {number} */
    this.reterr = reterr;
    /** @type {string} the code's name in ResultCode, e.g. "NOT_CONFIRMED" */
    this.code = codeNameOf(reterr);
    /** @type {string} the daemon's text for the code */
    this.result = message;
    /** @type {string} */
    this.function = fn;
  }
}

/**
 * @typedef {{function: string, randomId?: string, result: any, reterr: number}} Reply
 * @typedef {{done: number, remaining: number, total: number, error: number}} EnrollProgress
 *   The sensor reports the captures it still needs (remaining); done =
 *   total - remaining. error: 0, or the sensor's complaint about the last
 *   capture (e.g. FP_POOR_IMAGE for another finger), which did not count;
 *   the enrolment goes on after a complaint.
 * @typedef {{user: string, fingerIndex: number, recordName: string, fingerName: string,
 *            publicKey: string, signInfo: string}} EnrollRecord
 * @typedef {{user: string, fingerIndex: number, recordName: string, fingerName: string}} FingerMatch
 * @typedef {{clientData: string, signature: string, publicKey: string, user: string,
 *            finger: number, record: string, shown: string}} Assertion
 * @typedef {{direction: "out"|"in", text: string}} WireEvent
 * @typedef {{reconnect?: boolean, waitForDaemon?: boolean, callTimeoutMs?: number,
 *            WebSocket?: any, minRetryMs?: number, maxRetryMs?: number}} FpKeyOptions
 *   reconnect (default true): open a new connection when the daemon goes away;
 *   waitForDaemon (default false): connect() keeps retrying instead of failing;
 *   callTimeoutMs (default 60000): limit for commands answered at once (0: none).
 */

function failure(code, fn) {
  return new FpKeyError(code, messageOf(code), fn);
}

// One signal for a whole operation: the caller's, and the time limit
// (milliseconds; 0 or none: no limit). Aborted by the caller it carries
// USER_CANCELED, by the limit CALL_TIMEOUT. done() lets go of both.
function limitOf(opts, fn) {
  const ctl = new AbortController();
  const onAbort = () => ctl.abort(failure(ResultCode.USER_CANCELED, fn));
  const { signal, timeout } = opts;
  if (signal?.aborted) onAbort();
  else signal?.addEventListener("abort", onAbort, { once: true });
  const timer = timeout > 0 ? setTimeout(() => ctl.abort(failure(ResultCode.CALL_TIMEOUT, fn)), timeout) : null;
  return {
    signal: ctl.signal,
    done() {
      clearTimeout(timer);
      signal?.removeEventListener("abort", onAbort);
    },
  };
}

// Commands whose answer is pushed later instead of replied at once.
function delayedKind(fn, params) {
  if (fn === "WaitEnroll") return "ackEnroll";
  if (fn === "LoginFinger") return "ackVerify";
  if (fn === "rkLogin" && Array.isArray(params)) {
    if (params.length === 2) return "ackVerify";
    if (params.length === 3 && (params[2] === null || params[2] === "")) return "ackVerify";
  }
  return null;
}

// A progress "ackEnroll" is [error, captures still needed] with a non-zero
// count; everything else ends the enrolment.
function isEnrollProgress(msg) {
  return msg.reterr === 0 && Array.isArray(msg.result) && msg.result.length === 2 &&
         msg.result[1] !== 0;
}

/** Client of fpkeyd. Create it with `FpKey.connect()`. */
class FpKey {
  /**
   * @param {string} [url]
   * @param {FpKeyOptions} [options]
   */
  constructor(url = DEFAULT_URL, options = {}) {
    this.url = url;
    this.options = {
      reconnect: true, waitForDaemon: false, callTimeoutMs: 60000,
      minRetryMs: 250, maxRetryMs: 5000, ...options,
    };
    this._WS = this.options.WebSocket ?? globalThis.WebSocket;
    if (!this._WS) throw new Error("fpkey.js: no WebSocket implementation");
    this._ws = null;
    this._closedByUser = false;
    this._retryMs = this.options.minRetryMs;
    this._retryTimer = null;
    this._idPrefix = Math.random().toString(36).slice(2, 8);
    this._seq = 0;
    /** @type {Array<{id: string, fn: string, delayed: string|null, resolve: Function, reject: Function, timer: any}>} */
    this._pending = [];
    this._listeners = new Map();
    this._openWaiters = [];
    this._wasOpen = false;
  }

  /**
   * Connects and resolves once the WebSocket is open.
   * @param {string} [url]
   * @param {FpKeyOptions} [options]
   * @returns {Promise<FpKey>}
   */
  static connect(url = DEFAULT_URL, options = {}) {
    const key = new FpKey(url, options);
    return key.start().then(
      () => key,
      (e) => {
        key.close();
        throw e;
      });
  }

  /** @returns {boolean} whether the WebSocket is open now */
  get connected() {
    return !!this._ws && this._ws.readyState === 1;
  }

  /**
   * Listens for "approval" ({site, state}: "wait" while another site's
   * fingerprint operation holds the sensor, "touch" while the daemon waits for
   * the user's touch on the key to allow this site, then "allowed" or
   * "refused"), "confirm" ({site, state, text}: an act of this page the user
   * is asked to confirm by a touch, see assert()), "ackEnroll", "ackVerify" (the pushed reply), "open", "close",
   * "wire" ({direction, text} for every message sent and received),
   * "reply" (every parsed message) and "device" ({name, productId, present}
   * each time a key is plugged in or pulled out). Returns a function that
   * removes it. The first "device" listener asks the daemon with
   * "WatchDevice" (again after every reconnect); removing the last one ends
   * that. A refusal (e.g. 164 from an older daemon) comes as "watchError".
   * @param {"approval"|"confirm"|"ackEnroll"|"ackVerify"|"open"|"close"|"wire"|"reply"|"device"|"watchError"} name
   * @param {(arg: any) => void} fn
   * @returns {() => void}
   */
  on(name, fn) {
    if (!this._listeners.has(name)) this._listeners.set(name, new Set());
    const set = this._listeners.get(name);
    const first = set.size === 0;
    set.add(fn);
    if (name === "device" && first) this._watchDevice(true);
    return () => this.off(name, fn);
  }

  /** @param {string} name @param {(arg: any) => void} fn */
  off(name, fn) {
    const set = this._listeners.get(name);
    if (!set?.delete(fn)) return;
    if (name === "device" && set.size === 0) this._watchDevice(false);
  }

  // Asks the daemon to push (or stop pushing) key arrivals and removals on
  // this connection; a closed connection asks when it opens again.
  _watchDevice(on) {
    if (!this.connected) return;
    this.call("WatchDevice", on ? [] : [false]).catch((e) => this._emit("watchError", e));
  }

  _emit(name, arg) {
    for (const fn of [...(this._listeners.get(name) ?? [])]) {
      try { fn(arg); } catch (e) { setTimeout(() => { throw e; }); }
    }
  }

  /**
   * Sends one command and resolves with its "result", or rejects with an
   * FpKeyError. "WaitEnroll", "LoginFinger" and a fingerprint "rkLogin"
   * (empty PIN) resolve with the final pushed "ackEnroll"/"ackVerify".
   * An aborted `signal` rejects the call at once with its reason (an
   * FpKeyError, USER_CANCELED unless the signal says otherwise); the
   * daemon's later answer is then ignored.
   * @param {string} fn command name, e.g. "GetDevInfo"
   * @param {any} [params] usually an array of positional arguments
   * @param {{timeoutMs?: number, signal?: AbortSignal}} [opts]
   * @returns {Promise<any>}
   */
  async call(fn, params = [], opts = {}) {
    const { signal } = opts;
    const stopped = () =>
      signal.reason instanceof FpKeyError ? signal.reason : failure(ResultCode.USER_CANCELED, fn);
    if (signal?.aborted) throw stopped();
    await this._whenOpen();
    if (signal?.aborted) throw stopped();
    const id = `${this._idPrefix}-${++this._seq}`;
    const delayed = delayedKind(fn, params);
    const text = JSON.stringify({ function: fn, params, randomId: id });
    return new Promise((resolve, reject) => {
      const entry = { id, fn, delayed, resolve, reject, timer: null, signal, onAbort: null };
      const limit = opts.timeoutMs ?? (delayed ? 0 : this.options.callTimeoutMs);
      if (limit > 0) {
        entry.timer = setTimeout(() => {
          this._drop(entry);
          reject(failure(ResultCode.CALL_TIMEOUT, fn));
        }, limit);
      }
      if (signal) {
        entry.onAbort = () => {
          this._drop(entry);
          reject(stopped());
        };
        signal.addEventListener("abort", entry.onAbort, { once: true });
      }
      this._pending.push(entry);
      try {
        this._ws.send(text);
      } catch (e) {
        this._drop(entry);
        reject(failure(ResultCode.CONNECTION_LOST, fn));
        return;
      }
      this._emit("wire", { direction: "out", text });
    });
  }

  // Runs `work` under the caller's signal and time limit; when they end it,
  // `cancel` (if any) tells the daemon to stop too, before the rejection,
  // so that the next operation does not meet this one's end.
  async _limited(fn, opts, work, cancel) {
    const limit = limitOf(opts, fn);
    try {
      return await work(limit.signal);
    } catch (e) {
      if (limit.signal.aborted && cancel && this.connected) await cancel().catch(() => {});
      throw e;
    } finally {
      limit.done();
    }
  }

  /**
   * Enrols a finger: "RegisterUser" (new user) or "AddFinger", then
   * "WaitEnroll"; resolves with the finished record.
   * @param {string} user
   * @param {number} fingerIndex 1..10
   * @param {string} fingerName display name stored with the finger
   * Aborting `signal` or passing `timeout` milliseconds ends the
   * enrolment on the key ("CancelEnroll") and rejects with USER_CANCELED or
   * CALL_TIMEOUT.
   * @param {{addFinger?: boolean, onProgress?: (p: EnrollProgress) => void,
   *          signal?: AbortSignal, timeout?: number}} [opts]
   * @returns {Promise<EnrollRecord>}
   */
  enroll(user, fingerIndex, fingerName, opts = {}) {
    const cmd = opts.addFinger ? "AddFinger" : "RegisterUser";
    return this._limited(cmd, opts, async (signal) => {
      const started = await this.call(cmd, [user, fingerIndex, fingerName], { signal });
      const total = Array.isArray(started) && Number.isInteger(started[0]) ? started[0] : 6;
      const off = this.on("ackEnroll", (msg) => {
        if (isEnrollProgress(msg) && opts.onProgress) {
          const remaining = msg.result[1];
          opts.onProgress({ done: Math.max(0, total - remaining), remaining, total, error: msg.result[0] });
        }
      });
      try {
        const r = await this.call("WaitEnroll", [], { signal });
        return { user: typeof r[7] === "string" ? r[7] : user, fingerIndex: r[2], recordName: r[3],
                 fingerName: r[4], publicKey: r[5], signInfo: r[6] };
      } finally {
        off();
      }
    }, () => this.cancelEnroll());
  }

  /**
   * A statement for a web server ("FingerAssert"): the daemon shows the site
   * and `text` (empty: "sign in") on the desktop and to this page (the
   * "confirm" event), and a fresh touch of an enrolled finger signs the
   * clientData that names this page's site and the server's challenge.
   * Resolves with what a server verifies; rejects with NOT_CONFIRMED when no
   * finger touched the key in time.
   * @param {string} challenge the server's single-use value (16-512 visible ASCII characters)
   * Aborting `signal` rejects at once with USER_CANCELED, and `timeout`
   * (default 60000 ms) with CALL_TIMEOUT (the daemon's question ends by
   * itself, or with the page).
   * @param {{text?: string, timeout?: number, signal?: AbortSignal}} [opts]
   * @returns {Promise<Assertion>}
   */
  assert(challenge, opts = {}) {
    return this._limited("FingerAssert", { timeout: 60000, ...opts }, async (signal) => {
      const r = await this.call("FingerAssert", [challenge, opts.text ?? ""], { signal, timeoutMs: 0 });
      const data = JSON.parse(r[0]);
      return { clientData: r[0], signature: r[1], publicKey: r[2], user: data.user,
               finger: data.finger, record: data.record, shown: data.shown };
    });
  }

  /**
   * Fingerprint login ("LoginFinger"): resolves with the matched user and
   * finger. Aborting `signal` or passing `timeout` milliseconds ends the
   * verification on the key ("CancelVerify") and rejects with USER_CANCELED
   * or CALL_TIMEOUT.
   * @param {{signal?: AbortSignal, timeout?: number}} [opts]
   * @returns {Promise<FingerMatch>}
   */
  loginFinger(opts = {}) {
    return this._limited("LoginFinger", opts, async (signal) => {
      const r = await this.call("LoginFinger", [], { signal });
      return { user: r[1], fingerIndex: r[2], recordName: r[3], fingerName: r[4] };
    }, () => this.cancelVerify());
  }

  /**
   * Polling verification: "startVerify", then "LoopVerify" until it stops
   * answering PENDING. Resolves on a match; rejects with the outcome's code.
   * Aborting the signal or reaching `timeout` milliseconds sends
   * "CancelVerify" and rejects with USER_CANCELED or CALL_TIMEOUT.
   * @param {{deviceName?: string|null, signal?: AbortSignal, timeout?: number,
   *          onPoll?: (n: number) => void}} [opts]
   * @returns {Promise<void>}
   */
  pollVerify(opts = {}) {
    const params = opts.deviceName === undefined ? [] : [opts.deviceName];
    return this._limited("LoopVerify", opts, async (signal) => {
      await this.call("startVerify", params, { signal });
      for (let n = 1; ; n++) {
        opts.onPoll?.(n);
        if (signal.aborted) throw signal.reason;
        try {
          await this.call("LoopVerify", [], { signal });
          return;
        } catch (e) {
          if (!(e instanceof FpKeyError) || e.reterr !== ResultCode.PENDING) throw e;
        }
      }
    }, () => this.cancelVerify());
  }

  /** Ends a running enrolment; the daemon always answers 5, which is success here. */
  cancelEnroll() {
    return this._cancel("CancelEnroll");
  }

  /** Ends a running verification; the daemon always answers 5, which is success here. */
  cancelVerify() {
    return this._cancel("CancelVerify");
  }

  async _cancel(fn) {
    try {
      await this.call(fn, [], { timeoutMs: 5000 });
    } catch (e) {
      if (!(e instanceof FpKeyError) || e.reterr !== ResultCode.USER_CANCELED) throw e;
    }
  }

  /** Closes the connection for good; pending calls fail with CONNECTION_LOST. */
  close() {
    this._closedByUser = true;
    clearTimeout(this._retryTimer);
    if (this._ws) this._ws.close();
    this._failAll();
    for (const w of this._openWaiters.splice(0)) w.reject(this._lostError(""));
  }

  // --- connection ---

  /**
   * Opens the connection; resolves once it is open (rejects at the first
   * failure unless waitForDaemon). `FpKey.connect` is this plus the constructor.
   * @returns {Promise<void>}
   */
  start() {
    return new Promise((resolve, reject) => {
      const first = { resolve, reject, failFast: !this.options.waitForDaemon };
      this._openWaiters.push(first);
      this._open();
    });
  }

  _open() {
    if (this._closedByUser) return;
    let ws;
    try {
      ws = new this._WS(this.url);
    } catch (e) {
      this._onClose(null);
      return;
    }
    this._ws = ws;
    ws.onopen = () => {
      this._wasOpen = true;
      this._retryMs = this.options.minRetryMs;
      for (const w of this._openWaiters.splice(0)) w.resolve();
      // A new connection knows nothing of what the last one asked for.
      if (this._listeners.get("device")?.size) this._watchDevice(true);
      this._emit("open", this.url);
    };
    ws.onmessage = (ev) => this._onMessage(typeof ev.data === "string" ? ev.data : String(ev.data));
    ws.onclose = () => this._onClose(ws);
    // Some implementations report a refused connection only as an error.
    ws.onerror = () => {
      if (ws.readyState !== 1) this._onClose(ws);
    };
  }

  _onClose(ws) {
    if (ws && ws !== this._ws) return;
    const wasOpen = this._wasOpen;
    this._wasOpen = false;
    this._ws = null;
    this._failAll();
    if (wasOpen) this._emit("close", this.url);
    // A connect() that should not wait gives up at the first failure.
    const keep = [];
    for (const w of this._openWaiters.splice(0)) {
      if (w.failFast) w.reject(this._lostError(""));
      else keep.push(w);
    }
    this._openWaiters.push(...keep);
    if (this._closedByUser) return;
    if (!this.options.reconnect && keep.length === 0) {
      this._closedByUser = true;
      return;
    }
    const delay = this._retryMs;
    this._retryMs = Math.min(this._retryMs * 2, this.options.maxRetryMs);
    this._retryTimer = setTimeout(() => this._open(), delay);
  }

  _whenOpen() {
    if (this.connected) return Promise.resolve();
    if (this._closedByUser) return Promise.reject(this._lostError(""));
    return new Promise((resolve, reject) => this._openWaiters.push({ resolve, reject, failFast: false }));
  }

  _lostError(fn) {
    return failure(ResultCode.CONNECTION_LOST, fn);
  }

  _failAll() {
    for (const e of [...this._pending]) {
      this._drop(e);
      e.reject(this._lostError(e.fn));
    }
  }

  _drop(entry) {
    clearTimeout(entry.timer);
    if (entry.onAbort) entry.signal.removeEventListener("abort", entry.onAbort);
    const i = this._pending.indexOf(entry);
    if (i >= 0) this._pending.splice(i, 1);
  }

  // --- replies ---

  _onMessage(text) {
    this._emit("wire", { direction: "in", text });
    let msg;
    try {
      msg = JSON.parse(text);
    } catch {
      return;
    }
    if (!msg || typeof msg !== "object") return;
    this._emit("reply", msg);
    const fn = msg.function;
    if (fn === "ackConfirm") {
      // The daemon asks the user to confirm this page's act: "wait" while
      // the sensor is busy, "touch" while it waits for the touch.
      const r = Array.isArray(msg.result) ? msg.result : [];
      this._emit("confirm", { site: String(r[0] ?? ""), state: String(r[1] ?? ""),
                              text: String(r[2] ?? "") });
      return;
    }
    if (fn === "ackApprove") {
      // The daemon asks the user to allow this site: "wait" while the sensor
      // is busy, "touch" while it waits for the touch, then "allowed" or
      // "refused".
      const site = Array.isArray(msg.result) ? String(msg.result[0]) : "";
      const state = msg.reterr !== 0 ? "refused" : Array.isArray(msg.result) ? String(msg.result[1]) : "";
      this._emit("approval", { site, state });
      return;
    }
    if (fn === "ackDevice") {
      // Pushed, never a reply: it must not settle a waiting call.
      const r = msg.result;
      if (msg.reterr === 0 && Array.isArray(r) && r.length === 3 && typeof r[0] === "string" &&
          Number.isInteger(r[1]) && typeof r[2] === "boolean") {
        this._emit("device", { name: r[0], productId: r[1], present: r[2] });
      }
      return;
    }
    if (fn === "ackEnroll" || fn === "ackVerify") {
      this._emit(fn, msg);
      if (fn === "ackEnroll" && isEnrollProgress(msg)) return;
      const entry = this._pending.find((e) => e.delayed === fn);
      if (entry) this._settle(entry, msg, true);
      return;
    }
    let entry;
    if (typeof msg.randomId === "string") {
      entry = this._pending.find((e) => e.id === msg.randomId);
    } else {
      // No randomId (envelope errors): the oldest call still waiting.
      entry = this._pending.find((e) => !e.delayed) ?? this._pending[0];
    }
    if (entry) this._settle(entry, msg, false);
  }

  _settle(entry, msg, pushed) {
    this._drop(entry);
    if (msg.reterr !== 0) {
      entry.reject(new FpKeyError(msg.reterr, String(msg.result), entry.fn));
      return;
    }
    // A pushed verification failure with a sensor code comes as [code].
    if (pushed && msg.function === "ackVerify" && Array.isArray(msg.result) &&
        msg.result.length === 1) {
      entry.reject(new FpKeyError(msg.result[0], messageOf(msg.result[0]), entry.fn));
      return;
    }
    entry.resolve(msg.result);
  }
}

globalThis.fpkey = { ResultCode, codeNameOf, messageOf, bytesOf, DEFAULT_URL, FpKeyError, FpKey };
})();
