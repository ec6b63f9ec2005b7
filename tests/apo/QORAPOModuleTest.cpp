#include <gtest/gtest.h>
#include <locale.h>

#include <algorithm>
#include <cmath>
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

// An outer object that counts the calls its inner object delegates to it.
class Outer final : public QORComObject<IUnknown> {
 public:
  HRESULT QueryInterface(REFIID iid, void** object) override {
    ++queries;
    if (iid == IID_IUnknown) {
      *object = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    return inner ? inner->QueryInterface(iid, object) : E_NOINTERFACE;
  }
  uint32_t AddRef() override {
    ++addRefs;
    return QORComObject<IUnknown>::AddRef();
  }
  int queries = 0;
  int addRefs = 0;
  QORComPtr<IUnknown> inner;
};

TEST_F(QORAPOModuleTest, ClassFactoriesServeTheClassTableWithAggregation) {
  const struct {
    CLSID clsid;
    IID own;
    const wchar_t* name;
    bool effects2;
  } classes[] = {
      {CLSID_QOR_LFX_APO_Varion, IID_IQOR_LFX_APO_Varion, L"QOR LFX APO", true},
      {CLSID_QOR_LFX_Capture_APO_Varion, IID_IQOR_LFX_Capture_APO_Varion, L"QOR LFX Capture APO",
       false},
      {CLSID_KEL_SFX_APO, IID_IKEL_SFX_APO, L"KEL SFX APO", true},
      {CLSID_KEL_MFX_APO, IID_IKEL_MFX_APO, L"KEL MFX APO", true},
      {CLSID_KEL_EFX_APO, IID_IKEL_EFX_APO, L"KEL EFX APO", true},
      {CLSID_KEL_OSFX_APO, IID_IKEL_OSFX_APO, L"KEL OSFX APO", true},
      {CLSID_KEL_OMFX_APO, IID_IKEL_OMFX_APO, L"KEL OMFX APO", true},
  };
  ASSERT_EQ(S_OK, CanUnloadNow());
  for (const auto& c : classes) {
    SCOPED_TRACE(QORWideToUtf8(c.name));
    QORComPtr<IAudioProcessingObject> apo;
    ASSERT_EQ(S_OK,
              Factory(c.clsid)->CreateInstance(nullptr, IID_IAudioProcessingObject, apo.PutVoid()));
    EXPECT_EQ(S_FALSE, CanUnloadNow());
    for (const IID& iid : {IID_IAudioProcessingObjectRT, IID_IAudioProcessingObjectConfiguration,
                           IID_IAudioSystemEffects, IID_IQORAPOHostState, c.own}) {
      QORComPtr<IUnknown> face;
      EXPECT_EQ(S_OK, apo->QueryInterface(iid, face.PutVoid())) << QORGuidToString(iid).c_str();
    }
    QORComPtr<IUnknown> effects, identity, again;
    EXPECT_EQ(c.effects2 ? S_OK : E_NOINTERFACE,
              apo->QueryInterface(IID_IAudioSystemEffects2, effects.PutVoid()));
    APO_REG_PROPERTIES* properties = nullptr;
    ASSERT_EQ(S_OK, apo->GetRegistrationProperties(&properties));
    EXPECT_EQ(properties->clsid, c.clsid);
    EXPECT_STREQ(properties->szFriendlyName, c.name);
    EXPECT_EQ(properties->Flags, 12u);
    EXPECT_EQ(properties->u32MaxInstances, 0xFFFFFFFFu);
    EXPECT_EQ(properties->iidAPOInterfaceList[0], c.own);
    CoTaskMemFree(properties);
    // One identity whichever interface is asked.
    ASSERT_EQ(S_OK, apo->QueryInterface(IID_IUnknown, identity.PutVoid()));
    ASSERT_EQ(S_OK, (effects ? effects : identity)->QueryInterface(IID_IUnknown, again.PutVoid()));
    EXPECT_EQ(identity.Get(), again.Get());
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
  const int queries = outer->queries;
  ASSERT_EQ(S_OK, apo->QueryInterface(IID_IUnknown, identity.PutVoid()));
  EXPECT_EQ(outer->queries, queries + 1);
  EXPECT_EQ(identity.Get(), static_cast<IUnknown*>(outer));
  identity.Reset();
  apo.Reset();
  outer->inner.Reset();  // the inner object ends with the outer's reference
  EXPECT_EQ(S_OK, CanUnloadNow());
  outer->Release();
}

// The whole road through the loaded module: an attached render object runs the example's chain
// and processes periods of the engine's length.
TEST_F(QORAPOModuleTest, AttachedRenderObjectProcessesPeriods) {
  const apotest::Endpoint endpoint(eRender, &root_);
  QORComPtr<IAudioProcessingObject> apo;
  ASSERT_EQ(S_OK, Factory(CLSID_QOR_LFX_APO_Varion)
                      ->CreateInstance(nullptr, IID_IAudioProcessingObject, apo.PutVoid()));
  QORComPtr<IAudioProcessingObjectConfiguration> configuration;
  QORComPtr<IAudioProcessingObjectRT> rt;
  QORComPtr<IQORAPOHostState> state;
  ASSERT_EQ(S_OK,
            apo->QueryInterface(IID_IAudioProcessingObjectConfiguration, configuration.PutVoid()));
  ASSERT_EQ(S_OK, apo->QueryInterface(IID_IAudioProcessingObjectRT, rt.PutVoid()));
  ASSERT_EQ(S_OK, apo->QueryInterface(IID_IQORAPOHostState, state.PutVoid()));
  const QORComPtr<IAudioMediaType> stereo = apotest::FloatType(2, 48000);
  apotest::Connections connections(stereo.Get(), stereo.Get(), 480);
  ASSERT_EQ(S_OK, apotest::Attach(apo.Get(), configuration.Get(), endpoint, connections));
  QORAPOHostStateInfo info{};
  ASSERT_EQ(S_OK, state->GetHostState(&info));
  ASSERT_TRUE(info.attached && info.ready);
  // The count a host checks every period, without the chain line.
  uint32_t rebuilds = info.rebuildCount + 1;
  ASSERT_EQ(S_OK, state->GetRebuildCount(&rebuilds));
  EXPECT_EQ(rebuilds, info.rebuildCount);
  EXPECT_EQ(E_POINTER, state->GetRebuildCount(nullptr));
  // The example's default mode at this position: its processes, each with its name.
  EXPECT_NE(std::string(info.chain).find("ZR3D (LFX_Main) > QOR Speaker Protection (LFX_Protect)"),
            std::string::npos)
      << info.chain;
  HNSTIME latency = 0;
  ASSERT_EQ(S_OK, apo->GetLatency(&latency));
  EXPECT_EQ(latency, info.latency / 10);
  EXPECT_GT(latency, 0);

  // A 1 kHz tone: past the chain's latency the output is the processed tone, finite and not the
  // input.
  apotest::Period period(2, 2, 480);
  double difference = 0;
  for (uint64_t n = 0, i = 0; i < 100; ++i) {
    for (uint32_t f = 0; f < 480; ++f, ++n)
      period.in[2 * f] = period.in[2 * f + 1] = 0.25f * static_cast<float>(std::sin(n * 0.1309));
    period.Arm(480, BUFFER_VALID);
    rt->APOProcess(1, period.inputs, 1, period.outputs);
    ASSERT_EQ(period.output.u32ValidFrameCount, 480u);
    for (size_t s = 0; i >= 50 && s < period.in.size(); ++s) {
      ASSERT_TRUE(std::isfinite(period.out[s]));
      difference += std::fabs(period.out[s] - period.in[s]);
    }
  }
  EXPECT_GT(difference, 1.0);
  EXPECT_EQ(S_OK, configuration->UnlockForProcess());
  EXPECT_EQ(APOERR_NOT_LOCKED, configuration->UnlockForProcess());
}

TEST_F(QORAPOModuleTest, RegisteringTwiceLeavesOneKeyPerClassAndUnregisteringKeepsTheRecords) {
  ASSERT_EQ(Register(), S_OK);
  // Leftovers of an older version: a stale engine value and a stale class subkey.
  const std::wstring efxClass = L"CLSID\\" + QORGuidToString(CLSID_KEL_EFX_APO);
  ASSERT_EQ(Key(Record(CLSID_KEL_EFX_APO))
                .SetString(L"APOInterface1", L"{00000000-0000-0000-0000-000000000000}"),
            ERROR_SUCCESS);
  ASSERT_TRUE(Key(efxClass + L"\\Stale", true).IsOpen());
  // The caller's thread locale comes back as it was, after registering and unregistering.
  locale_t own = newlocale(LC_ALL_MASK, "C.UTF-8", static_cast<locale_t>(0));
  ASSERT_NE(own, static_cast<locale_t>(0));
  locale_t before = uselocale(own);
  ASSERT_EQ(Register(), S_OK);
  EXPECT_EQ(uselocale(static_cast<locale_t>(0)), own);

  const std::vector<std::wstring> records = SubKeys(kQORAPORegistrationRoot);
  ASSERT_EQ(records.size(), 7u);
  for (const CLSID* clsid : kClasses) {
    const std::wstring guid = QORGuidToString(*clsid);
    EXPECT_EQ(std::count(records.begin(), records.end(), guid), 1);
    EXPECT_EQ(Number(Record(*clsid), L"Flags"), 12u);
    EXPECT_EQ(Number(Record(*clsid), L"NumAPOInterfaces"), 1u);
    EXPECT_EQ(Text(Record(*clsid), L"APOInterface1"), L"<missing>");
    EXPECT_EQ(Text(L"CLSID\\" + guid + L"\\InprocServer32", L""), QORUtf8ToWide(QOR_APO_MODULE));
    EXPECT_EQ(Text(L"CLSID\\" + guid + L"\\InprocServer32", L"ThreadingModel"), L"Both");
    EXPECT_EQ(Text(L"CLSID\\" + guid + L"\\TypeLib", L""),
              QORGuidToString(QORAPOModuleRegistration::kLibId));
  }
  EXPECT_EQ(Text(Record(CLSID_KEL_EFX_APO), L"FriendlyName"), L"KEL EFX APO");
  EXPECT_EQ(Text(Record(CLSID_KEL_EFX_APO), L"APOInterface0"), QORGuidToString(IID_IKEL_EFX_APO));
  EXPECT_FALSE(Exists(efxClass + L"\\Stale"));
  const std::wstring appId = QORGuidToString(QORAPOModuleRegistration::kAppId);
  EXPECT_EQ(Text(L"CLSID\\" + QORGuidToString(CLSID_QOR_LFX_APO_Varion), L"AppID"), appId);
  EXPECT_EQ(Text(L"AppID\\" + appId, L""), L"QOR_APO_Varion");
  EXPECT_EQ(Text(QORAPOModuleRegistration::TypeLibKey(), L""), L"QOR_APO_Varion 1.0 Type Library");
  EXPECT_EQ(Text(QORAPOModuleRegistration::TypeLibKey(), L"Name"), L"QOR_APO_VarionLib");

  // Unregistering removes the classes and the application ID but keeps the engine's records.
  // Someone else's class and application ID share the NoRemove parents.
  ASSERT_TRUE(Key(L"CLSID\\{Other}", true).IsOpen() && Key(L"AppID\\{OtherApp}", true).IsOpen());
  ASSERT_EQ(Unregister(), S_OK);
  EXPECT_EQ(uselocale(static_cast<locale_t>(0)), own);
  uselocale(before);
  freelocale(own);

  for (const CLSID* clsid : kClasses) {
    EXPECT_FALSE(Exists(L"CLSID\\" + QORGuidToString(*clsid)));
    EXPECT_EQ(Text(Record(*clsid), L"APOInterface0").size(), 38u);
  }
  EXPECT_EQ(SubKeys(kQORAPORegistrationRoot).size(), 7u);
  EXPECT_EQ(SubKeys(L"CLSID"), std::vector<std::wstring>{L"{Other}"});
  EXPECT_EQ(SubKeys(L"AppID"), std::vector<std::wstring>{L"{OtherApp}"});
  EXPECT_FALSE(Exists(L"QOR_APO_Varion.QOR_LFX_APO_Varion"));
  EXPECT_FALSE(Exists(L"QOR_APO_Varion.QOR_LFX_Capture_APO_Varion.1"));
  EXPECT_FALSE(Exists(L"TypeLib\\" + QORGuidToString(QORAPOModuleRegistration::kLibId)));
  // Unregistering what is not registered is no fault, and registering again works.
  EXPECT_EQ(Unregister(), S_OK);
  EXPECT_EQ(Register(), S_OK);
  EXPECT_EQ(Text(L"CLSID\\" + QORGuidToString(CLSID_KEL_SFX_APO) + L"\\InprocServer32", L""),
            QORUtf8ToWide(QOR_APO_MODULE));
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
