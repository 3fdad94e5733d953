"use strict";
// Native OPC qualities and endpoint HRESULTs -> OPC UA status codes. The DA rows follow OPC UA's own
// mapping of DA quality (quality and sub-status to the code, limit bits to the limit bits); the HDA rows
// map the historian flags of the 32-bit HDA quality.
const { StatusCodes, StatusCode } = require("node-opcua");

// DA quality with its limit bits masked off (QQSSSS00) -> status code.
const DA_QUALITY = new Map([
  [0xc0, StatusCodes.Good],
  [0xd8, StatusCodes.GoodLocalOverride],
  [0x40, StatusCodes.Uncertain],
  [0x44, StatusCodes.UncertainLastUsableValue],
  [0x50, StatusCodes.UncertainSensorNotAccurate],
  [0x54, StatusCodes.UncertainEngineeringUnitsExceeded],
  [0x58, StatusCodes.UncertainSubNormal],
  [0x00, StatusCodes.Bad],
  [0x04, StatusCodes.BadConfigurationError],
  [0x08, StatusCodes.BadNotConnected],
  [0x0c, StatusCodes.BadDeviceFailure],
  [0x10, StatusCodes.BadSensorFailure],
  [0x14, StatusCodes.BadOutOfService], // last known value: the mapping names no better code
  [0x18, StatusCodes.BadNoCommunication],
  [0x1c, StatusCodes.BadOutOfService],
  [0x20, StatusCodes.BadWaitingForInitialData]
]);

const LIMIT_BITS = ["", "LimitLow", "LimitHigh", "LimitConstant"];

// HDA flags that make the value bad whatever its DA part says, in order of precedence.
const HDA_BAD_FLAGS = [
  [0x00100000, StatusCodes.BadBoundNotFound], // OPCHDA_NOBOUND
  [0x00200000, StatusCodes.BadNoData], // OPCHDA_NODATA
  [0x00400000, StatusCodes.BadDataLost], // OPCHDA_DATALOST
  [0x00800000, StatusCodes.BadTypeMismatch] // OPCHDA_CONVERSION
];

// HDA flags that only describe where the value came from -> historian information bits.
const HDA_INFO_FLAGS = [
  [0x00010000, "HistorianExtraData"], // OPCHDA_EXTRADATA
  [0x00020000, "HistorianInterpolated"], // OPCHDA_INTERPOLATED
  [0x00080000, "HistorianCalculated"], // OPCHDA_CALCULATED
  [0x01000000, "HistorianPartial"] // OPCHDA_PARTIAL
  // OPCHDA_RAW (0x00040000) is the UA default (historian bits 0): nothing to add.
];

// Unknown sub-status: fall back on the major quality.
function majorQuality(q) {
  if ((q & 0xc0) === 0xc0) return StatusCodes.Good;
  if ((q & 0xc0) === 0x40) return StatusCodes.Uncertain;
  return StatusCodes.Bad;
}

// Limit and historian bits are information bits: UA counts them only with the DataValue info type.
function withBits(code, bits) {
  const names = bits.filter(Boolean);
  if (!names.length) return code;
  return StatusCode.makeStatusCode(code, [...names, "InfoTypeDataValue"].join(" | "));
}

function daBase(q) {
  return DA_QUALITY.get(q & 0xfc) ?? majorQuality(q & 0xff);
}

function fromDaQuality(q) {
  return withBits(daBase(q), [LIMIT_BITS[q & 3]]);
}

function fromHdaQuality(q) {
  for (const [flag, code] of HDA_BAD_FLAGS) if (q & flag) return code;
  const info = HDA_INFO_FLAGS.filter(([flag]) => q & flag).map(([, name]) => name);
  return withBits(daBase(q), [LIMIT_BITS[q & 3], ...info]);
}

// Endpoint HRESULTs (PROTOCOL.md, section 5) -> status codes.
const HRESULT = new Map([
  [0x00000000, StatusCodes.Good],
  [0xc0040007, StatusCodes.BadNodeIdUnknown],
  [0xc0040008, StatusCodes.BadNodeIdInvalid],
  [0xc0040006, StatusCodes.BadNotReadable],
  [0xc0040004, StatusCodes.BadTypeMismatch],
  [0xc0040001, StatusCodes.BadMonitoredItemIdInvalid],
  [0x800705b4, StatusCodes.BadTimeout],
  [0x80004004, StatusCodes.BadRequestCancelledByClient],
  [0x800700aa, StatusCodes.BadResourceUnavailable],
  [0x8007000e, StatusCodes.BadOutOfMemory],
  [0x80010108, StatusCodes.BadNoCommunication],
  [0x80070057, StatusCodes.BadInvalidArgument],
  [0x80004001, StatusCodes.BadNotSupported]
]);

function fromHresult(hr) {
  return HRESULT.get(hr >>> 0) ?? StatusCodes.BadUnexpectedError;
}

// A value's status from a read item or data event: the item's HRESULT wins over its quality.
function fromDaItem(item) {
  return item.hr ? fromHresult(item.hr) : fromDaQuality(item.q ?? 0);
}

module.exports = { fromDaQuality, fromHdaQuality, fromHresult, fromDaItem };
