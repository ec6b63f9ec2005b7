#include "ipc/QORAPOSharedMeter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "AllocationCounter.h"
#include "ChildProcess.h"
#include "TempStateRoot.h"
#include "common/QORTextConvert.h"
#include "platform/IQORSharedMemory.h"
#include "platform/QORComPtr.h"
#include "platform/QOREndpointStore.h"
#include "platform/QORMMDevice.h"
#include "platform/QORPropVariant.h"

namespace {

constexpr GUID kEndpoint = {
    0x6A1F0C22, 0x3B4D, 0x4C5E, {0x8F, 0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76}};
constexpr PROPERTYKEY kInterfaceName = {
    {0xb3f8fa53, 0x0004, 0x438e, {0x90, 0x03, 0x51, 0xa4, 0x6e, 0x13, 0x9b, 0xfc}}, 6};
constexpr PROPERTYKEY kDescription = {
    {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 2};

std::wstring ReadText(IPropertyStore* store, const PROPERTYKEY& key) {
  PROPVARIANT value;
  PropVariantInit(&value);
  std::wstring text;
  if (SUCCEEDED(store->GetValue(key, &value)) && value.vt == VT_LPWSTR) text = value.pwszVal;
  PropVariantClear(&value);
  return text;
}

// A control application, built on the platform's objects only: it composes the names from the
// endpoint's two properties and reads the block's bytes as little-endian floats. "read" answers
// "levels <8 values>" and clears the block; "hold" and "release" take and give back the mutex.
int PeerChild(const std::vector<std::string>& args) {
  QORComPtr<IMMDevice> device;
  QORComPtr<IPropertyStore> store;
  if (args.size() != 1 || FAILED(QORMMDevice::Create(eRender, kEndpoint, device.Put())) ||
      FAILED(device->OpenPropertyStore(STGM_READ, store.Put()))) {
    return 2;
  }
  const std::wstring name = L"Global\\QOR_" + ReadText(store.Get(), kInterfaceName) + L" " +
                            ReadText(store.Get(), kDescription) + L"_Meter_" +
                            QORUtf8ToWide(args[0]);
  auto block = QOROpenSharedMemory(name, 32);
  auto mutex = QOROpenNamedMutex(name + L"_Mutex");
  if (!block || !mutex) return 3;
  qortest::ChildSay("open");
  std::string line;
  while (qortest::ChildHear(line)) {
    if (line == "release" && mutex->Release()) qortest::ChildSay("released");
    if (line == "release" || mutex->Wait(2000) != QORMutexWaitResult::kAcquired) continue;
    if (line == "hold") {
      qortest::ChildSay("held");
      continue;
    }
    auto* bytes = static_cast<uint8_t*>(block->Data());
    std::ostringstream levels;
    levels << "levels";
    for (size_t i = 0; i < 32; i += 4) {
      const uint32_t bits = bytes[i] | bytes[i + 1] << 8 | bytes[i + 2] << 16 |
                            static_cast<uint32_t>(bytes[i + 3]) << 24;
      float level;
      std::memcpy(&level, &bits, sizeof bits);
      levels << ' ' << level;
    }
    std::memset(bytes, 0, 32);
    mutex->Release();
    qortest::ChildSay(levels.str());
  }
  return 0;
}
qortest::ChildRegistration peerChild("meter-peer", &PeerChild);

bool SetText(const PROPERTYKEY& key, const wchar_t* text) {
  PROPVARIANT value;
  PropVariantInit(&value);
  if (FAILED(InitPropVariantFromString(text, &value))) return false;
  const HRESULT hr = QOREndpointStore::SetProperty(eRender, kEndpoint, key, value);
  PropVariantClear(&value);
  return SUCCEEDED(hr);
}

class QORAPOSharedMeterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QORComPtr<IMMDevice> device;
    ASSERT_TRUE(
        SUCCEEDED(QOREndpointStore::Add(eRender, kEndpoint, L"Speakers", DEVICE_STATE_ACTIVE)));
    ASSERT_TRUE(SetText(kInterfaceName, L"QOR Audio Device") && SetText(kDescription, L"Speakers"));
    ASSERT_TRUE(SUCCEEDED(QORMMDevice::Create(eRender, kEndpoint, device.Put())));
    ASSERT_TRUE(info_.Init(device.Get(), true));
  }

  // The block's eight levels, read past the meter.
  std::vector<float> Block(uint32_t index) {
    auto block = QOROpenSharedMemory(QORAPOSharedMeter::MappingName(info_, index), 32);
    if (!block) return {};
    std::vector<float> levels(8);
    std::memcpy(levels.data(), block->Data(), 32);
    return levels;
  }

  qortest::TempStateRoot root_;
  QORAPOEndpointInfo info_;
};

TEST_F(QORAPOSharedMeterTest, WritesHoldPeaksAndReadsFetchAndClear) {
  EXPECT_EQ(L"Global\\QOR_QOR Audio Device Speakers_Meter_1",
            QORAPOSharedMeter::MappingName(info_, 1));
  EXPECT_EQ(L"Global\\QOR_QOR Audio Device Speakers_Meter_0_Mutex",
            QORAPOSharedMeter::MutexName(QORAPOSharedMeter::MappingName(info_, 0)));
  QORAPOSharedMeter meter;
  std::vector<float> values{0.5f, 0.25f, 0.125f};
  EXPECT_FALSE(meter.Update(values, true));
  EXPECT_EQ(std::vector<float>(3, 0.0f), values);
  values = {0.5f};
  EXPECT_FALSE(meter.Update(values, false));

  ASSERT_TRUE(meter.OpenCreate(info_, 1));
  EXPECT_EQ(std::vector<float>(8, 0.0f), Block(1));
  EXPECT_TRUE(Block(0).empty());
  values = {0.5f, 0.25f};
  ASSERT_TRUE(meter.Update(values, false));
  values = {0.25f, 0.75f};
  ASSERT_TRUE(meter.Update(values, false));
  EXPECT_EQ((std::vector<float>{0.5f, 0.75f, 0, 0, 0, 0, 0, 0}), Block(1));
  EXPECT_EQ((std::vector<float>{0.25f, 0.75f}), values);  // the caller's values stay as they were

  // Ten channels: only eight are kept. A NaN in the block gives way to any value, and a NaN
  // written replaces the level.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  values = {nan, 0.1f, 0.3f, 0.4f, 0.5f, 0.6f, 0.7f, 0.8f, 0.9f, 1.0f};
  ASSERT_TRUE(meter.Update(values, false));
  values = {0.2f};
  ASSERT_TRUE(meter.Update(values, false));
  EXPECT_EQ((std::vector<float>{0.2f, 0, 0, 0, 0, 0, 0, 0}), Block(1))
      << "channels the writer no longer has drop to zero";
  values = {0.125f, 0.0625f, 0.5f};
  ASSERT_TRUE(meter.Update(values, false));
  values[1] = nan;
  ASSERT_TRUE(meter.Update(values, false));
  std::vector<float> read(3, -1.0f);
  ASSERT_TRUE(meter.Update(read, true));
  ASSERT_EQ(8u, read.size());
  EXPECT_EQ(0.2f, read[0]);
  EXPECT_TRUE(std::isnan(read[1]));
  EXPECT_EQ(0.5f, read[2]);
  EXPECT_EQ(std::vector<float>(8, 0.0f), Block(1));
  ASSERT_TRUE(meter.Update(read, true));
  EXPECT_EQ(std::vector<float>(8, 0.0f), read);

  values = {0.5f, 0.25f, 0.1f, 0.2f, 0.3f, 0.4f};
  qortest::AllocationScope scope;
  for (int i = 0; i < 1000; ++i) {
    values[0] = static_cast<float>(i) / 1000.0f;
    ASSERT_TRUE(meter.Update(values, false));
  }
  EXPECT_EQ(0u, scope.Count());

  EXPECT_TRUE(meter.Close());
  values = {0.75f, 0.75f};
  EXPECT_FALSE(meter.Update(values, false));
  EXPECT_FALSE(meter.Update(values, true));
  EXPECT_EQ(std::vector<float>(2, 0.0f), values);
}

std::vector<float> PeerRead(qortest::ChildProcess& peer) {
  std::string line;
  std::vector<float> levels;
  if (!peer.SendLine("read") || !peer.ReadLine(line) || line.rfind("levels", 0) != 0) return {};
  std::istringstream in(line.substr(6));
  for (float level; in >> level;) levels.push_back(level);
  return levels;
}

// This process meters a tone; a peer that knows only the endpoint reads its peaks, then zeros.
// While a third process holds the mutex the periods keep completing and their writes fail.
TEST_F(QORAPOSharedMeterTest, TonePeaksReachAnotherProcessAndAHeldMutexNeverStallsAWrite) {
  QORAPOSharedMeter meter;
  // Opened at another index first: after the reopen, index 1's own mutex guards the block.
  ASSERT_TRUE(meter.OpenCreate(info_, 0));
  meter.Close();
  ASSERT_TRUE(meter.OpenCreate(info_, 1));
  qortest::ChildProcess reader;
  qortest::ChildProcess holder;
  ASSERT_TRUE(reader.Start("meter-peer", {"1"}) && reader.WaitFor("open"));
  ASSERT_TRUE(holder.Start("meter-peer", {"1"}) && holder.WaitFor("open"));

  using Clock = std::chrono::steady_clock;
  double phase = 0.0;
  int good = 0, bad = 0;
  Clock::duration slowest{};
  auto meterTone = [&](const std::vector<double>& amplitude, int periods) {
    good = bad = 0;
    std::vector<float> peaks;
    for (int p = 0; p < periods; ++p) {
      peaks.assign(amplitude.size(), 0.0f);
      for (uint32_t frame = 0; frame < 480; ++frame, phase += 2.0 * M_PI * 997.0 / 48000) {
        for (size_t c = 0; c < amplitude.size(); ++c) {
          peaks[c] = std::max(peaks[c], static_cast<float>(std::fabs(amplitude[c] * sin(phase))));
        }
      }
      const auto start = Clock::now();
      (meter.Update(peaks, false) ? good : bad) += 1;
      slowest = std::max(slowest, Clock::now() - start);
    }
  };

  const std::vector<double> amplitude{0.5, 0.125};
  meterTone(amplitude, 50);
  EXPECT_EQ(50, good);
  EXPECT_EQ(0, bad);
  std::vector<float> levels = PeerRead(reader);
  ASSERT_EQ(8u, levels.size());
  for (int c = 0; c < 2; ++c) EXPECT_NEAR(0.0, 20.0 * std::log10(levels[c] / amplitude[c]), 0.1);
  for (int c = 2; c < 8; ++c) EXPECT_EQ(0.0f, levels[c]);
  EXPECT_EQ(std::vector<float>(8, 0.0f), PeerRead(reader));

  ASSERT_TRUE(holder.SendLine("hold") && holder.WaitFor("held"));
  meterTone({0.5, 0.5}, 200);
  EXPECT_EQ(0, good);
  EXPECT_EQ(200, bad);
  EXPECT_LT(slowest, std::chrono::microseconds(20000));
  std::vector<float> read(2);
  EXPECT_FALSE(meter.Update(read, true));  // a reader gives up after its 1 ms
  // Opening another index while open moves the meter to that block's mutex as well.
  std::vector<float> values{0.5f};
  ASSERT_TRUE(meter.OpenCreate(info_, 0));
  EXPECT_TRUE(meter.Update(values, false));
  EXPECT_EQ(0.5f, Block(0)[0]);
  ASSERT_TRUE(holder.SendLine("release") && holder.WaitFor("released"));
  EXPECT_EQ(std::vector<float>(8, 0.0f), PeerRead(reader)) << "refused writes left nothing";
}

}  // namespace
