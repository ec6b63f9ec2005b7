#include "ipc/QORAPOSharedMeter.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "common/QORTrace.h"
#include "platform/IQORNamedMutex.h"
#include "platform/IQORSharedMemory.h"
#include "platform/QOREndpointStore.h"

namespace {

float LoadLevel(const uint8_t* view, uint32_t channel) {
  float level;
  std::memcpy(&level, view + channel * sizeof(float), sizeof(float));
  return level;
}

void StoreLevel(uint8_t* view, uint32_t channel, float level) {
  std::memcpy(view + channel * sizeof(float), &level, sizeof(float));
}

}  // namespace

// The block is stored as the machine's floats; the layout is little-endian IEEE-754.
static_assert(std::endian::native == std::endian::little);

QORAPOSharedMeter::~QORAPOSharedMeter() {
  Close();
}

std::wstring QORAPOSharedMeter::MappingName(const QORAPOEndpointInfo& endpoint, uint32_t index) {
  std::wstring identifier = endpoint.GetDisplayName();
  // A name that does not tell the endpoint apart (none at all, or another endpoint's too) would
  // make two endpoints' hosts write one block: the endpoint's GUID stands in for it then.
  const bool blank = identifier.find_first_not_of(L' ') == std::wstring::npos;
  if (!endpoint.GetEndpointGuidText().empty() &&
      (blank || QOREndpointStore::IsDisplayNameShared(endpoint.IsRender() ? eRender : eCapture,
                                                      endpoint.GetEndpointGuid(), identifier))) {
    identifier = endpoint.GetEndpointGuidText();
  }
  return L"Global\\QOR_" + identifier + L"_Meter_" + std::to_wstring(index);
}

std::wstring QORAPOSharedMeter::MutexName(const std::wstring& mappingName) {
  return mappingName + L"_Mutex";
}

std::string QORAPOSharedMeter::InTheWay(const QORAPOEndpointInfo& endpoint, uint32_t index) {
  const std::wstring name = MappingName(endpoint, index);
  std::string what;
  std::string path;
  if (QORSharedMemoryInTheWay(name, &what, &path)) {
    return what + " is in the way of the meter block at " + path + "; remove it";
  }
  if (QORNamedMutexInTheWay(MutexName(name), &what, &path)) {
    return what + " is in the way of the meter's mutex at " + path + "; remove it";
  }
  return {};
}

bool QORAPOSharedMeter::OpenCreate(const QORAPOEndpointInfo& endpoint, uint32_t index) {
  const QORTracePoint where{"QORAPOSharedMeter", __LINE__, "QORAPOSharedMeter::OpenCreate"};
  obstacle_.clear();
  const std::wstring name = MappingName(endpoint, index);
  // Opening another endpoint or index moves the meter there rather than keeping the old block.
  if (GetView() != nullptr && name_ != name) Close();
  bool opened = Create(name, kBlockSize, false);
  if (opened) {
    name_ = name;
    opened = GetView() != nullptr || MapView() != nullptr;
  }
  // A mutex kept from another block would guard nothing here.
  if (opened) opened = HoldMutex(MutexName(name), where);
  if (opened) return true;
  // A block without its mutex could be neither written nor read: readers would find it busy
  // forever. Nothing is held then, so that readers see the meter as closed.
  Close();
  obstacle_ = InTheWay(endpoint, index);
  return false;
}

bool QORAPOSharedMeter::IsOpen() const {
  return GetView() != nullptr;
}

bool QORAPOSharedMeter::Update(std::vector<float>& values, bool read) {
  return read ? Read(values) : Write(values);
}

bool QORAPOSharedMeter::Write(const std::vector<float>& values) {
  const QORTracePoint where{"QORAPOSharedMeter", __LINE__, "QORAPOSharedMeter::Write"};
  uint8_t* view = static_cast<uint8_t*>(GetView());
  if (view == nullptr || CheckLost(where) || !LockMutex(0)) return false;
  for (uint32_t i = 0; i < kChannels; ++i) {
    if (i < values.size()) {
      // Written as "keep unless at least as high" so that a NaN on either side is replaced.
      if (!(LoadLevel(view, i) >= values[i])) StoreLevel(view, i, values[i]);
    } else {
      StoreLevel(view, i, 0.0f);
    }
  }
  UnlockMutex();
  // Cut short meanwhile: the levels went to private memory that no reader sees.
  return !CheckLost(where);
}

bool QORAPOSharedMeter::Read(std::vector<float>& values) {
  const QORTracePoint where{"QORAPOSharedMeter", __LINE__, "QORAPOSharedMeter::Read"};
  uint8_t* view = static_cast<uint8_t*>(GetView());
  if (view == nullptr || !HasMutex() || CheckLost(where)) {
    std::fill(values.begin(), values.end(), 0.0f);
    return false;
  }
  if (!LockMutex(kReadWaitMs)) return false;
  values.resize(kChannels);
  for (uint32_t i = 0; i < kChannels; ++i) {
    values[i] = LoadLevel(view, i);
    StoreLevel(view, i, 0.0f);
  }
  UnlockMutex();
  if (CheckLost(where)) {
    std::fill(values.begin(), values.end(), 0.0f);
    return false;
  }
  return true;
}
