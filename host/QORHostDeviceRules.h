#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "endpoint/QORAPOEndpointInfo.h"
#include "platform/QORGuid.h"
#include "platform/QORMMDeviceTypes.h"

// Which configuration a PipeWire device's endpoint gets when the device first appears: a file of
// [device] sections tried in order, the first whose patterns all match winning, and [fallback]
// sections for every other device. Patterns are shell globs on the node name and the
// description; a section may be limited to one direction.
//
//   [device]
//   node = alsa_output.usb-*
//   configuration = headphones.xml      # relative to the rules file
//   fx = SFX MFX EFX
//
//   [fallback]
//   direction = render
//   configuration = speakers.xml
//   fx = SFX
class QORHostDeviceRules {
 public:
  struct Rule {
    int line = 0;  // where the section starts, for messages
    bool fallback = false;
    int direction = -1;  // eRender, eCapture, or -1 for both
    std::string node;    // glob; empty matches any
    std::string description;
    std::string configuration;  // absolute
    // The fx positions' classes for a render and a capture device (the module's classes differ
    // at the local-effect position).
    CLSID render[QORAPOEndpointInfo::kPositionCount] = {};
    CLSID capture[QORAPOEndpointInfo::kPositionCount] = {};
    const CLSID* Classes(EDataFlow flow) const { return flow == eCapture ? capture : render; }
  };

  // devices.conf in the state root.
  static std::filesystem::path DefaultPath();
  // Reads the file; false with "file:line: what is wrong" otherwise.
  bool Load(const std::filesystem::path& path, std::string* error);
  // The rule for a device, or null when none matches and no fallback applies.
  const Rule* Choose(EDataFlow flow, const std::string& node, const std::string& description) const;
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::vector<Rule> rules_;
};
