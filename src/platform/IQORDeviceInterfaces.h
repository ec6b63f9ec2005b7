#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/IQORDeviceFile.h"
#include "platform/QORGuid.h"

// Device interfaces of present devices, by interface class, and opening one by its path.
class IQORDeviceInterfaces {
 public:
  virtual ~IQORDeviceInterfaces() = default;
  // The device paths of the class's present interfaces, in enumeration order.
  virtual std::vector<std::wstring> Enumerate(const GUID& interfaceClass) = 0;
  // Opens for reading and writing, shared; null with the system error code when it cannot be
  // opened.
  virtual std::unique_ptr<IQORDeviceFile> Open(const std::wstring& path, uint32_t* error) = 0;
};
