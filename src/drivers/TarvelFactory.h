#pragma once
// The device factory: links, framings and data models made from configuration records. The caller owns
// what it gets; a code or kind without a class gives nullptr, and callers check for it.
#include <cstdint>
#include <memory>
#include <string_view>

#include "drivers/DataModel.h"
#include "links/records/ConnRecords.h"

namespace orvela {

// What the factory looks up about a connection: the settings record the operator configured (shared by
// every link of the connection) and the connection order the engine runs for it. Implemented by whoever
// keeps the connections (the engine, a command-line tool).
class IConnectionCatalog {
 public:
  virtual ~IConnectionCatalog() = default;
  // nullptr when the connection is not configured.
  virtual TConnSettings* FindSettings(const TConnKey& key) = 0;
  // nullptr when no order runs for the connection.
  virtual IChannelLog* FindOrder(const TConnKey& key) = 0;
};

class TTarvelFactory {
 public:
  TTarvelFactory() = delete;

  // The class the family table gives a model code on a protocol kind (empty: no data model at all).
  static std::string_view ModelClassFor(uint8_t modelCode, uint8_t protKind);

  // A link of the key's connection kind with the connection's shared settings (looked up on the main
  // thread through the owner) and the connection's order.
  static std::unique_ptr<TConnectionDevice> CreateLink(const TConnKey& key, ILinkOwner* owner,
                                                       IConnectionCatalog* catalog = nullptr);
  // The framing of a protocol kind.
  static std::unique_ptr<TProtocol> CreateFraming(uint8_t protKind, ILinkOwner* owner);
  // The data model of a device on a link the caller keeps (used by the reader thread), wired with the
  // process's settings, naming and terminate flag.
  static std::unique_ptr<TDataModel> CreateModel(uint8_t modelCode, const TConnKey& key, ILinkOwner* owner,
                                                 TConnectionDevice* link,
                                                 const TModelEnvironment& environment,
                                                 IConnectionCatalog* catalog = nullptr);
  // The data model with a fresh link of its own (the model owns it) for the tree controllers; nullptr and a
  // journal line "Соединение не найдено" when the connection is not configured.
  static std::unique_ptr<TDataModel> CreateModelWithLink(uint8_t modelCode, const TConnKey& key,
                                                         ILinkOwner* owner,
                                                         const TModelEnvironment& environment,
                                                         IConnectionCatalog* catalog);
  // A plain TDataModel on the given link for the line scan (protocol kinds 0, 1 and 3).
  static std::unique_ptr<TDataModel> CreateScanModel(uint8_t protKind, TConnectionDevice* link,
                                                     ILinkOwner* owner, const TModelEnvironment& environment);

 private:
  static std::unique_ptr<TConnectionDevice> MakeLink(uint8_t connKind, TConnSettings* settings);
  // The family's model on a fresh framing of the key's protocol kind, with the connection's order and the
  // line parameters the family needs; nullptr for a family or framing not built yet.
  static std::unique_ptr<TDataModel> MakeModel(uint8_t modelCode, const TConnKey& key, ILinkOwner* owner,
                                               ILinkOwner* modelOwner, TConnectionDevice* link,
                                               const TModelEnvironment& environment,
                                               IConnectionCatalog* catalog);
};

}  // namespace orvela
