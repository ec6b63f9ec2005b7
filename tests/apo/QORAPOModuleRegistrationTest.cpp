// DllRegisterServer and DllUnregisterServer of the built module, called as an installer calls them.
#include <gtest/gtest.h>
#include <locale.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "TempStateRoot.h"
#include "apo/QORAPOClassIds.h"
#include "apo/QORAPOModuleRegistration.h"
#include "common/QORTextConvert.h"
#include "platform/QORAPORegistrationApi.h"
#include "platform/QORLoadedModule.h"
#include "platform/QORRegistryKey.h"

namespace {

using EntryFunction = HRESULT (*)();

const CLSID* const kClasses[] = {
    &CLSID_QOR_LFX_APO_Varion, &CLSID_QOR_LFX_Capture_APO_Varion,
    &CLSID_KEL_SFX_APO,        &CLSID_KEL_MFX_APO,
    &CLSID_KEL_EFX_APO,        &CLSID_KEL_OSFX_APO,
    &CLSID_KEL_OMFX_APO,
};

std::vector<std::wstring> SubKeys(const std::wstring& path) {
  std::vector<std::wstring> names;
  QORRegistryKey key;
  if (QORRegistryKey::Open(QORRegistryHive::kClassesRoot, path, KEY_READ, key) != ERROR_SUCCESS) {
    return names;
  }
  std::wstring name;
  for (uint32_t i = 0; key.EnumSubKey(i, name) == ERROR_SUCCESS; ++i) names.push_back(name);
  return names;
}

bool Exists(const std::wstring& path) {
  QORRegistryKey key;
  return QORRegistryKey::Open(QORRegistryHive::kClassesRoot, path, KEY_READ, key) == ERROR_SUCCESS;
}

std::wstring Text(const std::wstring& path, const std::wstring& name) {
  QORRegistryKey key;
  std::wstring value;
  if (QORRegistryKey::Open(QORRegistryHive::kClassesRoot, path, KEY_READ, key) != ERROR_SUCCESS ||
      key.GetString(name, &value) != ERROR_SUCCESS) {
    return L"<missing>";
  }
  return value;
}

uint32_t Number(const std::wstring& path, const std::wstring& name) {
  QORRegistryKey key;
  uint32_t value = 0xDEADBEEF;
  if (QORRegistryKey::Open(QORRegistryHive::kClassesRoot, path, KEY_READ, key) == ERROR_SUCCESS) {
    key.GetDword(name, &value);
  }
  return value;
}

std::wstring Guid(const GUID& guid) {
  return QORGuidToString(guid);
}

class QORAPOModuleRegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    modulePath_ = QORUtf8ToWide(QOR_APO_MODULE);
    ASSERT_TRUE(module_.Load(modulePath_));
    register_ = reinterpret_cast<EntryFunction>(module_.FindExport("DllRegisterServer"));
    unregister_ = reinterpret_cast<EntryFunction>(module_.FindExport("DllUnregisterServer"));
    ASSERT_NE(register_, nullptr);
    ASSERT_NE(unregister_, nullptr);
  }

  qortest::TempStateRoot root_;
  QORLoadedModule module_;
  std::wstring modulePath_;
  EntryFunction register_ = nullptr;
  EntryFunction unregister_ = nullptr;
};

TEST_F(QORAPOModuleRegistrationTest, RegisteringTwiceLeavesOneCurrentKeyPerClass) {
  ASSERT_EQ(register_(), S_OK);
  // Leftovers of an older version: a stale engine value and a stale class subkey.
  const std::wstring efxRecord =
      std::wstring(kQORAPORegistrationRoot) + L"\\" + Guid(CLSID_KEL_EFX_APO);
  const std::wstring efxClass = L"CLSID\\" + Guid(CLSID_KEL_EFX_APO);
  {
    QORRegistryKey key;
    ASSERT_EQ(QORRegistryKey::Open(QORRegistryHive::kClassesRoot, efxRecord, KEY_WRITE, key),
              ERROR_SUCCESS);
    key.SetString(L"APOInterface1", L"{00000000-0000-0000-0000-000000000000}");
    QORRegistryKey stale;
    ASSERT_EQ(QORRegistryKey::Create(QORRegistryHive::kClassesRoot, efxClass + L"\\Stale",
                                     KEY_WRITE, stale),
              ERROR_SUCCESS);
  }
  ASSERT_EQ(register_(), S_OK);

  const std::vector<std::wstring> records = SubKeys(kQORAPORegistrationRoot);
  ASSERT_EQ(records.size(), 7u);
  for (const CLSID* clsid : kClasses) {
    const std::wstring record = std::wstring(kQORAPORegistrationRoot) + L"\\" + Guid(*clsid);
    EXPECT_EQ(std::count(records.begin(), records.end(), Guid(*clsid)), 1);
    EXPECT_EQ(Number(record, L"MajorVersion"), 1u);
    EXPECT_EQ(Number(record, L"MinorVersion"), 0u);
    EXPECT_EQ(Number(record, L"Flags"), 12u);
    EXPECT_EQ(Number(record, L"MinInputConnections"), 1u);
    EXPECT_EQ(Number(record, L"MaxOutputConnections"), 1u);
    EXPECT_EQ(Number(record, L"MaxInstances"), 0xFFFFFFFFu);
    EXPECT_EQ(Number(record, L"NumAPOInterfaces"), 1u);
    EXPECT_NE(Text(record, L"Copyright"), L"<missing>");
    EXPECT_EQ(Text(record, L"APOInterface1"), L"<missing>");
    EXPECT_EQ(Text(L"CLSID\\" + Guid(*clsid) + L"\\InprocServer32", L""), modulePath_);
    EXPECT_EQ(Text(L"CLSID\\" + Guid(*clsid) + L"\\InprocServer32", L"ThreadingModel"), L"Both");
    EXPECT_EQ(Text(L"CLSID\\" + Guid(*clsid), L"TypeLib"), L"<missing>");
    EXPECT_EQ(Text(L"CLSID\\" + Guid(*clsid) + L"\\TypeLib", L""),
              Guid(QORAPOModuleRegistration::kLibId));
  }
  EXPECT_EQ(Text(efxRecord, L"FriendlyName"), L"KEL EFX APO");
  EXPECT_EQ(Text(efxRecord, L"APOInterface0"), Guid(IID_IKEL_EFX_APO));
  EXPECT_EQ(Text(efxClass, L""), L"KEL_EFX_APO Class");
  EXPECT_EQ(Text(efxClass + L"\\Version", L""), L"1.0");
  EXPECT_FALSE(Exists(efxClass + L"\\Stale"));

  const std::wstring lfx = L"CLSID\\" + Guid(CLSID_QOR_LFX_APO_Varion);
  EXPECT_EQ(Text(lfx, L"AppID"), Guid(QORAPOModuleRegistration::kAppId));
  EXPECT_EQ(Text(lfx + L"\\ProgID", L""), L"QOR_APO_Varion.QOR_LFX_APO_Varion.1");
  EXPECT_EQ(Text(L"QOR_APO_Varion.QOR_LFX_Capture_APO_Varion\\CurVer", L""),
            L"QOR_APO_Varion.QOR_LFX_Capture_APO_Varion.1");
  EXPECT_EQ(Text(L"QOR_APO_Varion.QOR_LFX_APO_Varion.1\\CLSID", L""),
            Guid(CLSID_QOR_LFX_APO_Varion));
  const std::wstring appId = L"AppID\\" + Guid(QORAPOModuleRegistration::kAppId);
  EXPECT_EQ(Text(appId, L""), L"QOR_APO_Varion");
  EXPECT_EQ(Text(L"AppID\\QOR_APO_Varion.DLL", L"AppID"), Guid(QORAPOModuleRegistration::kAppId));
  EXPECT_EQ(Text(QORAPOModuleRegistration::TypeLibKey(), L""), L"QOR_APO_Varion 1.0 Type Library");
  EXPECT_EQ(Text(QORAPOModuleRegistration::TypeLibKey(), L"Name"), L"QOR_APO_VarionLib");
}

TEST_F(QORAPOModuleRegistrationTest, UnregisteringRemovesClassesAndAppIdButKeepsTheEngineRecords) {
  // Someone else's class and application ID share the NoRemove parents.
  {
    QORRegistryKey other;
    ASSERT_EQ(
        QORRegistryKey::Create(QORRegistryHive::kClassesRoot, L"CLSID\\{Other}", KEY_WRITE, other),
        ERROR_SUCCESS);
    ASSERT_EQ(QORRegistryKey::Create(QORRegistryHive::kClassesRoot, L"AppID\\{OtherApp}", KEY_WRITE,
                                     other),
              ERROR_SUCCESS);
  }
  // The caller's thread locale comes back as it was.
  locale_t own = newlocale(LC_ALL_MASK, "C.UTF-8", static_cast<locale_t>(0));
  ASSERT_NE(own, static_cast<locale_t>(0));
  locale_t before = uselocale(own);
  ASSERT_EQ(register_(), S_OK);
  EXPECT_EQ(uselocale(static_cast<locale_t>(0)), own);
  ASSERT_EQ(unregister_(), S_OK);
  EXPECT_EQ(uselocale(static_cast<locale_t>(0)), own);
  uselocale(before);
  freelocale(own);

  for (const CLSID* clsid : kClasses) {
    EXPECT_FALSE(Exists(L"CLSID\\" + Guid(*clsid))) << QORWideToUtf8(Guid(*clsid));
    EXPECT_EQ(
        Text(std::wstring(kQORAPORegistrationRoot) + L"\\" + Guid(*clsid), L"APOInterface0").size(),
        38u);
  }
  EXPECT_EQ(SubKeys(kQORAPORegistrationRoot).size(), 7u);
  EXPECT_EQ(SubKeys(L"CLSID"), std::vector<std::wstring>{L"{Other}"});
  EXPECT_EQ(SubKeys(L"AppID"), std::vector<std::wstring>{L"{OtherApp}"});
  EXPECT_FALSE(Exists(L"QOR_APO_Varion.QOR_LFX_APO_Varion"));
  EXPECT_FALSE(Exists(L"QOR_APO_Varion.QOR_LFX_APO_Varion.1"));
  EXPECT_FALSE(Exists(L"QOR_APO_Varion.QOR_LFX_Capture_APO_Varion.1"));
  EXPECT_FALSE(Exists(L"TypeLib\\" + Guid(QORAPOModuleRegistration::kLibId)));
  // Unregistering what is not registered is no fault, and registering again works.
  EXPECT_EQ(unregister_(), S_OK);
  EXPECT_EQ(register_(), S_OK);
  EXPECT_EQ(Text(L"CLSID\\" + Guid(CLSID_KEL_SFX_APO) + L"\\InprocServer32", L""), modulePath_);
}

TEST_F(QORAPOModuleRegistrationTest, AnEngineRecordWithAnImpossibleInterfaceCountIsRefused) {
  APO_REG_PROPERTIES record{};
  record.clsid = CLSID_KEL_SFX_APO;
  record.u32NumAPOInterfaces = 2;  // the record holds one
  EXPECT_EQ(RegisterAPO(&record), E_INVALIDARG);
  record.u32NumAPOInterfaces = 0;
  EXPECT_EQ(RegisterAPO(&record), E_INVALIDARG);
  EXPECT_FALSE(Exists(std::wstring(kQORAPORegistrationRoot) + L"\\" + Guid(CLSID_KEL_SFX_APO)));
  // A friendly name without its NUL is cut at the field's end, not read past it.
  record.u32NumAPOInterfaces = 1;
  std::fill(std::begin(record.szFriendlyName), std::end(record.szFriendlyName), L'n');
  ASSERT_EQ(RegisterAPO(&record), S_OK);
  EXPECT_EQ(Text(std::wstring(kQORAPORegistrationRoot) + L"\\" + Guid(CLSID_KEL_SFX_APO),
                 L"FriendlyName"),
            std::wstring(kAPORegTextChars, L'n'));
}

}  // namespace
