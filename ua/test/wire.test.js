"use strict";
const test = require("node:test");
const assert = require("node:assert/strict");
const { LineSplitter, parseLine, decodeValue, encodeValue } = require("../src/wire");
const { parseListen } = require("../src/args");

function split(chunks, maxLine) {
  const lines = [];
  let overflows = 0;
  const s = new LineSplitter((l) => lines.push(l.toString()), () => overflows++, maxLine);
  for (const c of chunks) s.push(Buffer.from(c));
  return { lines, overflows };
}

test("line splitter: chunk boundaries, CR LF, empty lines", () => {
  assert.deepEqual(split(['{"a":', '1}\n{"b"', ":2}\r\n\n\n{}\n"]).lines, ['{"a":1}', '{"b":2}', "{}"]);
  // an unterminated tail stays pending until its LF
  assert.deepEqual(split(["x\ny"]).lines, ["x"]);
});

test("line splitter: an over-long line is skipped to its LF, the next line survives", () => {
  const r = split(["12345", "6789\nok\n", "abcdefghijk", "lmn\nfine\n"], 8);
  assert.deepEqual(r.lines, ["ok", "fine"]);
  assert.equal(r.overflows, 2);
  // exactly at the limit is allowed
  assert.deepEqual(split(["12345678\n"], 8).lines, ["12345678"]);
});

test("parseLine accepts only UTF-8 JSON objects", () => {
  assert.deepEqual(parseLine(Buffer.from('{"nid":"Устройства"}')), { nid: "Устройства" });
  for (const [bytes, why] of [
    [Buffer.from("not json"), /not JSON/],
    [Buffer.from("[1,2]"), /not a JSON object/],
    [Buffer.from("null"), /not a JSON object/],
    [Buffer.from([0x7b, 0xff, 0x7d]), /not UTF-8/]
  ]) {
    assert.throws(() => parseLine(bytes), why);
  }
});

test("value tags decode to typed values and encode back", () => {
  const cases = [
    [null, null, null],
    [true, "bool", true],
    [12.5, "number", 12.5],
    ["#NaN", "number", NaN],
    ["#Inf", "number", Infinity],
    ["#-Inf", "number", -Infinity],
    ["#i64:-9223372036854775808", "int64", -9223372036854775808n],
    ["#u64:18446744073709551615", "uint64", 18446744073709551615n],
    ["#t:1765360800000000", "date", new Date(1765360800000)],
    ["plain", "string", "plain"],
    ["##hash", "string", "#hash"],
    ["#", null, undefined] // a lone marker is no tag
  ];
  for (const [wire, kind, value] of cases) {
    if (value === undefined) {
      assert.throws(() => decodeValue(wire), /unknown value tag/);
      continue;
    }
    const d = decodeValue(wire);
    assert.equal(d.kind, kind, String(wire));
    assert.deepEqual(d.value, value, String(wire));
    assert.deepEqual(encodeValue(d.kind, d.value), wire);
  }
  for (const bad of ["#i64:1.5", "#u64:-1", "#t:abc", "#nan", "#i64:99999999999999999999", "#i64:9223372036854775808", "#u64:18446744073709551616"]) {
    assert.throws(() => decodeValue(bad), /unknown value tag/, bad);
  }
  assert.throws(() => decodeValue({}), /unexpected JSON type/);
});

test("listen addresses", () => {
  const cases = [
    ["4840", { host: "127.0.0.1", port: 4840 }],
    ["0.0.0.0:4841", { host: "0.0.0.0", port: 4841 }],
    ["[::1]:4842", { host: "::1", port: 4842 }],
    ["localhost:1", { host: "localhost", port: 1 }],
    ["0", { host: "127.0.0.1", port: 0 }]
  ];
  for (const [text, want] of cases) assert.deepEqual(parseListen(text), want);
  for (const bad of ["", "host:", "70000", "a:b", "::1:4840", "65536"]) assert.throws(() => parseListen(bad), /bad/, bad);
});
