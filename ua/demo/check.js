#!/usr/bin/env node
"use strict";
// The demo's comparison of what an OPC UA client read (client.js output) with what the simulated meter
// measures (simvalues). Prints one line per value and exits 1 on any value that is not good or differs.
//   check.js current SIMVALUES SERIAL READ_JSON PARAM...     (one PARAM per node read, in order)
//   check.js hours SIMVALUES SERIAL HISTORY_JSON PARAM START END
const fs = require("node:fs");
const { execFileSync } = require("node:child_process");

function simValues(simvalues, serial, param, args) {
  return JSON.parse(execFileSync(simvalues, ["--serial", serial, "--param", String(param), ...args], { encoding: "utf8" }));
}

const same = (uaValue, simValue) => Math.fround(simValue) === uaValue;
const shortName = (nodeId) => nodeId.split(".").slice(-2).join(".");

// A current value belongs to the minute the meter showed when it answered: the source time's or the one before.
function checkCurrent(simvalues, serial, file, params) {
  const values = JSON.parse(fs.readFileSync(file, "utf8"));
  if (values.length !== params.length) throw new Error(`${values.length} values read for ${params.length} parameters`);
  let bad = 0;
  values.forEach((v, i) => {
    const at = Date.parse(v.sourceTimestamp);
    const expected = [at, at - 60000].map((t) => simValues(simvalues, serial, params[i], ["--at", String(t * 1000)]).value);
    const ok = v.status === "Good" && expected.some((e) => same(v.value, e));
    if (!ok) ++bad;
    console.log(`${ok ? "ok  " : "BAD "} ${shortName(v.nodeId)} = ${v.value} (${v.status}, ${v.sourceTimestamp}); simulator ${expected[0]}`);
  });
  return bad;
}

// Every hourly record read must be the simulator's record of that hour, and the day must be there.
function checkHours(simvalues, serial, file, param, start, end) {
  const records = JSON.parse(fs.readFileSync(file, "utf8"));
  const expected = new Map(
    simValues(simvalues, serial, param, ["--hours", "--from", start, "--to", end]).records.map((r) => [r.time, r.value])
  );
  let bad = 0;
  for (const r of records) {
    const ok = r.status === "Good" && expected.has(r.sourceTimestamp) && same(r.value, expected.get(r.sourceTimestamp));
    if (!ok) ++bad;
    console.log(`${ok ? "ok  " : "BAD "} ${r.sourceTimestamp} ${r.value} (${r.status}); simulator ${expected.get(r.sourceTimestamp)}`);
  }
  // The hour in progress is not in the archive yet.
  if (records.length < expected.size - 1) {
    console.log(`BAD  ${records.length} records for the ${expected.size} hours of the window`);
    ++bad;
  }
  return bad;
}

function main(argv) {
  const [mode, simvalues, serial, file, ...rest] = argv;
  if (mode === "current" && rest.length) return checkCurrent(simvalues, serial, file, rest);
  if (mode === "hours" && rest.length === 3) return checkHours(simvalues, serial, file, ...rest);
  throw new Error("usage: check.js current SIMVALUES SERIAL READ_JSON PARAM... | hours SIMVALUES SERIAL HISTORY_JSON PARAM START END");
}

try {
  const bad = main(process.argv.slice(2));
  if (bad) console.log(`${bad} value(s) do not match the simulator`);
  process.exit(bad ? 1 : 0);
} catch (err) {
  process.stderr.write(`check: ${err.message}\n`);
  process.exit(2);
}
