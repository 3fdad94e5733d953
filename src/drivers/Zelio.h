#pragma once
// Small programmable controllers read over ModBus RTU: the Zelio controller (registers, a status byte, the
// clock) and the generic ModBus controller "КМ" (four discrete inputs and one coil). Both build their
// fixed trees themselves and offer current data only.
#include <cstdint>
#include <string>
#include <vector>

#include "drivers/DataModel.h"

namespace orvela {

namespace zelio {
// Node addresses of the Zelio tree.
inline constexpr uint8_t kClock = ' ';
inline constexpr uint8_t kStatus = '0';
// The KM's coil node and the branch of its inputs.
inline constexpr uint8_t kCoil = 4;
inline constexpr uint8_t kInputs = 2;
}  // namespace zelio

class TZelioDataModel : public TDataModel {
 public:
  using TDataModel::TDataModel;

  bool ReadArchive(TPrbArray& result, TNTreeData* node, TDateTime from) override;
  bool ReadCurrent(TPrbArray& result, TNTreeData* node, int mode) override;
  bool WriteCurrent(TPrbArray& result, TNTreeData* node, int mode) override;
  // Not found by the maker's scan: the operator names the model.
  bool IdentifyDevice(uint8_t address, uint8_t& model) override;
  // The controllers keep no clock of their own worth checking: the computer's time.
  bool ReadDeviceClock(uint8_t address, TDateTime& time) override;

  virtual bool ReadNodeValue(TPrbArray& result);
  virtual bool ReadTimerValue(TPrbArray& result);
  virtual bool WriteNodeValue(TPrbArray& result);
  virtual bool WriteClock(TPrbArray& result);

 protected:
  uint8_t DeviceAddress() const;
  // One transaction, at most `attempts` tries, until a reply passes the checks against the request: a
  // read's byte count, a write's echo. The reply stays in reply_.
  bool Ask(int code, const std::vector<uint8_t>& request, int attempts = 1);
  // A parameter node of the trees (tree set by the controller).
  TNTreeData* AddParameter(TNTreeData* parent, const std::string& name, uint8_t address, uint16_t access,
                           int32_t dataType);
  // The value a DA write carries.
  TVariant WrittenValue() const;

  TBytes reply_;
};

class TKZelio : public TZelioDataModel {
 public:
  using TZelioDataModel::TZelioDataModel;
  bool BuildTree(TNTreeData* device) override;
  bool ReadNodeValue(TPrbArray& result) override;
  bool ReadTimerValue(TPrbArray& result) override;
  bool WriteNodeValue(TPrbArray& result) override;
  bool WriteClock(TPrbArray& result) override;
};

class TKM : public TZelioDataModel {
 public:
  using TZelioDataModel::TZelioDataModel;
  bool ReadSerialNumber(uint8_t address, std::string& text) override;
  bool BuildTree(TNTreeData* device) override;
  bool ReadNodeValue(TPrbArray& result) override;
  bool WriteNodeValue(TPrbArray& result) override;
};

}  // namespace orvela
