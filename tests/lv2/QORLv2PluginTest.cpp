// The plugin bundle run by a test host built on lilv, with the features PipeWire's filter-chain
// offers (urid:map, options, worker:schedule), against `qorapo process` on the same endpoint.
#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/log/log.h>
#include <lv2/options/options.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <cstdarg>
#include <map>
#include <memory>
#include <random>

#include "AllocationCounter.h"
#include "QORHostRunner.h"

namespace {

using qortest::HostAudio;
using qortest::HostResult;

constexpr char kStereo[] = "urn:qorapo:lv2:stereo";
constexpr uint32_t kMaxBlock = 1024;

// The host side of the features: URIDs handed out in order, the options, a worker that is never
// asked for anything by this plugin yet (it must not be required).
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
    worker_ = {this, [](LV2_Worker_Schedule_Handle, uint32_t, const void*) {
                 return LV2_WORKER_ERR_NO_SPACE;
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
  const LV2_Feature* const* Features() const { return list_; }
  // Without the first `skip` features (urid:map is the first).
  const LV2_Feature* const* FeaturesFrom(int skip) const { return list_ + skip; }
  const std::string& Logged() const { return logged_; }

 private:
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
    if (instance_ == nullptr) return false;
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
    lilv_instance_activate(instance_);
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
  // The same state root with no endpoint at all.
  ASSERT_EQ(Run({"endpoint", "remove", "QOR Demo Speakers"}).code, 0);
  TestHost host;
  EXPECT_EQ(lilv_plugin_instantiate(plugin, 48000.0, host.Features()), nullptr);
  EXPECT_EQ(host.Logged(),
            "qorapo: the state root (QOR_ROOT) has no default render endpoint; create one with "
            "`qorapo demo-setup ROOT` or `qorapo endpoint add`\n");
}

}  // namespace
