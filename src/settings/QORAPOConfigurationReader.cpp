#include "settings/QORAPOConfigurationReader.h"

#include <array>
#include <string_view>

#include "settings/QORAPOChannelCode.h"
#include "settings/QORUTSNameList.h"

namespace {

constexpr std::array<const char*, 6> kPositions = {"PreBlue", "SFX", "MFX", "EFX", "OSFX", "OMFX"};

struct LayoutName {
  const char* name;
  uint32_t bits;
};

// Searched in this order; a piece takes the bits of the first name it contains.
constexpr std::array<LayoutName, 6> kLayoutNames = {{
    {"Mono", QORAPOChannelCode::kMono},
    {"Stereo", QORAPOChannelCode::kStereo},
    {"5.1 Surround", QORAPOChannelCode::kSurround51},
    {"7.1 Surround", QORAPOChannelCode::kSurround71},
    {"11.1 Surround", QORAPOChannelCode::kSurround111},
    {"Any", QORAPOChannelCode::kAnyLayout},
}};

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

const char* QORAPOConfigurationReader::PositionName(uint32_t apoLocation) {
  return apoLocation < kPositions.size() ? kPositions[apoLocation] : kInvalidPosition;
}

uint32_t QORAPOConfigurationReader::SpeakerMask(const char* text) {
  if (text == nullptr || *text == '\0') return QORAPOChannelCode::kAnyLayout;
  uint32_t mask = 0;
  std::string_view rest(text);
  while (true) {
    const size_t end = rest.find_first_of(";,");
    const std::string_view piece = rest.substr(0, end);
    for (const LayoutName& layout : kLayoutNames) {
      if (piece.find(layout.name) != std::string_view::npos) {
        mask |= layout.bits;
        break;
      }
    }
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return mask;
}

bool QORAPOConfigurationReader::EqualsNoCase(const char* text, const char* expected) {
  if (text == nullptr || expected == nullptr) return false;
  for (; *text != '\0' && *expected != '\0'; ++text, ++expected) {
    if (LowerAscii(*text) != LowerAscii(*expected)) return false;
  }
  return *text == *expected;
}

bool QORAPOConfigurationReader::IsNamed(const tinyxml2::XMLElement& element, const char* name) {
  return EqualsNoCase(element.Name(), name);
}

bool QORAPOConfigurationReader::ReadControls(const tinyxml2::XMLElement& parent,
                                             QORUTSValueList& list) {
  if (parent.NoChildren()) return false;
  for (const tinyxml2::XMLElement* child = parent.FirstChildElement(); child;
       child = child->NextSiblingElement()) {
    QORUTSValue control;
    if (ReadControl(*child, control)) list.Set(control);
  }
  return true;
}

bool QORAPOConfigurationReader::ReadControl(const tinyxml2::XMLElement& element,
                                            QORUTSValue& control) {
  if (!IsNamed(element, "control")) return false;
  const std::string name = AttributeText(element, "name");
  const std::string text = TextOf(element);
  if (name.empty() || text.empty()) return false;
  control = QORUTSValue(name, text.c_str());
  return true;
}

QORAPOModeIdentity QORAPOConfigurationReader::ReadIdentity(const QORUTSValueList& list) {
  QORAPOModeIdentity identity;
  if (const QORUTSValue* mode = list.Find(QORAPOModeIdentity::kModeName)) {
    identity.GetMode().SetValueText(mode->GetValueText());
  }
  if (const QORUTSValue* speakerType = list.Find(QORAPOModeIdentity::kSpeakerTypeName)) {
    identity.GetSpeakerType().SetValueText(speakerType->GetValueText());
  }
  return identity;
}

void QORAPOConfigurationReader::ReadMode(const tinyxml2::XMLElement& element, uint32_t apoLocation,
                                         QORAPOOperatingMode& mode) {
  for (const tinyxml2::XMLElement* child = element.FirstChildElement(); child;
       child = child->NextSiblingElement()) {
    QORUTSValue control;
    if (ReadControl(*child, control)) {
      const bool isPublic = EqualsNoCase(child->Attribute("public"), "true");
      (isPublic ? mode.GetPublicControls() : mode.GetPrivateControls()).Set(control);
    } else if (IsChainFor(*child, apoLocation)) {
      ChainEntry chain;
      if (ReadChain(*child, chain)) mode.GetChainDefinition().GetEntries().push_back(chain);
    }
  }

  // The identity lives among the private controls only; it is not a control of the mode itself.
  mode.GetModeIdentity() = ReadIdentity(mode.GetPrivateControls());
  mode.GetPrivateControls().Remove(
      QORUTSNameList{QORAPOModeIdentity::kModeName, QORAPOModeIdentity::kSpeakerTypeName});
  mode.GetControls() = mode.GetPublicControls();
  mode.GetControls().Merge(mode.GetPrivateControls(), QORUTSValueList::kMergeReplaceAndAdd);
}

bool QORAPOConfigurationReader::ReadChain(const tinyxml2::XMLElement& element, ChainEntry& chain) {
  chain = ChainEntry();
  chain.render = !EqualsNoCase(element.Attribute("type"), "capture");
  chain.inputMask = SpeakerMask(element.Attribute("input"));
  chain.outputMask = SpeakerMask(element.Attribute("output"));
  for (const tinyxml2::XMLElement* child = element.FirstChildElement(); child;
       child = child->NextSiblingElement()) {
    QORUTSValue control;
    if (ReadControl(*child, control)) {
      chain.controls.Set(control);
    } else if (IsNamed(*child, "process")) {
      ProcessEntry process{AttributeText(*child, "tech_id"), AttributeText(*child, "instance_id"),
                           AttributeText(*child, "hook")};
      if (!process.techId.empty()) chain.processes.push_back(process);
    }
  }
  return !chain.processes.empty();
}

bool QORAPOConfigurationReader::IsChainFor(const tinyxml2::XMLElement& element,
                                           uint32_t apoLocation) {
  if (apoLocation == 0) return IsNamed(element, "chain");
  if (apoLocation > 5 || !IsNamed(element, "chain_v2")) return false;
  const char* position = element.Attribute("position");
  return position != nullptr && std::string_view(position) == PositionName(apoLocation);
}

// The text of a control is its text and CDATA children joined; comments and nested elements
// carry no value.
std::string QORAPOConfigurationReader::TextOf(const tinyxml2::XMLElement& element) {
  std::string text;
  for (const tinyxml2::XMLNode* child = element.FirstChild(); child; child = child->NextSibling()) {
    if (const tinyxml2::XMLText* part = child->ToText()) text += part->Value();
  }
  return text;
}

std::string QORAPOConfigurationReader::AttributeText(const tinyxml2::XMLElement& element,
                                                     const char* name) {
  const char* value = element.Attribute(name);
  return value != nullptr ? std::string(value) : std::string();
}
