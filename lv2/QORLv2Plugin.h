#pragma once

#include <lv2/core/lv2.h>
#include <lv2/log/logger.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/QORHostEngine.h"
#include "platform/QORGuid.h"

// One endpoint's APO objects as an LV2 plugin instance of a fixed channel count.
// Threads: the host's instantiation thread calls the constructor, Activate, Restore and the
// destructor. Its audio thread calls ConnectPort, Run and WorkResponse, which never allocate,
// lock, wait or make a system call. The worker (filter-chain: its main loop) calls Work, where
// objects are started for a new endpoint or positions and the replaced ones are stopped. Save
// may come from any thread but the audio one.
class QORLv2Plugin {
 public:
  // Ports after the 2 x channels audio ports, in this order.
  enum ControlPort : uint32_t {
    kEnabled = 0,   // lv2:enabled: below 0.5 passes the input through, delayed as processed
    kEndpoint = 1,  // 0: the default render endpoint, N: the N-th active one
    kPositions =
        2,         // bit per position (0 local effect ... 5); 0: those registered at SFX, MFX, EFX
    kLatency = 3,  // output: the objects' total latency in frames
    kInputPeak = 4,  // output: the last run's input peak, dBFS
    kOutputPeak = 5,
    kControlPorts = 6,
  };
  // Longest run the objects are locked for when the host announces no maximum.
  static constexpr uint32_t kDefaultMaxBlock = 4096;
  // Bypass switches and changes of objects crossfade over this long.
  static constexpr float kFadeSeconds = 0.01f;
  // State keys: the chosen endpoint's GUID as a string, and the positions port's value.
  static constexpr char kStateEndpoint[] = "urn:qorapo:lv2#endpoint";
  static constexpr char kStatePositions[] = "urn:qorapo:lv2#positions";

  QORLv2Plugin(uint32_t channels, double rate, const std::string& bundle,
               const LV2_Feature* const* features);
  QORLv2Plugin(const QORLv2Plugin&) = delete;
  QORLv2Plugin& operator=(const QORLv2Plugin&) = delete;
  ~QORLv2Plugin();

  // False once the objects could not be started (the reason went to the host's log).
  bool Ready() const { return chain_ != nullptr; }
  void ConnectPort(uint32_t port, void* data);
  // Starts the objects again when the endpoint or positions ports changed since they started.
  void Activate();
  void Run(uint32_t frames);
  LV2_Worker_Status Work(LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle,
                         uint32_t size, const void* data);
  LV2_Worker_Status WorkResponse(uint32_t size, const void* data);
  LV2_State_Status Save(LV2_State_Store_Function store, LV2_State_Handle handle);
  LV2_State_Status Restore(LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle);

 private:
  // One started set of objects, with the input delayed by their latency for bypass.
  struct Chain {
    std::unique_ptr<QORHostEngine> engine;
    GUID endpoint = GUID_NULL;
    uint32_t positions = 0;
    int64_t latency = 0;
    std::vector<float> dry;
    size_t dryAt = 0;
    ~Chain();
  };
  // What travels through the worker: start objects for ports' values, or stop replaced ones.
  struct Job {
    enum Kind : uint32_t { kStart, kStop } kind;
    uint32_t endpoint;
    uint32_t positions;
    Chain* chain;
  };

  // endpointGuid, when not null, chooses the endpoint instead of its index; null on failure,
  // with the reason logged.
  std::unique_ptr<Chain> Start(uint32_t endpoint, const GUID* endpointGuid, uint32_t positions);
  void Log(const std::string& error);
  uint32_t PortValue(ControlPort port) const;
  // Asks the worker for objects when the ports chose others, and to stop replaced ones.
  void Schedule();
  // chain's sample for channel c of frame f of its result, mixed with its delayed input by wet_.
  float Mixed(Chain* chain, const float* result, uint32_t f, uint32_t c, float input);
  void Advance(Chain* chain) const;
  void Remember(const Chain& chain);

  uint32_t channels_;
  int rate_;
  std::string bundle_;
  uint32_t maxBlock_ = kDefaultMaxBlock;
  LV2_URID_Map* map_ = nullptr;
  LV2_Log_Logger logger_{};
  const LV2_Worker_Schedule* worker_ = nullptr;
  std::unique_ptr<Chain> chain_;
  // The ports' values chain_ (or the one being started) answers; adoptPorts_: take the ports'
  // next values as they are, since restored state chose the endpoint.
  uint32_t wantedEndpoint_ = 0;
  uint32_t wantedPositions_ = 0;
  bool adoptPorts_ = false;
  bool starting_ = false;
  // Objects the worker started, faded in over the current ones; then the current ones go to
  // the worker to be stopped (held in stopping_ until it takes them).
  std::unique_ptr<Chain> next_;
  float swap_ = 0.0f;
  int64_t warmed_ = 0;  // frames next_ has run
  Chain* stopping_ = nullptr;
  // What Save stores: the objects last started.
  std::mutex chosenLock_;
  GUID chosenEndpoint_ = GUID_NULL;
  uint32_t chosenPositions_ = 0;

  float wet_ = 1.0f;
  float fadeStep_ = 1.0f;
  std::vector<const float*> inputs_;
  std::vector<float*> outputs_;
  std::vector<float*> controls_;
  std::vector<float> interleaved_;
};
