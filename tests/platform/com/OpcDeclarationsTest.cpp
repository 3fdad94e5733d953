#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/com/opc/OpcCommon.h"
#include "platform/com/opc/OpcDa.h"
#include "platform/com/opc/OpcError.h"
#include "platform/com/opc/OpcHda.h"

namespace {

// Registry text form, written here independently of any GUID helper of the runtime.
std::string TextOf(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", g.Data1, g.Data2,
                g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                g.Data4[7]);
  return text;
}

struct TGuidCase {
  const char* name;
  const GUID& guid;
  const char* text;  // as the OPC Foundation publishes it
};

const TGuidCase kGuids[] = {
    {"IOPCShutdown", IID_IOPCShutdown, "F31DFDE1-07B6-11D2-B2D8-0060083BA1FB"},
    {"IOPCCommon", IID_IOPCCommon, "F31DFDE2-07B6-11D2-B2D8-0060083BA1FB"},
    {"IOPCServer", IID_IOPCServer, "39C13A4D-011E-11D0-9675-0020AFD8ADB3"},
    {"IOPCServerPublicGroups", IID_IOPCServerPublicGroups, "39C13A4E-011E-11D0-9675-0020AFD8ADB3"},
    {"IOPCBrowseServerAddressSpace", IID_IOPCBrowseServerAddressSpace,
     "39C13A4F-011E-11D0-9675-0020AFD8ADB3"},
    {"IOPCGroupStateMgt", IID_IOPCGroupStateMgt, "39C13A50-011E-11D0-9675-0020AFD8ADB3"},
    {"IOPCPublicGroupStateMgt", IID_IOPCPublicGroupStateMgt, "39C13A51-011E-11D0-9675-0020AFD8ADB3"},
    {"IOPCSyncIO", IID_IOPCSyncIO, "39C13A52-011E-11D0-9675-0020AFD8ADB3"},
    {"IOPCAsyncIO", IID_IOPCAsyncIO, "39C13A53-011E-11D0-9675-0020AFD8ADB3"},
    {"IOPCItemMgt", IID_IOPCItemMgt, "39C13A54-011E-11D0-9675-0020AFD8ADB3"},
    {"IEnumOPCItemAttributes", IID_IEnumOPCItemAttributes, "39C13A55-011E-11D0-9675-0020AFD8ADB3"},
    {"IOPCDataCallback", IID_IOPCDataCallback, "39C13A70-011E-11D0-9675-0020AFD8ADB3"},
    {"IOPCAsyncIO2", IID_IOPCAsyncIO2, "39C13A71-011E-11D0-9675-0020AFD8ADB3"},
    {"IOPCItemProperties", IID_IOPCItemProperties, "39C13A72-011E-11D0-9675-0020AFD8ADB3"},
    {"IOPCHDA_Server", IID_IOPCHDA_Server, "1F1217B0-DEE0-11D2-A5E5-000086339399"},
    {"IOPCHDA_Browser", IID_IOPCHDA_Browser, "1F1217B1-DEE0-11D2-A5E5-000086339399"},
    {"IOPCHDA_SyncRead", IID_IOPCHDA_SyncRead, "1F1217B2-DEE0-11D2-A5E5-000086339399"},
    {"IOPCHDA_SyncUpdate", IID_IOPCHDA_SyncUpdate, "1F1217B3-DEE0-11D2-A5E5-000086339399"},
    {"IOPCHDA_SyncAnnotations", IID_IOPCHDA_SyncAnnotations, "1F1217B4-DEE0-11D2-A5E5-000086339399"},
    {"IOPCHDA_AsyncRead", IID_IOPCHDA_AsyncRead, "1F1217B5-DEE0-11D2-A5E5-000086339399"},
    {"IOPCHDA_AsyncUpdate", IID_IOPCHDA_AsyncUpdate, "1F1217B6-DEE0-11D2-A5E5-000086339399"},
    {"IOPCHDA_AsyncAnnotations", IID_IOPCHDA_AsyncAnnotations, "1F1217B7-DEE0-11D2-A5E5-000086339399"},
    {"IOPCHDA_Playback", IID_IOPCHDA_Playback, "1F1217B8-DEE0-11D2-A5E5-000086339399"},
    {"IOPCHDA_DataCallback", IID_IOPCHDA_DataCallback, "1F1217B9-DEE0-11D2-A5E5-000086339399"},
    {"CATID_OPCDAServer10", CATID_OPCDAServer10, "63D5F430-CFE4-11D1-B2C8-0060083BA1FB"},
    {"CATID_OPCDAServer20", CATID_OPCDAServer20, "63D5F432-CFE4-11D1-B2C8-0060083BA1FB"},
    {"CATID_OPCDAServer30", CATID_OPCDAServer30, "CC603642-66D7-48F1-B69A-B625E73652D7"},
    {"CATID_OPCHDAServer10", CATID_OPCHDAServer10, "7DE5B060-E089-11D2-A5E6-000086339399"},
};

TEST(OpcDeclarations, IidsAndCategoriesMatchThePublishedValuesAndAreDistinct) {
  for (const auto& c : kGuids) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(TextOf(c.guid), c.text);
    for (const auto& other : kGuids) {
      if (&other != &c) {
        EXPECT_FALSE(IsEqualGUID(c.guid, other.guid)) << other.name;
      }
    }
  }
  // QueryInterface tables find an interface's IID through its registration.
  EXPECT_TRUE(IsEqualIID(orvela::IidOf<IOPCServer>(), IID_IOPCServer));
  EXPECT_TRUE(IsEqualIID(orvela::IidOf<IOPCHDA_DataCallback>(), IID_IOPCHDA_DataCallback));
}

struct TCodeCase {
  const char* name;
  HRESULT code;
  uint32_t published;
};

#define CODE(name, value) \
  { #name, name, value }
const TCodeCase kCodes[] = {
    CODE(OPC_E_INVALIDHANDLE, 0xC0040001),
    CODE(OPC_E_BADTYPE, 0xC0040004),
    CODE(OPC_E_PUBLIC, 0xC0040005),
    CODE(OPC_E_BADRIGHTS, 0xC0040006),
    CODE(OPC_E_UNKNOWNITEMID, 0xC0040007),
    CODE(OPC_E_INVALIDITEMID, 0xC0040008),
    CODE(OPC_E_INVALIDFILTER, 0xC0040009),
    CODE(OPC_E_UNKNOWNPATH, 0xC004000A),
    CODE(OPC_E_RANGE, 0xC004000B),
    CODE(OPC_E_DUPLICATENAME, 0xC004000C),
    CODE(OPC_S_UNSUPPORTEDRATE, 0x0004000D),
    CODE(OPC_S_CLAMP, 0x0004000E),
    CODE(OPC_S_INUSE, 0x0004000F),
    CODE(OPC_E_INVALIDCONFIGFILE, 0xC0040010),
    CODE(OPC_E_NOTFOUND, 0xC0040011),
    CODE(OPC_E_INVALID_PID, 0xC0040203),
    CODE(OPC_S_ALREADYACKED, 0x00040200),
    CODE(OPC_S_INVALIDBUFFERTIME, 0x00040201),
    CODE(OPC_S_INVALIDMAXSIZE, 0x00040202),
    CODE(OPC_S_INVALIDKEEPALIVETIME, 0x00040203),
    CODE(OPC_E_INVALIDBRANCHNAME, 0xC0040203),
    CODE(OPC_E_INVALIDTIME, 0xC0040204),
    CODE(OPC_E_BUSY, 0xC0040205),
    CODE(OPC_E_NOINFO, 0xC0040206),
    CODE(OPC_E_PRIVATE_ACTIVE, 0xC0040301),
    CODE(OPC_E_LOW_IMPERS_LEVEL, 0xC0040302),
    CODE(OPC_S_LOW_AUTHN_LEVEL, 0x00040303),
    CODE(OPC_E_MAXEXCEEDED, 0xC0041001),
    CODE(OPC_S_NODATA, 0x40041002),
    CODE(OPC_S_MOREDATA, 0x40041003),
    CODE(OPC_E_INVALIDAGGREGATE, 0xC0041004),
    CODE(OPC_S_CURRENTVALUE, 0x40041005),
    CODE(OPC_S_EXTRADATA, 0x40041006),
    CODE(OPC_W_NOFILTER, 0x80041007),
    CODE(OPC_E_UNKNOWNATTRID, 0xC0041008),
    CODE(OPC_E_NOT_AVAIL, 0xC0041009),
    CODE(OPC_E_INVALIDDATATYPE, 0xC004100A),
    CODE(OPC_E_DATAEXISTS, 0xC004100B),
    CODE(OPC_E_INVALIDATTRID, 0xC004100C),
    CODE(OPC_E_NODATAEXISTS, 0xC004100D),
    CODE(OPC_S_INSERTED, 0x4004100E),
    CODE(OPC_S_REPLACED, 0x4004100F),
};
#undef CODE

TEST(OpcDeclarations, ResultCodesHaveThePublishedValuesAndSeverity) {
  for (const auto& c : kCodes) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(static_cast<uint32_t>(c.code), c.published);
    EXPECT_EQ(HRESULT_FACILITY(c.code), 4);  // FACILITY_ITF
    // Only the _S_ codes are successes; the _W_ warning has its severity bit set and fails.
    EXPECT_EQ(SUCCEEDED(c.code), std::string(c.name).find("_S_") != std::string::npos);
  }
}

TEST(OpcDeclarations, QualityAndIdConstantsCarryTheValuesClientsSee) {
  // The qualities the servers hand out.
  EXPECT_EQ(OPC_QUALITY_GOOD, 192);
  EXPECT_EQ(OPC_QUALITY_BAD, 0);
  EXPECT_EQ(OPC_QUALITY_NOT_CONNECTED, 8);
  EXPECT_EQ(OPC_QUALITY_DEVICE_FAILURE, 12);
  EXPECT_EQ(OPC_QUALITY_OUT_OF_SERVICE, 28);
  EXPECT_EQ(OPCHDA_RAW | OPC_QUALITY_GOOD, 0x000400C0u);
  EXPECT_EQ(OPCHDA_DATALOST, 0x00400000u);
  EXPECT_EQ(OPCHDA_NODATA, 0x00200000u);

  // Attribute and aggregate ids the HDA server declares, by their published numbers.
  const std::pair<DWORD, DWORD> attributes[] = {
      {OPCHDA_DATA_TYPE, 1},       {OPCHDA_DESCRIPTION, 2},     {OPCHDA_ENG_UNITS, 3},
      {OPCHDA_NODE_NAME, 7},       {OPCHDA_PROCESS_NAME, 8},    {OPCHDA_SOURCE_NAME, 9},
      {OPCHDA_SOURCE_TYPE, 10},    {OPCHDA_NORMAL_MAXIMUM, 11}, {OPCHDA_NORMAL_MINIMUM, 12},
      {OPCHDA_ITEMID, 13},         {OPCHDA_MAX_TIME_INT, 14},   {OPCHDA_MIN_TIME_INT, 15},
      {OPCHDA_LOW_ENTRY_LIMIT, 19}};
  for (const auto& [id, published] : attributes) EXPECT_EQ(id, published);
  const std::pair<OPCHDA_AGGREGATE, int> aggregates[] = {{OPCHDA_TOTAL, 2},    {OPCHDA_AVERAGE, 3},
                                                         {OPCHDA_COUNT, 5},    {OPCHDA_MINIMUMACTUALTIME, 7},
                                                         {OPCHDA_MINIMUM, 8},  {OPCHDA_MAXIMUMACTUALTIME, 9},
                                                         {OPCHDA_MAXIMUM, 10}, {OPCHDA_START, 11},
                                                         {OPCHDA_END, 12},     {OPCHDA_DELTA, 13},
                                                         {OPCHDA_RANGE, 18},   {OPCHDA_ANNOTATIONS, 24}};
  for (const auto& [id, published] : aggregates) EXPECT_EQ(id, published);
  EXPECT_EQ(OPC_PROP_CDT, 1u);
  EXPECT_EQ(OPC_PROP_VALUE, 2u);
  EXPECT_EQ(OPC_PROP_RIGHTS, 5u);
  EXPECT_EQ(OPC_READABLE | OPC_WRITEABLE, 3u);
}

struct TLayoutCase {
  const char* field;
  size_t actual;
  size_t win64;  // offset or size a 64-bit Windows client compiles against
};

#define AT(type, field, win64) \
  { #type "." #field, offsetof(type, field), win64 }
#define SIZE(type, win64) \
  { "sizeof " #type, sizeof(type), win64 }
const TLayoutCase kLayout[] = {
    AT(OPCITEMSTATE, ftTimeStamp, 4),
    AT(OPCITEMSTATE, wQuality, 12),
    AT(OPCITEMSTATE, vDataValue, 16),
    SIZE(OPCITEMSTATE, 40),
    AT(OPCSERVERSTATUS, dwServerState, 24),
    AT(OPCSERVERSTATUS, wMajorVersion, 36),
    AT(OPCSERVERSTATUS, wBuildNumber, 40),
    AT(OPCSERVERSTATUS, szVendorInfo, 48),
    SIZE(OPCSERVERSTATUS, 56),
    AT(OPCITEMDEF, szItemID, 8),
    AT(OPCITEMDEF, bActive, 16),
    AT(OPCITEMDEF, hClient, 20),
    AT(OPCITEMDEF, dwBlobSize, 24),
    AT(OPCITEMDEF, pBlob, 32),
    AT(OPCITEMDEF, vtRequestedDataType, 40),
    SIZE(OPCITEMDEF, 48),
    AT(OPCITEMATTRIBUTES, hServer, 24),
    AT(OPCITEMATTRIBUTES, pBlob, 40),
    AT(OPCITEMATTRIBUTES, vtCanonicalDataType, 50),
    AT(OPCITEMATTRIBUTES, dwEUType, 52),
    AT(OPCITEMATTRIBUTES, vEUInfo, 56),
    SIZE(OPCITEMATTRIBUTES, 80),
    AT(OPCITEMRESULT, vtCanonicalDataType, 4),
    AT(OPCITEMRESULT, dwAccessRights, 8),
    AT(OPCITEMRESULT, pBlob, 16),
    SIZE(OPCITEMRESULT, 24),
    AT(OPCHDA_TIME, szTime, 8),
    AT(OPCHDA_TIME, ftTime, 16),
    SIZE(OPCHDA_TIME, 24),
    AT(OPCHDA_ITEM, dwCount, 8),
    AT(OPCHDA_ITEM, pftTimeStamps, 16),
    AT(OPCHDA_ITEM, pvDataValues, 32),
    SIZE(OPCHDA_ITEM, 40),
    AT(OPCHDA_ATTRIBUTE, dwAttributeID, 8),
    AT(OPCHDA_ATTRIBUTE, ftTimeStamps, 16),
    AT(OPCHDA_ATTRIBUTE, vAttributeValues, 24),
    SIZE(OPCHDA_ATTRIBUTE, 32),
    AT(OPCHDA_ANNOTATION, ftTimeStamps, 8),
    AT(OPCHDA_ANNOTATION, szUser, 32),
    SIZE(OPCHDA_ANNOTATION, 40),
    AT(OPCHDA_MODIFIEDITEM, pEditType, 40),
    SIZE(OPCHDA_MODIFIEDITEM, 56),
    SIZE(OPCSERVERSTATE, 4),
    SIZE(OPCHDA_AGGREGATE, 4),
};
#undef AT
#undef SIZE

TEST(OpcDeclarations, RecordsHaveTheWindowsFieldOffsetsAndSizes) {
  ASSERT_EQ(sizeof(void*), 8u) << "expected values are those of the 64-bit layout";
  for (const auto& c : kLayout) EXPECT_EQ(c.actual, c.win64) << c.field;
}

// Vtable slot of a virtual member function in the Itanium C++ ABI used here: the pointer to member holds
// 1 + the slot's byte offset. The slot order is what a client compiled against the published IDL calls.
template <class C, class R, class... A>
size_t Slot(R (C::*method)(A...)) {
  struct {
    uintptr_t ptr;
    ptrdiff_t adj;
  } raw;
  static_assert(sizeof(method) == sizeof(raw));
  std::memcpy(&raw, &method, sizeof raw);
  return (raw.ptr - 1) / sizeof(void*);
}

template <class I>
void ExpectPublishedOrder(const char* name, std::vector<size_t> slots) {
  SCOPED_TRACE(name);
  static_assert(std::is_abstract_v<I> && !std::has_virtual_destructor_v<I>);
  static_assert(sizeof(I) == sizeof(void*), "an interface holds nothing but its table pointer");
  EXPECT_EQ(Slot(&I::QueryInterface), 0u);
  EXPECT_EQ(Slot(&I::Release), 2u);
  for (size_t i = 0; i < slots.size(); ++i) EXPECT_EQ(slots[i], 3 + i) << "method " << i;
}

TEST(OpcDeclarations, InterfaceMethodsSitInThePublishedVtableSlots) {
  ExpectPublishedOrder<IOPCShutdown>("IOPCShutdown", {Slot(&IOPCShutdown::ShutdownRequest)});
  ExpectPublishedOrder<IOPCCommon>(
      "IOPCCommon", {Slot(&IOPCCommon::SetLocaleID), Slot(&IOPCCommon::GetLocaleID),
                     Slot(&IOPCCommon::QueryAvailableLocaleIDs), Slot(&IOPCCommon::GetErrorString),
                     Slot(&IOPCCommon::SetClientName)});
  ExpectPublishedOrder<IOPCServer>(
      "IOPCServer", {Slot(&IOPCServer::AddGroup), Slot(&IOPCServer::GetErrorString),
                     Slot(&IOPCServer::GetGroupByName), Slot(&IOPCServer::GetStatus),
                     Slot(&IOPCServer::RemoveGroup), Slot(&IOPCServer::CreateGroupEnumerator)});
  ExpectPublishedOrder<IOPCServerPublicGroups>("IOPCServerPublicGroups",
                                               {Slot(&IOPCServerPublicGroups::GetPublicGroupByName),
                                                Slot(&IOPCServerPublicGroups::RemovePublicGroup)});
  ExpectPublishedOrder<IOPCBrowseServerAddressSpace>(
      "IOPCBrowseServerAddressSpace",
      {Slot(&IOPCBrowseServerAddressSpace::QueryOrganization),
       Slot(&IOPCBrowseServerAddressSpace::ChangeBrowsePosition),
       Slot(&IOPCBrowseServerAddressSpace::BrowseOPCItemIDs), Slot(&IOPCBrowseServerAddressSpace::GetItemID),
       Slot(&IOPCBrowseServerAddressSpace::BrowseAccessPaths)});
  ExpectPublishedOrder<IOPCGroupStateMgt>(
      "IOPCGroupStateMgt", {Slot(&IOPCGroupStateMgt::GetState), Slot(&IOPCGroupStateMgt::SetState),
                            Slot(&IOPCGroupStateMgt::SetName), Slot(&IOPCGroupStateMgt::CloneGroup)});
  ExpectPublishedOrder<IOPCPublicGroupStateMgt>(
      "IOPCPublicGroupStateMgt",
      {Slot(&IOPCPublicGroupStateMgt::GetState), Slot(&IOPCPublicGroupStateMgt::MoveToPublic)});
  ExpectPublishedOrder<IOPCSyncIO>("IOPCSyncIO", {Slot(&IOPCSyncIO::Read), Slot(&IOPCSyncIO::Write)});
  ExpectPublishedOrder<IOPCAsyncIO>("IOPCAsyncIO", {Slot(&IOPCAsyncIO::Read), Slot(&IOPCAsyncIO::Write),
                                                    Slot(&IOPCAsyncIO::Refresh), Slot(&IOPCAsyncIO::Cancel)});
  ExpectPublishedOrder<IOPCItemMgt>(
      "IOPCItemMgt",
      {Slot(&IOPCItemMgt::AddItems), Slot(&IOPCItemMgt::ValidateItems), Slot(&IOPCItemMgt::RemoveItems),
       Slot(&IOPCItemMgt::SetActiveState), Slot(&IOPCItemMgt::SetClientHandles),
       Slot(&IOPCItemMgt::SetDatatypes), Slot(&IOPCItemMgt::CreateEnumerator)});
  ExpectPublishedOrder<IEnumOPCItemAttributes>(
      "IEnumOPCItemAttributes", {Slot(&IEnumOPCItemAttributes::Next), Slot(&IEnumOPCItemAttributes::Skip),
                                 Slot(&IEnumOPCItemAttributes::Reset), Slot(&IEnumOPCItemAttributes::Clone)});
  ExpectPublishedOrder<IOPCDataCallback>(
      "IOPCDataCallback",
      {Slot(&IOPCDataCallback::OnDataChange), Slot(&IOPCDataCallback::OnReadComplete),
       Slot(&IOPCDataCallback::OnWriteComplete), Slot(&IOPCDataCallback::OnCancelComplete)});
  ExpectPublishedOrder<IOPCAsyncIO2>(
      "IOPCAsyncIO2",
      {Slot(&IOPCAsyncIO2::Read), Slot(&IOPCAsyncIO2::Write), Slot(&IOPCAsyncIO2::Refresh2),
       Slot(&IOPCAsyncIO2::Cancel2), Slot(&IOPCAsyncIO2::SetEnable), Slot(&IOPCAsyncIO2::GetEnable)});
  ExpectPublishedOrder<IOPCItemProperties>(
      "IOPCItemProperties",
      {Slot(&IOPCItemProperties::QueryAvailableProperties), Slot(&IOPCItemProperties::GetItemProperties),
       Slot(&IOPCItemProperties::LookupItemIDs)});
  ExpectPublishedOrder<IOPCHDA_Browser>(
      "IOPCHDA_Browser", {Slot(&IOPCHDA_Browser::GetEnum), Slot(&IOPCHDA_Browser::ChangeBrowsePosition),
                          Slot(&IOPCHDA_Browser::GetItemID), Slot(&IOPCHDA_Browser::GetBranchPosition)});
  ExpectPublishedOrder<IOPCHDA_Server>(
      "IOPCHDA_Server", {Slot(&IOPCHDA_Server::GetItemAttributes), Slot(&IOPCHDA_Server::GetAggregates),
                         Slot(&IOPCHDA_Server::GetHistorianStatus), Slot(&IOPCHDA_Server::GetItemHandles),
                         Slot(&IOPCHDA_Server::ReleaseItemHandles), Slot(&IOPCHDA_Server::ValidateItemIDs),
                         Slot(&IOPCHDA_Server::CreateBrowse)});
  ExpectPublishedOrder<IOPCHDA_SyncRead>(
      "IOPCHDA_SyncRead", {Slot(&IOPCHDA_SyncRead::ReadRaw), Slot(&IOPCHDA_SyncRead::ReadProcessed),
                           Slot(&IOPCHDA_SyncRead::ReadAtTime), Slot(&IOPCHDA_SyncRead::ReadModified),
                           Slot(&IOPCHDA_SyncRead::ReadAttribute)});
  ExpectPublishedOrder<IOPCHDA_SyncUpdate>(
      "IOPCHDA_SyncUpdate", {Slot(&IOPCHDA_SyncUpdate::QueryCapabilities), Slot(&IOPCHDA_SyncUpdate::Insert),
                             Slot(&IOPCHDA_SyncUpdate::Replace), Slot(&IOPCHDA_SyncUpdate::InsertReplace),
                             Slot(&IOPCHDA_SyncUpdate::DeleteRaw), Slot(&IOPCHDA_SyncUpdate::DeleteAtTime)});
  ExpectPublishedOrder<IOPCHDA_SyncAnnotations>(
      "IOPCHDA_SyncAnnotations",
      {Slot(&IOPCHDA_SyncAnnotations::QueryCapabilities), Slot(&IOPCHDA_SyncAnnotations::Read),
       Slot(&IOPCHDA_SyncAnnotations::Insert)});
  ExpectPublishedOrder<IOPCHDA_AsyncRead>(
      "IOPCHDA_AsyncRead",
      {Slot(&IOPCHDA_AsyncRead::ReadRaw), Slot(&IOPCHDA_AsyncRead::AdviseRaw),
       Slot(&IOPCHDA_AsyncRead::ReadProcessed), Slot(&IOPCHDA_AsyncRead::AdviseProcessed),
       Slot(&IOPCHDA_AsyncRead::ReadAtTime), Slot(&IOPCHDA_AsyncRead::ReadModified),
       Slot(&IOPCHDA_AsyncRead::ReadAttribute), Slot(&IOPCHDA_AsyncRead::Cancel)});
  ExpectPublishedOrder<IOPCHDA_DataCallback>(
      "IOPCHDA_DataCallback",
      {Slot(&IOPCHDA_DataCallback::OnDataChange), Slot(&IOPCHDA_DataCallback::OnReadComplete),
       Slot(&IOPCHDA_DataCallback::OnReadModifiedComplete),
       Slot(&IOPCHDA_DataCallback::OnReadAttributeComplete), Slot(&IOPCHDA_DataCallback::OnReadAnnotations),
       Slot(&IOPCHDA_DataCallback::OnInsertAnnotations), Slot(&IOPCHDA_DataCallback::OnPlayback),
       Slot(&IOPCHDA_DataCallback::OnUpdateComplete), Slot(&IOPCHDA_DataCallback::OnCancelComplete)});
}

}  // namespace
