// The LV2 plugin inside a real PipeWire, set up by the example filter-chain file: audio played into
// the virtual sink and recorded from the null device behind it, against `qorapo process`.
#include <csignal>
#include <fstream>
#include <memory>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "LocalHttp.h"
#include "PipeWireSession.h"
#include "QORHostRunner.h"

namespace {

namespace fs = std::filesystem;
using qortest::HostAudio;
using qortest::HostResult;
using qortest::PipeWireSession;

constexpr char kSink[] = "qorapo_demo_speakers";
constexpr char kSinkOutput[] = "qorapo_demo_speakers.output";
constexpr int kQuantum = 1024;
// Every client asks for the session's quantum, so no period is longer than that.
const std::string kLatency = std::to_string(kQuantum);

std::string ExampleFile() {
  return std::string(QOR_SOURCE_DIR) + "/examples/pipewire/qorapo-sink.conf";
}

// A few seconds of something like music: a chord that changes every half second, each note struck
// and decaying over noise, at the same level in both channels (the noise differs between them, so a
// swapped or merged pair shows). The last quarter second is silent: pw-play leaves out a file's
// last partial period.
HostAudio Music(int rate, double seconds) {
  static const double chords[][3] = {{220.0, 277.18, 329.63},
                                     {246.94, 311.13, 369.99},
                                     {196.0, 246.94, 293.66},
                                     {261.63, 329.63, 392.0}};
  HostAudio audio{2, rate, {}};
  const auto frames = static_cast<size_t>(seconds * rate);
  audio.samples.resize(frames * 2);
  std::mt19937 random(11);
  std::uniform_real_distribution<double> noise(-1.0, 1.0);
  for (size_t n = 0; n < frames; ++n) {
    const double t = static_cast<double>(n) / rate;
    const double beat = std::fmod(t, 0.5);
    const double envelope =
        t < seconds - 0.25 ? std::min(1.0, beat / 0.005) * std::exp(-beat / 0.15) : 0.0;
    const auto& chord = chords[static_cast<size_t>(t / 0.5) % 4];
    double tones = 0.0;
    for (const double hz : chord) tones += 0.15 * std::sin(2.0 * std::numbers::pi * hz * t);
    for (int c = 0; c < 2; ++c) {
      audio.samples[2 * n + c] = static_cast<float>(envelope * (tones + 0.05 * noise(random)));
    }
  }
  return audio;
}

double Rms(const HostAudio& audio, int channel, size_t begin, size_t end) {
  double sum = 0.0;
  for (size_t n = begin; n < end; ++n) {
    sum += static_cast<double>(audio.samples[n * audio.channels + channel]) *
           audio.samples[n * audio.channels + channel];
  }
  return std::sqrt(sum / static_cast<double>(std::max<size_t>(1, end - begin)));
}

// Where reference starts in recording: the lag of the largest cross-correlation, first of the
// 64-frame energy envelopes over every lag, then of the samples within two blocks of that.
size_t Lag(const HostAudio& recording, const HostAudio& reference) {
  constexpr size_t kBlock = 64;
  const auto envelope = [](const HostAudio& audio) {
    std::vector<double> blocks(audio.Frames() / kBlock);
    double mean = 0.0;
    for (size_t b = 0; b < blocks.size(); ++b) {
      blocks[b] = Rms(audio, 0, b * kBlock, (b + 1) * kBlock);
      mean += blocks[b] / static_cast<double>(blocks.size());
    }
    for (double& block : blocks) block -= mean;
    return blocks;
  };
  const std::vector<double> rec = envelope(recording);
  const std::vector<double> ref = envelope(reference);
  if (rec.size() < ref.size()) return 0;
  size_t coarse = 0;
  double best = -1e300;
  for (size_t lag = 0; lag + ref.size() <= rec.size(); ++lag) {
    double sum = 0.0;
    for (size_t b = 0; b < ref.size(); ++b) sum += rec[lag + b] * ref[b];
    if (sum > best) best = sum, coarse = lag;
  }
  size_t fine = coarse * kBlock;
  best = -1e300;
  const size_t first = coarse * kBlock > 2 * kBlock ? coarse * kBlock - 2 * kBlock : 0;
  for (size_t lag = first; lag <= coarse * kBlock + 2 * kBlock; ++lag) {
    if (lag + reference.Frames() > recording.Frames()) break;
    double sum = 0.0;
    for (size_t n = 0; n < reference.Frames(); ++n) {
      sum += static_cast<double>(recording.samples[2 * (lag + n)]) * reference.samples[2 * n];
    }
    if (sum > best) best = sum, fine = lag;
  }
  return fine;
}

// The recording against the reference that starts at lag in it, channel by channel: level,
// correlation and dropouts over the whole played span (the reference with its latency tail).
// allowance: frames of silence the graph itself lost in the same run (PipeWire's own loopback
// beside it), which a run of silence may have on top of the 32 frames.
void ExpectSameAudio(const HostAudio& recording, const HostAudio& reference, size_t lag,
                     size_t allowance = 0) {
  ASSERT_EQ(recording.rate, reference.rate);
  ASSERT_LE(lag + reference.Frames(), recording.Frames()) << "the recording ends inside the span";
  const HostAudio span{
      2, recording.rate,
      std::vector<float>(recording.samples.begin() + 2 * lag,
                         recording.samples.begin() + 2 * (lag + reference.Frames()))};
  for (int c = 0; c < 2; ++c) {
    SCOPED_TRACE("channel " + std::to_string(c));
    const double level =
        qortest::Db(Rms(span, c, 0, span.Frames()) / Rms(reference, c, 0, reference.Frames()));
    EXPECT_NEAR(level, 0.0, 0.5);
    double product = 0.0, got = 0.0, want = 0.0;
    for (size_t n = 0; n < span.Frames(); ++n) {
      const double a = span.samples[2 * n + c];
      const double b = reference.samples[2 * n + c];
      product += a * b, got += a * a, want += b * b;
    }
    EXPECT_GE(product / std::sqrt(got * want), 0.99);
  }
  // A dropout: 32 frames or more in a row where both channels are exactly zero and the reference
  // is not silent; or a 10 ms window where the reference is above -50 dBFS and the recording
  // is 3 dB or more away from it.
  size_t run = 0;
  size_t longest = 0;
  size_t ended = 0;
  // Frames in such a run; the level check leaves their windows to the count of silence.
  std::vector<bool> dropped(span.Frames(), false);
  for (size_t n = 0; n < span.Frames(); ++n) {
    const bool zero = span.samples[2 * n] == 0.0f && span.samples[2 * n + 1] == 0.0f;
    const bool sound = std::fabs(reference.samples[2 * n]) >= 1e-4f ||
                       std::fabs(reference.samples[2 * n + 1]) >= 1e-4f;
    run = zero && sound ? run + 1 : 0;
    if (run == 32) std::fill(dropped.begin() + (n + 1 - run), dropped.begin() + (n + 1), true);
    if (run > 32) dropped[n] = true;
    if (run > longest) longest = run, ended = n + 1;
  }
  EXPECT_LT(longest, 32u + allowance)
      << "frames of silence inside the played span, up to frame " << ended;
  const size_t window = static_cast<size_t>(recording.rate) / 100;
  for (size_t begin = 0; begin + window <= span.Frames(); begin += window) {
    if (std::find(dropped.begin() + begin, dropped.begin() + (begin + window), true) !=
        dropped.begin() + (begin + window)) {
      continue;
    }
    const double want = Rms(reference, 0, begin, begin + window);
    if (want < std::pow(10.0, -50.0 / 20.0)) continue;
    ASSERT_NEAR(qortest::Db(Rms(span, 0, begin, begin + window) / want), 0.0, 3.0)
        << "in the 10 ms from frame " << begin << " of the span";
  }
}

// pw-record writing float WAV from the null device's monitor; its length while it records tells
// how far the device's output has come (it lags that by at most the frames not yet written).
class Recorder {
 public:
  // positions: the device's channels to record.
  Recorder(PipeWireSession& session, fs::path file, int rate,
           const std::string& device = PipeWireSession::kDevice,
           const std::string& positions = "FL,FR")
      : session_(session),
        file_(std::move(file)),
        channels_(1 + std::count(positions.begin(), positions.end(), ',')) {
    pid_ = session_.Spawn(
        {"pw-record", "--target", device, "-P", "{ stream.capture.sink = true }", "--format", "f32",
         "--rate", std::to_string(rate), "--channels", std::to_string(channels_), "--channel-map",
         positions, "--latency", kLatency, file_.string()},
        "record");
  }
  ~Recorder() { session_.Stop(pid_, SIGINT); }

  // Once frames flow into the file (the device runs).
  bool WaitForFlow() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    uintmax_t first = 0;
    while (std::chrono::steady_clock::now() < deadline && session_.Alive(pid_)) {
      const uintmax_t size = Bytes();
      if (first == 0 && size > 0) first = size;
      if (first > 0 && size > first) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  uintmax_t Bytes() const {
    std::error_code error;
    const uintmax_t size = fs::file_size(file_, error);
    return error ? 0 : size;
  }
  // Waits until the file has grown by frames past bytes (counted from there).
  bool WaitPast(uintmax_t bytes, double seconds, int rate) {
    const auto wanted = bytes + static_cast<uintmax_t>(seconds * rate) * 4 * channels_;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (Bytes() < wanted) {
      if (std::chrono::steady_clock::now() > deadline || !session_.Alive(pid_)) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }
  // Ends the recording and reads it; header_ becomes the bytes before the first frame.
  HostAudio Finish() {
    // pw-record ends on SIGINT with 1 after closing the file; only a kill would cut it short.
    EXPECT_LE(session_.Stop(pid_, SIGINT), 1) << session_.Log("record");
    HostAudio audio = qortest::ReadHostAudio(file_);
    header_ = Bytes() - audio.samples.size() * sizeof(float);
    EXPECT_LT(header_, 1024u) << "not a float WAV with its frames at the end";
    return audio;
  }
  uintmax_t Header() const { return header_; }

 private:
  PipeWireSession& session_;
  fs::path file_;
  long channels_ = 2;
  pid_t pid_ = 0;
  uintmax_t header_ = 0;
};

// A change made while a tone plays, and where the recording was when its command ran.
struct Change {
  std::vector<std::string> command;
  bool tool;         // qorapo, else a PipeWire client
  double levelDb;    // the tone's level after it
  uintmax_t before;  // the recording's length when the command started and when it returned
  uintmax_t after;
  // Seconds more it may take: a write the objects poll for rather than are told of (the tuned
  // block, read every 0.2 s).
  double polled = 0.0;
};

class PipeWireTest : public qortest::HostToolTest {
 protected:
  void SetUp() override {
    HostToolTest::SetUp();
    ASSERT_FALSE(HasFatalFailure());
    qortest::PipeWireOptions options;
    options.rates = Rates();
    options.quantum = kQuantum;
    // The example as a user installs it, unchanged: the null device is the default one here.
    if (FilterChain()) {
      options.fragments = {{"qorapo-sink.conf", qortest::SlurpFile(ExampleFile())}};
    }
    for (const auto& fragment : Fragments()) options.fragments.push_back(fragment);
    options.environment = {{"LV2_PATH", QOR_LV2_BUNDLES}, {"QOR_ROOT", State()}};
    session_ = std::make_unique<PipeWireSession>(fs::path(root_.Path()) / "pipewire", options);
    std::string why;
    ASSERT_TRUE(session_->Start(&why)) << why;
    ASSERT_NO_FATAL_FAILURE(StartSink());
    ASSERT_TRUE(session_->WaitForLinked(SinkOutput(), Device()))
        << session_->Log("pipewire") << session_->Log("wireplumber") << session_->Log("serve");
  }
  // The filter-chain example makes the sink; else the test starts what does.
  virtual bool FilterChain() const { return true; }
  // More of the user's pipewire.conf.d (name, text): devices of the test's own.
  virtual std::vector<std::pair<std::string, std::string>> Fragments() const { return {}; }
  virtual void StartSink() {}
  virtual std::string Sink() const { return kSink; }
  // The node whose outputs feed the device.
  virtual std::string SinkOutput() const { return kSinkOutput; }
  virtual std::string Device() const { return PipeWireSession::kDevice; }
  void TearDown() override {
    session_.reset();
    HostToolTest::TearDown();
  }

  virtual std::vector<int> Rates() const { return {48000}; }
  std::string State() const { return root_.Path() + "/state"; }
  size_t NamedObjects() const {
    std::error_code error;
    size_t count = 0;
    for (fs::directory_iterator it(State() + "/NamedObjects", error), end; !error && it != end;
         it.increment(error)) {
      ++count;
    }
    return count;
  }

  pid_t Play(const std::string& file, const std::string& tag = "play") {
    return session_->Spawn({"pw-play", "--target", Sink(), "--latency", kLatency, file}, tag);
  }
  // Plays file to its end while recording; the recording from just before the player started.
  HostAudio PlayAndRecord(const std::string& file, int rate,
                          const std::function<void(Recorder&, uintmax_t)>& meanwhile = nullptr) {
    Recorder recorder(*session_, Scratch("recording.wav"), rate);
    EXPECT_TRUE(recorder.WaitForFlow()) << session_->Log("record");
    const uintmax_t start = recorder.Bytes();
    const pid_t player = Play(file);
    if (meanwhile) meanwhile(recorder, start);
    if (HasFatalFailure()) session_->Stop(player);  // a stream that plays on would never end
    EXPECT_EQ(session_->WaitFor(player, std::chrono::seconds(60)), 0) << session_->Log("play");
    // The latency tail and a period in flight are well within a quarter second.
    EXPECT_TRUE(recorder.WaitPast(recorder.Bytes(), 0.25, rate));
    HostAudio recording = recorder.Finish();
    header_ = recorder.Header();
    return recording;
  }
  std::string Scratch(const std::string& name) const { return session_->Scratch() / name; }
  // The frame the last recording had reached when its file was bytes long.
  size_t FrameOf(uintmax_t bytes) const { return bytes < header_ ? 0 : (bytes - header_) / 8; }

  // While a tone plays: each change is heard within 100 ms of its command returning (plus the
  // objects' latency, a quantum and what it polled), at the level it sets and without a click;
  // the meter, read after the first, gives the plugin's peaks.
  void ExpectChangesHeard(std::vector<Change> changes) {
    constexpr double kTone = 1000.0;
    constexpr double kAmplitude = 0.1;
    constexpr int kRate = 48000;
    // The objects' latency, as the host shell reports it for this endpoint and mode.
    ASSERT_TRUE(
        qortest::WriteHostAudio(File("tone.wav"), qortest::Tones({kTone}, kAmplitude, 0.5)));
    const HostResult offline = Run({"process", File("tone.wav"), File("offline.wav"), "--json"});
    ASSERT_EQ(offline.code, 0) << offline.err;
    const int64_t latency = offline.Json()["output"]["latency_frames"].get<int64_t>();

    nlohmann::json meter;
    qortest::ToneStream tone(File("tone.fifo"), kTone, kAmplitude);
    const HostAudio recording =
        PlayAndRecord(tone.Path(), kRate, [&](Recorder& recorder, uintmax_t start) {
          // A second of the tone (Music lifts it by 6 dB) before anything changes.
          ASSERT_TRUE(recorder.WaitPast(start, 1.0, kRate));
          for (Change& change : changes) {
            change.before = recorder.Bytes();
            const int code =
                change.tool ? Run(change.command, "tool").code : session_->Run(change.command).code;
            change.after = recorder.Bytes();
            EXPECT_EQ(code, 0) << change.command[0];
            ASSERT_TRUE(recorder.WaitPast(change.after, 0.8, kRate));
            // The objects meter after their first position, so the flat stretch is where both
            // meters see the tone as played.
            if (&change == &changes.front()) {
              const HostResult reading = Run({"meter", "--once", "--json"});
              EXPECT_EQ(reading.code, 0) << reading.err;
              meter = reading.Json();
            }
          }
          tone.End(0.0);
        });
    ASSERT_FALSE(HasFatalFailure());

    size_t onset = 0;
    while (onset < recording.Frames() && std::fabs(recording.samples[2 * onset]) < 0.01f) ++onset;
    ASSERT_LT(onset, recording.Frames());
    // Levels of 240 frames, five whole periods of the tone.
    const auto levelDb = [&](size_t end) {
      return qortest::Db(qortest::ToneLevel(recording, kTone, end - 240, end) / kAmplitude);
    };
    EXPECT_NEAR(levelDb(onset + kRate / 2), 6.0, 0.5);
    const double steady =
        qortest::WorstStep(recording, kTone, onset + kRate / 4, onset + kRate * 3 / 4);
    double previousDb = 6.0;
    std::vector<size_t> landings;
    for (const Change& change : changes) {
      std::string words;
      for (const std::string& word : change.command) words += (words.empty() ? "" : " ") + word;
      SCOPED_TRACE(words);
      const size_t before = std::max<size_t>(FrameOf(change.before), 240);
      const size_t after = FrameOf(change.after);
      // Nothing moved before the command started.
      ASSERT_NEAR(levelDb(before), previousDb, 0.5);
      size_t landed = before;
      while (landed < recording.Frames() && std::fabs(levelDb(landed) - previousDb) <= 1.0)
        ++landed;
      const size_t bound = after + kRate / 10 + static_cast<size_t>(latency) + kQuantum +
                           static_cast<size_t>(change.polled * kRate);
      EXPECT_LE(landed, bound) << "the command ran from frame " << before << " to " << after;
      EXPECT_NEAR(levelDb(landed + kRate / 10), change.levelDb, 0.5);
      EXPECT_LE(qortest::WorstStep(recording, kTone, landed - 4800, landed + 4800), 1.5 * steady)
          << "steady " << steady;
      landings.push_back(landed);
      previousDb = change.levelDb;
    }

    // The meters read in the flat stretch: the tone as played, the output as the device got it.
    double heard = 0.0;
    for (size_t n = landings[0] + kRate / 10; n < FrameOf(changes[1].before); ++n) {
      heard = std::max(heard, static_cast<double>(std::fabs(recording.samples[2 * n])));
    }
    EXPECT_NEAR(qortest::Db(heard), qortest::Db(kAmplitude), 0.5);
    for (const char* side : {"input", "output"}) {
      for (int c = 0; c < 2; ++c) {
        EXPECT_NEAR(meter[side]["dbfs"][c].get<double>(), qortest::Db(heard), 0.5)
            << side << " " << c << meter;
      }
    }
  }

  std::unique_ptr<PipeWireSession> session_;
  uintmax_t header_ = 0;
};

// Music played into the virtual sink comes out of the device as `qorapo process` writes it for the
// same endpoint, mode and rate, whole and without a gap.
TEST_F(PipeWireTest, MusicPlayedIntoTheSinkComesOutAsTheHostShellProcessesIt) {
  ASSERT_TRUE(qortest::WriteHostAudio(Scratch("music.wav"), Music(48000, 4.0)));
  const HostResult reference = Run({"process", Scratch("music.wav"), File("reference.wav")});
  ASSERT_EQ(reference.code, 0) << reference.err;
  const HostAudio expected = qortest::ReadHostAudio(File("reference.wav"));
  const HostAudio recording = PlayAndRecord(Scratch("music.wav"), 48000);
  ASSERT_FALSE(HasFailure());
  ASSERT_EQ(recording.channels, 2);
  ExpectSameAudio(recording, expected, Lag(recording, expected));
  EXPECT_TRUE(session_->Alive(session_->PipeWirePid()));
}

// A state root without the endpoint: the sink cannot start, so what plays into it is not heard at
// all (neither processed nor as it was), and PipeWire carries on.
TEST_F(PipeWireTest, ASinkWhosePluginCannotStartIsSilentAndPipeWireCarriesOn) {
  ASSERT_EQ(Run({"endpoint", "remove", "QOR Demo Speakers"}).code, 0);
  ASSERT_TRUE(qortest::WriteHostAudio(Scratch("music.wav"), Music(48000, 1.0)));
  const HostAudio recording = PlayAndRecord(Scratch("music.wav"), 48000);
  ASSERT_FALSE(HasFailure());
  ASSERT_GT(recording.Frames(), 48000u);
  float loudest = 0.0f;
  for (const float sample : recording.samples) loudest = std::max(loudest, std::fabs(sample));
  EXPECT_EQ(loudest, 0.0f);
  EXPECT_TRUE(session_->Alive(session_->PipeWirePid())) << session_->Log("pipewire");
  EXPECT_EQ(NamedObjects(), 0u);
}

// The host tests' band lift by mode, with the objects publishing their meters.
const std::string kMeteredEqConfiguration = [] {
  std::string text = qortest::kEqConfiguration;
  const std::string properties = "</properties>";
  return text.insert(text.find(properties),
                     R"(<control name="VAPO3-Metering Mode">VAPO3-Both</control>)");
}();

class PipeWireLiveTest : public PipeWireTest {
 protected:
  const char* Configuration() const override { return kMeteredEqConfiguration.c_str(); }
};

// While a tone plays: a control panel's switch, a mode change, the host's own bypass control and
// its endpoint control are each heard within 100 ms of the command returning (plus the objects'
// latency and a quantum), at the level they set and without a click; the meter reads the
// plugin's peaks.
TEST_F(PipeWireLiveTest, ChangesWhilePlayingAreHeardInTimeWithoutAClick) {
  const std::optional<int> filter = PipeWireSession::NodeId(session_->Dump(), kSink);
  ASSERT_TRUE(filter.has_value());
  // A second endpoint whose one process lifts the tone by 6 dB (its Music mode); the endpoint
  // control takes its place among the active render endpoints.
  std::ofstream(File("eq.xml")) << qortest::kEqConfiguration;
  const HostResult added = Run(
      {"endpoint", "add", "Test Headphones", "--config", File("eq.xml"), "--fx", "SFX", "--json"});
  ASSERT_EQ(added.code, 0) << added.err;
  int second = 0;
  for (const auto& entry : Run({"endpoint", "list", "--json"}).Json()) {
    if (entry["flow"] == "render" && entry["state"] == "active") ++second;
    if (entry["guid"] == added.Json()["guid"]) break;
  }
  const auto param = [&](const char* control, double value) {
    return std::vector<std::string>{
        "pw-cli", "set-param", std::to_string(*filter), "Props",
        "{ params = [ \"qorapo:" + std::string(control) + "\" " + std::to_string(value) + " ] }"};
  };
  std::vector<Change> changes = {
      {{"control", "set", "ZR3D-GEQ Enable", "0"}, true, 0.0, 0, 0},
      {{"mode", "set", "Movie"}, true, -6.0, 0, 0},
      {param("enabled", 0.0), false, 0.0, 0, 0},
      {param("enabled", 1.0), false, -6.0, 0, 0},
      // Through filter-chain's worker: the other endpoint's objects start off the data thread
      // and fade in.
      {param("endpoint", second), false, 6.0, 0, 0},
  };
  ExpectChangesHeard(std::move(changes));
}

class PipeWireRateTest : public PipeWireTest {
 protected:
  std::vector<int> Rates() const override { return {48000, 44100}; }
};

// A 44.1 kHz player moves the graph to 44.1 kHz: filter-chain replaces the plugin's instances with
// ones at that rate, which process it as the host shell does, and the instances it dropped leave
// nothing behind in the state root.
TEST_F(PipeWireRateTest, APlayerAtAnotherRateGetsNewInstancesThatProcessAtItsRate) {
  const size_t idle = NamedObjects();
  size_t while48 = 0;
  size_t while44 = 0;
  ASSERT_TRUE(qortest::WriteHostAudio(Scratch("music.wav"), Music(48000, 1.0)));
  PlayAndRecord(Scratch("music.wav"), 48000, [&](Recorder& recorder, uintmax_t start) {
    ASSERT_TRUE(recorder.WaitPast(start, 0.5, 48000));
    while48 = NamedObjects();
  });
  ASSERT_GT(while48, idle) << "the plugin published nothing while it played";

  ASSERT_TRUE(qortest::WriteHostAudio(Scratch("music44.wav"), Music(44100, 3.0)));
  const HostResult reference = Run({"process", Scratch("music44.wav"), File("reference44.wav")});
  ASSERT_EQ(reference.code, 0) << reference.err;
  int rate = 0;
  const HostAudio recording =
      PlayAndRecord(Scratch("music44.wav"), 44100, [&](Recorder& recorder, uintmax_t start) {
        ASSERT_TRUE(recorder.WaitPast(start, 1.0, 44100));
        while44 = NamedObjects();
        // The rate the filter's sink negotiated.
        const nlohmann::json objects = session_->Dump();
        const std::optional<int> sink = PipeWireSession::NodeId(objects, kSink);
        for (const nlohmann::json& object : objects) {
          if (!sink || object.value("id", -1) != *sink) continue;
          const nlohmann::json format = object.value("info", nlohmann::json::object())
                                            .value("params", nlohmann::json::object())
                                            .value("Format", nlohmann::json::array());
          if (!format.empty()) rate = format[0].value("rate", 0);
        }
      });
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_EQ(rate, 44100);
  EXPECT_TRUE(session_->Alive(session_->PipeWirePid())) << session_->Log("pipewire");
  EXPECT_EQ(while44, while48) << "the instances at 48 kHz left objects behind";
  const HostAudio expected = qortest::ReadHostAudio(File("reference44.wav"));
  ExpectSameAudio(recording, expected, Lag(recording, expected));

  // Once nothing plays, the instances release what they held.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (NamedObjects() > idle && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_LE(NamedObjects(), idle);
  EXPECT_TRUE(session_->Alive(session_->PipeWirePid())) << session_->Log("pipewire");
}

// `qorapo serve` in the same PipeWire, without filter-chain: a sink per render endpoint, its
// monitor through the daemon's filter node into the device.
class ServeTest : public PipeWireTest {
 protected:
  static constexpr char kServeSink[] = "qorapo_qor_demo_speakers";
  // The demonstration microphone's virtual source.
  static constexpr char kServeSource[] = "qorapo_qor_demo_microphone";
  bool FilterChain() const override { return false; }
  std::string Sink() const override { return kServeSink; }
  std::string SinkOutput() const override { return std::string(kServeSink) + ".fx"; }
  void StartSink() override {
    idle_ = NamedObjects();
    std::vector<std::string> command = {QOR_HOST_BINARY, "serve", "--json"};
    for (const std::string& option : ServeOptions()) command.push_back(option);
    serve_ = session_->Spawn(command, "serve");
    ASSERT_NE(serve_, 0);
  }
  virtual std::vector<std::string> ServeOptions() const { return {}; }
  // The links from one node to another, as "output channel>input channel", sorted.
  static std::vector<std::string> LinkedChannels(const nlohmann::json& objects,
                                                 const std::string& from, const std::string& to) {
    const std::optional<int> source = PipeWireSession::NodeId(objects, from);
    const std::optional<int> sink = PipeWireSession::NodeId(objects, to);
    std::map<int, std::string> channels;
    for (const nlohmann::json& object : objects) {
      if (object.value("type", "") != "PipeWire:Interface:Port") continue;
      channels[object.value("id", -1)] = object.value("info", nlohmann::json::object())
                                             .value("props", nlohmann::json::object())
                                             .value("audio.channel", "?");
    }
    std::vector<std::string> links;
    for (const nlohmann::json& object : objects) {
      const nlohmann::json info = object.value("info", nlohmann::json::object());
      if (!source || !sink || object.value("type", "") != "PipeWire:Interface:Link" ||
          info.value("output-node-id", -1) != *source || info.value("input-node-id", -1) != *sink) {
        continue;
      }
      links.push_back(channels[info.value("output-port-id", -1)] + ">" +
                      channels[info.value("input-port-id", -1)]);
    }
    std::sort(links.begin(), links.end());
    return links;
  }
  // The daemon's events so far, a JSON object a line.
  std::vector<nlohmann::json> Events() const {
    std::vector<nlohmann::json> events;
    std::istringstream lines(qortest::SlurpFile(session_->Dir() / "logs" / "serve.out"));
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty() && line[0] == '{') events.push_back(nlohmann::json::parse(line));
    }
    return events;
  }
  // The processing latency a filter node (by default the sink's) publishes, in frames; -1 when it
  // publishes none.
  int ReportedLatency(std::string filter = "") {
    if (filter.empty()) filter = SinkOutput();
    const nlohmann::json objects = session_->Dump();
    const std::optional<int> node = PipeWireSession::NodeId(objects, filter);
    for (const nlohmann::json& object : objects) {
      if (!node || object.value("id", -1) != *node) continue;
      const nlohmann::json latency = object.value("info", nlohmann::json::object())
                                         .value("params", nlohmann::json::object())
                                         .value("ProcessLatency", nlohmann::json::array());
      if (!latency.empty()) return latency[0].value("rate", -1);
    }
    return -1;
  }
  // Writes music at rate to the scratch folder as name.wav and `qorapo process`'s output of it to
  // name-reference.wav; the objects' latency there, in frames.
  int64_t MusicAndReference(const std::string& name, int rate, double seconds) {
    EXPECT_TRUE(qortest::WriteHostAudio(Scratch(name + ".wav"), Music(rate, seconds)));
    const HostResult reference =
        Run({"process", Scratch(name + ".wav"), File(name + "-reference.wav"), "--json"});
    EXPECT_EQ(reference.code, 0) << reference.err;
    return reference.code == 0 ? reference.Json()["output"]["latency_frames"].get<int64_t>() : -1;
  }
  pid_t serve_ = 0;
  size_t idle_ = 0;
};

// Music played into the endpoint's sink comes out of the device as `qorapo process` writes it,
// whole and without a gap, and the node tells the graph the objects' latency.
TEST_F(ServeTest, MusicPlayedIntoTheEndpointsSinkComesOutProcessedAtTheLatencyItReports) {
  const int64_t latency = MusicAndReference("music", 48000, 4.0);
  ASSERT_FALSE(HasFailure());
  EXPECT_EQ(ReportedLatency(), latency);
  // Capture endpoints first, then render ones: the demonstration microphone gets its source,
  // whose filter tells the graph the latency its event gave.
  const int microphoneLatency = ReportedLatency(std::string(kServeSource) + ".fx");
  EXPECT_GT(microphoneLatency, 0);
  const std::vector<nlohmann::json> expected = {
      {{"event", "up"},
       {"endpoint", "QOR Demo Microphone"},
       {"node", kServeSource},
       {"detail", "latency " + std::to_string(microphoneLatency) + " frames"}},
      {{"event", "up"},
       {"endpoint", "QOR Demo Speakers"},
       {"node", kServeSink},
       {"detail", "latency " + std::to_string(latency) + " frames"}}};
  EXPECT_EQ(Events(), expected) << session_->Log("serve");

  const HostAudio reference = qortest::ReadHostAudio(File("music-reference.wav"));
  const HostAudio recording = PlayAndRecord(Scratch("music.wav"), 48000);
  ASSERT_FALSE(HasFailure());
  ExpectSameAudio(recording, reference, Lag(recording, reference));
}

// One daemon per state root: a second is refused and says which process holds it; `qorapo status`
// gives its nodes. SIGTERM stops the first cleanly: exit 0, its nodes gone, nothing left in the
// state root's named objects, and status says none runs.
TEST_F(ServeTest, ASecondDaemonIsRefusedStatusTellsAndSigtermLeavesNothingBehind) {
  const qortest::CommandResult second = session_->Run({QOR_HOST_BINARY, "serve"});
  EXPECT_EQ(second.code, 2);
  EXPECT_EQ(second.err, "qorapo: another qorapo serve (process " + std::to_string(serve_) +
                            ") runs for the state root " + State() + "; stop it first\n");
  const int64_t latency = MusicAndReference("music", 48000, 1.0);
  ASSERT_FALSE(HasFailure());
  const int microphoneLatency = ReportedLatency(std::string(kServeSource) + ".fx");
  EXPECT_GT(microphoneLatency, 0);
  PlayAndRecord(Scratch("music.wav"), 48000);
  // What the daemon says of itself.
  const HostResult running = Run({"status", "--json"});
  EXPECT_EQ(running.code, 0);
  const nlohmann::json expected = {
      {"running", true},
      {"state_root", State()},
      {"pid", serve_},
      {"nodes",
       {{{"endpoint", "QOR Demo Microphone"},
         {"flow", "capture"},
         {"node", kServeSource},
         {"latency_frames", microphoneLatency},
         {"rate", 48000},
         {"rebuilds", 0}},
        {{"endpoint", "QOR Demo Speakers"},
         {"flow", "render"},
         {"node", kServeSink},
         {"latency_frames", latency},
         {"rate", 48000},
         {"rebuilds", 0}}}},
      {"last_event",
       {{"event", "up"},
        {"endpoint", "QOR Demo Speakers"},
        {"node", kServeSink},
        {"detail", "latency " + std::to_string(latency) + " frames"}}}};
  EXPECT_EQ(running.Json(), expected);
  EXPECT_EQ(session_->Stop(serve_, SIGTERM), 0) << session_->Log("serve");
  const HostResult stopped = Run({"status"});
  EXPECT_EQ(stopped.code, 0);
  EXPECT_EQ(stopped.out, "no qorapo serve runs for the state root " + State() + "\n");
  EXPECT_FALSE(fs::exists(State() + "/serve.status"));
  const nlohmann::json objects = session_->Dump();
  for (const std::string& node : {std::string(kServeSink), SinkOutput(), std::string(kServeSource),
                                  std::string(kServeSource) + ".fx"}) {
    EXPECT_FALSE(PipeWireSession::NodeId(objects, node).has_value()) << node;
  }
  EXPECT_EQ(NamedObjects(), idle_);
  EXPECT_TRUE(session_->Alive(session_->PipeWirePid()));
}

// The control panel beside the daemon: its link on the daemon's standard error (its standard
// output stays the daemon's events), answering while the daemon runs, and gone with it.
class ServePanelTest : public ServeTest {
 protected:
  std::vector<std::string> ServeOptions() const override { return {"--panel"}; }
};

TEST_F(ServePanelTest, ThePanelServesBesideTheDaemonAndEndsWithIt) {
  const std::regex link(R"(qorapo panel: http://127\.0\.0\.1:([0-9]+)/#token=[0-9a-f]{32}\n)");
  std::smatch match;
  std::string err;
  for (int i = 0; i < 600 && !std::regex_search(err, match, link); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    err = session_->Log("serve");
  }
  ASSERT_TRUE(std::regex_search(err, match, link)) << err;
  const int port = std::stoi(match[1]);
  const qortest::HttpAnswer endpoints =
      qortest::HttpRequest(port, "GET", "/api/endpoints", {"Host: 127.0.0.1:" + match[1].str()});
  EXPECT_EQ(endpoints.status, 200);
  EXPECT_EQ(nlohmann::json::parse(endpoints.body, nullptr, false),
            RunJson({"endpoint", "list", "--json"}));
  // The live channel says what the daemon says of the endpoint's sink, and when it rebuilt.
  const int events = qortest::ConnectLocal(port);
  ASSERT_GE(events, 0);
  ASSERT_TRUE(qortest::SendAll(
      events, "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:" + match[1].str() + "\r\n\r\n"));
  // The sink's rebuild count in the next daemon event that names it; -1 when none comes.
  std::string stream;
  auto sinkRebuilds = [&](int atLeast) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      for (size_t at; (at = stream.find("\n\n")) != std::string::npos;) {
        const std::string frame = stream.substr(0, at);
        stream.erase(0, at + 2);
        const size_t data = frame.find("event: daemon\ndata: ");
        if (data == std::string::npos) continue;
        const nlohmann::json said = nlohmann::json::parse(frame.substr(data + 20), nullptr, false);
        for (const nlohmann::json& node : said.value("nodes", nlohmann::json::array())) {
          const int count = node.value("rebuilds", -1);
          if (node.value("node", "") == kServeSink && count >= atLeast) return count;
        }
      }
      char buffer[65536];
      const ssize_t n = recv(events, buffer, sizeof(buffer), 0);
      if (n <= 0) break;
      stream.append(buffer, static_cast<size_t>(n));
    }
    return -1;
  };
  EXPECT_EQ(sinkRebuilds(0), 0);
  ASSERT_EQ(Run({"control", "set", "VAPO3-Process Enable", "0"}).code, 0);
  EXPECT_EQ(sinkRebuilds(1), 1) << session_->Log("serve");
  close(events);
  EXPECT_EQ(session_->Stop(serve_, SIGTERM), 0) << session_->Log("serve");
  const int gone = qortest::ConnectLocal(port);
  EXPECT_LT(gone, 0) << "the panel still listens after the daemon ended";
  if (gone >= 0) close(gone);
}

// A daemon killed outright while music plays leaves the state root usable: the next one starts,
// takes the lock the dead one held, and plays the music processed.
TEST_F(ServeTest, AfterAKilledDaemonTheNextOneStartsAndPlays) {
  ASSERT_TRUE(qortest::WriteHostAudio(Scratch("long.wav"), Music(48000, 3.0)));
  const pid_t player = Play(Scratch("long.wav"), "long");
  ASSERT_NE(player, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(session_->Stop(serve_, SIGKILL), 128 + SIGKILL);
  session_->Stop(player);
  ASSERT_TRUE(session_->WaitUntil([&](const nlohmann::json& objects) {
    return !PipeWireSession::NodeId(objects, SinkOutput()).has_value();
  })) << "the dead daemon's nodes stayed";
  // Its status file stays behind, but the lock went with it.
  EXPECT_TRUE(fs::exists(State() + "/serve.status"));
  EXPECT_EQ(Run({"status", "--json"}).Json()["running"], false);

  serve_ = session_->Spawn({QOR_HOST_BINARY, "serve", "--json"}, "serve");
  ASSERT_TRUE(session_->WaitForLinked(SinkOutput(), PipeWireSession::kDevice))
      << session_->Log("serve");
  const int64_t latency = MusicAndReference("music", 48000, 2.0);
  ASSERT_FALSE(HasFailure());
  EXPECT_EQ(ReportedLatency(), latency);
  const HostAudio expected = qortest::ReadHostAudio(File("music-reference.wav"));
  const HostAudio recording = PlayAndRecord(Scratch("music.wav"), 48000);
  ASSERT_FALSE(HasFailure());
  ExpectSameAudio(recording, expected, Lag(recording, expected));
}

// SIGHUP makes the daemon read the endpoint store again: an endpoint added since gets its sink
// (and plays), one disabled since loses its nodes; the others run on.
TEST_F(ServeTest, SighupAddsAndRemovesSinksAsTheStoreChanged) {
  constexpr char kOther[] = "qorapo_test_headphones";
  std::ofstream(File("eq.xml")) << qortest::kEqConfiguration;
  ASSERT_EQ(
      Run({"endpoint", "add", "Test Headphones", "--config", File("eq.xml"), "--fx", "SFX"}).code,
      0);
  ASSERT_EQ(kill(serve_, SIGHUP), 0);
  ASSERT_TRUE(session_->WaitForLinked(std::string(kOther) + ".fx", PipeWireSession::kDevice))
      << session_->Log("serve");
  ASSERT_EQ(Run({"endpoint", "disable", "QOR Demo Speakers"}).code, 0);
  ASSERT_EQ(kill(serve_, SIGHUP), 0);
  ASSERT_TRUE(session_->WaitUntil([&](const nlohmann::json& objects) {
    return !PipeWireSession::NodeId(objects, kServeSink).has_value() &&
           !PipeWireSession::NodeId(objects, SinkOutput()).has_value();
  })) << session_->Log("serve");
  EXPECT_TRUE(session_->Alive(serve_));
  std::vector<std::string> seen;
  for (const nlohmann::json& event : Events()) {
    seen.push_back(event["event"].get<std::string>() + " " + event["node"].get<std::string>());
  }
  EXPECT_EQ(seen, (std::vector<std::string>{
                      "up qorapo_qor_demo_microphone", "up qorapo_qor_demo_speakers",
                      "up qorapo_test_headphones", "down qorapo_qor_demo_speakers"}));
  const nlohmann::json status = Run({"status", "--json"}).Json();
  std::vector<std::string> nodes;
  for (const nlohmann::json& node : status["nodes"]) nodes.push_back(node["node"]);
  EXPECT_EQ(nodes, (std::vector<std::string>{kServeSource, kOther})) << status;

  // The new sink plays its endpoint's processing: the tone lifted by 6 dB (its Music mode).
  ASSERT_TRUE(qortest::WriteHostAudio(Scratch("tone.wav"), qortest::Tones({997.0}, 0.1, 1.5)));
  Recorder recorder(*session_, Scratch("recording.wav"), 48000);
  ASSERT_TRUE(recorder.WaitForFlow());
  const pid_t player = session_->Spawn(
      {"pw-play", "--target", kOther, "--latency", kLatency, Scratch("tone.wav")}, "play");
  EXPECT_EQ(session_->WaitFor(player, std::chrono::seconds(60)), 0) << session_->Log("play");
  const HostAudio recording = recorder.Finish();
  double loudest = 0.0;
  for (const float sample : recording.samples)
    loudest = std::max<double>(loudest, std::fabs(sample));
  EXPECT_NEAR(qortest::Db(loudest / 0.1), 6.0, 0.5);
}

// A device without the positions the endpoint's node plays is reported and left unlinked; the
// daemon and the other endpoints carry on.
TEST_F(ServeTest, ADeviceWithoutTheNodesChannelsIsReportedAndSkipped) {
  const qortest::CommandResult made = session_->Run(
      {"pw-cli", "create-node", "adapter",
       "{ factory.name = support.null-audio-sink node.name = test_aux media.class = Audio/Sink "
       "object.linger = true audio.position = [ AUX0 AUX1 ] }"});
  ASSERT_EQ(made.code, 0) << made.err;
  std::ofstream(File("eq.xml")) << qortest::kEqConfiguration;
  ASSERT_EQ(Run({"endpoint", "add", "Aux Speakers", "--device", "test_aux", "--config",
                 File("eq.xml"), "--fx", "SFX"})
                .code,
            0);
  ASSERT_EQ(kill(serve_, SIGHUP), 0);
  nlohmann::json skipped;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (skipped.is_null() && std::chrono::steady_clock::now() < deadline) {
    for (const nlohmann::json& event : Events()) {
      if (event["event"] == "skipped") skipped = event;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_FALSE(skipped.is_null()) << session_->Log("serve");
  EXPECT_EQ(skipped["node"], "qorapo_aux_speakers");
  EXPECT_EQ(skipped["detail"],
            "the device test_aux has no FL input (it has: AUX0 AUX1); nothing is linked to it");
  EXPECT_TRUE(session_->Alive(serve_));
  EXPECT_TRUE(session_->WaitForLinked(SinkOutput(), PipeWireSession::kDevice));
}

// The daemon following PipeWire's devices with rules of the test's own: test_* devices get the
// graphic EQ at SFX, any other sink (the null device) the fallback's SFX and EFX.
class ServeDevicesTest : public ServeTest {
 protected:
  static constexpr char kSecond[] = "test_second";
  void StartSink() override {
    idle_ = NamedObjects();
    std::ofstream(File("eq.xml")) << qortest::kEqConfiguration;
    std::ofstream(File("devices.conf")) << "[device]\nnode = test_*\nconfiguration = eq.xml\n"
                                           "fx = SFX\n[fallback]\ndirection = render\n"
                                           "configuration = eq.xml\nfx = SFX EFX\n";
    serve_ = session_->Spawn(
        {QOR_HOST_BINARY, "serve", "--json", "--follow-devices", "--rules", File("devices.conf")},
        "serve");
    ASSERT_NE(serve_, 0);
  }
  // A null sink made at run time, as a USB device that is plugged in.
  void PlugIn() {
    const qortest::CommandResult made = session_->Run(
        {"pw-cli", "create-node", "adapter",
         std::string("{ factory.name = support.null-audio-sink node.name = ") + kSecond +
             " node.description = \"Second Speakers\" media.class = Audio/Sink "
             "object.linger = true audio.position = [ FL FR ] }"});
    ASSERT_EQ(made.code, 0) << made.err;
  }
  std::optional<int> Id(const std::string& node) {
    return PipeWireSession::NodeId(session_->Dump(), node);
  }
  nlohmann::json Show(const std::string& endpoint) {
    const HostResult shown = Run({"endpoint", "show", endpoint, "--json"});
    EXPECT_EQ(shown.code, 0) << shown.err;
    return shown.code == 0 ? shown.Json() : nlohmann::json();
  }
  // Polls the tool's answer until it is wanted, for as long as the daemon may take.
  bool Eventually(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
  }
};

// A device that appears gets an endpoint by the rules and a sink that plays into it; gone, the
// endpoint is not present and its nodes go; back, it has the same GUID and the control value set
// before. The default sink moves the default endpoint.
TEST_F(ServeDevicesTest, ADeviceThatComesGoesAndComesBackKeepsItsEndpointAndItsSettings) {
  constexpr char kSfx[] = "{1B917FE2-47D1-425D-A26E-AFCDBDA7A2E8}";
  constexpr char kEfx[] = "{93520346-FA48-4F56-8CB0-D92CC1775E37}";
  constexpr char kSink[] = "qorapo_second_speakers";
  const std::string fx = std::string(kSink) + ".fx";
  // The device there at the start, by the fallback.
  const nlohmann::json null = Show("Null device");
  EXPECT_EQ(null["device"], PipeWireSession::kDevice);
  EXPECT_EQ(null["state"], "active");
  const nlohmann::json fallback = {nullptr, kSfx, nullptr, kEfx, nullptr, nullptr};
  for (int location = 0; location < 6; ++location) {
    EXPECT_EQ(null["positions"][location]["class"], fallback[location]) << location;
  }

  ASSERT_NO_FATAL_FAILURE(PlugIn());
  const auto plugged = std::chrono::steady_clock::now();
  ASSERT_TRUE(session_->WaitForLinked(fx, kSecond)) << session_->Log("serve");
  std::printf("sink playing into the new device after %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - plugged)
                                         .count()));
  const nlohmann::json second = Show("Second Speakers");
  EXPECT_EQ(second["device"], kSecond);
  EXPECT_EQ(second["configuration"], File("eq.xml"));
  const nlohmann::json rule = {nullptr, kSfx, nullptr, nullptr, nullptr, nullptr};
  for (int location = 0; location < 6; ++location) {
    EXPECT_EQ(second["positions"][location]["class"], rule[location]) << location;
  }
  const std::vector<std::string> control = {"ZR3D-GEQ Enable", "--endpoint", "Second Speakers"};
  std::vector<std::string> set = {"control", "set", control[0], "0"};
  set.insert(set.end(), control.begin() + 1, control.end());
  ASSERT_EQ(Run(set).code, 0);

  // Unplugged.
  const std::optional<int> id = Id(kSecond);
  ASSERT_TRUE(id.has_value());
  ASSERT_EQ(session_->Run({"pw-cli", "destroy", std::to_string(*id)}).code, 0);
  ASSERT_TRUE(session_->WaitUntil([&](const nlohmann::json& objects) {
    return !PipeWireSession::NodeId(objects, kSink) && !PipeWireSession::NodeId(objects, fx);
  })) << session_->Log("serve");
  EXPECT_EQ(Show(second["guid"].get<std::string>())["state"], "not present");
  EXPECT_TRUE(session_->Alive(serve_));

  // Plugged in again.
  ASSERT_NO_FATAL_FAILURE(PlugIn());
  ASSERT_TRUE(session_->WaitForLinked(fx, kSecond)) << session_->Log("serve");
  const nlohmann::json back = Show("Second Speakers");
  EXPECT_EQ(back["guid"], second["guid"]);
  EXPECT_EQ(back["state"], "active");
  std::vector<std::string> get = {"control", "get", control[0], "--json"};
  get.insert(get.end(), control.begin() + 1, control.end());
  const HostResult value = Run(get);
  EXPECT_EQ(value.Json()["value"], "0") << value.out;

  // The session manager's default sink decides the default endpoint.
  for (const auto& [node, endpoint] :
       {std::pair<std::string, std::string>{kSecond, "Second Speakers"},
        std::pair<std::string, std::string>{PipeWireSession::kDevice, "Null device"}}) {
    const std::optional<int> device = Id(node);
    ASSERT_TRUE(device.has_value());
    ASSERT_EQ(session_->Run({"wpctl", "set-default", std::to_string(*device)}).code, 0);
    EXPECT_TRUE(Eventually([&] {
      return Run({"endpoint", "default", "--json"}).Json().value("name", "") == endpoint;
    })) << endpoint
        << session_->Log("serve");
  }

  std::vector<std::string> seen;
  for (const nlohmann::json& event : Events()) {
    if (event["node"] != kSecond) continue;
    const std::string detail = event["detail"];
    seen.push_back(event["event"].get<std::string>() + " " + detail.substr(0, detail.find(';')));
  }
  EXPECT_EQ(seen,
            (std::vector<std::string>{"device arrived", "device went away", "device arrived again",
                                      "default the default render "
                                      "endpoint now"}));
  EXPECT_TRUE(session_->Alive(serve_)) << session_->Log("serve");
}

class ServeLiveTest : public ServeTest {
 protected:
  const char* Configuration() const override { return kMeteredEqConfiguration.c_str(); }
  // A tuning tool is open on the Music mode before the daemon builds its chain, so the daemon
  // joins the tuned block (tuning mode 0 until the test says otherwise).
  void StartSink() override {
    ASSERT_NE(StartBackground({"tune", "hold", "--mode", "Music/Speakers"}, "hold"), 0)
        << qortest::SlurpFile(ErrOf("hold"));
    ServeTest::StartSink();
  }
};

// The tools reach the daemon's objects as they reach the plugin's: a control panel's switch, a
// tuning tool's writes and a mode change while a tone plays, heard in time without a click, and
// the meters.
TEST_F(ServeLiveTest, ChangesWhilePlayingAreHeardInTimeWithoutAClick) {
  ExpectChangesHeard({
      {{"control", "set", "ZR3D-GEQ Enable", "0"}, true, 0.0, 0, 0},
      // Tuned values over the public controls: the configuration's band switch (on) and band 6
      // (+6 dB) win over the panel's switch.
      {{"tune", "mode", "2"}, true, 6.0, 0, 0, 0.2},
      {{"tune", "set", "ZR3D-GEQ Band 6", "-300"}, true, -3.0, 0, 0, 0.2},
      // Movie has no tuning session: its own band 6 (-6 dB).
      {{"mode", "set", "Movie"}, true, -6.0, 0, 0},
  });
  // Each change rebuilt the speakers' chain once, and the daemon said so.
  std::vector<std::string> kinds;
  for (const nlohmann::json& event : Events()) {
    if (event["node"] == kServeSink) kinds.push_back(event["event"]);
  }
  EXPECT_EQ(kinds, (std::vector<std::string>{"up", "rebuild", "rebuild", "rebuild", "rebuild"}))
      << session_->Log("serve");
  for (const nlohmann::json& node : Run({"status", "--json"}).Json()["nodes"]) {
    if (node["node"] == kServeSink) {
      EXPECT_EQ(node["rebuilds"], 4) << node;
    }
  }
}

// The longest run of frames in which both channels are exactly zero from frame from to frame to,
// within the loud part of a recording (from its first to its last sample at -60 dBFS or more: the
// music has no such frame there, processed or not), and the frame that ends it.
struct Silence {
  size_t frames = 0;
  size_t end = 0;
};
bool Zero(const HostAudio& audio, size_t n) {
  return audio.samples[2 * n] == 0.0f && audio.samples[2 * n + 1] == 0.0f;
}
bool Loud(const HostAudio& audio, size_t n) {
  return std::max(std::fabs(audio.samples[2 * n]), std::fabs(audio.samples[2 * n + 1])) >= 1e-3f;
}
size_t FirstLoud(const HostAudio& audio) {
  size_t first = 0;
  while (first < audio.Frames() && !Loud(audio, first)) ++first;
  return first;
}
size_t EndOfLoud(const HostAudio& audio) {
  size_t last = audio.Frames();
  while (last > 0 && !Loud(audio, last - 1)) --last;
  return last;
}
Silence LongestSilence(const HostAudio& audio, size_t from, size_t to = SIZE_MAX) {
  Silence longest;
  size_t run = 0;
  const size_t end = std::min(to, EndOfLoud(audio));
  for (size_t n = std::max(from, FirstLoud(audio)); n < end; ++n) {
    run = Zero(audio, n) ? run + 1 : 0;
    if (run > longest.frames) longest = {run, n + 1};
  }
  return longest;
}

// Frames from the first loud sample to the last.
size_t Sounding(const HostAudio& audio) {
  return EndOfLoud(audio) > FirstLoud(audio) ? EndOfLoud(audio) - FirstLoud(audio) : 0;
}

size_t NonFinite(const HostAudio& audio) {
  return static_cast<size_t>(std::count_if(audio.samples.begin(), audio.samples.end(),
                                           [](float sample) { return !std::isfinite(sample); }));
}

class ServeRateTest : public ServeTest {
 protected:
  // A four-channel device: the daemon plays into its front pair, PipeWire's own loopback into its
  // rear pair, so both go through the same driver's cycles and one recording holds both.
  static constexpr char kQuad[] = "qor_quad";
  static constexpr char kLoop[] = "qor_loop";
  std::vector<int> Rates() const override { return {48000, 44100}; }
  std::string Device() const override { return kQuad; }

  void StartSink() override {
    ASSERT_NO_FATAL_FAILURE(NullSink(kQuad, "[ FL FR RL RR ]"));
    idle_ = NamedObjects();
    serve_ = session_->Spawn({QOR_HOST_BINARY, "serve", "--json", "--target", kQuad}, "serve");
    ASSERT_NE(serve_, 0);
  }
  void NullSink(const std::string& name, const std::string& positions) {
    const qortest::CommandResult made = session_->Run(
        {"pw-cli", "create-node", "adapter",
         "{ factory.name = support.null-audio-sink node.name = " + name +
             " media.class = Audio/Sink node.virtual = true audio.position = " + positions +
             " monitor.channel-volumes = true object.linger = true }"});
    ASSERT_EQ(made.code, 0) << made.err;
  }

  // PipeWire's own loopback in the daemon's shape: a null sink whose monitor pw-loopback plays
  // into the device's rear pair, linked passively as the daemon's nodes are (so that an idle
  // graph may change its rate): the yardstick for what the graph itself loses.
  void StartLoopback() {
    ASSERT_NO_FATAL_FAILURE(NullSink(kLoop, "[ FL FR ]"));
    const std::string common = " node.passive=true node.latency=" + kLatency + "/48000";
    ASSERT_NE(session_->Spawn({"pw-loopback", "--capture-props",
                               "stream.capture.sink=true node.name=qor_loop.in" + common, "-C",
                               kLoop, "--playback-props",
                               "node.name=qor_loop.out stream.dont-remix=true "
                               "audio.position=[ RL RR ]" +
                                   common,
                               "-P", kQuad},
                              "loopback"),
              0);
    ASSERT_TRUE(session_->WaitForLinked(kLoop, "qor_loop.in") &&
                session_->WaitForLinked("qor_loop.out", kQuad))
        << session_->Log("loopback") << session_->Log("wireplumber");
  }

  // The same file played into the daemon's sink and the loopback's at once while the device's
  // four channels are recorded at rate: the daemon's pair and the loopback's. meanwhile runs once
  // both play, with where the recording was when they started.
  struct Both {
    HostAudio daemon;
    HostAudio loopback;
  };
  Both PlayThroughBoth(const std::string& file, int rate,
                       const std::function<void(Recorder&, uintmax_t)>& meanwhile) {
    Recorder recorder(*session_, Scratch("recording.wav"), rate, kQuad, "FL,FR,RL,RR");
    EXPECT_TRUE(recorder.WaitForFlow()) << session_->Log("record");
    const uintmax_t start = recorder.Bytes();
    const pid_t players[] = {
        Play(file),
        session_->Spawn({"pw-play", "--target", kLoop, "--latency", kLatency, file}, "play-loop")};
    meanwhile(recorder, start);
    for (const pid_t player : players) {
      if (HasFatalFailure()) session_->Stop(player);
      EXPECT_EQ(session_->WaitFor(player, std::chrono::seconds(60)), 0)
          << session_->Log("play") << session_->Log("play-loop");
    }
    EXPECT_TRUE(recorder.WaitPast(recorder.Bytes(), 0.25, rate));
    const HostAudio quad = recorder.Finish();
    header_ = recorder.Header();
    Both both{{2, rate, {}}, {2, rate, {}}};
    EXPECT_EQ(quad.channels, 4);
    for (size_t n = 0; quad.channels == 4 && n < quad.Frames(); ++n) {
      for (int c = 0; c < 2; ++c) {
        both.daemon.samples.push_back(quad.samples[4 * n + c]);
        both.loopback.samples.push_back(quad.samples[4 * n + 2 + c]);
      }
    }
    return both;
  }
  // The frame the last recording had reached when its file was bytes long.
  size_t QuadFrameOf(uintmax_t bytes) const { return bytes < header_ ? 0 : (bytes - header_) / 16; }

  // Music through both while the settings metadata gets each (key, value) a second after the
  // one before: the daemon lives on with its nodes and writes only numbers, and from each
  // change to the next its longest silence inside the music is at most one crossfade (10 ms)
  // longer than the loopback's.
  void ExpectChangesNoWorseThanTheLoopback(
      const std::vector<std::pair<std::string, std::string>>& settings) {
    ASSERT_NO_FATAL_FAILURE(StartLoopback());
    constexpr int kRate = 48000;
    const double seconds = 2.0 + static_cast<double>(settings.size());
    ASSERT_TRUE(qortest::WriteHostAudio(Scratch("music.wav"), Music(kRate, seconds)));
    // The recording's length when each command started.
    std::vector<uintmax_t> at;
    const Both both =
        PlayThroughBoth(Scratch("music.wav"), kRate, [&](Recorder& recorder, uintmax_t start) {
          ASSERT_TRUE(recorder.WaitPast(start, 1.0, kRate));
          for (const auto& [key, value] : settings) {
            at.push_back(recorder.Bytes());
            const qortest::CommandResult set =
                session_->Run({"pw-metadata", "-n", "settings", "0", key, value});
            EXPECT_EQ(set.code, 0) << set.err;
            ASSERT_TRUE(recorder.WaitPast(recorder.Bytes(), 1.0, kRate));
          }
        });
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_TRUE(session_->Alive(serve_)) << session_->Log("serve");
    const nlohmann::json objects = session_->Dump();
    EXPECT_TRUE(PipeWireSession::NodeId(objects, kServeSink).has_value());
    EXPECT_TRUE(PipeWireSession::NodeId(objects, SinkOutput()).has_value());
    // Both heard the music to its end (its last quarter second is silent).
    const auto music = static_cast<size_t>((seconds - 0.25) * kRate);
    for (const HostAudio* recording : {&both.daemon, &both.loopback}) {
      EXPECT_EQ(NonFinite(*recording), 0u);
      EXPECT_GE(Sounding(*recording), music - kRate / 10);
    }
    for (size_t i = 0; i < settings.size(); ++i) {
      SCOPED_TRACE(settings[i].first + " " + settings[i].second);
      const size_t from = QuadFrameOf(at[i]);
      const size_t to = i + 1 == settings.size() ? SIZE_MAX : QuadFrameOf(at[i + 1]);
      const Silence daemon = LongestSilence(both.daemon, from, to);
      const Silence loopback = LongestSilence(both.loopback, from, to);
      std::printf(
          "%s %s: longest silence %zu frames from the daemon (to frame %zu), %zu from "
          "the loopback (to frame %zu)\n",
          settings[i].first.c_str(), settings[i].second.c_str(), daemon.frames, daemon.end,
          loopback.frames, loopback.end);
      // One crossfade (10 ms) beyond the loopback. A node whose graph is forced to another rate
      // may also lose one more block there, by chance: going to 44.1 kHz about 10 ms (523 frames),
      // coming back one whole quantum of the graph's default 1024 frames. In repeated runs the
      // loopback lost the extra block (2048 frames against 1024) as often as the daemon did, each
      // in runs where the other did not.
      const size_t rateBlock = settings[i].first == "clock.force-rate" ? 1024 : 0;
      EXPECT_LE(daemon.frames, loopback.frames + kRate / 100 + rateBlock)
          << "the daemon's ends at frame " << daemon.end << ", the loopback's at " << loopback.end;
    }
  }
};

// The graph's quantum forced down to 64 frames and back to 1024 while music plays: the daemon
// carries on and loses no more of it than PipeWire's own loopback does.
TEST_F(ServeRateTest, QuantumChangesWhilePlayingLoseNoMoreThanPipeWiresOwnLoopback) {
  ExpectChangesNoWorseThanTheLoopback({{"clock.force-quantum", "64"},
                                       {"clock.force-quantum", "1024"},
                                       {"clock.force-quantum", "0"}});
}

// The graph's rate forced to 44.1 kHz and back while music plays: the daemon starts its objects
// again at each rate (and says so), and loses no more of the music than the loopback does.
TEST_F(ServeRateTest, RateChangesWhilePlayingLoseNoMoreThanPipeWiresOwnLoopback) {
  ExpectChangesNoWorseThanTheLoopback(
      {{"clock.force-rate", "44100"}, {"clock.force-rate", "48000"}, {"clock.force-rate", "0"}});
  std::vector<std::string> rates;
  for (const nlohmann::json& event : Events()) {
    if (event["event"] == "rate") rates.push_back(event["detail"].get<std::string>().substr(0, 28));
  }
  EXPECT_EQ(rates, (std::vector<std::string>{"the graph runs at 44100 Hz: ",
                                             "the graph runs at 48000 Hz: "}))
      << session_->Log("serve");
}

// A 44.1 kHz player moves the graph to 44.1 kHz: the daemon starts the objects again at that rate
// (and says so), the node reports their latency there, and the music comes out as `qorapo process`
// writes it at 44.1 kHz.
TEST_F(ServeRateTest, AtAnotherRateTheObjectsStartAgainAndProcessAtIt) {
  const int64_t latency = MusicAndReference("music44", 44100, 4.0);
  ASSERT_FALSE(HasFailure());
  // The same music through PipeWire's own loopback beside it: a period the graph loses on a busy
  // machine is lost there too, and only that much silence is the graph's.
  ASSERT_NO_FATAL_FAILURE(StartLoopback());
  const Both both = PlayThroughBoth(Scratch("music44.wav"), 44100, [](Recorder&, uintmax_t) {});
  ASSERT_FALSE(HasFatalFailure());
  // Read once the music is through: pw-dump walks the whole graph, and on a busy machine a run of
  // it while the music played cost the graph a period (the loopback's too). The node keeps what it
  // published for 44.1 kHz.
  const int reported = ReportedLatency();
  const HostAudio& recording = both.daemon;
  // Over the same stretch as below: from half a second into the music.
  const Silence lost = LongestSilence(both.loopback, FirstLoud(both.loopback) + 44100 / 2);
  const Silence daemon = LongestSilence(recording, FirstLoud(recording) + 44100 / 2);
  std::printf("longest silence: daemon %zu frames (to frame %zu), loopback %zu (to frame %zu)\n",
              daemon.frames, daemon.end, lost.frames, lost.end);
  EXPECT_GE(Sounding(both.loopback), static_cast<size_t>(3.7 * 44100));
  EXPECT_EQ(reported, latency);
  // After the microphone's and the speakers' "up": the speakers' filter, the only one the graph
  // runs, starts again.
  const std::vector<nlohmann::json> events = Events();
  ASSERT_EQ(events.size(), 3u) << session_->Log("serve");
  EXPECT_EQ(events[2]["event"], "rate");
  EXPECT_EQ(events[2]["node"], kServeSink);
  EXPECT_EQ(events[2]["detail"],
            "the graph runs at 44100 Hz: the objects started again there (latency " +
                std::to_string(latency) + " frames); the input passed meanwhile");
  const nlohmann::json status = Run({"status", "--json"}).Json();
  ASSERT_EQ(status["nodes"].size(), 2u) << status;
  // The microphone's filter, which no device feeds, was never run at the new rate.
  EXPECT_EQ(status["nodes"][0]["node"], kServeSource) << status;
  EXPECT_EQ(status["nodes"][0]["rate"], 48000) << status;
  EXPECT_EQ(status["nodes"][1]["node"], kServeSink) << status;
  EXPECT_EQ(status["nodes"][1]["rate"], 44100) << status;
  EXPECT_EQ(status["nodes"][1]["latency_frames"], latency) << status;
  EXPECT_EQ(status["last_event"]["event"], "rate") << status;
  // The first periods at the new rate pass unprocessed while the objects start: compare from
  // half a second on.
  const HostAudio expected = qortest::ReadHostAudio(File("music44-reference.wav"));
  const size_t lag = Lag(recording, expected);
  const size_t skip = 44100 / 2;
  ExpectSameAudio(
      HostAudio{2, 44100,
                std::vector<float>(recording.samples.begin() + 2 * (lag + skip),
                                   recording.samples.end())},
      HostAudio{2, 44100,
                std::vector<float>(expected.samples.begin() + 2 * skip, expected.samples.end())},
      0, lost.frames);
  EXPECT_TRUE(session_->Alive(serve_)) << session_->Log("serve");
}

// The speakers' clarity lift follows the room level that the microphone's echo canceller sends
// through the side-chain pipe: level boost only (no presence filter), full 20 dB above the
// threshold, proportionally below.
constexpr double kThresholdDb = -33.0;
constexpr double kLevelBoostDb = 6.0;
// Each instance reads the chains of its own position: the side chain's render element at the
// local effect tells the microphone's instance that a reader exists, the capture entry at SFX
// tells the speakers' SFX instance that a writer does.
const std::string kSideChainConfiguration = R"(<?xml version="1.0"?><qor_configuration><properties>
    <control name="VAPO3-Operating Mode">VAPO3-Voice</control>
    <control name="VAPO3-Speaker Type">VAPO3-Speakers</control>
    <control name="VAPO3-Process Enable">1</control></properties>
  <operating_mode>
    <control name="VAPO3-Operating Mode">VAPO3-Voice</control>
    <control name="VAPO3-Speaker Type">VAPO3-Speakers</control>
    <control name="CLARIX-Enable">1</control>
    <control name="CLARIX-Threshold">)" + std::to_string(static_cast<int>(kThresholdDb * 100)) +
                                            R"(</control>
    <control name="CLARIX-Presence Boost">0</control>
    <control name="CLARIX-Level Boost">)" + std::to_string(static_cast<int>(kLevelBoostDb * 100)) +
                                            R"(</control>
    <chain input="Mono; Stereo" output="Stereo">
      <process tech_id="QOR Clarix+" instance_id="LFX_Clarity" hook="Sidechain Pipe"/>
    </chain>
    <chain type="capture" input="Mono; Stereo" output="Mono; Stereo">
      <process tech_id="Sidechain Pipe" hook="Sidechain Pipe"/>
      <process tech_id="QOR AEC/NR" instance_id="CAP_AEC" hook="Sidechain Pipe"/>
    </chain>
    <chain_v2 position="SFX" input="Any" output="Any">
      <process tech_id="QOR Clarix+" instance_id="SFX_Clarity" hook="Sidechain Pipe"/>
    </chain_v2>
    <chain_v2 position="SFX" type="capture" input="Mono; Stereo" output="Mono; Stereo">
      <process tech_id="Sidechain Pipe" hook="Sidechain Pipe"/>
    </chain_v2>
  </operating_mode></qor_configuration>
)";

// A room microphone of the test's own: a null source that pw-play fills (a virtual one, since a
// null node of the plain source class has no inputs), so the daemon is told to record from it.
constexpr char kMicrophone[] = "test_microphone";

class ServeSideChainTest : public ServeTest {
 protected:
  const char* Configuration() const override { return kSideChainConfiguration.c_str(); }
  std::vector<std::string> ServeOptions() const override { return {"--source", kMicrophone}; }
  std::vector<std::pair<std::string, std::string>> Fragments() const override {
    return {{"test-microphone.conf", std::string(R"(context.objects = [
  { factory = adapter
    args = { factory.name = support.null-audio-sink node.name = )") +
                                         kMicrophone + R"( node.description = "Test microphone"
             media.class = Audio/Source/Virtual audio.position = [ FL FR ] } }
]
)"}};
  }
};

// A tone played into the microphone device reaches the speakers' instance through the daemon's
// capture node: the speakers' tone is lifted as far as the tone's RMS, as the room level, stands
// above the threshold; with the microphone silent, or the room below the threshold, not at all.
TEST_F(ServeSideChainTest, TheMicrophonesRoomLevelLiftsTheSpeakers) {
  constexpr double kSpeakerTone = 997.0;
  constexpr double kSpeakerAmplitude = 0.1;
  constexpr double kRoomTone = 440.0;
  // The objects take mono: the device's front left feeds the filter, which feeds the source.
  const std::string fx = std::string(kServeSource) + ".fx";
  std::vector<std::string> in, out;
  const bool linked = session_->WaitUntil([&](const nlohmann::json& objects) {
    in = LinkedChannels(objects, kMicrophone, fx);
    out = LinkedChannels(objects, fx, kServeSource);
    return !in.empty() && !out.empty();
  });
  EXPECT_TRUE(linked) << session_->Log("serve");
  EXPECT_EQ(in, std::vector<std::string>{"FL>MONO"});
  EXPECT_EQ(out, std::vector<std::string>{"MONO>MONO"});
  ASSERT_FALSE(HasFailure());
  // An application records from the endpoint's source, so the graph runs the capture side.
  const pid_t listener =
      session_->Spawn({"pw-record", "--target", kServeSource, "--format", "f32", "--rate", "48000",
                       "--channels", "1", "--latency", kLatency, Scratch("microphone.wav")},
                      "listener");
  ASSERT_NE(listener, 0);
  ASSERT_TRUE(qortest::WriteHostAudio(Scratch("speakers.wav"),
                                      qortest::Tones({kSpeakerTone}, kSpeakerAmplitude, 3.0)));
  struct Case {
    double roomAmplitude;  // 0: the microphone hears nothing
    double liftDb;
  };
  const auto rmsDb = [](double amplitude) { return qortest::Db(amplitude / std::sqrt(2.0)); };
  const auto lift = [&](double amplitude) {
    return kLevelBoostDb * std::clamp((rmsDb(amplitude) - kThresholdDb) / 20.0, 0.0, 1.0);
  };
  const Case cases[] = {
      {0.0, 0.0},
      {0.1, lift(0.1)},    // -23 dBFS, 10 dB above the threshold: half the boost
      {0.02, lift(0.02)},  // -37 dBFS: below it, no lift
      {0.5, lift(0.5)},    // -9 dBFS: the whole boost
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("room tone amplitude " + std::to_string(c.roomAmplitude));
    pid_t room = 0;
    if (c.roomAmplitude > 0.0) {
      ASSERT_TRUE(qortest::WriteHostAudio(Scratch("room.wav"),
                                          qortest::Tones({kRoomTone}, c.roomAmplitude, 30.0)));
      // The session manager sends streams to sinks only: the player waits unlinked, and the
      // test links it into the microphone itself.
      room = session_->Spawn({"pw-play", "-P", "{ node.autoconnect = false node.name = test_room }",
                              "--latency", kLatency, Scratch("room.wav")},
                             "room");
      ASSERT_NE(room, 0);
      ASSERT_TRUE(session_->WaitUntil([&](const nlohmann::json&) {
        bool all = true;
        for (const char* channel : {"FL", "FR"}) {
          const qortest::CommandResult link =
              session_->Run({"pw-link", std::string("test_room:output_") + channel,
                             std::string(kMicrophone) + ":input_" + channel});
          all = all && link.code == 0;
        }
        return all;
      })) << session_->Log("room");
    }
    // The room level settles over a second or two before the speakers play.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const HostAudio recording = PlayAndRecord(Scratch("speakers.wav"), 48000);
    if (room != 0) session_->Stop(room);
    if (HasFatalFailure()) return;
    size_t onset = 0;
    while (onset < recording.Frames() && std::fabs(recording.samples[2 * onset]) < 0.01f) ++onset;
    ASSERT_LT(onset + 5 * 48000 / 2, recording.Frames());
    // A second and a half once the lift has followed the room (0.3 s), in 50 ms blocks: their
    // median, which a period the loaded machine lost does not move.
    std::vector<double> blocks;
    for (size_t at = onset + 48000; at + 2400 <= onset + 5 * 48000 / 2; at += 2400) {
      blocks.push_back(qortest::ToneLevel(recording, kSpeakerTone, at, at + 2400));
    }
    std::nth_element(blocks.begin(), blocks.begin() + blocks.size() / 2, blocks.end());
    const double measured = qortest::Db(blocks[blocks.size() / 2] / kSpeakerAmplitude);
    // What reached the speakers, as the room level the lift stands for.
    std::printf(
        "room tone %.3f (%.1f dBFS RMS): speakers lifted %+.2f dB (expected %+.2f), "
        "a room %s %.1f dBFS\n",
        c.roomAmplitude, c.roomAmplitude > 0.0 ? rmsDb(c.roomAmplitude) : -INFINITY, measured,
        c.liftDb, measured < 0.01 ? "at or below" : "at",
        kThresholdDb + 20.0 * measured / kLevelBoostDb);
    // The echo canceller reads the room level within 2 dB: 0.6 dB of lift; none is bit-exact.
    EXPECT_NEAR(measured, c.liftDb, c.liftDb == 0.0 ? 0.01 : 0.6);
    // The lift lets go over a second once the room is quiet again.
    std::this_thread::sleep_for(std::chrono::seconds(3));
  }
  EXPECT_LE(session_->Stop(listener, SIGINT), 1) << session_->Log("listener");
  // The application recording from the endpoint heard the room through the noise reducer, which
  // takes off at most 15 dB: the loudest second holds the loudest room tone so.
  const HostAudio heard = qortest::ReadHostAudio(Scratch("microphone.wav"));
  double loudest = 0.0;
  for (size_t t = 0; t + 48000 <= heard.Frames(); t += 48000) {
    loudest = std::max(loudest, qortest::ToneLevel(heard, kRoomTone, t, t + 48000));
  }
  EXPECT_LE(loudest, 0.5);
  EXPECT_GE(qortest::Db(loudest / 0.5), -15.5);
  EXPECT_TRUE(session_->Alive(serve_)) << session_->Log("serve");
}

// Without --source, the capture node records from the first real source: not a virtual one, even
// one that comes first.
class ServeDefaultSourceTest : public ServeTest {
 protected:
  std::vector<std::pair<std::string, std::string>> Fragments() const override {
    return {{"test-sources.conf", R"(context.objects = [
  { factory = adapter
    args = { factory.name = support.null-audio-sink node.name = test_virtual_source
             media.class = Audio/Source/Virtual audio.position = [ FL FR ] } }
  { factory = adapter
    args = { factory.name = support.null-audio-sink node.name = test_real_source
             media.class = Audio/Source audio.position = [ FL FR ] } }
]
)"}};
  }
};

// The mono node takes the device's front left, or its first port where it has none (this
// PipeWire's null source of that class shows only its FR port).
TEST_F(ServeDefaultSourceTest, TheMicrophoneRecordsFromTheFirstRealSource) {
  const std::string fx = std::string(kServeSource) + ".fx";
  std::vector<std::string> real, decoy;
  std::string first;
  EXPECT_TRUE(session_->WaitUntil([&](const nlohmann::json& objects) {
    real = LinkedChannels(objects, "test_real_source", fx);
    decoy = LinkedChannels(objects, "test_virtual_source", fx);
    const std::optional<int> device = PipeWireSession::NodeId(objects, "test_real_source");
    first.clear();
    for (const nlohmann::json& object : objects) {
      const nlohmann::json info = object.value("info", nlohmann::json::object());
      const nlohmann::json props = info.value("props", nlohmann::json::object());
      if (object.value("type", "") != "PipeWire:Interface:Port" || !device ||
          props.value("node.id", -1) != *device || info.value("direction", "") != "output") {
        continue;
      }
      const std::string channel = props.value("audio.channel", "");
      if (first.empty() || channel == "FL") first = channel;
    }
    return !real.empty() || !decoy.empty();
  })) << session_->Log("serve");
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(real, std::vector<std::string>{first + ">MONO"});
  EXPECT_EQ(decoy, std::vector<std::string>{});
}

}  // namespace
