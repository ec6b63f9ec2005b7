#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <vector>

#include "APOTestSupport.h"
#include "apo/IQORAPOHostState.h"
#include "apo/QORAPOClassIds.h"
#include "apo/QORAPOModuleRegistration.h"
#include "platform/IAudioProcessingObjectRT.h"
#include "platform/IAudioSystemEffects2.h"
#include "platform/IClassFactory.h"
#include "platform/QORAPORegistrationApi.h"
#include "platform/QORComObject.h"
#include "platform/QORLoadedModule.h"

// The built module, loaded as the host shell and an installer load it.
namespace {

using apotest::Exists;
using apotest::Key;
using apotest::Number;
using apotest::Text;

const CLSID* const kClasses[] = {&CLSID_QOR_LFX_APO_Varion, &CLSID_QOR_LFX_Capture_APO_Varion,
                                 &CLSID_KEL_SFX_APO,        &CLSID_KEL_MFX_APO,
                                 &CLSID_KEL_EFX_APO,        &CLSID_KEL_OSFX_APO,
                                 &CLSID_KEL_OMFX_APO};

std::wstring Record(const CLSID& clsid) {
  return std::wstring(kQORAPORegistrationRoot) + L"\\" + QORGuidToString(clsid);
}

// The module is never unmapped, so every test of the process shares one copy.
class QORAPOModuleTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(module_.Load(QORUtf8ToWide(QOR_APO_MODULE))); }
  template <typename Function>
  Function Entry(const char* name) {
    const auto entry = reinterpret_cast<Function>(module_.FindExport(name));
    EXPECT_NE(entry, nullptr) << name;
    return entry;
  }
  HRESULT CanUnloadNow() { return Entry<HRESULT (*)()>("DllCanUnloadNow")(); }
  HRESULT Register() { return Entry<HRESULT (*)()>("DllRegisterServer")(); }
  HRESULT Unregister() { return Entry<HRESULT (*)()>("DllUnregisterServer")(); }
  HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** object) {
    return Entry<HRESULT (*)(REFCLSID, REFIID, void**)>("DllGetClassObject")(clsid, iid, object);
  }
  QORComPtr<IClassFactory> Factory(REFCLSID clsid) {
    QORComPtr<IClassFactory> factory;
    EXPECT_EQ(S_OK, GetClassObject(clsid, IID_IClassFactory, factory.PutVoid()));
    return factory;
  }
  std::vector<std::wstring> SubKeys(const std::wstring& path) {
    std::vector<std::wstring> names;
    QORRegistryKey key;
    QORRegistryKey::Open(QORRegistryHive::kClassesRoot, path, KEY_READ, key);
    std::wstring name;
    for (uint32_t i = 0; key.EnumSubKey(i, name) == ERROR_SUCCESS; ++i) names.push_back(name);
    return names;
  }

  qortest::TempStateRoot root_;
  QORLoadedModule module_;
};

// An outer object whose inner object's interfaces are its own; it counts its references.
class Outer final : public QORComObject<IUnknown> {
 public:
  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (iid != IID_IUnknown) return inner ? inner->QueryInterface(iid, object) : E_NOINTERFACE;
    *object = static_cast<IUnknown*>(this);
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override {
    ++addRefs;
    return QORComObject<IUnknown>::AddRef();
  }
  int addRefs = 0;
  QORComPtr<IUnknown> inner;
};

TEST_F(QORAPOModuleTest, ClassFactoriesServeTheClassTableWithAggregation) {
  const IID* const own[] = {&IID_IQOR_LFX_APO_Varion, &IID_IQOR_LFX_Capture_APO_Varion,
                            &IID_IKEL_SFX_APO,        &IID_IKEL_MFX_APO,
                            &IID_IKEL_EFX_APO,        &IID_IKEL_OSFX_APO,
                            &IID_IKEL_OMFX_APO};
  ASSERT_EQ(S_OK, CanUnloadNow());
  for (size_t c = 0; c < std::size(kClasses); ++c) {
    SCOPED_TRACE(QORWideToUtf8(QORGuidToString(*kClasses[c])));
    QORComPtr<IAudioProcessingObject> apo;
    ASSERT_EQ(
        S_OK,
        Factory(*kClasses[c])->CreateInstance(nullptr, IID_IAudioProcessingObject, apo.PutVoid()));
    EXPECT_EQ(S_FALSE, CanUnloadNow());
    // One identity whichever interface is asked.
    QORComPtr<IUnknown> identity;
    ASSERT_EQ(S_OK, apo->QueryInterface(IID_IUnknown, identity.PutVoid()));
    for (const IID& iid : {IID_IAudioProcessingObjectRT, IID_IAudioProcessingObjectConfiguration,
                           IID_IAudioSystemEffects, IID_IQORAPOHostState, *own[c]}) {
      QORComPtr<IUnknown> face, again;
      ASSERT_EQ(S_OK, apo->QueryInterface(iid, face.PutVoid()));
      ASSERT_EQ(S_OK, face->QueryInterface(IID_IUnknown, again.PutVoid()));
      EXPECT_EQ(identity.Get(), again.Get());
    }
    APO_REG_PROPERTIES* properties = nullptr;
    ASSERT_EQ(S_OK, apo->GetRegistrationProperties(&properties));
    EXPECT_EQ(properties->clsid, *kClasses[c]);
    EXPECT_EQ(properties->iidAPOInterfaceList[0], *own[c]);
    CoTaskMemFree(properties);
  }
  EXPECT_EQ(S_OK, CanUnloadNow());

  // Rows without a factory, and unknown classes.
  void* object = reinterpret_cast<void*>(1);
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE,
            GetClassObject(CLSID_LQORAPOProcessManager, IID_IClassFactory, &object));
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE,
            GetClassObject(IID_IKEL_SFX_APO, IID_IClassFactory, &object));
  EXPECT_EQ(E_NOINTERFACE, GetClassObject(CLSID_KEL_SFX_APO, IID_IAudioProcessingObject, &object));

  // LockServer keeps the module.
  const QORComPtr<IClassFactory> factory = Factory(CLSID_KEL_EFX_APO);
  EXPECT_EQ(S_OK, factory->LockServer(1));
  EXPECT_EQ(S_FALSE, CanUnloadNow());
  EXPECT_EQ(S_OK, factory->LockServer(0));
  EXPECT_EQ(S_OK, CanUnloadNow());

  // Aggregated: only IUnknown may be asked for; the inner object's interfaces belong to the outer.
  auto* outer = new Outer;
  QORComPtr<IUnknown> refused;
  EXPECT_EQ(CLASS_E_NOAGGREGATION,
            factory->CreateInstance(outer, IID_IAudioProcessingObject, refused.PutVoid()));
  EXPECT_EQ(refused.Get(), nullptr);
  ASSERT_EQ(S_OK, factory->CreateInstance(outer, IID_IUnknown, outer->inner.PutVoid()));
  EXPECT_EQ(S_FALSE, CanUnloadNow());
  QORComPtr<IAudioProcessingObject> apo;
  ASSERT_EQ(S_OK, outer->QueryInterface(IID_IAudioProcessingObject, apo.PutVoid()));
  EXPECT_EQ(outer->addRefs, 1);  // the interface's reference went to the outer object
  QORComPtr<IUnknown> identity;
  ASSERT_EQ(S_OK, apo->QueryInterface(IID_IUnknown, identity.PutVoid()));
  EXPECT_EQ(identity.Get(), static_cast<IUnknown*>(outer));
  identity.Reset();
  apo.Reset();
  outer->inner.Reset();  // the inner object ends with the outer's reference
  EXPECT_EQ(S_OK, CanUnloadNow());
  outer->Release();
}

TEST_F(QORAPOModuleTest, RegisteringTwiceLeavesOneKeyPerClassAndUnregisteringKeepsTheRecords) {
  ASSERT_EQ(Register(), S_OK);
  // Leftovers of an older version: a stale engine value and a stale class subkey.
  const std::wstring efxClass = L"CLSID\\" + QORGuidToString(CLSID_KEL_EFX_APO);
  ASSERT_EQ(Key(Record(CLSID_KEL_EFX_APO))
                .SetString(L"APOInterface1", L"{00000000-0000-0000-0000-000000000000}"),
            ERROR_SUCCESS);
  ASSERT_TRUE(Key(efxClass + L"\\Stale", true).IsOpen());
  ASSERT_EQ(Register(), S_OK);

  const std::vector<std::wstring> records = SubKeys(kQORAPORegistrationRoot);
  ASSERT_EQ(records.size(), 7u);
  for (const CLSID* clsid : kClasses) {
    const std::wstring guid = QORGuidToString(*clsid);
    EXPECT_EQ(std::count(records.begin(), records.end(), guid), 1);
    EXPECT_EQ(Number(Record(*clsid), L"Flags"), 12u);
    EXPECT_EQ(Number(Record(*clsid), L"NumAPOInterfaces"), 1u);
    EXPECT_EQ(Text(Record(*clsid), L"APOInterface1"), L"<missing>");
    // The module's own path, with the system's separators.
    EXPECT_EQ(Text(L"CLSID\\" + guid + L"\\InprocServer32", L""),
              std::filesystem::path(QOR_APO_MODULE).make_preferred().wstring());
    EXPECT_EQ(Text(L"CLSID\\" + guid + L"\\InprocServer32", L"ThreadingModel"), L"Both");
  }
  EXPECT_EQ(Text(Record(CLSID_KEL_EFX_APO), L"FriendlyName"), L"KEL EFX APO");
  EXPECT_EQ(Text(Record(CLSID_KEL_EFX_APO), L"APOInterface0"), QORGuidToString(IID_IKEL_EFX_APO));
  EXPECT_FALSE(Exists(efxClass + L"\\Stale"));
  const std::wstring appId = QORGuidToString(QORAPOModuleRegistration::kAppId);
  EXPECT_EQ(Text(L"CLSID\\" + QORGuidToString(CLSID_QOR_LFX_APO_Varion), L"AppID"), appId);
  EXPECT_TRUE(Exists(L"AppID\\" + appId));

  // Unregistering removes the classes and the application ID but keeps the engine's records.
  // Someone else's class and application ID share the NoRemove parents.
  ASSERT_TRUE(Key(L"CLSID\\{Other}", true).IsOpen() && Key(L"AppID\\{OtherApp}", true).IsOpen());
  ASSERT_EQ(Unregister(), S_OK);

  for (const CLSID* clsid : kClasses) {
    EXPECT_FALSE(Exists(L"CLSID\\" + QORGuidToString(*clsid)));
    EXPECT_EQ(Text(Record(*clsid), L"APOInterface0").size(), 38u);
  }
  EXPECT_EQ(SubKeys(kQORAPORegistrationRoot).size(), 7u);
  EXPECT_EQ(SubKeys(L"CLSID"), std::vector<std::wstring>{L"{Other}"});
  EXPECT_EQ(SubKeys(L"AppID"), std::vector<std::wstring>{L"{OtherApp}"});
  EXPECT_FALSE(Exists(L"TypeLib\\" + QORGuidToString(QORAPOModuleRegistration::kLibId)));
  EXPECT_EQ(Unregister(), S_OK);  // what is not registered: no fault
}

TEST_F(QORAPOModuleTest, AnEngineRecordWithAnImpossibleInterfaceCountIsRefused) {
  APO_REG_PROPERTIES record{};
  record.clsid = CLSID_KEL_SFX_APO;
  for (const uint32_t count : {2u, 0u}) {  // the record holds one
    record.u32NumAPOInterfaces = count;
    EXPECT_EQ(RegisterAPO(&record), E_INVALIDARG);
  }
  EXPECT_FALSE(Exists(Record(CLSID_KEL_SFX_APO)));
  // A friendly name without its NUL is cut at the field's end, not read past it.
  record.u32NumAPOInterfaces = 1;
  std::fill(std::begin(record.szFriendlyName), std::end(record.szFriendlyName), L'n');
  ASSERT_EQ(RegisterAPO(&record), S_OK);
  EXPECT_EQ(Text(Record(CLSID_KEL_SFX_APO), L"FriendlyName"), std::wstring(kAPORegTextChars, L'n'));
}

}  // namespace
