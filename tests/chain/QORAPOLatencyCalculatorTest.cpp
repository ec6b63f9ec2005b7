#include "chain/QORAPOLatencyCalculator.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "ChainTestSupport.h"
#include "TempStateRoot.h"
#include "TestEndpoint.h"
#include "chain/QORAPOProcessChain.h"
#include "common/QORPathConvert.h"
#include "common/QORTextConvert.h"
#include "platform/QORFileTime.h"
#include "settings/QORAPOConfigurationFile.h"

namespace {

// One render chain, stereo to stereo with two blocks of 256 frames (512 frames at any rate), and a
// mono capture chain with two blocks of 160 frames.
const std::string kConfiguration = chaintest::ModeXml(
    R"(<chain input="Stereo" output="Stereo"><process tech_id="Test Block 256 0" instance_id="B"/>)"
    R"(</chain><chain type="capture" input="Mono" output="Mono">)"
    R"(<process tech_id="Test Block 160 0" instance_id="C"/></chain>)");

// Counts what a calculation costs.
class CountingCalculator : public QORAPOLatencyCalculator {
 public:
  int reads = 0, fileTimes = 0;

 protected:
  uint32_t ReadQword(const QORRegistryKey& key, const std::wstring& name,
                     uint64_t* value) override {
    ++reads;
    return QORAPOLatencyCalculator::ReadQword(key, name, value);
  }
  uint64_t QueryFileTime(const std::wstring& path) override {
    ++fileTimes;
    return QORAPOLatencyCalculator::QueryFileTime(path);
  }
};

class QORAPOLatencyCalculatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    endpoint_ = qortest::MakeEndpoint(true, path_, kConfiguration);
    ASSERT_EQ(file_.LoadFromText(kConfiguration, 0, 0), 0u);
    ASSERT_EQ(QORRegistryKey::Open(QORRegistryHive::kLocalMachine, endpoint_.GetRegistrySubkey(),
                                   KEY_ALL_ACCESS, subkey_),
              ERROR_SUCCESS);
  }
  uint64_t Cached(const wchar_t* name) {
    uint64_t value = 0;
    EXPECT_EQ(subkey_.GetQword(name, &value), ERROR_SUCCESS) << QORWideToUtf8(name);
    return value;
  }
  // The latency of the chain built for the endpoint at rate, padded to target.
  uint32_t ChainLatency(uint32_t rate, int64_t target, bool bypassed) {
    QORAPOProcessChain chain;
    chain.targetLatency = target;
    QORAPOProcessChain::Request request{endpoint_, *file_.GetOperatingModes()[0], 2, 2, rate};
    EXPECT_TRUE(chain.ConstructChain(request));
    chain.bypassed = bypassed;
    chain.UpdateLatency();
    return chain.latency;
  }

  qortest::TempStateRoot root_;
  std::wstring path_ = QORUtf8ToWide(root_.Path()) + L"/config/calc.xml";
  QORAPOEndpointInfo endpoint_;
  QORAPOConfigurationFile file_;
  QORRegistryKey subkey_;
};

TEST_F(QORAPOLatencyCalculatorTest, MeasuresAt44100AndCachesWithTheFileTime) {
  CountingCalculator calculator;
  ASSERT_TRUE(calculator.Calculate(endpoint_, file_.GetOperatingModes()));
  EXPECT_EQ(calculator.GetLatency(), 1160997);  // 512 * 100 000 000 / 44100
  const uint64_t fileTime = QORFileTime::GetWriteTime(path_);
  ASSERT_NE(fileTime, 0u);
  EXPECT_EQ(Cached(L"QorApoCfgLatencyCacheId"), fileTime);
  EXPECT_EQ(Cached(L"QorApoCfgLatency"), 1160997u);
  // A chain padded to that target at 44100 Hz is back at 512 frames, not one short.
  EXPECT_EQ(ChainLatency(44100, calculator.GetLatency(), true), 512u);

  // A hit: two registry reads, one file time, and the cached value whatever the chains say.
  ASSERT_EQ(subkey_.SetQword(L"QorApoCfgLatency", 777), ERROR_SUCCESS);
  CountingCalculator hit;
  ASSERT_TRUE(hit.Calculate(endpoint_, file_.GetOperatingModes()));
  EXPECT_EQ(hit.GetLatency(), 777);
  EXPECT_EQ(hit.reads, 2);
  EXPECT_EQ(hit.fileTimes, 1);

  // Touching the file rebuilds and rewrites both values.
  // Whole seconds, which every C runtime can set (Windows' sets nothing finer).
  const auto native = QORPathConvert::ToNative(path_);
  std::filesystem::last_write_time(
      native, std::chrono::floor<std::chrono::seconds>(std::filesystem::last_write_time(native)) +
                  std::chrono::seconds(5));
  ASSERT_TRUE(hit.Calculate(endpoint_, file_.GetOperatingModes()));
  EXPECT_EQ(hit.GetLatency(), 1160997);
  EXPECT_EQ(Cached(L"QorApoCfgLatencyCacheId"), fileTime / 10000000u * 10000000u + 50000000u);
  EXPECT_EQ(Cached(L"QorApoCfgLatency"), 1160997u);

  // Without a file its time is 0, and an id of 0 never matches.
  ASSERT_EQ(subkey_.SetQword(L"QorApoCfgLatencyCacheId", 0), ERROR_SUCCESS);
  CountingCalculator zero;
  ASSERT_TRUE(
      zero.Calculate(qortest::MakeEndpoint(true, path_ + L".gone"), file_.GetOperatingModes()));
  EXPECT_EQ(zero.GetLatency(), 1160997);
  EXPECT_EQ(zero.reads, 1);
  // No chain of the direction: false, and nothing cached.
  EXPECT_FALSE(zero.Calculate(endpoint_, {}));
  EXPECT_EQ(zero.GetLatency(), 0);
}

TEST_F(QORAPOLatencyCalculatorTest, AnotherRateOrPositionIsMeasuredTooAndCachedApart) {
  // At 96000 Hz the render chain resamples to 48000 Hz: 512 frames there are 1024 here, plus the
  // converters and the FIFO lead, which takes longer than the 512 frames at 44100 Hz.
  QORAPOLatencyCalculator calculator;
  ASSERT_TRUE(calculator.Calculate(endpoint_, file_.GetOperatingModes(), 96000));
  EXPECT_GT(calculator.GetLatency(), 1160997);
  EXPECT_EQ(Cached(L"QorApoCfgLatency:96000"), static_cast<uint64_t>(calculator.GetLatency()));
  uint64_t plain = 0;
  EXPECT_NE(subkey_.GetQword(L"QorApoCfgLatency", &plain), ERROR_SUCCESS);
  // The chain at 96000 Hz padded to it lines up with its bypass.
  EXPECT_EQ(ChainLatency(96000, calculator.GetLatency(), false),
            ChainLatency(96000, calculator.GetLatency(), true));

  // Another position of the same endpoint keeps its own values: the 44100 Hz result of the first
  // position must not be read back for it.
  ASSERT_EQ(subkey_.SetQword(L"QorApoCfgLatency", 777), ERROR_SUCCESS);
  ASSERT_EQ(subkey_.SetQword(L"QorApoCfgLatencyCacheId", QORFileTime::GetWriteTime(path_)),
            ERROR_SUCCESS);
  ASSERT_TRUE(calculator.Calculate(endpoint_, file_.GetOperatingModes(), 0, L"@2"));
  EXPECT_EQ(calculator.GetLatency(), 1160997);
  EXPECT_EQ(Cached(L"QorApoCfgLatency@2"), 1160997u);
  EXPECT_EQ(Cached(L"QorApoCfgLatency"), 777u);
}

}  // namespace
