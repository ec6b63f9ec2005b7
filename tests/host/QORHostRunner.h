#pragma once
// Running the built qorapo against a temporary state root holding the demonstration endpoint, with
// several children at once: each child's output goes to files named by its tag.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <numbers>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TempStateRoot.h"

extern char** environ;

namespace qortest {

struct HostResult {
  int code = -1;
  std::string out;
  std::string err;
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

inline bool WriteHostAudio(const std::filesystem::path& path, const HostAudio& audio) {
  SF_INFO info{};
  info.channels = audio.channels;
  info.samplerate = audio.rate;
  info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (file == nullptr) return false;
  sf_writef_float(file, audio.samples.data(), static_cast<sf_count_t>(audio.Frames()));
  sf_close(file);
  return true;
}

inline HostAudio ReadHostAudio(const std::filesystem::path& path) {
  SF_INFO info{};
  HostAudio audio;
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr) return audio;
  audio.channels = info.channels;
  audio.rate = info.samplerate;
  audio.samples.resize(static_cast<size_t>(info.frames) * info.channels);
  sf_readf_float(file, audio.samples.data(), info.frames);
  sf_close(file);
  return audio;
}

// A stereo sine at 48 kHz whose amplitude is level(t) (seconds), the same in both channels.
inline HostAudio ShapedTone(double hz, double seconds, const std::function<double(double)>& level) {
  HostAudio audio{2, 48000, {}};
  const size_t frames = static_cast<size_t>(seconds * audio.rate);
  audio.samples.resize(frames * 2);
  for (size_t n = 0; n < frames; ++n) {
    const double t = static_cast<double>(n) / audio.rate;
    const auto value = static_cast<float>(level(t) * std::sin(2.0 * std::numbers::pi * hz * t));
    audio.samples[2 * n] = value;
    audio.samples[2 * n + 1] = value;
  }
  return audio;
}

class HostToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    files_ = std::filesystem::path(root_.Path()) / "files";
    logs_ = std::filesystem::path(root_.Path()) / "logs";
    std::filesystem::create_directories(files_);
    std::filesystem::create_directories(logs_);
    setenv("QOR_ROOT", (root_.Path() + "/state").c_str(), 1);
  }

  // demo-setup with the given extra arguments (e.g. a configuration).
  void SetUpDemo(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{"demo-setup", root_.Path() + "/state"};
    args.insert(args.end(), extra.begin(), extra.end());
    const HostResult setup = Run(args);
    ASSERT_EQ(setup.code, 0) << setup.err;
  }

  // Starts qorapo; its output goes to logs/<tag>.out and .err. 0 when it cannot start.
  pid_t Start(const std::vector<std::string>& args, const std::string& tag = "run") {
    std::vector<std::string> all{QOR_HOST_BINARY};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, OutOf(tag).c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, ErrOf(tag).c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = 0;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  }

  HostResult Wait(pid_t pid, const std::string& tag = "run") {
    HostResult result;
    int status = 0;
    const auto reaped = exited_.find(pid);
    if (reaped != exited_.end()) {
      status = reaped->second;
      exited_.erase(reaped);
      result.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    } else if (pid != 0 && waitpid(pid, &status, 0) == pid) {
      result.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    result.out = SlurpFile(OutOf(tag));
    result.err = SlurpFile(ErrOf(tag));
    return result;
  }

  HostResult Run(const std::vector<std::string>& args, const std::string& tag = "run") {
    return Wait(Start(args, tag), tag);
  }

  // Polls the child's standard error until it holds text; false after the bound or when the
  // child ended first.
  bool WaitForErr(pid_t pid, const std::string& tag, const std::string& text,
                  std::chrono::seconds bound = std::chrono::seconds(60)) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < deadline) {
      if (SlurpFile(ErrOf(tag)).find(text) != std::string::npos) return true;
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        exited_[pid] = status;
        return SlurpFile(ErrOf(tag)).find(text) != std::string::npos;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  std::filesystem::path OutOf(const std::string& tag) const { return logs_ / (tag + ".out"); }
  std::filesystem::path ErrOf(const std::string& tag) const { return logs_ / (tag + ".err"); }
  std::string File(const std::string& name) const { return (files_ / name).string(); }

  TempStateRoot root_;
  std::filesystem::path files_;
  std::filesystem::path logs_;
  std::map<pid_t, int> exited_;
};

}  // namespace qortest
