// Runs beside a technology library that exports QORTechCreateProcess but not
// QORTechDestroyProcess.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "chain/QORAPOProcessLibrary.h"
#include "common/QORTextConvert.h"
#include "platform/QORLoadedModule.h"

namespace {

TEST(QORAPOProcessLibraryNoExport, CreateFailsAndTheLibraryIsUnloadedAtOnce) {
  const std::wstring path = QORAPOProcessLibrary::GetPath();
  ASSERT_TRUE(std::filesystem::exists(QORWideToUtf8(path)));

  // The file itself loads, and really lacks the export.
  {
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
}

}  // namespace
