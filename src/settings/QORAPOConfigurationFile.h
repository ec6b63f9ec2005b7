#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <tinyxml2.h>

#include "settings/QORAPOModeIdentity.h"
#include "settings/QORAPOOperatingMode.h"
#include "settings/QORUTSValueList.h"

// The XML configuration of one device: its global properties, its operating modes with their
// controls, and the chains each mode runs at the loading APO's position. Not locked: the owner
// serialises the calls. Documents are shared process-wide through QORXMLDocumentCache.
class QORAPOConfigurationFile {
 public:
  // Results of Load.
  static constexpr uint32_t kLoadOk = 0;
  static constexpr uint32_t kLoadEmptyProperties = 2;  // a properties element without children
  static constexpr uint32_t kLoadInvalidMode = 3;      // a mode without a usable identity
  static constexpr uint32_t kLoadNoProperties = 6;     // also: unreadable file, wrong root

  // Selector modes: which operating_mode elements a load takes.
  static constexpr uint32_t kSelectorPlain = 0;  // modes without a selector
  static constexpr uint32_t kSelectorDsp = 1;    // modes whose selector is "dsp"

  static constexpr const char* kProductName = "Product Name";

  QORAPOConfigurationFile() = default;
  QORAPOConfigurationFile(const QORAPOConfigurationFile&) = delete;
  QORAPOConfigurationFile& operator=(const QORAPOConfigurationFile&) = delete;
  virtual ~QORAPOConfigurationFile() = default;

  // Reads the file at path (parsed once per process) for an APO at apoLocation. The default mode
  // is updated only when the result is kLoadOk.
  virtual uint32_t Load(const std::wstring& path, uint32_t selectorMode, uint32_t apoLocation);
  virtual const std::vector<std::shared_ptr<QORAPOOperatingMode>>& GetOperatingModes() const {
    return modes_;
  }
  virtual const QORAPOModeIdentity& GetDefaultMode() const { return defaultMode_; }
  virtual const QORUTSValueList& GetProperties() const { return properties_; }
  virtual const std::wstring& GetProductName() const { return productName_; }
  virtual uint32_t GetSelectorMode() const { return selectorMode_; }
  // True when exactly one mode has identity id; out then holds it. With several matches out holds
  // the last and the result is false; with none out is untouched.
  virtual bool FindOperatingMode(const QORAPOModeIdentity& id,
                                 std::shared_ptr<QORAPOOperatingMode>& out) const;
  // Prefers the auto-microphone modes of id's speaker type, falling back to the exact match.
  // True only when the choice is unique.
  virtual bool FindAutoMicMode(const QORAPOModeIdentity& id,
                               std::shared_ptr<QORAPOOperatingMode>& out) const;

  // Load from XML text instead of a file, bypassing the cache.
  uint32_t LoadFromText(std::string_view xml, uint32_t selectorMode, uint32_t apoLocation);
  // Load from an already parsed document (null: nothing could be read).
  uint32_t LoadDocument(const tinyxml2::XMLDocument* document, uint32_t selectorMode,
                        uint32_t apoLocation);
  // The default identity from the properties, else the first mode's; false when neither exists.
  bool SetDefaultMode();

 private:
  void Reset(uint32_t selectorMode);
  uint32_t ParseRoot(const tinyxml2::XMLElement& root, uint32_t apoLocation);
  uint32_t ParseProperties(const tinyxml2::XMLElement& element);
  bool UsesMode(const tinyxml2::XMLElement& element) const;

  QORUTSValueList properties_;
  std::wstring productName_;
  std::vector<std::shared_ptr<QORAPOOperatingMode>> modes_;
  QORAPOModeIdentity defaultMode_;
  uint32_t selectorMode_ = kSelectorPlain;
};
