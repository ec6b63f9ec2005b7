#include "drivers/QORAPOIntelDriverInterface_BRW.h"

#include <cstring>

#include "common/QORTrace.h"
#include "drivers/QORDriverBytes.h"
#include "platform/QORDriverServices.h"

namespace {

constexpr const char* kBrwFile = "QORAPOIntelDriverInterface_BRW";

}  // namespace

QORAPOIntelDriverInterface_BRW::QORAPOIntelDriverInterface_BRW(uint32_t moduleId)
    : moduleId_(moduleId) {}

QORAPOIntelDriverInterface_BRW::~QORAPOIntelDriverInterface_BRW() = default;

bool QORAPOIntelDriverInterface_BRW::OpenIntelDriver() {
  device_.reset();
  IQORDeviceInterfaces& interfaces = QORDriverServices::DeviceInterfaces();
  for (const std::wstring& path : interfaces.Enumerate(kInterfaceClass)) {
    uint32_t error = 0;
    device_ = interfaces.Open(path, &error);
    if (device_ != nullptr) break;
  }
  // The handle as the system would show it: the invalid handle value when nothing opened.
  const uint32_t shown = device_ != nullptr
                             ? static_cast<uint32_t>(reinterpret_cast<uintptr_t>(device_.get()))
                             : 0xFFFFFFFFu;
  QORTrace({kBrwFile, __LINE__, "QORAPOIntelDriverInterface_BRW::OpenIntelDriver"},
           "Broadwell OpenIntelDriver() returned handle 0x%x\n", shown);
  return device_ != nullptr;
}

bool QORAPOIntelDriverInterface_BRW::Request(uint32_t code, uint32_t command,
                                             std::vector<uint8_t>* output, uint32_t* returned,
                                             uint32_t* error) {
  *returned = 0;
  *error = 0;
  if (device_ == nullptr) {
    *error = 6;  // ERROR_INVALID_HANDLE
    return false;
  }
  uint8_t header[kHeaderSize] = {};
  QORDriverBytes::PutU32(header + 0, moduleId_);
  QORDriverBytes::PutU32(header + 4, 0);
  QORDriverBytes::PutU32(header + 8, command);
  QORDriverBytes::PutU32(header + 12, static_cast<uint32_t>(output->size()) + kHeaderSize);
  const bool ok = device_->IoControl(code, header, kHeaderSize, output->data(),
                                     static_cast<uint32_t>(output->size()), returned, error);
  // A driver cannot have written more than it was given.
  if (*returned > output->size()) *returned = static_cast<uint32_t>(output->size());
  return ok;
}

bool QORAPOIntelDriverInterface_BRW::GetModuleInfo(int32_t* status, std::string* name,
                                                   std::string* second) {
  name->clear();
  second->clear();
  std::vector<uint8_t> answer(kModuleInfoSize, 0);
  uint32_t returned = 0;
  uint32_t error = 0;
  if (!Request(kIoctlGet, kCommandGetModuleInfo, &answer, &returned, &error)) {
    QORTrace({kBrwFile, __LINE__, "QORAPOIntelDriverInterface_BRW::GetModuleInfo"},
             "Intel GetModuleInfo DeviceIoControl failed, error %d\n", static_cast<int>(error));
    return false;
  }
  *status = static_cast<int32_t>(QORDriverBytes::GetU32(answer.data()));
  if (*status >= 0) {
    *name = QORDriverBytes::FieldText(answer.data() + 4, kModuleStringChars);
    *second = QORDriverBytes::FieldText(answer.data() + 4 + kModuleStringChars, kModuleStringChars);
  }
  QORTrace({kBrwFile, __LINE__, "QORAPOIntelDriverInterface_BRW::GetModuleInfo"},
           "Intel GetModuleInfo: 0x%x, %s, %s\n", static_cast<uint32_t>(*status), name->c_str(),
           second->c_str());
  return *status >= 0;
}

bool QORAPOIntelDriverInterface_BRW::SetStatus(int32_t* status) {
  std::vector<uint8_t> buffer(kSetStatusSize, 0);
  buffer[4] = 0x01;
  buffer[5] = 0x01;
  uint32_t returned = 0;
  uint32_t error = 0;
  if (!Request(kIoctlSetStatus, kCommandSetStatus, &buffer, &returned, &error)) {
    QORTrace({kBrwFile, __LINE__, "QORAPOIntelDriverInterface_BRW::SetStatus"},
             "QORAPOIntelDriverInterface_BRW::SetStatus(), DeviceIoControl failed, error %d\n",
             static_cast<int>(error));
    return false;
  }
  *status = static_cast<int32_t>(QORDriverBytes::GetU32(buffer.data()));
  QORTrace({kBrwFile, __LINE__, "QORAPOIntelDriverInterface_BRW::SetStatus"},
           "QORAPOIntelDriverInterface_BRW::SetStatus(), OK - 0x%x\n",
           static_cast<uint32_t>(*status));
  return *status >= 0;
}

bool QORAPOIntelDriverInterface_BRW::GetParameter(uint32_t* status, uint32_t parameterId,
                                                  void* data, uint32_t size) {
  *status = 0;
  if (size > kParameterDataMax || (size > 0 && data == nullptr)) return false;
  // Each query has its own buffer, so instances never share an answer.
  std::vector<uint8_t> buffer(kParameterSize, 0);
  QORDriverBytes::PutU32(buffer.data() + 4, parameterId);
  QORDriverBytes::PutU32(buffer.data() + 13, size);
  uint32_t returned = 0;
  uint32_t error = 0;
  if (!Request(kIoctlGet, kCommandGetParameter, &buffer, &returned, &error)) return false;
  *status = QORDriverBytes::GetU32(buffer.data());
  QORTrace({kBrwFile, __LINE__, "QORAPOIntelDriverInterface_BRW::GetParameter"},
           "GetParameter returned is %d\n", static_cast<int>(returned));
  if (returned < kParameterDataOffset) return false;
  if (QORDriverBytes::GetU32(buffer.data() + 13) > size) return false;
  if (size > 0) std::memcpy(data, buffer.data() + kParameterDataOffset, size);
  return true;
}

bool QORAPOIntelDriverInterface_BRW::QueryWord(uint32_t parameterId, uint32_t size, uint32_t offset,
                                               uint32_t* word) {
  std::vector<uint8_t> data(size, 0);
  uint32_t status = 0;
  if (!GetParameter(&status, parameterId, data.data(), size) || status != 0) return false;
  *word = QORDriverBytes::GetU32(data.data() + offset);
  return true;
}

bool QORAPOIntelDriverInterface_BRW::ReadParameterWord0(uint32_t parameterId, uint32_t size) {
  uint32_t word = 0;
  return size >= 4 && QueryWord(parameterId, size, 0, &word) && word != 0;
}

bool QORAPOIntelDriverInterface_BRW::QueryParameter5() {
  return ReadParameterWord0(5, 4);
}

bool QORAPOIntelDriverInterface_BRW::QueryParameter21Offset48() {
  std::vector<uint8_t> data(92, 0);
  uint32_t status = 0;
  if (!GetParameter(&status, 21, data.data(), 92) || status != 0) return false;
  return QORDriverBytes::GetU32(data.data()) != 0 && QORDriverBytes::GetU32(data.data() + 48) != 0;
}

bool QORAPOIntelDriverInterface_BRW::QueryParameter21() {
  return ReadParameterWord0(21, 92);
}

bool QORAPOIntelDriverInterface_BRW::QueryParameter22() {
  return ReadParameterWord0(22, 8);
}
