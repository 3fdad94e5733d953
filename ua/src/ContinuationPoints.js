"use strict";
// HistoryRead continuation points kept in the gateway: the client holds only a random id, so it cannot
// edit a point to read outside its window nor use another session's. Each point serves once; a session
// keeps at most `maxPerSession` (the oldest gives way), none older than `maxAgeMs`, none after it closes.
const crypto = require("node:crypto");

const ID_BYTES = 16;

class ContinuationPoints {
  constructor({ maxPerSession = 100, maxAgeMs = 10 * 60 * 1000, now = Date.now } = {}) {
    this.maxPerSession = maxPerSession;
    this.maxAgeMs = maxAgeMs;
    this.now = now;
    this.sessions = new Map(); // session (or null) -> Map(id hex -> { nid, state, at }), oldest first
  }

  // Stores the state of a read to go on with; returns the id the client gets.
  add(session, nid, state) {
    const points = this.prune(session) || new Map();
    this.sessions.set(session, points);
    while (points.size >= this.maxPerSession) points.delete(points.keys().next().value);
    const id = crypto.randomBytes(ID_BYTES);
    points.set(id.toString("hex"), { nid, state, at: this.now() });
    return id;
  }

  // The state behind a point of this session and node, removed since it serves once; null when unknown.
  take(session, nid, id) {
    const points = this.prune(session);
    const key = Buffer.isBuffer(id) && id.length === ID_BYTES ? id.toString("hex") : null;
    const point = points && key ? points.get(key) : null;
    if (!point || point.nid !== nid) return null;
    points.delete(key);
    return point.state;
  }

  release(session, id) {
    const points = this.sessions.get(session);
    if (points && Buffer.isBuffer(id)) points.delete(id.toString("hex"));
  }

  sessionGone(session) {
    this.sessions.delete(session);
  }

  count(session) {
    return this.prune(session)?.size ?? 0;
  }

  // Drops the session's points past their age; returns what is left (undefined when none).
  prune(session) {
    const points = this.sessions.get(session);
    if (!points) return undefined;
    const oldest = this.now() - this.maxAgeMs;
    for (const [key, p] of points) {
      if (p.at > oldest) break; // in insertion order, so the rest are younger
      points.delete(key);
    }
    if (points.size === 0) this.sessions.delete(session);
    return points.size ? points : undefined;
  }
}

module.exports = { ContinuationPoints };
