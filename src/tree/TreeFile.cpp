#include "tree/TreeFile.h"

#include <cmath>
#include <limits>

#include "platform/Cp1251.h"
#include "tree/KopcStream.h"

namespace orvela {
namespace {

constexpr int64_t kInt32Min = std::numeric_limits<int32_t>::min();
constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();
constexpr size_t kAttributeTextWidth = 255;
// The smallest node record (older format, empty strings, empty attribute values): bounds a child count by
// the bytes that are left.
constexpr size_t kMinNodeRecordSize = 122;
// Day counts of 0001-01-01 and 10000-01-01: the range a calendar time can have.
constexpr double kFirstDay = -693593.0;
constexpr double kPastLastDay = 2958466.0;

SYSTEMTIME DateTimeToAttributeTime(TDateTime value) {
  // 0 is what the writer puts for "no time"; a time the calendar cannot hold says nothing either, and is
  // kept as "no time" rather than refusing the whole file for it.
  if (value == 0 || !std::isfinite(value) || value < kFirstDay || value >= kPastLastDay) return SYSTEMTIME{};
  return DateTimeToSystemTime(value);
}

// ---------------------------------------------------------------------------------------------------------

class TTreeEncoder {
 public:
  std::vector<uint8_t> Encode(TNTreeData& root) {
    WriteNode(root, 0);
    return out_.Take();
  }

 private:
  void WriteNode(TNTreeData& node, int depth) {
    if (depth > kMaxTreeDepth)
      throw EFormatError(out_.Data().size(),
                         "the tree is deeper than " + std::to_string(kMaxTreeDepth) + " levels");
    if (++nodes_ > kMaxTreeNodes)
      throw EFormatError(out_.Data().size(),
                         "the tree has more than " + std::to_string(kMaxTreeNodes) + " nodes");
    out_.WriteInteger(node.ModelCode);
    out_.WriteInteger(node.Kind);
    out_.WriteInteger(node.Address);
    out_.WriteInteger(node.Level);
    out_.WriteInteger(node.DriverNumber);
    out_.WriteString(node.Name);
    out_.WriteInteger(node.Handle);
    out_.WriteString(node.Serial);
    out_.WriteBoolean(node.HDAVisible);
    out_.WriteBoolean(node.DAVisible);
    WriteKey(node.ConnKey);
    out_.WriteInteger(kAttributeCount);
    for (TAttribRec& attribute : node.Attributes) {
      out_.WriteInteger(attribute.Id);
      if (!out_.WriteVariant(attribute.Value)) {
        attribute.Value = TVariant::Int(-1);
        out_.WriteVariant(attribute.Value);
      }
      out_.WriteDateTime(AttributeTimeToDateTime(attribute.Time));
      out_.WriteString(attribute.Text);
    }
    out_.WriteInteger(static_cast<int64_t>(node.Children.size()));
    for (TNTreeData* child : node.Children) WriteNode(*child, depth + 1);
  }

  void WriteKey(const TConnKey& key) {
    out_.WriteString(key.ConnName);
    out_.WriteInteger(key.ConnType);
    out_.WriteInteger(key.ProtType);
    out_.WriteString(key.PortName);
    out_.WriteString(key.TelName);
    out_.WriteString(key.IP_Addr);
    out_.WriteInteger(key.IP_Port);
    out_.WriteInteger(key.LocalPort);
    out_.WriteString(key.LinkAddress);
  }

  TKopcWriter out_;
  size_t nodes_ = 0;
};

// ---------------------------------------------------------------------------------------------------------

class TTreeDecoder {
 public:
  TTreeDecoder(std::span<const uint8_t> data, TTree& tree) : in_(data), tree_(tree) {}

  // The file is the root record and nothing else: anything after it is a record a damaged child count
  // left out, which the next save would drop.
  void RequireEnd() const {
    if (in_.Remaining() != 0)
      throw EFormatError(in_.Offset(), std::to_string(in_.Remaining()) + " bytes after the root record");
  }

  TNTreeData* ReadNode(int depth) {
    if (depth > kMaxTreeDepth)
      throw EFormatError(in_.Offset(),
                         "nodes nested deeper than " + std::to_string(kMaxTreeDepth) + " levels");
    if (++nodes_ > kMaxTreeNodes)
      throw EFormatError(in_.Offset(), "more than " + std::to_string(kMaxTreeNodes) + " nodes");
    TNTreeData* node = tree_.CreateNode();
    node->ModelCode = Byte("model code");
    node->Kind = Byte("node kind");
    node->Address = Byte("address");
    node->Level = Byte("level");
    node->DriverNumber = ReadDriverNumber();
    node->Name = in_.ReadString();
    node->Handle = Int32("handle");
    node->Serial = in_.ReadString();
    node->HDAVisible = in_.ReadBoolean();
    node->DAVisible = in_.ReadBoolean();
    ReadKey(node->ConnKey);
    in_.ReadInteger();  // the attribute count: always six records follow, whatever it says
    for (TAttribRec& attribute : node->Attributes) ReadAttribute(attribute);
    ReadChildren(*node, depth);
    return node;
  }

 private:
  uint8_t Byte(const char* what) { return static_cast<uint8_t>(in_.ReadInteger(0, 255, what)); }
  int32_t Int32(const char* what) {
    return static_cast<int32_t>(in_.ReadInteger(kInt32Min, kInt32Max, what));
  }
  std::string Text(size_t width) { return Utf8Prefix(in_.ReadString(), width); }

  // Older versions wrote the name right after the level; a string there means no driver number.
  int32_t ReadDriverNumber() {
    const uint8_t tag = in_.PeekTag();
    if (IsStringTag(tag)) return 0;
    if (!IsIntegerTag(tag))
      throw EFormatError(in_.Offset(), "driver number is not an integer (tag " + std::to_string(tag) + ")");
    return Int32("driver number");
  }

  void ReadKey(TConnKey& key) {
    key.ConnName = Text(TConnKey::kConnNameWidth);
    key.ConnType = Byte("connection kind");
    key.ProtType = Byte("protocol kind");
    key.PortName = Text(TConnKey::kPortNameWidth);
    key.TelName = Text(TConnKey::kTelNameWidth);
    key.IP_Addr = Text(TConnKey::kIpAddrWidth);
    key.IP_Port = Int32("remote port");
    key.LocalPort = Int32("local port");
    key.LinkAddress = Text(TConnKey::kLinkAddressWidth);
  }

  void ReadAttribute(TAttribRec& attribute) {
    attribute.Id = Int32("attribute identifier");
    attribute.Value = in_.ReadVariant();
    attribute.Time = DateTimeToAttributeTime(in_.ReadDateTime());
    attribute.Text = Text(kAttributeTextWidth);
  }

  void ReadChildren(TNTreeData& node, int depth) {
    const size_t at = in_.Offset();
    const int64_t count = in_.ReadInteger(0, kInt32Max, "child count");
    if (static_cast<size_t>(count) > in_.Remaining() / kMinNodeRecordSize)
      throw EFormatError(at, "child count " + std::to_string(count) + " exceeds what the " +
                                 std::to_string(in_.Remaining()) + " bytes left can hold");
    node.StoredChildCount = static_cast<int32_t>(count);
    for (int64_t i = 0; i < count; ++i) {
      tree_.AttachChild(&node, ReadNode(depth + 1));
    }
  }

  TKopcReader in_;
  TTree& tree_;
  size_t nodes_ = 0;
};

}  // namespace

TDateTime AttributeTimeToDateTime(const SYSTEMTIME& t) {
  if (!IsValidDate(t.wYear, t.wMonth, t.wDay) || t.wHour > 23 || t.wMinute > 59 || t.wSecond > 59 ||
      t.wMilliseconds > 999)
    return 0;
  return SystemTimeToDateTime(t);
}

std::vector<uint8_t> EncodeTree(TNTreeData& root) {
  return TTreeEncoder().Encode(root);
}

TNTreeData* DecodeTree(std::span<const uint8_t> data, TTree& tree) {
  TTreeDecoder decoder(data, tree);
  TNTreeData* root = decoder.ReadNode(0);
  decoder.RequireEnd();
  return root;
}

}  // namespace orvela
