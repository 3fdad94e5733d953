"use strict";
// Encoding rules of the endpoint's JSON-lines protocol (PROTOCOL.md): line framing, value tags, times.

const MAX_LINE = 4 * 1024 * 1024;

// Splits a byte stream into lines of at most maxLine bytes. An over-long line is reported once through
// onOverflow and skipped up to its LF, so one bad line never costs the lines after it.
class LineSplitter {
  constructor(onLine, onOverflow, maxLine = MAX_LINE) {
    this.onLine = onLine;
    this.onOverflow = onOverflow;
    this.maxLine = maxLine;
    this.parts = [];
    this.size = 0;
    this.skipping = false;
  }

  push(chunk) {
    let from = 0;
    while (from < chunk.length) {
      const lf = chunk.indexOf(0x0a, from);
      const end = lf < 0 ? chunk.length : lf;
      if (!this.skipping) {
        if (this.size + (end - from) > this.maxLine) {
          this.skipping = true;
          this.parts = [];
          this.size = 0;
          this.onOverflow();
        } else {
          this.parts.push(chunk.subarray(from, end));
          this.size += end - from;
        }
      }
      if (lf < 0) return;
      if (!this.skipping) this.emit();
      this.skipping = false;
      from = lf + 1;
    }
  }

  emit() {
    let line = Buffer.concat(this.parts, this.size);
    this.parts = [];
    this.size = 0;
    if (line.length > 0 && line[line.length - 1] === 0x0d) line = line.subarray(0, line.length - 1);
    if (line.length > 0) this.onLine(line);
  }
}

const utf8 = new TextDecoder("utf-8", { fatal: true });

// Parses one line into an object; throws with a short reason when the line is not a JSON object.
function parseLine(buf) {
  let text;
  try {
    text = utf8.decode(buf);
  } catch {
    throw new Error("line is not UTF-8");
  }
  let msg;
  try {
    msg = JSON.parse(text);
  } catch {
    throw new Error("line is not JSON");
  }
  if (msg === null || typeof msg !== "object" || Array.isArray(msg)) throw new Error("line is not a JSON object");
  return msg;
}

function encodeLine(msg) {
  return JSON.stringify(msg) + "\n";
}

// Microseconds since 1970 UTC <-> Date. Date keeps milliseconds only; the sub-millisecond rest is dropped.
function timeToDate(us) {
  if (us === null || us === undefined) return null;
  return new Date(Math.floor(us / 1000));
}

function dateToTime(date) {
  return date.getTime() * 1000;
}

function isTime(x) {
  return Number.isSafeInteger(x);
}

function inRange(kind, value, lo, hi) {
  return value >= lo && value <= hi ? { kind, value } : null;
}

// A decoded value: JS value plus the wire kind it came as, so the caller can build a typed variant.
// kind: null | "bool" | "number" | "int64" | "uint64" | "date" | "string"
const TAGS = [
  [/^#NaN$/, () => ({ kind: "number", value: NaN })],
  [/^#Inf$/, () => ({ kind: "number", value: Infinity })],
  [/^#-Inf$/, () => ({ kind: "number", value: -Infinity })],
  [/^#i64:(-?\d{1,19})$/, (m) => inRange("int64", BigInt(m[1]), -(2n ** 63n), 2n ** 63n - 1n)],
  [/^#u64:(\d{1,20})$/, (m) => inRange("uint64", BigInt(m[1]), 0n, 2n ** 64n - 1n)],
  [/^#t:(-?\d{1,16})$/, (m) => ({ kind: "date", value: timeToDate(Number(m[1])) })]
];

function decodeValue(v) {
  if (v === null || v === undefined) return { kind: null, value: null };
  if (typeof v === "boolean") return { kind: "bool", value: v };
  if (typeof v === "number") return { kind: "number", value: v };
  if (typeof v !== "string") throw new Error("value of unexpected JSON type");
  if (!v.startsWith("#")) return { kind: "string", value: v };
  if (v.startsWith("##")) return { kind: "string", value: v.slice(1) };
  for (const [re, make] of TAGS) {
    const m = re.exec(v);
    const d = m && make(m);
    if (d) return d;
  }
  throw new Error(`unknown value tag ${JSON.stringify(v.slice(0, 32))}`);
}

// The inverse of decodeValue, for the protocol fixture and for writing tests.
function encodeValue(kind, value) {
  switch (kind) {
    case null:
      return null;
    case "bool":
      return Boolean(value);
    case "number":
      if (Number.isNaN(value)) return "#NaN";
      if (value === Infinity) return "#Inf";
      if (value === -Infinity) return "#-Inf";
      return value;
    case "int64":
      return `#i64:${BigInt.asIntN(64, BigInt(value))}`;
    case "uint64":
      return `#u64:${BigInt.asUintN(64, BigInt(value))}`;
    case "date":
      return `#t:${dateToTime(value)}`;
    case "string":
      return value.startsWith("#") ? "#" + value : value;
    default:
      throw new Error(`unknown value kind ${kind}`);
  }
}

module.exports = {
  MAX_LINE,
  LineSplitter,
  parseLine,
  encodeLine,
  timeToDate,
  dateToTime,
  isTime,
  decodeValue,
  encodeValue
};
