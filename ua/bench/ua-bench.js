"use strict";
// Measures one running gateway from outside, as any OPC UA client sees it: browses its whole tree
// (which also makes the gateway's memory figures include a client that has browsed), then times UA Reads
// of 100 variables answered from the gateway's cache (large maxAge) and, for contrast, Reads with maxAge 0
// that go to the devices through the endpoint; last it prints the gateway's VmRSS and VmHWM.
// node bench/ua-bench.js URL GATEWAY_PID [--seconds S] [--device-reads N] [--label TEXT]
require("../src/node18");
const fs = require("node:fs");
const { OPCUAClient, MessageSecurityMode, SecurityPolicy, BrowseDirection, NodeClass, AttributeIds } = require("node-opcua");

const BATCH = 100;
const HAS_PROPERTY = 46;
const MAX_AGE_CACHED_MS = 3600000; // an hour: every value read at the start counts as fresh

function parseArgs(argv) {
  const [url, pid, ...rest] = argv;
  if (!url || !/^\d+$/.test(pid || "")) throw new Error("usage: ua-bench.js URL GATEWAY_PID [--seconds S] [--device-reads N] [--label TEXT]");
  const opts = { url, pid: Number(pid), seconds: 3, deviceReads: 1, label: "" };
  for (let i = 0; i < rest.length; i += 2) {
    const key = { "--seconds": "seconds", "--device-reads": "deviceReads", "--label": "label" }[rest[i]];
    if (!key || rest[i + 1] === undefined) throw new Error(`bad argument ${rest[i]}`);
    opts[key] = key === "label" ? rest[i + 1] : Number(rest[i + 1]);
  }
  return opts;
}

// Every readable variable under Objects in the devices' namespace (2), found by browsing level by level.
async function readableVariables(session) {
  const found = [];
  let level = ["ns=0;i=85"];
  let nodes = 0;
  while (level.length) {
    const results = await session.browse(level.map((nodeId) => ({
      nodeId, browseDirection: BrowseDirection.Forward, referenceTypeId: "HierarchicalReferences",
      includeSubtypes: true, resultMask: 63
    })));
    level = [];
    for (const r of results) {
      for (const ref of r.references || []) {
        if (ref.nodeId.namespace !== 2 || ref.referenceTypeId.value === HAS_PROPERTY) continue; // skip EngineeringUnits
        nodes++;
        if (ref.nodeClass === NodeClass.Variable) found.push(ref.nodeId);
        else level.push(ref.nodeId);
      }
    }
  }
  const access = await session.read(found.map((nodeId) => ({ nodeId, attributeId: AttributeIds.AccessLevel })));
  return { nodes, variables: found.length, readable: found.filter((_, i) => (access[i].value.value & 1) === 1) };
}

// 100 of them, starting over from the first when there are fewer.
function batchOf(variables) {
  const ids = [];
  for (let i = 0; i < BATCH; i++) ids.push({ nodeId: variables[i % variables.length], attributeId: AttributeIds.Value });
  return ids;
}

async function timeReads(session, ids, maxAge, { seconds = 0, count = 0 }) {
  const start = process.hrtime.bigint();
  const until = start + BigInt(Math.round(seconds * 1e9));
  let requests = 0;
  let good = 0;
  for (;;) {
    const dvs = await session.read(ids, maxAge);
    requests++;
    good += dvs.filter((dv) => dv.statusCode.isGood()).length;
    if (count ? requests >= count : process.hrtime.bigint() >= until) break;
  }
  const s = Number(process.hrtime.bigint() - start) / 1e9;
  return { requests, s, good, values: requests * ids.length };
}

function memory(pid) {
  const status = fs.readFileSync(`/proc/${pid}/status`, "utf8");
  const kb = (key) => Number((status.match(new RegExp(`^${key}:\\s+(\\d+) kB`, "m")) || [])[1]);
  return { rss: kb("VmRSS"), hwm: kb("VmHWM") };
}

function report(label, r) {
  const per = (n) => (n / r.s).toFixed(0);
  console.log(`${label}: ${r.requests} Reads of ${BATCH} in ${r.s.toFixed(2)} s: ${per(r.requests)} Reads/s, ` +
    `${per(r.values)} values/s, ${(1000 * r.s / r.requests).toFixed(2)} ms per Read, ${r.good} of ${r.values} values good`);
}

async function main() {
  const opts = parseArgs(process.argv.slice(2));
  const client = OPCUAClient.create({
    securityMode: MessageSecurityMode.None, securityPolicy: SecurityPolicy.None,
    endpointMustExist: false, connectionStrategy: { maxRetry: 0 },
    defaultTransactionTimeout: 120000 // device reads over the simulated line take seconds
  });
  await client.connect(opts.url);
  try {
    const session = await client.createSession();
    const tree = await readableVariables(session);
    if (!tree.readable.length) throw new Error("the gateway shows no readable variable");
    const distinct = Math.min(BATCH, tree.readable.length);
    const tag = opts.label ? `[${opts.label}] ` : "";
    console.log(`${tag}tree: ${tree.nodes} nodes, ${tree.variables} variables, ${tree.readable.length} readable; ` +
      `each Read asks for ${BATCH} values of ${distinct} distinct variables` + (distinct < BATCH ? " (repeated in turn)" : ""));
    const ids = batchOf(tree.readable);
    const first = await timeReads(session, ids, 0, { count: 1 }); // fills the cache from the devices
    report(`${tag}first Read, maxAge 0 (fills the cache)`, first);
    report(`${tag}cached, maxAge ${MAX_AGE_CACHED_MS} ms`, await timeReads(session, ids, MAX_AGE_CACHED_MS, { seconds: opts.seconds }));
    if (opts.deviceReads > 0) report(`${tag}device, maxAge 0`, await timeReads(session, ids, 0, { count: opts.deviceReads }));
    const mem = memory(opts.pid);
    console.log(`${tag}gateway memory after browse and reads: VmRSS ${(mem.rss / 1024).toFixed(1)} MiB, VmHWM ${(mem.hwm / 1024).toFixed(1)} MiB`);
    await session.close();
  } finally {
    await client.disconnect();
  }
}

main().catch((err) => {
  process.stderr.write(`ua-bench: ${err.message}\n`);
  process.exit(1);
});
