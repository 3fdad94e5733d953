"use strict";
// Shared pieces of the gateway tests: temporary folders, waiting for a condition, a gateway in front of
// the protocol fixture, and an OPC UA client session on it.
const fs = require("node:fs");
const os = require("node:os");
const path = require("node:path");
require("../src/node18");
const { OPCUAClient, MessageSecurityMode, SecurityPolicy } = require("node-opcua");
const { Gateway } = require("../src/Gateway");
const { FakeEndpoint } = require("./fake-endpoint");

// One certificate store for the whole run: making keys is the slow part of a start.
const PKI = path.join(os.tmpdir(), `orvela-ua-test-pki-${process.getuid()}`);

function tempDir() {
  return fs.mkdtempSync(path.join(os.tmpdir(), "orvela-ua-"));
}

// Polls until cond() is truthy; fails with `what` after a generous deadline (a hang, not a speed check).
async function waitFor(cond, what, deadlineMs = 30000) {
  const end = Date.now() + deadlineMs;
  for (;;) {
    const v = await cond();
    if (v) return v;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await new Promise((r) => setTimeout(r, 20));
  }
}

// A fake endpoint and a gateway on port 0 connected to it, with short reconnection delays.
async function startPair(fakeOptions = {}) {
  const dir = tempDir();
  const socketPath = path.join(dir, "orvela.sock");
  const fake = new FakeEndpoint(socketPath, { rateScale: 20, ...fakeOptions });
  await fake.start();
  const gateway = new Gateway({
    socketPath,
    pkiDir: PKI,
    port: 0,
    endpoint: { reconnectMinMs: 20, reconnectMaxMs: 100 }
  });
  await gateway.start();
  await waitFor(() => gateway.mirror.generation !== null, "the first browse");
  return { dir, socketPath, fake, gateway };
}

async function openSession(url) {
  const client = OPCUAClient.create({
    endpointMustExist: false,
    securityMode: MessageSecurityMode.None,
    securityPolicy: SecurityPolicy.None,
    connectionStrategy: { maxRetry: 1, initialDelay: 100, maxDelay: 200 }
  });
  await client.connect(url);
  const session = await client.createSession();
  return {
    client,
    session,
    close: async () => {
      await session.close();
      await client.disconnect();
    }
  };
}

async function stopPair({ dir, fake, gateway }) {
  await gateway.stop();
  await fake.stop();
  fs.rmSync(dir, { recursive: true, force: true });
}

module.exports = { PKI, tempDir, waitFor, startPair, openSession, stopPair };
