#include "drivers/KELAPOIntelDriverInterface_SKL.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "FakeDeviceTopology.h"
#include "TraceCapture.h"
#include "platform/QORDriverServices.h"

namespace {

using qortest::FakeDeviceTopology;
using Skl = KELAPOIntelDriverInterface_SKL;

uint32_t U32(const std::vector<uint8_t>& bytes, size_t at) {
  uint32_t value = 0;
  std::memcpy(&value, bytes.data() + at, 4);
  return value;
}

// The byte form of a GUID as it travels: little-endian fields, then eight bytes.
std::vector<uint8_t> GuidBytes(const GUID& guid) {
  std::vector<uint8_t> bytes(16);
  std::memcpy(bytes.data(), &guid.Data1, 4);
  std::memcpy(bytes.data() + 4, &guid.Data2, 2);
  std::memcpy(bytes.data() + 6, &guid.Data3, 2);
  std::memcpy(bytes.data() + 8, guid.Data4, 8);
  return bytes;
}

std::vector<uint8_t> Slice(const std::vector<uint8_t>& bytes, size_t at, size_t size) {
  return std::vector<uint8_t>(bytes.begin() + at, bytes.begin() + at + size);
}

// The words of a request's header after its property-set GUID.
std::vector<uint32_t> Header(const std::vector<uint8_t>& request) {
  return {U32(request, 16), U32(request, 20), U32(request, 24), U32(request, 28)};
}

class SkylakeDriver : public ::testing::Test {
 protected:
  void SetUp() override { QORDriverServices::Install(nullptr, &fake_); }
  void TearDown() override { QORDriverServices::Install(nullptr, nullptr); }

  FakeDeviceTopology fake_;
};

TEST_F(SkylakeDriver, WalksToTheWaveFilterAndRetainsTheMatchingModule) {
  qortest::TraceCapture trace;
  HRESULT status = E_FAIL;
  Skl driver(&status);
  EXPECT_EQ(status, S_OK);
  EXPECT_TRUE(driver.HasControl());
  EXPECT_EQ(driver.NodeId(), 2u);
  EXPECT_EQ(driver.ModuleType(), 1u);
  EXPECT_EQ(driver.ModuleName(), "LuxSndPP");
  EXPECT_EQ(driver.ModuleVersion(), "1.2.3");
  EXPECT_EQ(fake_.DescriptorRequests(), 1u);
  for (const char* text :
       {"Devices count: 2", "Device id not match, skipping device", "Using pin id: 2",
        "Modules count: 2, modules size: 304",
        "Module id:{E1284052-F064-4FE4-A3D3-3878F72704C3}, type MFX, version 1.2.3, name LuxSndPP",
        "--- OK: Matching GUID found! SST PP module is active and ready. ---"}) {
    EXPECT_EQ(trace.LinesContaining(text).size(), 1u) << text;
  }

  // Version, then the module list twice: once to learn its size, once to read it.
  const auto requests = fake_.Requests();
  ASSERT_EQ(requests.size(), 3u);
  const auto& version = requests[0].property;
  ASSERT_EQ(version.size(), 32u);
  EXPECT_EQ(Slice(version, 0, 16), GuidBytes(Skl::kPropertySet));
  EXPECT_EQ(Header(version), (std::vector<uint32_t>{0, 1, 2, 0}));
  EXPECT_EQ(requests[0].dataLength, 5u);
  const auto& list = requests[1].property;
  ASSERT_EQ(list.size(), 48u);
  EXPECT_EQ(U32(list, 16), 1u);
  EXPECT_EQ(Slice(list, 32, 16), GuidBytes(Skl::kSecondId));
  EXPECT_EQ(requests[1].dataLength, 0u);
  EXPECT_EQ(requests[2].property, list);
  EXPECT_EQ(requests[2].dataLength, 304u);
}

TEST_F(SkylakeDriver, ParameterRequestLayoutAndCopy) {
  qortest::TraceCapture trace;
  HRESULT status = E_FAIL;
  Skl driver(&status);
  ASSERT_EQ(status, S_OK);
  fake_.parameters[0x10014407] = {0x0A, 0x0B, 0xFF, 0x00};
  uint8_t data[6] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  HRESULT hr = E_FAIL;
  ASSERT_TRUE(driver.GetParameter(&hr, 0x10014407, data, 6));
  EXPECT_EQ(hr, S_OK);
  const uint8_t expected[6] = {0x0A, 0x0B, 0xFF, 0x00, 0xEE, 0xEE};
  EXPECT_EQ(std::memcmp(data, expected, 6), 0);
  EXPECT_EQ(trace.LinesContaining("(6 bytes): [0a0bff00eeee]").size(), 1u);

  const auto request = fake_.Requests().back().property;
  ASSERT_EQ(request.size(), 73u);
  EXPECT_EQ(Slice(request, 0, 16), GuidBytes(Skl::kPropertySet));
  EXPECT_EQ(Header(request), (std::vector<uint32_t>{3, 1, 2, 0}));
  EXPECT_EQ(Slice(request, 32, 16), GuidBytes(Skl::kSecondId));
  EXPECT_EQ(U32(request, 48), 1u);
  EXPECT_EQ(Slice(request, 52, 16), GuidBytes(Skl::kModuleId));
  EXPECT_EQ(U32(request, 68), 0x10014407u);
  EXPECT_EQ(request[72], 0);
  EXPECT_EQ(fake_.Requests().back().dataLength, 64004u);
}

TEST_F(SkylakeDriver, OversizedOrOverstatedParameterAnswerIsNotCopied) {
  qortest::TraceCapture trace;
  HRESULT status = E_FAIL;
  Skl driver(&status);
  ASSERT_EQ(status, S_OK);
  fake_.parameters[0x10014405] = std::vector<uint8_t>(40, 0x77);
  std::vector<uint8_t> data(28, 0xEE);
  HRESULT hr = E_FAIL;
  EXPECT_FALSE(driver.GetParameter(&hr, 0x10014405, data.data(), 28));
  EXPECT_EQ(data, std::vector<uint8_t>(28, 0xEE));
  EXPECT_FALSE(driver.Query10014405Offset0());
  EXPECT_EQ(trace.LinesContaining("Warning: Get param failed.").size(), 2u);

  // A query tests its word of a whole answer.
  fake_.parameters[0x10014405] = std::vector<uint8_t>(28, 0);
  fake_.parameters[0x10014405][16] = 1;
  EXPECT_TRUE(driver.Query10014405Offset16());
  EXPECT_FALSE(driver.Query10014405Offset0());

  // The answer states more data than arrived: nothing past it is read.
  fake_.parameters[0x10014405] = std::vector<uint8_t>(8, 0x77);
  fake_.overrideStatedSize = true;
  fake_.statedSize = 28;
  EXPECT_FALSE(driver.GetParameter(&hr, 0x10014405, data.data(), 28));
  EXPECT_EQ(data, std::vector<uint8_t>(28, 0xEE));
}

TEST_F(SkylakeDriver, VersionTwoIsAbandonedBeforeTheModuleList) {
  qortest::TraceCapture trace;
  fake_.version[0] = 2;
  HRESULT status = S_OK;
  Skl driver(&status);
  EXPECT_TRUE(FAILED(status));
  EXPECT_FALSE(driver.HasControl());
  EXPECT_EQ(trace.LinesContaining("Error: API Version mismatch: 0x2").size(), 1u);
  EXPECT_EQ(fake_.Requests().size(), 1u);  // the version only
  HRESULT hr = S_OK;
  uint8_t data[16] = {};
  EXPECT_FALSE(driver.GetParameter(&hr, 0x10014407, data, 16));
  EXPECT_EQ(hr, E_FAIL);
}

TEST_F(SkylakeDriver, ModuleListWithoutTheIdentifierRetainsNoControl) {
  fake_.modules.resize(1);  // only the other module
  HRESULT status = S_OK;
  Skl driver(&status);
  EXPECT_TRUE(FAILED(status));
  EXPECT_FALSE(driver.HasControl());
  EXPECT_FALSE(driver.Query10014404());
  EXPECT_EQ(fake_.Requests().size(), 3u);  // no parameter request went out
}

TEST_F(SkylakeDriver, ModuleListStatingMoreThanArrivedIsRefused) {
  const std::vector<uint8_t> whole = fake_.ModuleListAnswer();  // 2 records, 304 bytes
  auto changed = [&](size_t at, uint8_t value) {
    std::vector<uint8_t> list = whole;
    list[at] = value;
    return list;
  };
  // Count beyond the stated size; stated size (305) beyond what arrived; a cut record; a count
  // whose records would overflow 32 bits.
  for (const auto& list :
       {changed(4, 3), changed(0, 0x31), std::vector<uint8_t>(whole.begin(), whole.end() - 1),
        changed(7, 0x80)}) {
    qortest::TraceCapture trace;
    fake_.rawModuleList = list;
    HRESULT status = S_OK;
    Skl driver(&status);
    EXPECT_TRUE(FAILED(status));
    EXPECT_FALSE(driver.HasControl());
    EXPECT_TRUE(trace.LinesContaining("Module id:").empty());
  }
  // Short of a header: the size probe is refused.
  qortest::TraceCapture trace;
  fake_.rawModuleList = {4, 0, 0, 0};
  HRESULT status = S_OK;
  Skl driver(&status);
  EXPECT_TRUE(FAILED(status));
  EXPECT_EQ(trace.LinesContaining("Error: Failed to retrieve modules list!").size(), 1u);
}

TEST_F(SkylakeDriver, ModuleFieldsThatFillTheirRecordStayInIt) {
  fake_.modules[1].name = std::string(64, 'n');
  fake_.modules[1].version = std::string(64, 'v');
  HRESULT status = E_FAIL;
  Skl driver(&status);
  ASSERT_EQ(status, S_OK);
  EXPECT_EQ(driver.ModuleName(), std::string(64, 'n'));
  EXPECT_EQ(driver.ModuleVersion(), std::string(64, 'v'));
}

TEST_F(SkylakeDriver, WalkFailuresEndTheSearch) {
  struct Case {
    void (*set)(FakeDeviceTopology&);
    const char* line;
  };
  const Case cases[] = {
      {[](FakeDeviceTopology& f) { f.endpointPresent = false; }, "Devices count: 1"},
      {[](FakeDeviceTopology& f) { f.createEnumeratorFails = true; },
       "Failed to initialize COM device interface!"},
      {[](FakeDeviceTopology& f) { f.topologyActivationFails = true; },
       "Error: Device activation failed! "},
      {[](FakeDeviceTopology& f) { f.descriptorFails = true; },
       "Warning, failed to retrieve pin id! Result: 0x80004005"},
      {[](FakeDeviceTopology& f) { f.ksActivationFails = true; },
       "Failed to activate IKsControl interface! Result: 0x"},
      {[](FakeDeviceTopology& f) { f.versionResult = E_NOTFOUND; },
       "Error Failed to retrieve version!"},
      {[](FakeDeviceTopology& f) {
         f.endpointId = L"{E1CF177B-AF91-4F37-ADCF6C1E6CB24D60}.{x}";
         f.version[0] = 3;
       },
       "Error: API Version mismatch: 0x3"},
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
    }
    EXPECT_TRUE(FAILED(status)) << c.line;
    EXPECT_EQ(trace.LinesContaining(c.line).size(), 1u) << c.line;
    QORDriverServices::Install(nullptr, &fake_);
  }
}

// A topology whose parts lead round in a circle ends the walk at its depth limit, not in a
// stack overflow.
TEST_F(SkylakeDriver, ACircularTopologyEndsTheWalkAtItsDepthLimit) {
  fake_.LoopTheSelector();
  qortest::TraceCapture trace;
  HRESULT status = S_OK;
  {
    Skl driver(&status);
    EXPECT_FALSE(driver.HasControl());
  }
  EXPECT_TRUE(FAILED(status));
  const size_t selectors = trace.LinesContaining("Input selector activated").size();
  EXPECT_GE(selectors, 30u);
  EXPECT_LE(selectors, 34u);
}

// The answer buffer belongs to the object and is held for one query at a time: two threads
// querying one object each get their own answers whole (ThreadSanitizer watches the buffer).
TEST_F(SkylakeDriver, ConcurrentQueriesOnOneObjectKeepTheirAnswers) {
  fake_.parameters[0x10014404] = std::vector<uint8_t>(40, 0x11);
  fake_.parameters[0x10014402] = std::vector<uint8_t>(12, 0x22);
  HRESULT status = E_FAIL;
  Skl driver(&status);
  ASSERT_EQ(status, S_OK);
  auto run = [&driver](uint32_t id, uint32_t size, uint8_t value, int* bad) {
    for (int i = 0; i < 200; ++i) {
      std::vector<uint8_t> data(size, 0);
      HRESULT hr = E_FAIL;
      if (!driver.GetParameter(&hr, id, data.data(), size) ||
          data != std::vector<uint8_t>(size, value)) {
        ++*bad;
      }
    }
  };
  int bad1 = 0, bad2 = 0;
  std::thread first(run, 0x10014404u, 40u, uint8_t{0x11}, &bad1);
  std::thread second(run, 0x10014402u, 12u, uint8_t{0x22}, &bad2);
  first.join();
  second.join();
  EXPECT_EQ(bad1, 0);
  EXPECT_EQ(bad2, 0);
}

}  // namespace
