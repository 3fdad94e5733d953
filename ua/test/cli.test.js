"use strict";
// The two programs as the server and the demo run them: gateway.js as a child process in front of the
// protocol fixture, client.js as an independent UA client printing JSON.
const test = require("node:test");
const assert = require("node:assert/strict");
const fs = require("node:fs");
const path = require("node:path");
const { spawn, execFile } = require("node:child_process");
const { tempDir, waitFor } = require("./helpers");
const { FakeEndpoint, hourlyArchive, HOUR_US } = require("./fake-endpoint");

const UA = path.join(__dirname, "..");
const CUR = "ns=2;s=Устройства.ТВ-1.Текущие данные";
const ARC = "ns=2;s=Устройства.ТВ-1.Почасовой архив.Q";

function client(args) {
  return new Promise((resolve) => {
    execFile(process.execPath, [path.join(UA, "client.js"), ...args], { timeout: 60000 }, (err, stdout, stderr) =>
      resolve({ code: err ? err.code : 0, stdout, stderr })
    );
  });
}

function exitOf(child) {
  return new Promise((resolve) => child.on("exit", (code, signal) => resolve({ code, signal })));
}

test("gateway and client programs", async (t) => {
  const dir = tempDir();
  const base = Math.floor((Date.now() * 1000) / HOUR_US) * HOUR_US - 24 * HOUR_US;
  const fake = new FakeEndpoint(path.join(dir, "orvela.sock"), {
    archive: new Map([["Устройства.ТВ-1.Почасовой архив.Q", hourlyArchive(base, 24)]])
  });
  await fake.start();
  const gw = spawn(process.execPath, [path.join(UA, "gateway.js"), "--dir", dir, "--listen", "127.0.0.1:0"], {
    stdio: ["ignore", "ignore", "pipe"]
  });
  const exited = exitOf(gw);
  let log = "";
  gw.stderr.on("data", (d) => (log += d));
  t.after(async () => {
    if (gw.exitCode === null) gw.kill("SIGKILL");
    await fake.stop();
    fs.rmSync(dir, { recursive: true, force: true });
  });
  const url = (await waitFor(() => /listening on (opc\.tcp:\/\/[^\s,]+)/.exec(log), "the gateway to listen", 60000))[1];
  assert.ok(fs.existsSync(path.join(dir, "pki", "own", "certs")), "certificate store made in the program folder");

  await t.test("browse", async () => {
    const r = await client([url, "browse"]);
    assert.equal(r.code, 0, r.stderr);
    const nodes = JSON.parse(r.stdout);
    const q = nodes.find((n) => n.nodeId === `${CUR}.Q`);
    assert.deepEqual([q.browseName, q.nodeClass, q.dataType, q.historizing], ["Q", "Variable", "Float", false]);
    assert.ok(nodes.find((n) => n.nodeId === ARC).historizing);
  });

  await t.test("read", async () => {
    const r = await client([url, "read", `${CUR}.Q`, `${CUR}.Счётчик`, "ns=2;s=нет"]);
    assert.equal(r.code, 0, r.stderr);
    const [q, counter, unknown] = JSON.parse(r.stdout);
    assert.equal(q.status, "Good");
    assert.equal(typeof q.value, "number");
    assert.match(counter.value, /^90071992547409\d\d$/, "64-bit value printed exactly");
    assert.equal(unknown.status, "BadNodeIdUnknown");
  });

  await t.test("history", async () => {
    const r = await client([url, "history", ARC, "--start", String(base / 1000), "--end", String((base + 24 * HOUR_US) / 1000), "--max", "5"]);
    assert.equal(r.code, 0, r.stderr);
    const values = JSON.parse(r.stdout);
    assert.equal(values.length, 24);
    assert.equal(values[0].sourceTimestamp, new Date(base / 1000).toISOString());
    assert.equal(values[6].status, "BadDataLost");
  });

  await t.test("subscribe", async () => {
    const r = await client([url, "subscribe", `${CUR}.Q`, "--count", "2", "--interval", "100"]);
    assert.equal(r.code, 0, r.stderr);
    const lines = r.stdout.trim().split("\n").map((l) => JSON.parse(l));
    assert.equal(lines.length, 2);
    assert.equal(lines[0].revisedSamplingInterval, 2000);
  });

  await t.test("bad arguments", async () => {
    const cases = [
      [[url, "frobnicate"], /unknown command/],
      [[url, "read"], /needs a NODEID/],
      [[url, "history", ARC, "--start", "yesterday", "--end", "1"], /bad start time/],
      [[url, "history", ARC], /needs --start and --end/]
    ];
    for (const [args, why] of cases) {
      const r = await client(args);
      assert.notEqual(r.code, 0, args.join(" "));
      assert.match(r.stderr, why);
    }
  });

  await t.test("SIGTERM stops the gateway cleanly", async () => {
    gw.kill("SIGTERM");
    assert.deepEqual(await exited, { code: 0, signal: null });
  });
});

test("the gateway refuses bad arguments", async () => {
  for (const args of [["--listen", "nowhere"], ["--dir"], ["--bogus", "1"], []]) {
    const child = spawn(process.execPath, [path.join(UA, "gateway.js"), ...args], { stdio: "ignore" });
    assert.equal((await exitOf(child)).code, 2, args.join(" "));
  }
});
