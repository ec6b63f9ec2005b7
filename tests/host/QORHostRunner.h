#pragma once
// The built qorapo run against a temporary state root with the demonstration endpoint.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <numbers>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "HostProcess.h"
#include "TempStateRoot.h"
#include "platform/QOREnvironment.h"
#include "platform/QORModule.h"

#ifdef _WIN32
#include "TestWindows.h"
#else
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace qortest {

struct HostResult {
  int code = -1;
  std::string out;
  std::string err;

  // The standard output as JSON; a parse failure fails the test and gives null.
  nlohmann::json Json() const {
    try {
      return nlohmann::json::parse(out);
    } catch (const nlohmann::json::exception& error) {
      ADD_FAILURE() << "not JSON (" << error.what() << "): " << out << err;
      return nullptr;
    }
  }
};

struct HostAudio {
  int channels = 0;
  int rate = 0;
  std::vector<float> samples;
  size_t Frames() const { return channels == 0 ? 0 : samples.size() / channels; }
};

inline std::string SlurpFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A module's file name on this platform, e.g. qlvapo64.so or qlvapo64.dll.
inline std::string ModuleFile(const std::string& base) {
  return base + kQORModuleSuffix;
}

// A module built beside qorapo.
inline std::filesystem::path BuiltModule(const std::string& base) {
  return std::filesystem::path(QOR_HOST_BINARY).parent_path() / ModuleFile(base);
}

// What qorapo printed to a file: on Windows its lines end in "\r\n", read here as "\n".
inline std::string SlurpLog(const std::filesystem::path& path) {
  std::string text = SlurpFile(path);
#ifdef _WIN32
  for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) {
    text.erase(at, 1);
  }
#endif
  return text;
}

inline bool WriteHostAudio(const std::filesystem::path& path, const HostAudio& audio) {
  SF_INFO info{};
  info.channels = audio.channels;
  info.samplerate = audio.rate;
  info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  SNDFILE* file = sf_open(path.string().c_str(), SFM_WRITE, &info);
  if (file == nullptr) return false;
  sf_writef_float(file, audio.samples.data(), static_cast<sf_count_t>(audio.Frames()));
  sf_close(file);
  return true;
}

inline HostAudio ReadHostAudio(const std::filesystem::path& path) {
  SF_INFO info{};
  HostAudio audio;
  SNDFILE* file = sf_open(path.string().c_str(), SFM_READ, &info);
  if (file == nullptr) return audio;
  audio.channels = info.channels;
  audio.rate = info.samplerate;
  audio.samples.resize(static_cast<size_t>(info.frames) * info.channels);
  sf_readf_float(file, audio.samples.data(), info.frames);
  sf_close(file);
  return audio;
}

// Sines at 48 kHz, each of the amplitude (times shape(seconds) when given), in every channel.
inline HostAudio Tones(const std::vector<double>& hz, double amplitude, double seconds,
                       int channels = 2, const std::function<double(double)>& shape = nullptr) {
  HostAudio audio{channels, 48000, {}};
  const size_t frames = static_cast<size_t>(seconds * audio.rate);
  audio.samples.resize(frames * channels);
  for (size_t n = 0; n < frames; ++n) {
    const double t = static_cast<double>(n) / audio.rate;
    const double level = shape ? amplitude * shape(t) : amplitude;
    double value = 0.0;
    for (const double f : hz) value += level * std::sin(2.0 * std::numbers::pi * f * t);
    for (int c = 0; c < channels; ++c) audio.samples[n * channels + c] = static_cast<float>(value);
  }
  return audio;
}

inline double Db(double ratio) {
  return 20.0 * std::log10(ratio);
}

// Amplitude of frequency f in channel 0 over frames [begin, end).
inline double ToneLevel(const HostAudio& audio, double f, size_t begin, size_t end) {
  end = std::min(end, audio.Frames());
  double re = 0.0;
  double im = 0.0;
  for (size_t n = begin; n < end; ++n) {
    const double phase = 2.0 * std::numbers::pi * f * static_cast<double>(n) / audio.rate;
    re += audio.samples[n * audio.channels] * std::cos(phase);
    im += audio.samples[n * audio.channels] * std::sin(phase);
  }
  return 2.0 * std::hypot(re, im) / static_cast<double>(end - begin);
}

// The tone's level in dB relative to amplitude, in channel 0 over [begin, end) seconds.
inline double ToneDb(const HostAudio& audio, double f, double amplitude, double begin, double end) {
  return Db(ToneLevel(audio, f, static_cast<size_t>(begin * audio.rate),
                      static_cast<size_t>(end * audio.rate)) /
            amplitude);
}

// The rate the tests' own audio is written at, and the tone and level of the live tests.
inline constexpr int kRate = 48000;
inline constexpr double kTone = 1000.0;
inline constexpr double kAmplitude = 0.1;

// The live tone's level in dB relative to kAmplitude over [begin, end) seconds.
inline double LevelDb(const HostAudio& audio, double begin, double end) {
  return ToneDb(audio, kTone, kAmplitude, begin, end);
}

// The delay `process` reports ("delayed by N frames"); -1 when it reports none.
inline long long Latency(const std::string& report) {
  std::smatch match;
  if (!std::regex_search(report, match, std::regex("delayed by (\\d+) frames"))) return -1;
  return std::stoll(match[1]);
}

// What a real-time run prints once its stream runs.
inline constexpr char kStarted[] = "real-time stream started at monotonic";

// Seconds on the monotonic clock, the one a real-time run names its stream's start on.
inline double MonotonicNow() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The largest step between samples of channel 0 over [begin, end) frames, each against the
// steepest step a clean tone of hz makes at the level it has within half its period of that step
// (1.0 when click-free). The level is taken that close because a crossfade may change it by half
// within a few milliseconds: a crest a window away says nothing about the slope here.
inline double WorstStep(const HostAudio& audio, double hz, size_t begin, size_t end) {
  const auto half = static_cast<size_t>(audio.rate / hz / 2.0) + 1;
  end = std::min(end, audio.Frames() - half);
  begin = std::max<size_t>(begin, half);
  double worst = 0.0;
  for (size_t n = begin; n < end; ++n) {
    const size_t c = audio.channels;
    const float step = std::fabs(audio.samples[n * c] - audio.samples[(n - 1) * c]);
    float level = 0.0f;
    for (size_t k = n - half; k <= n + half; ++k) {
      level = std::max(level, std::fabs(audio.samples[k * c]));
    }
    if (level > 0.0f) {
      worst = std::max(worst, step / (level * 2.0 * std::sin(std::numbers::pi * hz / audio.rate)));
    }
  }
  return worst;
}

// A 44-byte float WAV header, stereo at 48 kHz, promising frames.
inline std::string WaveHeader(uint32_t frames) {
  std::string header;
  const auto put = [&](uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) header += static_cast<char>((value >> (8 * i)) & 0xFF);
  };
  header += "RIFF";
  put(36 + frames * 8, 4);
  header += "WAVEfmt ";
  put(16, 4);
  put(3, 2);  // IEEE float
  put(2, 2);
  put(48000, 4);
  put(48000 * 8, 4);
  put(8, 2);
  put(32, 2);
  header += "data";
  put(frames * 8, 4);
  return header;
}

// A stereo tone at 48 kHz fed through a FIFO (on Windows a named pipe) to a real-time host for as
// long as a test needs it: the host plays on until End, so tools that run slowly on a loaded
// machine never reach the end of the input. The header promises ten minutes; the host reports the
// stream as cut short.
class ToneStream {
 public:
  ToneStream(std::string fifo, double hz, double amplitude)
      : fifo_(std::move(fifo)), hz_(hz), amplitude_(amplitude) {
#ifdef _WIN32
    static std::atomic<int> made{0};
    fifo_ = "\\\\.\\pipe\\qor-tone-" + std::to_string(GetCurrentProcessId()) + "-" +
            std::to_string(made++);
    pipe_ = CreateNamedPipeA(fifo_.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1,
                             65536, 0, 0, nullptr);
    if (pipe_ != INVALID_HANDLE_VALUE) feeder_ = std::thread([this] { Feed(); });
#else
    std::signal(SIGPIPE, SIG_IGN);  // a host that ended early must not end the test
    if (mkfifo(fifo_.c_str(), 0600) == 0) feeder_ = std::thread([this] { Feed(); });
#endif
  }
  ToneStream(const ToneStream&) = delete;
  ToneStream& operator=(const ToneStream&) = delete;
  ~ToneStream() {
    End(0.0);
#ifdef _WIN32
    // A feeder still waiting for a reader that never came is let go by one that comes and goes.
    if (!connected_.load()) {
      const HANDLE reader =
          CreateFileA(fifo_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);
    }
    if (feeder_.joinable()) feeder_.join();
    if (pipe_ != INVALID_HANDLE_VALUE) CloseHandle(pipe_);
#else
    if (feeder_.joinable()) feeder_.join();
    std::filesystem::remove(fifo_);
#endif
  }

  const std::string& Path() const {
    return fifo_;
  }
  // The stream ends once it holds at least seconds of audio (more when it is already past them).
  void End(double seconds) {
    end_.store(static_cast<int64_t>(seconds * kRate));
  }

 private:
  static constexpr int64_t kRate = 48000;

#ifdef _WIN32
  // Writes all of bytes, waiting while the pipe is full; false once the reader has gone.
  bool Write(const char* bytes, size_t size) {
    DWORD written = 0;
    return WriteFile(pipe_, bytes, static_cast<DWORD>(size), &written, nullptr) && written == size;
  }

  bool Open() {
    const bool connected =
        ConnectNamedPipe(pipe_, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
    connected_.store(true);
    return connected && frames_ < end_.load();
  }

  // What was written reaches the host before the pipe closes, which ends its input.
  void Close() {
    FlushFileBuffers(pipe_);
    CloseHandle(pipe_);
    pipe_ = INVALID_HANDLE_VALUE;
  }
#else
  // Writes all of bytes, waiting while the pipe is full; false once the reader has gone, or
  // when nobody reads for a minute.
  bool Write(const char* bytes, size_t size) {
    while (size > 0) {
      pollfd ready{fd_, POLLOUT, 0};
      if (poll(&ready, 1, 60000) <= 0) return false;
      const ssize_t written = write(fd_, bytes, size);
      if (written < 0 && errno != EAGAIN && errno != EINTR) return false;
      if (written > 0) {
        bytes += written;
        size -= static_cast<size_t>(written);
      }
    }
    return true;
  }

  bool Open() {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    // A FIFO opened for writing without a reader fails at once; the host opens it when it starts.
    while ((fd_ = open(fifo_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0 &&
           frames_ < end_.load() && std::chrono::steady_clock::now() < limit) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return fd_ >= 0;
  }

  void Close() {
    close(fd_);
  }
#endif

  void Feed() {
    if (!Open()) return;
    const std::string header = WaveHeader(600 * kRate);
    bool open = Write(header.data(), header.size());
    std::vector<float> block(2 * 480);
    while (open && frames_ < end_.load()) {
      for (size_t f = 0; f < 480; ++f, ++frames_) {
        const double phase = 2.0 * std::numbers::pi * hz_ * static_cast<double>(frames_) / kRate;
        block[2 * f] = block[2 * f + 1] = static_cast<float>(amplitude_ * std::sin(phase));
      }
      open = Write(reinterpret_cast<const char*>(block.data()), block.size() * sizeof(float));
    }
    Close();
  }

  std::string fifo_;
  double hz_;
  double amplitude_;
  std::atomic<int64_t> end_{INT64_MAX};
  int64_t frames_ = 0;
#ifdef _WIN32
  HANDLE pipe_ = INVALID_HANDLE_VALUE;
  std::atomic<bool> connected_{false};
#else
  int fd_ = -1;
#endif
  std::thread feeder_;
};

inline const nlohmann::json* Named(const nlohmann::json& list, const std::string& name) {
  for (const nlohmann::json& entry : list) {
    if (entry["name"] == name) return &entry;
  }
  return nullptr;
}

// Every field of expected (recursively, in objects) is the same in actual, which may hold more.
inline void ExpectFields(const nlohmann::json& actual, const nlohmann::json& expected) {
  for (const auto& [key, value] : expected.items()) {
    if (value.is_object()) {
      ExpectFields(actual.value(key, nlohmann::json::object()), value);
    } else {
      EXPECT_EQ(actual.value(key, nlohmann::json()), value) << key << " in " << actual;
    }
  }
}

// Music lifts one graphic-EQ band (1 kHz, behind a public switch) by 6 dB, Movie cuts it by 6.
inline const std::string kEqConfiguration = [] {
  std::string text = R"(<?xml version="1.0"?><qor_configuration><properties>
    <control name="VAPO3-Operating Mode">VAPO3-Music</control>
    <control name="VAPO3-Speaker Type">VAPO3-Speakers</control>
    <control name="VAPO3-Process Enable">1</control></properties>)";
  for (const auto& [mode, band] : {std::pair{"Music", "600"}, std::pair{"Movie", "-600"}}) {
    text += std::string(R"(<operating_mode><control name="VAPO3-Operating Mode">VAPO3-)") + mode +
            R"(</control><control name="VAPO3-Speaker Type">VAPO3-Speakers</control>
    <control name="ZR3D-GEQ Enable" public="true">1</control><control name="ZR3D-GEQ Band 6">)" +
            band + R"(</control><control name="ZR3D-Limiter Enable">0</control>
    <chain_v2 position="SFX" input="Any" output="Any">
    <process tech_id="ZR3D" instance_id="SFX_Main"/>
    </chain_v2></operating_mode>)";
  }
  return text + "</qor_configuration>\n";
}();

// An endpoint for equaliser imports: Music/Speakers lifts 1 kHz by 6 dB (ZR3D) before the
// parametric equaliser and the convolution; Movie/Speakers has those two alone. Both let a control
// panel set the equaliser's preamp and bands 1 to 24 and the convolution's response.
inline const std::string kImportConfiguration = [] {
  std::string text = R"(<?xml version="1.0"?><qor_configuration><properties>
    <control name="VAPO3-Operating Mode">VAPO3-Music</control>
    <control name="VAPO3-Speaker Type">VAPO3-Speakers</control>
    <control name="VAPO3-Process Enable">1</control></properties>)";
  std::string settable = R"(<control name="PEQ-Enable" public="true">1</control>
    <control name="PEQ-Preamp" public="true">0</control>
    <control name="CONV-Impulse Response" public="true">none</control>
    <control name="CONV-Enable" public="true">1</control>)";
  for (int n = 1; n <= 24; ++n) {
    const std::string band = "PEQ-Band " + std::to_string(n);
    for (const auto& [what, value] :
         {std::pair{" Type", "Off"}, std::pair{" Frequency", "100000"}, std::pair{" Gain", "0"},
          std::pair{" Q", "71"}, std::pair{" Channel", "0"}}) {
      settable += "<control name=\"" + band + what + "\" public=\"true\">" + value + "</control>";
    }
  }
  for (const char* mode : {"Music", "Movie"}) {
    const bool music = std::string(mode) == "Music";
    text += std::string(R"(<operating_mode><control name="VAPO3-Operating Mode">VAPO3-)") + mode +
            R"(</control><control name="VAPO3-Speaker Type">VAPO3-Speakers</control>)" + settable +
            (music ? R"(<control name="ZR3D-GEQ Enable">1</control>
    <control name="ZR3D-GEQ Band 6">600</control><control name="ZR3D-Limiter Enable">0</control>)"
                   : "") +
            R"(<chain_v2 position="SFX" input="Any" output="Any">)" +
            (music ? R"(<process tech_id="ZR3D" instance_id="SFX_Main"/>)" : "") +
            R"(<process tech_id="QOR Parametric EQ" instance_id="SFX_Eq"/>
    <process tech_id="QOR Convolution" instance_id="SFX_Room"/></chain_v2></operating_mode>)";
  }
  return text + "</qor_configuration>\n";
}();

// Each test's own state root with the demonstration endpoint, configured by Configuration() if set.
class HostToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    files_ = std::filesystem::path(root_.Path()) / "files";
    logs_ = std::filesystem::path(root_.Path()) / "logs";
    std::filesystem::create_directories(files_);
    std::filesystem::create_directories(logs_);
    std::vector<std::string> args{"demo-setup", root_.Path() + "/state"};
    if (const char* configuration = Configuration()) {
      std::ofstream(File("config.xml")) << configuration;
      args.insert(args.end(), {"--config", File("config.xml")});
    }
    const HostResult setup = Run(args);
    ASSERT_EQ(setup.code, 0) << setup.err;
    QOREnvironment::Set("QOR_ROOT", root_.Path() + "/state");
  }

  void TearDown() override {
    for (const pid_t pid : background_) Stop(pid);
  }

  virtual const char* Configuration() const { return nullptr; }

  // Starts qorapo; its output goes to logs/<tag>.out and .err. 0 when it cannot start.
  pid_t Start(const std::vector<std::string>& args, const std::string& tag = "run") {
    std::vector<std::string> all{QOR_HOST_BINARY};
    all.insert(all.end(), args.begin(), args.end());
    return HostProcess::Start(all, files_, OutOf(tag), ErrOf(tag));
  }

  // Reaps the child (or takes its code, when a poll reaped it) and reads what it printed.
  HostResult Wait(pid_t pid, const std::string& tag = "run") {
    HostResult result;
    if (const auto reaped = exited_.find(pid); reaped != exited_.end()) {
      result.code = reaped->second;
      exited_.erase(reaped);
    } else if (pid != 0) {
      result.code = HostProcess::Wait(pid, -1).value_or(-1);
    }
    result.out = SlurpLog(OutOf(tag));
    result.err = SlurpLog(ErrOf(tag));
    return result;
  }

  HostResult Run(const std::vector<std::string>& args, const std::string& tag = "run") {
    return Wait(Start(args, tag), tag);
  }

  // A command that must succeed, its output read as JSON.
  nlohmann::json RunJson(const std::vector<std::string>& args) {
    const HostResult result = Run(args);
    EXPECT_EQ(result.code, 0) << result.err;
    return result.Json();
  }

  // Polls the child's standard error (or output) for text; false after the bound or its end.
  bool WaitForErr(pid_t pid, const std::string& tag, const std::string& text,
                  std::chrono::seconds bound = std::chrono::seconds(60), bool out = false) {
    const std::filesystem::path file = out ? OutOf(tag) : ErrOf(tag);
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < deadline) {
      if (SlurpFile(file).find(text) != std::string::npos) return true;
      if (exited_.count(pid) != 0) return false;
      if (const std::optional<int> code = HostProcess::Wait(pid, 0)) {
        exited_[pid] = *code;
        return SlurpFile(file).find(text) != std::string::npos;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  // Starts a long-running qorapo that TearDown ends, once it has printed a whole line; 0 if not.
  pid_t StartBackground(const std::vector<std::string>& args, const std::string& tag) {
    const pid_t pid = Start(args, tag);
    if (pid == 0) return 0;
    background_.push_back(pid);
    return WaitForErr(pid, tag, "\n", std::chrono::seconds(30), true) ? pid : 0;
  }

  // Sends a child a signal (on Windows what stands in for it, see HostProcess).
  static bool Signal(pid_t pid, int signal) { return HostProcess::Signal(pid, signal); }

  // Ends a background qorapo with SIGTERM; its exit code.
  int Stop(pid_t pid) {
    std::erase(background_, pid);
    return pid == 0 || !Signal(pid, SIGTERM) ? -1 : Wait(pid, "stopped").code;
  }

  size_t FileCount() const {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(files_), {}));
  }

  // In the form qorapo stores an absolute path in (on Windows with backslashes).
  static std::string Example() {
    return std::filesystem::path(std::string(QOR_SOURCE_DIR) + "/examples/qorapo-laptop.xml")
        .make_preferred()
        .string();
  }

  std::filesystem::path OutOf(const std::string& tag) const { return logs_ / (tag + ".out"); }
  std::filesystem::path ErrOf(const std::string& tag) const { return logs_ / (tag + ".err"); }
  std::string File(const std::string& name) const { return (files_ / name).string(); }

  TempStateRoot root_;
  std::filesystem::path files_;
  std::filesystem::path logs_;
  std::map<pid_t, int> exited_;
  std::vector<pid_t> background_;
};

}  // namespace qortest
