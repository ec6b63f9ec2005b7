// The capture class through the built module, as the engine creates it: it attaches to its capture
// endpoint, runs the example's microphone chain and feeds the side chain that a render object of
// the same configuration reads.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <numbers>
#include <random>
#include <string>
#include <thread>

#include "APOTestSupport.h"
#include "apo/IQORAPOHostState.h"
#include "apo/QORAPOClassIds.h"
#include "platform/IAudioProcessingObjectRT.h"
#include "platform/IClassFactory.h"
#include "platform/QORLoadedModule.h"

namespace {

using apotest::Connections;
using apotest::Endpoint;
using apotest::FloatType;
using apotest::Period;

// One object of the module, through the interfaces the engine uses.
struct ModuleObject {
  QORComPtr<IAudioProcessingObject> apo;
  QORComPtr<IAudioProcessingObjectConfiguration> config;
  QORComPtr<IAudioProcessingObjectRT> rt;
  QORComPtr<IQORAPOHostState> state;

  ModuleObject(QORLoadedModule& module, REFCLSID clsid) {
    using GetClassObject = HRESULT (*)(REFCLSID, REFIID, void**);
    const auto entry = reinterpret_cast<GetClassObject>(module.FindExport("DllGetClassObject"));
    QORComPtr<IClassFactory> factory;
    EXPECT_EQ(S_OK, entry(clsid, IID_IClassFactory, factory.PutVoid()));
    EXPECT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IAudioProcessingObject, apo.PutVoid()));
    EXPECT_EQ(S_OK, apo->QueryInterface(IID_IAudioProcessingObjectConfiguration, config.PutVoid()));
    EXPECT_EQ(S_OK, apo->QueryInterface(IID_IAudioProcessingObjectRT, rt.PutVoid()));
    EXPECT_EQ(S_OK, apo->QueryInterface(IID_IQORAPOHostState, state.PutVoid()));
  }
  QORAPOHostStateInfo State() {
    QORAPOHostStateInfo info{};
    EXPECT_EQ(S_OK, state->GetHostState(&info));
    return info;
  }
  void Run(Period& period) { rt->APOProcess(1, period.inputs, 1, period.outputs); }
};

double Rms(const std::vector<float>& samples) {
  double sum = 0.0;
  for (const float s : samples) sum += double{s} * s;
  return std::sqrt(sum / static_cast<double>(samples.size()));
}

TEST(QORAPOCaptureTest, ACaptureObjectRunsItsChainAndARenderObjectHearsItsSideChain) {
  qortest::TempStateRoot root;
  std::ifstream file(QOR_EXAMPLE_CONFIGURATION);
  const std::wstring path = QORUtf8ToWide(root.Path()) + L"/config/laptop.xml";
  qortest::MakeEndpoint(false, path, std::string(std::istreambuf_iterator<char>(file), {}));
  qortest::MakeEndpoint(true, path);
  QORLoadedModule module;
  ASSERT_TRUE(module.Load(QORUtf8ToWide(QOR_APO_MODULE)));

  // The microphone: mono at 16000 Hz, as the engine hands it the capture endpoint's record.
  ModuleObject capture(module, CLSID_QOR_LFX_Capture_APO_Varion);
  const Endpoint microphone(eCapture);
  const QORComPtr<IAudioMediaType> mono = FloatType(1, 16000);
  Connections micConnections(mono.Get(), mono.Get(), 160);
  ASSERT_EQ(S_OK, apotest::Attach(capture.apo.Get(), capture.config.Get(), microphone,
                                  micConnections, 56));
  const QORAPOHostStateInfo micState = capture.State();
  EXPECT_TRUE(micState.attached);
  EXPECT_TRUE(micState.ready);
  // While it runs, the automatic microphone mode: echo cancellation and noise reduction.
  EXPECT_NE(std::string(micState.chain).find("AEC"), std::string::npos) << micState.chain;

  // The speakers' SFX object of the same configuration reads the side chain.
  ModuleObject render(module, CLSID_KEL_SFX_APO);
  const Endpoint speakers(eRender);
  const QORComPtr<IAudioMediaType> stereo = FloatType(2, 48000);
  Connections connections(stereo.Get(), stereo.Get(), 480);
  ASSERT_EQ(S_OK, apotest::Attach(render.apo.Get(), render.config.Get(), speakers, connections));
  EXPECT_TRUE(render.State().attached);

  // 10 ms periods in real time: a steady 440 Hz tone on the speakers, the microphone silent for
  // 2 s, then loud noise for 3 s. The clarity process lifts the speakers as the room gets loud.
  Period mic(1, 1, 160), out(2, 2, 480);
  std::mt19937 random(5);
  std::uniform_real_distribution<float> noise(-0.5f, 0.5f);
  uint64_t frame = 0;
  auto next = std::chrono::steady_clock::now();
  std::string renderChain;
  auto runFor = [&](int periods, bool loud) {
    std::vector<float> last;
    for (int p = 0; p < periods; ++p) {
      for (float& s : mic.in) s = loud ? noise(random) : 0.0f;
      mic.Arm(160, BUFFER_VALID);
      capture.Run(mic);
      for (uint32_t f = 0; f < 480; ++f, ++frame) {
        const auto tone = static_cast<float>(
            0.1 * std::sin(2.0 * std::numbers::pi * 440.0 * static_cast<double>(frame) / 48000.0));
        out.in[2 * f] = out.in[2 * f + 1] = tone;
      }
      out.Arm(480, BUFFER_VALID);
      render.Run(out);
      if (p >= periods - 50) last.insert(last.end(), out.out.begin(), out.out.end());
      std::this_thread::sleep_until(next += std::chrono::milliseconds(10));
    }
    return Rms(last);
  };
  const double quiet = runFor(200, false);
  renderChain = render.State().chain;
  EXPECT_NE(renderChain.find("Clarix"), std::string::npos) << renderChain;
  const double loud = runFor(300, true);
  const double liftDb = 20.0 * std::log10(loud / quiet);
  std::printf("speakers %.4f quiet, %.4f with a loud room: %+.1f dB\n", quiet, loud, liftDb);
  EXPECT_GT(quiet, 0.01);
  EXPECT_GT(liftDb, 3.0);
  EXPECT_EQ(S_OK, render.config->UnlockForProcess());
  EXPECT_EQ(S_OK, capture.config->UnlockForProcess());
}

}  // namespace
