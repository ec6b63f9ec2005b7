#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "TempStateRoot.h"
#include "TestEndpoint.h"
#include "common/QORTextConvert.h"
#include "platform/IAudioMediaType.h"
#include "platform/IAudioProcessingObject.h"
#include "platform/IAudioProcessingObjectConfiguration.h"
#include "platform/IMMDeviceEnumerator.h"
#include "platform/QORAPOTypes.h"
#include "platform/QORAudioMediaType.h"
#include "platform/QORComApi.h"
#include "platform/QORComPtr.h"
#include "platform/QORMMDeviceCollection.h"
#include "platform/QORMMDeviceEnumerator.h"
#include "platform/QORRegistryKey.h"
#include "platform/QORRegistryPropertyStore.h"

namespace apotest {

inline QORComPtr<IAudioMediaType> FloatType(uint16_t channels, uint32_t rate,
                                            uint16_t validBits = 32) {
  WAVEFORMATEXTENSIBLE format{};
  const auto frame = static_cast<uint16_t>(channels * 4u);
  format.Format = {WAVE_FORMAT_EXTENSIBLE,    channels, rate, rate * frame, frame, 32,
                   kWaveFormatExtensibleExtra};
  format.Samples.wValidBitsPerSample = validBits;
  format.dwChannelMask = channels == 2 ? KSAUDIO_SPEAKER_STEREO : 0;
  format.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
  QORComPtr<IAudioMediaType> type;
  EXPECT_EQ(S_OK, CreateAudioMediaType(&format.Format, sizeof(format), type.Put()));
  return type;
}

// The engine's record: the system-effects store and the device collection, cbSize as given.
struct InitRecord {
  APOInitSystemEffects2 record{};
  InitRecord(IPropertyStore* store, IMMDeviceCollection* devices, uint32_t size) {
    record.APOInit.cbSize = size;
    record.pAPOEndpointProperties = store;
    record.pAPOSystemEffectsProperties = store;
    record.pDeviceCollection = devices;
  }
  BYTE* Data() { return reinterpret_cast<BYTE*>(&record); }
};

// The active endpoints of a direction and the first one's store, as the engine hands them over;
// with example, that endpoint is first created with the example configuration.
struct Endpoint {
  Endpoint(EDataFlow flow, const qortest::TempStateRoot* example = nullptr) {
    if (example != nullptr) {
      std::ifstream file(QOR_EXAMPLE_CONFIGURATION);
      qortest::MakeEndpoint(flow == eRender, QORUtf8ToWide(example->Path()) + L"/config/laptop.xml",
                            std::string(std::istreambuf_iterator<char>(file), {}));
    }
    QORComPtr<IMMDeviceEnumerator> enumerator;
    EXPECT_EQ(S_OK, QORCoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL,
                                        IID_IMMDeviceEnumerator, enumerator.PutVoid()));
    EXPECT_EQ(S_OK, enumerator->EnumAudioEndpoints(flow, DEVICE_STATE_ACTIVE, devices.Put()));
    QORComPtr<IMMDevice> device;
    if (devices->Item(0, device.Put()) == S_OK) {
      EXPECT_EQ(S_OK, device->OpenPropertyStore(STGM_READ, store.Put()));
    } else {
      EXPECT_EQ(S_OK, QORRegistryPropertyStore::Create(QORRegistryKey(), false, store.Put()));
    }
  }
  QORComPtr<IMMDeviceCollection> devices;
  QORComPtr<IPropertyStore> store;
};

// One input and one output connection of the given formats and room.
struct Connections {
  APO_CONNECTION_DESCRIPTOR input{}, output{};
  APO_CONNECTION_DESCRIPTOR* inputs[1] = {&input};
  APO_CONNECTION_DESCRIPTOR* outputs[1] = {&output};
  Connections(IAudioMediaType* in, IAudioMediaType* out, uint32_t frames) {
    input = {APO_CONNECTION_BUFFER_TYPE_EXTERNAL, 0, frames, in, 0};
    output = {APO_CONNECTION_BUFFER_TYPE_EXTERNAL, 0, frames, out, 0};
  }
};

// What the engine does before the first period: initialise with the endpoint's record of the
// given size, agree the connections' formats on both sides and lock. The first failure, or S_OK.
inline HRESULT Attach(IAudioProcessingObject* apo, IAudioProcessingObjectConfiguration* config,
                      const Endpoint& endpoint, Connections& connections, uint32_t size = 88) {
  InitRecord record(endpoint.store.Get(), endpoint.devices.Get(), size);
  QORComPtr<IAudioMediaType> in, out;
  HRESULT hr = apo->Initialize(size, record.Data());
  if (hr == S_OK) hr = apo->IsInputFormatSupported(nullptr, connections.input.pFormat, in.Put());
  if (hr == S_OK)
    hr = apo->IsOutputFormatSupported(in.Get(), connections.output.pFormat, out.Put());
  return hr == S_OK ? config->LockForProcess(1, connections.inputs, 1, connections.outputs) : hr;
}

// One period's buffers, interleaved.
struct Period {
  std::vector<float> in, out;
  APO_CONNECTION_PROPERTY input{}, output{};
  APO_CONNECTION_PROPERTY* inputs[1] = {&input};
  APO_CONNECTION_PROPERTY* outputs[1] = {&output};
  Period(uint32_t inChannels, uint32_t outChannels, uint32_t frames)
      : in(size_t{inChannels} * frames), out(size_t{outChannels} * frames) {
    input.pBuffer = reinterpret_cast<UINT_PTR>(in.data());
    output.pBuffer = reinterpret_cast<UINT_PTR>(out.data());
    Arm(frames, BUFFER_VALID);
  }
  void Arm(uint32_t frames, APO_BUFFER_FLAGS flags) {
    input.u32ValidFrameCount = frames;
    input.u32BufferFlags = flags;
    output.u32ValidFrameCount = frames;
    output.u32BufferFlags = BUFFER_INVALID;
  }
};

// Keys, texts and numbers of the classes root; Key creates the key when asked.
inline QORRegistryKey Key(const std::wstring& path, bool create = false) {
  QORRegistryKey key;
  const auto hive = QORRegistryHive::kClassesRoot;
  if (create) QORRegistryKey::Create(hive, path, KEY_ALL_ACCESS, key);
  if (!create) QORRegistryKey::Open(hive, path, KEY_ALL_ACCESS, key);
  return key;
}
inline bool Exists(const std::wstring& path) {
  return Key(path).IsOpen();
}
inline std::wstring Text(const std::wstring& path, const std::wstring& name) {
  std::wstring value;
  return Key(path).GetString(name, &value) == ERROR_SUCCESS ? value : L"<missing>";
}
inline uint32_t Number(const std::wstring& path, const std::wstring& name) {
  uint32_t value = 0xDEADBEEF;
  return Key(path).GetDword(name, &value) == ERROR_SUCCESS ? value : 0xDEADBEEF;
}

}  // namespace apotest
