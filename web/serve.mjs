// Serves web/ on 127.0.0.1 for the demo: node web/serve.mjs [PORT]
// [--https KEY.pem CERT.pem] (any static server does; this one needs nothing
// but Node). With --https the page comes from an https origin, as a
// deployed site's would, and still reaches ws://127.0.0.1.
import { createServer } from "node:http";
import { createServer as createHttpsServer } from "node:https";
import { existsSync, readFileSync, statSync } from "node:fs";
import { dirname, extname, join, normalize, sep } from "node:path";
import { fileURLToPath } from "node:url";

const root = dirname(fileURLToPath(import.meta.url));
const argv = process.argv.slice(2);
const tlsAt = argv.indexOf("--https");
const tls = tlsAt >= 0 ? { key: readFileSync(argv[tlsAt + 1]), cert: readFileSync(argv[tlsAt + 2]) } : null;
if (tlsAt >= 0) argv.splice(tlsAt, 3);
const port = Number(argv[0] || 8230);
const types = {
  ".html": "text/html; charset=utf-8", ".js": "text/javascript; charset=utf-8",
  ".mjs": "text/javascript; charset=utf-8", ".css": "text/css; charset=utf-8", ".png": "image/png",
};

const handler = (req, res) => {
  let path;
  try {
    path = normalize(decodeURIComponent(new URL(req.url, "http://127.0.0.1").pathname));
  } catch {
    res.writeHead(400).end();
    return;
  }
  let file = join(root, path);
  if (file !== root && !file.startsWith(root + sep)) {
    res.writeHead(403).end();
    return;
  }
  if (existsSync(file) && statSync(file).isDirectory()) file = join(file, "index.html");
  if (!existsSync(file)) {
    res.writeHead(404).end("not found\n");
    return;
  }
  res.writeHead(200, { "Content-Type": types[extname(file)] || "application/octet-stream",
                       "Cache-Control": "no-store" });
  res.end(readFileSync(file));
};
const server = tls ? createHttpsServer(tls, handler) : createServer(handler);
server.on("error", (e) => {
  console.error(`serve: ${e.message}`);
  process.exit(1);
});
server.listen(port, "127.0.0.1",
              () => console.log(`serving ${root} on ${tls ? "https" : "http"}://127.0.0.1:${port}/`));
