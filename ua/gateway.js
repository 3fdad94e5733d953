#!/usr/bin/env node
"use strict";
// OPC UA gateway of the metering data server.
//   node gateway.js --dir PROGRAM_FOLDER [--listen [HOST:]PORT] [--socket PATH] [--pki DIR] [--secure-loopback]
//                   [--max-sessions N]
const path = require("node:path");
const { Gateway } = require("./src/Gateway");
const { parseListen, parseOptions } = require("./src/args");
const { maxSessionsFrom, LIMITS } = require("./src/ServerSetup");

const USAGE =
  "usage: gateway.js --dir PROGRAM_FOLDER [--listen [HOST:]PORT] [--socket PATH] [--pki DIR] [--secure-loopback]\n" +
  "                  [--max-sessions N]\n" +
  "  --listen           where the OPC UA server listens (default 127.0.0.1:4840)\n" +
  "  --socket           the server's local endpoint (default PROGRAM_FOLDER/orvela.sock)\n" +
  "  --pki              certificate store (default PROGRAM_FOLDER/pki)\n" +
  "  --secure-loopback  Basic256Sha256 with trusted client certificates on loopback too (no None policy)\n" +
  `  --max-sessions     sessions at once (default $ORVELA_UA_MAX_SESSIONS, else ${LIMITS.maxSessions})\n`;

async function main() {
  let opts;
  let listen;
  try {
    opts = parseOptions(process.argv.slice(2), {
      dir: "value",
      listen: "value",
      socket: "value",
      pki: "value",
      "secure-loopback": "flag",
      "max-sessions": "value",
      help: "flag"
    });
    if (opts.help) {
      process.stdout.write(USAGE);
      return;
    }
    if (!opts.dir && !opts.socket) throw new Error("--dir or --socket is required");
    listen = parseListen(opts.listen || "4840");
    opts.maxSessions = maxSessionsFrom(opts["max-sessions"]);
  } catch (err) {
    process.stderr.write(`gateway: ${err.message}\n${USAGE}`);
    process.exitCode = 2;
    return;
  }
  const dir = opts.dir ? path.resolve(opts.dir) : path.dirname(path.resolve(opts.socket));
  const log = (text) => process.stderr.write(`${new Date().toISOString()} gateway: ${text}\n`);
  const socketPath = opts.socket ? path.resolve(opts.socket) : path.join(dir, "orvela.sock");
  const gateway = new Gateway({
    socketPath,
    pkiDir: opts.pki ? path.resolve(opts.pki) : path.join(dir, "pki"),
    host: listen.host,
    port: listen.port,
    secureLoopback: Boolean(opts["secure-loopback"]),
    maxSessions: opts.maxSessions,
    log
  });

  let stopping = false;
  const stop = async (signal) => {
    if (stopping) return;
    stopping = true;
    log(`${signal}: stopping`);
    // the server that watches the gateway must see it go even if a client holds the shutdown up
    setTimeout(() => process.exit(0), 5000).unref();
    try {
      await gateway.stop();
    } finally {
      process.exit(0);
    }
  };
  process.on("SIGTERM", () => stop("SIGTERM"));
  process.on("SIGINT", () => stop("SIGINT"));

  try {
    await gateway.start();
    log(`listening on ${gateway.endpointUrl()}, local endpoint ${socketPath}, ${opts.maxSessions} sessions at most`);
  } catch (err) {
    log(`cannot start: ${err.message}`);
    process.exit(1);
  }
}

main();
