"use strict";
// What the gateway's OPC UA server says about itself, what it lets in and what it survives: identity and
// capabilities, session time-outs, many sessions, a full server, hostile packets, security by address,
// the bounded store of refused certificates.
const test = require("node:test");
const assert = require("node:assert/strict");
const fs = require("node:fs");
const net = require("node:net");
const path = require("node:path");
const { X509Certificate } = require("node:crypto");
const {
  AttributeIds,
  StatusCodes,
  OPCUAClient,
  SecurityPolicy,
  MessageSecurityMode,
  UserTokenType,
  ClientSubscription,
  ClientMonitoredItem,
  TimestampsToReturn,
  ReadRequest
} = require("node-opcua");
const { Gateway } = require("../src/Gateway");
const { LIMITS } = require("../src/ServerSetup");
const { endpointTimeout } = require("../src/ReadBatcher");
const { tempDir, startPair, stopPair, openSession, waitFor } = require("./helpers");
const { FakeEndpoint, demoTree, node } = require("./fake-endpoint");

const CUR = "Устройства.ТВ-1.Текущие данные";
const id = (nid) => `ns=2;s=${nid}`;
const portOf = (url) => Number(new URL(url.replace("opc.tcp:", "http:")).port);

async function value(session, nodeId) {
  return (await session.read({ nodeId, attributeId: AttributeIds.Value })).value.value;
}

async function readQ(session) {
  return session.read({ nodeId: id(`${CUR}.Q`), attributeId: AttributeIds.Value }, 0);
}

// UA TCP HEL message for `url` with 64 KiB buffers.
function helloMessage(url) {
  const u = Buffer.from(url);
  const m = Buffer.alloc(32 + u.length);
  m.write("HELF", 0, "ascii");
  m.writeUInt32LE(m.length, 4);
  [0, 65536, 65536, 0, 0].forEach((v, i) => m.writeUInt32LE(v, 8 + 4 * i));
  m.writeInt32LE(u.length, 28);
  u.copy(m, 32);
  return m;
}

function chunkHeader(type, size) {
  const m = Buffer.alloc(12);
  m.write(type, 0, "ascii");
  m.writeUInt32LE(size >>> 0, 4);
  return m;
}

// Sends the writes on a raw socket; resolves with what came back once the server closed it.
function rawExchange(port, writes) {
  return new Promise((resolve, reject) => {
    const received = [];
    const socket = net.connect(port, "127.0.0.1", async () => {
      for (const w of writes) {
        socket.write(w);
        await new Promise((r) => setTimeout(r, 50));
      }
    });
    socket.on("data", (d) => received.push(d));
    socket.on("error", () => {}); // a reset is a close here
    socket.on("close", () => resolve(Buffer.concat(received)));
    socket.setTimeout(30000, () => reject(new Error("the server kept a hostile connection open")));
  });
}

test("the server's identity, capabilities and namespaces are its own", async (t) => {
  const tree = [...demoTree(), node(`${CUR}.Импульсы`, "variable", { vt: 3, type: "Int32", units: " нет " })];
  const pair = await startPair({ tree });
  const ua = await openSession(pair.gateway.endpointUrl());
  const { session } = ua;
  t.after(async () => {
    await ua.close();
    await stopPair(pair);
  });
  const profiles = await value(session, "ns=0;i=2269");
  assert.ok(profiles.includes("http://opcfoundation.org/UA-Profile/Server/HistoricalRawData"), profiles.join());
  assert.ok(profiles.every((p) => !/\/Client\//.test(p)), `no client profile: ${profiles.join()}`);
  assert.deepEqual(await value(session, "ns=0;i=2271"), ["ru", "en"], "LocaleIdArray: the names are Russian");
  const cases = [
    ["AccessHistoryDataCapability", "ns=0;i=11193", true],
    ["MaxReturnDataValues", "ns=0;i=11273", LIMITS.maxHistoryValues],
    ["MaxSessions", "ns=0;i=24095", LIMITS.maxSessions],
    ["ManufacturerName", "ns=0;i=2263", "OrvelaOPC"]
  ];
  for (const [what, nodeId, expected] of cases) assert.deepEqual(await value(session, nodeId), expected, what);
  const buildDate = await value(session, "ns=0;i=2266");
  assert.equal(buildDate.getTime(), fs.statSync(path.join(__dirname, "..", "package.json")).mtime.getTime(), "BuildDate");

  // the devices have a namespace of their own; the library's session diagnostics stay in namespace 1
  const namespaces = await value(session, "ns=0;i=2255");
  assert.equal(namespaces[2], "urn:orvela:devices", namespaces.join());
  assert.equal(session.sessionId.namespace, 1);

  const unitsOf = async (nid) => {
    const props = await session.browse({ nodeId: id(nid), referenceTypeId: "HasProperty", resultMask: 63 });
    const eu = props.references.find((r) => r.browseName.name === "EngineeringUnits");
    return eu ? value(session, eu.nodeId) : null;
  };
  const gcal = await unitsOf(`${CUR}.Q`);
  assert.equal(gcal.displayName.text, "Гкал");
  assert.notEqual(gcal.namespaceUri, "http://www.opcfoundation.org/UA/units/un/cefact", "no UNECE code is claimed");
  assert.equal(await unitsOf(`${CUR}.Импульсы`), null, '"нет" is no unit');
  assert.equal(await unitsOf(`${CUR}.Счётчик`), null, "no units given");
});

test("a session lives as long as its client asked, at most the cap", async (t) => {
  const pair = await startPair();
  t.after(() => stopPair(pair));
  const cases = [
    [5000, 5000],
    [10 * 60000, 10 * 60000],
    [2 * 3600000, LIMITS.maxSessionTimeoutMs]
  ];
  for (const [requested, revised] of cases) {
    const client = OPCUAClient.create({
      endpointMustExist: false,
      requestedSessionTimeout: requested,
      connectionStrategy: { maxRetry: 0 }
    });
    await client.connect(pair.gateway.endpointUrl());
    const session = await client.createSession();
    assert.equal(session.timeout, revised, `requested ${requested}`);
    await session.close();
    await client.disconnect();
  }
});

test("a hostile packet closes its own connection; the gateway keeps serving", async (t) => {
  const pair = await startPair();
  t.after(() => stopPair(pair));
  const url = pair.gateway.endpointUrl();
  const port = portOf(url);
  const cases = [
    ["HEL and a 2 GiB MSG chunk in one write", [Buffer.concat([helloMessage(url), chunkHeader("MSGF", 0x7fffffff)])]],
    ["HEL and a 2 GiB OPN chunk in one write", [Buffer.concat([helloMessage(url), chunkHeader("OPNF", 0x7fffffff)])]],
    ["a chunk beyond the acknowledged size after the HEL", [helloMessage(url), chunkHeader("MSGF", LIMITS.receiveBufferSize + 1)]],
    ["a chunk header before any HEL", [chunkHeader("MSGF", 0x7fffffff)]],
    ["a header too short to be a chunk", [chunkHeader("HELF", 4)]]
  ];
  for (const [what, writes] of cases) {
    await rawExchange(port, writes);
    const ua = await openSession(url);
    const dv = await readQ(ua.session);
    assert.equal(dv.statusCode.value, StatusCodes.Good.value, `after ${what}: ${dv.statusCode.name}`);
    await ua.close();
  }
});

test("50 sessions at once all read; beyond the limit a session is refused at once", async (t) => {
  const pair = await startPair();
  t.after(() => stopPair(pair));
  const url = pair.gateway.endpointUrl();
  const sessions = await Promise.all(Array.from({ length: 50 }, () => openSession(url)));
  const values = await Promise.all(sessions.map((s) => readQ(s.session)));
  assert.ok(values.every((dv) => dv.statusCode.isGood()), values.map((dv) => dv.statusCode.name).join());
  await Promise.all(sessions.map((s) => s.close()));

  const dir = tempDir();
  const fake = new FakeEndpoint(path.join(dir, "orvela.sock"));
  await fake.start();
  const small = new Gateway({ socketPath: fake.socketPath, pkiDir: pair.gateway.opt.pkiDir, port: 0, maxSessions: 3 });
  t.after(async () => {
    await small.stop();
    await fake.stop();
    fs.rmSync(dir, { recursive: true, force: true });
  });
  await small.start();
  const three = await Promise.all([1, 2, 3].map(() => openSession(small.endpointUrl())));
  const client = OPCUAClient.create({ endpointMustExist: false, connectionStrategy: { maxRetry: 0 } });
  await client.connect(small.endpointUrl());
  await assert.rejects(client.createSession(), /BadTooManySessions/);
  await three[0].close();
  const next = await client.createSession();
  assert.ok((await readQ(next)).statusCode.isGood(), "a freed place is taken again");
  await next.close();
  await client.disconnect();
  await Promise.all(three.slice(1).map((s) => s.close()));
});

test("secure endpoints only off loopback or when asked; anonymous logins only; refused certificates bounded", async (t) => {
  const dir = tempDir();
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  const fake = new FakeEndpoint(path.join(dir, "orvela.sock"));
  await fake.start();
  t.after(() => fake.stop());
  const pkiDir = path.join(dir, "pki");
  const cases = [
    ["off loopback", { host: "0.0.0.0" }],
    ["--secure-loopback", { host: "127.0.0.1", secureLoopback: true }]
  ];
  for (const [what, options] of cases) {
    const gateway = new Gateway({ socketPath: fake.socketPath, pkiDir, port: 0, ...options });
    await gateway.start();
    const url = `opc.tcp://127.0.0.1:${portOf(gateway.endpointUrl())}`;
    const probe = OPCUAClient.create({ endpointMustExist: false, connectionStrategy: { maxRetry: 0 } });
    await probe.connect(url);
    const endpoints = await probe.getEndpoints();
    await probe.disconnect();
    for (const e of endpoints) {
      assert.equal(e.securityPolicyUri, SecurityPolicy.Basic256Sha256, `${what}: ${e.endpointUrl}`);
      assert.notEqual(e.securityMode, MessageSecurityMode.None, what);
      assert.deepEqual(e.userIdentityTokens.map((u) => u.tokenType), [UserTokenType.Anonymous], `${what}: no users exist`);
      assert.ok(e.serverCertificate && e.serverCertificate.length > 0, `${what}: the endpoint carries the certificate`);
    }
    const plain = OPCUAClient.create({
      endpointMustExist: false,
      securityMode: MessageSecurityMode.None,
      securityPolicy: SecurityPolicy.None,
      connectionStrategy: { maxRetry: 0 }
    });
    await plain.connect(url);
    await assert.rejects(plain.createSession(), `${what}: a session without security is refused`);
    await plain.disconnect();

    if (what === "off loopback") {
      // the certificate made on the first start names the gateway's maker, not the UA library's
      const cert = new X509Certificate(fs.readFileSync(path.join(pkiDir, "own", "certs", "certificate.pem")));
      assert.match(cert.subject, /O=OrvelaOPC/);
      assert.doesNotMatch(cert.subject, /L=/, cert.subject);

      // a full store of refused certificates loses its oldest files, never grows past the cap
      const rejected = path.join(pkiDir, "rejected");
      fs.mkdirSync(rejected, { recursive: true });
      const old = Date.now() / 1000 - 3600;
      for (let i = 0; i < LIMITS.maxRejectedCertificates + 5; i++) {
        const file = path.join(rejected, `stranger-${String(i).padStart(3, "0")}.pem`);
        fs.writeFileSync(file, "x");
        fs.utimesSync(file, old + i, old + i);
      }
      const untrusted = OPCUAClient.create({
        endpointMustExist: false,
        securityMode: MessageSecurityMode.SignAndEncrypt,
        securityPolicy: SecurityPolicy.Basic256Sha256,
        connectionStrategy: { maxRetry: 0 }
      });
      await assert.rejects(untrusted.connect(url), "an untrusted client certificate is refused");
      await untrusted.disconnect().catch(() => {});
      const left = await waitFor(() => {
        const files = fs.readdirSync(rejected);
        return files.length <= LIMITS.maxRejectedCertificates && files;
      }, "the rejected store pruned");
      for (let i = 0; i <= 5; i++) assert.ok(!left.includes(`stranger-${String(i).padStart(3, "0")}.pem`), `oldest ${i} removed`);
      assert.ok(left.includes(`stranger-${LIMITS.maxRejectedCertificates + 4}.pem`), "the newest kept");
    }
    await gateway.stop();
  }
});

test("a failed read answers its own Read only: other clients' monitored items keep their good values", async (t) => {
  const pair = await startPair();
  const { fake, gateway } = pair;
  const watcher = await openSession(gateway.endpointUrl());
  const reader = await openSession(gateway.endpointUrl());
  t.after(async () => {
    await watcher.close();
    await reader.close();
    await stopPair(pair);
  });
  const subscription = ClientSubscription.create(watcher.session, {
    requestedPublishingInterval: 50,
    requestedLifetimeCount: 1000,
    requestedMaxKeepAliveCount: 20,
    publishingEnabled: true
  });
  await new Promise((r) => subscription.on("started", r));
  const seen = [];
  const item = ClientMonitoredItem.create(subscription, { nodeId: id(`${CUR}.Q`), attributeId: AttributeIds.Value }, { samplingInterval: 2000, queueSize: 100 }, TimestampsToReturn.Both);
  item.on("changed", (dv) => seen.push(dv.statusCode));
  await waitFor(() => seen.some((s) => s.isGood()), "a first good value");

  // every device read fails now, whole (an error reply) or per item (the device did not answer)
  const failures = [
    ["an item the device did not answer", (c, msg) => fake.send(c, { id: msg.id, ok: true, items: msg.items.map(() => ({ v: null, t: null, q: 0, hr: 0x800705b4 })) }), StatusCodes.BadTimeout],
    ["a read refused whole", (c, msg) => fake.fail(c, msg.id, 0x800700aa, "busy"), StatusCodes.BadResourceUnavailable]
  ];
  for (const [what, answer, status] of failures) {
    fake.op_read = answer;
    const dv = await readQ(reader.session);
    assert.equal(dv.statusCode.value, status.value, `${what}: ${dv.statusCode.name}`);
    const cached = await reader.session.read({ nodeId: id(`${CUR}.Q`), attributeId: AttributeIds.Value }, 0x7fffffff);
    assert.ok(cached.statusCode.isGood(), `${what}: the variable keeps its last good value`);
  }
  const before = seen.length;
  await waitFor(() => seen.length >= before + 2, "further deliveries");
  const sinceFirstValue = seen.slice(seen.findIndex((s) => s.isGood()));
  assert.ok(sinceFirstValue.every((s) => s.isGood()), `the watcher saw ${seen.map((s) => s.name).join()}`);
  await subscription.terminate();
});

test("Reads of a variable whose device read is under way join that read", async (t) => {
  const pair = await startPair();
  const { fake, gateway } = pair;
  const clients = [await openSession(gateway.endpointUrl()), await openSession(gateway.endpointUrl())];
  t.after(async () => {
    for (const c of clients) await c.close();
    await stopPair(pair);
  });
  const answer = fake.op_read;
  let release;
  const held = new Promise((r) => (release = r));
  fake.op_read = (c, msg) => held.then(() => answer.call(fake, c, msg));
  let refreshes = 0;
  const refresh = gateway.reads.refreshValues.bind(gateway.reads);
  gateway.reads.refreshValues = (...args) => (refreshes++, refresh(...args));
  const before = fake.ops("read").length;
  const first = readQ(clients[0].session);
  await waitFor(() => fake.ops("read").length === before + 1, "the first read at the endpoint");
  const second = readQ(clients[1].session);
  await waitFor(() => refreshes === 2, "the second Read at the gateway");
  release();
  const [a, b] = await Promise.all([first, second]);
  assert.equal(fake.ops("read").length, before + 1, "one endpoint read for both");
  assert.ok(a.statusCode.isGood() && b.statusCode.isGood(), `${a.statusCode.name} ${b.statusCode.name}`);
  assert.equal(a.value.value, b.value.value);
});

// A Read with the client's own time-out hint (the client library takes 15 s when none, at least 5 s).
function readWithHint(session, nids, timeoutHint) {
  return session.performMessageTransaction(
    new ReadRequest({
      requestHeader: { timeoutHint },
      maxAge: 0,
      timestampsToReturn: TimestampsToReturn.Both,
      nodesToRead: nids.map((nid) => ({ nodeId: id(nid), attributeId: AttributeIds.Value }))
    })
  );
}

test("a dead device costs its own items only; a read nobody waits for any more is cancelled", async (t) => {
  const dead = `${CUR}.V`;
  const pair = await startPair({ dead: [dead] });
  const { fake, gateway } = pair;
  const clients = [await openSession(gateway.endpointUrl()), await openSession(gateway.endpointUrl())];
  t.after(async () => {
    for (const c of clients) await c.close().catch(() => {});
    await stopPair(pair);
  });

  await t.test("the endpoint read's deadline is the Read's time-out hint, a little earlier, below the gateway's own", () => {
    const cases = [
      [0, 75000, 60000, "no hint: the endpoint's 60 s"],
      [1500, 75000, 1350, "a short hint, less a tenth"],
      [20000, 75000, 19500, "a longer hint, less half a second"],
      [3600000, 75000, 60000, "an hour: the endpoint's 60 s"],
      [3600000, 10000, 8000, "well before the gateway's own time-out"],
      [5, 75000, 5, "a tiny hint stays positive"]
    ];
    for (const [hint, gatewayMs, expected, what] of cases) {
      assert.equal(endpointTimeout(hint, gatewayMs), expected, what);
    }
  });

  await t.test("live items come with their values, the dead one BadTimeout, within the hint", async () => {
    const before = fake.ops("read").length;
    const response = await readWithHint(clients[0].session, [`${CUR}.Q`, dead, `${CUR}.Наработка`], 6000);
    const [q, v, n] = response.results;
    assert.equal(q.statusCode.value, StatusCodes.Good.value, q.statusCode.name);
    assert.equal(typeof q.value.value, "number");
    assert.equal(v.statusCode.value, StatusCodes.BadTimeout.value, v.statusCode.name);
    assert.equal(n.statusCode.value, StatusCodes.Good.value, n.statusCode.name);
    const reads = fake.ops("read").slice(before);
    assert.deepEqual(reads.map((r) => r.timeoutMs), [5500], "the hint less half a second");
    const [cached] = await readValues(clients[0].session, [`${CUR}.Q`], 60000);
    assert.ok(cached.statusCode.isGood(), "the live value was stored");
  });

  await t.test("joined Reads: the device read is withdrawn only when the last of them is gone", async () => {
    const cancelsBefore = fake.ops("cancel").length;
    const before = fake.ops("read").length;
    const first = readWithHint(clients[0].session, [dead], 20000).catch((err) => err);
    await waitFor(() => fake.ops("read").length === before + 1, "the first read at the endpoint");
    const second = readWithHint(clients[1].session, [dead], 20000).catch((err) => err);
    await waitFor(() => [...gateway.reads.active][0]?.readers.size === 2, "the second Read joined");
    assert.equal(fake.ops("read").length, before + 1, "one endpoint read for both");
    const [readId] = fake.ops("read").slice(before).map((r) => r.id);

    await clients[0].session.close();
    await waitFor(() => [...gateway.reads.active][0]?.readers.size === 1, "the first session's Read gone");
    assert.equal(fake.ops("cancel").length, cancelsBefore, "no cancel while another Read waits");
    await clients[1].session.close();
    await waitFor(() => fake.ops("cancel").length === cancelsBefore + 1, "the cancel once nobody waits");
    assert.equal(fake.ops("cancel")[cancelsBefore].req, readId);
    assert.equal(gateway.reads.active.size, 0);
    await Promise.all([first, second]);
  });
});

async function readValues(session, nids, maxAge) {
  return session.read(nids.map((nid) => ({ nodeId: id(nid), attributeId: AttributeIds.Value })), maxAge);
}
