// End-to-end: the demonstration microphone, run through the module as the engine runs it, feeds
// its side chain to the speakers' SFX instance in a real-time qorapo, even after an idle local
// client took the pipe's instance first.
#include <atomic>
#include <filesystem>
#include <memory>
#include <random>

#include "QORHostEndpointSetup.h"
#include "QORHostRunner.h"
#include "apo/IQORAPOHostState.h"
#include "apo/QORAPOClassIds.h"
#include "common/QORTextConvert.h"
#include "ipc/QORNamedPipeAudio.h"
#include "platform/IAudioProcessingObject.h"
#include "platform/IAudioProcessingObjectConfiguration.h"
#include "platform/IAudioProcessingObjectRT.h"
#include "platform/IClassFactory.h"
#include "platform/IMMDeviceEnumerator.h"
#include "platform/IQORPipeClient.h"
#include "platform/QORAPOTypes.h"
#include "platform/QORAudioMediaType.h"
#include "platform/QORComApi.h"
#include "platform/QORComPtr.h"
#include "platform/QORLoadedModule.h"

namespace {

using nlohmann::json;
using qortest::HostAudio;

constexpr double kMicTone = 440.0;
constexpr double kSeconds = 7.0;

QORComPtr<IAudioMediaType> Mono16k() {
  WAVEFORMATEXTENSIBLE format{};
  format.Format = {WAVE_FORMAT_EXTENSIBLE, 1, 16000, 64000, 4, 32, kWaveFormatExtensibleExtra};
  format.Samples.wValidBitsPerSample = 32;
  format.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
  QORComPtr<IAudioMediaType> type;
  EXPECT_EQ(S_OK, CreateAudioMediaType(&format.Format, sizeof(format), type.Put()));
  return type;
}

// The demonstration microphone's capture object, created from the module beside qorapo and
// initialised and locked the way the engine does it: mono at 16000 Hz, 10 ms periods.
class Microphone {
 public:
  bool Start() {
    const auto folder = std::filesystem::path(QOR_HOST_BINARY).parent_path();
    if (!module_.Load(QORUtf8ToWide((folder / qortest::ModuleFile("qlvapo64")).string())))
      return false;
    using GetClassObject = HRESULT (*)(REFCLSID, REFIID, void**);
    const auto entry = reinterpret_cast<GetClassObject>(module_.FindExport("DllGetClassObject"));
    QORComPtr<IClassFactory> factory;
    QORComPtr<IMMDeviceEnumerator> enumerator;
    QORComPtr<IMMDeviceCollection> devices;
    QORComPtr<IMMDevice> device;
    QORComPtr<IPropertyStore> store;
    if (entry == nullptr ||
        FAILED(entry(CLSID_QOR_LFX_Capture_APO_Varion, IID_IClassFactory, factory.PutVoid())) ||
        FAILED(factory->CreateInstance(nullptr, IID_IAudioProcessingObject, apo_.PutVoid())) ||
        FAILED(apo_->QueryInterface(IID_IAudioProcessingObjectConfiguration, config_.PutVoid())) ||
        FAILED(apo_->QueryInterface(IID_IAudioProcessingObjectRT, rt_.PutVoid())) ||
        FAILED(QORCoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL,
                                   IID_IMMDeviceEnumerator, enumerator.PutVoid())) ||
        FAILED(enumerator->EnumAudioEndpoints(eCapture, DEVICE_STATE_ACTIVE, devices.Put())) ||
        FAILED(devices->Item(0, device.Put())) ||
        FAILED(device->OpenPropertyStore(STGM_READ, store.Put()))) {
      return false;
    }
    APOInitSystemEffects init{};
    init.APOInit.cbSize = sizeof(init);
    init.pAPOEndpointProperties = store.Get();
    init.pAPOSystemEffectsProperties = store.Get();
    init.pDeviceCollection = devices.Get();
    const QORComPtr<IAudioMediaType> mono = Mono16k();
    APO_CONNECTION_DESCRIPTOR input{APO_CONNECTION_BUFFER_TYPE_EXTERNAL, 0, 160, mono.Get(), 0};
    APO_CONNECTION_DESCRIPTOR output = input;
    APO_CONNECTION_DESCRIPTOR* inputs[] = {&input};
    APO_CONNECTION_DESCRIPTOR* outputs[] = {&output};
    if (apo_->Initialize(sizeof(init), reinterpret_cast<BYTE*>(&init)) != S_OK ||
        config_->LockForProcess(1, inputs, 1, outputs) != S_OK) {
      return false;
    }
    QORComPtr<IQORAPOHostState> state;
    QORAPOHostStateInfo info{};
    return SUCCEEDED(apo_->QueryInterface(IID_IQORAPOHostState, state.PutVoid())) &&
           SUCCEEDED(state->GetHostState(&info)) && info.attached;
  }

  // One 10 ms period of loud noise: a loud room.
  void Period() {
    for (float& sample : in_) sample = noise_(random_);
    APO_CONNECTION_PROPERTY input{reinterpret_cast<UINT_PTR>(in_.data()), 160, BUFFER_VALID, 0};
    APO_CONNECTION_PROPERTY output{reinterpret_cast<UINT_PTR>(out_.data()), 160, BUFFER_INVALID, 0};
    APO_CONNECTION_PROPERTY* inputs[] = {&input};
    APO_CONNECTION_PROPERTY* outputs[] = {&output};
    rt_->APOProcess(1, inputs, 1, outputs);
  }

  void Stop() {
    if (config_) config_->UnlockForProcess();
  }

 private:
  QORLoadedModule module_;
  QORComPtr<IAudioProcessingObject> apo_;
  QORComPtr<IAudioProcessingObjectConfiguration> config_;
  QORComPtr<IAudioProcessingObjectRT> rt_;
  std::vector<float> in_ = std::vector<float>(160), out_ = std::vector<float>(160);
  std::mt19937 random_{3};
  std::uniform_real_distribution<float> noise_{-0.5f, 0.5f};
};

class HostSideChainTest : public qortest::HostToolTest {};

TEST_F(HostSideChainTest, TheDemoMicrophoneLiftsTheVoiceModePastAnIdleClientOfThePipe) {
  // The demonstration made the microphone, with the module's capture class at its local effect.
  const json list = RunJson({"endpoint", "list", "--json"});
  const json* microphone = qortest::Named(list, "QOR Demo Microphone");
  ASSERT_NE(microphone, nullptr) << list;
  EXPECT_EQ((*microphone)["flow"], "capture");
  EXPECT_EQ((*microphone)["guid"],
            QORWideToUtf8(QORGuidToString(QORHostEndpointSetup::kDemoMicrophone)));
  const json shown = RunJson({"endpoint", "show", "QOR Demo Microphone", "--json"});
  EXPECT_EQ(shown["positions"][0]["class"],
            QORWideToUtf8(QORGuidToString(CLSID_QOR_LFX_Capture_APO_Varion)));

  ASSERT_TRUE(qortest::WriteHostAudio(File("tone.wav"), qortest::Tones({kMicTone}, 0.1, kSeconds)));
  const std::vector<std::string> voice = {"--mode", "Voice", "--realtime"};
  auto process = [&](const std::string& out) {
    std::vector<std::string> args = {"process", File("tone.wav"), File(out)};
    args.insert(args.end(), voice.begin(), voice.end());
    return args;
  };
  // Without the microphone: the clarity process hears a quiet room.
  const qortest::HostResult reference = Run(process("reference.wav"));
  ASSERT_EQ(reference.code, 0) << reference.err;

  // With it: a local client takes the speakers' pipe instance first and sends nothing.
  const pid_t host = Start(process("live.wav"), "live");
  ASSERT_NE(host, 0);
  std::unique_ptr<IQORPipeClient> idle;
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!idle && std::chrono::steady_clock::now() < limit) {
    idle = QORConnectPipe(QORNamedPipeAudio::kPipeName, 0, QORNamedPipeAudio::kMessageSize);
    if (!idle) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_NE(idle, nullptr) << "the speakers' SFX instance opened no pipe";
  Microphone mic;
  ASSERT_TRUE(mic.Start()) << "the capture object did not attach to the demonstration microphone";
  std::optional<int> code;
  auto next = std::chrono::steady_clock::now();
  while (!(code = qortest::HostProcess::Wait(host, 0)) &&
         std::chrono::steady_clock::now() < limit) {
    mic.Period();
    std::this_thread::sleep_until(next += std::chrono::milliseconds(10));
  }
  mic.Stop();
  exited_[host] = code.value_or(-1);
  const qortest::HostResult live = Wait(host, "live");
  ASSERT_EQ(live.code, 0) << live.err;
  EXPECT_FALSE(idle->Write(std::vector<unsigned char>(QORNamedPipeAudio::kMessageSize).data(), 100))
      << "the idle client was never dropped";

  // The last two seconds: the loud room lifts the speakers (the clarity process's level boost).
  const HostAudio quiet = qortest::ReadHostAudio(File("reference.wav"));
  const HostAudio loud = qortest::ReadHostAudio(File("live.wav"));
  const auto from = static_cast<size_t>((kSeconds - 2.0) * 48000);
  const auto to = static_cast<size_t>((kSeconds - 0.5) * 48000);
  const double quietLevel = qortest::ToneLevel(quiet, kMicTone, from, to);
  const double loudLevel = qortest::ToneLevel(loud, kMicTone, from, to);
  std::printf("speakers at the end: %.4f without the microphone, %.4f with it (%+.1f dB)\n",
              quietLevel, loudLevel, qortest::Db(loudLevel / quietLevel));
  EXPECT_GT(quietLevel, 0.01);
  EXPECT_GT(qortest::Db(loudLevel / quietLevel), 3.0);
}

}  // namespace
