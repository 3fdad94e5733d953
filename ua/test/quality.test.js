"use strict";
const test = require("node:test");
const assert = require("node:assert/strict");
const { StatusCodes } = require("node-opcua");
const { fromDaQuality, fromHdaQuality, fromHresult, fromDaItem } = require("../src/quality");
const { isLoopback, securityFor } = require("../src/Gateway");

const S = StatusCodes;

test("DA qualities map to the UA codes of the DA mapping", () => {
  const cases = [
    [192, S.Good],
    [0xd8, S.GoodLocalOverride],
    [0x40, S.Uncertain],
    [0x44, S.UncertainLastUsableValue],
    [0x50, S.UncertainSensorNotAccurate],
    [0x54, S.UncertainEngineeringUnitsExceeded],
    [0x58, S.UncertainSubNormal],
    [0, S.Bad],
    [4, S.BadConfigurationError],
    [8, S.BadNotConnected],
    [12, S.BadDeviceFailure],
    [16, S.BadSensorFailure],
    [20, S.BadOutOfService],
    [24, S.BadNoCommunication],
    [28, S.BadOutOfService],
    [32, S.BadWaitingForInitialData],
    [0xe0, S.Good], // unknown good sub-status: its major quality
    [0x6c, S.Uncertain],
    [0x3c, S.Bad],
    [0x80, S.Bad], // the undefined major quality is not good
    [0xabc0, S.Good] // vendor bits are dropped
  ];
  for (const [q, want] of cases) assert.equal(fromDaQuality(q).value, want.value, `quality 0x${q.toString(16)}`);
});

test("DA limit bits become UA limit bits", () => {
  const cases = [
    [0xc1, 0x100],
    [0xc2, 0x200],
    [0x43, 0x300],
    [0x19, 0x100]
  ];
  for (const [q, bits] of cases) {
    const code = fromDaQuality(q).value;
    assert.equal(code & 0x300, bits, `quality 0x${q.toString(16)}`);
    assert.equal(code & 0xc00, 0x400, "limit bits need the DataValue info type");
    assert.equal(code & 0xffff0000, fromDaQuality(q & 0xfc).value & 0xffff0000);
  }
});

test("HDA qualities: flags first, then the DA part", () => {
  const cases = [
    [0x000400c0, S.Good.value],
    [0x00400000, S.BadDataLost.value],
    [0x004000c0, S.BadDataLost.value], // data lost wins over a good DA part
    [0x00100000, S.BadBoundNotFound.value],
    [0x00200000, S.BadNoData.value],
    [0x00800000, S.BadTypeMismatch.value],
    [0x00040018, S.BadNoCommunication.value],
    [0x000800c0, S.Good.value | 0x401], // calculated
    [0x000200c0, S.Good.value | 0x402], // interpolated
    [0x010800c0, S.Good.value | 0x405], // calculated, partial
    [0x000100c1, S.Good.value | 0x508] // extra data, limit low
  ];
  for (const [q, want] of cases) assert.equal(fromHdaQuality(q).value, want >>> 0, `quality 0x${q.toString(16)}`);
});

test("endpoint HRESULTs", () => {
  const cases = [
    [0, S.Good],
    [0xc0040007, S.BadNodeIdUnknown],
    [0xc0040006, S.BadNotReadable],
    [0x800705b4, S.BadTimeout],
    [0x80010108, S.BadNoCommunication],
    [0x80004005, S.BadUnexpectedError],
    [-2147467259, S.BadUnexpectedError] // signed form of E_FAIL
  ];
  for (const [hr, want] of cases) assert.equal(fromHresult(hr).value, want.value, `hr ${hr}`);
  assert.equal(fromDaItem({ q: 192, hr: 0xc0040007 }).value, S.BadNodeIdUnknown.value, "the item's HRESULT wins");
  assert.equal(fromDaItem({ q: 8, hr: 0 }).value, S.BadNotConnected.value);
});

test("SecurityPolicy None only on loopback, and there only unless secured", () => {
  for (const host of ["127.0.0.1", "127.1.2.3", "::1", "localhost"]) {
    assert.ok(isLoopback(host), host);
    assert.deepEqual(securityFor(host).securityPolicies.map(String), ["http://opcfoundation.org/UA/SecurityPolicy#None"]);
  }
  for (const host of ["0.0.0.0", "::", "192.0.2.1", "127.0.0.1.example", "localhost.example"]) {
    assert.ok(!isLoopback(host), host);
    const s = securityFor(host);
    assert.deepEqual(s.securityPolicies.map(String), ["http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256"]);
    assert.ok(!s.securityModes.includes(1), "no MessageSecurityMode.None off loopback");
  }
  // --secure-loopback: on loopback as off it
  assert.deepEqual(securityFor("127.0.0.1", true).securityPolicies.map(String), ["http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256"]);
  assert.ok(!securityFor("::1", true).securityModes.includes(1));
});
