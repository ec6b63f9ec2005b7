#pragma once

#include <array>
#include <string>

#include "platform/IMMDevice.h"
#include "platform/QORComPtr.h"
#include "platform/QORGuid.h"

class QORPropertySet;

// The host's record of one audio endpoint: identity, direction, where its settings live in the
// registry, which configuration file describes it and which effect class the system registered for
// it at each graph position. Filled once by the refresh, then copied freely (copies share the
// device through its reference count). Paths are kept in the stored settings' form, with
// backslashes between names.
class QORAPOEndpointInfo {
 public:
  // A GUID with its text; a text that does not parse leaves a zero GUID and an empty text.
  struct GuidEntry {
    GUID guid = GUID_NULL;
    std::wstring text;
    void SetText(const std::wstring& value);
    void Clear();
  };

  static constexpr int kPositionCount = 6;
  static constexpr wchar_t kDefaultSubkeyRoot[] = L"Software\\QOR Labs\\APO";
  static constexpr wchar_t kTechPathValue[] = L"QorApoTechDllPath";

  QORAPOEndpointInfo();
  QORAPOEndpointInfo(const QORAPOEndpointInfo& other);
  QORAPOEndpointInfo& operator=(const QORAPOEndpointInfo& other);
  virtual ~QORAPOEndpointInfo();

  virtual void Clear();
  // Clear, hold the device and the direction, then refresh.
  // The endpoint GUID's text in a device ID, which ends in it after the last dot.
  static std::wstring GuidTextOfDeviceId(const std::wstring& id);
  virtual bool Init(IMMDevice* device, bool render);

  // Reads the endpoint's registry sources into the record; true when any of them was read.
  bool Refresh();

  void SetDevice(IMMDevice* device);
  IMMDevice* GetDevice() const { return device_.Get(); }
  bool IsRender() const { return render_; }
  void SetRender(bool render) { render_ = render; }

  const GUID& GetEndpointGuid() const { return endpointGuid_.guid; }
  // The identity text of the endpoint: its GUID in braces, upper case.
  const std::wstring& GetEndpointGuidText() const { return endpointGuid_.text; }
  const std::wstring& GetDeviceId() const { return deviceId_; }
  const std::wstring& GetSecondaryKeyPath() const { return secondaryKeyPath_; }
  const std::wstring& GetDisplayName() const { return displayName_; }
  // Relative to HKEY_LOCAL_MACHINE.
  const std::wstring& GetRegistrySubkey() const { return registrySubkey_; }
  const std::wstring& GetDataFolder() const { return dataFolder_; }
  const std::wstring& GetConfigurationPath() const { return configurationPath_; }
  const std::wstring& GetExtraText3() const { return extraText3_; }
  const std::wstring& GetExtraText4() const { return extraText4_; }
  const std::wstring& GetInterfaceText() const { return interfaceText_; }
  const std::wstring& GetDescription() const { return description_; }
  // The text after "SUBSYS_" in a text property of the device; looked up once found.
  const std::wstring& GetSubsystemId() const;
  // Location 0 to 5; a zero entry outside that range.
  const GuidEntry& GetPosition(int location) const;

  std::wstring GetFxKeyPath() const;
  std::wstring GetPropertiesKeyPath() const;
  // The maker's preset configuration in the data folder; empty without a subsystem id.
  std::wstring GetPresetPath() const;

 private:
  enum class Field {
    kSubkey,
    kDataFolder,
    kConfigurationPath,
    kExtraText3,
    kExtraText4,
    kInterfaceText,
    kDescription,
    kSecondaryKeyPath
  };

  std::wstring& FieldText(Field field);
  // Fills the empty fields that have a Properties-key row from the set; onlyEmpty keeps filled
  // ones.
  void TakeProperties(QORPropertySet& values, bool onlyEmpty);
  void TakePositions(QORPropertySet& values);
  void ApplyDefaults();
  void ChooseConfigurationFile();
  void RecordTechLibraryPath() const;
  bool AnyEffectPosition() const;

  static std::wstring KnownFolder(const GUID& folderId);
  static std::wstring AppDataFolder();
  static std::wstring DefaultConfigurationPath();
  static bool FileExists(const std::wstring& path);
  // Opens an HKEY_LOCAL_MACHINE key for query and loads all its values; false when it does not
  // open.
  static bool ReadKey(const std::wstring& path, QORPropertySet& values);

  QORComPtr<IMMDevice> device_;
  GuidEntry endpointGuid_;
  std::wstring deviceId_;
  bool render_ = true;
  std::wstring secondaryKeyPath_;
  std::wstring displayName_;
  std::wstring registrySubkey_;
  std::wstring dataFolder_;
  std::wstring configurationPath_;
  std::wstring extraText3_;
  std::wstring extraText4_;
  mutable std::wstring subsystemId_;
  std::wstring interfaceText_;
  std::wstring description_;
  std::array<GuidEntry, kPositionCount> positions_;
};
