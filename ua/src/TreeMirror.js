"use strict";
// Mirrors the endpoint's browse snapshot as folders and variables of the devices' namespace
// (urn:orvela:devices, ns=2;s=<item identifier>), and keeps it equal to the latest snapshot. The server's
// own namespace (1) holds the UA library's session diagnostics.
const { NodeId, NodeIdType, DataType, Variant, StatusCodes, makeEUInformation, makeAccessLevelFlag, HistoryReadResult } = require("node-opcua");
const { dataTypeOf } = require("./values");

// The DA group's floor: a monitored item cannot be served faster than the server's subscriptions.
const DA_MIN_RATE_MS = 2000;

const DEVICES_NAMESPACE = "urn:orvela:devices";
// EUInformation of a unit the devices name themselves: no code of any unit catalogue.
const UNITS_NAMESPACE = "urn:orvela:units";
// Texts the configurations use for "no unit": such variables get no EngineeringUnits.
const NO_UNIT = new Set(["", "нет", "-", "—", "none", "no", "n/a"]);

function hasUnit(units) {
  return typeof units === "string" && !NO_UNIT.has(units.trim().toLowerCase());
}

// Keys whose change means the UA node must be made again (UA fixes them at creation).
const SHAPE_KEYS = ["parent", "name", "kind", "type", "da", "hist", "units", "desc"];

function sameShape(a, b) {
  return SHAPE_KEYS.every((k) => a[k] === b[k]);
}

class TreeMirror {
  // hooks.historyRead(info, context, details, continuationData) -> Promise<HistoryReadResult>
  constructor(addressSpace, hooks, log = () => {}) {
    this.addressSpace = addressSpace;
    this.ns = addressSpace.registerNamespace(DEVICES_NAMESPACE);
    this.hooks = hooks;
    this.log = log;
    this.nodes = new Map(); // nid -> { info, node }
    this.generation = null;
  }

  nodeId(nid) {
    return new NodeId(NodeIdType.STRING, nid, this.ns.index);
  }

  get(nid) {
    return this.nodes.get(nid);
  }

  variables() {
    return [...this.nodes.values()].filter((e) => e.info.kind === "variable");
  }

  // Makes the address space equal to the snapshot (nodes in pre-order). Returns the nids removed.
  sync(snapshot, generation) {
    const next = new Map();
    for (const info of snapshot) {
      if (typeof info.nid !== "string" || next.has(info.nid)) continue;
      if (info.parent !== null && !next.has(info.parent)) continue; // orphan: the endpoint broke pre-order
      next.set(info.nid, info);
    }
    const removed = this.removeStale(next);
    for (const info of next.values()) {
      if (this.nodes.has(info.nid)) continue;
      // a node UA refuses is left out with everything below it; the rest of the tree still appears
      if (info.parent !== null && !this.nodes.has(info.parent)) continue;
      try {
        this.add(info);
      } catch (err) {
        this.log(`node ${JSON.stringify(info.nid)} left out: ${err.message}`);
      }
    }
    this.generation = generation;
    return removed;
  }

  // Removes nodes gone from the snapshot or changed in shape, with everything below them, children first.
  removeStale(next) {
    const doomed = new Set();
    for (const [nid, { info }] of this.nodes) {
      const fresh = next.get(nid);
      if (!fresh || !sameShape(info, fresh) || doomed.has(info.parent)) doomed.add(nid);
    }
    const order = [...this.nodes.keys()].filter((nid) => doomed.has(nid)).reverse();
    for (const nid of order) {
      const { node } = this.nodes.get(nid);
      this.nodes.delete(nid);
      if (node.nodeClass === 2) node.setValueFromSource(new Variant({ dataType: DataType.Null }), StatusCodes.BadNodeIdUnknown);
      this.addressSpace.deleteNode(node);
    }
    return order;
  }

  add(info) {
    const parent = info.parent === null ? null : this.nodes.get(info.parent);
    const parentNode = parent ? parent.node : this.addressSpace.rootFolder.objects;
    const common = {
      nodeId: this.nodeId(info.nid),
      // given as objects: a name like "2:x" must not be read as a namespace prefix
      browseName: { name: info.name, namespaceIndex: this.ns.index },
      displayName: { text: info.name },
      description: info.desc || undefined
    };
    const node =
      info.kind === "variable" ? this.addVariable(info, common, parent, parentNode) : this.addFolder(common, parentNode);
    this.nodes.set(info.nid, { info, node });
  }

  addFolder(common, parentNode) {
    const folder = this.ns.addFolder(parentNode, common);
    // A folder has no history: said for this node alone (node-opcua fails the whole request otherwise).
    folder.historyRead = async () => new HistoryReadResult({ statusCode: StatusCodes.BadNotReadable });
    return folder;
  }

  addVariable(info, common, parent, parentNode) {
    const placement = parent && parent.info.kind === "variable" ? { componentOf: parentNode } : { organizedBy: parentNode };
    const readable = info.da ? "CurrentRead" : "";
    const history = info.hist ? "HistoryRead" : "";
    const accessLevel = makeAccessLevelFlag([readable, history].filter(Boolean).join(" | ") || "None");
    const variable = this.ns.addVariable({
      ...common,
      ...placement,
      dataType: dataTypeOf(info.type),
      accessLevel,
      userAccessLevel: accessLevel,
      historizing: Boolean(info.hist),
      minimumSamplingInterval: DA_MIN_RATE_MS
    });
    variable.setValueFromSource(new Variant({ dataType: DataType.Null }), StatusCodes.BadWaitingForInitialData);
    if (hasUnit(info.units)) this.addUnits(variable, info.units.trim());
    // Every variable answers HistoryRead through the hook (node-opcua's default answers some requests twice).
    variable._historyRead = (context, details, _indexRange, _encoding, continuationData, callback) => {
      this.hooks.historyRead(info, context, details, continuationData).then(
        (result) => callback(null, result),
        (err) => callback(err)
      );
    };
    return variable;
  }

  addUnits(variable, units) {
    const eu = makeEUInformation("", units, units);
    eu.namespaceUri = UNITS_NAMESPACE;
    eu.unitId = -1; // no code: the unit is known by its name only
    this.ns.addVariable({
      // an opaque id: no string id of the tree can collide with it
      nodeId: new NodeId(NodeIdType.BYTESTRING, Buffer.from(`EngineeringUnits:${variable.nodeId.value}`), this.ns.index),
      propertyOf: variable,
      browseName: { name: "EngineeringUnits", namespaceIndex: 0 },
      typeDefinition: "PropertyType",
      dataType: "EUInformation",
      value: {
        dataType: DataType.ExtensionObject,
        value: eu
      }
    });
  }

  // Sets a variable's current value from the endpoint; returns false when the variable is not mirrored.
  setValue(nid, variant, statusCode, sourceTimestamp) {
    const entry = this.nodes.get(nid);
    if (!entry || entry.info.kind !== "variable") return false;
    entry.node.setValueFromSource(variant, statusCode, sourceTimestamp || new Date());
    entry.receivedAt = Date.now();
    return true;
  }

  // Marks every current value bad, keeping the nodes: used while the endpoint is unreachable.
  markAll(statusCode) {
    for (const entry of this.variables()) {
      entry.node.setValueFromSource(new Variant({ dataType: DataType.Null }), statusCode);
      entry.receivedAt = 0;
    }
  }
}

module.exports = { TreeMirror, DA_MIN_RATE_MS, DEVICES_NAMESPACE };
