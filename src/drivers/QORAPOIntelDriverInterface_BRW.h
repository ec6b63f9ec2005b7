#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/IQORDeviceFile.h"
#include "platform/QORGuid.h"

// The conversation with the Broadwell audio DSP driver: fixed-layout requests through device I/O
// control on the driver's device interface. Every answer is the driver's data and is checked
// before use.
//
// Threads: the configuration thread. GetEffectsList makes one for its call and drops it; every
// request waits on the driver, so none belongs on the real-time thread.
class QORAPOIntelDriverInterface_BRW {
 public:
  static constexpr GUID kInterfaceClass = {
      0x75A73EF4, 0x699E, 0x4E19, {0xAC, 0xAC, 0x86, 0x31, 0xA3, 0x09, 0x5A, 0xD7}};
  static constexpr uint32_t kIoctlGet = 0x0022E5DA;        // module info, parameters
  static constexpr uint32_t kIoctlSetStatus = 0x0022E5DE;  // set status
  static constexpr uint32_t kCommandGetModuleInfo = 11;
  static constexpr uint32_t kCommandSetStatus = 13;
  static constexpr uint32_t kCommandGetParameter = 15;
  static constexpr uint32_t kHeaderSize = 16;
  static constexpr uint32_t kModuleInfoSize = 132;
  static constexpr uint32_t kModuleStringChars = 64;
  static constexpr uint32_t kSetStatusSize = 6;
  static constexpr uint32_t kParameterDataOffset = 17;
  static constexpr uint32_t kParameterDataMax = 64000;
  static constexpr uint32_t kParameterSize = kParameterDataOffset + kParameterDataMax;

  // Configuration. Opens nothing yet.
  explicit QORAPOIntelDriverInterface_BRW(uint32_t moduleId);
  virtual ~QORAPOIntelDriverInterface_BRW();
  QORAPOIntelDriverInterface_BRW(const QORAPOIntelDriverInterface_BRW&) = delete;
  QORAPOIntelDriverInterface_BRW& operator=(const QORAPOIntelDriverInterface_BRW&) = delete;

  // Configuration. Opens the first openable device of the interface class and keeps it; false
  // when none opens.
  bool OpenIntelDriver();
  bool IsOpen() const { return device_ != nullptr; }

  // Configuration, as every request below.
  bool GetModuleInfo(int32_t* status, std::string* name, std::string* second);
  bool SetStatus(int32_t* status);
  // Copies size bytes of the answer's data to data. False when the request failed, when size is
  // above what a request carries, when the answer's header did not arrive, or when the answer
  // states more data than the caller's buffer holds (then nothing is copied).
  bool GetParameter(uint32_t* status, uint32_t parameterId, void* data, uint32_t size);

  // Feature queries: true when the request succeeded, the status is 0 and the tested word is not.
  bool QueryParameter5();           // id 5, 4 bytes, word 0
  bool QueryParameter21Offset48();  // id 21, 92 bytes, word 0 and then word at 48
  bool QueryParameter21();          // id 21, 92 bytes, word 0
  bool QueryParameter22();          // id 22, 8 bytes, word 0
  // A direct read under the same conditions, testing the first word.
  bool ReadParameterWord0(uint32_t parameterId, uint32_t size);

 private:
  bool Request(uint32_t code, uint32_t command, std::vector<uint8_t>* output, uint32_t* returned,
               uint32_t* error);
  bool QueryWord(uint32_t parameterId, uint32_t size, uint32_t offset, uint32_t* word);

  std::unique_ptr<IQORDeviceFile> device_;
  uint32_t moduleId_;
};
