#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/IQORDeviceInterfaces.h"

namespace qortest {

// A Broadwell-style DSP driver behind the device-interface services. It checks each request's
// header against its output buffer, answers module info, set status and parameter requests from
// the public configuration below, and records every request. Install it with
// QORDriverServices::Install; change the configuration only while no query runs.
class FakeDeviceInterfaces : public IQORDeviceInterfaces {
 public:
  struct Device {
    std::wstring path;
    bool openable = true;
  };
  struct Request {
    uint32_t code = 0;
    std::vector<uint8_t> input;
    std::vector<uint8_t> output;  // as the driver received it
  };

  // The interface class the devices belong to (others enumerate nothing).
  GUID interfaceClass{};
  std::vector<Device> devices;
  uint32_t moduleId = 9;
  bool ioFails = false;  // every request fails with error 31
  int32_t setStatusAnswer = 0;
  int32_t moduleStatus = 0;
  std::string moduleName = "LuxSnd01";  // up to 64 bytes; 64 leaves no NUL
  std::string moduleSecond = "PostProcessing";
  // Parameter data by id; the answer states its size. Absent ids answer status 0xC0000225.
  std::map<uint32_t, std::vector<uint8_t>> parameters;
  std::map<uint32_t, uint32_t> parameterStatus;
  // When set, the answer states this size instead of the data's.
  bool overrideStatedSize = false;
  uint32_t statedSize = 0;

  std::vector<std::wstring> Enumerate(const GUID& interfaceClass) override;
  std::unique_ptr<IQORDeviceFile> Open(const std::wstring& path, uint32_t* error) override;

  std::vector<Request> Requests();
  std::vector<std::wstring> OpenAttempts();
  // Answers one request as the driver would (used by the opened files).
  bool Answer(uint32_t code, const void* input, uint32_t inputSize, void* output,
              uint32_t outputSize, uint32_t* returned, uint32_t* error);

 private:
  std::mutex lock_;
  std::vector<Request> requests_;
  std::vector<std::wstring> openAttempts_;
};

}  // namespace qortest
