"use strict";
// Serves UA reads: variables whose cached value is older than the read's maxAge are read from the
// endpoint, and everything asked for within one turn of the event loop goes out as one `read`; a variable
// whose read is under way is not read again, its Reads join that one. A value
// read well is stored in its variable (monitored items see it too); a failed one answers only the Reads
// that asked for it, so other clients never see a bad value a read caused between good ones.
const { ReadValueId, AttributeIds, StatusCodes, DataType, DataValue, Variant } = require("node-opcua");
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
    this.waiting = new Map(); // nid -> [resolve(failure DataValue or null)]
    this.inFlight = new Map(); // nid -> promise of its endpoint read under way, which later Reads join
    this.failures = new WeakMap(); // a Read's nodesToRead -> Map(nid -> DataValue) of its failed items
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
    const list = [...nids];
    Promise.all(list.map((nid) => this.read(nid))).then((outcomes) => {
      const failed = new Map();
      outcomes.forEach((dv, i) => dv && failed.set(list[i], dv));
      if (failed.size) this.failures.set(nodesToRefresh, failed);
      callback(null, []);
    });
  }

  // The engine's answer to a Read, with the items whose device read failed replaced by that failure.
  answerFailures(nodesToRead, results) {
    const failed = Array.isArray(nodesToRead) ? this.failures.get(nodesToRead) : null;
    if (!failed) return results;
    this.failures.delete(nodesToRead);
    return results.map((dv, i) => {
      const n = nodesToRead[i];
      const nid = n.attributeId === AttributeIds.Value ? this.nidOf(n.nodeId) : null;
      return nid !== null && failed.has(nid) ? failed.get(nid) : dv;
    });
  }

  nidOf(nodeId) {
    return nodeId.namespace === this.mirror.ns.index && typeof nodeId.value === "string" ? nodeId.value : null;
  }

  // Resolves with null when the variable holds a value just read from the device, else with the failure.
  read(nid) {
    if (this.inFlight.has(nid)) return this.inFlight.get(nid);
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
      const done = this.readBatch(nids);
      for (const nid of nids) this.inFlight.set(nid, done.then((failed) => failed.get(nid) || null));
      done.then((failed) => {
        for (const nid of nids) {
          this.inFlight.delete(nid);
          for (const resolve of waiting.get(nid)) resolve(failed.get(nid) || null);
        }
      });
    }
  }

  // Reads one batch; resolves with Map(nid -> failure DataValue).
  async readBatch(nids) {
    this.batches++;
    const failed = new Map();
    try {
      const reply = await this.connection.request("read", { items: nids, maxAge: 0 }, { timeoutMs: this.timeoutMs });
      const items = Array.isArray(reply.items) ? reply.items : [];
      nids.forEach((nid, i) => {
        const failure = this.apply(nid, items[i]);
        if (failure) failed.set(nid, failure);
      });
    } catch (err) {
      this.log(`read of ${nids.length} items failed: ${err.message}`);
      const failure = failureValue(new Variant({ dataType: DataType.Null }), fromHresult(err.hr ?? 0x80004005), null);
      for (const nid of nids) failed.set(nid, failure);
    }
    return failed;
  }

  // Stores a good or uncertain value; returns the failure instead for a bad one.
  apply(nid, item) {
    const entry = this.mirror.get(nid);
    if (!entry) return failureValue(new Variant({ dataType: DataType.Null }), StatusCodes.BadNodeIdUnknown, null);
    if (!item || typeof item !== "object") {
      return failureValue(new Variant({ dataType: DataType.Null }), StatusCodes.BadUnexpectedError, null);
    }
    const { variant, status, time } = itemValue(entry.info, item);
    if (status.isBad()) return failureValue(variant, status, time);
    try {
      this.mirror.setValue(nid, variant, status, time);
      return null;
    } catch {
      return failureValue(new Variant({ dataType: DataType.Null }), StatusCodes.BadTypeMismatch, time);
    }
  }
}

function failureValue(value, statusCode, sourceTimestamp) {
  return new DataValue({ value, statusCode, sourceTimestamp, serverTimestamp: new Date() });
}

// A read item or data-event item as the variable's value, status and source time.
function itemValue(info, item) {
  let status = fromDaItem(item);
  const { variant, statusCode } = toVariant(info.type, item.hr ? null : item.v);
  if (statusCode && status.isGood()) status = statusCode;
  return { variant, status, time: isTime(item.t) ? timeToDate(item.t) : null };
}

// Stores one data-event item in its variable: what a subscription delivers, good or bad, is the
// variable's current state. A value the variable cannot take is reported on that variable alone.
function applyItem(mirror, info, item) {
  const { variant, status, time } = itemValue(info, item);
  try {
    mirror.setValue(info.nid, variant, status, time);
  } catch {
    mirror.setValue(info.nid, new Variant({ dataType: DataType.Null }), StatusCodes.BadTypeMismatch, time);
  }
}

module.exports = { ReadBatcher, applyItem };
