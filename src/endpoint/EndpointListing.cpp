#include "endpoint/EndpointListing.h"

#include <functional>
#include <vector>

#include "endpoint/EndpointRequest.h"
#include "platform/com/ComMemory.h"
#include "platform/com/ComObject.h"
#include "platform/com/ComText.h"
#include "platform/com/ComVariant.h"

namespace orvela::endpoint {
namespace {

// Takes a task-memory string the server handed out.
std::string TakeText(LPWSTR text) {
  std::string out = WideToUtf8(text);
  CoTaskMemFree(text);
  return out;
}

// The names an enumerator holds, at most kMaxListed; truncated is set when more were there.
std::vector<std::string> Names(IEnumString* e, bool& truncated) {
  std::vector<std::string> out;
  if (!e) return out;
  LPOLESTR name = nullptr;
  while (e->Next(1, &name, nullptr) == S_OK) {
    std::string text = TakeText(name);
    if (out.size() == kMaxListed) {
      truncated = true;
      break;
    }
    out.push_back(std::move(text));
  }
  return out;
}

void Check(HRESULT hr, const char* what) {
  if (FAILED(hr)) throw ERequest{hr, what};
}

// The DA side's ids carry a leading "\\"; listings show the tree paths clients pass anywhere.
std::string TreePath(std::string id) {
  if (id.starts_with("\\\\")) id.erase(0, 2);
  return id;
}

Json Entries(const std::vector<std::string>& names,
             const std::function<std::string(const std::string&)>& id) {
  Json out = Json::array();
  for (const std::string& name : names) out.push_back(Json{{"name", name}, {"id", id(name)}});
  return out;
}

bool FromDevice(DWORD pid) {
  return pid == OPC_PROP_VALUE || pid == OPC_PROP_QUALITY || pid == OPC_PROP_TIME;
}

Json Properties(IOPCItemProperties& props, const std::string& id) {
  std::u16string wide = Utf8ToUtf16(id);
  DWORD count = 0;
  DWORD* ids = nullptr;
  LPWSTR* descriptions = nullptr;
  VARTYPE* types = nullptr;
  Json out = Json::array();
  if (FAILED(props.QueryAvailableProperties(wide.data(), &count, &ids, &descriptions, &types))) return out;
  std::vector<DWORD> asked;
  std::vector<size_t> index;
  for (DWORD i = 0; i < count; ++i)
    if (!FromDevice(ids[i])) {
      asked.push_back(ids[i]);
      index.push_back(i);
    }
  VARIANT* values = nullptr;
  HRESULT* errors = nullptr;
  const HRESULT hr = asked.empty() ? E_FAIL
                                   : props.GetItemProperties(wide.data(), static_cast<DWORD>(asked.size()),
                                                             asked.data(), &values, &errors);
  for (size_t k = 0; k < asked.size(); ++k) {
    const size_t i = index[k];
    Json value = nullptr;
    HRESULT error = FAILED(hr) ? hr : errors[k];
    if (SUCCEEDED(hr)) {
      if (SUCCEEDED(error) && !ValueJson(values[k], value)) error = kBadType;
      VariantClear(&values[k]);
    }
    out.push_back(Json{{"pid", asked[k]},
                       {"desc", WideToUtf8(descriptions[i])},
                       {"vt", types[i]},
                       {"v", value},
                       {"hr", static_cast<uint32_t>(error)}});
  }
  for (DWORD i = 0; i < count; ++i) CoTaskMemFree(descriptions[i]);
  CoTaskMemFree(ids);
  CoTaskMemFree(descriptions);
  CoTaskMemFree(types);
  CoTaskMemFree(values);
  CoTaskMemFree(errors);
  return out;
}

}  // namespace

Json DaListing(IOPCServer& da, const std::string& path, bool properties) {
  TComPtr<IOPCBrowseServerAddressSpace> space;
  Check(da.QueryInterface(IID_IOPCBrowseServerAddressSpace, space.PutVoid()), "no browsing");
  Check(space->ChangeBrowsePosition(OPC_BROWSE_TO, Utf8ToUtf16(path).c_str()), "no such branch");
  auto id = [&](const std::string& name) {
    LPWSTR text = nullptr;
    std::u16string wide = Utf8ToUtf16(name);
    return SUCCEEDED(space->GetItemID(wide.data(), &text)) ? TreePath(TakeText(text)) : std::string();
  };
  bool truncated = false;
  TComPtr<IEnumString> e;
  Check(space->BrowseOPCItemIDs(OPC_BRANCH, u"", VT_EMPTY, 0, e.Put()), "branches");
  Json branches = Entries(Names(e.Get(), truncated), id);
  Check(space->BrowseOPCItemIDs(OPC_LEAF, u"", VT_EMPTY, 0, e.Put()), "items");
  Json items = Entries(Names(e.Get(), truncated), id);
  if (properties) {
    TComPtr<IOPCItemProperties> props;
    Check(da.QueryInterface(IID_IOPCItemProperties, props.PutVoid()), "no item properties");
    for (Json& item : items) item["props"] = Properties(*props.Get(), item["id"].get<std::string>());
  }
  return Json{
      {"position", TreePath(id(""))}, {"branches", branches}, {"items", items}, {"truncated", truncated}};
}

Json HdaListing(IOPCHDA_Server& hda, const std::string& path) {
  TComPtr<IOPCHDA_Browser> browser;
  HRESULT* errors = nullptr;
  Check(hda.CreateBrowse(0, nullptr, nullptr, nullptr, browser.Put(), &errors), "no browser");
  CoTaskMemFree(errors);
  if (!browser) throw ERequest{kFail, "no browser"};
  Check(browser->ChangeBrowsePosition(OPCHDA_BROWSE_DIRECT, Utf8ToUtf16(path).c_str()), "no such branch");
  auto id = [&](const std::string& name) {
    LPWSTR text = nullptr;
    return SUCCEEDED(browser->GetItemID(Utf8ToUtf16(name).c_str(), &text)) ? TakeText(text) : std::string();
  };
  bool truncated = false;
  TComPtr<IEnumString> e;
  Check(browser->GetEnum(OPCHDA_BRANCH, e.Put()), "branches");
  Json branches = Entries(Names(e.Get(), truncated), id);
  Check(browser->GetEnum(OPCHDA_ITEMS, e.Put()), "items");
  Json items = Entries(Names(e.Get(), truncated), id);
  LPWSTR position = nullptr;
  Check(browser->GetBranchPosition(&position), "position");
  return Json{
      {"position", TakeText(position)}, {"branches", branches}, {"items", items}, {"truncated", truncated}};
}

}  // namespace orvela::endpoint
