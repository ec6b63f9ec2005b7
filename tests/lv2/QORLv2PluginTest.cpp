// The plugin bundle run by a test host built on lilv, with the features PipeWire's filter-chain
// offers (urid:map, options, worker:schedule), against `qorapo process` on the same endpoint.
#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/log/log.h>
#include <lv2/options/options.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <cstdarg>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "AllocationCounter.h"
#include "QORHostRunner.h"

namespace {

using qortest::HostAudio;
using qortest::HostResult;

constexpr char kStereo[] = "urn:qorapo:lv2:stereo";
constexpr uint32_t kMaxBlock = 1024;

// Messages between the audio thread and the worker, in fixed slots: scheduling allocates nothing.
class MessageQueue {
 public:
  LV2_Worker_Status Push(uint32_t size, const void* data) {
    if (count_ == kSlots || size > kBytes) return LV2_WORKER_ERR_NO_SPACE;
    slots_[count_].size = size;
    std::memcpy(slots_[count_].bytes, data, size);
    ++count_;
    return LV2_WORKER_SUCCESS;
  }
  // Hands each message to deliver, oldest first, and empties the queue.
  template <typename Deliver>
  void Drain(Deliver&& deliver) {
    for (int i = 0; i < count_; ++i) deliver(slots_[i].size, slots_[i].bytes);
    count_ = 0;
  }

 private:
  static constexpr int kSlots = 8;
  static constexpr uint32_t kBytes = 64;
  struct Slot {
    uint32_t size;
    alignas(8) unsigned char bytes[kBytes];
  } slots_[kSlots]{};
  int count_ = 0;
};

// The host side of the features: URIDs handed out in order, the options, and a worker whose jobs
// run when the test says, between runs, as filter-chain runs them on its main loop.
class TestHost {
 public:
  // The log's printf is not used by the plugin (it formats through vprintf).
  TestHost() {
    map_ = {this, [](LV2_URID_Map_Handle handle, const char* uri) {
              auto& ids = static_cast<TestHost*>(handle)->ids_;
              return ids.emplace(uri, static_cast<LV2_URID>(ids.size() + 1)).first->second;
            }};
    options_[0] = {
        LV2_OPTIONS_INSTANCE, 0,         Map(LV2_BUF_SIZE__maxBlockLength), sizeof(int32_t),
        Map(LV2_ATOM__Int),   &maxBlock_};
    options_[1] = {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr};
    worker_ = {this, [](LV2_Worker_Schedule_Handle handle, uint32_t size, const void* data) {
                 return static_cast<TestHost*>(handle)->jobs_.Push(size, data);
               }};
    log_ = {this, nullptr, [](LV2_Log_Handle handle, LV2_URID, const char* format, va_list args) {
              char line[1024];
              const int n = std::vsnprintf(line, sizeof line, format, args);
              static_cast<TestHost*>(handle)->logged_ += line;
              return n;
            }};
    features_[0] = {LV2_URID__map, &map_};
    features_[1] = {LV2_OPTIONS__options, options_};
    features_[2] = {LV2_WORKER__schedule, &worker_};
    features_[3] = {LV2_LOG__log, &log_};
    for (int i = 0; i < 4; ++i) list_[i] = &features_[i];
    list_[4] = nullptr;
  }
  LV2_URID Map(const char* uri) { return map_.map(map_.handle, uri); }
  std::string Unmap(LV2_URID id) const {
    for (const auto& [uri, known] : ids_) {
      if (known == id) return uri;
    }
    return "";
  }
  const LV2_Feature* const* Features() const { return list_; }
  // Without the first `skip` features (urid:map is the first).
  const LV2_Feature* const* FeaturesFrom(int skip) const { return list_ + skip; }
  const std::string& Logged() const { return logged_; }
  // The scheduled jobs, through the plugin's worker interface, then their answers to it.
  void Work(LilvInstance* instance) {
    const auto* worker = static_cast<const LV2_Worker_Interface*>(
        lilv_instance_get_extension_data(instance, LV2_WORKER__interface));
    ASSERT_NE(worker, nullptr);
    LV2_Handle handle = lilv_instance_get_handle(instance);
    jobs_.Drain([&](uint32_t size, const void* data) {
      worker->work(
          handle,
          [](LV2_Worker_Respond_Handle self, uint32_t n, const void* answer) {
            return static_cast<TestHost*>(self)->answers_.Push(n, answer);
          },
          this, size, data);
    });
    answers_.Drain(
        [&](uint32_t size, const void* data) { worker->work_response(handle, size, data); });
  }

 private:
  MessageQueue jobs_;
  MessageQueue answers_;
  std::map<std::string, LV2_URID> ids_;
  LV2_URID_Map map_{};
  int32_t maxBlock_ = kMaxBlock;
  LV2_Options_Option options_[2]{};
  LV2_Worker_Schedule worker_{};
  LV2_Log_Log log_{};
  std::string logged_;
  LV2_Feature features_[4]{};
  const LV2_Feature* list_[5]{};
};

class Lv2PluginTest : public qortest::HostToolTest {
 protected:
  void SetUp() override {
    HostToolTest::SetUp();
    world_ = lilv_world_new();
    LilvNode* bundle = lilv_new_file_uri(world_, nullptr, QOR_LV2_BUNDLE);
    lilv_world_load_bundle(world_, bundle);
    lilv_node_free(bundle);
  }
  void TearDown() override {
    if (instance_ != nullptr) {
      lilv_instance_deactivate(instance_);
      lilv_instance_free(instance_);
    }
    lilv_world_free(world_);
    HostToolTest::TearDown();
  }

  const LilvPlugin* Plugin(const char* uri) {
    LilvNode* node = lilv_new_uri(world_, uri);
    const LilvPlugin* plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world_), node);
    lilv_node_free(node);
    return plugin;
  }

  uint32_t PortIndex(const LilvPlugin* plugin, const char* symbol) {
    LilvNode* node = lilv_new_string(world_, symbol);
    const LilvPort* port = lilv_plugin_get_port_by_symbol(plugin, node);
    lilv_node_free(node);
    return port == nullptr ? UINT32_MAX : lilv_port_get_index(plugin, port);
  }

  // A stereo instance at rate with every port connected to these members, activated.
  bool Open(int rate) {
    const LilvPlugin* plugin = Plugin(kStereo);
    if (plugin == nullptr) return false;
    instance_ = lilv_plugin_instantiate(plugin, rate, host_.Features());
    if (instance_ == nullptr || !Connect(plugin)) return false;
    lilv_instance_activate(instance_);
    return true;
  }
  // Every port of instance_ connected to these members.
  bool Connect(const LilvPlugin* plugin) {
    for (int c = 0; c < 2; ++c) {
      in_[c].assign(kMaxBlock, 0.0f);
      out_[c].assign(kMaxBlock, 0.0f);
    }
    const std::pair<const char*, void*> ports[] = {
        {"in_l", in_[0].data()},    {"in_r", in_[1].data()}, {"out_l", out_[0].data()},
        {"out_r", out_[1].data()},  {"enabled", &enabled_},  {"endpoint", &endpoint_},
        {"positions", &positions_}, {"latency", &latency_},  {"input_peak", &peaks_[0]},
        {"output_peak", &peaks_[1]}};
    for (const auto& [symbol, data] : ports) {
      const uint32_t index = PortIndex(plugin, symbol);
      if (index == UINT32_MAX) return false;
      lilv_instance_connect_port(instance_, index, data);
    }
    return true;
  }
  // Runs n frames of input from frame `from` of audio (zeros past its end), appending the output.
  void RunFrom(const HostAudio& audio, size_t from, uint32_t n, std::vector<float>* got) {
    for (uint32_t f = 0; f < n; ++f) {
      for (int c = 0; c < 2; ++c) {
        in_[c][f] = from + f < audio.Frames() ? audio.samples[(from + f) * 2 + c] : 0.0f;
      }
    }
    lilv_instance_run(instance_, n);
    for (uint32_t f = 0; f < n; ++f) {
      for (int c = 0; c < 2; ++c) got->push_back(out_[c][f]);
    }
  }

  // A second render endpoint, whose one process lifts 1 kHz by 6 dB (Music) with no limiter.
  // Returns its GUID and its place among the active render endpoints (the endpoint port's value).
  std::pair<std::string, uint32_t> AddSecondEndpoint() {
    std::ofstream(File("eq.xml")) << qortest::kEqConfiguration;
    const HostResult added = Run({"endpoint", "add", "Test Headphones", "--config", File("eq.xml"),
                                  "--fx", "SFX", "--json"});
    EXPECT_EQ(added.code, 0) << added.err;
    const std::string guid = added.Json()["guid"].get<std::string>();
    uint32_t index = 0;
    for (const auto& entry : Run({"endpoint", "list", "--json"}).Json()) {
      if (entry["flow"] != "render" || entry["state"] != "active") continue;
      ++index;
      if (entry["guid"] == guid) return {guid, index};
    }
    ADD_FAILURE() << "the new endpoint is not listed";
    return {guid, 0};
  }
  // The 1 kHz level of `qorapo process` on file in.wav through the endpoint from 0.2 to 0.5 s,
  // and its latency.
  std::pair<double, int64_t> Reference(const std::string& endpoint) {
    const HostResult result =
        Run({"process", File("in.wav"), File("ref.wav"), "--endpoint", endpoint, "--json"});
    EXPECT_EQ(result.code, 0) << result.err;
    const HostAudio out = qortest::ReadHostAudio(File("ref.wav"));
    return {qortest::ToneDb(out, kToneHz, kToneAmplitude, 0.2, 0.5),
            result.Json()["output"]["latency_frames"].get<int64_t>()};
  }
  // Runs the whole of audio in calls of n frames, the worker's jobs done after each.
  std::vector<float> RunAll(const HostAudio& audio, uint32_t n,
                            const std::function<void(size_t)>& before = nullptr) {
    std::vector<float> got;
    got.reserve(audio.samples.size());
    for (size_t done = 0; done < audio.Frames(); done += n) {
      if (before) before(done);
      RunFrom(audio, done, n, &got);
      host_.Work(instance_);
    }
    return got;
  }
  static constexpr double kToneAmplitude = 0.25;
  // Off the runs' grid of whole periods, so that changes do not all meet a zero crossing.
  static constexpr double kToneHz = 997.0;

  LilvWorld* world_ = nullptr;
  TestHost host_;
  LilvInstance* instance_ = nullptr;
  std::vector<float> in_[2], out_[2];
  float enabled_ = 1.0f, endpoint_ = 0.0f, positions_ = 0.0f, latency_ = -1.0f, peaks_[2] = {};
};

TEST_F(Lv2PluginTest, RunsOfChangingLengthGiveWhatTheHostShellGivesAtTheLatencyItReports) {
  ASSERT_EQ(Run({"sample", File("in.wav"), "--seconds", "3"}).code, 0);
  const HostResult reference = Run({"process", File("in.wav"), File("ref.wav"), "--json"});
  ASSERT_EQ(reference.code, 0) << reference.err;
  const int64_t latency = reference.Json()["output"]["latency_frames"].get<int64_t>();
  const HostAudio input = qortest::ReadHostAudio(File("in.wav"));
  const HostAudio expected = qortest::ReadHostAudio(File("ref.wav"));
  ASSERT_EQ(input.channels, 2);
  ASSERT_EQ(expected.Frames(), input.Frames() + static_cast<size_t>(latency));

  ASSERT_TRUE(Open(input.rate));
  // Runs of 1 to the maximum frames, changing every call; the tail pushed out with zeros.
  std::mt19937 random(7);
  std::uniform_int_distribution<uint32_t> lengths(1, kMaxBlock);
  std::vector<float> got;
  got.reserve(expected.samples.size());
  uint64_t allocations = 0;
  for (size_t done = 0; done < expected.Frames();) {
    const auto n =
        static_cast<uint32_t>(std::min<size_t>(lengths(random), expected.Frames() - done));
    const size_t before = got.size();
    {
      const qortest::AllocationScope scope;
      RunFrom(input, done, n, &got);
      // The first runs may still settle; a steady run allocates nothing.
      if (done > expected.Frames() / 2) allocations += scope.Count();
    }
    // The peak ports give this run's peaks in dBFS (-144 for silence).
    float peak[2] = {};
    for (size_t i = before; i < got.size(); ++i) {
      peak[0] = std::max(peak[0], std::fabs(in_[(i - before) % 2][(i - before) / 2]));
      peak[1] = std::max(peak[1], std::fabs(got[i]));
    }
    for (int k = 0; k < 2; ++k) {
      const float db = peak[k] > 0.0f ? std::max(-144.0f, 20.0f * std::log10(peak[k])) : -144.0f;
      ASSERT_NEAR(peaks_[k], db, 0.01f) << (k == 0 ? "input" : "output") << " at " << done;
    }
    done += n;
  }
  const float reported = latency_;
  EXPECT_EQ(static_cast<int64_t>(reported), latency);
  EXPECT_EQ(allocations, 0u);
  ASSERT_EQ(got.size(), expected.samples.size());
  float worst = 0.0f;
  size_t at = 0;
  for (size_t i = 0; i < got.size(); ++i) {
    if (std::fabs(got[i] - expected.samples[i]) > worst) {
      worst = std::fabs(got[i] - expected.samples[i]);
      at = i;
    }
  }
  // -100 dBFS.
  EXPECT_LE(worst, 1e-5f) << "at frame " << at / 2 << " of " << got.size() / 2;
}

// Switched off and on while a tone plays: the output fades to the input delayed by the latency
// (which stays reported) and back, without a click at either switch.
TEST_F(Lv2PluginTest, BypassFadesToTheDelayedInputAndBackWithoutAClick) {
  const HostAudio tone = qortest::Tones({1000.0}, 0.25, 1.5);
  ASSERT_TRUE(Open(tone.rate));
  std::vector<float> got;
  float reported = -1.0f;
  for (size_t done = 0; done < tone.Frames(); done += 480) {
    enabled_ = done >= 24000 && done < 48000 ? 0.0f : 1.0f;  // off from 0.5 s to 1.0 s
    RunFrom(tone, done, 480, &got);
    if (reported < 0.0f) reported = latency_;
    ASSERT_EQ(latency_, reported) << done;
  }
  const auto latency = static_cast<size_t>(reported);
  ASSERT_GT(latency, 0u);
  // Off, once the 10 ms fade is over: the input as it went in, latency frames later.
  for (size_t n = 24000 + 480; n < 48000; ++n) {
    ASSERT_EQ(got[2 * n], tone.samples[2 * (n - latency)]) << n;
  }
  // On, before and after: the objects' output, which is not the delayed input.
  float apart = 0.0f;
  for (size_t n = 48000 + 960; n < tone.Frames(); ++n) {
    apart = std::max(apart, std::fabs(got[2 * n] - tone.samples[2 * (n - latency)]));
  }
  EXPECT_GT(apart, 0.01f);
  EXPECT_LE(qortest::WorstStep(HostAudio{2, tone.rate, got}, 1000.0, 4800, got.size() / 2), 1.05);
}

// The endpoint port changed while audio runs: the worker starts the other endpoint's objects, which
// fade in over 10 ms without a click; the audio thread allocates nothing for it, the latency port
// then gives the new objects' latency, and the level is the one `qorapo process` gives there.
TEST_F(Lv2PluginTest, ChangingTheEndpointWhileRunningFadesToItsObjectsOffTheAudioThread) {
  const auto [guid, index] = AddSecondEndpoint();
  ASSERT_GT(index, 0u);
  const HostAudio tone = qortest::Tones({kToneHz}, kToneAmplitude, 1.5);
  ASSERT_TRUE(qortest::WriteHostAudio(File("in.wav"), tone));
  const auto [demoDb, demoLatency] = Reference("QOR Demo Speakers");
  const auto [otherDb, otherLatency] = Reference("Test Headphones");
  ASSERT_GT(std::fabs(otherDb - demoDb), 3.0) << "the endpoints must sound apart";
  ASSERT_NE(otherLatency, demoLatency);

  // To the other endpoint at 0.5 s, back to the default at 1.0 s.
  ASSERT_TRUE(Open(tone.rate));
  uint64_t allocations = 0;
  std::vector<float> got;
  got.reserve(tone.samples.size());
  for (size_t done = 0; done < tone.Frames(); done += 480) {
    if (done == 24000) endpoint_ = static_cast<float>(index);
    if (done == 48000) endpoint_ = 0.0f;
    if (done == 24000 - 480 || done == 48000 - 480) {
      ASSERT_EQ(static_cast<int64_t>(latency_), done < 24000 ? demoLatency : otherLatency);
    }
    {
      const qortest::AllocationScope scope;
      RunFrom(tone, done, 480, &got);
      if (done > 4800) allocations += scope.Count();
    }
    host_.Work(instance_);  // the main loop, where the objects start and stop
  }
  EXPECT_EQ(allocations, 0u);
  EXPECT_EQ(static_cast<int64_t>(latency_), demoLatency);
  const HostAudio out{2, tone.rate, got};
  EXPECT_NEAR(qortest::ToneDb(out, kToneHz, kToneAmplitude, 0.2, 0.5), demoDb, 0.1);
  // The change lands within two runs, the latency and the fade, however long the objects took
  // to start; the other endpoint's process holds no state that moves with time.
  EXPECT_NEAR(qortest::ToneDb(out, kToneHz, kToneAmplitude, 0.55, 1.0), otherDb, 0.1);
  // The two objects' outputs are apart by their latencies, so a fade may dip as they cancel, but
  // no step exceeds the louder steady state's: a sum of two tones never outgrows the larger. The
  // incoming objects are heard only once their output holds the tone, never its sudden start.
  const auto largestStep = [&](double from, double to) {
    float largest = 0.0f;
    for (auto n = static_cast<size_t>(from * tone.rate); n < static_cast<size_t>(to * tone.rate);
         ++n) {
      largest = std::max(largest, std::fabs(got[2 * n] - got[2 * n - 2]));
    }
    return largest;
  };
  const float steady =
      std::max({largestStep(0.3, 0.5), largestStep(0.7, 1.0), largestStep(1.2, 1.5)});
  EXPECT_LE(largestStep(0.5, 0.7), 1.02f * steady);
  EXPECT_LE(largestStep(1.0, 1.2), 1.02f * steady);
}

// Hosts with state keep the endpoint by its GUID, which stays right when indices move; a saved
// endpoint that is gone leaves the running objects and says why.
TEST_F(Lv2PluginTest, StateKeepsTheChosenEndpointByItsGuidAndPositions) {
  const auto [guid, index] = AddSecondEndpoint();
  const HostAudio tone = qortest::Tones({kToneHz}, kToneAmplitude, 1.0);
  ASSERT_TRUE(qortest::WriteHostAudio(File("in.wav"), tone));
  const double otherDb = Reference("Test Headphones").first;
  const double demoDb = Reference("QOR Demo Speakers").first;

  endpoint_ = static_cast<float>(index);
  positions_ = 2.0f;  // SFX alone
  ASSERT_TRUE(Open(tone.rate));
  using Saved = std::map<std::string, std::pair<std::string, std::vector<char>>>;
  struct Store {
    TestHost* host;
    Saved values;
  } store{&host_, {}};
  const auto* state = static_cast<const LV2_State_Interface*>(
      lilv_instance_get_extension_data(instance_, LV2_STATE__interface));
  ASSERT_NE(state, nullptr);
  ASSERT_EQ(state->save(
                lilv_instance_get_handle(instance_),
                [](LV2_State_Handle handle, uint32_t key, const void* value, size_t size,
                   uint32_t type, uint32_t) {
                  auto* self = static_cast<Store*>(handle);
                  const auto* bytes = static_cast<const char*>(value);
                  self->values[self->host->Unmap(key)] = {self->host->Unmap(type),
                                                          std::vector<char>(bytes, bytes + size)};
                  return LV2_STATE_SUCCESS;
                },
                &store, LV2_STATE_IS_POD, nullptr),
            LV2_STATE_SUCCESS);
  ASSERT_EQ(store.values.size(), 2u);
  const auto& [endpointType, endpointBytes] = store.values["urn:qorapo:lv2#endpoint"];
  EXPECT_EQ(endpointType, LV2_ATOM__String);
  EXPECT_EQ(std::string(endpointBytes.data()), guid);
  const auto& [positionsType, positionsBytes] = store.values["urn:qorapo:lv2#positions"];
  EXPECT_EQ(positionsType, LV2_ATOM__Int);
  ASSERT_EQ(positionsBytes.size(), sizeof(int32_t));
  int32_t positions = 0;
  std::memcpy(&positions, positionsBytes.data(), sizeof positions);
  EXPECT_EQ(positions, 2);
  lilv_instance_deactivate(instance_);
  lilv_instance_free(instance_);
  instance_ = nullptr;

  // A new instance whose endpoint port holds the demonstration endpoint's index, as an index
  // saved beside the state does once endpoints moved: restored before activation, the state wins;
  // the ports' values count once they change.
  const auto restore = [&](const Saved& values) {
    std::pair<TestHost*, const Saved*> context{&host_, &values};
    return state->restore(
        lilv_instance_get_handle(instance_),
        [](LV2_State_Handle handle, uint32_t key, size_t* size, uint32_t* type, uint32_t* flags) {
          auto* self = static_cast<std::pair<TestHost*, const Saved*>*>(handle);
          const auto found = self->second->find(self->first->Unmap(key));
          if (found == self->second->end()) return static_cast<const void*>(nullptr);
          *size = found->second.second.size();
          *type = self->first->Map(found->second.first.c_str());
          *flags = LV2_STATE_IS_POD;
          return static_cast<const void*>(found->second.second.data());
        },
        &context, 0, nullptr);
  };
  endpoint_ = index == 1 ? 2.0f : 1.0f;
  positions_ = 0.0f;
  const LilvPlugin* plugin = Plugin(kStereo);
  instance_ = lilv_plugin_instantiate(plugin, tone.rate, host_.Features());
  ASSERT_NE(instance_, nullptr);
  ASSERT_EQ(restore(store.values), LV2_STATE_SUCCESS);
  ASSERT_TRUE(Connect(plugin));
  lilv_instance_activate(instance_);
  HostAudio out{2, tone.rate, RunAll(tone, 480)};
  EXPECT_NEAR(qortest::ToneDb(out, kToneHz, kToneAmplitude, 0.2, 0.5), otherDb, 0.1);

  // A saved endpoint that is no more: refused, the log says why, the objects stay.
  Saved gone = store.values;
  const std::string missing = "{0DE30001-51A7-4C0E-9A0D-7E4D000000FF}";
  gone["urn:qorapo:lv2#endpoint"].second.assign(missing.c_str(),
                                                missing.c_str() + missing.size() + 1);
  EXPECT_EQ(restore(gone), LV2_STATE_ERR_UNKNOWN);
  EXPECT_NE(host_.Logged().find("qorapo: the endpoint " + missing +
                                " that the saved state chose is not an active render endpoint"),
            std::string::npos)
      << host_.Logged();
  out.samples = RunAll(tone, 480);
  EXPECT_NEAR(qortest::ToneDb(out, kToneHz, kToneAmplitude, 0.2, 0.5), otherDb, 0.1);

  // The ports count again once they change.
  endpoint_ = 0.0f;
  out.samples = RunAll(tone, 480);
  EXPECT_NEAR(qortest::ToneDb(out, kToneHz, kToneAmplitude, 0.2, 0.5), demoDb, 0.1);
}

// No instance where the objects cannot run, and the host's log says why; without urid:map there is
// none either.
TEST_F(Lv2PluginTest, AnInstanceTheObjectsCannotRunIsRefusedWithTheReasonInTheLog) {
  const LilvPlugin* plugin = Plugin(kStereo);
  ASSERT_NE(plugin, nullptr);
  const struct {
    double rate;
    int skip;
    const char* logged;
  } cases[] = {
      {384000.0, 0, "qorapo: the KEL SFX APO object refuses 2 channels at 384000 Hz"},
      {48000.0, 1, ""},
  };
  for (const auto& c : cases) {
    TestHost host;
    EXPECT_EQ(lilv_plugin_instantiate(plugin, c.rate, host.FeaturesFrom(c.skip)), nullptr);
    EXPECT_EQ(host.Logged().rfind(c.logged, 0), 0u) << host.Logged();
  }
  // A host without log:log (filter-chain) gets the reason on standard error, for its journal.
  {
    TestHost host;
    const LV2_Feature* const mapOnly[] = {host.Features()[0], nullptr};
    testing::internal::CaptureStderr();
    EXPECT_EQ(lilv_plugin_instantiate(plugin, 384000.0, mapOnly), nullptr);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("qorapo: the KEL SFX APO object refuses 2 channels at 384000 Hz", 0), 0u)
        << err;
    EXPECT_EQ(host.Logged(), "");
  }
  // The same state root with no endpoint at all.
  ASSERT_EQ(Run({"endpoint", "remove", "QOR Demo Speakers"}).code, 0);
  TestHost host;
  EXPECT_EQ(lilv_plugin_instantiate(plugin, 48000.0, host.Features()), nullptr);
  EXPECT_EQ(host.Logged(),
            "qorapo: the state root (QOR_ROOT) has no default render endpoint; create one with "
            "`qorapo demo-setup ROOT` or `qorapo endpoint add`\n");
}

}  // namespace
