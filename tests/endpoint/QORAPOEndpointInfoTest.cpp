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
constexpr wchar_t kEfxClass[] = L"{BBBBBBBB-CCCC-DDDD-EEEE-FFFFFFFFFFFF}";
constexpr wchar_t kMaker[] = L"{7A8B74C8-FA66-4460-8542-D6119C59E9D4},";
constexpr wchar_t kFx[] = L"{d04e05a6-594b-4fb6-a80d-01af5eed7d1d},";
constexpr wchar_t kHardwareIds[] = L"{a45c254e-df1c-4efd-8020-67d146a850e0},3";

std::wstring Folder(const GUID& id) {
  std::wstring path;
  QORKnownFolders::GetPath(id, &path);
  return path + L"\\";
}

std::wstring AppData() {
  return Folder(FOLDERID_ProgramData) + L"QOR Labs\\APO";
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
  // A value of the endpoint's Properties key (fx false) or FxProperties key (fx true).
  void SetText(bool fx, const std::wstring& name, const std::wstring& text) {
    QORRegistryKey key;
    const std::wstring path = QOREndpointStore::EndpointKeyPath(flow_, kEndpoint) +
                              (fx ? L"\\FxProperties" : L"\\Properties");
    ASSERT_EQ(QORRegistryKey::Create(QORRegistryHive::kLocalMachine, path, KEY_ALL_ACCESS, key),
              ERROR_SUCCESS);
    ASSERT_EQ(key.SetString(name, text), ERROR_SUCCESS);
  }
  bool Init(QORAPOEndpointInfo& info) { return info.Init(device_.Get(), flow_ == eRender); }

  qortest::TempStateRoot root_;
  EDataFlow flow_ = eRender;
  QORComPtr<IMMDevice> device_;
};

TEST_F(QORAPOEndpointInfoTest, DefaultsWithoutTheMakersProperties) {
  AddEndpoint(eRender);
  QORAPOEndpointInfo info;
  ASSERT_TRUE(Init(info));
  EXPECT_EQ(info.GetDeviceId(), QOREndpointStore::MakeId(eRender, kEndpoint));
  EXPECT_EQ(info.GetEndpointGuid(), kEndpoint);
  EXPECT_EQ(info.GetEndpointGuidText(), kEndpointText);
  EXPECT_TRUE(info.IsRender());
  EXPECT_EQ(info.GetRegistrySubkey(), std::wstring(L"Software\\QOR Labs\\APO\\") + kEndpointText);
  EXPECT_EQ(info.GetDataFolder(), AppData());
  EXPECT_EQ(info.GetConfigurationPath(),
            Folder(FOLDERID_ProgramFiles) + L"QOR Labs\\APO\\qor_apo_config.xml");
  EXPECT_TRUE(info.GetExtraText4().empty());
  EXPECT_EQ(info.GetPosition(1).guid, GUID_NULL);
  EXPECT_EQ(
      info.GetFxKeyPath(),
      std::wstring(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\MMDevices\\Audio\\Render\\") +
          kEndpointText + L"\\FxProperties");
  // The settings subkey now exists.
  QORRegistryKey subkey;
  EXPECT_EQ(QORRegistryKey::Open(QORRegistryHive::kLocalMachine, info.GetRegistrySubkey(), KEY_READ,
                                 subkey),
            ERROR_SUCCESS);
}

TEST_F(QORAPOEndpointInfoTest, NoDeviceOrNoRegistrySourceFails) {
  QORAPOEndpointInfo info;
  EXPECT_FALSE(info.Init(nullptr, true));
  EXPECT_FALSE(info.Refresh());
  // An endpoint whose keys were removed: the id is read, but no source.
  AddEndpoint(eCapture);
  ASSERT_TRUE(SUCCEEDED(QOREndpointStore::Remove(eCapture, kEndpoint)));
  EXPECT_FALSE(Init(info));
  EXPECT_EQ(info.GetEndpointGuidText(), kEndpointText);
  EXPECT_FALSE(info.IsRender());
  EXPECT_EQ(
      info.GetPropertiesKeyPath(),
      std::wstring(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\MMDevices\\Audio\\Capture\\") +
          kEndpointText + L"\\Properties");
}

TEST_F(QORAPOEndpointInfoTest, PropertiesKeyOverridesDefaults) {
  AddEndpoint(eRender);
  SetText(false, std::wstring(kMaker) + L"0", L"Software\\Maker\\Room");
  SetText(false, std::wstring(kMaker) + L"2", L"C:\\cfg\\room.xml");
  SetText(false, std::wstring(kMaker) + L"3", L"three");
  SetText(false, std::wstring(kMaker) + L"1", L"");  // empty counts as absent
  SetText(false, L"{b3f8fa53-0004-438e-9003-51a46e139bfc},6", L"Realtek");
  SetText(false, L"{A45C254E-DF1C-4EFD-8020-67D146A850E0},2", L"Speakers");
  QORAPOEndpointInfo info;
  ASSERT_TRUE(Init(info));
  EXPECT_EQ(info.GetRegistrySubkey(), L"Software\\Maker\\Room");
  EXPECT_EQ(info.GetConfigurationPath(), L"C:\\cfg\\room.xml");
  EXPECT_EQ(info.GetExtraText3(), L"three");
  EXPECT_EQ(info.GetDataFolder(), AppData());
  EXPECT_EQ(info.GetDisplayName(), L"Realtek Speakers");
}

TEST_F(QORAPOEndpointInfoTest, LaterFxKeysWinAndBadClassTextsStayEmpty) {
  AddEndpoint(eRender);
  SetText(true, std::wstring(kFx) + L"5", kMfxClass);
  SetText(true, std::wstring(kFx) + L"13", kSfxClass);  // wins over ,5
  SetText(true, std::wstring(kFx) + L"7", L"not a guid");
  SetText(true, std::wstring(kFx) + L"12", L"{bbbbbbbb-cccc-dddd-eeee-ffffffffffff}");
  QORAPOEndpointInfo info;
  ASSERT_TRUE(Init(info));
  EXPECT_EQ(info.GetPosition(1).text, kSfxClass);
  EXPECT_EQ(info.GetPosition(3).guid, GUID_NULL);
  EXPECT_TRUE(info.GetPosition(3).text.empty());
  EXPECT_EQ(info.GetPosition(5).text, kEfxClass);  // kept in upper case
  EXPECT_EQ(info.GetPosition(6).guid, GUID_NULL);
  EXPECT_EQ(info.GetPosition(-1).guid, GUID_NULL);
}

TEST_F(QORAPOEndpointInfoTest, SecondaryKeyFillsOnlyWhatIsMissing) {
  AddEndpoint(eRender);
  constexpr wchar_t kSecondary[] = L"Software\\Maker\\Secondary";
  SetText(false, std::wstring(kMaker) + L"5", kSecondary);
  SetText(false, std::wstring(kMaker) + L"0", L"Software\\Maker\\Own");
  QORRegistryKey secondary;
  ASSERT_EQ(
      QORRegistryKey::Create(QORRegistryHive::kLocalMachine, kSecondary, KEY_ALL_ACCESS, secondary),
      ERROR_SUCCESS);
  secondary.SetString(std::wstring(kMaker) + L"0", L"Software\\Maker\\Other");
  secondary.SetString(std::wstring(kMaker) + L"1", L"D:\\data");
  secondary.SetString(std::wstring(kFx) + L"5", kSfxClass);  // positions come from the FX key only
  QORAPOEndpointInfo info;
  ASSERT_TRUE(Init(info));
  EXPECT_EQ(info.GetSecondaryKeyPath(), kSecondary);
  EXPECT_EQ(info.GetRegistrySubkey(), L"Software\\Maker\\Own");
  EXPECT_EQ(info.GetDataFolder(), L"D:\\data");
  EXPECT_EQ(info.GetPosition(1).guid, GUID_NULL);

  // A copy shares the device and the record, but not what belongs to the refresh.
  const QORAPOEndpointInfo copy(info);
  EXPECT_EQ(copy.GetDevice(), info.GetDevice());
  EXPECT_EQ(copy.GetDataFolder(), L"D:\\data");
  EXPECT_TRUE(copy.GetSecondaryKeyPath().empty());
}

TEST_F(QORAPOEndpointInfoTest, UnreadableValueDoesNotHideTheEndpoint) {
  AddEndpoint(eRender);
  SetText(false, std::wstring(kMaker) + L"3", L"three");
  QORRegistryKey properties;
  ASSERT_EQ(
      QORRegistryKey::Open(QORRegistryHive::kLocalMachine,
                           QOREndpointStore::EndpointKeyPath(eRender, kEndpoint) + L"\\Properties",
                           KEY_ALL_ACCESS, properties),
      ERROR_SUCCESS);
  ASSERT_EQ(properties.SetQword(L"{00000000-0000-0000-0000-000000000001},1", 5), ERROR_SUCCESS);
  QORAPOEndpointInfo info;
  EXPECT_TRUE(Init(info));
  EXPECT_EQ(info.GetExtraText3(), L"three");
}

TEST_F(QORAPOEndpointInfoTest, PresetFileByTheSubsystemId) {
  AddEndpoint(eRender);
  SetText(false, std::wstring(kMaker) + L"4", L"preset");
  SetText(false, kHardwareIds, L"HDAUDIO\\FUNC_01&VEN_10EC&DEV_0298&subsys_abcd1234");
  QORAPOEndpointInfo info;
  ASSERT_TRUE(Init(info));
  EXPECT_EQ(info.GetSubsystemId(), L"ABCD1234");
  // Without a preset file the default stays.
  EXPECT_EQ(info.GetConfigurationPath(),
            Folder(FOLDERID_ProgramFiles) + L"QOR Labs\\APO\\qor_apo_config.xml");
  Touch(AppData() + L"\\presets_ABCD1234.xml");
  ASSERT_TRUE(Init(info));
  EXPECT_EQ(info.GetConfigurationPath(), AppData() + L"\\presets_ABCD1234.xml");

  // With an effect class registered the name carries _81.
  SetText(true, std::wstring(kFx) + L"5", kSfxClass);
  Touch(AppData() + L"\\presets_ABCD1234_81.xml");
  ASSERT_TRUE(Init(info));
  EXPECT_EQ(info.GetConfigurationPath(), AppData() + L"\\presets_ABCD1234_81.xml");
  EXPECT_EQ(info.GetPresetPath(), AppData() + L"\\presets_ABCD1234_81.xml");
}

TEST_F(QORAPOEndpointInfoTest, PresetNeedsExtraText4AndTheDefaultPath) {
  AddEndpoint(eRender);
  SetText(false, kHardwareIds, L"PCI\\SUBSYS_ABCD1234");
  Touch(AppData() + L"\\presets_ABCD1234.xml");
  QORAPOEndpointInfo info;
  ASSERT_TRUE(Init(info));
  EXPECT_EQ(info.GetConfigurationPath(),
            Folder(FOLDERID_ProgramFiles) + L"QOR Labs\\APO\\qor_apo_config.xml");
  SetText(false, std::wstring(kMaker) + L"4", L"preset");
  SetText(false, std::wstring(kMaker) + L"2", L"C:\\own.xml");
  ASSERT_TRUE(Init(info));
  EXPECT_EQ(info.GetConfigurationPath(), L"C:\\own.xml");
}

TEST_F(QORAPOEndpointInfoTest, CaptureNeverTakesPresetOrFallback) {
  AddEndpoint(eCapture);
  SetText(false, std::wstring(kMaker) + L"4", L"preset");
  SetText(false, kHardwareIds, L"SUBSYS_ABCD1234");
  Touch(AppData() + L"\\presets_ABCD1234.xml");
  QORAPOEndpointInfo info;
  ASSERT_TRUE(Init(info));
  EXPECT_EQ(info.GetConfigurationPath(),
            Folder(FOLDERID_ProgramFiles) + L"QOR Labs\\APO\\qor_apo_config.xml");
  SetText(false, std::wstring(kMaker) + L"2", AppData() + L"\\qlconfig.xml");
  ASSERT_TRUE(Init(info));
  EXPECT_EQ(info.GetConfigurationPath(), AppData() + L"\\qlconfig.xml");
}

TEST_F(QORAPOEndpointInfoTest, MissingQlconfigFallsBackByVersion) {
  AddEndpoint(eRender);
  SetText(false, std::wstring(kMaker) + L"2", AppData() + L"\\qlconfig.xml");
  QORAPOEndpointInfo info;
  ASSERT_TRUE(Init(info));
  EXPECT_EQ(info.GetConfigurationPath(), AppData() + L"\\qlconfig_WIN81.xml");
  const QOROSVersion seven{6, 1, 7601};
  QORSystemInfo::SetOSVersionForTesting(&seven);
  ASSERT_TRUE(Init(info));
  EXPECT_EQ(info.GetConfigurationPath(), AppData() + L"\\qlconfig_WIN7.xml");
  Touch(AppData() + L"\\qlconfig.xml");
  ASSERT_TRUE(Init(info));
  EXPECT_EQ(info.GetConfigurationPath(), AppData() + L"\\qlconfig.xml");
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
  QORAPOEndpointInfo info;
  ASSERT_TRUE(Init(info));
  QORRegistryKey subkey;
  ASSERT_EQ(QORRegistryKey::Open(QORRegistryHive::kLocalMachine, info.GetRegistrySubkey(),
                                 KEY_ALL_ACCESS, subkey),
            ERROR_SUCCESS);
  std::wstring path;
  ASSERT_EQ(subkey.GetString(L"QorApoTechDllPath", &path), ERROR_SUCCESS);
  EXPECT_EQ(std::filesystem::path(QORWideToUtf8(path)), folder / "qltech64.so");

  // Present: nothing is written again.
  ASSERT_EQ(subkey.SetDword(L"QorApoTechDllPath", 1), ERROR_SUCCESS);
  ASSERT_TRUE(Init(info));
  uint32_t kept = 0;
  EXPECT_EQ(subkey.GetDword(L"QorApoTechDllPath", &kept), ERROR_SUCCESS);
  EXPECT_EQ(kept, 1u);
}

}  // namespace
