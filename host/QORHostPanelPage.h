#pragma once

#include <string>

// The control panel's page, built into the program from host/panel: nothing is read from disk
// or fetched from anywhere else when it is served.
class QORHostPanelPage {
 public:
  struct File {
    const char* path;  // "/index.html"
    const char* type;  // its Content-Type
    const char* text;
  };

  // The file served at path ("/" is "/index.html"); null when there is none.
  static const File* Find(const std::string& path);
};
