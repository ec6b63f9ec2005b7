// Runs from a folder without a technology library beside the test executable.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "audio/QORAudioDataFloat.h"
#include "chain/QORAPOProcessLibrary.h"
#include "chain/QORAPOProcessWrapper.h"
#include "common/QORTextConvert.h"
#include "platform/QORModuleInfo.h"

namespace {

TEST(QORAPOProcessLibraryMissing, EveryCreateFailsWithoutLoadingAnything) {
  const std::wstring path = QORAPOProcessLibrary::GetPath();
  ASSERT_FALSE(path.empty());
  ASSERT_EQ(QORModuleInfo::GetFolder(path), QORModuleInfo::GetFolder(QORModuleInfo::GetOwnPath()));
  ASSERT_FALSE(std::filesystem::exists(QORWideToUtf8(path)));

  QORAPOProcessLibrary library;
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_FALSE(library.CreateProcess("Test Pass"));
    EXPECT_EQ(library.GetProcess(), nullptr);
    EXPECT_FALSE(library.IsLoaded());

    QORAPOProcessWrapper wrapper;
    EXPECT_FALSE(wrapper.Create("Test Pass", "Eq", "Sidechain Pipe", nullptr));
    EXPECT_EQ(wrapper.GetProcess(), nullptr);
    EXPECT_EQ(wrapper.GetInstanceId(), "");
  }
  EXPECT_EQ(QORModuleInfo::FindLoadedPath(QORAPOProcessLibrary::GetFileName(false)), L"");
}

TEST(QORAPOProcessLibraryMissing, WrapperWithoutProcessRefusesEverythingAndLeavesAudio) {
  QORAPOProcessWrapper wrapper;
  ASSERT_FALSE(wrapper.Create("Test Gain", "Eq", "", nullptr));
  EXPECT_FALSE(wrapper.Init(2, 48000));
  EXPECT_FALSE(wrapper.SetControl(QORUTSValue("Gain", 10L)));
  QORUTSValue value("Gain", 3L);
  EXPECT_FALSE(wrapper.GetControl(value));
  std::vector<QORUTSControlInfo> infos(3);
  EXPECT_EQ(wrapper.GetControlInfo(infos), 0);
  EXPECT_TRUE(infos.empty());
  EXPECT_EQ(wrapper.GetTotalLatency(), 0u);

  const float samples[] = {0.25f, -0.5f, 1.0f, 2.0f};
  QORAudioDataFloat data;
  data.Assign(samples, 2, 2, true, 48000);
  wrapper.Process(data);
  const float* out = data.GetSamples(false, true);
  EXPECT_EQ(std::vector<float>(out, out + 4), std::vector<float>(samples, samples + 4));
}

}  // namespace
