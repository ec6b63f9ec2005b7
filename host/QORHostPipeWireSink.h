#pragma once

#include <pipewire/pipewire.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/QORHostEngine.h"

// One endpoint's virtual node in PipeWire and the filter node with the endpoint's objects. For a
// render endpoint: a null sink named after it that applications play into, whose monitor the
// filter takes and plays into a device. For a capture endpoint: a virtual source named after it
// that applications record from, which the filter fills with a device's capture. It links the
// three itself (the session manager links only streams). The main loop's thread makes, connects and
// destroys it and handles the registry; PipeWire's data thread calls OnProcess, which never
// allocates, locks, waits or logs.
class QORHostPipeWireSink {
 public:
  enum class Flow { kRender, kCapture };
  struct Settings {
    Flow flow = Flow::kRender;
    std::string nodeName;     // the virtual node's node.name; the filter's is this + ".fx"
    std::string description;  // what mixers show
    std::string endpoint;     // the endpoint's GUID, which names it across re-reads of the store
    // The device's node.name; empty: the first real sink (render) or source (capture) there is.
    std::string target;
    // The channel counts to offer the objects, in order; the first they take is the node's.
    std::vector<int> channels = {2};
    int rate = 48000;
    uint32_t maxFrames = 8192;  // the longest cycle the objects are locked for
    // Starts the endpoint's objects for a channel count and rate (locked for maxFrames); null
    // with the reason.
    std::function<std::unique_ptr<QORHostEngine>(int channels, int rate, std::string* error)> start;
    // What happened, for the daemon's log: kind ("rate", "rebuild", "failed") and a sentence.
    std::function<void(const std::string& kind, const std::string& detail)> report;
  };

  // Starts the objects at settings.rate with the first channel count they take; Ready() says
  // whether they did.
  QORHostPipeWireSink(pw_core* core, pw_loop* loop, Settings settings, std::string* error);
  QORHostPipeWireSink(const QORHostPipeWireSink&) = delete;
  QORHostPipeWireSink& operator=(const QORHostPipeWireSink&) = delete;
  ~QORHostPipeWireSink();

  // Creates the virtual node, creates and connects the filter and starts watching the registry
  // for the device; false with the reason otherwise.
  bool Connect(std::string* error);
  bool Ready() const { return engine_ != nullptr; }
  // Main loop: the objects last started, their latency and rate.
  int64_t LatencyFrames() const { return latency_; }
  int Rate() const { return startedRate_; }
  // Main loop: how many times the objects rebuilt their chains since the node started (objects
  // rebuilding for the same change count once).
  uint32_t Rebuilds() const { return rebuilds_; }
  int Channels() const { return channels_; }
  const Settings& GetSettings() const { return settings_; }

 private:
  struct Port {
    uint32_t id;
    uint32_t node;
    bool output;
    std::string channel;
  };
  struct Node {
    uint32_t id;
    std::string name;
    bool device;  // a real (not virtual) node of the class this flow plays into or records from
  };

  static void OnProcess(void* data, spa_io_position* position);
  // Main loop: stops objects the data thread let go, starts them for a new rate.
  static void OnEvent(void* data, uint64_t count);
  // Main loop: hands objects a starter made for a new rate to the data thread, and says so.
  void TakeStarted();
  void PublishLatency();
  // Main loop, a few times a second: reports rebuilds (a setting changed) and publishes the
  // latency they leave.
  static void OnTimer(void* data, uint64_t expirations);
  uint32_t RebuildCount() const;
  static void OnGlobal(void* data, uint32_t id, uint32_t permissions, const char* type,
                       uint32_t version, const spa_dict* props);
  static void OnGlobalRemove(void* data, uint32_t id);
  void Process(uint32_t frames, uint32_t rate);
  // Data thread: frames of interleaved_ through the running objects; what to play.
  const float* Run(uint32_t frames, bool silent);
  // Data thread: keeps this input, and when read fills delayed_ with the input delay_ frames
  // back.
  void Delay(uint32_t frames, bool read);
  // Main loop: says once that the device lacks the node's channels, when it still does.
  void CheckLayout();
  // Links, channel by channel once all their ports are known: the sink's monitor to the filter
  // and the filter to the device (render), or the device to the filter and the filter to the
  // virtual source (capture).
  void TryLink();
  bool Capture() const { return settings_.flow == Flow::kCapture; }
  // The node's name of its channel c: MONO for one channel, else the usual positions.
  const char* ChannelName(int c) const;

  pw_core* core_;
  pw_loop* loop_;
  pw_proxy* virtual_ = nullptr;
  Settings settings_;
  int channels_ = 0;
  int64_t latency_ = 0;
  // The data thread's objects. Others reach it through incoming_ (started by the main loop for
  // another rate) and leave through outgoing_ (stopped by the main loop); wantedRate_ is the
  // graph's rate when the objects run at another, and the node passes its input meanwhile.
  QORHostEngine* engine_ = nullptr;
  std::atomic<QORHostEngine*> incoming_{nullptr};
  std::atomic<QORHostEngine*> outgoing_{nullptr};
  std::atomic<uint32_t> wantedRate_{0};
  int startedRate_ = 0;  // main loop: the rate of the objects last started
  // Objects for another rate start on a thread of their own, so that the main loop goes on
  // answering the graph's format and buffer changes meanwhile. The starter leaves its result and
  // sets startDone_; the main loop joins it.
  std::thread starter_;
  std::atomic<bool> startDone_{false};
  std::unique_ptr<QORHostEngine> startResult_;
  std::string startError_;
  // Data thread: objects that take over first run unheard for their latency (warm_ frames, the
  // input passing), then fade in from the input over fadeLength_ frames.
  std::atomic<int64_t> incomingLatency_{0};
  int64_t warm_ = 0;
  uint32_t fade_ = 0;
  uint32_t fadeLength_ = 0;
  std::vector<float> mixed_;
  // Data thread: the input as it was delay_ frames ago (the running objects' latency), which is
  // what passes while no objects run at the graph's rate, so that passing and processing keep
  // the same time and a change between them neither skips nor repeats.
  std::vector<float> delayed_;
  std::vector<float> ring_;
  uint32_t ringFrames_ = 0;
  uint32_t ringWrite_ = 0;
  uint32_t delay_ = 0;
  // Main loop: the objects last started (running, or about to take over), which only the main
  // loop deletes; and their rebuild count when last looked at.
  QORHostEngine* started_ = nullptr;
  uint32_t rebuildsSeen_ = 0;
  uint32_t rebuilds_ = 0;
  spa_source* timer_ = nullptr;
  spa_source* event_ = nullptr;
  pw_filter* filter_ = nullptr;
  pw_filter_events filterEvents_{};
  spa_hook filterListener_{};
  std::vector<void*> inputs_;
  std::vector<void*> outputs_;
  pw_registry* registry_ = nullptr;
  pw_registry_events registryEvents_{};
  spa_hook registryListener_{};
  std::vector<Port> ports_;
  std::vector<Node> nodes_;
  uint32_t device_ = SPA_ID_INVALID;
  std::vector<pw_proxy*> links_;
  // Main loop: the device's positions that this node's channels found no port for (empty when
  // none is missing), how many timer ticks the device has been without them, and whether that
  // was said. A device's ports come after its node, so the node waits a second before saying.
  std::string missing_;
  int missingTicks_ = 0;
  bool missingReported_ = false;
  std::vector<float> interleaved_;
};
