"use strict";
// Protocol fixture: a stand-in for the server's local endpoint (PROTOCOL.md) with a scripted tree,
// values and archives, for the gateway's own tests. It records every request so tests can check
// what the gateway asked for. Run alone (node test/fake-endpoint.js SOCKET) to try the gateway by hand.
const net = require("node:net");
const fs = require("node:fs");
const { LineSplitter, parseLine, encodeLine, isTime } = require("../src/wire");

const HR = {
  INVALID_DATA: 0x8007000d,
  BAD_LENGTH: 0x80070018,
  INVALIDARG: 0x80070057,
  NOTIMPL: 0x80004001,
  UNEXPECTED: 0x8000ffff,
  ABORT: 0x80004004,
  INVALIDHANDLE: 0xc0040001,
  TIMEOUT: 0x800705b4,
  BADRIGHTS: 0xc0040006,
  UNKNOWNITEMID: 0xc0040007
};
const DA_FLOOR_MS = 2000;
const READ_DEADLINE_MS = 60000;
const HOUR_US = 3600e6;

function node(nid, kind, extra = {}) {
  const dot = nid.lastIndexOf(".");
  return {
    nid,
    parent: dot < 0 ? null : nid.slice(0, dot),
    name: dot < 0 ? nid : nid.slice(dot + 1),
    kind,
    da: true,
    hist: false,
    vt: 0,
    type: "BaseDataType",
    access: "r",
    step: 0,
    units: "",
    desc: "",
    ...extra
  };
}

// A small metering tree: one heat meter with current values and an hourly archive.
function demoTree(device = "ТВ-1") {
  const d = `Устройства.${device}`;
  return [
    node("Устройства", "folder"),
    node(d, "folder"),
    node(`${d}.Текущие данные`, "folder"),
    node(`${d}.Текущие данные.Q`, "variable", { vt: 4, type: "Float", units: "Гкал", desc: "Значение" }),
    node(`${d}.Текущие данные.V`, "variable", { vt: 5, type: "Double", units: "м3" }),
    node(`${d}.Текущие данные.Наработка`, "variable", { vt: 3, type: "Int32", units: "час" }),
    node(`${d}.Текущие данные.Счётчик`, "variable", { vt: 20, type: "Int64" }),
    node(`${d}.Текущие данные.Статус`, "variable", { vt: 256, type: "String", desc: "Статус" }),
    node(`${d}.Почасовой архив`, "folder", { da: false, hist: true }),
    node(`${d}.Почасовой архив.Q`, "variable", { da: false, hist: true, vt: 4, type: "Float", step: 3600000, units: "Гкал" })
  ];
}

// Deterministic current values: a function of the item and a counter that moves on every delivery.
function defaultValue(nid, tick) {
  if (nid.endsWith(".Счётчик")) return { v: `#i64:${9007199254740993n + BigInt(tick)}`, q: 192 };
  if (nid.endsWith(".Статус")) return { v: `#ok ${tick}`.replace(/^#/, "##"), q: 192 };
  if (nid.endsWith(".Наработка")) return { v: 1000 + tick, q: 192 };
  if (nid.endsWith(".V")) return { v: "#NaN", q: 24 };
  return { v: 12.5 + tick, q: 192 };
}

// Hourly records over a window, value = hour index / 4, every 7th record data-lost.
function hourlyArchive(fromUs, count) {
  const out = [];
  for (let i = 0; i < count; i++) out.push({ v: i / 4, t: fromUs + i * HOUR_US, q: i % 7 === 6 ? 0x00400000 : 0x000400c0 });
  return out;
}

class FakeEndpoint {
  constructor(socketPath, options = {}) {
    this.socketPath = socketPath;
    this.tree = options.tree || demoTree();
    this.generation = 1;
    this.value = options.value || defaultValue;
    this.archive = options.archive || new Map();
    this.partSize = options.partSize || 1000;
    this.rateScale = options.rateScale || 1; // a subscription of R ms delivers every R / rateScale ms
    this.browseHeld = options.browseHeld || null; // a promise the browse replies wait for
    this.dead = new Set(options.dead || []); // items whose device never answers: their reads end at the deadline
    this.tokens = new Map(); // hist.raw continuation token -> { nid, start, end, bounds, next }
    this.nextToken = 1;
    this.tick = 0;
    this.requests = []; // every request line, parsed
    this.conns = new Set();
    this.server = null;
  }

  start() {
    try {
      fs.unlinkSync(this.socketPath);
    } catch {}
    this.server = net.createServer((socket) => this.accept(socket));
    return new Promise((resolve) => this.server.listen(this.socketPath, resolve));
  }

  async stop() {
    this.dropClients();
    await new Promise((resolve) => this.server.close(resolve));
  }

  // Cuts every connection, as a server restart would.
  dropClients() {
    for (const c of this.conns) this.closeConn(c);
  }

  ops(op) {
    return this.requests.filter((r) => r.op === op);
  }

  setTree(tree) {
    this.tree = tree;
    this.generation++;
    for (const c of this.conns) if (c.hello) this.send(c, { ev: "tree", generation: this.generation });
  }

  accept(socket) {
    const c = { socket, hello: false, subs: new Map(), nextSub: 1, held: new Map() };
    this.conns.add(c);
    const splitter = new LineSplitter(
      (line) => this.onLine(c, line),
      () => this.send(c, { id: null, ok: false, hr: HR.BAD_LENGTH, error: "line too long" })
    );
    socket.on("data", (chunk) => splitter.push(chunk));
    socket.on("error", () => {});
    socket.on("close", () => this.closeConn(c));
  }

  closeConn(c) {
    for (const s of c.subs.values()) clearInterval(s.timer);
    for (const timer of c.held.values()) clearTimeout(timer);
    c.held.clear();
    c.subs.clear();
    this.conns.delete(c);
    c.socket.destroy();
  }

  send(c, msg) {
    if (!c.socket.destroyed) c.socket.write(encodeLine(msg));
  }

  fail(c, id, hr, error) {
    this.send(c, { id, ok: false, hr, error });
  }

  onLine(c, line) {
    let msg;
    try {
      msg = parseLine(line);
    } catch (err) {
      return this.fail(c, null, HR.INVALID_DATA, err.message);
    }
    if (!Number.isSafeInteger(msg.id) || msg.id < 1) return this.fail(c, null, HR.INVALIDARG, "id");
    this.requests.push(msg);
    const handler = this[`op_${String(msg.op).replace(".", "_")}`];
    if (typeof msg.op !== "string" || !handler) return this.fail(c, msg.id, HR.NOTIMPL, `unknown op ${msg.op}`);
    if (!c.hello && msg.op !== "hello") return this.fail(c, msg.id, HR.UNEXPECTED, "hello first");
    handler.call(this, c, msg);
  }

  find(nid) {
    return this.tree.find((n) => n.nid === nid);
  }

  itemError(nid, want) {
    const n = this.find(nid);
    if (!n) return HR.UNKNOWNITEMID;
    return n.kind === "variable" && n[want] ? 0 : HR.BADRIGHTS;
  }

  current(nid) {
    const err = this.itemError(nid, "da");
    if (err) return { v: null, t: null, q: 0, hr: err };
    return { t: Date.now() * 1000, hr: 0, ...this.value(nid, this.tick) };
  }

  op_hello(c, msg) {
    if (c.hello) return this.fail(c, msg.id, HR.UNEXPECTED, "hello twice");
    c.hello = true;
    this.send(c, { id: msg.id, ok: true, proto: 1, server: "OrvelaOPC", version: "0.0.0-fixture", generation: this.generation, root: "Устройства", now: Date.now() * 1000 });
  }

  op_ping(c, msg) {
    this.send(c, { id: msg.id, ok: true, now: Date.now() * 1000 });
  }

  async op_browse(c, msg) {
    if (this.browseHeld) await this.browseHeld;
    const nodes = this.tree.slice();
    for (let i = 0, part = 0; i < nodes.length; i += this.partSize, part++) {
      this.send(c, { id: msg.id, part, nodes: nodes.slice(i, i + this.partSize) });
    }
    this.send(c, { id: msg.id, ok: true, generation: this.generation, count: nodes.length });
  }

  // A read with a dead item is answered at its deadline (timeoutMs, else 60 s): the other items with their
  // values, the dead ones timed out; a cancel before that withdraws it.
  op_read(c, msg) {
    if (!Array.isArray(msg.items) || msg.items.some((x) => typeof x !== "string")) return this.fail(c, msg.id, HR.INVALIDARG, "items");
    const timeoutMs = msg.timeoutMs ?? 0;
    if (!Number.isSafeInteger(timeoutMs) || timeoutMs < 0 || timeoutMs > 2147483647) return this.fail(c, msg.id, HR.INVALIDARG, "timeoutMs");
    const answer = () => {
      c.held.delete(msg.id);
      this.tick++;
      const items = msg.items.map((nid) => (this.dead.has(nid) ? { v: null, t: null, q: 0, hr: HR.TIMEOUT } : this.current(nid)));
      this.send(c, { id: msg.id, ok: true, items });
    };
    if (!msg.items.some((nid) => this.dead.has(nid))) return answer();
    const deadline = timeoutMs === 0 || timeoutMs > READ_DEADLINE_MS ? READ_DEADLINE_MS : timeoutMs;
    c.held.set(msg.id, setTimeout(answer, deadline));
  }

  op_sub(c, msg) {
    const sub = { id: c.nextSub++, rate: Math.max(DA_FLOOR_MS, msg.rate), nids: new Set(), timer: null };
    c.subs.set(sub.id, sub);
    const hrs = msg.items.map((nid) => this.itemError(nid, "da"));
    msg.items.forEach((nid, i) => hrs[i] === 0 && sub.nids.add(nid));
    sub.timer = setInterval(() => this.deliver(c, sub, [...sub.nids]), sub.rate / this.rateScale);
    this.send(c, { id: msg.id, ok: true, sub: sub.id, rate: sub.rate, items: hrs });
    this.deliver(c, sub, msg.items.filter((_, i) => hrs[i] === 0));
  }

  op_sub_mod(c, msg) {
    const sub = c.subs.get(msg.sub);
    if (!sub) return this.fail(c, msg.id, HR.INVALIDHANDLE, "unknown subscription");
    const remove = (msg.remove || []).map((nid) => (sub.nids.delete(nid) ? 0 : HR.INVALIDHANDLE));
    const add = (msg.add || []).map((nid) => this.itemError(nid, "da"));
    (msg.add || []).forEach((nid, i) => add[i] === 0 && sub.nids.add(nid));
    this.send(c, { id: msg.id, ok: true, rate: sub.rate, add, remove });
    this.deliver(c, sub, (msg.add || []).filter((_, i) => add[i] === 0));
  }

  op_unsub(c, msg) {
    const sub = c.subs.get(msg.sub);
    if (!sub) return this.fail(c, msg.id, HR.INVALIDHANDLE, "unknown subscription");
    clearInterval(sub.timer);
    c.subs.delete(msg.sub);
    this.send(c, { id: msg.id, ok: true });
  }

  deliver(c, sub, nids) {
    if (nids.length === 0) return;
    this.tick++;
    this.send(c, { ev: "data", sub: sub.id, items: nids.map((nid) => ({ nid, ...this.current(nid) })) });
  }

  // By time, or with `cont` from the position a token of an earlier reply names (same window and bounds,
  // no start bound again). Tokens are the fixture's own: an unknown one, or one of another nid, is refused.
  op_hist_raw(c, msg) {
    const err = this.itemError(msg.nid, "hist");
    if (err) return this.fail(c, msg.id, err, "not historizing");
    let q = { nid: msg.nid, start: msg.start, end: msg.end, bounds: Boolean(msg.bounds), next: 0 };
    if (msg.cont !== undefined) {
      const kept = this.tokens.get(msg.cont);
      if (!kept || kept.nid !== msg.nid) return this.fail(c, msg.id, HR.INVALIDHANDLE, "unknown continuation token");
      q = kept;
    } else {
      if (!isTime(msg.start) || !isTime(msg.end)) return this.fail(c, msg.id, HR.INVALIDARG, "start or end out of range");
      if (!(msg.start < msg.end)) return this.fail(c, msg.id, HR.INVALIDARG, "start must be before end");
    }
    const all = this.archive.get(msg.nid) || [];
    const inside = all.filter((r) => r.t >= q.start && r.t < q.end).slice(q.next);
    const max = msg.max || 1000000;
    const values = inside.slice(0, max);
    const more = inside.length > max;
    const reply = { id: msg.id, ok: true, count: 0, more };
    if (more) {
      reply.cont = `tok-${this.nextToken++}`;
      this.tokens.set(reply.cont, { ...q, next: q.next + max });
    }
    if (q.bounds) {
      if (q.next === 0 && (!values.length || values[0].t !== q.start)) {
        const before = all.filter((r) => r.t < q.start).pop();
        values.unshift({ ...(before || { v: null, t: q.start, q: 0x00100000 }), bound: true });
      }
      if (!more) values.push({ ...(all.find((r) => r.t >= q.end) || { v: null, t: q.end, q: 0x00100000 }), bound: true });
    }
    for (let i = 0, part = 0; i < values.length; i += this.partSize, part++) {
      this.send(c, { id: msg.id, part, values: values.slice(i, i + this.partSize) });
    }
    this.send(c, { ...reply, count: values.length });
  }

  op_cancel(c, msg) {
    const timer = c.held.get(msg.req);
    if (timer) {
      clearTimeout(timer);
      c.held.delete(msg.req);
      this.fail(c, msg.req, HR.ABORT, "cancelled");
    }
    this.send(c, { id: msg.id, ok: true, found: Boolean(timer) });
  }

  op_status(c, msg) {
    this.send(c, { id: msg.id, ok: true, state: "running", start: 0, now: Date.now() * 1000, generation: this.generation, connections: this.conns.size, subs: c.subs.size, requests: 1 });
  }
}

module.exports = { FakeEndpoint, demoTree, node, hourlyArchive, defaultValue, HOUR_US };

if (require.main === module) {
  const socketPath = process.argv[2] || "orvela.sock";
  const fake = new FakeEndpoint(socketPath);
  const start = Math.floor((Date.now() * 1000) / HOUR_US) * HOUR_US - 48 * HOUR_US;
  fake.archive.set("Устройства.ТВ-1.Почасовой архив.Q", hourlyArchive(start, 48));
  fake.start().then(() => process.stderr.write(`fake endpoint on ${socketPath}\n`));
  process.on("SIGTERM", () => fake.stop().then(() => process.exit(0)));
}
