#include "FakeDeviceInterfaces.h"
#include "drivers/QORDriverBytes.h"

#include <algorithm>
#include <cstring>

namespace qortest {

namespace {

constexpr uint32_t kIoctlGet = 0x0022E5DA;
constexpr uint32_t kIoctlSetStatus = 0x0022E5DE;
constexpr uint32_t kErrorInvalidFunction = 1;
constexpr uint32_t kErrorInvalidParameter = 87;

class FakeDeviceFile : public IQORDeviceFile {
 public:
  explicit FakeDeviceFile(FakeDeviceInterfaces* owner) : owner_(owner) {}
  bool IoControl(uint32_t code, const void* input, uint32_t inputSize, void* output,
                 uint32_t outputSize, uint32_t* returned, uint32_t* error) override {
    return owner_->Answer(code, input, inputSize, output, outputSize, returned, error);
  }

 private:
  FakeDeviceInterfaces* owner_;
};

}  // namespace

std::vector<std::wstring> FakeDeviceInterfaces::Enumerate(const GUID& cls) {
  std::vector<std::wstring> paths;
  if (!(cls == interfaceClass)) return paths;
  for (const Device& device : devices) paths.push_back(device.path);
  return paths;
}

std::unique_ptr<IQORDeviceFile> FakeDeviceInterfaces::Open(const std::wstring& path,
                                                           uint32_t* error) {
  std::lock_guard<std::mutex> hold(lock_);
  openAttempts_.push_back(path);
  for (const Device& device : devices) {
    if (device.path == path && device.openable) return std::make_unique<FakeDeviceFile>(this);
  }
  if (error != nullptr) *error = path.empty() ? 2 : 5;
  return nullptr;
}

std::vector<FakeDeviceInterfaces::Request> FakeDeviceInterfaces::Requests() {
  std::lock_guard<std::mutex> hold(lock_);
  return requests_;
}

std::vector<std::wstring> FakeDeviceInterfaces::OpenAttempts() {
  std::lock_guard<std::mutex> hold(lock_);
  return openAttempts_;
}

bool FakeDeviceInterfaces::Answer(uint32_t code, const void* input, uint32_t inputSize,
                                  void* output, uint32_t outputSize, uint32_t* returned,
                                  uint32_t* error) {
  const auto* in = static_cast<const uint8_t*>(input);
  auto* out = static_cast<uint8_t*>(output);
  {
    std::lock_guard<std::mutex> hold(lock_);
    requests_.push_back({code, {in, in + inputSize}, {out, out + outputSize}});
  }
  *returned = 0;
  if (ioFails) {
    *error = 31;
    return false;
  }
  if (inputSize != 16 || QORDriverBytes::GetU32(in) != moduleId ||
      QORDriverBytes::GetU32(in + 4) != 0 || QORDriverBytes::GetU32(in + 12) != outputSize + 16) {
    *error = kErrorInvalidParameter;
    return false;
  }
  const uint32_t command = QORDriverBytes::GetU32(in + 8);
  if (command == 11 && code == kIoctlGet && outputSize == 132) {
    std::memset(out, 0, outputSize);
    QORDriverBytes::PutU32(out, static_cast<uint32_t>(moduleStatus));
    std::memcpy(out + 4, moduleName.data(), std::min<size_t>(moduleName.size(), 64));
    std::memcpy(out + 68, moduleSecond.data(), std::min<size_t>(moduleSecond.size(), 64));
    *returned = 132;
    return true;
  }
  if (command == 13 && code == kIoctlSetStatus && outputSize == 6) {
    QORDriverBytes::PutU32(out, static_cast<uint32_t>(setStatusAnswer));
    *returned = 6;
    return true;
  }
  if (command == 15 && code == kIoctlGet && outputSize == 64017) {
    const uint32_t id = QORDriverBytes::GetU32(out + 4);
    const auto found = parameters.find(id);
    if (found == parameters.end()) {
      QORDriverBytes::PutU32(out, 0xC0000225u);
      *returned = 17;
      return true;
    }
    const auto status = parameterStatus.find(id);
    QORDriverBytes::PutU32(out, status != parameterStatus.end() ? status->second : 0);
    const size_t size = std::min<size_t>(found->second.size(), 64000);
    QORDriverBytes::PutU32(out + 13, overrideStatedSize ? statedSize : static_cast<uint32_t>(size));
    if (size > 0) std::memcpy(out + 17, found->second.data(), size);
    *returned = static_cast<uint32_t>(17 + size);
    return true;
  }
  *error = kErrorInvalidFunction;
  return false;
}

}  // namespace qortest
