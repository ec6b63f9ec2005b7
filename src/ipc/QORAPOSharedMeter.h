#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "endpoint/QORAPOEndpointInfo.h"
#include "settings/QORSharedMemory.h"

// Per-channel peak levels of one endpoint, published to control applications in a 32-byte shared
// block guarded by a named mutex: eight little-endian floats, the highest level written since the
// last read. Index 0 is the input meter, 1 the output meter.
//
// The writer runs on the real-time path: it only tries the mutex and drops the period's levels
// when another process holds it, and it never allocates. A reader waits at most 1 ms.
class QORAPOSharedMeter : public QORSharedMemory {
 public:
  static constexpr uint32_t kChannels = 8;
  static constexpr uint32_t kBlockSize = kChannels * sizeof(float);
  static constexpr uint32_t kReadWaitMs = 1;

  QORAPOSharedMeter() = default;
  ~QORAPOSharedMeter() override;

  // "Global\QOR_" + the endpoint's display name + "_Meter_" + index, and that + "_Mutex". A blank
  // display name, or one another endpoint of the store composes too, gives way to the endpoint's
  // GUID text, so that no two endpoints share a meter.
  static std::wstring MappingName(const QORAPOEndpointInfo& endpoint, uint32_t index);
  static std::wstring MutexName(const std::wstring& mappingName);

  // Creates or opens the block and its mutex; true when both are held, else neither is used and
  // Obstacle() may say why. Close keeps the mutex for the next OpenCreate of the same block.
  virtual bool OpenCreate(const QORAPOEndpointInfo& endpoint, uint32_t index);
  // What keeps the last OpenCreate from opening, when something that is no meter's object stands
  // at the block's or mutex's name: "a FIFO is in the way of the meter block at <path>; remove
  // it". Empty when it opened or failed for another reason.
  const std::string& Obstacle() const { return obstacle_; }
  // The same, found by looking at the names without opening anything.
  static std::string InTheWay(const QORAPOEndpointInfo& endpoint, uint32_t index);
  virtual bool IsOpen() const;
  // Write (read false): merges values[0..7] into the block as peaks (absent channels become 0);
  // false when the meter is closed or the mutex is busy. Read (read true): values becomes the
  // eight levels and the block is cleared; on a closed meter values keeps its size, zeroed.
  // A block another process cut short (IsLost) answers false to both, said once in the trace log.
  virtual bool Update(std::vector<float>& values, bool read);

 private:
  bool Write(const std::vector<float>& values);
  bool Read(std::vector<float>& values);

  std::wstring name_;
  std::string obstacle_;
};
