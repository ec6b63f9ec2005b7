#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "TempStateRoot.h"
#include "TestEndpoint.h"
#include "TraceCapture.h"
#include "chain/QORAPOProcessLibrary.h"
#include "common/QORTextConvert.h"
#include "endpoint/QORAPOGlobalSettings.h"
#include "manager/QORAPOProcessManager.h"
#include "platform/QORAudioEndpointKeys.h"
#include "platform/QOREndpointStore.h"
#include "platform/QORRegistryPropertyStore.h"

namespace {

std::string ReadExample() {
  std::ifstream file(QOR_EXAMPLE_CONFIGURATION);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

template <typename Condition>
bool WaitFor(Condition condition, std::chrono::seconds limit = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

HRESULT SetSysFx(const GUID& endpoint, uint32_t disabled) {
  PROPVARIANT value;
  PropVariantInit(&value);
  InitPropVariantFromUInt32(disabled, &value);
  return QOREndpointStore::SetProperty(eRender, endpoint, PKEY_AudioEndpoint_Disable_SysFx, value);
}

QORComPtr<IPropertyStore> StoreOf(EDataFlow flow, const GUID& endpoint) {
  QORComPtr<IMMDevice> device;
  QORMMDevice::Create(flow, endpoint, device.Put());
  QORComPtr<IPropertyStore> store;
  device->OpenPropertyStore(STGM_READ, store.Put());
  return store;
}

// 10 ms periods of a 1 kHz stereo tone (continuing from *n) until done() or 2000 periods; left
// channels of input and output are appended. Returns done(); *stalled tells whether the test
// thread was kept away long enough for the manager to flush silence as after an engine stall.
template <typename Done>
bool Play(QORAPOProcessManager& manager, uint64_t* n, std::vector<float>& in,
          std::vector<float>& out, Done done, bool* stalled = nullptr) {
  std::vector<float> period(960);
  std::vector<float> result(960);
  auto last = std::chrono::steady_clock::now();
  for (int i = 0; i < 2000 && !done(); ++i) {
    const auto now = std::chrono::steady_clock::now();
    if (stalled != nullptr && now - last > std::chrono::milliseconds(250)) *stalled = true;
    last = now;
    for (uint32_t f = 0; f < 480; ++f, ++*n) {
      period[2 * f] = period[2 * f + 1] = 0.1f * static_cast<float>(std::sin(*n * 0.1308996939));
      in.push_back(period[2 * f]);
    }
    uint32_t frames = 480;
    uint32_t outFrames = 480;
    manager.Process(period.data(), &frames, result.data(), &outFrames, false);
    for (uint32_t f = 0; f < outFrames; ++f) out.push_back(result[2 * f]);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

class QORAPOProcessManagerEndpointTest : public ::testing::Test {
 protected:
  void SetUp() override { path_ = QORUtf8ToWide(root_.Path()) + L"/config/laptop.xml"; }

  qortest::TempStateRoot root_;
  std::wstring path_;
};

TEST_F(QORAPOProcessManagerEndpointTest, AttachesByTheStoresGuidAndFollowsTheSystemEffectsSwitch) {
  const QORAPOEndpointInfo render = qortest::MakeEndpoint(true, path_, ReadExample());
  const GUID id = qortest::EndpointId(true);
  QORAPOProcessManager manager;

  // A store without a GUID, and one naming an endpoint the tools do not list (not active).
  QORComPtr<IPropertyStore> empty;
  ASSERT_EQ(S_OK, QORRegistryPropertyStore::Create(QORRegistryKey(), false, empty.Put()));
  EXPECT_FALSE(manager.SetEndpoint(nullptr, empty.Get(), APO_FX_PreBlue));
  const GUID other = {0x0BADF00D, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
  ASSERT_EQ(S_OK, QOREndpointStore::Add(eRender, other, L"Off", DEVICE_STATE_DISABLED));
  EXPECT_FALSE(manager.SetEndpoint(nullptr, StoreOf(eRender, other).Get(), APO_FX_PreBlue));
  EXPECT_EQ(manager.GetPropertyStore(), nullptr);
  EXPECT_EQ(manager.GetEndpointDevice(), nullptr);

  // Effects already switched off when the engine attaches: the first chains bypass, override 2
  // notwithstanding.
  ASSERT_EQ(S_OK, SetSysFx(id, 1));
  const QORComPtr<IPropertyStore> store = StoreOf(eRender, id);
  ASSERT_TRUE(manager.SetEndpoint(render.GetDevice(), store.Get(), APO_FX_PreBlue));
  EXPECT_EQ(manager.GetPropertyStore(), store.Get());
  ASSERT_NE(manager.GetEndpointDevice(), nullptr);
  EXPECT_EQ(manager.GetConfiguration().GetDefaultMode().GetMode().GetValueText(), "VAPO3-Music");
  manager.SetProcessingOverride(2);
  manager.Initialize(2, 2, 48000, APO_FX_PreBlue);
  ASSERT_TRUE(manager.GetCurrentChain()->constructed);
  EXPECT_TRUE(manager.GetCurrentChain()->bypassed);

  // Each change of the switch rebuilds, and the chain switched to follows its low 16 bits.
  uint64_t n = 0;
  std::vector<float> in;
  std::vector<float> out;
  for (const uint32_t disabled : {0u, 1u, 0x10000u, 0x10001u}) {
    const uint32_t before = manager.GetRebuildCount();
    ASSERT_EQ(S_OK, SetSysFx(id, disabled));
    ASSERT_TRUE(Play(manager, &n, in, out, [&] {
      return manager.GetRebuildCount() > before &&
             manager.GetWorkerPhase() == QORAPOProcessManager::kWorkerIdle &&
             manager.GetSwitchState() == QORAPOProcessManager::kSwitchStateSteady;
    })) << disabled;
    EXPECT_EQ(manager.GetCurrentChain()->bypassed, (disabled & 0xFFFF) == 1) << disabled;
  }
  // A failed attach lets go of what the previous one held.
  EXPECT_FALSE(manager.SetEndpoint(nullptr, empty.Get(), APO_FX_PreBlue));
  EXPECT_EQ(manager.GetPropertyStore(), nullptr);
  EXPECT_EQ(manager.GetEndpointDevice(), nullptr);
}

TEST_F(QORAPOProcessManagerEndpointTest, ProcessEnableOffWhilePlayingFadesToTheDelayedInput) {
  const QORAPOEndpointInfo render = qortest::MakeEndpoint(true, path_, ReadExample());
  QORAPOProcessManager manager;
  ASSERT_TRUE(manager.SetEndpoint(
      render.GetDevice(), StoreOf(eRender, render.GetEndpointGuid()).Get(), APO_FX_PreBlue));
  manager.Initialize(2, 2, 48000, APO_FX_PreBlue);
  ASSERT_FALSE(manager.GetCurrentChain()->bypassed);
  const auto delay = static_cast<size_t>(QORAPOProcessChain::FramesOf(manager.GetLatency(), 48000));
  ASSERT_GT(delay, 0u);

  uint64_t n = 0;
  std::vector<float> in;
  std::vector<float> out;
  Play(manager, &n, in, out, [&] { return in.size() >= 24000; });
  QORAPOGlobalSettings global;
  ASSERT_TRUE(global.InitGlobal(render));
  ASSERT_TRUE(
      global.WriteControl(QORUTSValue(QORAPOGlobalSettings::kProcessEnable, std::string("0"))));
  bool faded = false;
  ASSERT_TRUE(Play(manager, &n, in, out, [&] {
    faded = faded || manager.GetSwitchState() == QORAPOProcessManager::kSwitchStateSwitching;
    return manager.GetCurrentChain()->bypassed &&
           manager.GetSwitchState() == QORAPOProcessManager::kSwitchStateSteady;
  }));
  EXPECT_TRUE(faded);

  // Bypassed, the chain passes the input through at the common latency, sample for sample.
  // The settings' watchers may each wake the worker for the one write: judged is a stretch that
  // no stall and no further switch touched.
  size_t from = out.size();
  bool disturbed = true;
  for (int attempt = 0; attempt < 3 && disturbed; ++attempt) {
    ASSERT_TRUE(Play(manager, &n, in, out, [&] {
      return manager.GetWorkerPhase() == QORAPOProcessManager::kWorkerIdle &&
             manager.GetSwitchState() == QORAPOProcessManager::kSwitchStateSteady;
    }));
    const uint32_t rebuilds = manager.GetRebuildCount();
    from = out.size();
    disturbed = false;
    Play(
        manager, &n, in, out, [&] { return out.size() >= from + 4800; }, &disturbed);
    disturbed = disturbed || manager.GetRebuildCount() != rebuilds;
  }
  ASSERT_FALSE(disturbed);
  EXPECT_TRUE(manager.GetCurrentChain()->bypassed);
  for (size_t i = from; i < out.size(); ++i) ASSERT_EQ(out[i], in[i - delay]) << i;
}

int WriteMetrics(const std::vector<std::string>&) {
  qortest::TraceCapture trace;
  QORAPOProcessManager manager;
  if (!manager.SetEndpointInfo(qortest::OpenEndpoint(true), APO_FX_PreBlue)) return 2;
  manager.Initialize(2, 2, 48000, APO_FX_PreBlue);
  manager.Initialize(2, 2, 44100, APO_FX_PreBlue);
  for (const std::string& line : trace.LinesContaining("dwCount=")) {
    std::string message = line.substr(line.rfind('|') + 2);
    while (!message.empty() && message.back() == '\n') message.pop_back();
    qortest::ChildSay(message);
  }
  qortest::ChildSay("end");
  return 0;
}
qortest::ChildRegistration writeMetrics("write-metrics", WriteMetrics);

TEST_F(QORAPOProcessManagerEndpointTest, MetricsRecordTheLibraryAndCountOnePerProcess) {
  const QORAPOEndpointInfo render = qortest::MakeEndpoint(true, path_, ReadExample());
  QORRegistryKey subkey;
  ASSERT_EQ(ERROR_SUCCESS,
            QORRegistryKey::Open(QORRegistryHive::kLocalMachine, render.GetRegistrySubkey(),
                                 KEY_ALL_ACCESS, subkey));
  // A path left by an older installation is replaced by where the loader looks now.
  ASSERT_EQ(ERROR_SUCCESS, subkey.SetString(L"QorApoTechDllPath", L"C:\\old\\qltech64.dll"));
  ASSERT_EQ(ERROR_SUCCESS, subkey.SetDword(L"QorApoInitCount", 41));
  for (const uint32_t expected : {42u, 43u}) {
    qortest::ChildProcess child;
    ASSERT_TRUE(child.Start("write-metrics"));
    std::string line;
    ASSERT_TRUE(child.ReadLine(line));
    EXPECT_EQ(line, "OK: dwCount=" + std::to_string(expected));
    EXPECT_TRUE(child.WaitFor("end"));
    EXPECT_EQ(child.Wait(), 0);
    uint32_t count = 0;
    ASSERT_EQ(ERROR_SUCCESS, subkey.GetDword(L"QorApoInitCount", &count));
    EXPECT_EQ(count, expected);
  }
  std::wstring path;
  ASSERT_EQ(ERROR_SUCCESS, subkey.GetString(L"QorApoTechDllPath", &path));
  EXPECT_EQ(path, QORAPOProcessLibrary::GetPath());
}

}  // namespace
