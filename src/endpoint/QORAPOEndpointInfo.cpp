#include "endpoint/QORAPOEndpointInfo.h"

#include <filesystem>
#include <system_error>
#include <vector>

#include "common/QORPathConvert.h"
#include "common/QORTextConvert.h"
#include "common/QORTrace.h"
#include "platform/QORComApi.h"
#include "platform/QORKnownFolders.h"
#include "platform/QORModule.h"
#include "platform/QORModuleInfo.h"
#include "platform/QORRegistryKey.h"
#include "platform/QORSystemInfo.h"
#include "settings/QORPropertySet.h"
#include "settings/QORPropertySetRegistry.h"

namespace {

constexpr uint32_t kQueryAccess = KEY_QUERY_VALUE | KEY_WOW64_64KEY;
constexpr uint32_t kSubkeyAccess = 0x2011F;

constexpr wchar_t kEndpointsRoot[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\MMDevices\\Audio\\";
constexpr wchar_t kMakerSet[] = L"{7A8B74C8-FA66-4460-8542-D6119C59E9D4},";
constexpr wchar_t kFxSet[] = L"{d04e05a6-594b-4fb6-a80d-01af5eed7d1d},";
constexpr wchar_t kInterfaceKey[] = L"{b3f8fa53-0004-438e-9003-51a46e139bfc},6";
constexpr wchar_t kDescriptionKey[] = L"{a45c254e-df1c-4efd-8020-67d146a850e0},2";
constexpr wchar_t kAppFolder[] = L"QOR Labs\\APO";

// Effect classes by property id; the later ids of positions 1 to 3 win over the earlier ones.
struct PositionRow {
  int pid;
  int location;
};
constexpr PositionRow kPositionRows[] = {{1, 0},  {5, 1},  {6, 2},  {7, 3}, {11, 4},
                                         {12, 5}, {13, 1}, {14, 2}, {15, 3}};

// Present and non-empty; an empty value counts as absent so that defaults still apply.
bool TextOf(QORPropertySet& values, const std::wstring& key, std::wstring& text) {
  std::wstring value;
  if (!values.GetProperty(key, value) || value.empty()) return false;
  text = value;
  return true;
}

}  // namespace

void QORAPOEndpointInfo::GuidEntry::SetText(const std::wstring& value) {
  GUID parsed = GUID_NULL;
  if (SUCCEEDED(CLSIDFromString(value.c_str(), &parsed))) {
    guid = parsed;
    text = QORGuidToString(parsed);
  } else {
    Clear();
  }
}

void QORAPOEndpointInfo::GuidEntry::Clear() {
  guid = GUID_NULL;
  text.clear();
}

QORAPOEndpointInfo::QORAPOEndpointInfo() = default;

QORAPOEndpointInfo::QORAPOEndpointInfo(const QORAPOEndpointInfo& other) {
  *this = other;
}

// The secondary key path and the subsystem id belong to the refresh and are not copied.
QORAPOEndpointInfo& QORAPOEndpointInfo::operator=(const QORAPOEndpointInfo& other) {
  if (&other == this) return *this;
  device_ = other.device_;
  endpointGuid_ = other.endpointGuid_;
  deviceId_ = other.deviceId_;
  render_ = other.render_;
  secondaryKeyPath_.clear();
  displayName_ = other.displayName_;
  registrySubkey_ = other.registrySubkey_;
  dataFolder_ = other.dataFolder_;
  configurationPath_ = other.configurationPath_;
  extraText3_ = other.extraText3_;
  extraText4_ = other.extraText4_;
  subsystemId_.clear();
  interfaceText_ = other.interfaceText_;
  description_ = other.description_;
  positions_ = other.positions_;
  return *this;
}

QORAPOEndpointInfo::~QORAPOEndpointInfo() = default;

void QORAPOEndpointInfo::Clear() {
  device_.Reset();
  endpointGuid_.Clear();
  deviceId_.clear();
  render_ = true;
  secondaryKeyPath_.clear();
  displayName_.clear();
  registrySubkey_.clear();
  dataFolder_.clear();
  configurationPath_.clear();
  extraText3_.clear();
  extraText4_.clear();
  subsystemId_.clear();
  interfaceText_.clear();
  description_.clear();
  for (GuidEntry& position : positions_) position.Clear();
}

std::wstring QORAPOEndpointInfo::GuidTextOfDeviceId(const std::wstring& id) {
  const size_t dot = id.rfind(L'.');
  return dot == std::wstring::npos ? id : id.substr(dot + 1);
}

bool QORAPOEndpointInfo::Init(IMMDevice* device, bool render) {
  Clear();
  SetDevice(device);
  render_ = render;
  return Refresh();
}

void QORAPOEndpointInfo::SetDevice(IMMDevice* device) {
  if (device != nullptr) device->AddRef();
  device_ = QORComPtr<IMMDevice>::Attach(device);
}

const QORAPOEndpointInfo::GuidEntry& QORAPOEndpointInfo::GetPosition(int location) const {
  static const GuidEntry none;
  if (location < 0 || location >= kPositionCount) return none;
  return positions_[static_cast<size_t>(location)];
}

std::wstring QORAPOEndpointInfo::GetFxKeyPath() const {
  return std::wstring(kEndpointsRoot) + (render_ ? L"Render\\" : L"Capture\\") +
         endpointGuid_.text + L"\\FxProperties";
}

std::wstring QORAPOEndpointInfo::GetPropertiesKeyPath() const {
  return std::wstring(kEndpointsRoot) + (render_ ? L"Render\\" : L"Capture\\") +
         endpointGuid_.text + L"\\Properties";
}

std::wstring QORAPOEndpointInfo::GetPresetPath() const {
  const std::wstring& subsystem = GetSubsystemId();
  if (subsystem.empty()) return {};
  return AppDataFolder() + L"\\presets_" + subsystem + (AnyEffectPosition() ? L"_81" : L"") +
         L".xml";
}

bool QORAPOEndpointInfo::AnyEffectPosition() const {
  for (int location = 1; location < kPositionCount; ++location) {
    if (positions_[static_cast<size_t>(location)].guid != GUID_NULL) return true;
  }
  return false;
}

const std::wstring& QORAPOEndpointInfo::GetSubsystemId() const {
  if (!subsystemId_.empty() || !device_) return subsystemId_;
  QORComPtr<IPropertyStore> store;
  if (FAILED(device_->OpenPropertyStore(STGM_READ, store.Put())) || !store) return subsystemId_;
  DWORD count = 0;
  if (FAILED(store->GetCount(&count))) return subsystemId_;
  static constexpr std::wstring_view kMarker = L"SUBSYS_";
  for (uint32_t index = 0; index < count && subsystemId_.empty(); ++index) {
    PROPERTYKEY key{};
    if (FAILED(store->GetAt(index, &key))) continue;
    PROPVARIANT value;
    PropVariantInit(&value);
    if (SUCCEEDED(store->GetValue(key, &value)) && value.vt == VT_LPWSTR &&
        value.pwszVal != nullptr) {
      std::wstring text(value.pwszVal);
      for (wchar_t& c : text) {
        if (c >= L'a' && c <= L'z') c = c - L'a' + L'A';
      }
      const size_t found = text.find(kMarker);
      if (found != std::wstring::npos) subsystemId_ = text.substr(found + kMarker.size());
    }
    PropVariantClear(&value);
  }
  return subsystemId_;
}

std::wstring& QORAPOEndpointInfo::FieldText(Field field) {
  switch (field) {
    case Field::kSubkey:
      return registrySubkey_;
    case Field::kDataFolder:
      return dataFolder_;
    case Field::kConfigurationPath:
      return configurationPath_;
    case Field::kExtraText3:
      return extraText3_;
    case Field::kExtraText4:
      return extraText4_;
    case Field::kInterfaceText:
      return interfaceText_;
    case Field::kDescription:
      return description_;
    case Field::kSecondaryKeyPath:
      break;
  }
  return secondaryKeyPath_;
}

void QORAPOEndpointInfo::TakeProperties(QORPropertySet& values, bool onlyEmpty) {
  struct Row {
    std::wstring key;
    Field field;
  };
  const std::wstring maker(kMakerSet);
  const Row rows[] = {
      {maker + L"0", Field::kSubkey},
      {maker + L"1", Field::kDataFolder},
      {maker + L"2", Field::kConfigurationPath},
      {maker + L"3", Field::kExtraText3},
      {maker + L"4", Field::kExtraText4},
      {kInterfaceKey, Field::kInterfaceText},
      {kDescriptionKey, Field::kDescription},
      {maker + L"5", Field::kSecondaryKeyPath},
  };
  for (const Row& row : rows) {
    std::wstring& field = FieldText(row.field);
    if (onlyEmpty && !field.empty()) continue;
    TextOf(values, row.key, field);
  }
}

void QORAPOEndpointInfo::TakePositions(QORPropertySet& values) {
  std::array<std::wstring, kPositionCount> texts;
  for (const PositionRow& row : kPositionRows) {
    TextOf(values, kFxSet + std::to_wstring(row.pid), texts[static_cast<size_t>(row.location)]);
  }
  for (int location = 0; location < kPositionCount; ++location) {
    positions_[static_cast<size_t>(location)].SetText(texts[static_cast<size_t>(location)]);
  }
}

void QORAPOEndpointInfo::ApplyDefaults() {
  if (registrySubkey_.empty()) {
    registrySubkey_ = std::wstring(kDefaultSubkeyRoot) + L"\\" + endpointGuid_.text;
  }
  if (dataFolder_.empty()) dataFolder_ = AppDataFolder();
  if (configurationPath_.empty()) configurationPath_ = DefaultConfigurationPath();
}

void QORAPOEndpointInfo::ChooseConfigurationFile() {
  if (configurationPath_ == DefaultConfigurationPath() && !extraText4_.empty()) {
    const std::wstring preset = GetPresetPath();
    if (!preset.empty() && FileExists(preset)) configurationPath_ = preset;
  }
  const std::wstring folder = AppDataFolder();
  if (configurationPath_ == folder + L"\\qlconfig.xml" && !FileExists(configurationPath_)) {
    const QOROSVersion version = QORSystemInfo::GetOSVersion();
    const bool seven = version.major == 6 && version.minor == 1;
    configurationPath_ = folder + (seven ? L"\\qlconfig_WIN7.xml" : L"\\qlconfig_WIN81.xml");
  }
}

// Records where the technology library is, for the tools that read the endpoint's settings. This
// platform has no system folder for modules: the search starts at this module's folder.
void QORAPOEndpointInfo::RecordTechLibraryPath() const {
  QORRegistryKey key;
  if (QORRegistryKey::Create(QORRegistryHive::kLocalMachine, registrySubkey_, kSubkeyAccess, key) !=
      ERROR_SUCCESS) {
    return;
  }
  uint32_t type = REG_NONE;
  std::vector<uint8_t> data;
  if (key.QueryValue(kTechPathValue, &type, &data) == ERROR_SUCCESS) return;
  const bool native64 = sizeof(void*) == 8 && !QORModuleInfo::IsWow64Process();
  const std::wstring suffix = QORUtf8ToWide(kQORModuleSuffix);
  const std::wstring fileName = (native64 ? L"qltech64" : L"qltech32") + suffix;
  const std::wstring companion = L"qlcnt64" + suffix;
  const std::wstring folders[] = {
      QORModuleInfo::GetFolder(QORModuleInfo::GetOwnPath()),
      QORModuleInfo::GetFolder(QORModuleInfo::FindLoadedPath(companion)),
  };
  for (const std::wstring& folder : folders) {
    if (folder.empty()) continue;
    const std::wstring path = folder + fileName;
    if (!FileExists(path)) continue;
    key.SetString(kTechPathValue, path);
    return;
  }
}

std::wstring QORAPOEndpointInfo::KnownFolder(const GUID& folderId) {
  std::wstring path;
  if (FAILED(QORKnownFolders::GetPath(folderId, &path))) return {};
  return path + L"\\";
}

std::wstring QORAPOEndpointInfo::AppDataFolder() {
  return KnownFolder(FOLDERID_ProgramData) + kAppFolder;
}

std::wstring QORAPOEndpointInfo::DefaultConfigurationPath() {
  return KnownFolder(FOLDERID_ProgramFiles) + kAppFolder + L"\\qor_apo_config.xml";
}

bool QORAPOEndpointInfo::FileExists(const std::wstring& path) {
  std::error_code error;
  return std::filesystem::is_regular_file(QORPathConvert::ToNative(path), error);
}

bool QORAPOEndpointInfo::ReadKey(const std::wstring& path, QORPropertySet& values) {
  QORRegistryKey key;
  if (QORRegistryKey::Open(QORRegistryHive::kLocalMachine, path, kQueryAccess, key) !=
      ERROR_SUCCESS) {
    return false;
  }
  QORPropertySetRegistry reader;
  reader.SetKey(&key);
  reader.AttachPropertySet(&values);
  // A value of a type nobody here reads (another component's property) must not hide the
  // endpoint: the readable values are used.
  if (!reader.LoadValues()) {
    QORTraceW({"QORAPOEndpointInfo", __LINE__, "QORAPOEndpointInfo::ReadKey"},
              L"some values of %ls are not readable; using the others\n", path.c_str());
  }
  return true;
}

bool QORAPOEndpointInfo::Refresh() {
  if (!device_) return false;
  wchar_t* id = nullptr;
  if (FAILED(device_->GetId(&id)) || id == nullptr) return false;
  deviceId_ = id;
  CoTaskMemFree(id);
  endpointGuid_.SetText(GuidTextOfDeviceId(deviceId_));

  for (Field field : {Field::kSubkey, Field::kDataFolder, Field::kConfigurationPath,
                      Field::kExtraText3, Field::kExtraText4}) {
    FieldText(field).clear();
  }
  bool anyRead = false;
  QORPropertySet properties;
  if (ReadKey(GetPropertiesKeyPath(), properties)) {
    anyRead = true;
    TakeProperties(properties, false);
    displayName_ = interfaceText_ + L" " + description_;
  }
  QORPropertySet effects;
  if (ReadKey(GetFxKeyPath(), effects)) {
    anyRead = true;
    TakePositions(effects);
  }
  QORPropertySet secondary;
  if (!secondaryKeyPath_.empty() && ReadKey(secondaryKeyPath_, secondary)) {
    anyRead = true;
    TakeProperties(secondary, true);
  }
  ApplyDefaults();
  if (render_) ChooseConfigurationFile();
  if (!registrySubkey_.empty()) RecordTechLibraryPath();
  return anyRead;
}
