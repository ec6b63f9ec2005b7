#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The changes a run makes while it plays: "SECONDS:NAME=VALUE" (a control) and
// "SECONDS:mode=MODE" (the current mode), in file order.
class QORHostSchedule {
 public:
  struct Change {
    double seconds = 0.0;
    int64_t frame = 0;  // the file position, set by Place
    std::string name;
    std::string value;
    std::string text;  // as given
  };

  // "NAME=VALUE"; false with a message for anything else.
  static bool ParseSetting(const std::string& text, std::string* name, std::string* value,
                           std::string* error);
  // Adds one "SECONDS:NAME=VALUE"; false with a message when it does not parse.
  bool Add(const std::string& text, std::string* error);
  // Sets each change's frame at rate and sorts them by position (stable for equal positions).
  void Place(int rate);

  std::vector<Change>& Changes() { return changes_; }
  const std::vector<Change>& Changes() const { return changes_; }

 private:
  std::vector<Change> changes_;
};
