#pragma once

#include <optional>
#include <string>

namespace qortest {

// A fresh private state root for one test: creates a temporary folder, points QOR_ROOT at it (child
// processes inherit it), and on destruction restores QOR_ROOT and removes the folder.
class TempStateRoot {
 public:
  TempStateRoot();
  ~TempStateRoot();
  TempStateRoot(const TempStateRoot&) = delete;
  TempStateRoot& operator=(const TempStateRoot&) = delete;

  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  std::optional<std::string> previous_;
};

}  // namespace qortest
