#include "drivers/QORAPOIntelDriverInterface_BRW.h"

#include <gtest/gtest.h>

#include <cstring>

#include "FakeDeviceInterfaces.h"
#include "TraceCapture.h"
#include "platform/QORDriverServices.h"

namespace {

using qortest::FakeDeviceInterfaces;

uint32_t U32(const std::vector<uint8_t>& bytes, size_t at) {
  uint32_t value = 0;
  std::memcpy(&value, bytes.data() + at, 4);
  return value;
}

std::vector<uint8_t> Words(std::initializer_list<uint32_t> words, size_t size) {
  std::vector<uint8_t> bytes(size, 0);
  size_t at = 0;
  for (uint32_t word : words) {
    std::memcpy(bytes.data() + at, &word, 4);
    at += 4;
  }
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

  const auto requests = fake_.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].code, 0x0022E5DEu);
  EXPECT_EQ(requests[0].input, Words({9, 0, 13, 22}, 16));
  EXPECT_EQ(requests[0].output, (std::vector<uint8_t>{0, 0, 0, 0, 1, 1}));
  EXPECT_EQ(requests[1].code, 0x0022E5DAu);
  EXPECT_EQ(requests[1].input, Words({9, 0, 11, 148}, 16));
  EXPECT_EQ(requests[1].output, std::vector<uint8_t>(132, 0));
  EXPECT_EQ(requests[2].code, 0x0022E5DAu);
  EXPECT_EQ(requests[2].input, Words({9, 0, 15, 64033}, 16));
  ASSERT_EQ(requests[2].output.size(), 64017u);
  EXPECT_EQ(U32(requests[2].output, 0), 0u);
  EXPECT_EQ(U32(requests[2].output, 4), 0x1234u);
  for (size_t i = 8; i < 13; ++i) EXPECT_EQ(requests[2].output[i], 0) << i;
  EXPECT_EQ(U32(requests[2].output, 13), 4u);
  EXPECT_EQ(std::vector<uint8_t>(requests[2].output.begin() + 17, requests[2].output.end()),
            std::vector<uint8_t>(64000, 0));
  EXPECT_EQ(parameterStatus, 0u);
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
  EXPECT_TRUE(name.empty());
  EXPECT_TRUE(second.empty());

  fake_.ioFails = true;
  EXPECT_FALSE(driver.GetModuleInfo(&status, &name, &second) || driver.SetStatus(&status));
}

TEST_F(BroadwellDriver, ParameterCopiesExactlyTheCallersSizeAndNoOversizedAnswer) {
  qortest::TraceCapture trace;
  QORAPOIntelDriverInterface_BRW driver(9);
  ASSERT_TRUE(driver.OpenIntelDriver());
  fake_.parameters[6] = {0x11, 0x22, 0x33, 0x44};
  uint8_t data[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  uint32_t status = 9;
  ASSERT_TRUE(driver.GetParameter(&status, 6, data, 4));
  EXPECT_EQ(status, 0u);
  const uint8_t expected[8] = {0x11, 0x22, 0x33, 0x44, 0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(std::memcmp(data, expected, 8), 0);
  EXPECT_EQ(trace.LinesContaining("GetParameter returned is 21").size(), 1u);
  // An answer larger than asked is not copied.
  std::memset(data, 0xEE, sizeof data);
  fake_.parameters[21] = std::vector<uint8_t>(92, 0x5A);
  EXPECT_FALSE(driver.GetParameter(&status, 21, data, 4));
  EXPECT_EQ(data[0], 0xEE);
  EXPECT_EQ(data[3], 0xEE);

  // A stated size beyond the largest request is refused the same way.
  fake_.parameters[5] = {1, 0, 0, 0};
  fake_.overrideStatedSize = true;
  fake_.statedSize = 0xFFFFFFFFu;
  EXPECT_FALSE(driver.GetParameter(&status, 5, data, 4));
  EXPECT_FALSE(driver.QueryParameter5());
  EXPECT_EQ(data[0], 0xEE);

  // A query holds when the driver's status is 0 and the word is set.
  fake_.overrideStatedSize = false;
  EXPECT_TRUE(driver.QueryParameter5());
  fake_.parameterStatus[5] = 1;
  EXPECT_FALSE(driver.QueryParameter5());

  // A caller's size beyond what a request carries sends nothing.
  const size_t before = fake_.Requests().size();
  std::vector<uint8_t> large(64001);
  EXPECT_FALSE(driver.GetParameter(&status, 5, large.data(), 64001));
  EXPECT_EQ(fake_.Requests().size(), before);
}

}  // namespace
