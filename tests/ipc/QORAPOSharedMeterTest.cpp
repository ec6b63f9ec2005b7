#include "ipc/QORAPOSharedMeter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
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
constexpr uint32_t kRate = 48000;
constexpr uint32_t kPeriod = 480;

bool SetText(const PROPERTYKEY& key, const wchar_t* text) {
  PROPVARIANT value;
  PropVariantInit(&value);
  if (FAILED(InitPropVariantFromString(text, &value))) return false;
  const HRESULT hr = QOREndpointStore::SetProperty(eRender, kEndpoint, key, value);
  PropVariantClear(&value);
  return SUCCEEDED(hr);
}

bool AddEndpoint() {
  return SUCCEEDED(QOREndpointStore::Add(eRender, kEndpoint, L"Speakers", DEVICE_STATE_ACTIVE)) &&
         SetText(kInterfaceName, L"QOR Audio Device") && SetText(kDescription, L"Speakers");
}

bool MakeInfo(QORAPOEndpointInfo& info) {
  QORComPtr<IMMDevice> device;
  if (FAILED(QORMMDevice::Create(eRender, kEndpoint, device.Put()))) return false;
  return info.Init(device.Get(), true);
}

std::string Join(const std::vector<float>& values) {
  std::string text;
  char number[32];
  for (float value : values) {
    std::snprintf(number, sizeof number, " %.9g", value);
    text += number;
  }
  return text;
}

std::vector<float> Parse(const std::string& line, const std::string& head) {
  std::vector<float> values;
  if (line.rfind(head, 0) != 0) return values;
  std::istringstream in(line.substr(head.size()));
  float value;
  while (in >> value) values.push_back(value);
  return values;
}

// Writes a tone's peaks period by period through the meter, as the processing path does:
// "tone <amplitude per channel...> <periods>" answers "wrote <true count> <false count> <max us>".
int WriterChild(const std::vector<std::string>& args) {
  QORAPOEndpointInfo info;
  QORAPOSharedMeter meter;
  if (args.size() != 1 || !MakeInfo(info) || !meter.OpenCreate(info, std::stoul(args[0]))) {
    qortest::ChildSay("failed");
    return 2;
  }
  qortest::ChildSay("open");
  std::string line;
  std::vector<float> peaks;
  peaks.reserve(QORAPOSharedMeter::kChannels);
  double phase = 0.0;
  while (qortest::ChildHear(line)) {
    std::vector<double> numbers;
    std::istringstream in(line.substr(line.find(' ') + 1));
    double number;
    while (in >> number) numbers.push_back(number);
    if (line.rfind("tone ", 0) != 0 || numbers.size() < 2) return 3;
    const size_t channels = numbers.size() - 1;
    const int periods = static_cast<int>(numbers.back());
    int good = 0;
    int bad = 0;
    int64_t slowestUs = 0;
    for (int p = 0; p < periods; ++p) {
      peaks.assign(channels, 0.0f);
      for (uint32_t frame = 0; frame < kPeriod; ++frame) {
        const double sample = std::sin(phase);
        phase += 2.0 * M_PI * 997.0 / kRate;
        for (size_t c = 0; c < channels; ++c) {
          peaks[c] = std::max(peaks[c], static_cast<float>(std::fabs(numbers[c] * sample)));
        }
      }
      const auto start = std::chrono::steady_clock::now();
      (meter.Update(peaks, false) ? good : bad) += 1;
      const auto took = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
      slowestUs = std::max<int64_t>(slowestUs, took);
    }
    qortest::ChildSay("wrote " + std::to_string(good) + " " + std::to_string(bad) + " " +
                      std::to_string(slowestUs));
  }
  return 0;
}
qortest::ChildRegistration writerChild("meter-writer", &WriterChild);

std::wstring ReadText(IPropertyStore* store, const PROPERTYKEY& key) {
  PROPVARIANT value;
  PropVariantInit(&value);
  std::wstring text;
  if (SUCCEEDED(store->GetValue(key, &value)) && value.vt == VT_LPWSTR) text = value.pwszVal;
  PropVariantClear(&value);
  return text;
}

// A control application's reader, built on the platform's objects only: it composes the names
// from the endpoint's two properties and reads the block's bytes as little-endian floats.
// "read" answers "levels <8 values>" and clears the block.
int ReaderChild(const std::vector<std::string>& args) {
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
  if (!block || !mutex) {
    qortest::ChildSay("missing");
    return 3;
  }
  qortest::ChildSay("open");
  std::string line;
  while (qortest::ChildHear(line)) {
    if (line != "read") return 4;
    if (mutex->Wait(2000) != QORMutexWaitResult::kAcquired) return 5;
    auto* bytes = static_cast<uint8_t*>(block->Data());
    std::vector<float> levels(8);
    for (size_t i = 0; i < 8; ++i) {
      const uint32_t bits = static_cast<uint32_t>(bytes[4 * i]) |
                            static_cast<uint32_t>(bytes[4 * i + 1]) << 8 |
                            static_cast<uint32_t>(bytes[4 * i + 2]) << 16 |
                            static_cast<uint32_t>(bytes[4 * i + 3]) << 24;
      std::memcpy(&levels[i], &bits, sizeof bits);
    }
    std::memset(bytes, 0, 32);
    mutex->Release();
    qortest::ChildSay("levels" + Join(levels));
  }
  return 0;
}
qortest::ChildRegistration readerChild("meter-reader", &ReaderChild);

// Holds a named mutex from "hold" until "release".
int HolderChild(const std::vector<std::string>& args) {
  if (args.size() != 1) return 2;
  auto mutex = QORCreateNamedMutex(QORUtf8ToWide(args[0]), false);
  if (!mutex) return 3;
  std::string line;
  while (qortest::ChildHear(line)) {
    if (line == "hold" && mutex->Wait(2000) == QORMutexWaitResult::kAcquired)
      qortest::ChildSay("held");
    if (line == "release" && mutex->Release()) qortest::ChildSay("released");
  }
  return 0;
}
qortest::ChildRegistration holderChild("meter-holder", &HolderChild);

class QORAPOSharedMeterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(AddEndpoint());
    ASSERT_TRUE(MakeInfo(info_));
  }

  // The block's eight levels, read past the meter.
  std::vector<float> Block(uint32_t index) {
    auto block = QOROpenSharedMemory(QORAPOSharedMeter::MappingName(info_, index), 32);
    if (!block) return {};
    std::vector<float> levels(8);
    std::memcpy(levels.data(), block->Data(), 32);
    return levels;
  }

  std::string MutexName(uint32_t index) {
    return QORWideToUtf8(
        QORAPOSharedMeter::MutexName(QORAPOSharedMeter::MappingName(info_, index)));
  }

  qortest::TempStateRoot root_;
  QORAPOEndpointInfo info_;
};

TEST_F(QORAPOSharedMeterTest, NamesComeFromTheEndpointsInterfaceAndDescription) {
  EXPECT_EQ(L"Global\\QOR_QOR Audio Device Speakers_Meter_1",
            QORAPOSharedMeter::MappingName(info_, 1));
  EXPECT_EQ(L"Global\\QOR_QOR Audio Device Speakers_Meter_0_Mutex",
            QORAPOSharedMeter::MutexName(QORAPOSharedMeter::MappingName(info_, 0)));
  QORAPOSharedMeter meter;
  EXPECT_FALSE(meter.IsOpen());
  ASSERT_TRUE(meter.OpenCreate(info_, 0));
  EXPECT_TRUE(meter.IsOpen());
  EXPECT_EQ(32u, meter.GetSize());
  EXPECT_EQ(std::vector<float>(8, 0.0f), Block(0));
  EXPECT_TRUE(Block(1).empty());
}

TEST_F(QORAPOSharedMeterTest, WritesHoldPeaksAndReadsFetchAndClear) {
  QORAPOSharedMeter meter;
  ASSERT_TRUE(meter.OpenCreate(info_, 1));
  std::vector<float> values{0.5f, 0.25f};
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
  std::vector<float> block = Block(1);
  EXPECT_EQ((std::vector<float>{0.2f, 0, 0, 0, 0, 0, 0, 0}), block)
      << "channels the writer no longer has drop to zero";

  values = {0.125f, 0.0625f, 0.5f};
  ASSERT_TRUE(meter.Update(values, false));
  std::vector<float> read(3, -1.0f);
  ASSERT_TRUE(meter.Update(read, true));
  EXPECT_EQ((std::vector<float>{0.2f, 0.0625f, 0.5f, 0, 0, 0, 0, 0}), read);
  EXPECT_EQ(std::vector<float>(8, 0.0f), Block(1));
  ASSERT_TRUE(meter.Update(read, true));
  EXPECT_EQ(std::vector<float>(8, 0.0f), read);
}

TEST_F(QORAPOSharedMeterTest, NaNsAreReplacedEitherWay) {
  QORAPOSharedMeter meter;
  ASSERT_TRUE(meter.OpenCreate(info_, 0));
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<float> values{nan, 0.5f};
  ASSERT_TRUE(meter.Update(values, false));
  values = {0.25f, nan};
  ASSERT_TRUE(meter.Update(values, false));
  std::vector<float> read;
  ASSERT_TRUE(meter.Update(read, true));
  ASSERT_EQ(8u, read.size());
  EXPECT_EQ(0.25f, read[0]);
  EXPECT_TRUE(std::isnan(read[1]));
}

TEST_F(QORAPOSharedMeterTest, ClosedMeterFailsAndZeroesTheReadersValues) {
  QORAPOSharedMeter meter;
  std::vector<float> values{0.5f, 0.25f, 0.125f};
  EXPECT_FALSE(meter.Update(values, true));
  EXPECT_EQ(std::vector<float>(3, 0.0f), values);
  values = {0.5f};
  EXPECT_FALSE(meter.Update(values, false));

  ASSERT_TRUE(meter.OpenCreate(info_, 0));
  ASSERT_TRUE(meter.Update(values, false));
  EXPECT_TRUE(meter.Close());
  EXPECT_FALSE(meter.IsOpen());
  values = {0.75f, 0.75f};
  EXPECT_FALSE(meter.Update(values, false));
  EXPECT_FALSE(meter.Update(values, true));
  EXPECT_EQ(std::vector<float>(2, 0.0f), values);
}

TEST_F(QORAPOSharedMeterTest, WriteAllocatesNothing) {
  QORAPOSharedMeter meter;
  ASSERT_TRUE(meter.OpenCreate(info_, 1));
  std::vector<float> values{0.5f, 0.25f, 0.1f, 0.2f, 0.3f, 0.4f};
  qortest::AllocationScope scope;
  for (int i = 0; i < 1000; ++i) {
    values[0] = static_cast<float>(i) / 1000.0f;
    ASSERT_TRUE(meter.Update(values, false));
  }
  EXPECT_EQ(0u, scope.Count());
}

// While another process holds the mutex, writes return at once and drop their levels; the next
// write after the release lands.
TEST_F(QORAPOSharedMeterTest, WriteNeverWaitsForAnotherProcessHoldingTheMutex) {
  QORAPOSharedMeter meter;
  ASSERT_TRUE(meter.OpenCreate(info_, 1));
  qortest::ChildProcess holder;
  ASSERT_TRUE(holder.Start("meter-holder", {MutexName(1)}));
  ASSERT_TRUE(holder.SendLine("hold"));
  ASSERT_TRUE(holder.WaitFor("held"));
  std::vector<float> values{0.5f, 0.5f};
  int refused = 0;
  for (int i = 0; i < 100; ++i) {
    const auto start = std::chrono::steady_clock::now();
    if (!meter.Update(values, false)) ++refused;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
  }
  EXPECT_EQ(100, refused);
  std::vector<float> read(2);
  EXPECT_FALSE(meter.Update(read, true));  // a reader gives up after its 1 ms
  ASSERT_TRUE(holder.SendLine("release"));
  ASSERT_TRUE(holder.WaitFor("released"));
  EXPECT_EQ(std::vector<float>(8, 0.0f), Block(1));
  EXPECT_TRUE(meter.Update(values, false));
  EXPECT_EQ(0.5f, Block(1)[1]);
}

// After Close, opening another index takes that block's own mutex.
TEST_F(QORAPOSharedMeterTest, ReopenedMeterIsGuardedByItsOwnMutex) {
  QORAPOSharedMeter meter;
  ASSERT_TRUE(meter.OpenCreate(info_, 0));
  meter.Close();
  ASSERT_TRUE(meter.OpenCreate(info_, 1));
  qortest::ChildProcess holder;
  ASSERT_TRUE(holder.Start("meter-holder", {MutexName(1)}));
  ASSERT_TRUE(holder.SendLine("hold"));
  ASSERT_TRUE(holder.WaitFor("held"));
  std::vector<float> values{0.5f};
  EXPECT_FALSE(meter.Update(values, false));
  // Opening another index while open moves the meter there as well.
  ASSERT_TRUE(meter.OpenCreate(info_, 0));
  EXPECT_TRUE(meter.Update(values, false));
  EXPECT_EQ(0.5f, Block(0)[0]);
}

double Db(double ratio) {
  return 20.0 * std::log10(ratio);
}

// A writer process meters a tone; a reader process that knows only the endpoint reads its peaks,
// then zeros once the writer has stopped; while a third process holds the mutex the writer's
// periods keep completing.
TEST_F(QORAPOSharedMeterTest, TonePeaksReachAReaderInAnotherProcess) {
  qortest::ChildProcess writer;
  qortest::ChildProcess reader;
  ASSERT_TRUE(writer.Start("meter-writer", {"1"}));
  ASSERT_TRUE(writer.WaitFor("open"));
  ASSERT_TRUE(reader.Start("meter-reader", {"1"}));
  ASSERT_TRUE(reader.WaitFor("open"));

  const double amplitude[2] = {0.5, 0.125};
  ASSERT_TRUE(writer.SendLine("tone 0.5 0.125 50"));
  std::string line;
  ASSERT_TRUE(writer.ReadLine(line));
  EXPECT_EQ(0u, line.rfind("wrote 50 0 ", 0)) << line;
  ASSERT_TRUE(reader.SendLine("read"));
  ASSERT_TRUE(reader.ReadLine(line));
  std::vector<float> levels = Parse(line, "levels");
  ASSERT_EQ(8u, levels.size()) << line;
  for (int c = 0; c < 2; ++c) EXPECT_NEAR(0.0, Db(levels[c] / amplitude[c]), 0.1) << c;
  for (int c = 2; c < 8; ++c) EXPECT_EQ(0.0f, levels[c]);
  ASSERT_TRUE(reader.SendLine("read"));
  ASSERT_TRUE(reader.ReadLine(line));
  EXPECT_EQ(std::vector<float>(8, 0.0f), Parse(line, "levels"));

  qortest::ChildProcess holder;
  ASSERT_TRUE(holder.Start("meter-holder", {MutexName(1)}));
  ASSERT_TRUE(holder.SendLine("hold"));
  ASSERT_TRUE(holder.WaitFor("held"));
  ASSERT_TRUE(writer.SendLine("tone 0.5 0.5 200"));
  ASSERT_TRUE(writer.ReadLine(line));
  std::istringstream counts(line.substr(std::strlen("wrote ")));
  int good = -1;
  int bad = -1;
  int64_t slowestUs = -1;
  counts >> good >> bad >> slowestUs;
  EXPECT_EQ(0, good) << line;
  EXPECT_EQ(200, bad) << line;
  EXPECT_LT(slowestUs, 20000) << line;
  ASSERT_TRUE(holder.SendLine("release"));
  ASSERT_TRUE(holder.WaitFor("released"));
  ASSERT_TRUE(reader.SendLine("read"));
  ASSERT_TRUE(reader.ReadLine(line));
  EXPECT_EQ(std::vector<float>(8, 0.0f), Parse(line, "levels")) << "refused writes left nothing";
}

}  // namespace
