#include <gtest/gtest.h>

#include <cmath>
#include <tuple>
#include <vector>

#include "APOTestSupport.h"
#include "TraceCapture.h"
#include "apo/CKEL_EFX_APO.h"
#include "apo/CKEL_MFX_APO.h"
#include "apo/CKEL_SFX_APO.h"
#include "apo/CQOR_LFX_APO_Varion.h"
#include "apo/CQOR_LFX_Capture_APO_Varion.h"
#include "apo/QORAPOModule.h"
#include "platform/QORAudioEndpointKeys.h"
#include "platform/QORComAggregate.h"
#include "platform/QORRegistryKey.h"
#include "platform/QORSystemInfo.h"

namespace {

using apotest::Connections;
using apotest::Endpoint;
using apotest::FloatType;
using apotest::InitRecord;
using apotest::Period;

// An object of class T held through its IUnknown, with its C++ face for the checks.
template <typename T>
struct Object {
  QORComPtr<IUnknown> unknown;
  T* apo = nullptr;
  Object() {
    EXPECT_EQ(S_OK, QORComAggregate<T>::Create(nullptr, IID_IUnknown, unknown.PutVoid()));
    IAudioProcessingObject* face = nullptr;
    EXPECT_EQ(S_OK,
              unknown->QueryInterface(IID_IAudioProcessingObject, reinterpret_cast<void**>(&face)));
    apo = static_cast<T*>(static_cast<CBaseAudioProcessingObject*>(face));
    face->Release();
  }
  T* operator->() const { return apo; }
  HRESULT Attach(const Endpoint& e, Connections& c) { return apotest::Attach(apo, apo, e, c); }
  HRESULT Lock(Connections& c) { return apo->LockForProcess(1, c.inputs, 1, c.outputs); }
  void Run(Period& p) { apo->APOProcess(1, p.inputs, 1, p.outputs); }
};

class QORAPOObjectTest : public ::testing::Test {
 protected:
  void TearDown() override { QORSystemInfo::SetOSVersionForTesting(nullptr); }

  qortest::TempStateRoot root_;
};

TEST_F(QORAPOObjectTest, FormatNegotiationByChannelsRateAndSide) {
  Object<CKEL_SFX_APO> render;
  Object<CQOR_LFX_Capture_APO_Varion> capture;
  auto query = [](CQOR_LFX_APO_Varion_Base* apo, bool input, IAudioMediaType* opposite,
                  IAudioMediaType* requested, QORComPtr<IAudioMediaType>* supported) {
    return input ? apo->IsInputFormatSupported(opposite, requested, supported->Put())
                 : apo->IsOutputFormatSupported(opposite, requested, supported->Put());
  };
  const HRESULT kRefused = APOERR_FORMAT_NOT_SUPPORTED;
  for (const bool input : {true, false}) {
    SCOPED_TRACE(input);
    QORComPtr<IAudioMediaType> supported;
    const std::tuple<CQOR_LFX_APO_Varion_Base*, uint16_t, uint32_t, HRESULT> cases[] = {
        {render.apo, 2, 48000, S_OK},  {render.apo, 4, 48000, kRefused},
        {render.apo, 6, 48000, S_OK},  {capture.apo, 2, 48000, S_OK},
        {render.apo, 2, 192000, S_OK}, {render.apo, 2, 192001, kRefused},
        {capture.apo, 1, 16000, S_OK}, {capture.apo, 3, 48000, kRefused}};
    for (const auto& [apo, channels, rate, expected] : cases) {
      SCOPED_TRACE(testing::Message() << channels << " x " << rate);
      const QORComPtr<IAudioMediaType> requested = FloatType(channels, rate);
      EXPECT_EQ(expected, query(apo, input, nullptr, requested.Get(), &supported));
      EXPECT_EQ(expected == S_OK ? requested.Get() : nullptr, supported.Get());
    }
    EXPECT_EQ(kRefused,  // 24 valid bits
              query(render.apo, input, nullptr, FloatType(2, 48000, 24).Get(), &supported));

    // Another rate on the opposite side: the requested layout at that rate.
    const QORComPtr<IAudioMediaType> requested = FloatType(6, 48000);
    ASSERT_EQ(S_FALSE,
              query(render.apo, input, FloatType(2, 44100).Get(), requested.Get(), &supported));
    ASSERT_NE(supported.Get(), nullptr);
    const WAVEFORMATEX* proposed = supported->GetAudioFormat();
    EXPECT_EQ(proposed->nSamplesPerSec, 44100u);
    EXPECT_EQ(proposed->nChannels, 6u);
    EXPECT_EQ(proposed->nAvgBytesPerSec, 44100u * 24u);
  }
}

TEST_F(QORAPOObjectTest, InitializeChecksTheRecordSizesAndKeepsTheDevice) {
  QOREndpointStore::Add(eRender, qortest::EndpointId(true), L"Speakers", DEVICE_STATE_ACTIVE);
  const GUID second = {0x5A1B2C3F, 0x4E5F, 0x4A6B, {1, 2, 3, 4, 5, 6, 7, 10}};
  QOREndpointStore::Add(eRender, second, L"Headphones", DEVICE_STATE_ACTIVE);
  const QORComPtr<IMMDeviceCollection> devices = Endpoint(eRender).devices;
  QORComPtr<IMMDevice> device0, device1;
  devices->Item(0, device0.Put());
  devices->Item(1, device1.Put());
  QORComPtr<IPropertyStore> store;
  ASSERT_EQ(S_OK, device1->OpenPropertyStore(STGM_READ, store.Put()));

  // Render: at least the first record; the second's fields from its full size on.
  for (const uint32_t size : {55u, 56u, 87u, 88u}) {
    SCOPED_TRACE(size);
    Object<CKEL_EFX_APO> apo;
    InitRecord record(store.Get(), devices.Get(), size);
    record.record.nSoftwareIoDeviceInCollection = 1;
    record.record.InitializeForDiscoveryOnly = TRUE;
    EXPECT_EQ(size >= 56 ? S_OK : E_INVALIDARG, apo->Initialize(size, record.Data()));
    if (size < 56) continue;
    EXPECT_EQ(apo->GetEndpointDevice(), size == 88 ? device1.Get() : device0.Get());
    EXPECT_EQ(apo->IsDiscoveryOnly(), size == 88);
    EXPECT_EQ(apo->GetEndpointGuid().empty(), size != 88);
  }
  // Capture: exactly the first record. Missing store or collection.
  for (const uint32_t size : {55u, 56u, 57u, 88u}) {
    Object<CQOR_LFX_Capture_APO_Varion> apo;
    InitRecord record(store.Get(), devices.Get(), size);
    EXPECT_EQ(size == 56 ? S_OK : E_INVALIDARG, apo->Initialize(size, record.Data())) << size;
  }
  for (const auto& [withStore, size] : {std::pair{false, 56u}, {true, 88u}}) {
    Object<CKEL_SFX_APO> apo;
    InitRecord record(withStore ? store.Get() : nullptr, withStore ? nullptr : devices.Get(), size);
    EXPECT_EQ(E_INVALIDARG, apo->Initialize(size, record.Data()));
  }
  // A device index the collection does not have: no device, said so, and the object still
  // attaches by the store's endpoint and processes.
  qortest::TraceCapture trace;
  Object<CKEL_SFX_APO> lost;
  InitRecord record(store.Get(), devices.Get(), 88);
  record.record.nSoftwareIoDeviceInCollection = 7;
  ASSERT_EQ(S_OK, lost->Initialize(88, record.Data()));
  EXPECT_EQ(lost->GetEndpointDevice(), nullptr);
  EXPECT_EQ(trace.LinesContaining("no device 7 in the collection").size(), 1u);
  const QORComPtr<IAudioMediaType> stereo = FloatType(2, 48000);
  Connections connections(stereo.Get(), stereo.Get(), 64);
  ASSERT_EQ(S_OK, lost.Lock(connections));
  Period period(2, 2, 64);
  std::fill(period.in.begin(), period.in.end(), 0.25f);
  lost.Run(period);
  EXPECT_EQ(period.output.u32ValidFrameCount, 64u);
}

TEST_F(QORAPOObjectTest, UnattachedObjectPassesChannelsThroughAndCountsLockOrdinals) {
  const Endpoint none(eRender);  // no endpoint: the objects cannot attach
  const QORComPtr<IAudioMediaType> stereo = FloatType(2, 48000);
  const QORComPtr<IAudioMediaType> surround = FloatType(6, 48000);
  const int32_t lockedBefore = CQOR_LFX_APO_Varion_Base::GetLockedInstances();
  Object<CKEL_SFX_APO> first;
  Object<CKEL_MFX_APO> second;
  Connections upmix(stereo.Get(), surround.Get(), 64);
  Connections other(surround.Get(), surround.Get(), 64);
  EXPECT_EQ(APOERR_NOT_LOCKED, first->UnlockForProcess());
  ASSERT_EQ(S_OK, first.Attach(none, upmix));
  EXPECT_EQ(APOERR_ALREADY_LOCKED, first.Lock(upmix));
  ASSERT_EQ(S_OK, second.Attach(none, other));
  EXPECT_FALSE(first->IsAttached());
  EXPECT_EQ(first->GetLockOrdinal(), lockedBefore + 1);
  EXPECT_EQ(second->GetLockOrdinal(), lockedBefore + 2);
  HNSTIME latency = -1;
  EXPECT_EQ(S_OK, first->GetLatency(&latency));
  EXPECT_EQ(latency, 0);

  // Channels 0 and 1 pass, 2 to 5 are zero; no room given means the input's frame count.
  Period period(2, 6, 64);
  for (size_t i = 0; i < period.in.size(); ++i) period.in[i] = 0.25f + static_cast<float>(i);
  std::fill(period.out.begin(), period.out.end(), 9.0f);
  period.output.u32ValidFrameCount = 0;
  first.Run(period);
  EXPECT_EQ(period.output.u32ValidFrameCount, 64u);
  EXPECT_EQ(period.output.u32BufferFlags, BUFFER_VALID);
  for (uint32_t f = 0; f < 64; ++f) {
    for (uint32_t c = 0; c < 6; ++c) {
      EXPECT_EQ(period.out[f * 6 + c], c < 2 ? period.in[f * 2 + c] : 0.0f) << f << "," << c;
    }
  }
  // A silent period is zeroed at the input and passed as silence.
  period.Arm(64, BUFFER_SILENT);
  first.Run(period);
  EXPECT_EQ(period.in[3], 0.0f);
  EXPECT_EQ(period.out[0], 0.0f);
  EXPECT_EQ(period.output.u32BufferFlags, BUFFER_SILENT);

  // Unlocking gives up the rank; the next lock ranks after those still locked.
  ASSERT_EQ(S_OK, first->UnlockForProcess());
  EXPECT_EQ(first->GetLockOrdinal(), -1);
  EXPECT_EQ(CQOR_LFX_APO_Varion_Base::GetLockedInstances(), lockedBefore + 1);
  // Locked with an output buffer of 40 frames: a period of 64 never writes past it.
  upmix.output.u32MaxFrameCount = 40;
  ASSERT_EQ(S_OK, first.Lock(upmix));
  EXPECT_EQ(first->GetLockOrdinal(), lockedBefore + 2);
  Period small(2, 6, 64);
  small.out.resize(40 * 6);
  small.output.pBuffer = reinterpret_cast<UINT_PTR>(small.out.data());
  small.output.u32ValidFrameCount = 0;
  first.Run(small);
  EXPECT_EQ(small.output.u32ValidFrameCount, 40u);
}

// Two attached objects fed the same periods: one gets digital silence flagged silent, its twin
// the same zeros flagged valid. The first must sound like the twin: what its chains hold comes out
// as sound, and only truly silent output is passed on as silent.
TEST_F(QORAPOObjectTest, SilenceRunsThroughTheChainsOnlyZerosGoOnSilentAndOldPlatformsBypass) {
  const Endpoint endpoint(eRender, &root_);
  const QORComPtr<IAudioMediaType> stereo = FloatType(2, 48000);
  Connections connections(stereo.Get(), stereo.Get(), 480);
  Object<CQOR_LFX_APO_Varion> flagged, twin;
  for (auto* apo : {&flagged, &twin}) {
    ASSERT_EQ(S_OK, apo->Attach(endpoint, connections));
    ASSERT_TRUE((*apo)->IsReady());
  }
  HNSTIME latency = 0;
  ASSERT_EQ(S_OK, flagged->GetLatency(&latency));
  EXPECT_EQ(latency * 10, flagged->GetManager().GetLatency());
  EXPECT_GT(latency, 0);

  Period a(2, 2, 480), b(2, 2, 480);
  uint64_t n = 0;
  constexpr float kStale = 9.0f;  // what the engine's output buffer held before
  const auto feed = [&](bool tone) {
    for (Period* p : {&a, &b}) {
      for (uint32_t f = 0; f < 480; ++f) {
        const float x = 0.3f * static_cast<float>(std::sin((n + f) * 0.0654));
        p->in[2 * f] = p->in[2 * f + 1] = tone ? x : 0.0f;
      }
      p->Arm(480, BUFFER_VALID);
    }
    if (!tone) a.Arm(480, BUFFER_SILENT);
    std::fill(a.out.begin(), a.out.end(), kStale);
    n += 480;
    flagged.Run(a);
    twin.Run(b);
  };
  for (int i = 0; i < 30; ++i) {
    feed(true);
    ASSERT_EQ(a.out, b.out) << i;
  }
  ASSERT_NE(*std::max_element(a.out.begin(), a.out.end()), 0.0f);

  // Silence: the tail first, each period flagged valid while it holds a non-zero sample (down to
  // the last bits of the filters' decay), zeros flagged silent, always as many frames as came
  // in.
  int sounding = 0, quiet = 0;
  for (int i = 0; i < 400 && quiet < 20; ++i) {
    feed(false);
    ASSERT_EQ(a.out, b.out) << "silent period " << i;
    const bool zero = std::all_of(a.out.begin(), a.out.end(), [](float x) { return x == 0.0f; });
    EXPECT_EQ(a.output.u32BufferFlags, zero ? BUFFER_SILENT : BUFFER_VALID) << i;
    EXPECT_EQ(a.output.u32ValidFrameCount, 480u) << i;
    quiet = zero ? quiet + 1 : 0;
    sounding += zero ? 0 : 1;
  }
  EXPECT_GE(sounding, 2) << "the chains' tail was lost";
  EXPECT_EQ(quiet, 20);
  // The sound after the silence is the twin's from its first frame: not faded in, not shifted.
  for (int i = 0; i < 3; ++i) {
    feed(true);
    EXPECT_EQ(a.output.u32BufferFlags, BUFFER_VALID);
    ASSERT_EQ(a.out, b.out) << i;
  }

  // Before 6.1 only the first BypassCount (at most 12) locked instances process; later ones pass.
  QORRegistryKey key;
  ASSERT_EQ(ERROR_SUCCESS,
            QORRegistryKey::Create(QORRegistryHive::kLocalMachine, L"Software\\KEL\\KEL Sonora",
                                   KEY_ALL_ACCESS, key));
  key.SetDword(L"BypassCount", 13);
  QORAPOModule::ReadBypassCount();
  EXPECT_EQ(QORAPOModule::GetBypassCount(), 12u);
  key.SetDword(L"BypassCount",
               static_cast<uint32_t>(CQOR_LFX_APO_Varion_Base::GetLockedInstances()));
  QORAPOModule::ReadBypassCount();
  const QOROSVersion vista = {6, 0, 6002};
  QORSystemInfo::SetOSVersionForTesting(&vista);
  Object<CQOR_LFX_APO_Varion> bypassed;
  ASSERT_EQ(S_OK, bypassed.Attach(endpoint, connections));
  ASSERT_TRUE(bypassed->IsReady());
  ASSERT_EQ(S_OK, bypassed->GetLatency(&latency));
  EXPECT_EQ(latency, 0);
  for (size_t i = 0; i < a.in.size(); ++i) a.in[i] = 0.001f * static_cast<float>(i);
  a.Arm(480, BUFFER_VALID);
  bypassed.Run(a);
  EXPECT_EQ(a.out, a.in);
}

TEST_F(QORAPOObjectTest, CaptureHoldsTheCaptureMutexWhileLocked) {
  const Endpoint endpoint(eCapture, &root_);
  Object<CQOR_LFX_Capture_APO_Varion> capture;
  void* effects2 = nullptr;
  EXPECT_EQ(E_NOINTERFACE, capture.unknown->QueryInterface(IID_IAudioSystemEffects2, &effects2));
  const QORComPtr<IAudioMediaType> mono = FloatType(1, 16000);
  Connections connections(mono.Get(), mono.Get(), 160);
  EXPECT_EQ(QOROpenNamedMutex(QORAPOProcessManager::kCaptureMutexName), nullptr);
  ASSERT_EQ(S_OK, apotest::Attach(capture.apo, capture.apo, endpoint, connections, 56));
  EXPECT_TRUE(capture->HoldsCaptureMutex());
  EXPECT_NE(QOROpenNamedMutex(QORAPOProcessManager::kCaptureMutexName), nullptr);
  ASSERT_EQ(S_OK, capture->UnlockForProcess());
  EXPECT_FALSE(capture->HoldsCaptureMutex());
  EXPECT_EQ(QOROpenNamedMutex(QORAPOProcessManager::kCaptureMutexName), nullptr);
}

}  // namespace
