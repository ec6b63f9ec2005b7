#pragma once

#include "platform/IQORDeviceInterfaces.h"

// No vendor driver exists here: no class has a present interface and no path opens.
class QORNoDeviceInterfaces : public IQORDeviceInterfaces {
 public:
  std::vector<std::wstring> Enumerate(const GUID& interfaceClass) override;
  std::unique_ptr<IQORDeviceFile> Open(const std::wstring& path, uint32_t* error) override;
};
