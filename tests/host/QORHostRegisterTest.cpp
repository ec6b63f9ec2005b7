// End-to-end: `qorapo register` and `unregister` follow the tools' output and exit conventions.
#include <string>

#include "QORHostToolRun.h"
#include "common/QORTextConvert.h"
#include "platform/QORRegistryKey.h"

namespace {

using nlohmann::json;
using qortest::ToolResult;

using RegisterToolTest = qortest::ToolTest;

// The module's SFX class, which registration writes under HKEY_CLASSES_ROOT\CLSID.
constexpr wchar_t kSfxServer[] = L"CLSID\\{1B917FE2-47D1-425D-A26E-AFCDBDA7A2E8}\\InprocServer32";

bool SfxRegistered() {
  QORRegistryKey key;
  return QORRegistryKey::Open(QORRegistryHive::kClassesRoot, kSfxServer, KEY_READ, key) ==
         ERROR_SUCCESS;
}

TEST_F(RegisterToolTest, JsonNamesTheModuleAndFailuresExitWithTwo) {
  const std::string module =
      std::filesystem::path(QOR_HOST_BINARY).parent_path().string() + "/qlvapo64.so";
  ToolResult result = Run({"register", "--module", module, "--json"});
  ASSERT_EQ(result.code, 0) << result.err;
  EXPECT_EQ(result.Json(), (json{{"module", module}, {"registered", true}}));
  EXPECT_TRUE(SfxRegistered());
  result = Run({"unregister", "--module", module, "--json"});
  ASSERT_EQ(result.code, 0) << result.err;
  EXPECT_EQ(result.Json(), (json{{"module", module}, {"registered", false}}));
  EXPECT_FALSE(SfxRegistered());

  result = Run({"register", "--module", Path("none.so"), "--json"});
  EXPECT_EQ(result.code, 2);
  EXPECT_EQ(result.out, "");
  EXPECT_NE(result.err.find("cannot load the APO module '" + Path("none.so") +
                            "'; build it or give its path with --module"),
            std::string::npos)
      << result.err;
  // A library that is no APO module.
  const std::string tech =
      std::filesystem::path(QOR_HOST_BINARY).parent_path().string() + "/qltech64.so";
  result = Run({"unregister", "--module", tech});
  EXPECT_EQ(result.code, 2);
  EXPECT_NE(result.err.find("does not export DllUnregisterServer"), std::string::npos)
      << result.err;
}

}  // namespace
