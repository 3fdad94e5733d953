"use strict";
// Serves UA reads: variables whose cached value is older than the read's maxAge are read from the
// endpoint, and everything asked for within one turn of the event loop goes out as one `read`; a variable
// whose read is under way is not read again, its Reads join that one when it answers in time. Every endpoint
// read carries the UA request's time-out hint as its deadline, so a dead device costs its own items only
// (BadTimeout) and the rest of the Read is answered; a read whose Reads are all gone (session closed) is
// cancelled. A value
// read well is stored in its variable (monitored items see it too); a failed one answers only the Reads
// that asked for it, so other clients never see a bad value a read caused between good ones.
const { ReadValueId, AttributeIds, StatusCodes, DataType, DataValue, Variant } = require("node-opcua");
const { timeToDate, isTime } = require("./wire");
const { fromDaItem, fromHresult } = require("./quality");
const { toVariant } = require("./values");

const MAX_ITEMS = 10000; // the endpoint's limit per request
const MAX_AGE_CACHED = 0x7fffffff; // UA: this maxAge or more asks for the cached value only
const ENDPOINT_DEADLINE_MS = 60000; // the endpoint's own deadline of a read

// The endpoint read's deadline for a UA Read with this time-out hint: a little before the hint, so the answer
// (live items with their values, the rest BadTimeout) reaches the client in time; well before the gateway's
// own time-out for the request (`gatewayMs`), so the endpoint's answer always comes first.
function endpointTimeout(hintMs, gatewayMs) {
  const capMs = Math.min(ENDPOINT_DEADLINE_MS, Math.max(1, Math.floor(gatewayMs * 0.8)));
  if (!(hintMs > 0)) return capMs;
  return Math.max(1, Math.min(hintMs - Math.min(500, Math.floor(hintMs / 10)), capMs));
}

class ReadBatcher {
  // timeoutMs only catches an endpoint that does not answer at all: every endpoint read carries its own
  // deadline (the UA request's time-out hint, else the endpoint's 60 s), kept below it.
  constructor(connection, mirror, { timeoutMs = 75000, log = () => {} } = {}) {
    this.connection = connection;
    this.mirror = mirror;
    this.timeoutMs = timeoutMs;
    this.log = log;
    this.waiting = new Map(); // endpoint deadline -> { nids: Map(nid -> [resolve]), readers: Set }
    this.inFlight = new Map(); // nid -> { promise, batch } of its endpoint read under way, which later Reads join
    this.active = new Set(); // batches under way: { id, deadline, readers: Set of the UA Reads waiting }
    this.origins = new WeakMap(); // a Read's nodesToRead -> { hintMs, session }
    this.failures = new WeakMap(); // a Read's nodesToRead -> Map(nid -> DataValue) of its failed items
    this.scheduled = false;
    this.batches = 0; // endpoint reads issued, for tests and diagnostics
  }

  // Notes where a Read came from (its session and time-out hint) before the engine refreshes its values.
  noteRequest(request, session) {
    if (Array.isArray(request.nodesToRead)) {
      this.origins.set(request.nodesToRead, { hintMs: request.requestHeader?.timeoutHint || 0, session });
    }
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
    const origin = this.origins.get(nodesToRefresh) || { hintMs: 0, session: null };
    const reader = { session: origin.session };
    const timeoutMs = endpointTimeout(origin.hintMs, this.timeoutMs);
    Promise.all(list.map((nid) => this.read(nid, timeoutMs, reader))).then((outcomes) => {
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

  // A session is gone: its Reads no longer wait, and an endpoint read that no other Read waits for is
  // withdrawn so the device line is free again.
  sessionGone(session) {
    for (const batch of this.active) {
      for (const reader of batch.readers) if (reader.session === session) batch.readers.delete(reader);
      if (batch.readers.size === 0 && batch.id !== null) {
        this.active.delete(batch);
        this.connection.cancel(batch.id);
      }
    }
  }

  nidOf(nodeId) {
    return nodeId.namespace === this.mirror.ns.index && typeof nodeId.value === "string" ? nodeId.value : null;
  }

  // Resolves with null when the variable holds a value just read from the device, else with the failure.
  // A read under way is joined when it answers within this Read's deadline; otherwise the variable goes out
  // in a read of its own (the endpoint still joins the device reads).
  read(nid, timeoutMs, reader) {
    const flight = this.inFlight.get(nid);
    // a read cancelled already is not joined: its answer is the cancellation
    if (flight && this.active.has(flight.batch) && flight.batch.deadline <= Date.now() + timeoutMs) {
      flight.batch.readers.add(reader);
      return flight.promise;
    }
    if (!this.waiting.has(timeoutMs)) this.waiting.set(timeoutMs, { nids: new Map(), readers: new Set() });
    const group = this.waiting.get(timeoutMs);
    group.readers.add(reader);
    return new Promise((resolve) => {
      if (!group.nids.has(nid)) group.nids.set(nid, []);
      group.nids.get(nid).push(resolve);
      if (!this.scheduled) {
        this.scheduled = true;
        setImmediate(() => this.flush());
      }
    });
  }

  flush() {
    this.scheduled = false;
    const groups = this.waiting;
    this.waiting = new Map();
    for (const [timeoutMs, group] of groups) {
      const all = [...group.nids.keys()];
      for (let i = 0; i < all.length; i += MAX_ITEMS) {
        const nids = all.slice(i, i + MAX_ITEMS);
        const batch = { id: null, deadline: Date.now() + timeoutMs, readers: new Set(group.readers) };
        const done = this.readBatch(nids, timeoutMs, batch);
        for (const nid of nids) this.inFlight.set(nid, { batch, promise: done.then((failed) => failed.get(nid) || null) });
        done.then((failed) => {
          for (const nid of nids) {
            if (this.inFlight.get(nid)?.batch === batch) this.inFlight.delete(nid);
            for (const resolve of group.nids.get(nid)) resolve(failed.get(nid) || null);
          }
        });
      }
    }
  }

  // Reads one batch; resolves with Map(nid -> failure DataValue).
  async readBatch(nids, timeoutMs, batch) {
    this.batches++;
    this.active.add(batch);
    const failed = new Map();
    try {
      const reply = await this.connection.request(
        "read",
        { items: nids, maxAge: 0, timeoutMs },
        { timeoutMs: this.timeoutMs, onSent: (id) => (batch.id = id) }
      );
      const items = Array.isArray(reply.items) ? reply.items : [];
      nids.forEach((nid, i) => {
        const failure = this.apply(nid, items[i]);
        if (failure) failed.set(nid, failure);
      });
    } catch (err) {
      this.log(`read of ${nids.length} items failed: ${err.message}`);
      const failure = failureValue(new Variant({ dataType: DataType.Null }), fromHresult(err.hr ?? 0x80004005), null);
      for (const nid of nids) failed.set(nid, failure);
    } finally {
      this.active.delete(batch);
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

module.exports = { ReadBatcher, applyItem, endpointTimeout };
