"use strict";
const test = require("node:test");
const assert = require("node:assert/strict");
const net = require("node:net");
const fs = require("node:fs");
const path = require("node:path");
const { EndpointConnection, HR } = require("../src/EndpointConnection");
const { tempDir, waitFor } = require("./helpers");

// A scripted endpoint: answers hello, then hands every other request line to `script`.
async function scripted(script) {
  const dir = tempDir();
  const socketPath = path.join(dir, "orvela.sock");
  const seen = [];
  const sockets = new Set();
  const server = net.createServer((socket) => {
    sockets.add(socket);
    let buf = "";
    socket.on("data", (d) => {
      buf += d;
      let nl;
      while ((nl = buf.indexOf("\n")) >= 0) {
        const msg = JSON.parse(buf.slice(0, nl));
        buf = buf.slice(nl + 1);
        seen.push(msg);
        if (msg.op === "hello") socket.write(JSON.stringify({ id: msg.id, ok: true, proto: 1, generation: 1 }) + "\n");
        else script(socket, msg);
      }
    });
    socket.on("error", () => {});
  });
  await new Promise((r) => server.listen(socketPath, r));
  return {
    socketPath,
    seen,
    drop: () => sockets.forEach((s) => s.destroy()),
    close: async () => {
      sockets.forEach((s) => s.destroy());
      await new Promise((r) => server.close(r));
      fs.rmSync(dir, { recursive: true, force: true });
    }
  };
}

async function connected(socketPath) {
  const conn = new EndpointConnection(socketPath, { reconnectMinMs: 10, reconnectMaxMs: 50 });
  const ready = new Promise((r) => conn.once("ready", r));
  conn.start();
  await ready;
  return conn;
}

test("bad lines from the endpoint are skipped; replies after them still arrive", async () => {
  const ep = await scripted((socket, msg) => {
    socket.write("not json\n" + "x".repeat(5 * 1024 * 1024) + "\n[1]\n");
    socket.write(JSON.stringify({ id: 99999, ok: true }) + "\n"); // unknown id: ignored
    socket.write(JSON.stringify({ id: msg.id, part: 0, nodes: [1] }) + "\n");
    socket.write(JSON.stringify({ id: msg.id, ok: true, now: 5 }) + "\n");
  });
  const conn = await connected(ep.socketPath);
  const parts = [];
  const reply = await conn.request("browse", {}, { onPart: (p) => parts.push(p) });
  assert.equal(reply.now, 5);
  assert.deepEqual(parts.map((p) => p.nodes), [[1]]);
  conn.stop();
  await ep.close();
});

test("an error reply rejects with its HRESULT; events reach listeners", async () => {
  const ep = await scripted((socket, msg) => {
    socket.write(JSON.stringify({ ev: "tree", generation: 2 }) + "\n");
    socket.write(JSON.stringify({ id: msg.id, ok: false, hr: 0xc0040007, error: "unknown item" }) + "\n");
  });
  const conn = await connected(ep.socketPath);
  const events = [];
  conn.on("event", (e) => events.push(e));
  await assert.rejects(conn.request("hist.raw", { nid: "x" }), (err) => err.hr === 0xc0040007);
  assert.deepEqual(events, [{ ev: "tree", generation: 2 }]);
  conn.stop();
  await ep.close();
});

test("a request that outlives its time-out is cancelled on the endpoint", async () => {
  const ep = await scripted(() => {}); // never answers
  const conn = await connected(ep.socketPath);
  await assert.rejects(conn.request("read", { items: ["a"] }, { timeoutMs: 50 }), (err) => err.hr === HR.TIMEOUT);
  const read = ep.seen.find((m) => m.op === "read");
  await waitFor(() => ep.seen.find((m) => m.op === "cancel"), "the cancel");
  assert.equal(ep.seen.find((m) => m.op === "cancel").req, read.id);
  conn.stop();
  await ep.close();
});

test("a lost socket fails requests in progress and reconnects with a new hello", async () => {
  const ep = await scripted(() => {});
  const conn = await connected(ep.socketPath);
  const downs = [];
  conn.on("down", (e) => downs.push(e.hr));
  const pending = conn.request("read", { items: ["a"] });
  await waitFor(() => ep.seen.some((m) => m.op === "read"), "the read");
  const again = new Promise((r) => conn.once("ready", r));
  ep.drop();
  await assert.rejects(pending, (err) => err.hr === HR.DISCONNECTED);
  await assert.rejects(conn.request("ping"), (err) => err.hr === HR.DISCONNECTED, "no requests while down");
  await again;
  assert.deepEqual(downs, [HR.DISCONNECTED]);
  assert.equal(ep.seen.filter((m) => m.op === "hello").length, 2);
  conn.stop();
  await ep.close();
});

test("an endpoint that stops answering pings is dropped and reconnected", async () => {
  let answer = false;
  const ep = await scripted((socket, msg) => {
    if (msg.op === "ping" && answer) socket.write(JSON.stringify({ id: msg.id, ok: true, now: 1 }) + "\n");
  });
  const conn = new EndpointConnection(ep.socketPath, { reconnectMinMs: 10, pingIntervalMs: 20, pingTimeoutMs: 60 });
  let readies = 0;
  conn.on("ready", () => readies++);
  conn.start();
  await waitFor(() => readies >= 2, "a reconnection after unanswered pings");
  answer = true;
  conn.stop();
  await ep.close();
});
