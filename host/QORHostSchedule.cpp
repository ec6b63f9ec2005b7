#include "QORHostSchedule.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

bool QORHostSchedule::ParseSetting(const std::string& text, std::string* name, std::string* value,
                                   std::string* error) {
  const size_t equals = text.find('=');
  if (equals == std::string::npos || equals == 0) {
    *error = "'" + text + "' is not NAME=VALUE; write e.g. \"VAPO3-Process Enable=0\"";
    return false;
  }
  *name = text.substr(0, equals);
  *value = text.substr(equals + 1);
  return true;
}

bool QORHostSchedule::Add(const std::string& text, std::string* error) {
  const size_t colon = text.find(':');
  Change change;
  change.text = text;
  char* end = nullptr;
  const std::string seconds = colon == std::string::npos ? "" : text.substr(0, colon);
  change.seconds = std::strtod(seconds.c_str(), &end);
  if (seconds.empty() || end != seconds.c_str() + seconds.size() ||
      !std::isfinite(change.seconds) || change.seconds < 0.0) {
    *error = "'" + text + "' does not start with a position in seconds; write e.g. 2.5:mode=Movie";
    return false;
  }
  if (!ParseSetting(text.substr(colon + 1), &change.name, &change.value, error)) return false;
  changes_.push_back(change);
  return true;
}

void QORHostSchedule::Place(int rate) {
  for (Change& change : changes_) {
    change.frame = static_cast<int64_t>(std::llround(change.seconds * rate));
  }
  std::stable_sort(changes_.begin(), changes_.end(),
                   [](const Change& a, const Change& b) { return a.frame < b.frame; });
}
