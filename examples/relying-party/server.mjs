// An example relying party: a web server whose users enrol a finger of their
// fpkey security key, sign in with a touch and confirm payments with a touch.
// The server issues every challenge, builds every text the user confirms and
// checks every answer with web/verify.mjs; the page only carries them.
//
//   node examples/relying-party/server.mjs [--port N] [--origin ORIGIN] [--store FILE]
//
// --port: where it listens on 127.0.0.1 (8240); --origin: the origin the key
// must name in what it signs (http://127.0.0.1:PORT; behind a proxy, the
// public one); --store: a JSON file that keeps enrolled users across runs
// (in memory only without it). Node 20 or later, nothing else.
import { createServer } from "node:http";
import { randomBytes } from "node:crypto";
import { existsSync, readFileSync, renameSync, writeFileSync } from "node:fs";
import { dirname, join } from "node:path";
import { fileURLToPath } from "node:url";
import { verifyAssertion, verifyEnrolment } from "../../web/verify.mjs";

const HERE = dirname(fileURLToPath(import.meta.url));
const WEB = join(HERE, "..", "..", "web");

const MAX_BODY = 16 * 1024;
const CHALLENGE_MS = 2 * 60 * 1000;
const SESSION_MS = 30 * 60 * 1000;
// In-memory tables are bounded so that a flood of requests cannot grow them.
const MAX_CHALLENGES = 1000;
const MAX_SESSIONS = 1000;
const MAX_USERS = 1000;
const COOKIE = "rp_session";

const USER = /^[A-Za-z0-9._-]{1,32}$/;
const KEY_HEX = /^04[0-9A-Fa-f]{128}$/;
const DER_HEX = /^[0-9A-Fa-f]{2,144}$/;
const SERIAL = /^[\x21-\x7e]{1,64}$/;
const AMOUNT = /^\d{1,7}(\.\d{1,2})?$/;
// Letters, digits and a little punctuation: the payee is shown on the
// user's desktop and must read as what it is.
const PAYEE = /^[\p{L}\p{N}][\p{L}\p{N} .,&'-]{0,39}$/u;

class HttpError extends Error {
  constructor(status, message) {
    super(message);
    this.status = status;
  }
}

// ---- options ----

function options(argv) {
  const o = { port: 8240, origin: "", store: "" };
  for (let i = 0; i < argv.length; i += 2) {
    const [name, value] = [argv[i], argv[i + 1]];
    if (value === undefined) usage(`${name} needs a value`);
    if (name === "--port") {
      o.port = Number(value);
      if (!Number.isInteger(o.port) || o.port < 1 || o.port > 65535) usage(`bad port ${value}`);
    } else if (name === "--origin") {
      o.origin = value;
    } else if (name === "--store") {
      o.store = value;
    } else {
      usage(`unknown option ${name}`);
    }
  }
  o.origin ||= `http://127.0.0.1:${o.port}`;
  let parsed;
  try {
    parsed = new URL(o.origin);
  } catch {
    usage(`bad origin ${o.origin}`);
  }
  // The key names the origin as the browser sends it: scheme://host[:port], nothing after.
  if (parsed.origin !== o.origin) usage(`origin must be scheme://host[:port], e.g. ${parsed.origin}`);
  return o;
}

function usage(why) {
  console.error(`relying-party: ${why}\nusage: node server.mjs [--port N] [--origin ORIGIN] [--store FILE]`);
  process.exit(2);
}

const opt = options(process.argv.slice(2));
const ORIGIN = opt.origin;

// ---- enrolled users ----

// user -> { publicKey, record, serial, deviceKey }
const users = new Map();

function loadUsers(file) {
  if (!file || !existsSync(file)) return;
  const saved = JSON.parse(readFileSync(file, "utf8"));
  for (const [user, u] of Object.entries(saved.users ?? {})) {
    if (!USER.test(user) || !KEY_HEX.test(u?.publicKey) || typeof u.record !== "string" || !SERIAL.test(u.serial) ||
        !KEY_HEX.test(u.deviceKey)) {
      throw new Error(`the entry of ${JSON.stringify(user)} is not one this server writes`);
    }
    users.set(user, { publicKey: u.publicKey, record: u.record, serial: u.serial, deviceKey: u.deviceKey });
  }
}

function saveUsers(file) {
  if (!file) return;
  const tmp = `${file}.${process.pid}.tmp`;
  writeFileSync(tmp, JSON.stringify({ users: Object.fromEntries(users) }, null, 1) + "\n", { mode: 0o600 });
  renameSync(tmp, file);
}

// ---- challenges ----

// value -> { purpose, expires, ...what it is bound to }. A challenge leaves
// on its first use, whatever the outcome; used ones are remembered until
// they would have expired, so that a replay is told apart from a stranger.
const challenges = new Map();
const spent = new Map();

function prune(map, now) {
  for (const [k, v] of map) {
    if (v.expires <= now) map.delete(k);
  }
}

function issueChallenge(binding) {
  const now = Date.now();
  prune(challenges, now);
  prune(spent, now);
  if (challenges.size >= MAX_CHALLENGES) throw new HttpError(503, "too many challenges outstanding; try again later");
  const value = randomBytes(32).toString("base64url");
  challenges.set(value, { ...binding, expires: now + CHALLENGE_MS });
  return value;
}

const PURPOSES = { enrol: "an enrolment", signin: "a sign-in", payment: "a payment" };

function takeChallenge(value, purpose) {
  if (typeof value !== "string") throw new HttpError(400, "no challenge");
  const c = challenges.get(value);
  if (!c) {
    throw new HttpError(400, spent.has(value) ? "challenge already used" : "unknown or expired challenge");
  }
  challenges.delete(value);
  // Bounded too: past the limit the oldest used ones are only "unknown".
  if (spent.size >= 10 * MAX_CHALLENGES) spent.delete(spent.keys().next().value);
  spent.set(value, { expires: c.expires });
  if (c.expires <= Date.now()) throw new HttpError(400, "challenge expired");
  if (c.purpose !== purpose) throw new HttpError(400, `challenge was issued for ${PURPOSES[c.purpose]}, not ${PURPOSES[purpose]}`);
  return { value, ...c };
}

// ---- sessions ----

// id -> { user, expires }
const sessions = new Map();

function sessionOf(req) {
  const header = req.headers.cookie ?? "";
  for (const part of header.split(";")) {
    const [name, value] = part.trim().split("=");
    if (name !== COOKIE || !value) continue;
    const s = sessions.get(value);
    if (s && s.expires > Date.now()) return { id: value, ...s };
    if (s) sessions.delete(value);
  }
  return null;
}

function requireSession(req) {
  const s = sessionOf(req);
  if (!s) throw new HttpError(401, "not signed in");
  return s;
}

function cookie(value, maxAge) {
  const secure = ORIGIN.startsWith("https:") ? "; Secure" : "";
  return `${COOKIE}=${value}; Path=/; HttpOnly; SameSite=Strict; Max-Age=${maxAge}${secure}`;
}

function newSession(user) {
  const now = Date.now();
  prune(sessions, now);
  if (sessions.size >= MAX_SESSIONS) throw new HttpError(503, "too many sessions; try again later");
  const id = randomBytes(32).toString("base64url");
  sessions.set(id, { user, expires: now + SESSION_MS });
  return cookie(id, SESSION_MS / 1000);
}

// ---- requests ----

function readBody(req) {
  return new Promise((resolve, reject) => {
    if (Number(req.headers["content-length"]) > MAX_BODY) {
      reject(new HttpError(413, `body larger than ${MAX_BODY} bytes`));
      return;
    }
    const chunks = [];
    let size = 0;
    req.on("data", (chunk) => {
      size += chunk.length;
      if (size > MAX_BODY) {
        req.removeAllListeners("data");
        reject(new HttpError(413, `body larger than ${MAX_BODY} bytes`));
      } else {
        chunks.push(chunk);
      }
    });
    req.on("end", () => resolve(Buffer.concat(chunks)));
    req.on("error", reject);
  });
}

async function readJson(req) {
  const type = (req.headers["content-type"] ?? "").split(";")[0].trim().toLowerCase();
  if (type !== "application/json") throw new HttpError(415, "send application/json");
  const bytes = await readBody(req);
  let body;
  try {
    body = JSON.parse(new TextDecoder("utf-8", { fatal: true }).decode(bytes));
  } catch {
    throw new HttpError(400, "body is not UTF-8 JSON");
  }
  if (body === null || typeof body !== "object" || Array.isArray(body)) throw new HttpError(400, "body is not a JSON object");
  return body;
}

const own = (body, name) => (Object.hasOwn(body, name) ? body[name] : undefined);

// A member of the body that must be a string matching `pattern`.
function field(body, name, pattern) {
  const v = own(body, name);
  if (typeof v !== "string" || !pattern.test(v)) throw new HttpError(400, `bad or missing ${name}`);
  return v;
}

// What an assertion claims before it is checked: only which challenge it
// answers and whose stored key should check it.
function claimOf(body) {
  const clientData = field(body, "clientData", /^[^]{1,4096}$/);
  const signature = field(body, "signature", DER_HEX);
  let claim;
  try {
    claim = JSON.parse(clientData);
  } catch {
    throw new HttpError(400, "clientData is not JSON");
  }
  if (claim === null || typeof claim !== "object" || typeof own(claim, "user") !== "string") {
    throw new HttpError(400, "clientData names no user");
  }
  return { clientData, signature, challenge: own(claim, "challenge"), user: claim.user };
}

// The stored key checks the assertion; it must come from the finger and the
// key that were enrolled.
function checkAssertion(a, bound, text) {
  const account = users.get(a.user);
  if (!account) throw new HttpError(401, "no such user enrolled");
  const r = verifyAssertion({ publicKey: account.publicKey, clientData: a.clientData, signature: a.signature,
                              origin: ORIGIN, challenge: bound.value, text });
  if (!r.ok) throw new HttpError(401, `assertion refused (${r.check}): ${r.reason}`);
  if (r.record !== account.record || r.serial !== account.serial) {
    throw new HttpError(401, "signed by another finger or key than the one enrolled");
  }
  return r;
}

const routes = {
  "POST /api/enrol/begin": async (req) => {
    const user = field(await readJson(req), "user", USER);
    if (users.has(user)) throw new HttpError(409, "user already enrolled");
    if (users.size >= MAX_USERS) throw new HttpError(503, "no room for more users");
    return { body: { challenge: issueChallenge({ purpose: "enrol", user }) } };
  },

  // The record is the device key's statement that this finger key was made on
  // the key with this serial. The device key itself is the page's word here:
  // trust on first use, for the example. A real server must trust the device
  // key through its certificate chain or a registry of the keys it issued.
  "POST /api/enrol": async (req) => {
    const body = await readJson(req);
    const bound = takeChallenge(own(body, "challenge"), "enrol");
    const user = field(body, "user", USER);
    if (user !== bound.user) throw new HttpError(400, "challenge was issued for another user");
    const e = {
      deviceKey: field(body, "deviceKey", KEY_HEX),
      publicKey: field(body, "publicKey", KEY_HEX),
      record: field(body, "record", /^[^]{1,160}$/),
      serial: field(body, "serial", SERIAL),
      signinfo: field(body, "signinfo", DER_HEX),
    };
    // The record name begins with the user's name as the key stored it.
    if (!e.record.startsWith(`${user}_`)) throw new HttpError(400, "record is not the user's");
    const r = verifyEnrolment(e);
    if (!r.ok) throw new HttpError(400, `enrolment refused (${r.check}): ${r.reason}`);
    if (users.has(user)) throw new HttpError(409, "user already enrolled");
    users.set(user, { publicKey: e.publicKey.toUpperCase(), record: e.record, serial: e.serial, deviceKey: e.deviceKey });
    saveUsers(opt.store);
    return { body: { enrolled: user, record: e.record, serial: e.serial } };
  },

  "POST /api/signin/begin": async (req) => {
    await readJson(req);
    return { body: { challenge: issueChallenge({ purpose: "signin" }) } };
  },

  "POST /api/signin": async (req) => {
    const a = claimOf(await readJson(req));
    const bound = takeChallenge(a.challenge, "signin");
    const r = checkAssertion(a, bound, "");
    return { body: { user: r.user, finger: r.finger, shown: r.shown }, cookie: newSession(r.user) };
  },

  "GET /api/me": async (req) => ({ body: { user: requireSession(req).user } }),

  "POST /api/signout": async (req) => {
    await readJson(req);
    const s = sessionOf(req);
    if (s) sessions.delete(s.id);
    return { body: { user: null }, cookie: cookie("", 0) };
  },

  // The server writes the text the user confirms; the page never chooses it.
  "POST /api/pay/begin": async (req) => {
    const s = requireSession(req);
    const body = await readJson(req);
    const amount = field(body, "amount", AMOUNT);
    const payee = field(body, "payee", PAYEE).trim();
    const [units, cents = ""] = amount.split(".");
    const value = `${BigInt(units)}.${cents.padEnd(2, "0")}`;
    if (value === "0.00") throw new HttpError(400, "nothing to pay");
    const text = `Pay ${value} to ${payee}`;
    return { body: { challenge: issueChallenge({ purpose: "payment", session: s.id, text }), text } };
  },

  "POST /api/pay": async (req) => {
    const s = requireSession(req);
    const a = claimOf(await readJson(req));
    const bound = takeChallenge(a.challenge, "payment");
    if (bound.session !== s.id || a.user !== s.user) throw new HttpError(403, "challenge was issued to another session");
    checkAssertion(a, bound, bound.text);
    return { body: { status: "paid", text: bound.text, user: s.user } };
  },
};

// ---- files ----

const FILES = new Map([
  ["/", [join(HERE, "index.html"), "text/html; charset=utf-8"]],
  ["/index.html", [join(HERE, "index.html"), "text/html; charset=utf-8"]],
  ["/app.js", [join(HERE, "app.js"), "text/javascript; charset=utf-8"]],
  ["/style.css", [join(HERE, "style.css"), "text/css; charset=utf-8"]],
  ["/fpkey.js", [join(WEB, "fpkey.js"), "text/javascript; charset=utf-8"]],
]);

// The page talks to its own server and to fpkeyd on the loopback, nothing
// else, and is never framed (a framed page could borrow the user's touch).
const PAGE_HEADERS = {
  "Content-Security-Policy": "default-src 'self'; connect-src 'self' ws://127.0.0.1:* ws://localhost:*; " +
                             "frame-ancestors 'none'; base-uri 'none'",
  "X-Content-Type-Options": "nosniff",
  "Referrer-Policy": "no-referrer",
  "Cache-Control": "no-store",
};

function send(res, status, body, headers = {}) {
  const text = JSON.stringify(body);
  res.writeHead(status, { ...PAGE_HEADERS, "Content-Type": "application/json; charset=utf-8",
                          "Content-Length": Buffer.byteLength(text), ...headers });
  res.end(text);
}

async function handle(req, res) {
  let path;
  try {
    path = new URL(req.url, "http://x").pathname;
  } catch {
    throw new HttpError(400, "bad request target");
  }
  const file = FILES.get(path);
  if (file && (req.method === "GET" || req.method === "HEAD")) {
    const data = readFileSync(file[0]);
    res.writeHead(200, { ...PAGE_HEADERS, "Content-Type": file[1], "Content-Length": data.length });
    res.end(req.method === "HEAD" ? undefined : data);
    return;
  }
  const route = routes[`${req.method} ${path}`];
  if (!route) {
    const known = Object.keys(routes).some((k) => k.endsWith(` ${path}`)) || FILES.has(path);
    throw new HttpError(known ? 405 : 404, known ? `${req.method} not allowed here` : "not found");
  }
  // A browser names the page that sent a request; only our own may act.
  if (req.method !== "GET" && req.headers.origin !== undefined && req.headers.origin !== ORIGIN) {
    throw new HttpError(403, "request from another origin");
  }
  const r = await route(req);
  send(res, 200, r.body, r.cookie ? { "Set-Cookie": r.cookie } : {});
}

try {
  loadUsers(opt.store);
} catch (e) {
  console.error(`relying-party: cannot load ${opt.store}: ${e.message}`);
  process.exit(2);
}
const server = createServer((req, res) => {
  handle(req, res).catch((e) => {
    if (res.headersSent) {
      res.destroy();
      return;
    }
    const status = e instanceof HttpError ? e.status : 500;
    if (status === 500) console.error(e);
    // Whatever of an oversized body is still coming is not read.
    send(res, status, { error: status === 500 ? "internal error" : e.message },
         status === 413 ? { Connection: "close" } : {});
  });
});
server.headersTimeout = 10000;
server.requestTimeout = 15000;
server.on("error", (e) => {
  console.error(`relying-party: ${e.message}`);
  process.exit(1);
});
server.listen(opt.port, "127.0.0.1", () => {
  console.log(`relying party for ${ORIGIN} on http://127.0.0.1:${opt.port}/ (${users.size} users enrolled)`);
});
