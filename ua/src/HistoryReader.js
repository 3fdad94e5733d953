"use strict";
// HistoryRead raw of one variable through the endpoint's `hist.raw`. Continuation points carry the
// whole position of the read (window, next time, values to skip), so the gateway keeps none.
const { ReadRawModifiedDetails, HistoryReadResult, HistoryData, DataValue, StatusCodes, isMinDate } = require("node-opcua");
const { dateToTime, timeToDate, isTime } = require("./wire");
const { fromHdaQuality, fromHresult } = require("./quality");
const { toVariant } = require("./values");

const DEFAULTS = {
  maxPerResponse: 10000, // values per HistoryRead answer; more go through continuation points
  maxReverse: 100000, // a reverse read is fetched whole and turned round
  timeoutMs: 120000,
  log: () => {}
};

function result(statusCode, dataValues = [], continuationPoint = null) {
  return new HistoryReadResult({ statusCode, continuationPoint, historyData: new HistoryData({ dataValues }) });
}

function specified(date) {
  return date instanceof Date && !isMinDate(date);
}

// The continuation point: the read's window [lo, hi) in microseconds, direction, bounds, and how many
// values at the boundary time the previous answer already gave.
function encodePoint(q) {
  return Buffer.from(JSON.stringify({ v: 1, n: q.nid, lo: q.lo, hi: q.hi, k: q.skip, r: q.reverse, b: q.bounds }));
}

function decodePoint(buf, nid) {
  let p;
  try {
    p = JSON.parse(buf.toString("utf8"));
  } catch {
    return null;
  }
  const ok =
    p && p.v === 1 && p.n === nid && isTime(p.lo) && isTime(p.hi) && p.lo < p.hi &&
    Number.isSafeInteger(p.k) && p.k >= 0 && typeof p.r === "boolean" && typeof p.b === "boolean";
  return ok ? { nid, lo: p.lo, hi: p.hi, skip: p.k, reverse: p.r, bounds: p.b, first: false } : null;
}

// The endpoint's times; a window reaching beyond them (year 1601 or 9999 as an open end) asks for all there is.
const TIME_MIN = -Number.MAX_SAFE_INTEGER;
const TIME_MAX = Number.MAX_SAFE_INTEGER;
const clampTime = (us) => Math.min(Math.max(us, TIME_MIN), TIME_MAX);

// The first request of a read, from the client's details; a status code when they cannot be served.
function firstQuery(nid, details) {
  const hasStart = specified(details.startTime);
  const hasEnd = specified(details.endTime);
  if (!hasStart || (!hasEnd && details.numValuesPerNode === 0)) return { error: StatusCodes.BadInvalidTimestampArgument };
  const start = dateToTime(details.startTime);
  const end = hasEnd ? dateToTime(details.endTime) : Math.max(start, Date.now() * 1000) + 3600e6;
  if (!Number.isFinite(start) || !Number.isFinite(end)) return { error: StatusCodes.BadInvalidTimestampArgument };
  const reverse = start > end;
  // UA includes values at the start time and excludes those at the end time, in either direction.
  const [from, to] = reverse ? [end + 1, start + 1] : [start, Math.max(end, start + 1)];
  const lo = clampTime(from);
  const hi = Math.max(clampTime(to), lo + 1);
  if (hi > TIME_MAX) return { error: StatusCodes.BadInvalidTimestampArgument }; // a window at the very end of time
  return { nid, lo, hi, skip: 0, reverse, bounds: Boolean(details.returnBounds) && !reverse, first: true };
}

class HistoryReader {
  constructor(connection, options = {}) {
    this.connection = connection;
    this.opt = { ...DEFAULTS, ...options };
  }

  async read(info, _context, details, continuationData = {}) {
    if (!info.hist) return result(StatusCodes.BadNotReadable);
    if (!(details instanceof ReadRawModifiedDetails) || details.isReadModified) {
      return result(StatusCodes.BadHistoryOperationUnsupported);
    }
    const cp = continuationData.continuationPoint;
    const hasPoint = cp && cp.length > 0;
    if (continuationData.releaseContinuationPoints) return result(StatusCodes.Good);
    const q = hasPoint ? decodePoint(cp, info.nid) : firstQuery(info.nid, details);
    if (!q) return result(StatusCodes.BadContinuationPointInvalid);
    if (q.error) return result(q.error);
    const limit = Math.min(details.numValuesPerNode || Infinity, this.opt.maxPerResponse);
    try {
      return q.reverse ? await this.readReverse(info, q, limit) : await this.readForward(info, q, limit);
    } catch (err) {
      this.opt.log(`history read of ${info.nid} failed: ${err.message}`);
      return result(fromHresult(err.hr ?? 0x80004005));
    }
  }

  async fetch(q, max) {
    const values = [];
    const reply = await this.connection.request(
      "hist.raw",
      { nid: q.nid, start: q.lo, end: q.hi, bounds: q.bounds, max },
      {
        timeoutMs: this.opt.timeoutMs,
        onPart: (part) => {
          if (Array.isArray(part.values)) for (const v of part.values) if (v && isTime(v.t)) values.push(v);
        }
      }
    );
    return { values, more: reply.more === true };
  }

  // Bounds count toward the client's numValuesPerNode like any value: the start bound takes a place on the
  // first page, and the end bound comes on the page where it fits once every raw value is sent.
  async readForward(info, q, limit) {
    const { values, more } = await this.fetch(q, limit + q.skip);
    const raw = values.filter((v) => !v.bound);
    const startBound = q.first ? values.filter((v) => v.bound && v.t <= q.lo) : [];
    const endBound = values.filter((v) => v.bound && v.t > q.lo);
    let skip = q.skip;
    while (skip > 0 && raw.length && raw[0].t === q.lo) {
      raw.shift();
      skip--;
    }
    const room = limit - startBound.length;
    const page = raw.slice(0, room);
    const sent = [...startBound, ...page];
    const rawDone = !more && raw.length <= room;
    if (rawDone && sent.length + endBound.length <= limit) return this.answer(info, [...sent, ...endBound], null);
    // Nothing to send though more was announced would hand out the same point again: end the read instead.
    if (sent.length === 0) return this.answer(info, [], null);
    const lastT = page.length ? page[page.length - 1].t : q.lo;
    const atLast = page.filter((v) => v.t === lastT).length + (lastT === q.lo ? q.skip : 0);
    return this.answer(info, sent, { ...q, lo: lastT, skip: atLast, first: false });
  }

  async readReverse(info, q, limit) {
    const { values, more } = await this.fetch(q, this.opt.maxReverse);
    if (more) return result(StatusCodes.BadResponseTooLarge);
    const top = q.hi - 1; // the newest time still wanted
    const raw = values.filter((v) => !v.bound).reverse();
    let skip = q.skip;
    while (skip > 0 && raw.length && raw[0].t === top) {
      raw.shift();
      skip--;
    }
    const page = raw.slice(0, limit);
    if (raw.length <= limit) return this.answer(info, page, null);
    const lastT = page[page.length - 1].t;
    const atLast = page.filter((v) => v.t === lastT).length + (lastT === top ? q.skip : 0);
    return this.answer(info, page, { ...q, hi: lastT + 1, skip: atLast, first: false });
  }

  answer(info, values, next) {
    const dataValues = values.map((v) => toDataValue(info, v));
    const status = dataValues.length === 0 && !next ? StatusCodes.GoodNoData : StatusCodes.Good;
    return result(status, dataValues, next ? encodePoint(next) : null);
  }
}

function toDataValue(info, v) {
  const { variant, statusCode } = toVariant(info.type, v.v);
  let status = fromHdaQuality(Number(v.q) >>> 0);
  if (statusCode && status.isGood()) status = statusCode;
  const t = timeToDate(v.t);
  return new DataValue({ value: variant, statusCode: status, sourceTimestamp: t, serverTimestamp: t });
}

module.exports = { HistoryReader, encodePoint, decodePoint };
