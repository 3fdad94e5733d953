#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "../FileTestSupport.h"
#include "ComTestSupport.h"
#include "platform/FileUtil.h"
#include "platform/com/ComInterfaces.h"
#include "platform/com/ComMemory.h"
#include "platform/com/ComRuntime.h"
#include "platform/com/ComText.h"
#include "platform/com/Registry.h"
#include "support/TempDir.h"

namespace orvela {
namespace {

namespace fs = std::filesystem;

class Registry : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(TRegistry::Open(dir_), ""); }
  void TearDown() override {
    TRegistry::SetReadOnly(false);
    TRegistry::Close();
  }
  fs::path HiveFile() const { return dir_ / "registry" / "HKEY_CLASSES_ROOT.json"; }

  test::TTempDir temp_{"orvela-registry"};
  const fs::path dir_ = temp_.Path();
};

// Writes root\path with a default text value, as registration does.
LSTATUS WriteDefault(const std::string& path, const std::string& text) {
  HKEY key;
  LSTATUS st = RegCreateKeyExW(HKEY_CLASSES_ROOT, Utf8ToUtf16(path).c_str(), 0, nullptr,
                               REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (st != ERROR_SUCCESS) return st;
  std::u16string data = Utf8ToUtf16(text);
  data.push_back(0);
  st = RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.data()),
                      static_cast<DWORD>(data.size() * 2));
  RegCloseKey(key);
  return st;
}

TEST_F(Registry, KeepsKeysAndValuesAcrossReloadIgnoringCase) {
  ASSERT_EQ(WriteDefault("OrvelaOPC_DA\\Clsid", "{6B2E0C51-1111-4A38-8B20-5D610F9E4417}"), ERROR_SUCCESS);
  HKEY key;
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, u"Тест\\Ключ", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  const DWORD number = 0xDEADBEEF;
  const BYTE blob[] = {0, 1, 2, 255};
  ASSERT_EQ(RegSetValueExW(key, u"Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, u"Blob", 0, REG_BINARY, blob, 4), ERROR_SUCCESS);
  RegCloseKey(key);
  const auto saved = ReadWholeFile(HiveFile());
  ASSERT_TRUE(saved);

  ASSERT_EQ(TRegistry::Reload(), "");
  // Names match whatever their case; the default value reads as text.
  EXPECT_EQ(RegistryDefaultText(HKEY_CLASSES_ROOT, "orvelaopc_da\\CLSID"),
            "{6B2E0C51-1111-4A38-8B20-5D610F9E4417}");
  ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"Тест\\Ключ", 0, KEY_READ, &key), ERROR_SUCCESS);
  DWORD type = 0, size = 0;
  ASSERT_EQ(RegQueryValueExW(key, u"NUMBER", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(size, 4u);
  DWORD back = 0;
  ASSERT_EQ(RegQueryValueExW(key, u"Number", nullptr, nullptr, reinterpret_cast<BYTE*>(&back), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(back, number);
  BYTE small[2];
  size = sizeof small;
  EXPECT_EQ(RegQueryValueExW(key, u"Blob", nullptr, &type, small, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(RegQueryValueExW(key, u"Missing", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
  // A handle opened for reading cannot write.
  EXPECT_EQ(RegSetValueExW(key, u"Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4),
            ERROR_ACCESS_DENIED);
  RegCloseKey(key);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);

  // Reading and saving again without a change gives the same bytes.
  ASSERT_EQ(WriteDefault("OrvelaOPC_DA\\Clsid", "{6B2E0C51-1111-4A38-8B20-5D610F9E4417}"), ERROR_SUCCESS);
  EXPECT_EQ(ReadWholeFile(HiveFile()), saved);
}

TEST_F(Registry, DeletesKeysOnlyWithoutSubkeysAndInvalidatesTheirHandles) {
  ASSERT_EQ(WriteDefault("A\\B\\C", "x"), ERROR_SUCCESS);
  HKEY b;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"a\\b", 0, KEY_ALL_ACCESS, &b), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u"A\\B"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u"A\\B\\Nope"), ERROR_FILE_NOT_FOUND);
  WCHAR name[8];
  DWORD cch = 8;
  ASSERT_EQ(RegEnumKeyExW(b, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(name, cch), u"C");
  cch = 8;
  EXPECT_EQ(RegEnumKeyExW(b, 1, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  ASSERT_EQ(RegDeleteKeyW(b, u"C"), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u"A\\B"), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(b, u"v", 0, REG_BINARY, nullptr, 0), ERROR_KEY_DELETED);
  RegCloseKey(b);
  // Malformed paths and names are refused.
  HKEY key;
  EXPECT_EQ(
      RegCreateKeyExW(HKEY_CLASSES_ROOT, u"\\Lead", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
      ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, Utf8ToUtf16(std::string(256, 'k')).c_str(), 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_INVALID_PARAMETER);
}

TEST_F(Registry, ReadOnlyModeRefusesEveryChangeAndKeepsTheFile) {
  ASSERT_EQ(WriteDefault("Existing", "old"), ERROR_SUCCESS);
  const auto saved = ReadWholeFile(HiveFile());
  TRegistry::SetReadOnly(true);
  EXPECT_EQ(WriteDefault("Fresh", "new"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(WriteDefault("Existing", "new"), ERROR_ACCESS_DENIED);
  HKEY key;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"Existing", 0, KEY_WRITE, &key), ERROR_ACCESS_DENIED);
  ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"Existing", 0, KEY_READ, &key), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u"Existing"), ERROR_ACCESS_DENIED);

  // Category registration fails the same way, with the Win32 code in its HRESULT.
  TComPtr<ICatRegister> categories;
  ASSERT_EQ(CreateComponentCategoriesManager(IID_ICatRegister, categories.PutVoid()), S_OK);
  CATEGORYINFO info{IID_IStream, 0x409, u"Streams"};
  EXPECT_EQ(categories->RegisterCategories(1, &info), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));

  EXPECT_EQ(ReadWholeFile(HiveFile()), saved);
  EXPECT_EQ(RegistryDefaultText(HKEY_CLASSES_ROOT, "Existing"), "old");
}

TEST_F(Registry, AChangeThatCannotBeSavedIsUndone) {
  ASSERT_EQ(WriteDefault("Kept", "1"), ERROR_SUCCESS);
  {
    test_files::TFileSizeLimit full(1);  // as on a full disk
    EXPECT_EQ(WriteDefault("Lost", "2"), ERROR_WRITE_FAULT);
  }
  EXPECT_FALSE(RegistryDefaultText(HKEY_CLASSES_ROOT, "Lost"));
  ASSERT_EQ(TRegistry::Reload(), "");
  EXPECT_EQ(RegistryDefaultText(HKEY_CLASSES_ROOT, "Kept"), "1");
}

TEST_F(Registry, ADamagedFileIsReportedAndNeverOverwritten) {
  fs::create_directories(HiveFile().parent_path());
  for (const char* damaged :
       {"{\"root\": {\"name\": \"\", \"keys\": [{\"values\": []}]}}", "{\"root\": [", "[]",
        "{\"root\": {\"name\": \"\", \"values\": [{\"name\": \"v\", \"type\": 1}]}}"}) {
    { std::ofstream(HiveFile(), std::ios::binary) << damaged; }
    EXPECT_NE(TRegistry::Reload(), "") << damaged;
    EXPECT_EQ(WriteDefault("Any", "x"), ERROR_BADDB) << damaged;
    std::ifstream in(HiveFile(), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), damaged);
  }
  // Other root keys still work.
  HKEY key;
  ASSERT_EQ(
      RegCreateKeyExW(HKEY_CURRENT_USER, u"Software", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
      ERROR_SUCCESS);
  RegCloseKey(key);
}

TEST_F(Registry, ProgIdsAndCategoriesAreFoundWhereClientsLook) {
  test::TApartmentScope sta;
  const CLSID clsid = *ParseGuid("{6B2E0C51-1111-4A38-8B20-5D610F9E4417}");
  CLSID found{};
  EXPECT_EQ(CLSIDFromProgID(u"OrvelaOPC_DA", &found), CO_E_CLASSSTRING);
  LPOLESTR progId = nullptr;
  EXPECT_EQ(ProgIDFromCLSID(clsid, &progId), REGDB_E_CLASSNOTREG);

  ASSERT_EQ(WriteDefault("OrvelaOPC_DA\\Clsid", GuidToString(clsid)), ERROR_SUCCESS);
  ASSERT_EQ(WriteDefault("CLSID\\" + GuidToString(clsid) + "\\ProgID", "OrvelaOPC_DA"), ERROR_SUCCESS);
  ASSERT_EQ(CLSIDFromProgID(u"orvelaopc_da", &found), S_OK);
  EXPECT_TRUE(IsEqualCLSID(found, clsid));
  ASSERT_EQ(CLSIDFromString(u"OrvelaOPC_DA", &found), S_OK);  // a ProgID is accepted there too
  EXPECT_TRUE(IsEqualCLSID(found, clsid));
  ASSERT_EQ(ProgIDFromCLSID(clsid, &progId), S_OK);
  EXPECT_EQ(WideToUtf8(progId), "OrvelaOPC_DA");
  CoTaskMemFree(progId);

  TComPtr<ICatRegister> categories;
  ASSERT_EQ(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER, IID_ICatRegister,
                             categories.PutVoid()),
            S_OK);
  CATEGORYINFO info{IID_IStream, 0x419, {}};
  const std::u16string longText(200, u'д');  // cut to 127 characters
  std::copy(longText.begin(), longText.begin() + 127, info.szDescription);
  info.szDescription[127] = 0;
  ASSERT_EQ(categories->RegisterCategories(1, &info), S_OK);
  CATID ids[] = {IID_IStream, IID_IDispatch};
  ASSERT_EQ(categories->RegisterClassImplCategories(clsid, 2, ids), S_OK);
  HKEY key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT,
                          Utf8ToUtf16("CLSID\\" + GuidToString(clsid) + "\\Implemented Categories\\" +
                                      GuidToString(IID_IDispatch))
                              .c_str(),
                          0, KEY_READ, &key),
            ERROR_SUCCESS);
  RegCloseKey(key);
  ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT,
                          Utf8ToUtf16("Component Categories\\" + GuidToString(IID_IStream)).c_str(), 0,
                          KEY_READ, &key),
            ERROR_SUCCESS);
  DWORD size = 0;
  ASSERT_EQ(RegQueryValueExW(key, u"419", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 128u * 2);
  RegCloseKey(key);
  ASSERT_EQ(categories->UnRegisterClassImplCategories(clsid, 1, ids), S_OK);
  EXPECT_EQ(categories->RegisterCategories(1, nullptr), E_POINTER);
}

}  // namespace
}  // namespace orvela
