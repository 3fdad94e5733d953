#include "drivers/Families.h"

#include "drivers/Orlix.h"
#include "drivers/Tarvel2001.h"
#include "drivers/TarvelDataModel.h"
#include "drivers/TarvelF.h"
#include "drivers/TarvelM.h"
#include "drivers/Zelio.h"
#include "protocols/MBusProtocol.h"
#include "protocols/ModBusProtocol.h"
#include "protocols/XModemProtocol.h"

namespace orvela {

template <class TModel>
std::unique_ptr<TDataModel> MakeModelOf(std::unique_ptr<TProtocol> framing, ILinkOwner* owner,
                                        TConnectionDevice* link) {
  return std::make_unique<TModel>(std::move(framing), owner, link);
}

// Every class the table makes.
template std::unique_ptr<TDataModel> MakeModelOf<TTarvelDataModel>(std::unique_ptr<TProtocol>, ILinkOwner*,
                                                                   TConnectionDevice*);
template std::unique_ptr<TDataModel> MakeModelOf<TTarvel2001>(std::unique_ptr<TProtocol>, ILinkOwner*,
                                                              TConnectionDevice*);
template std::unique_ptr<TDataModel> MakeModelOf<TTarvelF>(std::unique_ptr<TProtocol>, ILinkOwner*,
                                                           TConnectionDevice*);
template std::unique_ptr<TDataModel> MakeModelOf<TTarvelM>(std::unique_ptr<TProtocol>, ILinkOwner*,
                                                           TConnectionDevice*);
template std::unique_ptr<TDataModel> MakeModelOf<TKOrlix_MB>(std::unique_ptr<TProtocol>, ILinkOwner*,
                                                             TConnectionDevice*);
template std::unique_ptr<TDataModel> MakeModelOf<TKOrlix_XM>(std::unique_ptr<TProtocol>, ILinkOwner*,
                                                             TConnectionDevice*);
template std::unique_ptr<TDataModel> MakeModelOf<TKZelio>(std::unique_ptr<TProtocol>, ILinkOwner*,
                                                          TConnectionDevice*);
template std::unique_ptr<TDataModel> MakeModelOf<TKM>(std::unique_ptr<TProtocol>, ILinkOwner*,
                                                      TConnectionDevice*);

namespace {

template <class TFraming>
std::unique_ptr<TProtocol> MakeFramingOf() {
  return std::make_unique<TFraming>();
}

// The closed-library, Electro, Intel and Neyron framings come with their families.
constexpr std::array kFramingKinds = {
    TFramingKind{TProtKind::XModem, kcXModem, &MakeFramingOf<XModemProtocol>, true},
    TFramingKind{TProtKind::ModBus, kcModBus, &MakeFramingOf<ModBusProtocol>, true},
    TFramingKind{TProtKind::MBus, kcOther, &MakeFramingOf<MBusProtocol>, false},
    TFramingKind{TProtKind::Ob, kcClosedLibrary, nullptr, true},
    TFramingKind{TProtKind::Electro, kcOther, nullptr, false},
    TFramingKind{TProtKind::Intel, kcOther, nullptr, false},
    TFramingKind{TProtKind::Neyron, kcOther, nullptr, false},
};

}  // namespace

uint16_t NodeAccessMode(const TNTreeData& node) {
  if (node.AccessMode != 0) return node.AccessMode;
  const TFamily* family = FindFamily(node.ModelCode);
  return family != nullptr && family->nodeAccess != nullptr ? family->nodeAccess(node) : 0;
}

const TFramingKind* FindFramingKind(uint8_t protKind) {
  for (const TFramingKind& row : kFramingKinds)
    if (static_cast<uint8_t>(row.kind) == protKind) return &row;
  return nullptr;
}

TModelCell ModelCellFor(uint8_t code, uint8_t protKind) {
  const TFamily* family = FindFamily(code);
  if (family == nullptr) return {};
  const TFramingKind* framing = FindFramingKind(protKind);
  return family->classes[framing != nullptr ? framing->column : kcOther];
}

}  // namespace orvela
