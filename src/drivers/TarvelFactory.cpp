#include "drivers/TarvelFactory.h"

#include <array>

#include "drivers/Tarvel2001.h"
#include "links/TcpConnectionPort.h"
#include "links/UdpConnectionPort.h"
#include "platform/JournalSink.h"
#include "protocols/XModemProtocol.h"
#include "tree/TreeItem.h"

namespace orvela {
namespace {

using enum TModelClass;

// Per model code: the class on protocol kinds 0 (XModem), 3 (closed-library framing), 1 (ModBus) and any
// other kind.
struct TModelRow {
  uint8_t code;
  TModelClass xmodem;
  TModelClass closedLibrary;
  TModelClass modbus;
  TModelClass other;
};
constexpr std::array kModelTable = {
    TModelRow{mcTarvelM, TarvelM, TarvelM, TarvelM_MB, None},
    TModelRow{mcTarvel2001, Tarvel2001, Tarvel2001, Tarvel2001_MB, None},
    TModelRow{mcTarvelF, TarvelF, TarvelF, TarvelF_MB, None},
    TModelRow{mcOrlix, KOrlix_XM, None, KOrlix_MB, None},
    TModelRow{mcZelio, KZelio, KZelio, KZelio, KZelio},
    TModelRow{mcModBus, KM, KM, KM, KM},
    TModelRow{mcTarvelKompakt, TarvelKom, TarvelKom, TarvelKom, TarvelKom},
    TModelRow{mcCE6822, KCe6822, KCe6822, KCe6822, KCe6822},
    TModelRow{mcIntelekon, KIntelekon, KIntelekon, KIntelekon, KIntelekon},
    TModelRow{mcNeyron, KNeyron, KNeyron, KNeyron, KNeyron},
    TModelRow{mcTarvel307, KOrlix_MB307, KOrlix_MB307, KOrlix_MB307, KOrlix_MB307},
};

// The Tarvel Kompakt line runs with two stop bits.
constexpr int kLineParamStopBits = 1;
constexpr int kTwoStopBits = 2;

// Runs the look-up on the main thread through the owner, as every access to the configured connections.
TConnSettings* LookUpSettings(const TConnKey& key, ILinkOwner* owner, IConnectionCatalog* catalog) {
  if (catalog == nullptr) return nullptr;
  TConnSettings* settings = nullptr;
  auto lookUp = [&] { settings = catalog->FindSettings(key); };
  if (owner != nullptr)
    owner->Synchronize(lookUp);
  else
    lookUp();
  return settings;
}

IChannelLog* OrderOf(const TConnKey& key, IConnectionCatalog* catalog) {
  return catalog != nullptr ? catalog->FindOrder(key) : nullptr;
}

}  // namespace

TModelClass TTarvelFactory::ModelClassFor(uint8_t modelCode, uint8_t protKind) {
  for (const TModelRow& row : kModelTable) {
    if (row.code != modelCode) continue;
    switch (static_cast<TProtKind>(protKind)) {
      case TProtKind::XModem:
        return row.xmodem;
      case TProtKind::Ob:
        return row.closedLibrary;
      case TProtKind::ModBus:
        return row.modbus;
      default:
        return row.other;
    }
  }
  return None;
}

std::unique_ptr<TConnectionDevice> TTarvelFactory::MakeLink(uint8_t connKind, TConnSettings* settings) {
  switch (static_cast<TConnKind>(connKind)) {
    case TConnKind::Udp:
      return std::make_unique<TUdpConnectionPort>(settings);
    case TConnKind::TcpClient:
      return std::make_unique<TTCPConnectionPort>(settings);
    default:
      // Serial line, modem, closed library and inbound server come with their links.
      return nullptr;
  }
}

std::unique_ptr<TConnectionDevice> TTarvelFactory::CreateLink(const TConnKey& key, ILinkOwner* owner,
                                                              IConnectionCatalog* catalog) {
  TConnSettings* settings = LookUpSettings(key, owner, catalog);
  std::unique_ptr<TConnectionDevice> link = MakeLink(key.ConnType, settings);
  if (!link) return nullptr;
  if (key.ConnType == static_cast<uint8_t>(TConnKind::DialUpModem))
    link->AttachThread(owner);
  else
    link->SetOwner(owner);
  link->SetOrder(OrderOf(key, catalog));
  return link;
}

std::unique_ptr<TProtocol> TTarvelFactory::CreateFraming(uint8_t protKind, ILinkOwner* owner) {
  std::unique_ptr<TProtocol> framing;
  switch (static_cast<TProtKind>(protKind)) {
    case TProtKind::XModem:
      framing = std::make_unique<XModemProtocol>();
      break;
    default:
      // ModBus, M-Bus, the closed-library, Electro, Intel and Neyron framings come with their families.
      return nullptr;
  }
  framing->SetOwner(owner);
  return framing;
}

std::unique_ptr<TDataModel> TTarvelFactory::MakeModel(TModelClass cls, std::unique_ptr<TProtocol> framing,
                                                      ILinkOwner* owner, TConnectionDevice* link) {
  switch (cls) {
    case Tarvel2001:
      return std::make_unique<TTarvel2001>(std::move(framing), owner, link);
    default:
      // The other families answer "no data model" until their drivers exist.
      return nullptr;
  }
}

std::unique_ptr<TDataModel> TTarvelFactory::CreateModel(uint8_t modelCode, const TConnKey& key,
                                                        ILinkOwner* owner, TConnectionDevice* link,
                                                        IConnectionCatalog* catalog) {
  TModelClass cls = ModelClassFor(modelCode, key.ProtType);
  if (cls == None || link == nullptr) return nullptr;
  std::unique_ptr<TProtocol> framing = CreateFraming(key.ProtType, owner);
  if (!framing) return nullptr;
  std::unique_ptr<TDataModel> model = MakeModel(cls, std::move(framing), owner, link);
  if (!model) return nullptr;
  model->SetOrder(OrderOf(key, catalog));
  if (modelCode == mcTarvelKompakt) link->SetLineParam(kLineParamStopBits, kTwoStopBits);
  return model;
}

std::unique_ptr<TDataModel> TTarvelFactory::CreateModelWithLink(uint8_t modelCode, const TConnKey& key,
                                                                ILinkOwner* owner,
                                                                IConnectionCatalog* catalog) {
  TConnSettings* settings = LookUpSettings(key, owner, catalog);
  if (settings == nullptr) {
    JournalLine("Соединение не найдено", key.ConnName);
    return nullptr;
  }
  auto prot = static_cast<TProtKind>(key.ProtType);
  if (prot != TProtKind::XModem && prot != TProtKind::ModBus && prot != TProtKind::Ob) return nullptr;
  TModelClass cls = ModelClassFor(modelCode, key.ProtType);
  std::unique_ptr<TProtocol> framing = CreateFraming(key.ProtType, owner);
  if (cls == None || !framing) return nullptr;

  auto kind = static_cast<TConnKind>(key.ConnType);
  // UDP and the closed library get no settings here.
  bool withSettings = kind != TConnKind::Udp && kind != TConnKind::ClosedLibrary;
  std::unique_ptr<TConnectionDevice> link = MakeLink(key.ConnType, withSettings ? settings : nullptr);
  if (!link) return nullptr;
  if (kind == TConnKind::DialUpModem)
    link->AttachThread(owner);
  else if (withSettings)
    link->SetOwner(owner);

  // Only the Tarvel M driver gets the owner thread here.
  ILinkOwner* modelOwner = cls == TarvelM ? owner : nullptr;
  std::unique_ptr<TDataModel> model = MakeModel(cls, std::move(framing), modelOwner, link.get());
  if (!model) return nullptr;
  model->SetOrder(OrderOf(key, catalog));
  if (modelCode == mcTarvelKompakt) link->SetLineParam(kLineParamStopBits, kTwoStopBits);
  link->SetOwnedByModel(true);
  link.release();  // the model destroys it with itself
  return model;
}

std::unique_ptr<TDataModel> TTarvelFactory::CreateScanModel(uint8_t protKind, TConnectionDevice* link,
                                                            ILinkOwner* owner) {
  auto prot = static_cast<TProtKind>(protKind);
  if (prot != TProtKind::XModem && prot != TProtKind::ModBus && prot != TProtKind::Ob) return nullptr;
  std::unique_ptr<TProtocol> framing = CreateFraming(protKind, owner);
  if (!framing || link == nullptr) return nullptr;
  return std::make_unique<TDataModel>(std::move(framing), nullptr, link);
}

}  // namespace orvela
