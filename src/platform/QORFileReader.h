#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

// Reads a whole file that another local user may have planted or may be swapping while it is read:
// the file is opened once, without blocking and without following a link in its last component,
// and everything after that asks the open descriptor, so the file checked is the file read.
class QORFileReader {
 public:
  enum class Result {
    kOk,
    kMissing,     // no such file (or a folder of the path is missing)
    kNotRegular,  // a folder, pipe, device, socket or link
    kTooLarge,    // more than the limit, also when it grew while being read
    kFailed,      // no access or a read error
  };

  // Replaces text with the contents of the regular file at path when it holds at most maxBytes.
  // text is left empty on failure.
  static Result ReadRegularFile(const std::filesystem::path& path, size_t maxBytes,
                                std::string& text);
};
