// Runs from a folder without a technology library beside the test executable (test_chain_missing),
// or beside one that exports QORTechCreateProcess but not QORTechDestroyProcess (noexport).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "chain/QORAPOProcessLibrary.h"
#include "chain/QORAPOProcessWrapper.h"
#include "common/QORTextConvert.h"
#include "platform/QORLoadedModule.h"
#include "platform/QORModuleInfo.h"

namespace {

constexpr bool kLibraryPresent = QOR_LIBRARY_WITHOUT_DESTROY;

TEST(QORAPOProcessLibraryIsolated, EveryCreateFailsAndNothingStaysLoaded) {
  const std::wstring path = QORAPOProcessLibrary::GetPath();
  ASSERT_FALSE(path.empty());
  ASSERT_EQ(QORModuleInfo::GetFolder(path), QORModuleInfo::GetFolder(QORModuleInfo::GetOwnPath()));
  ASSERT_EQ(std::filesystem::exists(QORWideToUtf8(path)), kLibraryPresent);
  if (kLibraryPresent) {  // the file itself loads, and really lacks the export
    QORLoadedModule module;
    ASSERT_TRUE(module.Load(path));
    EXPECT_NE(module.FindExport("QORTechCreateProcess"), nullptr);
    EXPECT_EQ(module.FindExport("QORTechDestroyProcess"), nullptr);
  }
  ASSERT_FALSE(QORLoadedModule::IsLoadedPath(path));

  QORAPOProcessLibrary library;
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_FALSE(library.CreateProcess("Test Pass"));
    EXPECT_EQ(library.GetProcess(), nullptr);
    EXPECT_FALSE(library.IsLoaded());
    EXPECT_FALSE(QORLoadedModule::IsLoadedPath(path));
  }
  QORAPOProcessWrapper wrapper;
  EXPECT_FALSE(wrapper.Create("Test Pass", "Eq", "Sidechain Pipe", nullptr));
  EXPECT_EQ(wrapper.GetProcess(), nullptr);
  EXPECT_EQ(QORModuleInfo::FindLoadedPath(QORAPOProcessLibrary::GetFileName(false)), L"");
}

}  // namespace
