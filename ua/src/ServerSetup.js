"use strict";
// What the gateway's OPC UA server says about itself and what it lets in: identity, capabilities, security
// by listening address, session and connection limits, transport sizes, and the guards the UA library lacks
// (a malformed packet closes its own connection only; the store of refused client certificates stays bounded).
const fs = require("node:fs");
const path = require("node:path");
const {
  SecurityPolicy,
  MessageSecurityMode,
  UserTokenType,
  StatusCodes,
  TCP_transport,
  setDefaultCertificateSubject
} = require("node-opcua");

const PACKAGE_JSON = path.join(__dirname, "..", "package.json");
const VERSION = require(PACKAGE_JSON).version;

const LIMITS = {
  maxSessions: 100, // a real site: several operator stations, reports and a SCADA or two
  channelHeadroom: 10, // channels beyond the sessions, for discovery (GetEndpoints) connections
  maxSessionTimeoutMs: 10 * 60 * 1000, // a vanished client's subscriptions and polling end after this at most
  receiveBufferSize: 64 * 1024, // largest chunk, both directions
  maxMessageSize: 16 * 1024 * 1024, // largest message, both directions
  maxRejectedCertificates: 100, // files kept in pki/rejected (oldest removed)
  maxHistoryValues: 10000 // values per HistoryRead answer (HistoryReader's page)
};

const MIN_BUFFER = 8192; // the smallest chunk the UA transport allows

function isLoopback(host) {
  return host === "localhost" || host === "::1" || /^127\.\d{1,3}\.\d{1,3}\.\d{1,3}$/.test(host);
}

// Security follows where the server listens: plain only on loopback, and there only unless asked not to.
function securityFor(host, secureLoopback = false) {
  return isLoopback(host) && !secureLoopback
    ? { securityPolicies: [SecurityPolicy.None], securityModes: [MessageSecurityMode.None] }
    : {
        securityPolicies: [SecurityPolicy.Basic256Sha256],
        securityModes: [MessageSecurityMode.Sign, MessageSecurityMode.SignAndEncrypt]
      };
}

// Sessions the gateway admits: --max-sessions, else $ORVELA_UA_MAX_SESSIONS, else LIMITS.maxSessions.
function maxSessionsFrom(option, env = process.env.ORVELA_UA_MAX_SESSIONS) {
  const text = option ?? env;
  if (text === undefined || text === "") return LIMITS.maxSessions;
  const n = Number(text);
  if (!Number.isInteger(n) || n < 1 || n > 10000) throw new Error(`bad session limit ${JSON.stringify(text)}: expected 1 … 10000`);
  return n;
}

// The gateway's build date: when its package was installed or changed.
function buildDate() {
  try {
    return fs.statSync(PACKAGE_JSON).mtime;
  } catch {
    return new Date(0);
  }
}

// Server profiles of what is served: embedded server with data-change subscriptions, current values
// (DA), raw history with bounds and continuation points, the binary TCP transport.
const SERVER_PROFILES = [
  "http://opcfoundation.org/UA-Profile/Server/EmbeddedUA2017",
  "http://opcfoundation.org/UA-Profile/Server/DataAccess",
  "http://opcfoundation.org/UA-Profile/Server/HistoricalRawData",
  "http://opcfoundation.org/UA-Profile/Transport/uatcp-uasc-uabinary"
];

// Options of the OPCUAServer made by the gateway.
function serverOptions({ host, port, secureLoopback, maxSessions, certificateManager }) {
  // the certificate made on the first start names us, not the UA library's maker
  setDefaultCertificateSubject("/O=OrvelaOPC");
  return {
    host,
    port,
    hostname: host === "0.0.0.0" || host === "::" ? undefined : host,
    ...securityFor(host, secureLoopback),
    allowAnonymous: true,
    // Off loopback the library keeps a None channel for GetEndpoints alone, so clients can find the
    // secure endpoints; sessions on it are refused.
    serverCertificateManager: certificateManager,
    serverInfo: { applicationUri: "urn:orvela:opc-ua-gateway", productUri: "urn:orvela:opc", applicationName: { text: "OrvelaOPC", locale: "en" } },
    buildInfo: {
      productName: "OrvelaOPC UA gateway",
      productUri: "urn:orvela:opc",
      softwareVersion: VERSION,
      buildNumber: VERSION,
      manufacturerName: "OrvelaOPC",
      buildDate: buildDate()
    },
    maxConnectionsPerEndpoint: maxSessions + LIMITS.channelHeadroom,
    serverCapabilities: {
      maxSessions,
      localeIdArray: ["ru", "en"],
      serverProfileArray: SERVER_PROFILES,
      maxHistoryContinuationPoints: 100,
      minSupportedSampleRate: 2000 // the DA group's floor
    },
    transportSettings: { adjustTransportLimits }
  };
}

// HEL/ACK: the client's sizes, never beyond ours. These are the sizes the transport then enforces on
// what it receives, so a chunk or message header announcing more is refused.
function adjustTransportLimits(hello) {
  const clamp = (value, lo, hi) => Math.min(Math.max(value || hi, lo), hi);
  const receiveBufferSize = clamp(hello.receiveBufferSize, MIN_BUFFER, LIMITS.receiveBufferSize);
  const sendBufferSize = clamp(hello.sendBufferSize, MIN_BUFFER, LIMITS.receiveBufferSize);
  const maxMessageSize = clamp(hello.maxMessageSize, MIN_BUFFER, LIMITS.maxMessageSize);
  const chunksForMessage = Math.ceil(maxMessageSize / Math.min(receiveBufferSize, sendBufferSize));
  const maxChunkCount = clamp(hello.maxChunkCount, 1, chunksForMessage);
  return { receiveBufferSize, sendBufferSize, maxMessageSize, maxChunkCount };
}

// Settings made once the server object exists, before it listens.
function configureServer(server) {
  const history = server.engine.historyServerCapabilities;
  history.accessHistoryDataCapability = true;
  history.maxReturnDataValues = LIMITS.maxHistoryValues;
  capSessionTimeout(server);
  for (const endpoint of server.endpoints) anonymousOnly(endpoint);
}

// A session lives as long as its client asked (the UA library raised short requests' peers to its own
// maximum of 50 minutes), at most LIMITS.maxSessionTimeoutMs.
function capSessionTimeout(server) {
  const create = server._on_CreateSessionRequest;
  server._on_CreateSessionRequest = function (message, channel) {
    const request = message.request;
    if (request && request.requestedSessionTimeout > LIMITS.maxSessionTimeoutMs) {
      request.requestedSessionTimeout = LIMITS.maxSessionTimeoutMs;
    }
    return create.call(this, message, channel);
  };
}

// There are no users: only anonymous sessions are offered, on every endpoint.
function anonymousOnly(endpoint) {
  for (const description of endpoint.endpointDescriptions()) {
    description.userIdentityTokens = (description.userIdentityTokens || []).filter((t) => t.tokenType === UserTokenType.Anonymous);
  }
}

// The UA library's packet assembler throws out of the socket's data handler when a chunk header is
// bad in the same write as the HEL (it is fed to an assembler already replaced), which ended the process.
// Such a failure now closes that connection alone.
let guarded = false;
function guardTransports(log) {
  if (guarded) return;
  guarded = true;
  const onData = TCP_transport.prototype._on_socket_data;
  TCP_transport.prototype._on_socket_data = function (data) {
    try {
      onData.call(this, data);
    } catch (err) {
      const peer = this._socket ? this._socket.remoteAddress : "?";
      log(`connection from ${peer} closed: ${err.message}`);
      this.prematureTerminate(err, StatusCodes.BadTcpInternalError);
    }
  };
}

// Refused client certificates land in pki/rejected so an operator can trust them; a stranger must not
// fill the disk with them: after every check only the newest `keep` files stay.
function boundRejected(certificateManager, keep, log) {
  const prune = () => pruneFolder(certificateManager.rejectedFolder, keep, log);
  const check = certificateManager.checkCertificate;
  // called with a callback or, promise style, without one
  certificateManager.checkCertificate = function (chain, callback) {
    const checked = new Promise((resolve, reject) => check.call(this, chain, (err, status) => (err ? reject(err) : resolve(status))));
    const pruned = checked.finally(prune);
    if (typeof callback !== "function") return pruned;
    pruned.then((status) => callback(null, status), (err) => callback(err));
    return undefined;
  };
  prune();
}

function pruneFolder(folder, keep, log) {
  let files;
  try {
    files = fs
      .readdirSync(folder, { withFileTypes: true })
      .filter((e) => e.isFile())
      .map((e) => {
        const file = path.join(folder, e.name);
        return { file, mtime: fs.statSync(file).mtimeMs };
      });
  } catch {
    return; // no folder yet, or it changed while listed: the next check prunes
  }
  if (files.length <= keep) return;
  files.sort((a, b) => b.mtime - a.mtime || (a.file < b.file ? 1 : -1));
  for (const { file } of files.slice(keep)) {
    try {
      fs.unlinkSync(file);
    } catch (err) {
      log(`cannot remove ${file}: ${err.message}`);
    }
  }
}

module.exports = {
  LIMITS,
  isLoopback,
  securityFor,
  maxSessionsFrom,
  serverOptions,
  configureServer,
  adjustTransportLimits,
  guardTransports,
  boundRejected,
  pruneFolder
};
