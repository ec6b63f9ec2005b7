#pragma once

#include <map>
#include <string>
#include <vector>

#include "settings/QORAPOConfigurationFile.h"
#include "settings/QORAPOModeIdentity.h"

// What is known about the controls of one operating mode: for every control the technology
// library's processes describe (the control descriptions a chain's wrappers read), its range, type
// and value names; the host's own global switches as switches. Checks a value a person types
// against that and turns it into the text the settings keep.
class QORHostControlCatalog {
 public:
  struct Info {
    std::string name;    // as the process spells it
    std::string techId;  // the process that describes it; empty for the host's own
    int32_t minimum = 0;
    int32_t maximum = 0;
    uint32_t type = 0;  // kTechControl...
    float scale = 1.0f;
    std::vector<std::string> valueNames;
  };

  // Reads the descriptions of every process the mode runs at any position of the configuration
  // at path. False when the technology library could not be loaded (nothing is then described
  // but the global switches); libraryPath tells where it was looked for.
  bool Load(const std::wstring& path, const QORAPOModeIdentity& mode);
  const std::string& LibraryPath() const { return libraryPath_; }
  const std::vector<std::string>& TechIds() const { return techIds_; }

  // The description of a control name (an instance prefix is looked past); null when none.
  const Info* Find(const std::string& name) const;

  // value as the settings keep it: switches as 1 or 0 (also from On/Off, Enabled/Disabled),
  // enumerated controls as their value name (also from the index), numbers as whole numbers.
  // False with a message naming the range when the value does not fit; a control without a
  // description takes any text.
  bool Check(const std::string& name, const std::string& value, std::string* stored,
             std::string* error) const;

  // "-1200..1200 (-12.00..12.00)", "0..1", "Off, Peak, Low Shelf, High Shelf".
  static std::string RangeText(const Info& info);
  // "switch", "integer", "hundredths", "enumerated".
  static const char* TypeName(uint32_t type);

 private:
  std::map<std::string, Info> infos_;  // by lower-case name
  std::vector<std::string> techIds_;
  std::string libraryPath_;
};
