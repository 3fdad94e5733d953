#pragma once
// The device families, one row per model code: names, the data model on each protocol kind, how the line
// scan recognises the family and what the line needs. The factory, the line scan, orvelactl and the
// simulator all read this table; a new family is its driver files plus one row here.
//
// The simulator reads only names and codes, and only at compile time (the consteval look-ups below), so it
// never links the drivers: a run-time use of the table from sim/ fails to link on purpose.
#include <array>
#include <cstdint>
#include <memory>
#include <string_view>

#include "tree/TreeItem.h"

namespace orvela {

class TDataModel;
class TProtocol;
class TConnectionDevice;
class ILinkOwner;

// The driver classes the table names (defined in their own files).
class TTarvelDataModel;
class TTarvel2001;
class TTarvelF;
class TTarvelM;
class TKOrlix_MB;
class TKOrlix_XM;
class TKZelio;
class TKM;

// Makes one driver class on a framing and a link; defined for each class in Families.cpp.
using TModelMaker = std::unique_ptr<TDataModel> (*)(std::unique_ptr<TProtocol> framing, ILinkOwner* owner,
                                                    TConnectionDevice* link);
template <class TModel>
std::unique_ptr<TDataModel> MakeModelOf(std::unique_ptr<TProtocol> framing, ILinkOwner* owner,
                                        TConnectionDevice* link);

// One cell of the model-code x protocol-kind table: the class the descriptions name (empty: no data
// model) and its maker (nullptr while the driver is not built).
struct TModelCell {
  std::string_view className;
  TModelMaker make = nullptr;
};

// The class of a family on each protocol kind: XModem, closed-library framing, ModBus, any other kind.
enum TModelColumn : uint8_t { kcXModem, kcClosedLibrary, kcModBus, kcOther, kModelColumns };
using TModelClasses = std::array<TModelCell, kModelColumns>;

constexpr TModelCell kNoModel{};
constexpr TModelCell ModelCell(std::string_view className, TModelMaker make = nullptr) {
  return {className, make};
}
// The maker's meters: the same messages on XModem and the closed-library framing, a tunnel on ModBus. The
// ModBus framing carries the messages through the tunnel itself, so a tunnel class is its family's driver
// on that framing.
constexpr TModelClasses MakerClasses(TModelCell messages, TModelCell tunnel) {
  return {messages, messages, tunnel, kNoModel};
}
// A family whose one class serves every protocol kind.
constexpr TModelClasses OneClass(std::string_view className, TModelMaker make = nullptr) {
  TModelCell cell = ModelCell(className, make);
  return {cell, cell, cell, cell};
}

// Which answer of the line scan's identification names a family, by its low four bits.
enum class TIdentifyStage : uint8_t {
  None,    // the scan does not recognise the family
  First,   // low nibble of answer byte 6 to the list question
  Second,  // low nibble of the answer code to the model question (after a self-describing first answer)
};

struct TFamily {
  uint8_t code;
  std::string_view key;  // ASCII key for command lines and the simulator
  std::string_view ru;   // name as the device tree shows it (trailing blanks included)
  std::string_view en;   // the same in English mode
  TModelClasses classes;
  TIdentifyStage identifyStage = TIdentifyStage::None;
  uint8_t identifyNibble = 0;
  // The second answer names the family even when the device refuses the question.
  bool namedByRefusal = false;
  // Stop bits the line must run with; 0 leaves the connection's own setting.
  uint8_t stopBits = 0;
  // Only this family's data model gets the owner thread when the tree controllers add a device.
  bool ownerWhenAdded = false;
  // The model a scan reads the serial number through while the family has no driver of its own.
  TModelMaker serialReader = nullptr;
  // The access mode of a node the family's driver builds (1 read, 2 read and write, 3 write): the tree
  // file keeps no access mode, so a loaded tree learns it here. nullptr: read only.
  uint16_t (*nodeAccess)(const TNTreeData& node) = nullptr;
};

// Access modes of the controllers' nodes.
uint16_t ZelioNodeAccess(const TNTreeData& node);
uint16_t KmNodeAccess(const TNTreeData& node);

// Columns: code, key, Russian and English names, the classes by protocol kind; then the scan's identification
// (stage, nibble, named by refusal), stop bits, owner when added, serial reader. Columns left out keep their
// defaults.
// clang-format off
inline constexpr std::array kFamilies = {
    TFamily{mcTarvelM, "tarvelm", "ТАРВЕЛ-М  ", "TARVEL-M  ",
            MakerClasses(ModelCell("TTarvelM", &MakeModelOf<TTarvelM>),
                         ModelCell("TTarvelM_MB", &MakeModelOf<TTarvelM>)),
            TIdentifyStage::First, 8, false, 0, true},
    TFamily{mcTarvel2001, "tarvel2001", "ТАРВЕЛ мод.2001  ", "TARVEL2001  ",
            MakerClasses(ModelCell("TTarvel2001", &MakeModelOf<TTarvel2001>),
                         ModelCell("TTarvel2001_MB", &MakeModelOf<TTarvel2001>)),
            TIdentifyStage::Second, 8},
    // The F meter answers the family's own serial request, so the family base reads it for a scan.
    TFamily{mcTarvelF, "tarvelf", "ТАРВЕЛ  ", "ТАРВЕЛ  ",
            MakerClasses(ModelCell("TTarvelF", &MakeModelOf<TTarvelF>),
                         ModelCell("TTarvelF_MB", &MakeModelOf<TTarvelF>)),
            TIdentifyStage::Second, 3, true, 0, false, &MakeModelOf<TTarvelDataModel>},
    TFamily{mcOrlix, "orlix", "Орликс  ", "ORLIX  ",
            {ModelCell("TKOrlix_XM", &MakeModelOf<TKOrlix_XM>), kNoModel,
             ModelCell("TKOrlix_MB", &MakeModelOf<TKOrlix_MB>), kNoModel}},
    TFamily{mcZelio, "zelio", "Zelio", "Zelio", OneClass("TKZelio", &MakeModelOf<TKZelio>),
            TIdentifyStage::None, 0, false, 0, false, nullptr, &ZelioNodeAccess},
    TFamily{mcModBus, "km", "КМ", "КМ", OneClass("TKM", &MakeModelOf<TKM>),
            TIdentifyStage::None, 0, false, 0, false, nullptr, &KmNodeAccess},
    TFamily{mcTarvelKompakt, "tarvelkom", "ТАРВЕЛ-Компакт", "ТАРВЕЛ-Компакт", OneClass("TTarvelKom"),
            TIdentifyStage::None, 0, false, 2},
    TFamily{mcCE6822, "ce6822", "Ce6822 ", "Ce6822 ", OneClass("TKCe6822")},
    TFamily{mcIntelekon, "intelekon", "Интелекон ", "Intelekon ", OneClass("TKIntelekon")},
    TFamily{mcNeyron, "neyron", "Нейрон ", "Neyron ", OneClass("TKNeyron")},
    TFamily{mcTarvel307, "tarvel307", "ТАРВЕЛ-307  ", "TARVEL-307  ", OneClass("TKOrlix_MB307")},
};
// clang-format on

// The row of a model code; nullptr for codes without a family (11, 44 and any other).
constexpr const TFamily* FindFamily(uint8_t code) {
  for (const TFamily& family : kFamilies)
    if (family.code == code) return &family;
  return nullptr;
}

// The family an identification answer names; nullptr when none.
constexpr const TFamily* FamilyIdentifiedBy(TIdentifyStage stage, uint8_t nibble) {
  if (stage == TIdentifyStage::None) return nullptr;
  for (const TFamily& family : kFamilies)
    if (family.identifyStage == stage && family.identifyNibble == nibble) return &family;
  return nullptr;
}

// The access mode of a node: its own when a driver set one, else what its family's driver gives it.
uint16_t NodeAccessMode(const TNTreeData& node);

// The name the tree gives a family, without the trailing blanks; empty for an unknown code.
constexpr std::string_view FamilyDisplayName(uint8_t code, bool english = false) {
  const TFamily* family = FindFamily(code);
  if (family == nullptr) return {};
  std::string_view name = english ? family->en : family->ru;
  return name.substr(0, name.find_last_not_of(' ') + 1);
}

// The protocol kinds, one row each: which column of the family table they read and their framing.
using TFramingMaker = std::unique_ptr<TProtocol> (*)();
struct TFramingKind {
  TProtKind kind;
  TModelColumn column;
  TFramingMaker make;  // nullptr while the framing is not built
  bool makerMessages;  // carries the maker's own messages: the line scan and adding devices use it
};
// nullptr for a kind outside the list (it reads the "other" column and has no framing).
const TFramingKind* FindFramingKind(uint8_t protKind);
// The cell of a model code on a protocol kind; an empty cell for codes without a family.
TModelCell ModelCellFor(uint8_t code, uint8_t protKind);

// Compile-time look-ups for code that must not link the drivers (the simulator).
consteval std::string_view FamilyKey(uint8_t code) {
  for (const TFamily& family : kFamilies)
    if (family.code == code) return family.key;
  return {};
}

}  // namespace orvela
