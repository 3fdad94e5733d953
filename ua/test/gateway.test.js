"use strict";
// The gateway between a real OPC UA client and the protocol fixture.
const test = require("node:test");
const fs = require("node:fs");
const path = require("node:path");
const assert = require("node:assert/strict");
const {
  AttributeIds,
  BrowseDirection,
  DataType,
  StatusCodes,
  TimestampsToReturn,
  ReadRawModifiedDetails,
  ReadProcessedDetails,
  ReadAtTimeDetails,
  HistoryReadRequest,
  ClientSubscription,
  ClientMonitoredItem,
  AccessLevelFlag
} = require("node-opcua");
const { Gateway } = require("../src/Gateway");
const { PKI, tempDir, startPair, stopPair, openSession, waitFor } = require("./helpers");
const { FakeEndpoint, demoTree, node, hourlyArchive, HOUR_US } = require("./fake-endpoint");

const CUR = "Устройства.ТВ-1.Текущие данные";
const ARC = "Устройства.ТВ-1.Почасовой архив.Q";
const id = (nid) => `ns=2;s=${nid}`;

async function readValues(session, nids, maxAge = 0) {
  return session.read(nids.map((nid) => ({ nodeId: id(nid), attributeId: AttributeIds.Value })), maxAge);
}

async function readAttr(session, nid, attributeId) {
  return (await session.read({ nodeId: id(nid), attributeId })).value.value;
}

async function historyRaw(session, nid, details, continuationPoint = null, release = false) {
  const response = await session.performMessageTransaction(
    new HistoryReadRequest({
      historyReadDetails: details,
      timestampsToReturn: TimestampsToReturn.Source,
      releaseContinuationPoints: release,
      nodesToRead: [{ nodeId: id(nid), continuationPoint }]
    })
  );
  return response.results[0];
}

// Reads a whole window page by page; returns the pages' sizes and all values.
async function historyAll(session, nid, details) {
  const pages = [];
  const values = [];
  let cp = null;
  do {
    const r = await historyRaw(session, nid, details, cp);
    assert.ok(!r.statusCode.isBad(), r.statusCode.name);
    const dvs = r.historyData.dataValues || [];
    pages.push(dvs.length);
    values.push(...dvs);
    cp = r.continuationPoint && r.continuationPoint.length ? r.continuationPoint : null;
  } while (cp);
  return { pages, values };
}

const usToDate = (us) => new Date(us / 1000);

test("gateway over the protocol fixture", async (t) => {
  const base = Math.floor(Date.now() * 1000 / HOUR_US) * HOUR_US - 40 * HOUR_US;
  const archive = hourlyArchive(base, 30);
  const pair = await startPair({ partSize: 3, archive: new Map([[ARC, archive]]) });
  const { fake, gateway } = pair;
  const ua = await openSession(gateway.endpointUrl());
  const { session } = ua;
  t.after(async () => {
    await ua.close();
    await stopPair(pair);
  });

  await t.test("the address space mirrors the browse snapshot sent in parts", async () => {
    const top = await session.browse({ nodeId: "ns=0;i=85", browseDirection: BrowseDirection.Forward, resultMask: 63 });
    const root = top.references.find((r) => r.nodeId.namespace === 2);
    assert.equal(root.nodeId.toString(), id("Устройства"));
    assert.equal(root.browseName.name, "Устройства");
    assert.equal(root.browseName.namespaceIndex, 2);
    assert.equal(root.displayName.text, "Устройства");
    // the last node came in the last part
    assert.equal(await readAttr(session, ARC, AttributeIds.BrowseName).then((q) => q.name), "Q");
    const cases = [
      [`${CUR}.Q`, DataType.Float, AccessLevelFlag.CurrentRead, false],
      [`${CUR}.V`, DataType.Double, AccessLevelFlag.CurrentRead, false],
      [`${CUR}.Счётчик`, DataType.Int64, AccessLevelFlag.CurrentRead, false],
      [`${CUR}.Статус`, DataType.String, AccessLevelFlag.CurrentRead, false],
      [ARC, DataType.Float, AccessLevelFlag.HistoryRead, true]
    ];
    for (const [nid, dataType, access, historizing] of cases) {
      assert.equal((await readAttr(session, nid, AttributeIds.DataType)).value, dataType, nid);
      assert.equal(await readAttr(session, nid, AttributeIds.AccessLevel), access, nid);
      assert.equal(await readAttr(session, nid, AttributeIds.Historizing), historizing, nid);
    }
    assert.equal((await readAttr(session, `${CUR}.Q`, AttributeIds.Description)).text, "Значение");
    const props = await session.browse({ nodeId: id(`${CUR}.Q`), referenceTypeId: "HasProperty", resultMask: 63 });
    const eu = props.references.find((r) => r.browseName.name === "EngineeringUnits");
    const euValue = (await session.read({ nodeId: eu.nodeId, attributeId: AttributeIds.Value })).value.value;
    assert.equal(euValue.displayName.text, "Гкал");
  });

  await t.test("a Read with maxAge 0 is one endpoint read; a cached Read is none", async () => {
    const before = fake.ops("read").length;
    const nids = [`${CUR}.Q`, `${CUR}.V`, `${CUR}.Наработка`, `${CUR}.Счётчик`, `${CUR}.Статус`];
    const dvs = await readValues(session, [...nids, "Нет такого", ARC]);
    const reads = fake.ops("read").slice(before);
    assert.equal(reads.length, 1, "one batched read");
    assert.deepEqual(reads[0].items.sort(), [...nids].sort(), "only readable mirrored variables go to the endpoint");
    const tick = fake.tick;
    assert.equal(dvs[0].value.value, 12.5 + tick);
    assert.equal(dvs[0].statusCode.value, StatusCodes.Good.value);
    assert.ok(Number.isNaN(dvs[1].value.value));
    assert.equal(dvs[1].statusCode.value, StatusCodes.BadNoCommunication.value, "quality 24");
    assert.equal(dvs[2].value.value, 1000 + tick);
    const [hi, lo] = dvs[3].value.value;
    assert.equal(((BigInt(hi) << 32n) | BigInt(lo)).toString(), String(9007199254740993n + BigInt(tick)), "64-bit exact");
    assert.equal(dvs[4].value.value, `#ok ${tick}`, "an escaped # text");
    assert.equal(dvs[5].statusCode.value, StatusCodes.BadNodeIdUnknown.value);
    assert.equal(dvs[6].statusCode.value, StatusCodes.BadNotReadable.value, "archive-only variable");

    // the values read well are cached; the failed one (V, quality 24) is not a value to serve again
    const good = nids.filter((nid) => nid !== `${CUR}.V`);
    const cached = await readValues(session, good, 60000);
    assert.equal(fake.ops("read").length, before + 1, "served from the values just read");
    assert.equal(cached[0].value.value, 12.5 + tick);
  });

  await t.test("wire values that do not fit the variable are reported on that variable", async (st) => {
    const cases = [
      [`${CUR}.Q`, { v: "#Inf", q: 192 }, StatusCodes.Good, Infinity],
      [`${CUR}.Q`, { v: "text", q: 192 }, StatusCodes.BadTypeMismatch, null],
      [`${CUR}.Q`, { v: "#bogus", q: 192 }, StatusCodes.BadDecodingError, null],
      [`${CUR}.Q`, { v: 1.5, q: 0x41 }, StatusCodes.Uncertain, 1.5],
      [`${CUR}.Наработка`, { v: 2147483648, q: 192 }, StatusCodes.BadTypeMismatch, null],
      [`${CUR}.Наработка`, { v: null, q: 0, hr: 0x800705b4 }, StatusCodes.BadTimeout, null],
      [`${CUR}.Счётчик`, { v: "#i64:-5", q: 192 }, StatusCodes.Good, [0xffffffff, 0xfffffffb]],
      [`${CUR}.Статус`, { v: "##", q: 192 }, StatusCodes.Good, "#"]
    ];
    const saved = fake.value;
    st.after(() => (fake.value = saved));
    for (const [nid, wire, status, value] of cases) {
      fake.value = () => wire;
      const [dv] = await readValues(session, [nid]);
      const label = `${nid} <- ${JSON.stringify(wire)}`;
      assert.equal((dv.statusCode.value & 0xffff0000) >>> 0, status.value, label);
      assert.deepEqual(dv.value.value, value, label);
    }
  });

  await t.test("monitored items become one endpoint subscription per rate, revised to the DA floor", async () => {
    const subsBefore = fake.ops("sub").length;
    const subscription = ClientSubscription.create(session, {
      requestedPublishingInterval: 50,
      requestedLifetimeCount: 1000,
      requestedMaxKeepAliveCount: 20,
      publishingEnabled: true
    });
    await new Promise((r) => subscription.on("started", r));
    const monitor = (nid, samplingInterval) =>
      ClientMonitoredItem.create(subscription, { nodeId: id(nid), attributeId: AttributeIds.Value }, { samplingInterval, queueSize: 1 }, TimestampsToReturn.Both);
    const q = monitor(`${CUR}.Q`, 500);
    monitor(`${CUR}.Наработка`, 500);
    const v = monitor(`${CUR}.V`, 5000);
    const values = [];
    q.on("changed", (dv) => values.push(dv.value.value));
    await waitFor(() => fake.ops("sub").length === subsBefore + 2, "two endpoint subscriptions");
    const subs = fake.ops("sub").slice(subsBefore).sort((a, b) => a.rate - b.rate);
    assert.deepEqual(subs.map((s) => [s.rate, s.items.sort()]), [
      [2000, [`${CUR}.Q`, `${CUR}.Наработка`].sort()],
      [5000, [`${CUR}.V`]]
    ]);
    await waitFor(() => q.monitoringParameters && q.monitoringParameters.samplingInterval === 2000, "revised sampling interval");
    // pushed values reach the client: the fixture's counter moves on with every delivery
    const first = fake.tick;
    await waitFor(() => values.some((x) => x > 12.5 + first), "a change pushed by the endpoint");

    const unsubs = fake.ops("unsub").length;
    await v.terminate();
    await waitFor(() => fake.ops("unsub").length === unsubs + 1, "the 5000 ms subscription dropped");
    await subscription.terminate();
    await waitFor(() => fake.ops("unsub").length === unsubs + 2, "the 2000 ms subscription dropped");
    assert.equal([...fake.conns][0].subs.size, 0);
  });

  await t.test("HistoryRead raw pages through continuation points", async () => {
    const details = (startUs, endUs, max, bounds = false) =>
      new ReadRawModifiedDetails({ isReadModified: false, startTime: usToDate(startUs), endTime: usToDate(endUs), numValuesPerNode: max, returnBounds: bounds });
    // the whole archive, 7 values a page; later pages go on from the endpoint's token
    const histBefore = fake.ops("hist.raw").length;
    const all = await historyAll(session, ARC, details(base, base + 30 * HOUR_US, 7));
    assert.deepEqual(all.pages, [7, 7, 7, 7, 2]);
    assert.deepEqual(fake.ops("hist.raw").slice(histBefore).map((r) => typeof r.cont), ["undefined", "string", "string", "string", "string"]);
    assert.deepEqual(all.values.map((dv) => dv.sourceTimestamp.getTime() * 1000), archive.map((r) => r.t));
    assert.deepEqual(all.values.map((dv) => dv.value.value), archive.map((r) => r.v));
    assert.deepEqual(
      all.values.map((dv) => dv.statusCode.value),
      archive.map((r) => (r.q === 0x00400000 ? StatusCodes.BadDataLost : StatusCodes.Good).value)
    );
    // start included, end excluded; bounds reach one record past each end
    const inner = await historyAll(session, ARC, details(base + 5 * HOUR_US, base + 8 * HOUR_US, 0));
    assert.deepEqual(inner.values.map((dv) => dv.value.value), [5, 6, 7].map((i) => i / 4));
    // bounds count toward numValuesPerNode: no page holds more, whichever page a bound falls on
    for (const max of [1, 2, 3, 5, 6]) {
      const bounded = await historyAll(session, ARC, details(base + 5 * HOUR_US + 1000, base + 8 * HOUR_US + 1000, max, true));
      assert.deepEqual(bounded.values.map((dv) => dv.value.value), [5, 6, 7, 8, 9].map((i) => i / 4), `start bound, values, end bound, ${max} a page`);
      assert.ok(bounded.pages.every((n) => n <= max), `${max} a page: ${bounded.pages}`);
    }
    const outside = await historyAll(session, ARC, details(base - 10 * HOUR_US, base - 5 * HOUR_US, 0, true));
    assert.deepEqual(outside.values.map((dv) => dv.statusCode.value), [StatusCodes.BadBoundNotFound.value, StatusCodes.Good.value]);
    // reverse: start after end, newest first, paged too
    const reverse = await historyAll(session, ARC, details(base + 29 * HOUR_US, base + 19 * HOUR_US, 4));
    assert.deepEqual(reverse.pages, [4, 4, 2]);
    assert.deepEqual(reverse.values.map((dv) => dv.value.value), [29, 28, 27, 26, 25, 24, 23, 22, 21, 20].map((i) => i / 4));
    // windows reaching beyond the endpoint's times ask for all there is
    const far = (iso) => new Date(iso).getTime() * 1000;
    const wide = [
      ["year 9999 as an open end", base, far("9999-12-31T00:00:00Z"), 0, archive.length],
      ["a start in 1601 (1601-01-01 itself is UA's \"no time\")", far("1601-01-02T00:00:00Z"), base + 3 * HOUR_US, 0, 3],
      ["from 1601 to the year 9999, a page at a time", far("1601-01-02T00:00:00Z"), far("9999-01-01T00:00:00Z"), 10, archive.length]
    ];
    for (const [what, startUs, endUs, max, count] of wide) {
      const all = await historyAll(session, ARC, details(startUs, endUs, max));
      assert.equal(all.values.length, count, what);
    }
    const newestFirst = await historyAll(session, ARC, details(far("9999-12-31T00:00:00Z"), base + 27 * HOUR_US, 0));
    assert.deepEqual(newestFirst.values.map((dv) => dv.value.value), [29, 28].map((i) => i / 4), "reverse from the year 9999, the end time excluded");
    // an empty window
    const empty = await historyRaw(session, ARC, details(base + 100 * HOUR_US, base + 101 * HOUR_US, 0));
    assert.equal(empty.statusCode.value, StatusCodes.GoodNoData.value);
  });

  await t.test("HistoryRead: continuation points are the gateway's own, invalid when forged, used, released or foreign", async () => {
    const raw = new ReadRawModifiedDetails({ startTime: usToDate(base), endTime: usToDate(base + 30 * HOUR_US), numValuesPerNode: 5 });
    const firstPoint = async (s = session) => (await historyRaw(s, ARC, raw)).continuationPoint;
    const other = await openSession(gateway.endpointUrl());
    const point = await firstPoint();
    const tampered = Buffer.from(point);
    tampered[0] ^= 1;
    const used = await firstPoint();
    assert.equal((await historyRaw(session, ARC, raw, used)).statusCode.value, StatusCodes.Good.value);
    const released = await firstPoint();
    const release = await historyRaw(session, ARC, raw, released, true);
    assert.equal(release.statusCode.value, StatusCodes.Good.value);
    assert.equal((release.historyData.dataValues || []).length, 0);
    const foreign = await firstPoint(other.session);
    const cases = [
      ["a point edited by the client", tampered],
      ["a point used already", used],
      ["a released point", released],
      ["another session's point", foreign],
      ["a window written by the client", Buffer.from('{"v":1,"n":"other","lo":0,"hi":1,"k":0,"r":false,"b":false}')],
      ["garbage", Buffer.from("xyz")]
    ];
    for (const [what, cp] of cases) {
      const r = await historyRaw(session, ARC, raw, cp);
      assert.equal(r.statusCode.value, StatusCodes.BadContinuationPointInvalid.value, `${what}: ${r.statusCode.name}`);
    }
    assert.equal((await historyRaw(session, ARC, raw, point)).statusCode.value, StatusCodes.Good.value, "the point itself still serves");

    // a closed session's points are released; a session keeps at most 100, none past their age
    const points = gateway.history.points;
    const sessionsBefore = points.sessions.size;
    await other.close();
    await waitFor(() => points.sessions.size === sessionsBefore - 1, "the closed session's points released");
    const many = [];
    for (let i = 0; i < 101; i++) many.push(await firstPoint());
    assert.equal((await historyRaw(session, ARC, raw, many[0])).statusCode.value, StatusCodes.BadContinuationPointInvalid.value, "the oldest gave way");
    assert.equal((await historyRaw(session, ARC, raw, many[100])).statusCode.value, StatusCodes.Good.value, "the newest serves");
    const aged = await firstPoint();
    const now = points.now;
    points.now = () => now() + 10 * 60 * 1000 + 1;
    try {
      assert.equal((await historyRaw(session, ARC, raw, aged)).statusCode.value, StatusCodes.BadContinuationPointInvalid.value, "past its age");
    } finally {
      points.now = now;
    }
  });

  await t.test("HistoryRead: an expired endpoint token falls back to a read by time", async () => {
    const raw = new ReadRawModifiedDetails({ startTime: usToDate(base), endTime: usToDate(base + 30 * HOUR_US), numValuesPerNode: 4 });
    const before = fake.ops("hist.raw").length;
    const values = [];
    let r = await historyRaw(session, ARC, raw);
    values.push(...r.historyData.dataValues);
    while (r.continuationPoint && r.continuationPoint.length) {
      fake.tokens.clear(); // the endpoint forgot every token: each page falls back
      r = await historyRaw(session, ARC, raw, r.continuationPoint);
      assert.ok(!r.statusCode.isBad(), r.statusCode.name);
      values.push(...r.historyData.dataValues);
    }
    assert.deepEqual(values.map((dv) => dv.sourceTimestamp.getTime() * 1000), archive.map((a) => a.t));
    const asked = fake.ops("hist.raw").slice(before).map((q) => (q.cont ? "token" : "time"));
    assert.deepEqual(asked, ["time", ...Array(7).fill(["token", "time"]).flat()], "each refused token, then the same page by time");
  });

  await t.test("HistoryRead: unsupported kinds and arguments", async () => {
    const raw = new ReadRawModifiedDetails({ startTime: usToDate(base), endTime: usToDate(base + 30 * HOUR_US), numValuesPerNode: 5 });
    const cases = [
      ["no start time", () => historyRaw(session, ARC, new ReadRawModifiedDetails({ endTime: new Date(), numValuesPerNode: 5 })), StatusCodes.BadInvalidTimestampArgument],
      ["modified", () => historyRaw(session, ARC, new ReadRawModifiedDetails({ isReadModified: true, startTime: usToDate(base), endTime: new Date() })), StatusCodes.BadHistoryOperationUnsupported],
      ["at time", () => historyRaw(session, ARC, new ReadAtTimeDetails({ reqTimes: [new Date()] })), StatusCodes.BadHistoryOperationUnsupported],
      [
        "processed",
        () =>
          historyRaw(session, ARC, new ReadProcessedDetails({ startTime: usToDate(base), endTime: new Date(), processingInterval: 3600000, aggregateType: ["ns=0;i=2342"], aggregateConfiguration: { useServerCapabilitiesDefaults: true } })),
        StatusCodes.BadHistoryOperationUnsupported
      ],
      ["not historizing", () => historyRaw(session, `${CUR}.Q`, raw), StatusCodes.BadNotReadable],
      ["a folder", () => historyRaw(session, CUR, raw), StatusCodes.BadNotReadable]
    ];
    for (const [what, call, status] of cases) assert.equal((await call()).statusCode.value, status.value, what);
  });

  await t.test("a tree event re-browses: new nodes appear, removed and reshaped ones are remade", async () => {
    const tree = demoTree("ТВ-1")
      .filter((n) => n.nid !== `${CUR}.V`)
      .map((n) => (n.nid === `${CUR}.Наработка` ? { ...n, vt: 5, type: "Double" } : n));
    tree.push(
      ...demoTree("ТВ-2").slice(1),
      node("Устройства.ТВ-2.Текущие данные.G", "variable", { vt: 4, type: "Float" }),
      node("Устройства.ТВ-2.Текущие данные.2:x", "variable", { vt: 4, type: "Float" }), // not a namespace prefix
      node("Устройства.Нет.Сирота", "variable") // its parent is missing: left out
    );
    fake.setTree(tree);
    await waitFor(() => gateway.mirror.generation === fake.generation, "the re-browse");
    const dvs = await readValues(session, [`${CUR}.V`, "Устройства.ТВ-2.Текущие данные.Q", `${CUR}.Наработка`, `${CUR}.Q`]);
    assert.equal(dvs[0].statusCode.value, StatusCodes.BadNodeIdUnknown.value, "removed");
    assert.equal(dvs[1].statusCode.value, StatusCodes.Good.value, "added");
    assert.equal(dvs[2].value.dataType, DataType.Double, "reshaped");
    assert.equal(dvs[3].statusCode.value, StatusCodes.Good.value, "kept");
    assert.equal((await readAttr(session, "Устройства.ТВ-2.Текущие данные.G", AttributeIds.DataType)).value, DataType.Float);
    const odd = await readAttr(session, "Устройства.ТВ-2.Текущие данные.2:x", AttributeIds.BrowseName);
    assert.deepEqual([odd.namespaceIndex, odd.name], [2, "2:x"]);
    const [orphan] = await readValues(session, ["Устройства.Нет.Сирота"]);
    assert.equal(orphan.statusCode.value, StatusCodes.BadNodeIdUnknown.value);
  });
});

test("the gateway reconnects to a restarted endpoint and subscribes again", async (t) => {
  const pair = await startPair();
  const { gateway, socketPath } = pair;
  const ua = await openSession(gateway.endpointUrl());
  const { session } = ua;
  let fake = pair.fake;
  t.after(async () => {
    await ua.close();
    pair.fake = fake;
    await stopPair(pair);
  });
  const subscription = ClientSubscription.create(session, {
    requestedPublishingInterval: 50,
    requestedLifetimeCount: 1000,
    requestedMaxKeepAliveCount: 20,
    publishingEnabled: true
  });
  await new Promise((r) => subscription.on("started", r));
  ClientMonitoredItem.create(subscription, { nodeId: id(`${CUR}.Q`), attributeId: AttributeIds.Value }, { samplingInterval: 2000, queueSize: 1 }, TimestampsToReturn.Both);
  await waitFor(() => fake.ops("sub").length === 1, "the first subscription");

  await fake.stop();
  await waitFor(() => !gateway.connection.ready, "the loss noticed");
  const [down] = await readValues(session, [`${CUR}.Q`]);
  assert.equal(down.statusCode.value, StatusCodes.BadNoCommunication.value);
  const [cached] = await readValues(session, [`${CUR}.Q`], 0x7fffffff);
  assert.equal(cached.statusCode.value, StatusCodes.BadNoCommunication.value, "no stale value passes as good");

  fake = new FakeEndpoint(socketPath, { rateScale: 20 });
  await fake.start();
  await waitFor(() => fake.ops("sub").length === 1, "the subscription made again on the new endpoint");
  assert.deepEqual(fake.ops("sub")[0].items, [`${CUR}.Q`]);
  const [up] = await readValues(session, [`${CUR}.Q`]);
  assert.equal(up.statusCode.value, StatusCodes.Good.value);
  await subscription.terminate();
});

test("the gateway lets clients in only once the first tree is shown, or after its wait for it", async (t) => {
  const dir = tempDir();
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  let release;
  const fake = new FakeEndpoint(path.join(dir, "orvela.sock"), { browseHeld: new Promise((r) => (release = r)) });
  await fake.start();
  const options = { pkiDir: PKI, port: 0, endpoint: { reconnectMinMs: 20, reconnectMaxMs: 100 } };
  const held = new Gateway({ ...options, socketPath: fake.socketPath });
  let listening = false;
  const starting = held.start().then(() => (listening = true));
  await waitFor(() => fake.ops("browse").length === 1, "the first browse");
  await new Promise((r) => setTimeout(r, 300));
  assert.equal(listening, false, "listening before the tree was known");
  release();
  await starting;
  const client = await openSession(held.endpointUrl());
  const [dv] = await readValues(client.session, [`${CUR}.Q`]);
  assert.equal(dv.statusCode.value, StatusCodes.Good.value, dv.statusCode.name);
  await client.close();
  await held.stop();
  await fake.stop();

  const lines = [];
  const lonely = new Gateway({ ...options, socketPath: path.join(dir, "nobody.sock"), firstTreeWaitMs: 200, log: (l) => lines.push(l) });
  await lonely.start();
  assert.ok(lines.some((l) => /no tree from the local endpoint yet/.test(l)), lines.join("\n"));
  await lonely.stop();
});
