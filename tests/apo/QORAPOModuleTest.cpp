#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cwchar>
#include <vector>

#include "APOTestSupport.h"
#include "apo/IQORAPOHostState.h"
#include "apo/QORAPOClassIds.h"
#include "common/QORTextConvert.h"
#include "platform/IAudioProcessingObject.h"
#include "platform/IAudioProcessingObjectConfiguration.h"
#include "platform/IAudioProcessingObjectRT.h"
#include "platform/IAudioSystemEffects2.h"
#include "platform/IClassFactory.h"
#include "platform/QORComObject.h"
#include "platform/QORLoadedModule.h"

namespace {

using GetClassObjectFunction = HRESULT (*)(REFCLSID, REFIID, void**);
using CanUnloadNowFunction = HRESULT (*)();

// The built module, loaded as the host shell loads it. It is never unmapped, so every test of
// the process shares one copy.
class QORAPOModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(module_.Load(QORUtf8ToWide(QOR_APO_MODULE)));
    getClassObject_ =
        reinterpret_cast<GetClassObjectFunction>(module_.FindExport("DllGetClassObject"));
    canUnloadNow_ = reinterpret_cast<CanUnloadNowFunction>(module_.FindExport("DllCanUnloadNow"));
    ASSERT_NE(getClassObject_, nullptr);
    ASSERT_NE(canUnloadNow_, nullptr);
  }

  QORComPtr<IClassFactory> Factory(REFCLSID clsid) {
    QORComPtr<IClassFactory> factory;
    EXPECT_EQ(S_OK, getClassObject_(clsid, IID_IClassFactory, factory.PutVoid()));
    return factory;
  }

  qortest::TempStateRoot root_;
  QORLoadedModule module_;
  GetClassObjectFunction getClassObject_ = nullptr;
  CanUnloadNowFunction canUnloadNow_ = nullptr;
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
  ASSERT_EQ(S_OK, canUnloadNow_());
  for (const auto& c : classes) {
    SCOPED_TRACE(QORWideToUtf8(c.name));
    const QORComPtr<IClassFactory> factory = Factory(c.clsid);
    ASSERT_TRUE(factory);
    QORComPtr<IAudioProcessingObject> apo;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IAudioProcessingObject, apo.PutVoid()));
    EXPECT_EQ(S_FALSE, canUnloadNow_());
    for (const IID& iid : {IID_IAudioProcessingObjectRT, IID_IAudioProcessingObjectConfiguration,
                           IID_IAudioSystemEffects, IID_IQORAPOHostState, c.own}) {
      QORComPtr<IUnknown> face;
      EXPECT_EQ(S_OK, apo->QueryInterface(iid, face.PutVoid())) << QORGuidToString(iid).c_str();
    }
    QORComPtr<IAudioSystemEffects2> effects;
    ASSERT_EQ(c.effects2 ? S_OK : E_NOINTERFACE,
              apo->QueryInterface(IID_IAudioSystemEffects2, effects.PutVoid()));
    if (effects) {
      GUID* ids = nullptr;
      UINT count = 5;
      EXPECT_EQ(E_NOTIMPL, effects->GetEffectsList(&ids, &count, nullptr));
      EXPECT_EQ(count, 0u);
    }
    APO_REG_PROPERTIES* properties = nullptr;
    ASSERT_EQ(S_OK, apo->GetRegistrationProperties(&properties));
    EXPECT_EQ(properties->clsid, c.clsid);
    EXPECT_EQ(properties->Flags, 12u);
    EXPECT_STREQ(properties->szFriendlyName, c.name);
    EXPECT_EQ(properties->u32MaxInstances, 0xFFFFFFFFu);
    EXPECT_EQ(properties->u32NumAPOInterfaces, 1u);
    EXPECT_EQ(properties->iidAPOInterfaceList[0], c.own);
    CoTaskMemFree(properties);
    QORComPtr<IUnknown> identity;
    QORComPtr<IUnknown> again;
    ASSERT_EQ(S_OK, apo->QueryInterface(IID_IUnknown, identity.PutVoid()));
    ASSERT_EQ(S_OK, effects ? effects->QueryInterface(IID_IUnknown, again.PutVoid())
                            : apo->QueryInterface(IID_IUnknown, again.PutVoid()));
    EXPECT_EQ(identity.Get(), again.Get());
  }
  EXPECT_EQ(S_OK, canUnloadNow_());

  // Rows without a factory, and unknown classes.
  void* object = reinterpret_cast<void*>(1);
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE,
            getClassObject_(CLSID_LQORAPOProcessManager, IID_IClassFactory, &object));
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE,
            getClassObject_(IID_IKEL_SFX_APO, IID_IClassFactory, &object));
  EXPECT_EQ(E_NOINTERFACE, getClassObject_(CLSID_KEL_SFX_APO, IID_IAudioProcessingObject, &object));

  // LockServer keeps the module.
  const QORComPtr<IClassFactory> factory = Factory(CLSID_KEL_EFX_APO);
  EXPECT_EQ(S_OK, factory->LockServer(1));
  EXPECT_EQ(S_FALSE, canUnloadNow_());
  EXPECT_EQ(S_OK, factory->LockServer(0));
  EXPECT_EQ(S_OK, canUnloadNow_());

  // Aggregated: only IUnknown may be asked for; the inner object's interfaces belong to the outer.
  auto* outer = new Outer;
  QORComPtr<IUnknown> refused;
  EXPECT_EQ(CLASS_E_NOAGGREGATION,
            factory->CreateInstance(outer, IID_IAudioProcessingObject, refused.PutVoid()));
  EXPECT_EQ(refused.Get(), nullptr);
  ASSERT_EQ(S_OK, factory->CreateInstance(outer, IID_IUnknown, outer->inner.PutVoid()));
  EXPECT_EQ(S_FALSE, canUnloadNow_());
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
  EXPECT_EQ(S_OK, canUnloadNow_());
  outer->Release();
}

// The whole road through the loaded module: an attached render object processes real periods.
TEST_F(QORAPOModuleTest, AttachedRenderObjectProcessesPeriods) {
  const std::wstring path = QORUtf8ToWide(root_.Path()) + L"/config/laptop.xml";
  qortest::MakeEndpoint(true, path, apotest::ReadExample());
  const QORComPtr<IMMDeviceCollection> devices = apotest::Endpoints(eRender);
  QORComPtr<IMMDevice> device;
  ASSERT_EQ(S_OK, devices->Item(0, device.Put()));
  const QORComPtr<IPropertyStore> store = apotest::StoreOf(device.Get());

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

  apotest::InitRecord record(store.Get(), devices.Get(), sizeof(APOInitSystemEffects2));
  ASSERT_EQ(S_OK, apo->Initialize(sizeof(APOInitSystemEffects2), record.Data()));
  const QORComPtr<IAudioMediaType> stereo = apotest::FloatType(2, 48000);
  QORComPtr<IAudioMediaType> input;
  QORComPtr<IAudioMediaType> output;
  ASSERT_EQ(S_OK, apo->IsInputFormatSupported(nullptr, stereo.Get(), input.Put()));
  ASSERT_EQ(S_OK, apo->IsOutputFormatSupported(input.Get(), stereo.Get(), output.Put()));
  apotest::Connections connections(input.Get(), output.Get(), 480);
  ASSERT_EQ(S_OK, configuration->LockForProcess(1, connections.inputs, 1, connections.outputs));

  QORAPOHostStateInfo info{};
  ASSERT_EQ(S_OK, state->GetHostState(&info));
  EXPECT_TRUE(info.attached);
  ASSERT_TRUE(info.ready);
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
    for (uint32_t f = 0; f < 480; ++f, ++n) {
      period.in[2 * f] = period.in[2 * f + 1] =
          0.25f * static_cast<float>(std::sin(static_cast<double>(n) * 0.1308996939));
    }
    const std::vector<float> in = period.in;
    period.Arm(480, BUFFER_VALID);
    rt->APOProcess(1, period.inputs, 1, period.outputs);
    ASSERT_EQ(period.output.u32ValidFrameCount, 480u);
    ASSERT_EQ(period.output.u32BufferFlags, BUFFER_VALID);
    for (size_t s = 0; i >= 50 && s < in.size(); ++s) {
      ASSERT_TRUE(std::isfinite(period.out[s]));
      difference += std::fabs(period.out[s] - in[s]);
    }
  }
  EXPECT_GT(difference, 1.0);
  EXPECT_EQ(S_OK, configuration->UnlockForProcess());
  EXPECT_EQ(APOERR_NOT_LOCKED, configuration->UnlockForProcess());
}

}  // namespace
