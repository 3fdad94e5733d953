#!/usr/bin/env node
"use strict";
// An independent OPC UA client for tests and the demo; prints JSON.
//   client.js URL browse [NODEID]
//   client.js URL read NODEID...
//   client.js URL subscribe NODEID... [--count N] [--interval MS]
//   client.js URL history NODEID --start TIME --end TIME [--max N] [--bounds]
// Options before or after the command: --security none|sign|encrypt (default none).
// Standard output carries only the JSON answer: the library's own notices (console.log) go to standard error.
console.log = (...args) => console.error(...args);
require("./src/node18");
const {
  OPCUAClient,
  AttributeIds,
  BrowseDirection,
  NodeClass,
  DataType,
  TimestampsToReturn,
  MessageSecurityMode,
  SecurityPolicy,
  ReadRawModifiedDetails,
  HistoryReadRequest,
  ClientSubscription,
  ClientMonitoredItem
} = require("node-opcua");

const USAGE =
  "usage: client.js URL browse [NODEID] | read NODEID... | subscribe NODEID... [--count N] [--interval MS]\n" +
  "                 | history NODEID --start TIME --end TIME [--max N] [--bounds]   [--security none|sign|encrypt]\n";

function parseArgs(argv) {
  const opts = { security: "none", count: "1", interval: "2000", max: "0", bounds: false };
  const rest = [];
  for (let i = 0; i < argv.length; i++) {
    const a = argv[i];
    if (a === "--bounds") opts.bounds = true;
    else if (a.startsWith("--")) {
      if (i + 1 >= argv.length) throw new Error(`${a} needs a value`);
      opts[a.slice(2)] = argv[++i];
    } else rest.push(a);
  }
  const [url, command, ...ids] = rest;
  if (!url || !command) throw new Error("URL and command are required");
  return { url, command, ids, opts };
}

function int64Text([hi, lo], signed) {
  const u = (BigInt(hi >>> 0) << 32n) | BigInt(lo >>> 0);
  return String(signed ? BigInt.asIntN(64, u) : u);
}

// A variant's value as JSON: non-finite numbers and 64-bit integers as text, dates as ISO text.
function jsonValue(variant) {
  const v = variant ? variant.value : null;
  if (v === null || v === undefined) return null;
  if (variant.dataType === DataType.Int64 || variant.dataType === DataType.UInt64) return int64Text(v, variant.dataType === DataType.Int64);
  if (typeof v === "number" && !Number.isFinite(v)) return String(v);
  if (v instanceof Date) return v.toISOString();
  if (v && typeof v.toJSON === "function") return v.toJSON();
  return v;
}

function jsonDataValue(dv) {
  return {
    value: jsonValue(dv.value),
    dataType: dv.value ? DataType[dv.value.dataType] : "Null",
    status: dv.statusCode.name,
    statusCode: dv.statusCode.value,
    sourceTimestamp: dv.sourceTimestamp ? dv.sourceTimestamp.toISOString() : null
  };
}

function parseTime(text, name) {
  const d = /^-?\d+$/.test(text) ? new Date(Number(text)) : new Date(text);
  if (Number.isNaN(d.getTime())) throw new Error(`bad ${name} time ${JSON.stringify(text)}`);
  return d;
}

// The index of the server's device namespace, looked up by its URI as any client should.
async function devicesNamespace(session) {
  const dv = await session.read({ nodeId: "ns=0;i=2255", attributeId: AttributeIds.Value });
  const index = (dv.value.value || []).indexOf("urn:orvela:devices");
  if (index < 0) throw new Error("the server has no urn:orvela:devices namespace");
  return index;
}

async function browse(session, root) {
  const out = [];
  const ns = await devicesNamespace(session);
  const walk = async (nodeId, depth) => {
    const result = await session.browse({
      nodeId,
      browseDirection: BrowseDirection.Forward,
      referenceTypeId: "HierarchicalReferences",
      includeSubtypes: true,
      resultMask: 63
    });
    for (const ref of result.references || []) {
      if (ref.nodeId.namespace !== ns) continue;
      const entry = {
        nodeId: ref.nodeId.toString(),
        browseName: ref.browseName.name,
        displayName: ref.displayName.text,
        nodeClass: NodeClass[ref.nodeClass],
        depth
      };
      if (ref.nodeClass === NodeClass.Variable) {
        const [dt, hist, access] = await session.read([
          { nodeId: ref.nodeId, attributeId: AttributeIds.DataType },
          { nodeId: ref.nodeId, attributeId: AttributeIds.Historizing },
          { nodeId: ref.nodeId, attributeId: AttributeIds.AccessLevel }
        ]);
        entry.dataType = dt.value.value ? DataType[dt.value.value.value] || dt.value.value.toString() : null;
        entry.historizing = hist.value.value;
        entry.accessLevel = access.value.value;
      }
      out.push(entry);
      await walk(ref.nodeId, depth + 1);
    }
  };
  await walk(root || "ns=0;i=85", 0);
  return out;
}

async function read(session, ids) {
  const dvs = await session.read(ids.map((nodeId) => ({ nodeId, attributeId: AttributeIds.Value })), 0);
  return dvs.map((dv, i) => ({ nodeId: ids[i], ...jsonDataValue(dv) }));
}

async function subscribe(session, ids, opts) {
  const count = Number(opts.count);
  const subscription = ClientSubscription.create(session, {
    requestedPublishingInterval: 500,
    requestedLifetimeCount: 600,
    requestedMaxKeepAliveCount: 20,
    publishingEnabled: true
  });
  await new Promise((resolve) => subscription.on("started", resolve));
  let seen = 0;
  await new Promise((resolve) => {
    for (const nodeId of ids) {
      const item = ClientMonitoredItem.create(
        subscription,
        { nodeId, attributeId: AttributeIds.Value },
        { samplingInterval: Number(opts.interval), queueSize: 10, discardOldest: true },
        TimestampsToReturn.Both
      );
      item.on("changed", (dv) => {
        if (seen >= count) return;
        process.stdout.write(JSON.stringify({ nodeId, revisedSamplingInterval: item.monitoringParameters.samplingInterval, ...jsonDataValue(dv) }) + "\n");
        if (++seen >= count) resolve();
      });
    }
  });
  await subscription.terminate();
  return null;
}

async function history(session, nodeId, opts) {
  const details = new ReadRawModifiedDetails({
    isReadModified: false,
    startTime: parseTime(opts.start, "start"),
    endTime: parseTime(opts.end, "end"),
    numValuesPerNode: Number(opts.max),
    returnBounds: opts.bounds
  });
  const values = [];
  let continuationPoint = null;
  for (let pages = 0; pages < 100000; pages++) {
    const response = await session.performMessageTransaction(
      new HistoryReadRequest({
        historyReadDetails: details,
        timestampsToReturn: TimestampsToReturn.Source,
        nodesToRead: [{ nodeId, continuationPoint }]
      })
    );
    const r = response.results[0];
    if (r.statusCode.isBad()) throw new Error(`HistoryRead: ${r.statusCode.name}`);
    for (const dv of (r.historyData && r.historyData.dataValues) || []) values.push(jsonDataValue(dv));
    continuationPoint = r.continuationPoint && r.continuationPoint.length ? r.continuationPoint : null;
    if (!continuationPoint) break;
  }
  return values;
}

const COMMANDS = {
  browse: (session, ids) => browse(session, ids[0]),
  read: (session, ids) => read(session, ids),
  subscribe: (session, ids, opts) => subscribe(session, ids, opts),
  history: (session, ids, opts) => history(session, ids[0], opts)
};

const SECURITY = {
  none: { securityMode: MessageSecurityMode.None, securityPolicy: SecurityPolicy.None },
  sign: { securityMode: MessageSecurityMode.Sign, securityPolicy: SecurityPolicy.Basic256Sha256 },
  encrypt: { securityMode: MessageSecurityMode.SignAndEncrypt, securityPolicy: SecurityPolicy.Basic256Sha256 }
};

async function main() {
  let args;
  try {
    args = parseArgs(process.argv.slice(2));
    if (!SECURITY[args.opts.security]) throw new Error(`unknown security ${args.opts.security}`);
    if (!COMMANDS[args.command]) throw new Error(`unknown command ${args.command}`);
    if (args.command !== "browse" && args.ids.length === 0) throw new Error(`${args.command} needs a NODEID`);
    if (args.command === "history") {
      if (!(args.opts.start && args.opts.end)) throw new Error("history needs --start and --end");
      parseTime(args.opts.start, "start");
      parseTime(args.opts.end, "end");
    }
  } catch (err) {
    process.stderr.write(`client: ${err.message}\n${USAGE}`);
    return 2;
  }
  const client = OPCUAClient.create({
    endpointMustExist: false,
    connectionStrategy: { maxRetry: 2, initialDelay: 200, maxDelay: 1000 },
    ...SECURITY[args.opts.security]
  });
  try {
    await client.connect(args.url);
    const session = await client.createSession();
    const out = await COMMANDS[args.command](session, args.ids, args.opts);
    if (out !== null) process.stdout.write(JSON.stringify(out, null, 1) + "\n");
    await session.close();
    return 0;
  } catch (err) {
    process.stderr.write(`client: ${err.message}\n`);
    return 1;
  } finally {
    await client.disconnect();
  }
}

main().then((code) => process.exit(code));
