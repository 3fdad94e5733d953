"use strict";
// Serves UA reads: variables whose cached value is older than the read's maxAge are read from the
// endpoint, and everything asked for within one turn of the event loop goes out as one `read`.
const { ReadValueId, AttributeIds, StatusCodes, DataType, Variant } = require("node-opcua");
const { timeToDate, isTime } = require("./wire");
const { fromDaItem, fromHresult } = require("./quality");
const { toVariant } = require("./values");

const MAX_ITEMS = 10000; // the endpoint's limit per request
const MAX_AGE_CACHED = 0x7fffffff; // UA: this maxAge or more asks for the cached value only

class ReadBatcher {
  // The endpoint answers a read within its own 60 s deadline, items it could not read included; the
  // time-out here only catches an endpoint that does not answer at all.
  constructor(connection, mirror, { timeoutMs = 75000, log = () => {} } = {}) {
    this.connection = connection;
    this.mirror = mirror;
    this.timeoutMs = timeoutMs;
    this.log = log;
    this.waiting = new Map(); // nid -> [resolve]
    this.scheduled = false;
    this.batches = 0; // endpoint reads issued, for tests and diagnostics
  }

  // Stands in for the server engine's refreshValues (called before every Read and HistoryRead).
  refreshValues(nodesToRefresh, maxAge, callback) {
    const now = Date.now();
    const nids = new Set();
    for (const n of nodesToRefresh) {
      if (!(n instanceof ReadValueId) || n.attributeId !== AttributeIds.Value) continue;
      const nid = this.nidOf(n.nodeId);
      const entry = nid === null ? null : this.mirror.get(nid);
      if (!entry || entry.info.kind !== "variable" || !entry.info.da) continue;
      if (maxAge >= MAX_AGE_CACHED && entry.receivedAt) continue;
      if (maxAge > 0 && entry.receivedAt && now - entry.receivedAt <= maxAge) continue;
      nids.add(nid);
    }
    Promise.all([...nids].map((nid) => this.read(nid))).then(() => callback(null, []));
  }

  nidOf(nodeId) {
    return nodeId.namespace === this.mirror.ns.index && typeof nodeId.value === "string" ? nodeId.value : null;
  }

  // Resolves when the variable holds a value read from the device (or the reason it has none).
  read(nid) {
    return new Promise((resolve) => {
      if (!this.waiting.has(nid)) this.waiting.set(nid, []);
      this.waiting.get(nid).push(resolve);
      if (!this.scheduled) {
        this.scheduled = true;
        setImmediate(() => this.flush());
      }
    });
  }

  flush() {
    this.scheduled = false;
    const all = [...this.waiting.keys()];
    const waiting = this.waiting;
    this.waiting = new Map();
    for (let i = 0; i < all.length; i += MAX_ITEMS) {
      const nids = all.slice(i, i + MAX_ITEMS);
      this.readBatch(nids).finally(() => {
        for (const nid of nids) for (const resolve of waiting.get(nid)) resolve();
      });
    }
  }

  async readBatch(nids) {
    this.batches++;
    try {
      const reply = await this.connection.request("read", { items: nids, maxAge: 0 }, { timeoutMs: this.timeoutMs });
      const items = Array.isArray(reply.items) ? reply.items : [];
      nids.forEach((nid, i) => this.apply(nid, items[i]));
      return;
    } catch (err) {
      this.log(`read of ${nids.length} items failed: ${err.message}`);
      const status = fromHresult(err.hr ?? 0x80004005);
      for (const nid of nids) this.mirror.setValue(nid, new Variant({ dataType: DataType.Null }), status);
    }
  }

  apply(nid, item) {
    const entry = this.mirror.get(nid);
    if (!entry) return;
    if (!item || typeof item !== "object") {
      this.mirror.setValue(nid, new Variant({ dataType: DataType.Null }), StatusCodes.BadUnexpectedError);
      return;
    }
    applyItem(this.mirror, entry.info, item);
  }
}

// Stores one read item or data-event item in its variable.
// A value the variable cannot take is reported on that variable alone.
function applyItem(mirror, info, item) {
  let status = fromDaItem(item);
  const { variant, statusCode } = toVariant(info.type, item.hr ? null : item.v);
  if (statusCode && status.isGood()) status = statusCode;
  const time = isTime(item.t) ? timeToDate(item.t) : null;
  try {
    mirror.setValue(info.nid, variant, status, time);
  } catch {
    mirror.setValue(info.nid, new Variant({ dataType: DataType.Null }), StatusCodes.BadTypeMismatch, time);
  }
}

module.exports = { ReadBatcher, applyItem };
