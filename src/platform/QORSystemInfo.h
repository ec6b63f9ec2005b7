#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

struct QOROSVersion {
  uint32_t major = 10;
  uint32_t minor = 0;
  uint32_t build = 0;
};

class QORSystemInfo {
 public:
  // The operating-system version the host reports and branches on: 10.0 unless a test set another.
  static QOROSVersion GetOSVersion();
  static void SetOSVersionForTesting(const QOROSVersion* version);  // null restores 10.0

  // The state root (QOR_ROOT, read on every call): registry hives, known folders and the
  // named-object namespace live below it. Default /var/lib/qorapo as root, else
  // ${XDG_STATE_HOME:-$HOME/.local/state}/qorapo.
  static std::filesystem::path GetStateRoot();
};
