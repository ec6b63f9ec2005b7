#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "chain/QORAPOProcessLibrary.h"
#include "common/QORTextConvert.h"
#include "platform/QORLoadedModule.h"
#include "platform/QORModuleInfo.h"

namespace {

std::filesystem::path Executable() {
  return std::filesystem::canonical("/proc/self/exe");
}

std::wstring TestLibrary() {
  return QORUtf8ToWide(std::filesystem::canonical(QOR_TEST_TECH_LIBRARY).string());
}

TEST(QORAPOProcessLibrary, FileNameFollowsTheProcessKind) {
  EXPECT_EQ(QORAPOProcessLibrary::GetFileName(false), L"qltech64.so");
  EXPECT_EQ(QORAPOProcessLibrary::GetFileName(true), L"qltech32.so");
  EXPECT_FALSE(QORModuleInfo::IsWow64Process());  // a 64-bit test build
}

TEST(QORAPOProcessLibrary, LooksOnlyBesideTheModuleHoldingTheHostCode) {
  // Linked into the test executable, the host code's module is that executable.
  EXPECT_EQ(QORModuleInfo::GetOwnPath(), QORUtf8ToWide(Executable().string()));
  const std::wstring path = QORAPOProcessLibrary::GetPath();
  EXPECT_EQ(path, QORUtf8ToWide((Executable().parent_path() / "qltech64.so").string()));
  EXPECT_EQ(path, TestLibrary());
}

TEST(QORAPOProcessLibrary, CreateProcessReplacesTheProcessAndFailureUnloads) {
  const std::wstring path = QORAPOProcessLibrary::GetPath();
  QORAPOProcessLibrary library;
  ASSERT_TRUE(library.CreateProcess("Test Gain"));
  TechProcess* first = library.GetProcess();
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(library.IsLoaded());
  EXPECT_TRUE(QORLoadedModule::IsLoadedPath(path));

  ASSERT_TRUE(library.CreateProcess("Test Block 480 0"));
  ASSERT_NE(library.GetProcess(), nullptr);
  EXPECT_EQ(library.GetProcess()->GetBlockSize(), 480u);

  EXPECT_FALSE(library.CreateProcess("Test FailCreate"));
  EXPECT_EQ(library.GetProcess(), nullptr);
  EXPECT_FALSE(library.IsLoaded());
  EXPECT_FALSE(QORLoadedModule::IsLoadedPath(path));

  // A later attempt loads again.
  EXPECT_TRUE(library.CreateProcess("Test Pass"));
  library.DestroyProcess();
  EXPECT_EQ(library.GetProcess(), nullptr);
  EXPECT_TRUE(library.IsLoaded());
}

TEST(QORModuleInfo, PathsOfLoadedModules) {
  const std::wstring path = TestLibrary();
  EXPECT_EQ(QORModuleInfo::FindLoadedPath(L"qltech64.so"), L"");
  QORLoadedModule module;
  ASSERT_TRUE(module.Load(path));
  EXPECT_EQ(QORModuleInfo::FindLoadedPath(L"qltech64.so"), path);
  EXPECT_EQ(QORModuleInfo::FindLoadedPath(L"tech64.so"), L"");  // whole file names only
  EXPECT_EQ(QORModuleInfo::FindLoadedPath(L"chain/qltech64.so"), L"");
  EXPECT_EQ(QORModuleInfo::GetPathOf(module.FindExport("QORTechCreateProcess")), path);
  EXPECT_EQ(QORModuleInfo::GetPathOf(nullptr), L"");
}

TEST(QORModuleInfo, FolderKeepsTheTrailingSeparator) {
  EXPECT_EQ(QORModuleInfo::GetFolder(L"/opt/qor/qlvapo64.so"), L"/opt/qor/");
  EXPECT_EQ(QORModuleInfo::GetFolder(L"/qlvapo64.so"), L"/");
  EXPECT_EQ(QORModuleInfo::GetFolder(L"qlvapo64.so"), L"");
  EXPECT_EQ(QORModuleInfo::GetFolder(L""), L"");
}

TEST(QORLoadedModule, LoadsOnlyModulesGivenByFullPath) {
  QORLoadedModule module;
  EXPECT_FALSE(module.Load(L""));
  EXPECT_FALSE(module.Load(L"qltech64.so"));  // never through the loader's search path
  EXPECT_FALSE(module.Load(L"./qltech64.so"));
  EXPECT_FALSE(module.IsLoaded());
  EXPECT_EQ(module.FindExport("QORTechCreateProcess"), nullptr);

  const std::filesystem::path text =
      std::filesystem::temp_directory_path() / ("qor-not-a-module-" + std::to_string(getpid()));
  std::ofstream(text) << "not a module\n";
  EXPECT_FALSE(module.Load(QORUtf8ToWide(text.string())));
  std::filesystem::remove(text);
  EXPECT_FALSE(module.Load(L"/nonexistent/qltech64.so"));
}

TEST(QORLoadedModule, ReferencesKeepTheModuleUntilTheLastIsFreed) {
  const std::wstring path = TestLibrary();
  ASSERT_FALSE(QORLoadedModule::IsLoadedPath(path));
  {
    QORLoadedModule first;
    QORLoadedModule second;
    ASSERT_TRUE(first.Load(path));
    ASSERT_TRUE(second.Load(path));
    EXPECT_NE(first.FindExport("QORTechDestroyProcess"), nullptr);
    EXPECT_EQ(first.FindExport("QORTechMissing"), nullptr);
    first.Free();
    EXPECT_FALSE(first.IsLoaded());
    EXPECT_TRUE(QORLoadedModule::IsLoadedPath(path));
    // Loading again into the same object drops its earlier reference.
    ASSERT_TRUE(second.Load(path));
  }
  EXPECT_FALSE(QORLoadedModule::IsLoadedPath(path));
}

}  // namespace
