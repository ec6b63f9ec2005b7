#include "drivers/QORAPOIntelDriverInterface_BRW.h"

#include <gtest/gtest.h>

#include <cstring>

#include "FakeDeviceInterfaces.h"
#include "TraceCapture.h"
#include "platform/QORDriverServices.h"

namespace {

using qortest::FakeDeviceInterfaces;
using Bytes = std::vector<uint8_t>;

// size zero bytes with little-endian words at the given offsets.
Bytes Words(std::initializer_list<std::pair<size_t, uint32_t>> words, size_t size) {
  Bytes bytes(size, 0);
  for (const auto& [at, word] : words) std::memcpy(bytes.data() + at, &word, 4);
  return bytes;
}

class BroadwellDriver : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_.interfaceClass = QORAPOIntelDriverInterface_BRW::kInterfaceClass;
    fake_.devices = {{L"\\\\?\\intel#sst#0", true}};
    QORDriverServices::Install(&fake_, nullptr);
  }
  void TearDown() override { QORDriverServices::Install(nullptr, nullptr); }

  FakeDeviceInterfaces fake_;
};

TEST_F(BroadwellDriver, RequestsCarryTheHeaderAndPrefilledBuffers) {
  QORAPOIntelDriverInterface_BRW driver(9);
  ASSERT_TRUE(driver.OpenIntelDriver());
  int32_t status = -1;
  std::string name, second;
  ASSERT_TRUE(driver.SetStatus(&status));
  ASSERT_TRUE(driver.GetModuleInfo(&status, &name, &second));
  fake_.parameters[0x1234] = {1, 2, 3, 4};
  uint32_t parameterStatus = 7;
  uint8_t data[4] = {};
  ASSERT_TRUE(driver.GetParameter(&parameterStatus, 0x1234, data, 4));
  EXPECT_EQ(parameterStatus, 0u);

  const auto requests = fake_.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].code, 0x0022E5DEu);
  EXPECT_EQ(requests[0].input, Words({{0, 9}, {8, 13}, {12, 22}}, 16));
  EXPECT_EQ(requests[0].output, (Bytes{0, 0, 0, 0, 1, 1}));
  EXPECT_EQ(requests[1].code, 0x0022E5DAu);
  EXPECT_EQ(requests[1].input, Words({{0, 9}, {8, 11}, {12, 148}}, 16));
  EXPECT_EQ(requests[1].output, Bytes(132, 0));
  EXPECT_EQ(requests[2].code, 0x0022E5DAu);
  EXPECT_EQ(requests[2].input, Words({{0, 9}, {8, 15}, {12, 64033}}, 16));
  // Status 0, the id, five zero bytes, the size asked, then 64000 zero bytes of room.
  EXPECT_EQ(requests[2].output, Words({{4, 0x1234}, {13, 4}}, 64017));
}

TEST_F(BroadwellDriver, OpensTheFirstDeviceThatOpens) {
  fake_.devices = {{L"a", false}, {L"b", true}, {L"c", true}};
  QORAPOIntelDriverInterface_BRW driver(9);
  EXPECT_TRUE(driver.OpenIntelDriver());
  EXPECT_EQ(fake_.OpenAttempts(), (std::vector<std::wstring>{L"a", L"b"}));
  fake_.devices = {{L"a", false}};
  EXPECT_FALSE(driver.OpenIntelDriver());
  EXPECT_FALSE(driver.IsOpen());
}

TEST_F(BroadwellDriver, ModuleInfoAndSetStatusReportTheDriversStatus) {
  qortest::TraceCapture trace;
  QORAPOIntelDriverInterface_BRW driver(9);
  ASSERT_TRUE(driver.OpenIntelDriver());
  int32_t status = 0;
  std::string name = "old", second = "old";
  ASSERT_TRUE(driver.GetModuleInfo(&status, &name, &second));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(name, "LuxSnd01");
  EXPECT_EQ(second, "PostProcessing");
  EXPECT_EQ(trace.LinesContaining("Intel GetModuleInfo: 0x0, LuxSnd01, PostProcessing").size(), 1u);

  // A name that fills its field leaves no NUL: it ends at the field, not in the next one.
  fake_.moduleName = std::string(64, 'N');
  ASSERT_TRUE(driver.GetModuleInfo(&status, &name, &second));
  EXPECT_EQ(name, std::string(64, 'N'));
  EXPECT_EQ(second, "PostProcessing");

  fake_.setStatusAnswer = 0x10;
  EXPECT_TRUE(driver.SetStatus(&status));
  EXPECT_EQ(status, 0x10);
  fake_.setStatusAnswer = -1;
  EXPECT_FALSE(driver.SetStatus(&status));

  fake_.moduleStatus = -5;
  EXPECT_FALSE(driver.GetModuleInfo(&status, &name, &second));
  EXPECT_EQ(status, -5);
  EXPECT_TRUE(name.empty() && second.empty());

  fake_.ioFails = true;
  EXPECT_FALSE(driver.GetModuleInfo(&status, &name, &second) || driver.SetStatus(&status));
}

TEST_F(BroadwellDriver, ParameterCopiesExactlyTheCallersSizeAndNoOversizedAnswer) {
  qortest::TraceCapture trace;
  QORAPOIntelDriverInterface_BRW driver(9);
  ASSERT_TRUE(driver.OpenIntelDriver());
  fake_.parameters[6] = {0x11, 0x22, 0x33, 0x44};
  Bytes data(8, 0xEE);
  uint32_t status = 9;
  ASSERT_TRUE(driver.GetParameter(&status, 6, data.data(), 4));
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(data, (Bytes{0x11, 0x22, 0x33, 0x44, 0xEE, 0xEE, 0xEE, 0xEE}));
  EXPECT_EQ(trace.LinesContaining("GetParameter returned is 21").size(), 1u);
  // An answer larger than asked is not copied.
  data.assign(8, 0xEE);
  fake_.parameters[21] = Bytes(92, 0x5A);
  EXPECT_FALSE(driver.GetParameter(&status, 21, data.data(), 4));
  EXPECT_EQ(data, Bytes(8, 0xEE));

  // A stated size beyond the largest request is refused the same way.
  fake_.parameters[5] = {1, 0, 0, 0};
  fake_.overrideStatedSize = true;
  fake_.statedSize = 0xFFFFFFFFu;
  EXPECT_FALSE(driver.GetParameter(&status, 5, data.data(), 4));
  EXPECT_FALSE(driver.QueryParameter5());
  EXPECT_EQ(data, Bytes(8, 0xEE));

  // A query holds when the driver's status is 0 and the word is set.
  fake_.overrideStatedSize = false;
  EXPECT_TRUE(driver.QueryParameter5());
  fake_.parameterStatus[5] = 1;
  EXPECT_FALSE(driver.QueryParameter5());

  // A caller's size beyond what a request carries sends nothing.
  const size_t before = fake_.Requests().size();
  Bytes large(64001);
  EXPECT_FALSE(driver.GetParameter(&status, 5, large.data(), 64001));
  EXPECT_EQ(fake_.Requests().size(), before);
}

}  // namespace
