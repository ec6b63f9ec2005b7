#include "settings/QORAPOConfigurationFile.h"

#include "common/QORTextConvert.h"
#include "common/QORTrace.h"
#include "settings/QORAPOConfigurationReader.h"
#include "settings/QORXMLDocumentCache.h"

uint32_t QORAPOConfigurationFile::Load(const std::wstring& path, uint32_t selectorMode,
                                       uint32_t apoLocation) {
  Reset(selectorMode);
  const std::shared_ptr<const tinyxml2::XMLDocument> document = QORXMLDocumentCache::Get(path);
  return LoadDocument(document.get(), selectorMode, apoLocation);
}

uint32_t QORAPOConfigurationFile::LoadFromText(std::string_view xml, uint32_t selectorMode,
                                               uint32_t apoLocation) {
  Reset(selectorMode);
  const std::shared_ptr<const tinyxml2::XMLDocument> document = QORXMLDocumentCache::Parse(xml);
  return LoadDocument(document.get(), selectorMode, apoLocation);
}

uint32_t QORAPOConfigurationFile::LoadDocument(const tinyxml2::XMLDocument* document,
                                               uint32_t selectorMode, uint32_t apoLocation) {
  Reset(selectorMode);
  QORTrace({"QORAPOConfigurationFile", __LINE__, "QORAPOConfigurationFile::Load"},
           "pXML->load %d\n", document != nullptr ? 1 : 0);
  if (document == nullptr) return kLoadNoProperties;

  const tinyxml2::XMLElement* root = document->RootElement();
  QORTrace({"QORAPOConfigurationFile", __LINE__, "QORAPOConfigurationFile::Load"},
           "pXML->get_documentElement 0x%p\n", static_cast<const void*>(root));
  if (root == nullptr || root->NoChildren() ||
      !QORAPOConfigurationReader::IsNamed(*root, "qor_configuration")) {
    return kLoadNoProperties;
  }
  return ParseRoot(*root, apoLocation);
}

void QORAPOConfigurationFile::Reset(uint32_t selectorMode) {
  selectorMode_ = selectorMode;
  productName_.clear();
  properties_.Clear();
  modes_.clear();
}

// Each properties element and each invalid mode overwrites the code, so the last of them decides.
uint32_t QORAPOConfigurationFile::ParseRoot(const tinyxml2::XMLElement& root,
                                            uint32_t apoLocation) {
  uint32_t code = kLoadNoProperties;
  for (const tinyxml2::XMLElement* child = root.FirstChildElement(); child;
       child = child->NextSiblingElement()) {
    if (QORAPOConfigurationReader::IsNamed(*child, "properties")) {
      code = ParseProperties(*child);
    } else if (QORAPOConfigurationReader::IsNamed(*child, "operating_mode") && UsesMode(*child)) {
      auto mode = std::make_shared<QORAPOOperatingMode>();
      mode->SetAutoMic(
          QORAPOConfigurationReader::EqualsNoCase(child->Attribute("auto_mic"), "true"));
      QORAPOConfigurationReader::ReadMode(*child, apoLocation, *mode);
      if (mode->GetModeIdentity().IsValid()) {
        modes_.push_back(mode);
      } else {
        code = kLoadInvalidMode;
      }
    }
  }
  if (code == kLoadOk) SetDefaultMode();
  return code;
}

uint32_t QORAPOConfigurationFile::ParseProperties(const tinyxml2::XMLElement& element) {
  if (!QORAPOConfigurationReader::ReadControls(element, properties_)) return kLoadEmptyProperties;
  if (const QORUTSValue* name = properties_.Find(kProductName)) {
    productName_ = QORUtf8ToWide(name->GetValueText());
  }
  return kLoadOk;
}

bool QORAPOConfigurationFile::UsesMode(const tinyxml2::XMLElement& element) const {
  const char* selector = element.Attribute("selector");
  if (selectorMode_ == kSelectorPlain) return selector == nullptr || *selector == '\0';
  if (selectorMode_ == kSelectorDsp)
    return QORAPOConfigurationReader::EqualsNoCase(selector, "dsp");
  return false;
}

bool QORAPOConfigurationFile::SetDefaultMode() {
  defaultMode_ = QORAPOConfigurationReader::ReadIdentity(properties_);
  if (defaultMode_.IsValid()) return true;
  if (!modes_.empty()) {
    defaultMode_ = modes_.front()->GetModeIdentity();
    return true;
  }
  QORTrace({"QORAPOConfigurationFile", __LINE__, "QORAPOConfigurationFile::SetDefaultMode"},
           "SetDefaultMode returning false...no modes available.\n");
  return false;
}

bool QORAPOConfigurationFile::FindOperatingMode(const QORAPOModeIdentity& id,
                                                std::shared_ptr<QORAPOOperatingMode>& out) const {
  int matches = 0;
  for (const auto& mode : modes_) {
    if (mode->GetModeIdentity() == id) {
      out = mode;
      ++matches;
    }
  }
  return matches == 1;
}

bool QORAPOConfigurationFile::FindAutoMicMode(const QORAPOModeIdentity& id,
                                              std::shared_ptr<QORAPOOperatingMode>& out) const {
  std::shared_ptr<QORAPOOperatingMode> exact;
  int matches = 0;
  const std::string speakerType = id.GetSpeakerType().GetValueText();
  for (const auto& mode : modes_) {
    if (mode->GetModeIdentity() == id) {
      exact = mode;
    } else if (mode->IsAutoMic() &&
               mode->GetModeIdentity().GetSpeakerType().GetValueText() == speakerType) {
      out = mode;
      ++matches;
    }
  }
  if (matches == 0 && exact) {
    out = exact;
    matches = 1;
  }
  return matches == 1;
}
