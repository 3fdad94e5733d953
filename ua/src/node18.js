"use strict";
// Debian 12's Node.js 18 has Web Crypto only as require("node:crypto").webcrypto, not as the global that
// node-opcua takes its random numbers from. Newer Node versions already have it.
if (!globalThis.crypto) globalThis.crypto = require("node:crypto").webcrypto;
