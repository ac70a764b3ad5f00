// A tiny WebSocket server (RFC 6455 text frames only) that plays the daemon
// in the fpkey.js tests. No dependencies: node:http upgrade plus framing.
import { createServer } from "node:http";
import { createHash } from "node:crypto";

const GUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

function frame(opcode, payload) {
  const len = payload.length;
  let head;
  if (len < 126) {
    head = Buffer.from([0x80 | opcode, len]);
  } else if (len < 65536) {
    head = Buffer.alloc(4);
    head[0] = 0x80 | opcode;
    head[1] = 126;
    head.writeUInt16BE(len, 2);
  } else {
    head = Buffer.alloc(10);
    head[0] = 0x80 | opcode;
    head[1] = 127;
    head.writeBigUInt64BE(BigInt(len), 2);
  }
  return Buffer.concat([head, payload]);
}

class Conn {
  constructor(socket, server) {
    this.socket = socket;
    this.server = server;
    this.buf = Buffer.alloc(0);
    this.received = [];
    socket.on("data", (d) => this._data(d));
    socket.on("error", () => {});
  }

  /** Sends an object (as JSON) or a raw text. */
  send(msg) {
    const text = typeof msg === "string" ? msg : JSON.stringify(msg);
    if (!this.socket.destroyed) this.socket.write(frame(1, Buffer.from(text)));
  }

  /** Drops the TCP connection without a close frame, as a dying daemon does. */
  kill() {
    this.socket.destroy();
  }

  _data(d) {
    this.buf = Buffer.concat([this.buf, d]);
    for (;;) {
      if (this.buf.length < 2) return;
      const opcode = this.buf[0] & 0x0f;
      const masked = (this.buf[1] & 0x80) !== 0;
      let len = this.buf[1] & 0x7f;
      let off = 2;
      if (len === 126) {
        if (this.buf.length < 4) return;
        len = this.buf.readUInt16BE(2);
        off = 4;
      } else if (len === 127) {
        if (this.buf.length < 10) return;
        len = Number(this.buf.readBigUInt64BE(2));
        off = 10;
      }
      const maskOff = off;
      if (masked) off += 4;
      if (this.buf.length < off + len) return;
      const payload = Buffer.from(this.buf.subarray(off, off + len));
      if (masked) {
        for (let i = 0; i < len; i++) payload[i] ^= this.buf[maskOff + (i & 3)];
      }
      this.buf = this.buf.subarray(off + len);
      if (opcode === 8) {
        if (!this.socket.destroyed) this.socket.end(frame(8, Buffer.alloc(0)));
        return;
      }
      if (opcode === 9) {
        this.socket.write(frame(10, payload));
        continue;
      }
      if (opcode === 1 || opcode === 2) {
        const text = payload.toString("utf8");
        let msg;
        try {
          msg = JSON.parse(text);
        } catch {
          msg = text;
        }
        this.received.push(msg);
        this.server.handler(this, msg);
      }
    }
  }
}

/**
 * Starts a fake daemon. handler(conn, request) answers each command.
 * @param {(conn: Conn, req: any) => void} handler
 * @param {number} [port] 0 for any free port
 */
export async function startFakeDaemon(handler, port = 0) {
  const http = createServer((req, res) => {
    res.writeHead(426);
    res.end("WS upgrade expected\n");
  });
  const srv = { handler, conns: [], http, port: 0, url: "" };
  http.on("upgrade", (req, socket) => {
    const key = req.headers["sec-websocket-key"];
    const accept = createHash("sha1").update(key + GUID).digest("base64");
    socket.write("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n" +
                 `Connection: Upgrade\r\nSec-WebSocket-Accept: ${accept}\r\n\r\n`);
    srv.conns.push(new Conn(socket, srv));
  });
  await new Promise((resolve) => http.listen(port, "127.0.0.1", resolve));
  srv.port = http.address().port;
  srv.url = `ws://127.0.0.1:${srv.port}/websocket`;
  srv.stop = () =>
    new Promise((resolve) => {
      for (const c of srv.conns) c.kill();
      http.close(() => resolve());
    });
  return srv;
}

/** The daemon's reply envelope for a request. */
export function reply(req, result, reterr = 0) {
  const r = { function: req.function };
  if (typeof req.randomId === "string" && req.randomId) r.randomId = req.randomId;
  r.result = result;
  r.reterr = reterr;
  return r;
}
