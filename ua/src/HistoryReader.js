"use strict";
// HistoryRead raw of one variable through the endpoint's `hist.raw`. The position of a read that goes on
// (window, next time, values to skip, the endpoint's own continuation token) stays in the gateway; the
// client's continuation point is a random id for it (ContinuationPoints).
const { ReadRawModifiedDetails, HistoryReadResult, HistoryData, DataValue, StatusCodes, isMinDate } = require("node-opcua");
const { dateToTime, timeToDate, isTime } = require("./wire");
const { fromHdaQuality, fromHresult } = require("./quality");
const { toVariant } = require("./values");
const { ContinuationPoints } = require("./ContinuationPoints");

const HR_INVALID_HANDLE = 0xc0040001; // the endpoint's token is unknown or expired

const DEFAULTS = {
  maxPerResponse: 10000, // values per HistoryRead answer; more go through continuation points
  maxReverse: 100000, // a reverse read is fetched whole and turned round
  timeoutMs: 120000,
  maxPoints: 100, // per session (MaxHistoryContinuationPoints)
  pointMaxAgeMs: 10 * 60 * 1000, // as long as the endpoint keeps its tokens
  log: () => {}
};

function result(statusCode, dataValues = [], continuationPoint = null) {
  return new HistoryReadResult({ statusCode, continuationPoint, historyData: new HistoryData({ dataValues }) });
}

function specified(date) {
  return date instanceof Date && !isMinDate(date);
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
  return { nid, lo, hi, skip: 0, reverse, bounds: Boolean(details.returnBounds) && !reverse, first: true, cont: null };
}

class HistoryReader {
  constructor(connection, options = {}) {
    this.connection = connection;
    this.opt = { ...DEFAULTS, ...options };
    this.points = new ContinuationPoints({ maxPerSession: this.opt.maxPoints, maxAgeMs: this.opt.pointMaxAgeMs });
  }

  sessionGone(session) {
    this.points.sessionGone(session);
  }

  async read(info, context, details, continuationData = {}) {
    const session = context?.session ?? null;
    if (!info.hist) return result(StatusCodes.BadNotReadable);
    if (!(details instanceof ReadRawModifiedDetails) || details.isReadModified) {
      return result(StatusCodes.BadHistoryOperationUnsupported);
    }
    const cp = continuationData.continuationPoint;
    const hasPoint = cp && cp.length > 0;
    if (continuationData.releaseContinuationPoints) {
      if (hasPoint) this.points.release(session, cp);
      return result(StatusCodes.Good);
    }
    const q = hasPoint ? this.points.take(session, info.nid, cp) : firstQuery(info.nid, details);
    if (!q) return result(StatusCodes.BadContinuationPointInvalid);
    if (q.error) return result(q.error);
    const limit = Math.min(details.numValuesPerNode || Infinity, this.opt.maxPerResponse);
    try {
      const [values, next] = q.reverse ? await this.readReverse(q, limit) : await this.readForward(q, limit);
      return this.answer(info, session, values, next);
    } catch (err) {
      if (err.status) return result(err.status);
      this.opt.log(`history read of ${info.nid} failed: ${err.message}`);
      return result(fromHresult(err.hr ?? 0x80004005));
    }
  }

  // One `hist.raw`: from the endpoint's token when there is one, else by time.
  async fetch(q, max) {
    const values = [];
    const args = q.cont ? { nid: q.nid, cont: q.cont, max } : { nid: q.nid, start: q.lo, end: q.hi, bounds: q.bounds, max };
    const reply = await this.connection.request(
      "hist.raw",
      args,
      {
        timeoutMs: this.opt.timeoutMs,
        onPart: (part) => {
          if (Array.isArray(part.values)) for (const v of part.values) if (v && isTime(v.t)) values.push(v);
        }
      }
    );
    return { values, more: reply.more === true, cont: typeof reply.cont === "string" ? reply.cont : null };
  }

  // Goes on from the endpoint's token; a token it no longer knows (expired) falls back to a read by time.
  async fetchNext(q, max) {
    if (q.cont) {
      try {
        return { ...(await this.fetch(q, max)), viaToken: true };
      } catch (err) {
        if (err.hr !== HR_INVALID_HANDLE) throw err;
      }
    }
    // the start bound fits on the first page beside all the values asked for, so the token stays usable
    const room = q.first && q.bounds && max > 1 ? max - 1 : max;
    return { ...(await this.fetch({ ...q, cont: null }, room + q.skip)), viaToken: false };
  }

  // Bounds count toward the client's numValuesPerNode like any value: the start bound takes a place on the
  // first page, and the end bound comes on the page where it fits once every raw value is sent.
  // Returns the values to send and the state to go on with (null when the read is done).
  async readForward(q, limit) {
    const { values, more, cont, viaToken } = await this.fetchNext(q, limit);
    const raw = values.filter((v) => !v.bound);
    const startBound = q.first ? values.filter((v) => v.bound && v.t <= q.lo) : [];
    const endBound = values.filter((v) => v.bound && v.t > q.lo);
    let skip = viaToken ? 0 : q.skip; // the endpoint's token goes on after the values already given
    while (skip > 0 && raw.length && raw[0].t === q.lo) {
      raw.shift();
      skip--;
    }
    const got = raw.length;
    const room = limit - startBound.length;
    const page = raw.slice(0, room);
    const sent = [...startBound, ...page];
    const rawDone = !more && raw.length <= room;
    if (rawDone && sent.length + endBound.length <= limit) return [[...sent, ...endBound], null];
    // Nothing to send though more was announced would hand out the same point again: end the read instead.
    if (sent.length === 0) return [[], null];
    const lastT = page.length ? page[page.length - 1].t : q.lo;
    const atLast = page.filter((v) => v.t === lastT).length + (lastT === q.lo ? q.skip : 0);
    // the token stands just after the last value the endpoint gave: usable only when every one was sent
    const next = more && cont && page.length === got ? cont : null;
    return [sent, { ...q, lo: lastT, skip: atLast, first: false, cont: next }];
  }

  async readReverse(q, limit) {
    const { values, more } = await this.fetch(q, this.opt.maxReverse);
    if (more) throw Object.assign(new Error("reverse window too large"), { status: StatusCodes.BadResponseTooLarge });
    const top = q.hi - 1; // the newest time still wanted
    const raw = values.filter((v) => !v.bound).reverse();
    let skip = q.skip;
    while (skip > 0 && raw.length && raw[0].t === top) {
      raw.shift();
      skip--;
    }
    const page = raw.slice(0, limit);
    if (raw.length <= limit) return [page, null];
    const lastT = page[page.length - 1].t;
    const atLast = page.filter((v) => v.t === lastT).length + (lastT === top ? q.skip : 0);
    return [page, { ...q, hi: lastT + 1, skip: atLast, first: false }];
  }

  answer(info, session, values, next) {
    const dataValues = values.map((v) => toDataValue(info, v));
    const status = dataValues.length === 0 && !next ? StatusCodes.GoodNoData : StatusCodes.Good;
    return result(status, dataValues, next ? this.points.add(session, info.nid, next) : null);
  }
}

function toDataValue(info, v) {
  const { variant, statusCode } = toVariant(info.type, v.v);
  let status = fromHdaQuality(Number(v.q) >>> 0);
  if (statusCode && status.isGood()) status = statusCode;
  const t = timeToDate(v.t);
  return new DataValue({ value: variant, statusCode: status, sourceTimestamp: t, serverTimestamp: t });
}

module.exports = { HistoryReader };
