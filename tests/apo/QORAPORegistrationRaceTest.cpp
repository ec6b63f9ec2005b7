#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "TempStateRoot.h"
#include "apo/QORAPOModuleRegistration.h"
#include "common/QORTextConvert.h"
#include "platform/QORRegistryKey.h"

// Installers registering and unregistering the module at the same time, in separate processes.
namespace {

// Every key under HKEY_CLASSES_ROOT with its values (name, type and bytes), in name order.
using Tree =
    std::map<std::wstring, std::map<std::wstring, std::pair<uint32_t, std::vector<uint8_t>>>>;

void Collect(const QORRegistryKey& key, const std::wstring& path, Tree& tree) {
  auto& values = tree[path];
  std::wstring name;
  uint32_t type = 0;
  std::vector<uint8_t> data;
  for (uint32_t i = 0; key.EnumValue(i, &name, &type, &data) == ERROR_SUCCESS; ++i) {
    values[name] = {type, data};
  }
  std::vector<std::wstring> subKeys;
  for (uint32_t i = 0; key.EnumSubKey(i, name) == ERROR_SUCCESS; ++i) subKeys.push_back(name);
  for (const std::wstring& sub : subKeys) {
    QORRegistryKey child;
    ASSERT_EQ(key.OpenSubKey(sub, KEY_READ, child), ERROR_SUCCESS);
    Collect(child, path + L"\\" + sub, tree);
  }
}

Tree ClassesRoot() {
  QORRegistryKey root;
  Tree tree;
  EXPECT_EQ(QORRegistryKey::Open(QORRegistryHive::kClassesRoot, L"", KEY_READ, root),
            ERROR_SUCCESS);
  Collect(root, L"", tree);
  return tree;
}

HRESULT Install(const std::string& job) {
  const std::wstring module = QORUtf8ToWide(QOR_APO_MODULE);
  return job == "register" ? QORAPOModuleRegistration::Register(module)
                           : QORAPOModuleRegistration::Unregister(module);
}

std::string Hex(HRESULT result) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<uint32_t>(result));
  return text;
}

// args: register or unregister. Says "ready", runs once told to, says its result.
int InstallerChild(const std::vector<std::string>& args) {
  if (args.size() != 1) return 1;
  std::string line;
  qortest::ChildSay("ready");
  if (!qortest::ChildHear(line)) return 2;
  qortest::ChildSay("result " + Hex(Install(args[0])));
  return 0;
}
qortest::ChildRegistration installerChild("installer", &InstallerChild);

TEST(QORAPORegistrationRaceTest, TwoRegistersAndTwoUnregistersAtOnceEndAsOneInstallerWould) {
  qortest::TempStateRoot root;
  // What a sequential run leaves: registered, then unregistered (the shared keys stay).
  ASSERT_EQ(Install("register"), S_OK);
  const Tree registered = ClassesRoot();
  ASSERT_EQ(Install("unregister"), S_OK);
  const Tree unregistered = ClassesRoot();
  ASSERT_NE(registered, unregistered);
  for (const wchar_t* shared : {L"\\CLSID", L"\\TypeLib", L"\\AppID"}) {
    ASSERT_EQ(unregistered.count(shared), 1u) << QORWideToUtf8(shared);
  }

  const std::vector<std::string> jobs{"register", "unregister", "register", "unregister"};
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::vector<std::unique_ptr<qortest::ChildProcess>> installers;
    for (const std::string& job : jobs) {
      installers.push_back(std::make_unique<qortest::ChildProcess>());
      ASSERT_TRUE(installers.back()->Start("installer", {job}));
      ASSERT_TRUE(installers.back()->WaitFor("ready", 60000));
    }
    for (auto& installer : installers) ASSERT_TRUE(installer->SendLine("go"));
    for (size_t i = 0; i < installers.size(); ++i) {
      std::string line;
      EXPECT_TRUE(installers[i]->ReadLine(line, 120000));
      EXPECT_EQ(line, "result 0x00000000") << jobs[i];
      EXPECT_EQ(installers[i]->Wait(), 0);
    }
    const Tree now = ClassesRoot();
    EXPECT_TRUE(now == registered || now == unregistered) << now.size() << " keys";
  }
}

}  // namespace
