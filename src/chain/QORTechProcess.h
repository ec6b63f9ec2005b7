#pragma once

// The contract between the host and the technology library: one object per process with a table of
// operations at fixed slots, three plain records and two exported functions. Both sides compile
// against this header; the layout is checked by tests because the library may be built separately.

#include <cstddef>
#include <cstdint>

// Channel role that marks the side-chain channel handed through TechCallback.
inline constexpr uint32_t kTechSideChainRole = 7;

// One planar channel of a Process call; the list is linked through next.
struct TechChannel {
  float* samples;     // frames floats of this channel
  uint32_t role;      // channel-map entry of the host (7: side chain)
  uint32_t reserved;  // padding, keeps next at offset 16
  TechChannel* next;  // following channel or null
};

// Host function the process calls during Process with one unlinked channel of role 7.
using TechSideChainFunction = void (*)(TechChannel* channel, uint32_t frames, void* context);

struct TechCallback {
  TechSideChainFunction function;
  void* context;
};

// Control types as the host reads them: only the hundredths type changes the host's scale (100.0).
inline constexpr uint32_t kTechControlInteger = 0;
inline constexpr uint32_t kTechControlSwitch = 1;      // 0 off, 1 on
inline constexpr uint32_t kTechControlHundredths = 2;  // value x 100 (dB, fractions)
inline constexpr uint32_t kTechControlEnumerated = 3;  // index into valueNames

// Description of one control. minimum and maximum travel to the host bit for bit.
struct TechControlDesc {
  const char* name;
  int32_t minimum;
  int32_t maximum;
  uint64_t reserved;  // never read by the host
  uint32_t valueNameCount;
  uint32_t reserved2;
  const char* const* valueNames;  // valueNameCount names, or null
  uint32_t type;
  float scale;  // read only by hosts that take the scale from the description
};

// The process object. Slots 0-3, 6, 12 and 13 are placeholders the host never calls. There is no
// virtual destructor on purpose: in the Itanium ABI it would take two slots and shift every
// operation; a process is destroyed only through QORTechDestroyProcess.
class TechProcess {
 public:
  virtual void Unused0() {}
  virtual void Unused1() {}
  virtual void Unused2() {}
  virtual void Unused3() {}
  // Frames per Process call; 0 accepts any length.
  virtual uint32_t GetBlockSize() = 0;
  // Frames of the process's own delay.
  virtual uint32_t GetLatency() = 0;
  virtual void Unused6() {}
  // Sets *descs to an array owned by the process and returns its length.
  virtual int32_t GetControlInfo(const TechControlDesc** descs) = 0;
  virtual bool SetControlInt(const char* name, int32_t value) = 0;
  virtual bool SetControlString(const char* name, const char* value) = 0;
  virtual bool GetControlInt(const char* name, int32_t* value) = 0;
  // *value points at text owned by the process, valid until the process is destroyed.
  virtual bool GetControlString(const char* name, const char** value) = 0;
  virtual void Unused12() {}
  virtual void Unused13() {}
  // Takes over the running state of another process of the same tech id.
  virtual bool TakeState(TechProcess* other) = 0;
  virtual bool Init(uint32_t channels, uint32_t sampleRate) = 0;
  // Works in place: output is the same list as input.
  virtual void Process(TechChannel* input, TechChannel* output, uint32_t frames,
                       const TechCallback* callback) = 0;

 protected:
  TechProcess() = default;
  TechProcess(const TechProcess&) = default;
  TechProcess& operator=(const TechProcess&) = default;
  ~TechProcess() = default;
};

extern "C" {
// Creates the process of techId; true with *process set on success.
using QORTechCreateProcessFunction = bool (*)(const char* techId, TechProcess** process);
// Destroys a process created by the same library; the host ignores the result.
using QORTechDestroyProcessFunction = bool (*)(TechProcess* process);
}

inline constexpr char kQORTechCreateProcessName[] = "QORTechCreateProcess";
inline constexpr char kQORTechDestroyProcessName[] = "QORTechDestroyProcess";

// Base names of the library; the platform's module suffix is appended (kQORModuleSuffix).
inline constexpr char kQORTechModule64[] = "qltech64";
inline constexpr char kQORTechModule32[] = "qltech32";
