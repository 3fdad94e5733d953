"use strict";
// The OPC UA server in front of the local endpoint: one endpoint connection, the mirrored tree, reads,
// subscriptions and history. Everything it shows comes from the endpoint; it can restart at any time.
require("./node18");
const path = require("node:path");
const { OPCUAServer, OPCUACertificateManager, StatusCodes } = require("node-opcua");
const { EndpointConnection } = require("./EndpointConnection");
const { TreeMirror } = require("./TreeMirror");
const { ReadBatcher } = require("./ReadBatcher");
const { SubscriptionMapper } = require("./SubscriptionMapper");
const { HistoryReader } = require("./HistoryReader");
const setup = require("./ServerSetup");

class Gateway {
  // options: socketPath, host, port, pkiDir, secureLoopback, maxSessions, log, and timings for tests (endpoint,
  // readTimeoutMs, historyTimeoutMs, firstTreeWaitMs)
  constructor(options) {
    this.opt = { host: "127.0.0.1", port: 4840, log: () => {}, endpoint: {}, secureLoopback: false, ...options };
    this.opt.maxSessions = this.opt.maxSessions || setup.LIMITS.maxSessions;
    this.opt.pkiDir = this.opt.pkiDir || path.join(path.dirname(this.opt.socketPath), "pki");
    this.log = this.opt.log;
    this.connection = new EndpointConnection(this.opt.socketPath, { log: this.log, ...this.opt.endpoint });
    this.browsing = null;
    this.browseAgain = false;
    this.treeShown = new Promise((resolve) => (this.showTree = resolve));
  }

  async start() {
    const { host, port, secureLoopback, maxSessions } = this.opt;
    setup.guardTransports(this.log);
    const certificateManager = new OPCUACertificateManager({
      rootFolder: this.opt.pkiDir,
      automaticallyAcceptUnknownCertificate: false
    });
    this.server = new OPCUAServer(setup.serverOptions({ host, port, secureLoopback, maxSessions, certificateManager }));
    await this.server.initialize();
    setup.configureServer(this.server);
    setup.boundRejected(certificateManager, setup.LIMITS.maxRejectedCertificates, this.log);
    const addressSpace = this.server.engine.addressSpace;
    this.history = new HistoryReader(this.connection, {
      log: this.log,
      timeoutMs: this.opt.historyTimeoutMs,
      maxPerResponse: setup.LIMITS.maxHistoryValues
    });
    this.mirror = new TreeMirror(
      addressSpace,
      { historyRead: (info, context, details, continuationData) => this.history.read(info, context, details, continuationData) },
      this.log
    );
    this.reads = new ReadBatcher(this.connection, this.mirror, { log: this.log, timeoutMs: this.opt.readTimeoutMs });
    const engine = this.server.engine;
    engine.refreshValues = (nodes, maxAge, callback) => this.reads.refreshValues(nodes, maxAge, callback);
    // a Read's failed device reads are answered to that Read alone, not stored in the variables
    const read = engine.read.bind(engine);
    engine.read = async (context, request) => this.reads.answerFailures(request.nodesToRead, await read(context, request));
    const onRead = this.server._on_ReadRequest;
    this.server._on_ReadRequest = (message, channel) => {
      if (message.request) this.reads.noteRequest(message.request, message.session || null);
      return onRead.call(this.server, message, channel);
    };
    // a closed session's device reads no other Read waits for are withdrawn; its continuation points released
    this.server.on("session_closed", (session) => {
      this.reads.sessionGone(session);
      this.history.sessionGone(session);
    });
    this.subs = new SubscriptionMapper(this.connection, this.mirror, { log: this.log });
    this.subs.attach(this.server);

    this.connection.on("ready", (hello) => this.onReady(hello));
    this.connection.on("down", (err) => this.onDown(err));
    this.connection.on("event", (ev) => this.onEvent(ev));
    this.connection.start();
    // A client let in before the first browse would find no nodes and take every NodeId for unknown; a server
    // that stays silent meanwhile should not keep the gateway shut for ever either.
    if (!(await this.firstTree(this.opt.firstTreeWaitMs ?? 30000))) {
      this.log("no tree from the local endpoint yet: listening with an empty address space");
    }
    await this.server.start();
  }

  firstTree(waitMs) {
    let timer;
    const waited = new Promise((resolve) => (timer = setTimeout(() => resolve(false), waitMs)));
    return Promise.race([this.treeShown.then(() => true), waited]).finally(() => clearTimeout(timer));
  }

  endpointUrl() {
    return this.server.getEndpointUrl();
  }

  async stop() {
    this.connection.stop();
    if (this.server) await this.server.shutdown(0);
  }

  onReady(hello) {
    this.log(`connected to ${hello.server} ${hello.version}, tree generation ${hello.generation}`);
    this.subs.reset();
    this.refreshTree();
  }

  onDown(err) {
    this.log(`local endpoint lost: ${err.message}`);
    this.mirror.markAll(StatusCodes.BadNoCommunication);
  }

  onEvent(ev) {
    if (ev.ev === "data") this.subs.onData(ev);
    else if (ev.ev === "tree") this.refreshTree();
    else if (ev.ev === "shutdown") this.log(`server stopping: ${ev.reason}`);
  }

  // One browse at a time; a change announced meanwhile browses once more afterwards.
  refreshTree() {
    if (this.browsing) {
      this.browseAgain = true;
      return this.browsing;
    }
    this.browsing = this.browse()
      .catch((err) => this.log(`browse failed: ${err.message}`))
      .finally(() => {
        this.browsing = null;
        if (this.browseAgain) {
          this.browseAgain = false;
          this.refreshTree();
        }
      });
    return this.browsing;
  }

  async browse() {
    const nodes = [];
    const reply = await this.connection.request(
      "browse",
      {},
      { onPart: (part) => Array.isArray(part.nodes) && nodes.push(...part.nodes) }
    );
    const removed = this.mirror.sync(nodes, reply.generation);
    this.subs.forget(removed);
    this.subs.schedule();
    this.showTree();
    this.log(`tree generation ${reply.generation}: ${this.mirror.nodes.size} nodes`);
  }
}

module.exports = { Gateway, isLoopback: setup.isLoopback, securityFor: setup.securityFor };
