#include "tree/TreeFile.h"

#include <gtest/gtest.h>

#include <functional>

#include "platform/Clock.h"
#include "tree/KopcStream.h"

namespace orvela {
namespace {

using Bytes = std::vector<uint8_t>;

// Root, two devices on different connections, branches and parameters with attribute values of every
// kind the stream holds.
struct TSampleTree {
  TTree tree;
  ManualClock clock{EncodeDateTime(2024, 5, 6, 7, 8, 9, 123)};
  TNTreeData* root = tree.Root();
  TNTreeData* device = nullptr;
  TNTreeData* parameter = nullptr;

  TSampleTree() {
    TConnKey key;
    key.ConnName = "Котельная";
    key.ConnType = 3;
    key.IP_Addr = "10.0.0.7";
    key.IP_Port = 4001;
    key.LinkAddress = "10.0.0.7:4001";
    device = AddDevice("Тарвел-1", 2, 5, "12345678", key);
    device->DriverNumber = 7;
    TNTreeData* current = tree.AddChildNamed(device, "Текущие данные");
    current->Kind = nkBranch;
    parameter = tree.AddChildNamed(current, "Значение");
    parameter->Kind = nkParameter;
    parameter->Address = 1;
    parameter->DriverNumber = -70000;
    const TVariant values[] = {TVariant::Int(4),       TVariant::Str("Значение"), TVariant::Str("Гкал"),
                               TVariant::Double(1.25), TVariant::Date(45000.5),   TVariant::Currency(5)};
    for (int i = 0; i < kAttributeCount; ++i)
      parameter->Attributes[i] = BuildAttribute(i + 1, values[i], clock);
    TNTreeData* flag = tree.AddChildNamed(current, "Статус");
    flag->Kind = nkGroupedParameter;
    flag->DAVisible = false;
    flag->Attributes[0] = BuildAttribute(1, TVariant::Bool(true), clock);
    flag->Attributes[1] = BuildAttribute(2, TVariant::Single(0.5f), clock);
    flag->Attributes[2] = BuildAttribute(3, TVariant::Null(), clock);

    TConnKey modem;
    modem.ConnName = "Модем";
    modem.ConnType = 1;
    modem.PortName = "COM2";
    modem.TelName = "89161234567";
    modem.LinkAddress = "COM2:89161234567";
    TNTreeData* second = AddDevice("Орликс", 4, 17, "00000017", modem);
    TNTreeData* archive = tree.AddChildNamed(second, "Почасовой архив");
    archive->Kind = nkBranch;
    archive->HDAVisible = true;
    tree.Renumber();
    tree.ShowTree(root, nullptr, nullptr);
  }

  TNTreeData* AddDevice(const std::string& name, uint8_t model, uint8_t address, const std::string& serial,
                        const TConnKey& key) {
    TNTreeData* d = tree.AddChildNamed(root, name);
    d->Kind = nkDevice;
    d->Level = 0;
    d->ModelCode = model;
    d->Address = address;
    d->Serial = serial;
    TTree::SetConnectionKey(d, key);
    return d;
  }
};

// The fields the file keeps, compared over the whole subtree.
void ExpectSameStored(const TNTreeData& a, const TNTreeData& b) {
  SCOPED_TRACE(a.Path);
  EXPECT_EQ(a.ModelCode, b.ModelCode);
  EXPECT_EQ(a.Kind, b.Kind);
  EXPECT_EQ(a.Address, b.Address);
  EXPECT_EQ(a.Level, b.Level);
  EXPECT_EQ(a.DriverNumber, b.DriverNumber);
  EXPECT_EQ(a.Name, b.Name);
  EXPECT_EQ(a.Handle, b.Handle);
  EXPECT_EQ(a.Serial, b.Serial);
  EXPECT_EQ(a.HDAVisible, b.HDAVisible);
  EXPECT_EQ(a.DAVisible, b.DAVisible);
  EXPECT_EQ(a.ConnKey, b.ConnKey);
  EXPECT_EQ(a.Attributes, b.Attributes);
  ASSERT_EQ(a.Children.size(), b.Children.size());
  EXPECT_EQ(static_cast<size_t>(b.StoredChildCount), b.Children.size());
  for (size_t i = 0; i < a.Children.size(); ++i) {
    EXPECT_EQ(b.Children[i]->Parent, &b);
    EXPECT_EQ(b.Children[i]->IndexInParent, static_cast<int32_t>(i));
    ExpectSameStored(*a.Children[i], *b.Children[i]);
  }
}

TEST(TreeFile, RoundTripKeepsEveryStoredField) {
  TSampleTree sample;
  const Bytes bytes = EncodeTree(*sample.root);
  TTree loaded;
  TNTreeData* root = DecodeTree(bytes, loaded);
  ExpectSameStored(*sample.root, *root);
  EXPECT_EQ(EncodeTree(*root), bytes);
}

// ---------------------------------------------------------------------------------------------------------
// Records written value by value, so that a test can leave out or spoil any one of them.

using TValueWriter = std::function<void(TKopcWriter&)>;

struct TRecord {
  std::string name = "node";
  int64_t kind = nkParameter;
  int32_t handle = 0;
  std::string serial;
  std::string portName;
  std::string attributeText;
  int64_t childCount = 0;
  bool withDriverNumber = true;
  // Overrides of single values; each may note where it starts.
  TValueWriter model, driverNumber, name_, hdaVisible, attributeValue, childCountValue;
};

void Write(TKopcWriter& w, const TRecord& r) {
  auto value = [&w](const TValueWriter& custom, const std::function<void()>& normal) {
    custom ? custom(w) : normal();
  };
  value(r.model, [&] { w.WriteInteger(2); });
  w.WriteInteger(r.kind);
  w.WriteInteger(3);  // address
  w.WriteInteger(1);  // level
  if (r.withDriverNumber) value(r.driverNumber, [&] { w.WriteInteger(9); });
  value(r.name_, [&] { w.WriteString(r.name); });
  w.WriteInteger(r.handle);
  w.WriteString(r.serial);
  value(r.hdaVisible, [&] { w.WriteBoolean(true); });
  w.WriteBoolean(false);
  w.WriteString("Линия");
  w.WriteInteger(0);
  w.WriteInteger(0);
  w.WriteString(r.portName);
  w.WriteString("");
  w.WriteString("");
  w.WriteInteger(0);
  w.WriteInteger(0);
  w.WriteString(r.portName);
  w.WriteInteger(kAttributeCount);
  for (int i = 1; i <= kAttributeCount; ++i) {
    w.WriteInteger(i);
    if (i == 2 && r.attributeValue)
      r.attributeValue(w);
    else
      w.WriteVariant(TVariant::Int(i * 10));
    w.WriteDateTime(45000.0 + i);
    w.WriteString(i == 2 ? r.attributeText : "");
  }
  value(r.childCountValue, [&] { w.WriteInteger(r.childCount); });
}

TRecord Rec(const std::function<void(TRecord&)>& edit) {
  TRecord r;
  edit(r);
  return r;
}

// A writer that notes where it starts, then writes.
TValueWriter At(size_t& offset, TValueWriter write) {
  return [&offset, write](TKopcWriter& w) {
    offset = w.Data().size();
    write(w);
  };
}

TEST(TreeFile, OlderRecordsWithoutDriverNumberLoadWithZero) {
  TKopcWriter w;
  Write(w, Rec([](TRecord& r) {
          r.name = "Устройства";
          r.kind = nkRoot;
          r.handle = 0x01000000;
          r.serial = "00000000";
          r.childCount = 1;
          r.withDriverNumber = false;
        }));
  Write(w, Rec([](TRecord& r) {
          r.name = "Прибор";
          r.kind = nkDevice;
          r.handle = 0x01000001;
          r.serial = "42";
          r.childCount = 1;
          r.withDriverNumber = false;
        }));
  // Records of both formats may meet in one file; a long name (tag 12) also starts an older record.
  Write(w, Rec([](TRecord& r) {
          r.name = std::string(300, 'n');
          r.handle = 0x01000002;
          r.withDriverNumber = false;
        }));
  TTree tree;
  TNTreeData* root = DecodeTree(w.Data(), tree);
  ASSERT_EQ(root->Children.size(), 1u);
  TNTreeData* device = root->Children[0];
  ASSERT_EQ(device->Children.size(), 1u);
  TNTreeData* parameter = device->Children[0];
  for (TNTreeData* n : {root, device, parameter}) EXPECT_EQ(n->DriverNumber, 0) << n->Name;
  EXPECT_EQ(device->Name, "Прибор");
  EXPECT_EQ(device->Handle, 0x01000001);
  EXPECT_EQ(device->Serial, "42");
  EXPECT_EQ(device->ConnKey.ConnName, "Линия");
  EXPECT_EQ(parameter->Name, std::string(300, 'n'));
  EXPECT_EQ(parameter->Attributes[5].Value, TVariant::Int(60));
}

TEST(TreeFile, OverlongTextsAreCutToTheirFieldsOnReading) {
  TKopcWriter w;
  Write(w, Rec([](TRecord& r) {
          r.portName = "COM123456";
          r.attributeText = std::string(300, 't');
        }));
  TTree tree;
  TNTreeData* node = DecodeTree(w.Data(), tree);
  EXPECT_EQ(node->ConnKey.PortName, "COM123");
  EXPECT_EQ(node->ConnKey.LinkAddress, "COM123456");  // 50 wide: fits
  EXPECT_EQ(node->Attributes[1].Text, std::string(255, 't'));
}

TEST(TreeFile, LongNameAndUnwritableValuesRoundTrip) {
  TSampleTree sample;
  sample.parameter->Name = std::string(256, 'N') + "Я";
  sample.parameter->Attributes[3].Value = TVariant::Int(1, VT_ARRAY | VT_R8);
  sample.parameter->Attributes[4].Time = DateTimeToSystemTime(EncodeDateTime(2024, 12, 1));
  sample.parameter->Attributes[4].Time.wMonth = 13;
  const Bytes bytes = EncodeTree(*sample.root);
  // The value the file cannot hold is -1 in the node as in the file.
  EXPECT_EQ(sample.parameter->Attributes[3].Value, TVariant::Int(-1));

  TTree loaded;
  TNTreeData* parameter = DecodeTree(bytes, loaded)->Children[0]->Children[0]->Children[0];
  EXPECT_EQ(parameter->Name, std::string(256, 'N') + "Я");
  EXPECT_EQ(parameter->Attributes[3].Value, TVariant::Int(-1));
  EXPECT_EQ(AttributeTimeToDateTime(parameter->Attributes[4].Time), 0.0);
}

TEST(TreeFile, DamagedFilesAreRefusedWithTheOffset) {
  size_t at = 0;
  auto nested = [](int depth) {
    TKopcWriter w;
    for (int i = 0; i < depth; ++i) Write(w, Rec([&](TRecord& r) { r.childCount = i + 1 < depth ? 1 : 0; }));
    return w.Take();
  };
  auto record = [](const std::function<void(TRecord&)>& edit) {
    TKopcWriter w;
    Write(w, Rec(edit));
    return w.Take();
  };
  const struct {
    const char* name;
    std::function<Bytes()> build;
    bool exactOffset;
    const char* reasonPart;
  } kCases[] = {
      {"driver number not an integer",
       [&] {
         return record([&](TRecord& r) {
           r.driverNumber = At(at, [](TKopcWriter& w) { w.WriteVariant(TVariant::Double(7)); });
         });
       },
       true, "driver number"},
      {"model code beyond a byte",
       [&] {
         return record([&](TRecord& r) { r.model = At(at, [](TKopcWriter& w) { w.WriteInteger(300); }); });
       },
       true, "model code"},
      {"child count far beyond the data",
       [&] {
         return record([&](TRecord& r) {
           r.childCountValue = At(at, [](TKopcWriter& w) { w.WriteInteger(0x7FFFFFFF); });
         });
       },
       true, "child count"},
      {"negative child count",
       [&] {
         return record(
             [&](TRecord& r) { r.childCountValue = At(at, [](TKopcWriter& w) { w.WriteInteger(-1); }); });
       },
       true, "child count"},
      {"unknown tag in an attribute value",
       [&] {
         TKopcWriter probe;
         Write(probe, Rec([&](TRecord& r) {
                 r.attributeValue = At(at, [](TKopcWriter& w) { w.WriteBoolean(true); });
               }));
         Bytes data = probe.Take();
         data[at] = 7;
         return data;
       },
       true, "tag 7"},
      {"integer where a boolean belongs",
       [&] {
         return record([&](TRecord& r) { r.hdaVisible = At(at, [](TKopcWriter& w) { w.WriteInteger(1); }); });
       },
       true, "boolean"},
      {"nesting deeper than the bound", [&] { return nested(kMaxTreeDepth + 2); }, false, "deeper"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const Bytes data = c.build();
    TTree tree;
    try {
      DecodeTree(data, tree);
      ADD_FAILURE() << "accepted";
    } catch (const EFormatError& e) {
      if (c.exactOffset) {
        EXPECT_EQ(e.Offset(), at);
      }
      EXPECT_LE(e.Offset(), data.size());
      EXPECT_NE(e.Reason().find(c.reasonPart), std::string::npos) << e.Reason();
    }
  }

  // A name whose long-string length points far past the end of the file.
  TKopcWriter w;
  Write(w, Rec([](TRecord& r) { r.name = "x"; }));
  Bytes data = w.Take();
  const Bytes marker = {ktString, 1, 'x'};
  auto it = std::search(data.begin(), data.end(), marker.begin(), marker.end());
  ASSERT_NE(it, data.end());
  const size_t nameAt = static_cast<size_t>(it - data.begin());
  data.erase(it, it + 3);
  const Bytes huge = {ktLongString, 0xF0, 0xFF, 0xFF, 0xFF};
  data.insert(data.begin() + static_cast<std::ptrdiff_t>(nameAt), huge.begin(), huge.end());
  TTree tree;
  try {
    DecodeTree(data, tree);
    ADD_FAILURE() << "a huge name length was accepted";
  } catch (const EFormatError& e) {
    EXPECT_EQ(e.Offset(), nameAt);
  }
}

// A child count damaged downwards leaves whole records behind the root record: they are damage, not
// something to drop on the next save.
TEST(TreeFile, AnythingAfterTheRootRecordIsDamage) {
  auto file = [](int64_t rootChildCount, size_t& secondChildAt) {
    TKopcWriter w;
    Write(w, Rec([&](TRecord& r) { r.childCount = rootChildCount; }));
    Write(w, Rec([](TRecord& r) { r.name = "first"; }));
    secondChildAt = w.Data().size();
    Write(w, Rec([](TRecord& r) { r.name = "second"; }));
    return w.Take();
  };
  size_t secondAt = 0;
  TTree whole;
  EXPECT_EQ(DecodeTree(file(2, secondAt), whole)->Children.size(), 2u);

  Bytes oneByteMore = file(2, secondAt);
  oneByteMore.push_back(0);
  const struct {
    const char* name;
    Bytes data;
    size_t offset;
  } kCases[] = {
      {"child count 2 damaged to 1", file(1, secondAt), secondAt},
      {"one byte after a whole tree", oneByteMore, oneByteMore.size() - 1},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    TTree tree;
    try {
      DecodeTree(c.data, tree);
      ADD_FAILURE() << "accepted";
    } catch (const EFormatError& e) {
      EXPECT_EQ(e.Offset(), c.offset);
      EXPECT_NE(e.Reason().find("after the root record"), std::string::npos) << e.Reason();
    }
  }
}

TEST(TreeFile, NestingUpToTheBoundLoads) {
  TKopcWriter w;
  for (int i = 0; i <= kMaxTreeDepth; ++i)
    Write(w, Rec([&](TRecord& r) { r.childCount = i < kMaxTreeDepth ? 1 : 0; }));
  TTree tree;
  const TNTreeData* node = DecodeTree(w.Data(), tree);
  int depth = 0;
  while (!node->Children.empty()) node = node->Children[0], ++depth;
  EXPECT_EQ(depth, kMaxTreeDepth);
}

TEST(TreeFile, EveryTruncationIsRefused) {
  TSampleTree sample;
  const Bytes bytes = EncodeTree(*sample.root);
  for (size_t cut = 0; cut < bytes.size(); ++cut) {
    TTree tree;
    try {
      DecodeTree(std::span(bytes).first(cut), tree);
      ADD_FAILURE() << "a file cut at " << cut << " of " << bytes.size() << " was accepted";
    } catch (const EFormatError& e) {
      EXPECT_LE(e.Offset(), cut);
    }
  }
}

TEST(TreeFile, TreeTooDeepToReadBackIsNotWritten) {
  TTree tree;
  TNTreeData* node = tree.Root();
  for (int i = 0; i <= kMaxTreeDepth; ++i) node = tree.AddChildNamed(node, "n");
  EXPECT_THROW(EncodeTree(*tree.Root()), EFormatError);
}

}  // namespace
}  // namespace orvela
