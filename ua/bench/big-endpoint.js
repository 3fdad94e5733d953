"use strict";
// The protocol fixture (test/fake-endpoint.js) serving a generated tree of 10,000 variables
// (100 devices × 10 branches × 10 parameters), to measure the gateway's memory at that size without a
// server configuration of it. node bench/big-endpoint.js SOCKET [DEVICES]
const { FakeEndpoint, node } = require("../test/fake-endpoint");

function bigTree(devices) {
  const tree = [node("Устройства", "folder")];
  for (let d = 1; d <= devices; d++) {
    const device = `Устройства.Узел учёта ${d}`;
    tree.push(node(device, "folder"));
    for (let b = 1; b <= 10; b++) {
      const branch = `${device}.Ветвь ${b}`;
      tree.push(node(branch, "folder"));
      for (let p = 1; p <= 10; p++) {
        tree.push(node(`${branch}.Параметр ${p}`, "variable", { vt: 5, type: "Double", units: "Гкал", desc: "Значение" }));
      }
    }
  }
  return tree;
}

const [socketPath, devices = "100"] = process.argv.slice(2);
if (!socketPath || !/^\d+$/.test(devices)) {
  process.stderr.write("usage: big-endpoint.js SOCKET [DEVICES]\n");
  process.exit(2);
}
const fake = new FakeEndpoint(socketPath, { tree: bigTree(Number(devices)) });
fake.start().then(() => process.stderr.write(`big endpoint on ${socketPath}: ${fake.tree.length} nodes\n`));
const stop = () => fake.stop().finally(() => process.exit(0));
process.on("SIGTERM", stop);
process.on("SIGINT", stop);
