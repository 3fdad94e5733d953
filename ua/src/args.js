"use strict";
// Command-line parsing shared by the gateway and its checks.

// "[HOST:]PORT" -> { host, port }; IPv6 hosts in brackets ("[::1]:4840").
function parseListen(text, defaultHost = "127.0.0.1") {
  const m = /^(?:(\[[0-9a-fA-F:.]+\]|[^:[\]]+):)?(\d{1,5})$/.exec(String(text));
  if (!m) throw new Error(`bad listen address ${JSON.stringify(text)}: expected [HOST:]PORT`);
  const port = Number(m[2]);
  if (port > 65535) throw new Error(`bad port ${port}`); // 0: any free port
  const host = m[1] ? m[1].replace(/^\[|\]$/g, "") : defaultHost;
  return { host, port };
}

// "--name value" pairs and bare "--flag"s; anything else is refused.
function parseOptions(argv, known) {
  const out = {};
  for (let i = 0; i < argv.length; i++) {
    const name = argv[i].replace(/^--/, "");
    if (!argv[i].startsWith("--") || !(name in known)) throw new Error(`unknown argument ${argv[i]}`);
    if (known[name] === "flag") out[name] = true;
    else {
      if (i + 1 >= argv.length) throw new Error(`${argv[i]} needs a value`);
      out[name] = argv[++i];
    }
  }
  return out;
}

module.exports = { parseListen, parseOptions };
