"use strict";
// End to end: metersim → the server on the demo folder → the UA gateway → a node-opcua client. Expected
// values come from simvalues, so nothing here copies the simulator's numbers. Program paths arrive from
// ctest: ORVELA_OPC, ORVELACTL, METERSIM, SIMVALUES (TZ pinned there too).
const { test, before, after } = require("node:test");
const assert = require("node:assert/strict");
const { spawn, execFileSync } = require("node:child_process");
const fs = require("node:fs");
const net = require("node:net");
require("../src/node18");
const {
  AttributeIds,
  BrowseDirection,
  StatusCodes,
  TimestampsToReturn,
  ReadRawModifiedDetails,
  HistoryReadRequest,
  ClientSubscription,
  ClientMonitoredItem
} = require("node-opcua");
const { tempDir, waitFor, openSession } = require("../test/helpers");

const PROGRAMS = ["ORVELA_OPC", "ORVELACTL", "METERSIM", "SIMVALUES"];
for (const name of PROGRAMS) if (!process.env[name]) throw new Error(`${name} (program path) is not set`);

const SERIAL = "12345678";
const HEAT = 0; // heat, channel 1: a counter that moves every minute
const METER = "Устройства.Тарвел-1.Пользовательские данные.";
const HEAT_NOW = `ns=2;s=${METER}Текущие данные.Количество теплоты - канал 1.Значение`;
const HEAT_HOURS = `ns=2;s=${METER}Почасовой архив.Количество теплоты - канал 1`;
// The meter's clock starts 20 s before a minute boundary (local time, TZ as for the server).
const SIM_START = "2024-03-10 14:59:40";

// Every child in a process group of its own, killed with its group at the end whatever happened.
const children = new Set();
function startChild(program, args, opts = {}) {
  const child = spawn(program, args, { detached: true, stdio: ["ignore", "pipe", "pipe"], ...opts });
  child.output = "";
  const keep = (chunk) => (child.output += chunk.toString());
  child.stdout.on("data", keep);
  child.stderr.on("data", keep);
  child.exited = new Promise((resolve) => child.on("exit", resolve));
  children.add(child);
  child.on("exit", () => children.delete(child));
  return child;
}
function killAll() {
  for (const child of children) {
    try {
      process.kill(-child.pid, "SIGKILL");
    } catch {
      // already gone
    }
  }
}
process.on("exit", killAll);

function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.on("error", reject);
    server.listen(0, "127.0.0.1", () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

function simValues(args) {
  return JSON.parse(execFileSync(process.env.SIMVALUES, ["--serial", SERIAL, "--param", String(HEAT), ...args]));
}

// The server on the demo folder, keeping its UA gateway on `port` running.
function startServer(dir, port) {
  return { server: startChild(process.env.ORVELA_OPC, ["--dir", dir, "--ua", `127.0.0.1:${port}`]) };
}

const stack = {};
let simStartMs = 0; // wall-clock time metersim started its clock at SIM_START

before(async () => {
  stack.dir = tempDir();
  const sim = startChild(process.env.METERSIM, [
    "--listen", "127.0.0.1:0", "--prompt-ms", "250", "--device", `tarvel2001:1:${SERIAL}`, "--time", SIM_START
  ]);
  simStartMs = Date.now();
  const simPort = await waitFor(() => (sim.output.match(/listening on [^:]+:(\d+)/) || [])[1], "metersim");
  execFileSync(process.env.ORVELACTL, ["config", "demo", "--dir", stack.dir, "--port", simPort]);
  stack.port = await freePort();
  stack.url = `opc.tcp://127.0.0.1:${stack.port}`;
  Object.assign(stack, startServer(stack.dir, stack.port));
  stack.session = await waitFor(() => openSession(stack.url).catch(() => null), "the gateway", 60000);
});

after(async () => {
  if (stack.session) await stack.session.close().catch(() => {});
  killAll();
  await Promise.all([...children].map((c) => c.exited));
  if (stack.dir) fs.rmSync(stack.dir, { recursive: true, force: true });
});

async function browseNames(session, nodeId) {
  const r = await session.browse({ nodeId, browseDirection: BrowseDirection.Forward, resultMask: 63 });
  return r.references.map((ref) => ({ name: ref.browseName.name, id: ref.nodeId.toString() }));
}

// The meter's clock at a wall-clock time, as UTC microseconds for simvalues. SIM_START is local time of
// TZ, which node reads as simvalues and the server do.
function deviceMicros(wallMs) {
  return (new Date(SIM_START.replace(" ", "T")).getTime() + (wallMs - simStartMs)) * 1000;
}

test("browse finds the meter's tree with Cyrillic names and item identifiers", async () => {
  const { session } = stack.session;
  const roots = await browseNames(session, "ns=0;i=85");
  const devices = roots.find((r) => r.name === "Устройства");
  assert.ok(devices, JSON.stringify(roots));
  assert.equal(devices.id, "ns=2;s=Устройства");
  const meter = (await browseNames(session, devices.id)).find((r) => r.name === "Тарвел-1");
  assert.ok(meter);
  assert.equal(meter.id, "ns=2;s=Устройства.Тарвел-1");
  const heat = await session.read({ nodeId: HEAT_NOW, attributeId: AttributeIds.BrowseName });
  assert.equal(heat.value.value.name, "Значение");
});

// A value the meter showed at some time between t0 and t1 (its clock ran on meanwhile: any minute it
// showed then will do).
function assertSimValue(value, t0, t1, what = "") {
  const candidates = new Set();
  for (let wall = t0 - 60000; wall <= t1 + 60000; wall += 30000)
    candidates.add(simValues(["--at", String(deviceMicros(wall))]).value);
  assert.ok([...candidates].some((v) => Math.fround(v) === value), `${what}${value} not in ${[...candidates]}`);
}

async function readHeat(session) {
  const t0 = Date.now();
  const dv = await session.read({ nodeId: HEAT_NOW, attributeId: AttributeIds.Value }, 0);
  return { dv, t0, t1: Date.now() };
}

test("a read of a current value equals the simulator's reading", async () => {
  const { dv, t0, t1 } = await readHeat(stack.session.session);
  assert.ok(dv.statusCode.isGood(), dv.statusCode.name);
  assertSimValue(dv.value.value, t0, t1);
});

test("three clients read and subscribe at once, at two sampling rates, and none disturbs another", async () => {
  const others = [await openSession(stack.url), await openSession(stack.url)];
  const sessions = [stack.session.session, ...others.map((o) => o.session)];
  const subscriptions = [];
  const seen = sessions.map(() => []);
  try {
    sessions.forEach((session, i) => {
      const subscription = ClientSubscription.create(session, {
        requestedPublishingInterval: 500, requestedLifetimeCount: 100, requestedMaxKeepAliveCount: 10,
        maxNotificationsPerPublish: 100, publishingEnabled: true, priority: 1
      });
      subscriptions.push(subscription);
      const item = ClientMonitoredItem.create(subscription, { nodeId: HEAT_NOW, attributeId: AttributeIds.Value },
        { samplingInterval: i === 2 ? 5000 : 2000, discardOldest: true, queueSize: 10 }, TimestampsToReturn.Both);
      item.on("changed", (dv) => seen[i].push({ status: dv.statusCode, value: dv.value.value, at: Date.now() }));
    });
    for (let round = 0; round < 3; round++) {
      const reads = await Promise.all(sessions.map((s) => readHeat(s)));
      reads.forEach(({ dv, t0, t1 }, i) => {
        assert.ok(dv.statusCode.isGood(), `round ${round}, client ${i}: ${dv.statusCode.name}`);
        assertSimValue(dv.value.value, t0, t1, `round ${round}, client ${i}: `);
      });
    }
    await waitFor(() => seen.every((s) => s.some((n) => n.status.isGood())), "a good value on every subscription", 90000);
    seen.forEach((notifications, i) => {
      // the first notification may be the wait for the first delivery; after a value, no Bad one
      const values = notifications.slice(notifications.findIndex((n) => n.status.isGood()));
      assert.ok(values.every((n) => n.status.isGood()), `client ${i}: ${notifications.map((n) => n.status.name)}`);
      for (const n of values) assertSimValue(n.value, n.at - 5000, n.at, `client ${i}: `);
    });
  } finally {
    for (const subscription of subscriptions) await subscription.terminate().catch(() => {});
    for (const o of others) await o.close().catch(() => {});
  }
});

test("a subscription delivers the counter's change at the meter's minute boundary", async () => {
  const { session } = stack.session;
  const subscription = ClientSubscription.create(session, {
    requestedPublishingInterval: 500, requestedLifetimeCount: 100, requestedMaxKeepAliveCount: 10,
    maxNotificationsPerPublish: 100, publishingEnabled: true, priority: 1
  });
  const values = [];
  try {
    const item = ClientMonitoredItem.create(subscription, { nodeId: HEAT_NOW, attributeId: AttributeIds.Value },
      { samplingInterval: 500, discardOldest: true, queueSize: 10 }, TimestampsToReturn.Both);
    item.on("changed", (dv) => values.push(dv.value.value));
    await waitFor(() => new Set(values).size >= 2, "a changed value", 90000);
    const last = values[values.length - 1];
    const expected = simValues(["--at", String(deviceMicros(Date.now()))]).value;
    const earlier = simValues(["--at", String(deviceMicros(Date.now() - 60000))]).value;
    assert.ok(Math.fround(expected) === last || Math.fround(earlier) === last, `${last} vs ${expected}`);
  } finally {
    await subscription.terminate();
  }
});

async function historyPages(session, nodeId, start, end, max) {
  const details = new ReadRawModifiedDetails({
    isReadModified: false, startTime: new Date(start), endTime: new Date(end), numValuesPerNode: max, returnBounds: false
  });
  const pages = [];
  let continuationPoint = null;
  do {
    const response = await session.performMessageTransaction(new HistoryReadRequest({
      historyReadDetails: details, timestampsToReturn: TimestampsToReturn.Source,
      nodesToRead: [{ nodeId, continuationPoint }]
    }));
    const r = response.results[0];
    assert.ok(r.statusCode.isGood(), r.statusCode.name);
    pages.push(r.historyData.dataValues.map((dv) => ({ time: dv.sourceTimestamp.toISOString(), value: dv.value.value })));
    continuationPoint = r.continuationPoint && r.continuationPoint.length ? r.continuationPoint : null;
    assert.ok(pages.length < 50, "endless continuation");
  } while (continuationPoint);
  return pages;
}

test("HistoryRead raw returns the simulator's hourly records, paged by continuation points", async () => {
  const { session } = stack.session;
  const start = "2024-03-10T03:00:00.000Z";
  const end = "2024-03-10T09:00:00.000Z";
  const expected = simValues(["--hours", "--from", start, "--to", end]).records.map((r) => ({
    time: r.time, value: Math.fround(r.value)
  }));
  assert.equal(expected.length, 6);
  for (const max of [0, 2, 1]) {
    const pages = await historyPages(session, HEAT_HOURS, start, end, max);
    assert.deepEqual(pages.flat(), expected, `numValuesPerNode ${max}`);
    if (max) assert.ok(pages.every((p) => p.length <= max) && pages.length >= 3, JSON.stringify(pages));
  }
});

test("a continuation point edited by the client is refused; the one handed out goes on", async () => {
  const { session } = stack.session;
  const start = "2024-03-10T03:00:00.000Z";
  const end = "2024-03-10T09:00:00.000Z";
  const details = new ReadRawModifiedDetails({
    isReadModified: false, startTime: new Date(start), endTime: new Date(end), numValuesPerNode: 2, returnBounds: false
  });
  const page = async (continuationPoint) => (await session.performMessageTransaction(new HistoryReadRequest({
    historyReadDetails: details, timestampsToReturn: TimestampsToReturn.Source, nodesToRead: [{ nodeId: HEAT_HOURS, continuationPoint }]
  }))).results[0];
  const first = await page(null);
  assert.ok(first.continuationPoint && first.continuationPoint.length, "a point for the rest");
  const tampered = Buffer.from(first.continuationPoint);
  tampered[tampered.length - 1] ^= 0x80;
  assert.equal((await page(tampered)).statusCode.value, StatusCodes.BadContinuationPointInvalid.value);
  const second = await page(first.continuationPoint);
  assert.ok(second.statusCode.isGood(), second.statusCode.name);
  const expected = simValues(["--hours", "--from", start, "--to", end]).records.slice(2, 4).map((r) => r.time);
  assert.deepEqual(second.historyData.dataValues.map((dv) => dv.sourceTimestamp.toISOString()), expected);
});

test("HistoryRead with the year 9999 as an open end returns the archive from its start", async () => {
  const { session } = stack.session;
  const start = "2024-03-10T03:00:00.000Z";
  const pages = await historyPages(session, HEAT_HOURS, start, "9999-12-31T00:00:00.000Z", 0);
  const got = pages.flat();
  const expected = simValues(["--hours", "--from", start, "--to", "2024-03-10T09:00:00.000Z"]).records.map((r) => ({
    time: r.time, value: Math.fround(r.value)
  }));
  assert.deepEqual(got.slice(0, expected.length), expected, JSON.stringify(got));
});

test("an unknown node id gives BadNodeIdUnknown", async () => {
  const { session } = stack.session;
  for (const nodeId of [`ns=2;s=${METER}Нет такого`, "ns=2;s=Устройства.Нет"]) {
    const dv = await session.read({ nodeId, attributeId: AttributeIds.Value });
    assert.equal(dv.statusCode.value, StatusCodes.BadNodeIdUnknown.value, `${nodeId}: ${dv.statusCode.name}`);
  }
});

test("a killed gateway is restarted by the server and a reconnecting client reads again", async () => {
    const started = () => [...stack.server.output.matchAll(/UA gateway started \(pid (\d+)\)/g)].map((m) => Number(m[1]));
    const first = await waitFor(() => started()[0], "the gateway's start line");
    await stack.session.close().catch(() => {});
    stack.session = null;
    process.kill(first, "SIGKILL");
    await waitFor(() => started().length >= 2, "a restarted gateway", 60000);
    stack.session = await waitFor(() => openSession(stack.url).catch(() => null), "the restarted gateway", 60000);
    const dv = await stack.session.session.read({ nodeId: HEAT_NOW, attributeId: AttributeIds.Value });
    assert.ok(dv.statusCode.isGood(), dv.statusCode.name);
  });

test("SIGTERM stops the server and its gateway with it", async () => {
  await stack.session.close().catch(() => {});
  stack.session = null;
  const pids = [...stack.server.output.matchAll(/UA gateway started \(pid (\d+)\)/g)].map((m) => Number(m[1]));
  const gateway = pids[pids.length - 1];
  stack.server.kill("SIGTERM");
  assert.equal(await stack.server.exited, 0, stack.server.output);
  assert.throws(() => process.kill(gateway, 0), /ESRCH/, "the gateway outlived the server");
});
