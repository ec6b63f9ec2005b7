#include "endpoint/QORAPOPublicSettingsReader.h"

#include <cstring>

#include "endpoint/QORAPOEndpointInfo.h"
#include "settings/QORPropertyControls.h"

QORAPOPublicSettingsReader::QORAPOPublicSettingsReader() {
  registry_.AttachPropertySet(&set_);
}

QORAPOPublicSettingsReader::~QORAPOPublicSettingsReader() {
  StopWatch();
}

void QORAPOPublicSettingsReader::OnRegistryChanged(QORPropertySetRegistry&) {
  std::vector<uint8_t> now = StoredBytes();
  std::lock_guard<std::mutex> lock(eventLock_);
  if (now == seen_) return;
  seen_ = std::move(now);
  if (changeEvent_ != nullptr) changeEvent_->Set();
}

std::vector<uint8_t> QORAPOPublicSettingsReader::StoredBytes() const {
  uint32_t type = REG_NONE;
  std::vector<uint8_t> bytes;
  if (key_.QueryValue(valueName_, &type, &bytes) != ERROR_SUCCESS) return {};
  std::vector<uint8_t> typed(sizeof(type));
  std::memcpy(typed.data(), &type, sizeof(type));
  typed.insert(typed.end(), bytes.begin(), bytes.end());
  return typed;
}

void QORAPOPublicSettingsReader::StopWatch() {
  registry_.WatchWithSink(nullptr);
  watching_ = false;
}

bool QORAPOPublicSettingsReader::Open(const QORAPOEndpointInfo& endpoint,
                                      const QORAPOOperatingMode& mode, IQOREvent* changeEvent) {
  {
    std::lock_guard<std::mutex> lock(eventLock_);
    changeEvent_ = changeEvent;
  }
  if (open_ && endpointGuid_ == endpoint.GetEndpointGuid() && mode_ == mode.GetModeIdentity()) {
    // An event given only now is signalled too.
    if (changeEvent != nullptr && !watching_) watching_ = registry_.WatchWithSink(this);
    return open_;
  }
  StopWatch();
  key_.Close();
  registry_.SetKey(nullptr);
  defaults_.Clear();
  open_ = false;
  if (QORRegistryKey::Open(QORRegistryHive::kLocalMachine, endpoint.GetRegistrySubkey(), kKeyRights,
                           key_) != ERROR_SUCCESS) {
    return false;
  }
  open_ = registry_.SetKey(&key_);
  path_ = endpoint.GetRegistrySubkey();
  valueName_ = mode.GetModeIdentity().GetTextWide();
  defaults_ = mode.GetPublicControls();
  mode_ = mode.GetModeIdentity();
  endpointGuid_ = endpoint.GetEndpointGuid();
  endpointText_ = endpoint.GetEndpointGuidText();
  {
    std::vector<uint8_t> now = StoredBytes();
    std::lock_guard<std::mutex> lock(eventLock_);
    seen_ = std::move(now);
  }
  if (changeEvent != nullptr) watching_ = registry_.WatchWithSink(this);
  return open_;
}

void QORAPOPublicSettingsReader::Close() {
  StopWatch();
  key_.Close();
  registry_.SetKey(nullptr);
  defaults_.Clear();
  open_ = false;
}

bool QORAPOPublicSettingsReader::Read(QORUTSValueList& out) {
  out.Clear();
  if (!open_) return false;
  // The set becomes exactly the stored value.
  if (!registry_.LoadBinary(valueName_, false, true, true)) return false;
  out = defaults_;
  QORPropertyControls::UpdateFrom(set_, out);
  return true;
}
