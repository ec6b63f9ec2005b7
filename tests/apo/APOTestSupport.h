#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "TempStateRoot.h"
#include "TestEndpoint.h"
#include "common/QORTextConvert.h"
#include "platform/IAudioMediaType.h"
#include "platform/IMMDeviceEnumerator.h"
#include "platform/QORAPOTypes.h"
#include "platform/QORAudioMediaType.h"
#include "platform/QORComApi.h"
#include "platform/QORComPtr.h"
#include "platform/QORMMDeviceCollection.h"
#include "platform/QORMMDeviceEnumerator.h"
#include "platform/QORRegistryPropertyStore.h"

namespace apotest {

inline QORComPtr<IAudioMediaType> FloatType(uint16_t channels, uint32_t rate,
                                            uint16_t validBits = 32) {
  WAVEFORMATEXTENSIBLE format{};
  format.Format = {WAVE_FORMAT_EXTENSIBLE,
                   channels,
                   rate,
                   rate * channels * 4u,
                   static_cast<uint16_t>(channels * 4u),
                   32,
                   kWaveFormatExtensibleExtra};
  format.wValidBitsPerSample = validBits;
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

inline QORComPtr<IPropertyStore> EmptyStore() {
  QORComPtr<IPropertyStore> store;
  EXPECT_EQ(S_OK, QORRegistryPropertyStore::Create(QORRegistryKey(), false, store.Put()));
  return store;
}

inline QORComPtr<IMMDeviceCollection> Endpoints(EDataFlow flow) {
  QORComPtr<IMMDeviceEnumerator> enumerator;
  EXPECT_EQ(S_OK, CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL,
                                   IID_IMMDeviceEnumerator, enumerator.PutVoid()));
  QORComPtr<IMMDeviceCollection> devices;
  EXPECT_EQ(S_OK, enumerator->EnumAudioEndpoints(flow, DEVICE_STATE_ACTIVE, devices.Put()));
  return devices;
}

inline QORComPtr<IPropertyStore> StoreOf(IMMDevice* device) {
  QORComPtr<IPropertyStore> store;
  EXPECT_EQ(S_OK, device->OpenPropertyStore(STGM_READ, store.Put()));
  return store;
}

inline std::string ReadExample() {
  std::ifstream file(QOR_EXAMPLE_CONFIGURATION);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// One input and one output connection of the given formats and room.
struct Connections {
  APO_CONNECTION_DESCRIPTOR input{};
  APO_CONNECTION_DESCRIPTOR output{};
  APO_CONNECTION_DESCRIPTOR* inputs[1] = {&input};
  APO_CONNECTION_DESCRIPTOR* outputs[1] = {&output};
  Connections(IAudioMediaType* in, IAudioMediaType* out, uint32_t frames) {
    input = {APO_CONNECTION_BUFFER_TYPE_EXTERNAL, 0, frames, in, 0};
    output = {APO_CONNECTION_BUFFER_TYPE_EXTERNAL, 0, frames, out, 0};
  }
};

// One period's buffers, interleaved.
struct Period {
  std::vector<float> in;
  std::vector<float> out;
  APO_CONNECTION_PROPERTY input{};
  APO_CONNECTION_PROPERTY output{};
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

}  // namespace apotest
