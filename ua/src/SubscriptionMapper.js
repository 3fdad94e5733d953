"use strict";
// Monitored items -> endpoint subscriptions: one endpoint subscription per sampling rate, holding every
// variable that some monitored item samples at that rate. Values pushed by the endpoint land in the
// variables, where node-opcua's monitored items sample them.
const { AttributeIds, DataType, Variant } = require("node-opcua");
const { fromHresult } = require("./quality");
const { applyItem } = require("./ReadBatcher");
const { DA_MIN_RATE_MS } = require("./TreeMirror");

const MAX_ITEMS = 10000; // the endpoint's limit per list

class SubscriptionMapper {
  constructor(connection, mirror, { log = () => {} } = {}) {
    this.connection = connection;
    this.mirror = mirror;
    this.log = log;
    this.items = new Map(); // MonitoredItem -> { nid, rate }
    this.wanted = new Map(); // rate -> Map(nid -> count of monitored items)
    this.subs = new Map(); // rate -> { sub, nids: Set } as the endpoint has them
    this.syncing = null;
    this.again = false;
  }

  // Follows every subscription of every session of the server.
  attach(server) {
    server.on("create_session", (session) => {
      session.on("new_subscription", (subscription) => {
        subscription.on("monitoredItem", (mi) => this.add(mi));
        subscription.on("removeMonitoredItem", (mi) => this.remove(mi));
      });
    });
  }

  nidOf(mi) {
    const nodeId = mi.itemToMonitor && mi.itemToMonitor.nodeId;
    if (!nodeId || nodeId.namespace !== this.mirror.ns.index || typeof nodeId.value !== "string") return null;
    const entry = this.mirror.get(nodeId.value);
    return entry && entry.info.kind === "variable" && entry.info.da ? nodeId.value : null;
  }

  add(mi) {
    const nid = this.nidOf(mi);
    if (nid === null || mi.itemToMonitor.attributeId !== AttributeIds.Value) return;
    const track = { nid, rate: Math.max(DA_MIN_RATE_MS, Math.round(mi.samplingInterval)) };
    this.items.set(mi, track);
    this.count(track, +1);
    // A modified sampling interval moves the item to the subscription of its new rate.
    const modify = mi.modify;
    mi.modify = (...args) => {
      const result = modify.apply(mi, args);
      const rate = Math.max(DA_MIN_RATE_MS, Math.round(mi.samplingInterval));
      if (this.items.has(mi) && rate !== track.rate) {
        this.count(track, -1);
        track.rate = rate;
        this.count(track, +1);
      }
      return result;
    };
  }

  remove(mi) {
    const track = this.items.get(mi);
    if (!track) return;
    this.items.delete(mi);
    this.count(track, -1);
  }

  count({ nid, rate }, delta) {
    if (!this.wanted.has(rate)) this.wanted.set(rate, new Map());
    const nids = this.wanted.get(rate);
    const n = (nids.get(nid) || 0) + delta;
    if (n > 0) nids.set(nid, n);
    else nids.delete(nid);
    if (nids.size === 0) this.wanted.delete(rate);
    this.schedule();
  }

  // Variables that left the tree drop out of the subscriptions (their monitored items stay, sampling a bad value).
  forget(nids) {
    const gone = new Set(nids);
    for (const [mi, track] of this.items) {
      if (gone.has(track.nid)) {
        this.items.delete(mi);
        this.count(track, -1);
      }
    }
  }

  // The endpoint connection is new: it has no subscriptions, make them again.
  reset() {
    this.subs.clear();
    this.schedule();
  }

  schedule() {
    if (this.syncing) {
      this.again = true;
      return;
    }
    this.syncing = new Promise((resolve) => setImmediate(resolve))
      .then(() => this.sync())
      .catch((err) => this.log(`subscription sync failed: ${err.message}`))
      .finally(() => {
        this.syncing = null;
        if (this.again) {
          this.again = false;
          this.schedule();
        }
      });
  }

  // Brings the endpoint's subscriptions in line with the monitored items.
  async sync() {
    if (!this.connection.ready) return;
    const rates = new Set([...this.wanted.keys(), ...this.subs.keys()]);
    for (const rate of rates) {
      const want = new Set((this.wanted.get(rate) || new Map()).keys());
      const have = this.subs.get(rate);
      try {
        if (!have) await this.create(rate, [...want]);
        else if (want.size === 0) await this.drop(rate, have);
        else await this.modify(have, [...want].filter((n) => !have.nids.has(n)), [...have.nids].filter((n) => !want.has(n)));
      } catch (err) {
        // one refused rate does not hold up the others; the next change or reconnection tries again
        this.log(`subscription at ${rate} ms: ${err.message}`);
      }
    }
  }

  async create(rate, nids) {
    if (nids.length === 0) return;
    const reply = await this.connection.request("sub", { rate, items: nids.slice(0, MAX_ITEMS) });
    const have = { sub: reply.sub, nids: new Set() };
    this.subs.set(rate, have);
    this.record(have, nids.slice(0, MAX_ITEMS), reply.items);
    if (nids.length > MAX_ITEMS) await this.modify(have, nids.slice(MAX_ITEMS), []);
  }

  async drop(rate, have) {
    this.subs.delete(rate);
    await this.connection.request("unsub", { sub: have.sub });
  }

  async modify(have, add, remove) {
    for (let i = 0; i < Math.max(add.length, remove.length); i += MAX_ITEMS) {
      const a = add.slice(i, i + MAX_ITEMS);
      const r = remove.slice(i, i + MAX_ITEMS);
      for (const nid of r) have.nids.delete(nid);
      const reply = await this.connection.request("sub.mod", { sub: have.sub, add: a, remove: r });
      this.record(have, a, reply.add);
    }
  }

  // Items the endpoint refused still count as subscribed, so they are not asked for again and again;
  // their variables show why.
  record(have, nids, results) {
    nids.forEach((nid, i) => {
      have.nids.add(nid);
      const hr = Array.isArray(results) ? results[i] : 0x80004005;
      if (hr) this.mirror.setValue(nid, new Variant({ dataType: DataType.Null }), fromHresult(hr));
    });
  }

  // A `data` event of the endpoint.
  onData(ev) {
    if (!Array.isArray(ev.items)) return;
    for (const item of ev.items) {
      const entry = item && typeof item.nid === "string" ? this.mirror.get(item.nid) : null;
      if (entry && entry.info.kind === "variable") applyItem(this.mirror, entry.info, item);
    }
  }

  // Endpoint subscriptions by rate, for tests and diagnostics.
  snapshot() {
    return [...this.subs].map(([rate, have]) => ({ rate, sub: have.sub, nids: [...have.nids].sort() }));
  }
}

module.exports = { SubscriptionMapper };
