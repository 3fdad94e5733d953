#include "tree/OldConfig.h"

#include <algorithm>
#include <functional>

#include "platform/BinaryIO.h"
#include "platform/Cp1251.h"
#include "tree/ConfigFiles.h"

namespace orvela {
namespace {

// Deeper than any device's tree; a text claiming more is damaged.
constexpr int kMaxOldDepth = 64;
constexpr int32_t kVersionMarker = -1;
constexpr uint16_t kRecordVersion = 2;

// Field offsets of a node record.
constexpr size_t kOffConnKey = 2, kOffAccessMode = 164, kOffDriverValue = 166, kOffSerial = 185,
                 kOffModel = 194, kOffKind = 195, kOffDriverNumber = 196, kOffAttributes = 1436,
                 kOffDaVisible = 3194, kOffHdaVisible = 3195, kOffDaPosition = 3196;
constexpr size_t kSerialCapacity = 8;
constexpr size_t kAttributeSize = 292;
constexpr size_t kAttributeTextCapacity = 255;

TVariant DecodeOldVariant(TBinaryReader& in, const std::string& text) {
  auto vt = static_cast<VARTYPE>(in.U16());
  in.Skip(6);
  TBinaryReader value(in.Bytes(8));
  switch (vt) {
    case VT_I2:
      return TVariant::Int(value.I16(), VT_I2);
    case VT_I4:
      return TVariant::Int(value.I32());
    case VT_R4:
      return TVariant::Single(value.F32());
    case VT_R8:
      return TVariant::Double(value.F64());
    case VT_DATE:
      return TVariant::Date(value.F64());
    case VT_BOOL:
      return TVariant::Bool(value.I16() != 0);
    case VT_BSTR:
      return TVariant::OneByteStr(text);
    default:
      return TVariant::Empty();
  }
}

TAttribRec DecodeOldAttribute(std::span<const uint8_t> bytes) {
  TBinaryReader text(bytes.subspan(36));
  std::string caption = Cp1251ToUtf8(text.ShortString(kAttributeTextCapacity));
  TBinaryReader in(bytes);
  TAttribRec rec;
  rec.Id = in.I32();
  rec.Value = DecodeOldVariant(in, caption);
  WORD* fields[] = {&rec.Time.wYear, &rec.Time.wMonth,  &rec.Time.wDayOfWeek, &rec.Time.wDay,
                    &rec.Time.wHour, &rec.Time.wMinute, &rec.Time.wSecond,    &rec.Time.wMilliseconds};
  for (WORD* field : fields) *field = in.U16();
  if (rec.Value.vt == VT_BSTR) rec.Text = caption;
  return rec;
}

EConfigFile Damaged(const std::filesystem::path& file, size_t offset, const std::string& reason) {
  return EConfigFile(TConfigFault::Damaged, file, offset, reason);
}

// Reads a count and that many records; a count the rest of the file cannot hold refuses the file, since
// a short record would shift every record behind it.
std::vector<TOldRecord> ReadRecords(TBinaryReader& in, const std::filesystem::path& file, const char* tree) {
  size_t at = in.Offset();
  if (in.Remaining() < 4) throw Damaged(file, at, std::string("no record count of the ") + tree + " tree");
  int32_t count = in.I32();
  if (count < 0) throw Damaged(file, at, std::string("negative record count of the ") + tree + " tree");
  std::vector<TOldRecord> records;
  for (int32_t i = 0; i < count; ++i) {
    if (in.Remaining() < kOldRecordSize)
      throw Damaged(file, in.Offset(),
                    std::string("record ") + std::to_string(i + 1) + " of " + std::to_string(count) +
                        " of the " + tree + " tree is cut short");
    records.push_back(DecodeOldRecord(in.Bytes(kOldRecordSize)));
  }
  return records;
}

std::vector<uint8_t> ReadWhole(const std::filesystem::path& file) {
  return ReadConfigFile(file);  // Missing or Unreadable
}

}  // namespace

TOldRecord DecodeOldRecord(std::span<const uint8_t> bytes) {
  TBinaryReader in(bytes);
  TOldRecord r;
  r.Level = in.U8();
  r.Address = in.U8();
  r.ConnKey = DecodeConnKey(bytes.subspan(kOffConnKey, TConnKey::kSize));
  in.Seek(kOffAccessMode);
  r.AccessMode = in.U16();
  r.DriverValue = in.U32();
  in.Seek(kOffSerial);
  r.Serial = Cp1251ToUtf8(in.ShortString(kSerialCapacity));  // a length beyond the field is clamped
  in.Seek(kOffModel);
  r.ModelCode = in.U8();
  r.Kind = in.U8();
  in.Seek(kOffDriverNumber);
  r.DriverNumber = in.I32();
  // Each attribute goes to the slot of its identifier, wherever the record kept it.
  for (int i = 0; i < kAttributeCount; ++i) {
    TAttribRec attribute =
        DecodeOldAttribute(bytes.subspan(kOffAttributes + i * kAttributeSize, kAttributeSize));
    auto slot = std::find(kAttributeIds.begin(), kAttributeIds.end(), attribute.Id);
    if (attribute.Id != 0 && slot != kAttributeIds.end())
      r.Attributes[slot - kAttributeIds.begin()] = attribute;
  }
  in.Seek(kOffDaVisible);
  r.DAVisible = in.U8() != 0;
  in.Seek(kOffHdaVisible);
  r.HDAVisible = in.U8() != 0;
  in.Seek(kOffDaPosition);
  r.DaPosition = in.I32();
  return r;
}

std::vector<TOldLine> ParseOldTreeText(std::span<const uint8_t> text, const std::filesystem::path& file) {
  std::vector<TOldLine> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = start;
    while (end < text.size() && text[end] != '\n') ++end;
    size_t stop = end;
    if (stop > start && text[stop - 1] == '\r') --stop;
    size_t tabs = start;
    while (tabs < stop && text[tabs] == '\t') ++tabs;
    if (tabs < stop) {
      int depth = static_cast<int>(tabs - start);
      int previous = lines.empty() ? -1 : lines.back().Depth;
      if (depth > previous + 1 || depth > kMaxOldDepth)
        throw Damaged(file, start,
                      "line " + std::to_string(lines.size() + 1) + " is " + std::to_string(depth) +
                          " levels deep below a line of level " + std::to_string(previous));
      std::string caption(text.begin() + static_cast<std::ptrdiff_t>(tabs),
                          text.begin() + static_cast<std::ptrdiff_t>(stop));
      lines.push_back({depth, Cp1251ToUtf8(caption)});
    }
    start = end + 1;
  }
  return lines;
}

TOldConfiguration ReadOldConfiguration(const std::filesystem::path& folder) {
  std::filesystem::path hdaFile = folder / kOldHdaTreeFile, daFile = folder / kOldDaTreeFile,
                        recordFile = folder / kOldRecordFile;
  std::vector<uint8_t> hdaText = ReadWhole(hdaFile), daText = ReadWhole(daFile), data = ReadWhole(recordFile);

  TOldConfiguration config;
  config.HdaLines = ParseOldTreeText(hdaText, hdaFile);
  config.DaLines = ParseOldTreeText(daText, daFile);
  config.HdaRecords.resize(config.HdaLines.size());
  config.DaRecords.resize(config.DaLines.size());

  TBinaryReader in(data);
  if (in.Remaining() >= 6 && TBinaryReader(data).I32() == kVersionMarker) {
    in.Skip(4);
    uint16_t version = in.U16();
    if (version != kRecordVersion)
      throw Damaged(recordFile, 4, "record version " + std::to_string(version) + " is not known");
  }
  std::vector<TOldRecord> hda = ReadRecords(in, recordFile, "HDA");
  std::vector<TOldRecord> da = ReadRecords(in, recordFile, "DA");

  auto daSlot = [&](int32_t position) -> std::optional<TOldRecord>* {
    if (position < 0 || static_cast<size_t>(position) >= config.DaRecords.size()) return nullptr;
    return &config.DaRecords[static_cast<size_t>(position)];
  };
  for (size_t i = 0; i < hda.size() && i < config.HdaRecords.size(); ++i) {
    config.HdaRecords[i] = hda[i];
    if (auto* slot = daSlot(hda[i].DaPosition)) *slot = hda[i];
  }
  for (const TOldRecord& record : da)
    if (auto* slot = daSlot(record.DaPosition)) *slot = record;
  return config;
}

namespace {

void Fill(TNTreeData& node, const std::optional<TOldRecord>& record) {
  if (!record) return;
  node.Address = record->Address;
  node.ConnKey = record->ConnKey;
  node.AccessMode = record->AccessMode;
  node.DriverValue = record->DriverValue;
  node.Serial = record->Serial;
  node.ModelCode = record->ModelCode;
  node.Kind = record->Kind;
  node.DriverNumber = record->DriverNumber;
  node.Attributes = record->Attributes;
  node.DAVisible = record->DAVisible;
  node.HDAVisible = record->HDAVisible;
}

// The lines of the subtree that starts at line first: first itself and what follows it deeper.
size_t SubtreeEnd(const std::vector<TOldLine>& lines, size_t first) {
  size_t end = first + 1;
  while (end < lines.size() && lines[end].Depth > lines[first].Depth) ++end;
  return end;
}

// The device lines (one level below the root line, or the top level when the text has no root line).
std::vector<size_t> DeviceLines(const std::vector<TOldLine>& lines) {
  std::vector<size_t> devices;
  int deviceDepth = !lines.empty() && lines[0].Depth == 0 && lines.size() > 1 && lines[1].Depth == 1 ? 1 : 0;
  for (size_t i = 0; i < lines.size(); ++i)
    if (lines[i].Depth == deviceDepth) devices.push_back(i);
  return devices;
}

}  // namespace

TNTreeData* BuildOldConfiguration(const TOldConfiguration& config, TTree& tree) {
  TNTreeData* newRoot = tree.CreateNode();
  std::vector<size_t> hdaDevices = DeviceLines(config.HdaLines);
  std::vector<size_t> daDevices = DeviceLines(config.DaLines);

  for (size_t d = 0; d < hdaDevices.size(); ++d) {
    size_t first = hdaDevices[d];
    TNTreeData* device = tree.AddChildNamed(newRoot, config.HdaLines[first].Caption);
    Fill(*device, config.HdaRecords[first]);
    device->Level = 0;
    // Each line's parent is the latest node one level up.
    std::vector<TNTreeData*> chain{device};
    for (size_t i = first + 1; i < SubtreeEnd(config.HdaLines, first); ++i) {
      size_t depth = static_cast<size_t>(config.HdaLines[i].Depth - config.HdaLines[first].Depth);
      chain.resize(depth);
      TNTreeData* node = tree.AddChildNamed(chain.back(), config.HdaLines[i].Caption);
      Fill(*node, config.HdaRecords[i]);
      node->Level = static_cast<uint8_t>(chain.back()->Level + 1);
      chain.push_back(node);
    }
    if (d >= daDevices.size()) continue;
    size_t daFirst = daDevices[d];
    std::vector<TNTreeData*> daChain{device};
    for (size_t i = daFirst + 1; i < SubtreeEnd(config.DaLines, daFirst); ++i) {
      size_t depth = static_cast<size_t>(config.DaLines[i].Depth - config.DaLines[daFirst].Depth);
      daChain.resize(depth);
      TNTreeData* parent = daChain.back();
      size_t before = parent->Children.size();
      TNTreeData* node = tree.FindOrAddChild(parent, config.DaLines[i].Caption);
      if (parent->Children.size() != before) {
        Fill(*node, config.DaRecords[i]);
        node->Level = static_cast<uint8_t>(parent->Level + 1);
      }
      daChain.push_back(node);
    }
  }
  return newRoot;
}

}  // namespace orvela
