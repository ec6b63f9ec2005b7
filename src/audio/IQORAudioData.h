#pragma once

#include <cstdint>

// One period of audio: frames x channels samples with a sample rate and a role per channel, held
// interleaved, planar or both; the other form is produced on demand.
//
// Threads: one thread at a time, the one that owns the buffer: the real-time thread for period
// buffers, the thread that builds a chain or initialises the manager while it sizes them. On the
// real-time thread no operation may allocate: Init keeps the storage, and GetSamples and CopyFrom
// fill storage reserved at set-up, allocating only for a period larger than the reserve.
template <typename T>
class IQORAudioData {
 public:
  virtual ~IQORAudioData() = default;
  // Sets the format, drops both sample forms (keeping their storage) and resets the channel map.
  virtual bool Init(uint32_t frames, uint32_t channels, uint32_t sampleRate) = 0;
  // Samples in the requested form, converting or zero-filling when that form is missing; null when
  // the buffer holds no samples (0 frames or 0 channels). Writers pass discardOther so that the
  // other form cannot go stale.
  virtual T* GetSamples(bool discardOther, bool interleaved) = 0;
  virtual void ReleaseSamples() = 0;
  virtual uint32_t GetFrameCount() const = 0;
  virtual uint32_t GetChannelCount() const = 0;
  virtual void SetSampleRate(uint32_t sampleRate) = 0;
  virtual uint32_t GetSampleRate() const = 0;
  virtual void SetTag(uint32_t tag) = 0;
  virtual uint32_t GetTag() const = 0;
  virtual void Clear() = 0;
  virtual void CopyFrom(IQORAudioData<T>& source) = 0;
  // May allocate: not for the period path.
  virtual void AddChannels(uint32_t count) = 0;
  // Shortens the period; no samples move.
  virtual void SetFrameCount(uint32_t frames) = 0;
  virtual void SetDefaultChannelMap() = 0;
  virtual bool SetChannelMapEntry(uint32_t index, uint32_t value) = 0;
  virtual uint32_t GetChannelMapEntry(uint32_t index) const = 0;
};

// Channel role that marks no speaker position; also the cap of the default map.
constexpr uint32_t kQORChannelRoleNone = 12;
// Role of the side-chain channel that the capture pipe fills; meters leave it out.
constexpr uint32_t kQORChannelRoleSideChain = 7;
