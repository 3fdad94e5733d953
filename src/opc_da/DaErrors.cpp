#include "opc_da/DaErrors.h"

#include "platform/com/ComSystem.h"
#include "platform/com/opc/OpcError.h"

namespace orvela {
namespace {

struct TErrorText {
  HRESULT code;
  const char16_t* text;
};

constexpr TErrorText kErrorTexts[] = {
    {OPC_S_UNSUPPORTEDRATE,
     u"The server does not support the requested data rate but will use the closest available rate."},
    {OPC_S_CLAMP, u"A value passed to WRITE was accepted but the output was clamped."},
    {OPC_S_INUSE, u"The operation cannot be completed because the object still has references that exist."},
    {OPC_S_ALREADYACKED, u"The condition has already been acknowleged."},
    {OPC_S_INVALIDBUFFERTIME, u"The buffer time parameter was invalid."},
    {OPC_S_INVALIDMAXSIZE, u"The max size parameter was invalid."},
    {OPC_E_INVALIDHANDLE, u"The value of the handle is invalid."},
    {OPC_E_BADTYPE,
     u"The server cannot convert the data between the requested data type and the canonical data type."},
    {OPC_E_PUBLIC, u"The requested operation cannot be done on a public group."},
    {OPC_E_BADRIGHTS, u"The Items AccessRights do not allow the operation."},
    {OPC_E_UNKNOWNITEMID, u"The item is no longer available in the server address space."},
    {OPC_E_INVALIDITEMID, u"The item definition does not conform to the server's syntax."},
    {OPC_E_INVALIDFILTER, u"The filter string was not valid."},
    {OPC_E_UNKNOWNPATH, u"The item's access path is not known to the server."},
    {OPC_E_RANGE, u"The value was out of range."},
    {OPC_E_DUPLICATENAME, u"Duplicate name not allowed."},
    {OPC_E_INVALIDCONFIGFILE, u"The server's configuration file is an invalid format."},
    {OPC_E_NOTFOUND, u"The server could not locate the requested object."},
    {OPC_E_INVALID_PID, u"The server does not recognise the passed property ID."},
    {OPC_E_INVALIDTIME, u"The time does not match the latest active time."},
    {OPC_E_BUSY, u"A refresh is currently in progress."},
    {OPC_E_NOINFO, u"Information is not available."},
};

constexpr DWORD kMessageBuffer = 256;

std::u16string SystemText(HRESULT code) {
  WCHAR buffer[kMessageBuffer] = {};
  // The texts take no arguments: inserts stay as they are instead of being read from nowhere.
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                 static_cast<DWORD>(code), 0, buffer, kMessageBuffer, nullptr);
  std::u16string text(buffer, n);
  while (!text.empty() && (text.back() < u'!' || text.back() == u'.')) text.pop_back();
  return text;
}

}  // namespace

std::u16string DaErrorText(HRESULT code) {
  for (const auto& e : kErrorTexts)
    if (e.code == code) return e.text;
  return SystemText(code);
}

}  // namespace orvela
