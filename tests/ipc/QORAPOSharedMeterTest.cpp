#include "ipc/QORAPOSharedMeter.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <unistd.h>
#endif

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "TempStateRoot.h"
#include "TestEndpoint.h"
#include "common/QORTextConvert.h"
#include "platform/IQORSharedMemory.h"
#ifndef _WIN32
#include "platform/posix/QORNamedObject.h"
#endif

namespace {

// Takes the named mutex given, as a control application reading the meter, and holds it.
int HolderChild(const std::vector<std::string>& args) {
  auto mutex = QORCreateNamedMutex(QORUtf8ToWide(args.at(0)), false);
  if (!mutex || mutex->Wait(2000) != QORMutexWaitResult::kAcquired) return 3;
  qortest::ChildSay("held");
  std::string line;
  qortest::ChildHear(line);  // until the test ends
  return 0;
}
qortest::ChildRegistration holderChild("meter-holder", &HolderChild);

// Gives a render endpoint its interface name and description, the two halves of a meter's name.
void SetNames(const GUID& endpoint, const wchar_t* interfaceName, const wchar_t* description) {
  QORRegistryKey properties;
  ASSERT_EQ(
      ERROR_SUCCESS,
      QORRegistryKey::Open(QORRegistryHive::kLocalMachine,
                           QOREndpointStore::EndpointKeyPath(eRender, endpoint) + L"\\Properties",
                           KEY_ALL_ACCESS, properties));
  properties.SetString(L"{b3f8fa53-0004-438e-9003-51a46e139bfc},6", interfaceName);
  properties.SetString(L"{a45c254e-df1c-4efd-8020-67d146a850e0},2", description);
}

// One meter through its life: names, peak hold, fetch and clear, closing, and a reopening at the
// other index while another process holds that block's mutex.
TEST(QORAPOSharedMeter, HoldsPeaksFetchesAndClearsAndNeverWaitsForAnotherProcessHoldingTheMutex) {
  qortest::TempStateRoot root;
  qortest::MakeEndpoint(true, L"");
  SetNames(qortest::EndpointId(true), L"QOR Audio Device", L"Speakers");
  const QORAPOEndpointInfo info = qortest::OpenEndpoint(true);
  // The block's eight levels, read past the meter.
  auto levelsOf = [&](uint32_t index) {
    auto block = QOROpenSharedMemory(QORAPOSharedMeter::MappingName(info, index), 32);
    std::vector<float> levels(block ? 8 : 0);
    if (block) std::memcpy(levels.data(), block->Data(), 32);
    return levels;
  };

  EXPECT_EQ(L"Global\\QOR_QOR Audio Device Speakers_Meter_1",
            QORAPOSharedMeter::MappingName(info, 1));
  EXPECT_EQ(L"Global\\QOR_QOR Audio Device Speakers_Meter_0_Mutex",
            QORAPOSharedMeter::MutexName(QORAPOSharedMeter::MappingName(info, 0)));
  QORAPOSharedMeter meter;
  auto write = [&](std::vector<float> levels) { return meter.Update(levels, false); };
  ASSERT_TRUE(meter.OpenCreate(info, 1));
  EXPECT_EQ(std::vector<float>(8, 0.0f), levelsOf(1));
  ASSERT_TRUE(write({0.5f, 0.25f}));
  std::vector<float> values{0.25f, 0.75f};
  ASSERT_TRUE(meter.Update(values, false));
  EXPECT_EQ((std::vector<float>{0.5f, 0.75f, 0, 0, 0, 0, 0, 0}), levelsOf(1));
  EXPECT_EQ((std::vector<float>{0.25f, 0.75f}), values);  // the caller's values stay as they were

  // Eight of ten channels kept; a NaN stored gives way to any value, a NaN written replaces it.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  ASSERT_TRUE(write({nan, 0.1f, 0.3f, 0.4f, 0.5f, 0.6f, 0.7f, 0.8f, 0.9f, 1.0f}));
  ASSERT_TRUE(write({0.2f}));
  EXPECT_EQ((std::vector<float>{0.2f, 0, 0, 0, 0, 0, 0, 0}), levelsOf(1))
      << "channels the writer no longer has drop to zero";
  ASSERT_TRUE(write({0.125f, 0.0625f, 0.5f}));
  ASSERT_TRUE(write({0.125f, nan, 0.5f}));
  std::vector<float> read(3, -1.0f);
  ASSERT_TRUE(meter.Update(read, true));
  ASSERT_EQ(8u, read.size());
  EXPECT_EQ(0.2f, read[0]);
  EXPECT_TRUE(std::isnan(read[1]));
  EXPECT_EQ(0.5f, read[2]);
  EXPECT_EQ(std::vector<float>(8, 0.0f), levelsOf(1));
  ASSERT_TRUE(meter.Update(read, true));
  EXPECT_EQ(std::vector<float>(8, 0.0f), read);

  // Closed: writes and reads fail, and a read zeroes the caller's values.
  EXPECT_TRUE(meter.Close());
  values = {0.75f, 0.75f};
  EXPECT_FALSE(meter.Update(values, false));
  EXPECT_FALSE(meter.Update(values, true));
  EXPECT_EQ(std::vector<float>(2, 0.0f), values);

  // At the other index, while another process holds its mutex: writes return at once, dropped.
  ASSERT_TRUE(meter.OpenCreate(info, 0));
  qortest::ChildProcess holder;
  ASSERT_TRUE(holder.Start(
      "meter-holder",
      {QORWideToUtf8(QORAPOSharedMeter::MutexName(QORAPOSharedMeter::MappingName(info, 0)))}));
  ASSERT_TRUE(holder.WaitFor("held"));
  int refused = 0;
  for (int i = 0; i < 200; ++i) {
    const auto start = std::chrono::steady_clock::now();
    if (!write({0.5f, 0.5f})) ++refused;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
  }
  EXPECT_EQ(200, refused);
  EXPECT_FALSE(meter.Update(read, true));  // a reader gives up after its 1 ms
  EXPECT_EQ(std::vector<float>(8, 0.0f), levelsOf(0)) << "refused writes left nothing";
}

// The meter's name comes from the endpoint's interface name and description while no other
// endpoint composes the same; a blank name, or one two endpoints share, gives way to the GUID.
TEST(QORAPOSharedMeter, NamesKeepEveryEndpointsMeterApart) {
  qortest::TempStateRoot root;
  struct Row {
    GUID guid;
    const wchar_t* interfaceName;  // null: as `endpoint add` writes it from the friendly name
    const wchar_t* description;
    const wchar_t* friendlyName;
    const wchar_t* expected;  // the identifier in the meter's name
  };
  const Row rows[] = {
      {{0x11, 0, 0, {0}},
       nullptr,
       nullptr,
       L"Speakers (USB Audio Device)",
       L"USB Audio Device Speakers"},
      {{0x12, 0, 0, {0}}, nullptr, nullptr, L"Desk Speakers", L" Desk Speakers"},
      {{0x13, 0, 0, {0}}, L"", L"", L"Old", L"{00000013-0000-0000-0000-000000000000}"},
      {{0x14, 0, 0, {0}}, L"x y", L"z", L"z (x y)", L"{00000014-0000-0000-0000-000000000000}"},
      {{0x15, 0, 0, {0}}, L"x", L"y z", L"y z (x)", L"{00000015-0000-0000-0000-000000000000}"},
  };
  for (const Row& row : rows) {
    ASSERT_TRUE(
        SUCCEEDED(QOREndpointStore::Add(eRender, row.guid, row.friendlyName, DEVICE_STATE_ACTIVE)));
    if (row.interfaceName != nullptr) SetNames(row.guid, row.interfaceName, row.description);
  }
  for (const Row& row : rows) {
    SCOPED_TRACE(QORWideToUtf8(row.friendlyName));
    QORComPtr<IMMDevice> device;
    ASSERT_TRUE(SUCCEEDED(QORMMDevice::Create(eRender, row.guid, device.Put())));
    QORAPOEndpointInfo info;
    ASSERT_TRUE(info.Init(device.Get(), true));
    EXPECT_EQ(std::wstring(L"Global\\QOR_") + row.expected + L"_Meter_1",
              QORAPOSharedMeter::MappingName(info, 1));
  }
}

#ifndef _WIN32
// A meter block another process cuts short (no process can on Windows): the writer and a reader in
// this process drop their levels instead of dying, and the block reads as lost.
TEST(QORAPOSharedMeter, ABlockCutShortIsLostToWriterAndReader) {
  qortest::TempStateRoot root;
  const QORAPOEndpointInfo info = qortest::MakeEndpoint(true, L"");
  QORAPOSharedMeter writer;
  QORAPOSharedMeter reader;
  ASSERT_TRUE(writer.OpenCreate(info, 0) && reader.OpenCreate(info, 0));
  std::vector<float> values{0.5f, 0.5f};
  ASSERT_TRUE(writer.Update(values, false));
  const std::string file =
      std::string(std::getenv("QOR_ROOT")) + "/NamedObjects/" +
      QORNamedObject::FileNameFor("shm", QORAPOSharedMeter::MappingName(info, 0));
  ASSERT_EQ(0, ::truncate(file.c_str(), 0));
  EXPECT_FALSE(writer.Update(values, false));
  EXPECT_TRUE(writer.IsLost());
  EXPECT_FALSE(writer.Update(values, false));
  std::vector<float> read(8, 1.0f);
  EXPECT_FALSE(reader.Update(read, true));
  EXPECT_TRUE(reader.IsLost());
  EXPECT_EQ(std::vector<float>(8, 0.0f), read);
}
#endif

}  // namespace
