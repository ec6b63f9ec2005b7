#include "platform/QORNoDeviceInterfaces.h"

#include "platform/QORWinError.h"

std::vector<std::wstring> QORNoDeviceInterfaces::Enumerate(const GUID&) {
  return {};
}

std::unique_ptr<IQORDeviceFile> QORNoDeviceInterfaces::Open(const std::wstring&, uint32_t* error) {
  if (error != nullptr) *error = ERROR_FILE_NOT_FOUND;
  return nullptr;
}
