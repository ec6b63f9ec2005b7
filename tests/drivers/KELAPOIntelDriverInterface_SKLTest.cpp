#include "drivers/KELAPOIntelDriverInterface_SKL.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "FakeDeviceTopology.h"
#include "TraceCapture.h"
#include "platform/QORDriverServices.h"

namespace {

using qortest::FakeDeviceTopology;
using Bytes = std::vector<uint8_t>;
using Skl = KELAPOIntelDriverInterface_SKL;

// size zero bytes with GUIDs and little-endian words at the given offsets, as requests travel.
Bytes Layout(size_t size, std::initializer_list<std::pair<size_t, GUID>> guids,
             std::initializer_list<std::pair<size_t, uint32_t>> words) {
  Bytes bytes(size, 0);
  for (const auto& [at, guid] : guids) {
    std::memcpy(bytes.data() + at, &guid.Data1, 4);
    std::memcpy(bytes.data() + at + 4, &guid.Data2, 2);
    std::memcpy(bytes.data() + at + 6, &guid.Data3, 2);
    std::memcpy(bytes.data() + at + 8, guid.Data4, 8);
  }
  for (const auto& [at, word] : words) std::memcpy(bytes.data() + at, &word, 4);
  return bytes;
}

class SkylakeDriver : public ::testing::Test {
 protected:
  void SetUp() override { QORDriverServices::Install(nullptr, &fake_); }
  void TearDown() override { QORDriverServices::Install(nullptr, nullptr); }

  FakeDeviceTopology fake_;
};

TEST_F(SkylakeDriver, WalksToTheWaveFilterRetainsTheMatchingModuleAndLaysOutEachRequest) {
  qortest::TraceCapture trace;
  HRESULT status = E_FAIL;
  Skl driver(&status);
  EXPECT_EQ(status, S_OK);
  EXPECT_TRUE(driver.HasControl());
  EXPECT_EQ(driver.NodeId(), 2u);
  EXPECT_EQ(driver.ModuleType(), 1u);
  EXPECT_EQ(driver.ModuleName(), "LuxSndPP");
  EXPECT_EQ(driver.ModuleVersion(), "1.2.3");
  for (const char* text :
       {"Devices count: 2", "Device id not match, skipping device", "Using pin id: 2",
        "Modules count: 2, modules size: 304",
        "Module id:{E1284052-F064-4FE4-A3D3-3878F72704C3}, type MFX, version 1.2.3, name LuxSndPP",
        "--- OK: Matching GUID found! SST PP module is active and ready. ---"}) {
    EXPECT_EQ(trace.LinesContaining(text).size(), 1u) << text;
  }

  // Version, then the module list twice: once to learn its size, once to read it.
  auto requests = fake_.Requests();
  ASSERT_EQ(requests.size(), 3u);
  // Property id, flags (GET), node, 0 after the set; the list names the second id.
  EXPECT_EQ(requests[0].property, Layout(32, {{0, Skl::kPropertySet}}, {{20, 1}, {24, 2}}));
  EXPECT_EQ(requests[0].dataLength, 5u);
  const Bytes list =
      Layout(48, {{0, Skl::kPropertySet}, {32, Skl::kSecondId}}, {{16, 1}, {20, 1}, {24, 2}});
  EXPECT_EQ(requests[1].property, list);
  EXPECT_EQ(requests[1].dataLength, 0u);
  EXPECT_EQ(requests[2].property, list);
  EXPECT_EQ(requests[2].dataLength, 304u);

  // A parameter: copied to the caller's size; the request names the module and the parameter.
  fake_.parameters[0x10014407] = {0x0A, 0x0B, 0xFF, 0x00};
  uint8_t data[6] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  HRESULT hr = E_FAIL;
  ASSERT_TRUE(driver.GetParameter(&hr, 0x10014407, data, 6));
  EXPECT_EQ(hr, S_OK);
  const uint8_t expected[6] = {0x0A, 0x0B, 0xFF, 0x00, 0xEE, 0xEE};
  EXPECT_EQ(std::memcmp(data, expected, 6), 0);
  EXPECT_EQ(trace.LinesContaining("(6 bytes): [0a0bff00eeee]").size(), 1u);
  requests = fake_.Requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[3].property,
            Layout(73, {{0, Skl::kPropertySet}, {32, Skl::kSecondId}, {52, Skl::kModuleId}},
                   {{16, 3}, {20, 1}, {24, 2}, {48, 1}, {68, 0x10014407}}));
  EXPECT_EQ(requests[3].dataLength, 64004u);
}

TEST_F(SkylakeDriver, OversizedOrOverstatedParameterAnswerIsNotCopied) {
  qortest::TraceCapture trace;
  HRESULT status = E_FAIL;
  Skl driver(&status);
  ASSERT_EQ(status, S_OK);
  fake_.parameters[0x10014405] = Bytes(40, 0x77);
  Bytes data(28, 0xEE);
  HRESULT hr = E_FAIL;
  EXPECT_FALSE(driver.GetParameter(&hr, 0x10014405, data.data(), 28));
  EXPECT_EQ(data, Bytes(28, 0xEE));
  EXPECT_FALSE(driver.Query10014405Offset0());
  EXPECT_EQ(trace.LinesContaining("Warning: Get param failed.").size(), 2u);

  // The answer states more data than arrived: nothing past it is read.
  fake_.parameters[0x10014405] = Bytes(8, 0x77);
  fake_.overrideStatedSize = true;
  fake_.statedSize = 28;
  EXPECT_FALSE(driver.GetParameter(&hr, 0x10014405, data.data(), 28));
  EXPECT_EQ(data, Bytes(28, 0xEE));
}

TEST_F(SkylakeDriver, ModuleListIsReadOnlyWithinWhatArrived) {
  // Text fields that fill their 64 bytes end there.
  fake_.modules[1].name = std::string(64, 'n');
  fake_.modules[1].version = std::string(64, 'v');
  HRESULT status = E_FAIL;
  {
    Skl driver(&status);
    ASSERT_EQ(status, S_OK);
    EXPECT_EQ(driver.ModuleName(), std::string(64, 'n'));
    EXPECT_EQ(driver.ModuleVersion(), std::string(64, 'v'));
  }
  const Bytes whole = fake_.ModuleListAnswer();  // 2 records, 304 bytes
  auto changed = [&](size_t at, uint8_t value) {
    Bytes list = whole;
    list[at] = value;
    return list;
  };
  // Count beyond the stated size; stated size (305) beyond what arrived; a cut record; a count
  // whose records would overflow 32 bits; short of a header, where the size probe is refused.
  const std::pair<Bytes, const char*> lists[] = {
      {changed(4, 3), "states 304 bytes and 3 modules, but 304 bytes arrived!"},
      {changed(0, 0x31), "states 305 bytes and 2 modules, but 304 bytes arrived!"},
      {Bytes(whole.begin(), whole.end() - 1),
       "states 304 bytes and 2 modules, but 303 bytes arrived!"},
      {changed(7, 0x80), "states 304 bytes and 2147483650 modules, but 304 bytes arrived!"},
      {{4, 0, 0, 0}, "Error: Failed to retrieve modules list!"}};
  for (const auto& [list, line] : lists) {
    qortest::TraceCapture trace;
    fake_.rawModuleList = list;
    Skl driver(&status);
    EXPECT_TRUE(FAILED(status)) << line;
    EXPECT_FALSE(driver.HasControl()) << line;
    EXPECT_TRUE(trace.LinesContaining("Module id:").empty()) << line;
    EXPECT_EQ(trace.LinesContaining(line).size(), 1u) << line;
  }
}

// Each leaves the object without a control; the last two are abandoned after the walk: a version
// byte of 2 (on an endpoint id matched whatever its case), a list without the module.
TEST_F(SkylakeDriver, WalkFailuresVersionTwoAndAMissingModuleEndTheSearch) {
  struct Case {
    void (*set)(FakeDeviceTopology&);
    const char* line;
    size_t requests;  // post-processing requests that went out
  };
  const Case cases[] = {
      {[](FakeDeviceTopology& f) { f.endpointPresent = false; }, "Devices count: 1", 0},
      {[](FakeDeviceTopology& f) { f.createEnumeratorFails = true; },
       "Failed to initialize COM device interface!", 0},
      {[](FakeDeviceTopology& f) { f.topologyActivationFails = true; },
       "Error: Device activation failed! ", 0},
      {[](FakeDeviceTopology& f) { f.descriptorFails = true; },
       "Warning, failed to retrieve pin id! Result: 0x80004005", 0},
      {[](FakeDeviceTopology& f) { f.ksActivationFails = true; },
       "Failed to activate IKsControl interface! Result: 0x", 0},
      {[](FakeDeviceTopology& f) { f.versionResult = E_NOTFOUND; },
       "Error Failed to retrieve version!", 1},
      {[](FakeDeviceTopology& f) {
         f.endpointId = L"{E1CF177B-AF91-4F37-ADCF6C1E6CB24D60}.{x}";
         f.version[0] = 2;
       },
       "Error: API Version mismatch: 0x2", 1},
      {[](FakeDeviceTopology& f) { f.modules.resize(1); }, "Modules count: 1, modules size: 156",
       3},
  };
  for (const Case& c : cases) {
    FakeDeviceTopology fake;
    c.set(fake);
    QORDriverServices::Install(nullptr, &fake);
    qortest::TraceCapture trace;
    HRESULT status = S_OK;
    {
      Skl driver(&status);
      EXPECT_FALSE(driver.HasControl()) << c.line;
      EXPECT_FALSE(driver.Query10014404()) << c.line;
    }
    EXPECT_TRUE(FAILED(status)) << c.line;
    EXPECT_EQ(trace.LinesContaining(c.line).size(), 1u) << c.line;
    EXPECT_EQ(fake.Requests().size(), c.requests) << c.line;
    QORDriverServices::Install(nullptr, &fake_);
  }
}

// A topology whose parts lead round in a circle ends the walk at its depth limit, not in a
// stack overflow.
TEST_F(SkylakeDriver, ACircularTopologyEndsTheWalkAtItsDepthLimit) {
  fake_.LoopTheSelector();
  qortest::TraceCapture trace;
  HRESULT status = S_OK;
  Skl driver(&status);
  EXPECT_FALSE(driver.HasControl());
  EXPECT_TRUE(FAILED(status));
  const size_t selectors = trace.LinesContaining("Input selector activated").size();
  EXPECT_GE(selectors, 30u);
  EXPECT_LE(selectors, 34u);
}

// The answer buffer belongs to the object and is held for one query at a time: two threads
// querying one object each get their own answers whole (ThreadSanitizer watches the buffer).
TEST_F(SkylakeDriver, ConcurrentQueriesOnOneObjectKeepTheirAnswers) {
  fake_.parameters[0x10014404] = Bytes(40, 0x11);
  fake_.parameters[0x10014402] = Bytes(12, 0x22);
  HRESULT status = E_FAIL;
  Skl driver(&status);
  ASSERT_EQ(status, S_OK);
  int bad[2] = {0, 0};
  auto run = [&driver, &bad](int which, uint32_t id, uint32_t size, uint8_t value) {
    for (int i = 0; i < 200; ++i) {
      Bytes data(size, 0);
      HRESULT hr = E_FAIL;
      bad[which] += !driver.GetParameter(&hr, id, data.data(), size) || data != Bytes(size, value);
    }
  };
  std::thread threads[] = {std::thread(run, 0, 0x10014404u, 40u, uint8_t{0x11}),
                           std::thread(run, 1, 0x10014402u, 12u, uint8_t{0x22})};
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(bad[0], 0);
  EXPECT_EQ(bad[1], 0);
}

}  // namespace
