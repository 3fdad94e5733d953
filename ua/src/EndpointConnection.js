"use strict";
// Client side of the endpoint's Unix socket (PROTOCOL.md): requests with ids, streamed parts, events,
// a liveness ping, and reconnection whenever the socket goes away.
const net = require("node:net");
const { EventEmitter } = require("node:events");
const { LineSplitter, parseLine, encodeLine } = require("./wire");

const PROTO = 1;
const HR = {
  TIMEOUT: 0x800705b4,
  DISCONNECTED: 0x80010108,
  INVALID_DATA: 0x8007000d
};

class EndpointError extends Error {
  constructor(hr, message) {
    super(message);
    this.hr = hr >>> 0;
  }
}

const DEFAULTS = {
  clientName: "orvela-ua-gateway",
  reconnectMinMs: 250,
  reconnectMaxMs: 5000,
  pingIntervalMs: 10000,
  pingTimeoutMs: 20000,
  log: () => {}
};

class EndpointConnection extends EventEmitter {
  constructor(socketPath, options = {}) {
    super();
    this.socketPath = socketPath;
    this.opt = { ...DEFAULTS, ...options };
    this.socket = null;
    this.ready = false;
    this.stopped = true;
    this.nextId = 1;
    this.pending = new Map(); // id -> { resolve, reject, onPart, timer }
    this.retryMs = this.opt.reconnectMinMs;
    this.retryTimer = null;
    this.pingTimer = null;
    this.hello = null;
  }

  start() {
    this.stopped = false;
    this.connect();
  }

  stop() {
    this.stopped = true;
    clearTimeout(this.retryTimer);
    this.drop(new EndpointError(HR.DISCONNECTED, "gateway stopping"));
  }

  // Sends one request; resolves with the reply of an "ok" request, rejects with an EndpointError otherwise.
  // onPart receives every part; timeoutMs (0 = none) cancels the request on the endpoint and rejects;
  // onSent receives the request's id, for cancel().
  request(op, args = {}, { onPart = null, timeoutMs = 0, onSent = null } = {}) {
    if (!this.ready) return Promise.reject(new EndpointError(HR.DISCONNECTED, "endpoint not connected"));
    return this.send(op, args, onPart, timeoutMs, onSent);
  }

  // Asks the endpoint to withdraw a request nobody waits for any more; its reply still settles it.
  cancel(id) {
    if (this.pending.has(id)) this.write({ id: this.nextId++, op: "cancel", req: id });
  }

  send(op, args, onPart, timeoutMs, onSent = null) {
    const id = this.nextId++;
    if (onSent) onSent(id);
    return new Promise((resolve, reject) => {
      const entry = { resolve, reject, onPart, timer: null };
      if (timeoutMs > 0) {
        entry.timer = setTimeout(() => {
          this.cancel(id);
          this.pending.delete(id);
          reject(new EndpointError(HR.TIMEOUT, `${op}: no reply within ${timeoutMs} ms`));
        }, timeoutMs);
      }
      this.pending.set(id, entry);
      this.write({ id, op, ...args });
    });
  }

  write(msg) {
    if (this.socket && !this.socket.destroyed) this.socket.write(encodeLine(msg));
  }

  connect() {
    if (this.stopped) return;
    const socket = net.createConnection(this.socketPath);
    this.socket = socket;
    const splitter = new LineSplitter(
      (line) => this.onLine(line),
      () => this.opt.log("endpoint sent a line over the limit; skipped")
    );
    socket.on("data", (chunk) => splitter.push(chunk));
    socket.on("connect", () => this.onConnect());
    socket.on("error", (err) => this.opt.log(`endpoint socket: ${err.message}`));
    socket.on("close", () => {
      if (this.socket !== socket) return;
      this.drop(new EndpointError(HR.DISCONNECTED, "endpoint connection lost"));
      this.scheduleReconnect();
    });
  }

  async onConnect() {
    try {
      const reply = await this.send("hello", { proto: PROTO, client: this.opt.clientName }, null, this.opt.pingTimeoutMs);
      this.hello = reply;
      this.ready = true;
      this.retryMs = this.opt.reconnectMinMs;
      this.startPing();
      this.emit("ready", reply);
    } catch (err) {
      this.opt.log(`endpoint hello failed: ${err.message}`);
      if (this.socket) this.socket.destroy();
    }
  }

  startPing() {
    clearInterval(this.pingTimer);
    this.pingTimer = setInterval(() => {
      this.send("ping", {}, null, this.opt.pingTimeoutMs).catch((err) => {
        if (err.hr === HR.TIMEOUT && this.socket) {
          this.opt.log("endpoint does not answer ping; reconnecting");
          this.socket.destroy();
        }
      });
    }, this.opt.pingIntervalMs);
    this.pingTimer.unref();
  }

  // Fails every request in progress and forgets the socket.
  drop(err) {
    const wasReady = this.ready;
    this.ready = false;
    clearInterval(this.pingTimer);
    const socket = this.socket;
    this.socket = null;
    if (socket) socket.destroy();
    const pending = [...this.pending.values()];
    this.pending.clear();
    for (const p of pending) {
      clearTimeout(p.timer);
      p.reject(err);
    }
    if (wasReady) this.emit("down", err);
  }

  scheduleReconnect() {
    if (this.stopped) return;
    clearTimeout(this.retryTimer);
    this.retryTimer = setTimeout(() => this.connect(), this.retryMs);
    this.retryMs = Math.min(this.retryMs * 2, this.opt.reconnectMaxMs);
  }

  onLine(line) {
    let msg;
    try {
      msg = parseLine(line);
    } catch (err) {
      this.opt.log(`endpoint sent a bad line: ${err.message}`);
      return;
    }
    if (typeof msg.ev === "string") {
      this.emit("event", msg);
      return;
    }
    const entry = this.pending.get(msg.id);
    if (!entry) {
      if (msg.ok === false) this.opt.log(`endpoint error for id ${msg.id}: ${msg.error}`);
      return;
    }
    if (msg.ok === undefined) {
      if (entry.onPart) entry.onPart(msg);
      return;
    }
    this.pending.delete(msg.id);
    clearTimeout(entry.timer);
    if (msg.ok === true) entry.resolve(msg);
    else entry.reject(new EndpointError(msg.hr ?? 0x80004005, String(msg.error ?? "endpoint error")));
  }
}

module.exports = { EndpointConnection, EndpointError, HR, PROTO };
