#include "endpoint/QORAPOEndpointInfo.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "TempStateRoot.h"
#include "common/QORPathConvert.h"
#include "common/QORTextConvert.h"
#include "platform/QORComPtr.h"
#include "platform/QOREndpointStore.h"
#include "platform/QORKnownFolders.h"
#include "platform/QORLoadedModule.h"
#include "platform/QORMMDevice.h"
#include "platform/QORModuleInfo.h"
#include "platform/QORRegistryKey.h"
#include "platform/QORSystemInfo.h"

namespace {

constexpr GUID kEndpoint = {
    0x0A1B2C3D, 0x4E5F, 0x4A6B, {0x8C, 0x7D, 0x9E, 0x0F, 0x1A, 0x2B, 0x3C, 0x4D}};
constexpr wchar_t kEndpointText[] = L"{0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D}";
constexpr wchar_t kSfxClass[] = L"{11111111-2222-3333-4444-555555555555}";
constexpr wchar_t kMfxClass[] = L"{66666666-7777-8888-9999-AAAAAAAAAAAA}";
constexpr wchar_t kHardwareIds[] = L"{a45c254e-df1c-4efd-8020-67d146a850e0},3";

// The maker's property n and the FX property n.
std::wstring Maker(int n) {
  return L"{7A8B74C8-FA66-4460-8542-D6119C59E9D4}," + std::to_wstring(n);
}
std::wstring Fx(int n) {
  return L"{d04e05a6-594b-4fb6-a80d-01af5eed7d1d}," + std::to_wstring(n);
}

std::wstring Folder(const GUID& id) {
  std::wstring path;
  QORKnownFolders::GetPath(id, &path);
  return path + L"\\";
}
std::wstring AppData() {
  return Folder(FOLDERID_ProgramData) + L"QOR Labs\\APO";
}
std::wstring DefaultConfiguration() {
  return Folder(FOLDERID_ProgramFiles) + L"QOR Labs\\APO\\qor_apo_config.xml";
}

void Touch(const std::wstring& path) {
  const std::filesystem::path native = QORPathConvert::ToNative(path);
  std::filesystem::create_directories(native.parent_path());
  std::ofstream(native) << "<qor_configuration/>";
}

class QORAPOEndpointInfoTest : public ::testing::Test {
 protected:
  void SetUp() override { QORSystemInfo::SetOSVersionForTesting(nullptr); }
  void TearDown() override { QORSystemInfo::SetOSVersionForTesting(nullptr); }

  void AddEndpoint(EDataFlow flow) {
    flow_ = flow;
    ASSERT_TRUE(
        SUCCEEDED(QOREndpointStore::Add(flow, kEndpoint, L"Speakers", DEVICE_STATE_ACTIVE)));
    ASSERT_TRUE(SUCCEEDED(QORMMDevice::Create(flow, kEndpoint, device_.Put())));
  }
  // Created when missing.
  static QORRegistryKey KeyAt(const std::wstring& path) {
    QORRegistryKey key;
    QORRegistryKey::Create(QORRegistryHive::kLocalMachine, path, KEY_ALL_ACCESS, key);
    return key;
  }
  // The endpoint's Properties key (fx false) or FxProperties key (fx true).
  QORRegistryKey Key(bool fx) {
    return KeyAt(QOREndpointStore::EndpointKeyPath(flow_, kEndpoint) +
                 (fx ? L"\\FxProperties" : L"\\Properties"));
  }
  void SetText(bool fx, const std::wstring& name, const std::wstring& text) {
    ASSERT_EQ(Key(fx).SetString(name, text), ERROR_SUCCESS);
  }
  bool Init() { return info_.Init(device_.Get(), flow_ == eRender); }
  // The configuration path after a fresh Init.
  std::wstring ConfigurationPath() {
    EXPECT_TRUE(Init());
    return info_.GetConfigurationPath();
  }

  qortest::TempStateRoot root_;
  EDataFlow flow_ = eRender;
  QORComPtr<IMMDevice> device_;
  QORAPOEndpointInfo info_;
};

TEST_F(QORAPOEndpointInfoTest, DefaultsWithoutTheMakersProperties) {
  AddEndpoint(eRender);
  ASSERT_TRUE(Init());
  EXPECT_EQ(info_.GetDeviceId(), QOREndpointStore::MakeId(eRender, kEndpoint));
  EXPECT_EQ(info_.GetEndpointGuid(), kEndpoint);
  EXPECT_EQ(info_.GetEndpointGuidText(), kEndpointText);
  EXPECT_TRUE(info_.IsRender());
  EXPECT_EQ(info_.GetRegistrySubkey(), std::wstring(L"Software\\QOR Labs\\APO\\") + kEndpointText);
  EXPECT_EQ(info_.GetDataFolder(), AppData());
  EXPECT_EQ(info_.GetConfigurationPath(), DefaultConfiguration());
  EXPECT_EQ(info_.GetPosition(1).guid, GUID_NULL);
}

TEST_F(QORAPOEndpointInfoTest, PropertyAndFxRows) {
  AddEndpoint(eRender);
  SetText(false, Maker(0), L"Software\\Maker\\Room");
  SetText(false, Maker(1), L"");                               // empty counts as absent
  ASSERT_EQ(Key(false).SetQword(L"Other", 1), ERROR_SUCCESS);  // unreadable: the rest still count
  SetText(true, Fx(5), kMfxClass);
  SetText(true, Fx(13), kSfxClass);  // wins over ,5
  SetText(true, Fx(12), L"{bbbbbbbb-cccc-dddd-eeee-ffffffffffff}");
  ASSERT_TRUE(Init());
  EXPECT_EQ(info_.GetRegistrySubkey(), L"Software\\Maker\\Room");
  EXPECT_EQ(info_.GetDataFolder(), AppData());
  EXPECT_EQ(info_.GetPosition(1).text, kSfxClass);
  EXPECT_EQ(info_.GetPosition(5).text, L"{BBBBBBBB-CCCC-DDDD-EEEE-FFFFFFFFFFFF}");  // upper case
}

TEST_F(QORAPOEndpointInfoTest, RenderPresetFileBySubsystemId) {
  AddEndpoint(eRender);
  SetText(false, kHardwareIds, L"HDAUDIO\\FUNC_01&VEN_QQ01&DEV_0007&subsys_abcd1234");
  Touch(AppData() + L"\\presets_ABCD1234.xml");
  EXPECT_EQ(ConfigurationPath(), DefaultConfiguration());  // extra text 4 is needed
  SetText(false, Maker(4), L"preset");
  EXPECT_EQ(ConfigurationPath(), AppData() + L"\\presets_ABCD1234.xml");
  // With an effect class registered the name carries _81, when that file exists.
  SetText(true, Fx(5), kSfxClass);
  EXPECT_EQ(ConfigurationPath(), DefaultConfiguration());
  Touch(AppData() + L"\\presets_ABCD1234_81.xml");
  EXPECT_EQ(ConfigurationPath(), AppData() + L"\\presets_ABCD1234_81.xml");
}

TEST_F(QORAPOEndpointInfoTest, MissingQlconfigFallsBackByVersionOnRenderOnly) {
  AddEndpoint(eRender);
  SetText(false, Maker(2), AppData() + L"\\qlconfig.xml");
  EXPECT_EQ(ConfigurationPath(), AppData() + L"\\qlconfig_WIN81.xml");
  const QOROSVersion seven{6, 1, 7601};
  QORSystemInfo::SetOSVersionForTesting(&seven);
  EXPECT_EQ(ConfigurationPath(), AppData() + L"\\qlconfig_WIN7.xml");
  Touch(AppData() + L"\\qlconfig.xml");
  EXPECT_EQ(ConfigurationPath(), AppData() + L"\\qlconfig.xml");
  // Capture takes no fallback.
  std::filesystem::remove(QORPathConvert::ToNative(AppData() + L"\\qlconfig.xml"));
  AddEndpoint(eCapture);
  SetText(false, Maker(2), AppData() + L"\\qlconfig.xml");
  EXPECT_EQ(ConfigurationPath(), AppData() + L"\\qlconfig.xml");
}

TEST_F(QORAPOEndpointInfoTest, TechLibraryPathIsRecordedOnce) {
  const std::wstring ownFolder = QORModuleInfo::GetFolder(QORModuleInfo::GetOwnPath());
  ASSERT_FALSE(std::filesystem::exists(QORPathConvert::ToNative(ownFolder + L"qltech64.so")));
  // A companion module loaded from a folder that also holds the library.
  const std::filesystem::path folder = std::filesystem::path(root_.Path()) / "companion";
  std::filesystem::create_directories(folder);
  std::filesystem::copy_file("/lib/x86_64-linux-gnu/libdl.so.2", folder / "qlcnt64.so");
  std::ofstream(folder / "qltech64.so") << "";
  QORLoadedModule companion;
  ASSERT_TRUE(companion.Load(QORUtf8ToWide((folder / "qlcnt64.so").string())));

  AddEndpoint(eRender);
  ASSERT_TRUE(Init());
  QORRegistryKey subkey = KeyAt(info_.GetRegistrySubkey());
  std::wstring path;
  ASSERT_EQ(subkey.GetString(L"QorApoTechDllPath", &path), ERROR_SUCCESS);
  EXPECT_EQ(std::filesystem::path(QORWideToUtf8(path)), folder / "qltech64.so");
  // Present: nothing is written again.
  ASSERT_EQ(subkey.SetDword(L"QorApoTechDllPath", 1), ERROR_SUCCESS);
  ASSERT_TRUE(Init());
  uint32_t kept = 0;
  EXPECT_EQ(subkey.GetDword(L"QorApoTechDllPath", &kept), ERROR_SUCCESS);
  EXPECT_EQ(kept, 1u);
}

}  // namespace
