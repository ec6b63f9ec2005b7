// Driver answers as both DSP driver interfaces receive them. The input is:
//   byte 0      bit 0: the parameter answer states the size below instead of its own
//   bytes 1-5   the Skylake version answer
//   bytes 6-9   that stated size
//   bytes 10-11 length L of the Skylake module list answer, then L bytes of it
//   the rest    parameter data for the Skylake answer; for Broadwell, a 32-bit count of bytes the
//               driver claims to have written, then the bytes it writes into every output buffer.
// Whatever the answers say, nothing is read past what arrived or written past the caller's
// buffer (the sanitizers watch), and the module strings stay within their fields.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "drivers/KELAPOIntelDriverInterface_SKL.h"
#include "drivers/QORAPOIntelDriverInterface_BRW.h"
#include "platform/QORDriverServices.h"

// The test support's fake Skylake topology; its driver side answers from the input.
#include "../../tests/support/FakeDeviceTopology.cpp"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

class RawDeviceFile : public IQORDeviceFile {
 public:
  RawDeviceFile(uint32_t claimed, const uint8_t* bytes, size_t size)
      : claimed_(claimed), bytes_(bytes), size_(size) {}
  bool IoControl(uint32_t, const void*, uint32_t, void* output, uint32_t outputSize,
                 uint32_t* returned, uint32_t*) override {
    std::memcpy(output, bytes_, std::min<size_t>(size_, outputSize));
    *returned = claimed_;
    return true;
  }

 private:
  uint32_t claimed_;
  const uint8_t* bytes_;
  size_t size_;
};

class RawDeviceInterfaces : public IQORDeviceInterfaces {
 public:
  RawDeviceInterfaces(uint32_t claimed, const uint8_t* bytes, size_t size)
      : claimed_(claimed), bytes_(bytes), size_(size) {}
  std::vector<std::wstring> Enumerate(const GUID&) override { return {L"raw"}; }
  std::unique_ptr<IQORDeviceFile> Open(const std::wstring&, uint32_t*) override {
    return std::make_unique<RawDeviceFile>(claimed_, bytes_, size_);
  }

 private:
  uint32_t claimed_;
  const uint8_t* bytes_;
  size_t size_;
};

uint32_t Load(const uint8_t* bytes) {
  uint32_t value;
  std::memcpy(&value, bytes, sizeof(value));
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 12) return 0;
  const bool override = (data[0] & 1) != 0;
  const size_t listLength = std::min<size_t>(data[10] | (data[11] << 8), size - 12);
  const uint8_t* list = data + 12;
  const uint8_t* rest = list + listLength;
  const size_t restSize = size - 12 - listLength;

  {
    qortest::FakeDeviceTopology fake;
    std::memcpy(fake.version, data + 1, 5);
    fake.modules.clear();
    fake.rawModuleList.assign(list, list + listLength);
    if (fake.rawModuleList.empty()) fake.rawModuleList.push_back(0);
    fake.overrideStatedSize = override;
    fake.statedSize = Load(data + 6);
    fake.parameters[0x10014407].assign(rest, rest + std::min<size_t>(restSize, 64000));
    fake.parameters[0x10014405].assign(rest, rest + std::min<size_t>(restSize, 64000));
    QORDriverServices::Install(nullptr, &fake);
    HRESULT status = E_FAIL;
    {
      KELAPOIntelDriverInterface_SKL driver(&status);
      Check(driver.ModuleName().size() <= 64 && driver.ModuleVersion().size() <= 64);
      Check(status != S_OK || driver.HasControl());
      std::vector<uint8_t> answer(16, 0xEE);
      HRESULT hr = E_FAIL;
      if (driver.GetParameter(&hr, 0x10014407, answer.data(), 16)) Check(hr == S_OK);
      driver.Query10014405Offset16();
    }
    QORDriverServices::Install(nullptr, nullptr);
  }

  if (restSize >= 4) {
    RawDeviceInterfaces raw(Load(rest), rest + 4, restSize - 4);
    QORDriverServices::Install(&raw, nullptr);
    {
      QORAPOIntelDriverInterface_BRW driver(9);
      Check(driver.OpenIntelDriver());
      int32_t status = 0;
      std::string name, second;
      driver.GetModuleInfo(&status, &name, &second);
      Check(name.size() <= 64 && second.size() <= 64);
      driver.SetStatus(&status);
      std::vector<uint8_t> answer(92, 0xEE);
      uint32_t parameterStatus = 0;
      driver.GetParameter(&parameterStatus, 21, answer.data(), 92);
      driver.QueryParameter21Offset48();
      driver.QueryParameter5();
    }
    QORDriverServices::Install(nullptr, nullptr);
  }
  return 0;
}
