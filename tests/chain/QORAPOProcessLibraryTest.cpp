#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "chain/QORAPOProcessLibrary.h"
#include "common/QORTextConvert.h"
#include "platform/QORLoadedModule.h"

namespace {

std::filesystem::path Executable() {
  return std::filesystem::canonical("/proc/self/exe");
}

std::wstring TestLibrary() {
  return QORUtf8ToWide(std::filesystem::canonical(QOR_TEST_TECH_LIBRARY).string());
}

TEST(QORAPOProcessLibrary, LooksOnlyBesideTheModuleHoldingTheHostCode) {
  EXPECT_EQ(QORAPOProcessLibrary::GetFileName(false), L"qltech64.so");
  // Linked into the test executable, the host code's module is that executable.
  EXPECT_EQ(QORAPOProcessLibrary::GetPath(),
            QORUtf8ToWide((Executable().parent_path() / "qltech64.so").string()));
  EXPECT_EQ(QORAPOProcessLibrary::GetPath(), TestLibrary());
  QORLoadedModule module;
  EXPECT_FALSE(module.Load(L"qltech64.so"));  // never through the loader's search path
}

TEST(QORAPOProcessLibrary, CreateProcessReplacesTheProcessAndFailureUnloads) {
  const std::wstring path = QORAPOProcessLibrary::GetPath();
  QORAPOProcessLibrary library;
  ASSERT_TRUE(library.CreateProcess("Test Gain"));
  EXPECT_TRUE(QORLoadedModule::IsLoadedPath(path));
  ASSERT_TRUE(library.CreateProcess("Test Block 480 0"));
  ASSERT_NE(library.GetProcess(), nullptr);
  EXPECT_EQ(library.GetProcess()->GetBlockSize(), 480u);

  EXPECT_FALSE(library.CreateProcess("Test FailCreate"));
  EXPECT_EQ(library.GetProcess(), nullptr);
  EXPECT_FALSE(library.IsLoaded());
  EXPECT_FALSE(QORLoadedModule::IsLoadedPath(path));
  EXPECT_TRUE(library.CreateProcess("Test Pass"));  // a later attempt loads again
}

}  // namespace
