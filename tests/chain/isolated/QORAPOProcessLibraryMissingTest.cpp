// Runs from a folder without a technology library beside the test executable.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

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
  }
  QORAPOProcessWrapper wrapper;
  EXPECT_FALSE(wrapper.Create("Test Pass", "Eq", "Sidechain Pipe", nullptr));
  EXPECT_EQ(wrapper.GetProcess(), nullptr);
  EXPECT_EQ(QORModuleInfo::FindLoadedPath(QORAPOProcessLibrary::GetFileName(false)), L"");
}

}  // namespace
