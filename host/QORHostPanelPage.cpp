#include "QORHostPanelPage.h"

#include <cstring>

extern const QORHostPanelPage::File kQORHostPanelFiles[];

const QORHostPanelPage::File* QORHostPanelPage::Find(const std::string& path) {
  const std::string wanted = path == "/" ? "/index.html" : path;
  for (const File* file = kQORHostPanelFiles; file->path != nullptr; ++file) {
    if (wanted == file->path) return file;
  }
  return nullptr;
}
