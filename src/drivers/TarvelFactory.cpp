#include "drivers/TarvelFactory.h"

#include "drivers/Families.h"
#include "links/CommPort.h"
#include "links/ModemCommPort.h"
#include "links/TcpConnectionPort.h"
#include "links/TcpConnectionServer.h"
#include "links/UdpConnectionPort.h"
#include "platform/JournalSink.h"
#include "protocols/ModBusProtocol.h"

namespace orvela {
namespace {

// Runs the look-up on the main thread through the owner, as every access to the configured connections.
TConnSettings* LookUpSettings(const TConnKey& key, ILinkOwner* owner, IConnectionCatalog* catalog) {
  if (catalog == nullptr) return nullptr;
  TConnSettings* settings = nullptr;
  RunInOwner(owner, [&] { settings = catalog->FindSettings(key); });
  return settings;
}

IChannelLog* OrderOf(const TConnKey& key, IConnectionCatalog* catalog) {
  return catalog != nullptr ? catalog->FindOrder(key) : nullptr;
}

}  // namespace

std::string_view TTarvelFactory::ModelClassFor(uint8_t modelCode, uint8_t protKind) {
  return ModelCellFor(modelCode, protKind).className;
}

std::unique_ptr<TConnectionDevice> TTarvelFactory::MakeLink(uint8_t connKind, TConnSettings* settings) {
  switch (static_cast<TConnKind>(connKind)) {
    case TConnKind::SerialLine:
      return std::make_unique<TLineCommPort>(settings);
    case TConnKind::DialUpModem:
      return std::make_unique<TModemCommPort>(settings);
    case TConnKind::Udp:
      return std::make_unique<TUdpConnectionPort>(settings);
    case TConnKind::TcpClient:
      return std::make_unique<TTCPConnectionPort>(settings);
    case TConnKind::InboundGprs:
      return std::make_unique<TTCPConnectionServer>(settings);
    default:
      // The closed library comes with its link.
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
  const TFramingKind* kind = FindFramingKind(protKind);
  if (kind == nullptr || kind->make == nullptr) return nullptr;
  std::unique_ptr<TProtocol> framing = kind->make();
  framing->SetOwner(owner);
  return framing;
}

std::unique_ptr<TDataModel> TTarvelFactory::MakeModel(uint8_t modelCode, const TConnKey& key,
                                                      ILinkOwner* owner, ILinkOwner* modelOwner,
                                                      TConnectionDevice* link,
                                                      const TModelEnvironment& environment,
                                                      IConnectionCatalog* catalog) {
  TModelMaker make = ModelCellFor(modelCode, key.ProtType).make;
  if (make == nullptr || link == nullptr) return nullptr;
  std::unique_ptr<TProtocol> framing = CreateFraming(key.ProtType, owner);
  if (!framing) return nullptr;
  if (auto* modbus = dynamic_cast<ModBusProtocol*>(framing.get()))
    modbus->SetRequestPauseMs(environment.Settings.RequestPauseMs);
  std::unique_ptr<TDataModel> model = make(std::move(framing), modelOwner, link);
  model->SetOrder(OrderOf(key, catalog));
  model->SetEnvironment(environment);
  if (uint8_t stopBits = FindFamily(modelCode)->stopBits; stopBits != 0)
    link->SetLineParam(kLineParamStopBits, stopBits);
  return model;
}

std::unique_ptr<TDataModel> TTarvelFactory::CreateModel(uint8_t modelCode, const TConnKey& key,
                                                        ILinkOwner* owner, TConnectionDevice* link,
                                                        const TModelEnvironment& environment,
                                                        IConnectionCatalog* catalog) {
  return MakeModel(modelCode, key, owner, owner, link, environment, catalog);
}

std::unique_ptr<TDataModel> TTarvelFactory::CreateModelWithLink(uint8_t modelCode, const TConnKey& key,
                                                                ILinkOwner* owner,
                                                                const TModelEnvironment& environment,
                                                                IConnectionCatalog* catalog) {
  TConnSettings* settings = LookUpSettings(key, owner, catalog);
  if (settings == nullptr) {
    JournalLine("Соединение не найдено", key.ConnName);
    return nullptr;
  }
  const TFramingKind* framingKind = FindFramingKind(key.ProtType);
  if (framingKind == nullptr || !framingKind->makerMessages) return nullptr;

  auto kind = static_cast<TConnKind>(key.ConnType);
  // UDP and the closed library get no settings here.
  bool withSettings = kind != TConnKind::Udp && kind != TConnKind::ClosedLibrary;
  std::unique_ptr<TConnectionDevice> link = MakeLink(key.ConnType, withSettings ? settings : nullptr);
  if (!link) return nullptr;
  if (kind == TConnKind::DialUpModem)
    link->AttachThread(owner);
  else if (withSettings)
    link->SetOwner(owner);

  const TFamily* family = FindFamily(modelCode);
  ILinkOwner* modelOwner = family != nullptr && family->ownerWhenAdded ? owner : nullptr;
  std::unique_ptr<TDataModel> model =
      MakeModel(modelCode, key, owner, modelOwner, link.get(), environment, catalog);
  if (!model) return nullptr;
  model->AdoptLink(std::move(link));
  return model;
}

std::unique_ptr<TDataModel> TTarvelFactory::CreateScanModel(uint8_t protKind, TConnectionDevice* link,
                                                            ILinkOwner* owner,
                                                            const TModelEnvironment& environment) {
  const TFramingKind* kind = FindFramingKind(protKind);
  if (kind == nullptr || !kind->makerMessages) return nullptr;
  std::unique_ptr<TProtocol> framing = CreateFraming(protKind, owner);
  if (!framing || link == nullptr) return nullptr;
  if (auto* modbus = dynamic_cast<ModBusProtocol*>(framing.get()))
    modbus->SetRequestPauseMs(environment.Settings.RequestPauseMs);
  auto model = std::make_unique<TDataModel>(std::move(framing), nullptr, link);
  model->SetEnvironment(environment);
  return model;
}

}  // namespace orvela
