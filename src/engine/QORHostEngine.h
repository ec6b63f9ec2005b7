#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "apo/IQORAPOHostState.h"
#include "endpoint/QORAPOEndpointInfo.h"
#include "platform/IAudioMediaType.h"
#include "platform/IAudioProcessingObject.h"
#include "platform/IAudioProcessingObjectConfiguration.h"
#include "platform/IAudioProcessingObjectRT.h"
#include "platform/QORAPOTypes.h"
#include "platform/QORComPtr.h"
#include "platform/QORLoadedModule.h"

// The audio engine's part for one endpoint: loads the module, creates the APO objects registered at
// the chosen positions in engine order, initialises them with the endpoint, negotiates the stream's
// format, locks them and carries each period through them in turn with the connection buffers and
// flags the engine would use. Everything but Process, ContinueAfterPause and the getters runs on
// the configuration thread; Process on the real-time thread only.
class QORHostEngine {
 public:
  struct Stage {
    int location = 0;
    CLSID clsid{};
    std::string name;  // the class's friendly name
    QORComPtr<IAudioProcessingObject> apo;
    QORComPtr<IAudioProcessingObjectRT> rt;
    QORComPtr<IAudioProcessingObjectConfiguration> configuration;
    QORComPtr<IQORAPOHostState> state;
    std::vector<float> output;
    APO_CONNECTION_PROPERTY outputProperty{};
  };

  QORHostEngine() = default;
  QORHostEngine(const QORHostEngine&) = delete;
  QORHostEngine& operator=(const QORHostEngine&) = delete;
  ~QORHostEngine();

  bool LoadModule(const std::wstring& path, std::string* error);
  // Creates and initialises the class registered at each location, in the order given. Objects
  // made for discovery only answer what they would do (their effects lists) but never stream.
  bool Create(const QORAPOEndpointInfo& endpoint, const std::vector<int>& locations,
              std::string* error, bool discoveryOnly = false);
  // Asks every object for this stream format (input and output alike); a refusal names the channel
  // counts that every object accepts, a rate answered with another one is refused.
  bool Negotiate(int channels, int rate, std::string* error);
  // Locks every object for periods of at most periodFrames frames.
  bool Lock(uint32_t periodFrames, std::string* error);
  // Real-time. One period of the locked length through every object; silent marks digital
  // silence. The result stays valid until the next call.
  const float* Process(const float* input, bool silent);
  // Real-time. A period of frames frames (at most the locked length), interleaved; allocates
  // nothing.
  const float* Process(const float* input, uint32_t frames, bool silent);
  void Unlock();

  const std::vector<Stage>& Stages() const { return stages_; }
  bool GetState(size_t stage, QORAPOHostStateInfo* info) const;
  bool GetRebuildCount(size_t stage, uint32_t* count) const;
  // Between periods: the time since the last one was a pause of ours, not a stall.
  void ContinueAfterPause();
  // Sum of the objects' latencies, in frames at the stream's rate.
  int64_t LatencyFrames() const;
  int64_t StageLatencyFrames(size_t stage) const;
  int Rate() const { return rate_; }

 private:
  static bool Accepts(IAudioProcessingObject* apo, int channels, int rate, bool* otherRate);

  // Loaded once and kept for the life of the process, as the engine keeps effect modules
  // resident: what the module set up for its objects is never torn down under a running exit.
  static QORLoadedModule& Module();
  std::vector<Stage> stages_;
  QORComPtr<IAudioMediaType> format_;
  std::vector<float> input_;
  int channels_ = 0;
  int rate_ = 0;
  uint32_t periodFrames_ = 0;
  bool locked_ = false;
};
