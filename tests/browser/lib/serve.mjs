// Serves web/ on 127.0.0.1 (a free port) as any local static server would:
// over http, or over https with a throwaway certificate (makeCert).
import { createServer } from "node:http";
import { createServer as createHttpsServer } from "node:https";
import { execFileSync } from "node:child_process";
import { existsSync, readFileSync, statSync } from "node:fs";
import { dirname, extname, join, normalize, sep } from "node:path";
import { fileURLToPath } from "node:url";

export const WEB_DIR = join(dirname(fileURLToPath(import.meta.url)), "..", "..", "..", "web");

const TYPES = { ".html": "text/html", ".js": "text/javascript", ".mjs": "text/javascript", ".css": "text/css" };

/**
 * @param {{key: Buffer, cert: Buffer}} [tls] serve https with this key and certificate
 * @param {string} [dir] the folder to serve instead of web/
 * @returns {Promise<import("node:http").Server>} listening; .address().port, .origin
 */
export function serveWeb(tls, dir = WEB_DIR) {
  const root = normalize(dir);
  const handler = (req, res) => {
    const file = join(root, normalize(decodeURIComponent(new URL(req.url, "http://x").pathname)));
    if (!file.startsWith(root + sep) || !existsSync(file) || statSync(file).isDirectory()) {
      res.writeHead(404);
      res.end();
      return;
    }
    res.writeHead(200, { "Content-Type": TYPES[extname(file)] || "application/octet-stream" });
    res.end(readFileSync(file));
  };
  const srv = tls ? createHttpsServer(tls, handler) : createServer(handler);
  return new Promise((resolve) => srv.listen(0, "127.0.0.1", () => {
    srv.origin = `${tls ? "https" : "http"}://127.0.0.1:${srv.address().port}`;
    resolve(srv);
  }));
}

/**
 * A self-signed certificate for 127.0.0.1, made with the openssl CLI in
 * `dir`, valid for one day. No browser trusts it: the tests tell the
 * browser to accept it (it exists for one run and signs nothing else).
 * @returns {{key: Buffer, cert: Buffer}}
 */
export function makeCert(dir) {
  const key = join(dir, "page-key.pem");
  const cert = join(dir, "page-cert.pem");
  execFileSync("openssl", ["req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                           "-keyout", key, "-out", cert, "-days", "1", "-subj", "/CN=127.0.0.1",
                           "-addext", "subjectAltName=IP:127.0.0.1"], { stdio: "pipe" });
  return { key: readFileSync(key), cert: readFileSync(cert) };
}
