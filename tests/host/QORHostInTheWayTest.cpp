// End-to-end: something that is no shared object (a FIFO, a folder, a link) planted where a
// meter's block or mutex lives. The host plays on without that meter; the trace and `qorapo meter`
// say what is in the way and where, and nothing waits on the planted thing.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "QORHostRunner.h"

namespace {

namespace fs = std::filesystem;
using qortest::HostResult;

class HostInTheWayTest : public qortest::HostToolTest {
 protected:
  // Waits up to bound for the child to end; one that is still running then is killed and
  // reported as code -1, so a blocked child fails the test instead of hanging it.
  HostResult Finish(pid_t pid, const std::string& tag, std::chrono::seconds bound) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(bound);
    if (const std::optional<int> code =
            qortest::HostProcess::Wait(pid, static_cast<int>(ms.count()))) {
      exited_[pid] = *code;
      return Wait(pid, tag);
    }
    Signal(pid, SIGKILL);
    HostResult result = Wait(pid, tag);
    result.code = -1;
    return result;
  }
};

enum class Plant { kFifo, kFolder, kLink, kSocket };

TEST_F(HostInTheWayTest, APlantedThingAtAMeterNameIsNamedWithItsPathAndNothingBlocks) {
  // The demonstration endpoint's output meter (its display name, as the meter composes it, starts
  // with a blank), percent-encoded as a file name.
  const std::string objects = root_.Path() + "/state/NamedObjects/";
  const std::string block = objects + "shm.QOR_%20QOR%20Demo%20Speakers_Meter_1";
  const std::string mutex = objects + "mutex.QOR_%20QOR%20Demo%20Speakers_Meter_1_Mutex";
  struct Case {
    const char* label;
    Plant plant;
    std::string path;
    std::string message;
  };
  const Case cases[] = {
      {"FIFO at the block", Plant::kFifo, block,
       "a FIFO is in the way of the meter block at " + block + "; remove it"},
      {"folder at the block", Plant::kFolder, block,
       "a folder is in the way of the meter block at " + block + "; remove it"},
      {"link at the block", Plant::kLink, block,
       "a symbolic link is in the way of the meter block at " + block + "; remove it"},
      {"socket at the block", Plant::kSocket, block,
       "a socket is in the way of the meter block at " + block + "; remove it"},
      {"FIFO at the mutex", Plant::kFifo, mutex,
       "a FIFO is in the way of the meter's mutex at " + mutex + "; remove it"},
  };
  const qortest::HostAudio tone = qortest::Tones({1000.0}, 0.5, 0.5);
  ASSERT_TRUE(qortest::WriteHostAudio(File("tone.wav"), tone));
  // A link leads to a FIFO: following it and opening what it names would block.
  const std::string elsewhere = File("elsewhere.fifo");
  ASSERT_EQ(::mkfifo(elsewhere.c_str(), 0660), 0);
  fs::create_directories(objects);
  int run = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string tag = std::to_string(run++);
    switch (c.plant) {
      case Plant::kFifo:
        ASSERT_EQ(::mkfifo(c.path.c_str(), 0660), 0);
        break;
      case Plant::kFolder:
        ASSERT_TRUE(fs::create_directory(c.path));
        break;
      case Plant::kLink:
        fs::create_symlink(elsewhere, c.path);
        break;
      case Plant::kSocket: {
        // Bound under a short name (socket addresses are short), then moved to its place.
        const std::string bound = File("s");
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        ASSERT_LT(bound.size(), sizeof(address.sun_path));
        bound.copy(address.sun_path, bound.size());
        const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_GE(listener, 0);
        ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        ::close(listener);
        fs::rename(bound, c.path);
        break;
      }
    }

    const std::string trace = (fs::path(logs_) / ("host" + tag + ".trace")).string();
    setenv("QOR_TRACE", trace.c_str(), 1);
    const std::string out = File("out" + tag + ".wav");
    const pid_t host = Start({"process", File("tone.wav"), out}, "host" + tag);
    setenv("QOR_TRACE", "off", 1);
    const HostResult played = Finish(host, "host" + tag, std::chrono::seconds(120));
    EXPECT_EQ(played.code, 0) << played.err;
    EXPECT_GE(qortest::ReadHostAudio(out).Frames(), tone.Frames());
    const std::string lines = qortest::SlurpFile(trace);
    EXPECT_NE(lines.find("ERROR: meter 1 did not open: " + c.message), std::string::npos) << lines;

    // A reader beside a playing host reads the input meter and names what keeps the output
    // meter dark; with no host at all it fails, naming the same.
    const pid_t live =
        Start({"process", File("tone.wav"), "-", "--realtime", "--loop"}, "live" + tag);
    background_.push_back(live);
    ASSERT_TRUE(WaitForErr(live, "live" + tag, "real-time stream started at monotonic"))
        << qortest::SlurpFile(ErrOf("live" + tag));
    const pid_t beside = Start({"meter", "--once"}, "beside" + tag);
    const HostResult read = Finish(beside, "beside" + tag, std::chrono::seconds(60));
    EXPECT_EQ(read.code, 0) << read.err;
    EXPECT_NE(read.err.find("output meter: " + c.message), std::string::npos) << read.err;
    EXPECT_NE(read.out.find("output  not published: " + c.message), std::string::npos) << read.out;
    EXPECT_EQ(Stop(live), 0);

    const pid_t meter = Start({"meter", "--once"}, "meter" + tag);
    const HostResult metered = Finish(meter, "meter" + tag, std::chrono::seconds(60));
    EXPECT_EQ(metered.code, 2) << metered.err;
    EXPECT_NE(metered.err.find(c.message), std::string::npos) << metered.err;
    EXPECT_EQ(metered.err.find("Metering Mode"), std::string::npos) << metered.err;

    // Left as planted: what is in the way is the administrator's to remove.
    struct stat planted {};
    EXPECT_EQ(::lstat(c.path.c_str(), &planted), 0);
    fs::remove(c.path);
  }
}

}  // namespace
