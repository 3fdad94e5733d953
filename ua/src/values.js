"use strict";
// Wire values (PROTOCOL.md, section 3) -> UA variants of a variable's declared data type.
const { DataType, Variant, VariantArrayType, StatusCodes } = require("node-opcua");
const { decodeValue } = require("./wire");

const INT_RANGES = {
  SByte: [-128, 127],
  Byte: [0, 255],
  Int16: [-32768, 32767],
  UInt16: [0, 65535],
  Int32: [-2147483648, 2147483647],
  UInt32: [0, 4294967295]
};

// node-opcua keeps 64-bit integers as [high, low] 32-bit words.
function toWords(big) {
  const u = BigInt.asUintN(64, big);
  return [Number(u >> 32n), Number(u & 0xffffffffn)];
}

function isIntegral(kind) {
  return kind === "number" || kind === "int64" || kind === "uint64";
}

// Each converter returns the JS value for the type, or undefined when the wire value does not fit.
const CONVERT = {
  Boolean: (d) => (d.kind === "bool" ? d.value : isIntegral(d.kind) ? Number(d.value) !== 0 : undefined),
  Float: (d) => (d.kind === "number" || d.kind === "int64" || d.kind === "uint64" ? Number(d.value) : undefined),
  Double: (d) => (d.kind === "number" || d.kind === "int64" || d.kind === "uint64" ? Number(d.value) : undefined),
  String: (d) => (d.kind === "string" ? d.value : d.kind === "number" ? String(d.value) : undefined),
  DateTime: (d) => (d.kind === "date" ? d.value : undefined),
  Int64: (d) => (isIntegral(d.kind) && Number.isInteger(Number(d.value)) ? toWords(BigInt(d.value)) : undefined),
  UInt64: (d) =>
    isIntegral(d.kind) && Number.isInteger(Number(d.value)) && BigInt(d.value) >= 0n ? toWords(BigInt(d.value)) : undefined
};
for (const [name, [lo, hi]] of Object.entries(INT_RANGES)) {
  CONVERT[name] = (d) => {
    if (d.kind === "bool") return d.value ? 1 : 0;
    if (!isIntegral(d.kind)) return undefined;
    const n = Number(d.value);
    return Number.isInteger(n) && n >= lo && n <= hi ? n : undefined;
  };
}

// A value of BaseDataType variables takes the type its wire form names.
const NATURAL = {
  bool: DataType.Boolean,
  number: DataType.Double,
  int64: DataType.Int64,
  uint64: DataType.UInt64,
  date: DataType.DateTime,
  string: DataType.String
};

function dataTypeOf(typeName) {
  return DataType[typeName] !== undefined && CONVERT[typeName] ? typeName : "BaseDataType";
}

// -> { variant, statusCode } where statusCode is null when the value fitted.
function toVariant(typeName, wireValue) {
  let d;
  try {
    d = decodeValue(wireValue);
  } catch {
    return { variant: new Variant({ dataType: DataType.Null }), statusCode: StatusCodes.BadDecodingError };
  }
  if (d.kind === null) return { variant: new Variant({ dataType: DataType.Null }), statusCode: null };
  const convert = CONVERT[typeName];
  if (!convert) {
    const dataType = NATURAL[d.kind];
    const value = d.kind === "int64" || d.kind === "uint64" ? toWords(d.value) : d.value;
    return { variant: new Variant({ dataType, arrayType: VariantArrayType.Scalar, value }), statusCode: null };
  }
  const value = convert(d);
  if (value === undefined) return { variant: new Variant({ dataType: DataType.Null }), statusCode: StatusCodes.BadTypeMismatch };
  return { variant: new Variant({ dataType: DataType[typeName], arrayType: VariantArrayType.Scalar, value }), statusCode: null };
}

module.exports = { toVariant, dataTypeOf };
