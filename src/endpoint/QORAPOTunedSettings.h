#pragma once

#include <cstdint>
#include <string>

#include "endpoint/QORAPOEndpointInfo.h"
#include "settings/QORAPOModeIdentity.h"
#include "settings/QORAPOOperatingMode.h"
#include "settings/QORPropertySet.h"
#include "settings/QORPropertySetSharedMem.h"
#include "settings/QORUTSValue.h"
#include "settings/QORUTSValueList.h"

// A machine-wide copy of every control of one operating mode of one endpoint, in a shared block,
// so that a tuning tool in another process can read and change the values while audio runs. The
// control "VAPO3-Tuning Mode" tells that such a tool is tuning.
//
// The block is named "Global\" + the endpoint's identity text + the mode identity's text, has the
// default size, and is guarded by that name + "_MuteX". Values written by other processes enter
// only on ReadControls or GetTuningMode. No lock of its own: one thread at a time.
class QORAPOTunedSettings {
 public:
  static constexpr const char* kTuningModeName = "VAPO3-Tuning Mode";

  QORAPOTunedSettings();
  QORAPOTunedSettings(const QORAPOTunedSettings&) = delete;
  QORAPOTunedSettings& operator=(const QORAPOTunedSettings&) = delete;
  virtual ~QORAPOTunedSettings();

  // Fills the tuned set with the mode's controls (private over public) and "VAPO3-Tuning Mode" 0,
  // and opens the block without writing it. With requireExisting, a block no process holds yet
  // gives false and nothing changes.
  virtual bool Open(const QORAPOEndpointInfo& endpoint, const QORAPOOperatingMode& mode,
                    bool requireExisting);
  virtual bool Close();
  virtual bool IsOpen();
  // The writes merge the block into the tuned set, change it and save it as one step under the
  // block's mutex, so writers in other processes keep each other's work; LastWriteCode() tells
  // why one failed.
  //
  // Writes one control the tuned set already holds and saves the block; false for another name.
  virtual bool WriteControl(const QORUTSValue& control);
  // Writes every control, adding new names, and saves the block.
  virtual bool WriteControls(const QORUTSValueList& controls);
  // Merges the block into the tuned set and carries the set into out: into an empty list every
  // text or whole-number entry, into a non-empty one only the names it holds. The carrying happens
  // also when the load fails; the result is whether it succeeded.
  virtual bool ReadControls(QORUTSValueList& out, bool clear);
  // Empties the tuned set and the block; the block's result code.
  virtual uint32_t Clear();

  // The block's result code of the last write (QORPropertySetSharedMem::kOk, kMutexTimeout, ...).
  uint32_t LastWriteCode() const { return lastWrite_; }

  // "VAPO3-Tuning Mode" after merging the block; 0 when it is missing or not a whole number.
  long GetTuningMode();

  static std::wstring BlockName(const QORAPOEndpointInfo& endpoint,
                                const QORAPOModeIdentity& identity);

 private:
  QORPropertySetSharedMem block_;
  QORPropertySet tuned_;
  uint32_t lastWrite_ = QORPropertySetSharedMem::kOk;
};
