#include "engine/QORHostEngine.h"

#include "engine/QORHostEffectsPropertyStore.h"

#include <algorithm>
#include <cstring>

#include "apo/QORAPOClassIds.h"
#include "common/QORTextConvert.h"
#include "platform/IAudioSystemEffects2.h"
#include "platform/IClassFactory.h"
#include "platform/IPropertyStore.h"
#include "platform/QORAudioMediaType.h"
#include "platform/QORComApi.h"
#include "platform/QORDenormalGuard.h"
#include "platform/QOREndpointStore.h"
#include "platform/QORMMDeviceCollection.h"
#include "platform/QORRegistryKey.h"
#include "platform/QORRegistryPropertyStore.h"
#include "platform/QORWaveFormat.h"

namespace {

using GetClassObjectFunction = HRESULT (*)(REFCLSID, REFIID, void**);

// The engine's default signal-processing mode.
constexpr GUID kProcessingModeDefault = {
    0xC18E2F7E, 0x933D, 0x4965, {0xB7, 0xD1, 0x1E, 0xEF, 0x22, 0x8D, 0x2A, 0xF3}};

// What the engine writes into its connection records.
constexpr UINT32 kDescriptorSignature = 0x41434453;  // "ACDS"
constexpr UINT32 kPropertySignature = 0x41435053;    // "ACPS"

uint32_t ChannelMask(int channels) {
  switch (channels) {
    case 1:
      return KSAUDIO_SPEAKER_MONO;
    case 2:
      return KSAUDIO_SPEAKER_STEREO;
    case 6:
      return KSAUDIO_SPEAKER_5POINT1;
    case 8:
      return KSAUDIO_SPEAKER_7POINT1_SURROUND;
    default:
      return 0;
  }
}

QORComPtr<IAudioMediaType> FloatFormat(int channels, int rate) {
  WAVEFORMATEXTENSIBLE format{};
  format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  format.Format.nChannels = static_cast<uint16_t>(channels);
  format.Format.nSamplesPerSec = static_cast<uint32_t>(rate);
  format.Format.wBitsPerSample = 32;
  format.Format.nBlockAlign = static_cast<uint16_t>(channels * 4);
  format.Format.nAvgBytesPerSec = static_cast<uint32_t>(rate) * format.Format.nBlockAlign;
  format.Format.cbSize = kWaveFormatExtensibleExtra;
  format.Samples.wValidBitsPerSample = 32;
  format.dwChannelMask = ChannelMask(channels);
  format.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
  QORComPtr<IAudioMediaType> type;
  if (FAILED(CreateAudioMediaType(&format.Format, sizeof(format), type.Put()))) type.Reset();
  return type;
}

std::string HexResult(HRESULT result) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<uint32_t>(result));
  return text;
}

}  // namespace

QORHostEngine::~QORHostEngine() {
  Unlock();
  stages_.clear();
  format_.Reset();
}

QORLoadedModule& QORHostEngine::Module() {
  static QORLoadedModule* module = new QORLoadedModule();
  return *module;
}

bool QORHostEngine::LoadModule(const std::wstring& path, std::string* error) {
  if (!Module().Load(path) || Module().FindExport("DllGetClassObject") == nullptr) {
    *error = "cannot load the APO module '" + QORWideToUtf8(path) +
             "'; build it (scripts/run.sh does) or give its path with --module";
    Module().Free();
    return false;
  }
  return true;
}

bool QORHostEngine::Create(const QORAPOEndpointInfo& endpoint, const std::vector<int>& locations,
                           std::string* error, bool discoveryOnly) {
  auto getClassObject =
      reinterpret_cast<GetClassObjectFunction>(Module().FindExport("DllGetClassObject"));
  // What the engine hands every object: the endpoint's properties, its effects properties and a
  // collection holding the endpoint device.
  IMMDevice* device = endpoint.GetDevice();
  QORComPtr<IPropertyStore> endpointProperties;
  device->OpenPropertyStore(STGM_READ, endpointProperties.Put());
  QORRegistryKey fxKey;
  QORRegistryKey::Open(QORRegistryHive::kLocalMachine, endpoint.GetFxKeyPath(), KEY_READ, fxKey);
  QORComPtr<IPropertyStore> fxOnly;
  QORRegistryPropertyStore::Create(std::move(fxKey), false, fxOnly.Put());
  QORComPtr<IPropertyStore> fxProperties;
  QORHostEffectsPropertyStore::Create(fxOnly.Get(), endpointProperties.Get(), fxProperties.Put());
  QOREndpointRecord record;
  QOREndpointStore::Find(endpoint.IsRender() ? eRender : eCapture, endpoint.GetEndpointGuid(),
                         &record);
  QORComPtr<IMMDeviceCollection> devices;
  QORMMDeviceCollection::Create({record}, devices.Put());

  for (const int location : locations) {
    Stage stage;
    stage.location = location;
    stage.clsid = endpoint.GetPosition(location).guid;
    QORComPtr<IClassFactory> factory;
    HRESULT result = getClassObject(stage.clsid, IID_IClassFactory, factory.PutVoid());
    if (SUCCEEDED(result)) {
      result = factory->CreateInstance(nullptr, IID_IAudioProcessingObject, stage.apo.PutVoid());
    }
    if (FAILED(result)) {
      *error = "the module has no class " + QORWideToUtf8(QORGuidToString(stage.clsid)) +
               " registered at position " + std::to_string(location) + " (" + HexResult(result) +
               "); register the module's classes there or choose --positions";
      return false;
    }
    stage.apo->QueryInterface(IID_IAudioProcessingObjectRT, stage.rt.PutVoid());
    stage.apo->QueryInterface(IID_IAudioProcessingObjectConfiguration,
                              stage.configuration.PutVoid());
    stage.apo->QueryInterface(IID_IQORAPOHostState, stage.state.PutVoid());
    APO_REG_PROPERTIES* properties = nullptr;
    if (SUCCEEDED(stage.apo->GetRegistrationProperties(&properties)) && properties != nullptr) {
      stage.name = QORWideToUtf8(properties->szFriendlyName);
      CoTaskMemFree(properties);
    }
    APOInitSystemEffects2 init{};
    init.APOInit.cbSize = sizeof(init);
    init.APOInit.clsid = stage.clsid;
    init.pAPOEndpointProperties = endpointProperties.Get();
    init.pAPOSystemEffectsProperties = fxProperties.Get();
    init.pDeviceCollection = devices.Get();
    init.nSoftwareIoDeviceInCollection = 0;
    init.nSoftwareIoConnectorIndex = 0;
    init.AudioProcessingMode = kProcessingModeDefault;
    init.InitializeForDiscoveryOnly = discoveryOnly ? TRUE : FALSE;
    // Objects without the second system-effects interface take the first initialisation
    // structure only, as the engine gives it to them.
    QORComPtr<IAudioSystemEffects2> effects2;
    if (SUCCEEDED(stage.apo->QueryInterface(IID_IAudioSystemEffects2, effects2.PutVoid()))) {
      result = stage.apo->Initialize(sizeof(init), reinterpret_cast<BYTE*>(&init));
    } else {
      APOInitSystemEffects first{};
      first.APOInit = init.APOInit;
      first.APOInit.cbSize = sizeof(first);
      first.pAPOEndpointProperties = init.pAPOEndpointProperties;
      first.pAPOSystemEffectsProperties = init.pAPOSystemEffectsProperties;
      first.pDeviceCollection = init.pDeviceCollection;
      result = stage.apo->Initialize(sizeof(first), reinterpret_cast<BYTE*>(&first));
    }
    if (FAILED(result) || !stage.rt || !stage.configuration) {
      *error = "the " + stage.name + " object did not initialise (" + HexResult(result) + ")";
      return false;
    }
    stages_.push_back(std::move(stage));
  }
  return true;
}

bool QORHostEngine::Accepts(IAudioProcessingObject* apo, int channels, int rate, bool* otherRate) {
  QORComPtr<IAudioMediaType> format = FloatFormat(channels, rate);
  if (!format) return false;
  bool accepted = true;
  for (const bool input : {true, false}) {
    QORComPtr<IAudioMediaType> supported;
    const HRESULT result =
        input ? apo->IsInputFormatSupported(format.Get(), format.Get(), supported.Put())
              : apo->IsOutputFormatSupported(format.Get(), format.Get(), supported.Put());
    if (result == S_FALSE) *otherRate = true;
    accepted = accepted && result == S_OK;
  }
  return accepted;
}

bool QORHostEngine::Negotiate(int channels, int rate, std::string* error) {
  for (const Stage& stage : stages_) {
    bool otherRate = false;
    if (Accepts(stage.apo.Get(), channels, rate, &otherRate)) continue;
    if (otherRate) {
      *error = "the " + stage.name + " object does not run at " + std::to_string(rate) +
               " Hz; convert the input to another rate first (e.g. sox IN -r 48000 OUT)";
      return false;
    }
    std::vector<int> working;
    for (int count = 1; count <= 8; ++count) {
      bool accepted = true;
      for (const Stage& other : stages_) {
        bool ignored = false;
        accepted = accepted && Accepts(other.apo.Get(), count, rate, &ignored);
      }
      if (accepted) working.push_back(count);
    }
    if (working.empty()) {
      *error = "the " + stage.name + " object refuses " + std::to_string(channels) +
               " channels at " + std::to_string(rate) +
               " Hz, and no channel count works at that rate; convert the input to 48000 Hz";
      return false;
    }
    std::string list;
    for (size_t i = 0; i < working.size(); ++i) {
      list += (i == 0 ? "" : i + 1 == working.size() ? " or " : ", ") + std::to_string(working[i]);
    }
    *error = "the " + stage.name + " object refuses " + std::to_string(channels) +
             (channels == 1 ? " channel" : " channels") + "; the objects accept " + list +
             " channels: convert the input (e.g. sox IN -c " + std::to_string(working.front()) +
             " OUT)";
    return false;
  }
  channels_ = channels;
  rate_ = rate;
  format_ = FloatFormat(channels, rate);
  return static_cast<bool>(format_);
}

bool QORHostEngine::Lock(uint32_t periodFrames, std::string* error) {
  periodFrames_ = periodFrames;
  const size_t samples = static_cast<size_t>(periodFrames) * static_cast<size_t>(channels_);
  input_.assign(samples, 0.0f);
  for (size_t i = 0; i < stages_.size(); ++i) {
    Stage& stage = stages_[i];
    stage.output.assign(samples, 0.0f);
    float* inputBuffer = i == 0 ? input_.data() : stages_[i - 1].output.data();
    APO_CONNECTION_DESCRIPTOR input{};
    input.Type = APO_CONNECTION_BUFFER_TYPE_EXTERNAL;
    input.pBuffer = reinterpret_cast<UINT_PTR>(inputBuffer);
    input.u32MaxFrameCount = periodFrames;
    input.pFormat = format_.Get();
    input.u32Signature = kDescriptorSignature;
    APO_CONNECTION_DESCRIPTOR output = input;
    output.pBuffer = reinterpret_cast<UINT_PTR>(stage.output.data());
    APO_CONNECTION_DESCRIPTOR* inputs[] = {&input};
    APO_CONNECTION_DESCRIPTOR* outputs[] = {&output};
    const HRESULT result = stage.configuration->LockForProcess(1, inputs, 1, outputs);
    if (FAILED(result)) {
      *error =
          "the " + stage.name + " object refused the stream format (" + HexResult(result) + ")";
      for (size_t j = 0; j < i; ++j) stages_[j].configuration->UnlockForProcess();
      return false;
    }
    stage.outputProperty.pBuffer = output.pBuffer;
    stage.outputProperty.u32Signature = kPropertySignature;
  }
  locked_ = true;
  return true;
}

const float* QORHostEngine::Process(const float* input, bool silent) {
  return Process(input, periodFrames_, silent);
}

const float* QORHostEngine::Process(const float* input, uint32_t frames, bool silent) {
  QORDenormalGuard denormals;
  frames = std::min(frames, periodFrames_);
  const size_t samples = static_cast<size_t>(frames) * static_cast<size_t>(channels_);
  std::memcpy(input_.data(), input, samples * sizeof(float));
  APO_CONNECTION_PROPERTY inputProperty{};
  inputProperty.pBuffer = reinterpret_cast<UINT_PTR>(input_.data());
  inputProperty.u32ValidFrameCount = frames;
  inputProperty.u32BufferFlags = silent ? BUFFER_SILENT : BUFFER_VALID;
  inputProperty.u32Signature = kPropertySignature;
  for (Stage& stage : stages_) {
    stage.outputProperty.u32ValidFrameCount = frames;
    stage.outputProperty.u32BufferFlags = BUFFER_VALID;
    APO_CONNECTION_PROPERTY* inputs[] = {&inputProperty};
    APO_CONNECTION_PROPERTY* outputs[] = {&stage.outputProperty};
    stage.rt->APOProcess(1, inputs, 1, outputs);
    // The next object reads this one's output connection, flags included.
    inputProperty = stage.outputProperty;
  }
  float* result = stages_.empty() ? input_.data() : stages_.back().output.data();
  // A silent output leaves its buffer as it was: it stands for zeros.
  if (inputProperty.u32BufferFlags == BUFFER_SILENT) std::fill_n(result, samples, 0.0f);
  return result;
}

void QORHostEngine::Unlock() {
  if (!locked_) return;
  for (Stage& stage : stages_) stage.configuration->UnlockForProcess();
  locked_ = false;
}

bool QORHostEngine::GetState(size_t stage, QORAPOHostStateInfo* info) const {
  return stage < stages_.size() && stages_[stage].state &&
         SUCCEEDED(stages_[stage].state->GetHostState(info));
}

bool QORHostEngine::GetRebuildCount(size_t stage, uint32_t* count) const {
  return stage < stages_.size() && stages_[stage].state &&
         SUCCEEDED(stages_[stage].state->GetRebuildCount(count));
}

void QORHostEngine::ContinueAfterPause() {
  for (Stage& stage : stages_) {
    if (stage.state) stage.state->ContinueAfterPause();
  }
}

int64_t QORHostEngine::StageLatencyFrames(size_t stage) const {
  HNSTIME latency = 0;
  if (stage >= stages_.size() || FAILED(stages_[stage].apo->GetLatency(&latency))) return 0;
  // Engine units are 100 ns.
  return latency * rate_ / 10000000;
}

int64_t QORHostEngine::LatencyFrames() const {
  int64_t total = 0;
  for (size_t i = 0; i < stages_.size(); ++i) total += StageLatencyFrames(i);
  return total;
}
