// End-to-end: what `qorapo process` does at the edges a user meets: refused writes, changes it
// could never make, inputs that block, end early or are the output itself, and runs killed
// outright.
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstring>
#include <fstream>
#include <numbers>

#include "QORHostRunner.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using qortest::HostAudio;
using qortest::HostResult;
using qortest::SlurpFile;
using qortest::Tones;
using qortest::WriteHostAudio;

// Music's public control is the graphic EQ's switch, Movie's the limiter's; only Movie has a
// headphone mode.
constexpr char kEdgesConfiguration[] = R"(<?xml version="1.0"?><qor_configuration><properties>
  <control name="VAPO3-Operating Mode">VAPO3-Music</control>
  <control name="VAPO3-Speaker Type">VAPO3-Speakers</control>
  <control name="VAPO3-Process Enable">1</control></properties>
  <operating_mode><control name="VAPO3-Operating Mode">VAPO3-Music</control>
    <control name="VAPO3-Speaker Type">VAPO3-Speakers</control>
    <control name="ZR3D-GEQ Enable" public="true">1</control>
    <control name="ZR3D-Limiter Enable">0</control>
    <chain_v2 position="SFX" input="Any" output="Any">
    <process tech_id="ZR3D" instance_id="SFX_Main"/></chain_v2></operating_mode>
  <operating_mode><control name="VAPO3-Operating Mode">VAPO3-Movie</control>
    <control name="VAPO3-Speaker Type">VAPO3-Speakers</control>
    <control name="ZR3D-GEQ Enable">1</control>
    <control name="ZR3D-Limiter Enable" public="true">0</control>
    <chain_v2 position="SFX" input="Any" output="Any">
    <process tech_id="ZR3D" instance_id="SFX_Main"/></chain_v2></operating_mode>
  <operating_mode><control name="VAPO3-Operating Mode">VAPO3-Movie</control>
    <control name="VAPO3-Speaker Type">VAPO3-Headphones</control>
    <chain_v2 position="SFX" input="Any" output="Any">
    <process tech_id="ZR3D" instance_id="SFX_Main"/></chain_v2></operating_mode>
</qor_configuration>
)";

// A child the test ends by its id, with SIGKILL, whatever happens to the test.
class Child {
 public:
  explicit Child(pid_t pid) : pid_(pid) {}
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    if (pid_ > 0) {
      qortest::HostProcess::Signal(pid_, SIGKILL);
      qortest::HostProcess::Wait(pid_, -1);
    }
  }
  pid_t Pid() const { return pid_; }
  // Its exit code (128 + the signal that ended it) once it ends within bound; -1 while it runs.
  int EndsWithin(std::chrono::seconds bound) {
    if (pid_ <= 0) return -1;
    const std::optional<int> code = qortest::HostProcess::Wait(
        pid_, static_cast<int>(std::chrono::milliseconds(bound).count()));
    if (!code) return -1;
    pid_ = 0;
    return *code;
  }

 private:
  pid_t pid_;
};

// Waits (bounded) until pred holds; false if it never did.
bool Eventually(const std::function<bool()>& pred,
                std::chrono::seconds bound = std::chrono::seconds(60)) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (std::chrono::steady_clock::now() < deadline) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

#ifndef _WIN32
// Whether the process has its own handler for signal (from /proc, not from the process).
bool Catches(pid_t pid, int signal) {
  std::istringstream status(SlurpFile("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("SigCgt:", 0) == 0) {
      return ((std::stoull(line.substr(7), nullptr, 16) >> (signal - 1)) & 1) != 0;
    }
  }
  return false;
}
#endif

class ProcessEdgesTest : public qortest::HostToolTest {
 protected:
  const char* Configuration() const override { return kEdgesConfiguration; }

#ifndef _WIN32
  void SetUp() override {
    qortest::HostToolTest::SetUp();
    signal(SIGPIPE, SIG_IGN);  // a FIFO whose reader is gone must not end the test
  }
#endif

  std::string Get(const std::vector<std::string>& args) {
    const HostResult result = Run(args);
    EXPECT_EQ(result.code, 0) << result.err;
    return result.out;
  }

  std::vector<std::string> Hidden() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(files_)) {
      const std::string name = entry.path().filename().string();
      if (name[0] == '.') names.push_back(name);
    }
    return names;
  }

#ifndef _WIN32
  // Opens the FIFO for writing once qorapo has it open for reading; -1 after the bound.
  static int OpenWriter(const std::string& fifo) {
    int writer = -1;
    Eventually([&] { return (writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) >= 0; });
    if (writer >= 0) fcntl(writer, F_SETFL, 0);
    return writer;
  }
#endif
};

// Every writer of a control (control set, --set, --at) refuses the same value with the same
// words before anything is written; process refusals exit 1, the tool's 2.
TEST_F(ProcessEdgesTest, EveryWriterRefusesAValueOutsideTheRangeWithOneMessageAndWritesNothing) {
  ASSERT_TRUE(WriteHostAudio(File("in.wav"), Tones({1000.0}, 0.1, 1.0)));
  ASSERT_EQ(Run({"mode", "set", "Music"}).code, 0);
  ASSERT_EQ(Run({"control", "set", "ZR3D-GEQ Enable", "0"}).code, 0);
  ASSERT_EQ(Run({"control", "set", "VAPO3-Process Enable", "0"}).code, 0);
  const std::string banana =
      "'banana' is outside the range of 'VAPO3-Process Enable': a switch, 0..1 (also Off/On); "
      "nothing was written";
  const std::string seven =
      "'7' is outside the range of 'ZR3D-GEQ Enable': a switch, 0..1 (also Off/On); nothing "
      "was written";
  const std::string unknown =
      "'ZR3D-Nope' is not a public control of mode Music/Speakers nor a global switch; the "
      "controls you can set are VAPO3-Process Enable, VAPO3-Mic Monitor Enable, ZR3D-GEQ "
      "Enable (see `qorapo control list`)";
  const std::string in = File("in.wav");
  const std::string out = File("out.wav");
  const struct {
    std::vector<std::string> args;
    int code;
    std::string message;
  } cases[] = {
      {{"control", "set", "VAPO3-Process Enable", "banana"}, 2, banana},
      {{"process", in, out, "--set", "VAPO3-Process Enable=banana"}, 1, banana},
      {{"process", in, out, "--at", "0.5:VAPO3-Process Enable=banana"}, 1, banana},
      {{"control", "set", "ZR3D-GEQ Enable", "7"}, 2, seven},
      {{"process", in, out, "--set", "ZR3D-GEQ Enable=7"}, 1, seven},
      {{"process", in, out, "--at", "0.5:ZR3D-GEQ Enable=7"}, 1, seven},
      // A mode and a good write before the refused one: neither is made.
      {{"process", in, out, "--mode", "Movie", "--set", "VAPO3-Process Enable=1", "--set",
        "ZR3D-Limiter Enable=7"},
       1,
       "'7' is outside the range of 'ZR3D-Limiter Enable': a switch, 0..1 (also Off/On); "
       "nothing was written"},
      {{"control", "set", "ZR3D-Nope", "1"}, 2, unknown},
      {{"control", "set", "mode", "Movie"},
       2,
       "'mode' is no control; choose modes with `qorapo mode set`"},
      {{"process", in, out, "--set", "ZR3D-Nope=1"}, 1, unknown},
      {{"process", in, out, "--at", "0.2:ZR3D-Nope=1"}, 1, unknown},
  };
  for (const auto& c : cases) {
    const HostResult result = Run(c.args);
    EXPECT_EQ(result.code, c.code) << c.args[0] << " " << c.args[3];
    EXPECT_EQ(result.err, "qorapo: " + c.message + "\n") << c.args[3];
    EXPECT_EQ(result.out, "");
  }
  EXPECT_EQ(Get({"control", "get", "ZR3D-GEQ Enable"}), "0\n");
  EXPECT_EQ(Get({"control", "get", "VAPO3-Process Enable"}), "0\n");
  EXPECT_EQ(Get({"mode", "get"}), "Music/Speakers\n");
  EXPECT_FALSE(fs::exists(out));
  // A value the check accepts is stored in the settings' form, as the tool stores it.
  ASSERT_EQ(Run({"process", in, out, "--set", "ZR3D-GEQ Enable=On"}).code, 0);
  EXPECT_EQ(Get({"control", "get", "ZR3D-GEQ Enable"}), "1\n");
}

// A change that could never happen is refused before the run: past the end, an unknown mode, a
// control the mode in force at that position lacks. With --loop a position counts the stream.
TEST_F(ProcessEdgesTest, AChangeThatCouldNeverHappenIsRefusedBeforeTheRun) {
  ASSERT_TRUE(WriteHostAudio(File("in.wav"), Tones({1000.0}, 0.1, 2.0)));
  const std::string in = File("in.wav");
  const std::string past = "lies past the end of '" + in +
                           "', which is 2.000 s long (96000 frames); give a position before its "
                           "end";
  const struct {
    std::vector<std::string> at;
    std::string message;
  } refused[] = {
      {{"5:mode=Movie"}, "--at '5:mode=Movie' " + past},
      {{"2:mode=Movie"}, "--at '2:mode=Movie' " + past},  // the end itself is past the last frame
      {{"1:mode=Cinema"},
       "the configuration has no mode Cinema/Speakers; use one of Music/Speakers, "
       "Movie/Speakers, Movie/Headphones (see `qorapo mode list`)"},
      {{"1:speaker=Headphones"},
       "the configuration has no mode Music/Headphones; use one of Music/Speakers, "
       "Movie/Speakers, Movie/Headphones (see `qorapo mode list`)"},
      // Movie is in force from 0.5 s, given after or before.
      {{"0.5:mode=Movie", "1:ZR3D-GEQ Enable=0"},
       "'ZR3D-GEQ Enable' is not a public control of mode Movie/Speakers nor a global switch; the "
       "controls you can set are VAPO3-Process Enable, VAPO3-Mic Monitor Enable, ZR3D-Limiter "
       "Enable (see `qorapo control list`)"},
      {{"1:ZR3D-Limiter Enable=1", "0.5:mode=Movie", "1.5:mode=Music", "1.9:ZR3D-Limiter Enable=1"},
       "'ZR3D-Limiter Enable' is not a public control of mode Music/Speakers nor a global switch; "
       "the controls you can set are VAPO3-Process Enable, VAPO3-Mic Monitor Enable, ZR3D-GEQ "
       "Enable (see `qorapo control list`)"},
  };
  for (const auto& c : refused) {
    std::vector<std::string> args{"process", in, File("out.wav"), "--mode", "Music"};
    for (const std::string& at : c.at) args.insert(args.end(), {"--at", at});
    const HostResult result = Run(args);
    EXPECT_EQ(result.code, 1) << c.at[0];
    EXPECT_EQ(result.err, "qorapo: " + c.message + "\n");
  }
  EXPECT_FALSE(fs::exists(File("out.wav")));

  // The last frame is still inside, and the mode order above works the other way round.
  json done = RunJson({"process", in, File("out.wav"), "--mode", "Music", "--json", "--at",
                       "1.99:speaker=Headphones", "--at", "1:ZR3D-Limiter Enable=1", "--at",
                       "0.5:mode=Movie"});
  ASSERT_EQ(done["changes"].size(), 3u) << done;
  EXPECT_EQ(done["changes"][2].get<std::string>().rfind("1.99:speaker=Headphones: at 1.990 s", 0),
            0u);
  // For this run only: the limiter is put back in the mode it was changed in, and the mode as a
  // whole (Music/Headphones, half way back, does not exist).
  EXPECT_EQ(Get({"control", "get", "ZR3D-Limiter Enable", "--mode", "Movie"}), "0\n");
  EXPECT_EQ(Get({"mode", "get"}), "Music/Speakers\n");

  // Looping, 5 s into the stream is in the third pass of a 2 s file.
  const pid_t loop =
      Start({"process", in, "-", "--loop", "--json", "--at", "5:mode=Movie"}, "loop");
  Child child(loop);
  EXPECT_TRUE(WaitForErr(loop, "loop", "(pass 4)"));
  Signal(loop, SIGINT);
  EXPECT_EQ(child.EndsWithin(std::chrono::seconds(60)), 0);
  const json looped = json::parse(qortest::SlurpLog(OutOf("loop")), nullptr, false);
  ASSERT_TRUE(looped.contains("changes")) << qortest::SlurpLog(ErrOf("loop"));
  ASSERT_EQ(looped["changes"].size(), 1u);
  EXPECT_EQ(looped["changes"][0].get<std::string>().rfind("5:mode=Movie: at 5.000 s", 0), 0u);
}

#ifndef _WIN32
// FIFOs are Linux's; the Windows build reads named pipes (see the real-time tests).
// Blocked on a FIFO (no writer yet; a writer that sent a header and stalled), an interrupt still
// ends the run, with the interrupted message and 130, and no output.
TEST_F(ProcessEdgesTest, AnInterruptEndsARunBlockedOnItsInput) {
  const struct {
    int signal;
    bool header;
  } cases[] = {{SIGINT, false}, {SIGTERM, true}, {SIGHUP, true}};
  for (const auto& c : cases) {
    const std::string fifo = File("in.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Child child(Start({"process", fifo, File("out.wav")}));
    ASSERT_TRUE(Eventually([&] { return Catches(child.Pid(), c.signal); }));
    int writer = -1;
    if (c.header) {
      writer = OpenWriter(fifo);
      ASSERT_GE(writer, 0);
      const std::string header = qortest::WaveHeader(48000);
      const std::vector<float> some(2 * 480, 0.25f);
      ASSERT_EQ(write(writer, header.data(), header.size()), static_cast<ssize_t>(header.size()));
      ASSERT_EQ(write(writer, some.data(), some.size() * sizeof(float)),
                static_cast<ssize_t>(some.size() * sizeof(float)));
    }
    // Let it reach the blocking open or read; the ending must not depend on where it is.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Signal(child.Pid(), c.signal);
    EXPECT_EQ(child.EndsWithin(std::chrono::seconds(20)), 130) << c.signal;
    if (writer >= 0) close(writer);
    EXPECT_EQ(qortest::SlurpLog(ErrOf("run")), "qorapo: interrupted; no output written\n")
        << c.signal;
    fs::remove(fifo);
    EXPECT_EQ(FileCount(), 1u);  // the configuration alone
  }
}

// A run off the clock owns its gaps: an input that pauses longer than the objects' stall time
// comes out as the same input read from a file does, to the sample, without a warning.
TEST_F(ProcessEdgesTest, AnInputThatPausesMidStreamComesOutAsFromAFile) {
  std::vector<float> tone(2 * 4 * 48000);
  for (size_t n = 0; n < tone.size(); ++n) {
    tone[n] =
        0.25f * static_cast<float>(std::sin(2.0 * std::numbers::pi * 440.0 * (n / 2) / 48000));
  }
  // Longer than the reader reads ahead, so the pause falls between periods.
  const std::string header = qortest::WaveHeader(4 * 48000);
  const auto bytes = [&](size_t from, size_t to) {
    return std::string(reinterpret_cast<const char*>(tone.data() + from), (to - from) * 4);
  };
  std::ofstream(File("tone.wav"), std::ios::binary) << header << bytes(0, tone.size());
  const std::string fifo = File("in.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::thread sender([&] {
    const int writer = OpenWriter(fifo);
    if (writer < 0) return;
    const std::string first = header + bytes(0, tone.size() / 2);
    const std::string second = bytes(tone.size() / 2, tone.size());
    EXPECT_EQ(write(writer, first.data(), first.size()), static_cast<ssize_t>(first.size()));
    // Twice the time a stall takes, in the middle of the tone.
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(write(writer, second.data(), second.size()), static_cast<ssize_t>(second.size()));
    close(writer);
  });
  const HostResult piped = Run({"process", fifo, File("piped.wav")}, "piped");
  sender.join();
  ASSERT_EQ(piped.code, 0) << piped.err;
  EXPECT_EQ(piped.err.find("warning"), std::string::npos) << piped.err;
  const HostResult filed = Run({"process", File("tone.wav"), File("filed.wav")}, "filed");
  ASSERT_EQ(filed.code, 0) << filed.err;
  EXPECT_EQ(qortest::ReadHostAudio(File("piped.wav")).samples,
            qortest::ReadHostAudio(File("filed.wav")).samples);
}
#endif

// The output may not be the input under any name, unless asked for; refused, the input stays
// as it was to the byte.
TEST_F(ProcessEdgesTest, TheInputIsNeverItsOwnOutputUnlessAskedFor) {
  ASSERT_TRUE(WriteHostAudio(File("in.wav"), Tones({1000.0}, 0.1, 0.5)));
  const std::string original = SlurpFile(File("in.wav"));
  fs::create_hard_link(File("in.wav"), File("hard.wav"));
#ifndef _WIN32
  // Windows gives symbolic links to administrators only.
  fs::create_symlink(File("in.wav"), File("link-to-in.wav"));
  fs::create_symlink("in.wav", File("relative.wav"));
#endif
  const struct {
    std::string input, output;
  } refused[] = {
      {"in.wav", "in.wav"},
      {"in.wav", "hard.wav"},
#ifndef _WIN32
      {"in.wav", "link-to-in.wav"},
      {"relative.wav", "in.wav"},
#endif
  };
  for (const auto& c : refused) {
    const HostResult result = Run({"process", File(c.input), File(c.output)});
    EXPECT_EQ(result.code, 1) << c.input << " " << c.output;
    EXPECT_EQ(result.err, "qorapo: '" + File(c.output) + "' is the input file '" + File(c.input) +
                              "' (the same file, by name or by a link); the result would replace "
                              "it. Give another output name, or --overwrite-input to replace the "
                              "input on purpose\n");
    EXPECT_EQ(SlurpFile(File("in.wav")), original) << c.input << " " << c.output;
  }
  EXPECT_EQ(FileCount(), std::size(refused) + 1);  // the input's names and the configuration
  // Asked for, the result takes the input's place: the input followed by the latency's tail.
  const HostResult replaced =
      Run({"process", File("in.wav"), File("in.wav"), "--overwrite-input", "--json"});
  ASSERT_EQ(replaced.code, 0) << replaced.err;
  json report = replaced.Json();
  const HostAudio result = qortest::ReadHostAudio(File("in.wav"));
  EXPECT_EQ(result.Frames(), 24000u + report["output"]["latency_frames"].get<size_t>());
}

// A run killed outright leaves its temporary; the next run to the same output removes it, and
// leaves alone the temporary of a run still writing.
TEST_F(ProcessEdgesTest, TheNextRunRemovesATemporaryAKilledRunLeftAndNoOther) {
  ASSERT_TRUE(WriteHostAudio(File("long.wav"), Tones({1000.0}, 0.1, 30.0)));
  ASSERT_TRUE(WriteHostAudio(File("short.wav"), Tones({1000.0}, 0.1, 0.5)));
  const std::vector<std::string> slow{"process", File("long.wav"), File("out.wav"), "--realtime"};
  Child writing(Start(slow, "writing"));
  ASSERT_TRUE(Eventually([&] { return Hidden().size() == 1; }));
  const std::vector<std::string> running = Hidden();
  {
    Child killed(Start(slow, "killed"));
    ASSERT_TRUE(WaitForErr(killed.Pid(), "killed", "real-time stream started"));
    Signal(killed.Pid(), SIGKILL);
    EXPECT_EQ(killed.EndsWithin(std::chrono::seconds(20)), 128 + SIGKILL);
  }
  ASSERT_EQ(Hidden().size(), 2u);
  const HostResult next = Run({"process", File("short.wav"), File("out.wav")});
  ASSERT_EQ(next.code, 0) << next.err;
  EXPECT_EQ(Hidden(), running);
  Signal(writing.Pid(), SIGTERM);
  EXPECT_EQ(writing.EndsWithin(std::chrono::seconds(30)), 130);
  EXPECT_EQ(Hidden(), std::vector<std::string>{});
  EXPECT_EQ(FileCount(), 4u);  // the configuration, the inputs and the output
}

// An input that ends before its header said is processed to its end, and the report says so.
TEST_F(ProcessEdgesTest, AnInputShorterThanItsHeaderPromisesIsReported) {
  ASSERT_TRUE(WriteHostAudio(File("whole.wav"), Tones({1000.0}, 0.1, 2.0)));
  fs::copy_file(File("whole.wav"), File("cut.wav"));
  // The samples come last: the file loses its second second.
  fs::resize_file(File("cut.wav"), fs::file_size(File("cut.wav")) - 48000 * 8);
  const std::string fifo = File("in.fifo");
#ifndef _WIN32
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
#endif
  const struct {
    std::string input;
    bool truncated;
    int64_t frames;
    std::string warning;
  } cases[] = {
      {File("whole.wav"), false, 96000, ""},
      {File("cut.wav"), true, 48000,
       "the header of '" + File("cut.wav") +
           "' promises 2.000 s (96000 frames) but it holds 1.000 s (48000 frames); the output "
           "ends where the input does"},
#ifndef _WIN32
      {fifo, true, 24000,
       "the header of '" + fifo +
           "' promises 1.000 s (48000 frames) but it holds 0.500 s (24000 frames); the output "
           "ends where the input does"},
#endif
  };
  for (const auto& c : cases) {
    // Through the FIFO, a writer sends a header promising 1 s and half of it.
    std::thread sender([&] {
      if (c.input != fifo) return;
#ifndef _WIN32
      const int writer = OpenWriter(fifo);
      const std::string header = qortest::WaveHeader(48000);
      const std::vector<float> half(2 * 24000, 0.1f);
      if (writer < 0) return;
      EXPECT_EQ(write(writer, header.data(), header.size()), static_cast<ssize_t>(header.size()));
      EXPECT_EQ(write(writer, half.data(), half.size() * sizeof(float)),
                static_cast<ssize_t>(half.size() * sizeof(float)));
      close(writer);
#endif
    });
    const HostResult result = Run({"process", c.input, File("out.wav"), "--json"});
    sender.join();
    ASSERT_EQ(result.code, 0) << result.err;
    const json report = result.Json();
    qortest::ExpectFields(report, {{"input", {{"truncated", c.truncated}, {"frames", c.frames}}}});
    EXPECT_EQ(report.value("warnings", json()),
              c.warning.empty() ? json::array() : json::array({c.warning}));
  }
  // The text report warns the same way.
  const HostResult text = Run({"process", File("cut.wav"), "-"});
  EXPECT_EQ(text.code, 0);
  EXPECT_NE(text.err.find("qorapo: warning: " + cases[1].warning + "\n"), std::string::npos)
      << text.err;
}

}  // namespace
