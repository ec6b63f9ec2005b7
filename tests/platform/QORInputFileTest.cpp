#include "platform/QORInputFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "ChildProcess.h"
#include "TempStateRoot.h"
#include "platform/QORInterrupt.h"

#ifdef _WIN32
#include <io.h>
#include "TestWindows.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

int ReadSome(int descriptor, char* buffer, int size) {
#ifdef _WIN32
  return ::_read(descriptor, buffer, static_cast<unsigned>(size));
#else
  return static_cast<int>(::read(descriptor, buffer, static_cast<size_t>(size)));
#endif
}

TEST(QORInputFile, ReadsAtAnOffsetWithoutMovingAndKnowsItsOwnFile) {
  qortest::TempStateRoot root;
  const fs::path path = fs::path(root.Path()) / "in.wav";
  std::ofstream(path, std::ios::binary) << "RIFF0123WAVE";
  std::ofstream(fs::path(root.Path()) / "other.wav") << "RIFF0123WAVE";
  fs::create_hard_link(path, fs::path(root.Path()) / "hard.wav");
  QORInputFile input;
  std::string reason;
  ASSERT_TRUE(input.Open(path, &reason)) << reason;
  EXPECT_TRUE(input.IsRegular());
  char at[4] = {};
  EXPECT_EQ(input.ReadAt(at, sizeof(at), 8), 4);
  EXPECT_EQ(std::string(at, 4), "WAVE");
  EXPECT_EQ(input.ReadAt(at, sizeof(at), 10), 2);  // cut short at the end
  EXPECT_EQ(input.ReadAt(at, sizeof(at), 12), 0);
  char first[4] = {};
  EXPECT_EQ(ReadSome(input.Descriptor(), first, 4), 4);
  EXPECT_EQ(std::string(first, 4), "RIFF");

  EXPECT_TRUE(input.IsFile(path));
  EXPECT_TRUE(input.IsFile(fs::path(root.Path()) / "hard.wav"));
  EXPECT_FALSE(input.IsFile(fs::path(root.Path()) / "other.wav"));
  EXPECT_FALSE(input.IsFile(fs::path(root.Path()) / "missing.wav"));

  QORInputFile missing;
  EXPECT_FALSE(missing.Open(fs::path(root.Path()) / "missing.wav", &reason));
  EXPECT_FALSE(reason.empty());
  EXPECT_EQ(missing.Descriptor(), -1);
}

// Opens the pipe it is given, reads the writer's first byte, then reads on until an interrupt
// ends the read that blocks; says what it saw.
int BlockedReader(const std::vector<std::string>& args) {
  QORInterrupt::Catch(&QORInputFile::Interrupt);
  QORInputFile input;
  std::string reason;
  if (!input.Open(args.at(0), &reason)) {
    qortest::ChildSay("cannot open: " + reason);
    return 1;
  }
  char byte = 0;
  if (ReadSome(input.Descriptor(), &byte, 1) != 1) return 1;
  qortest::ChildSay(std::string("open, read ") + byte);
  while (ReadSome(input.Descriptor(), &byte, 1) > 0) {
  }
#ifndef _WIN32
  // Every later read ends too.
  if (ReadSome(input.Descriptor(), &byte, 1) != 0) return 1;
#endif
  qortest::ChildSay(QORInputFile::Interrupted() ? "ended by the interrupt" : "ended by itself");
  const bool reopened = input.Open(args.at(0), &reason);
  qortest::ChildSay(reopened ? "opened again" : "not again: " + reason);
  return 0;
}
qortest::ChildRegistration blockedReader("blocked-reader", &BlockedReader);

// The writer's end of a pipe the child reads: a FIFO on Linux, a named pipe on Windows.
class Pipe {
 public:
  explicit Pipe([[maybe_unused]] const std::string& folder) {
#ifdef _WIN32
    name_ = "\\\\.\\pipe\\qor-input-test-" + std::to_string(GetCurrentProcessId());
    pipe_ = CreateNamedPipeA(name_.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1,
                             4096, 0, 0, nullptr);
#else
    name_ = folder + "/in.fifo";
    ::mkfifo(name_.c_str(), 0600);
#endif
  }
  ~Pipe() {
#ifdef _WIN32
    if (pipe_ != INVALID_HANDLE_VALUE) CloseHandle(pipe_);
#else
    if (fd_ >= 0) ::close(fd_);
#endif
  }
  const std::string& Name() const {
    return name_;
  }
  // Waits for the reader, then sends one byte.
  bool Send(char byte) {
#ifdef _WIN32
    DWORD written = 0;
    return (ConnectNamedPipe(pipe_, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) &&
           WriteFile(pipe_, &byte, 1, &written, nullptr) && written == 1;
#else
    fd_ = ::open(name_.c_str(), O_WRONLY | O_CLOEXEC);
    return fd_ >= 0 && ::write(fd_, &byte, 1) == 1;
#endif
  }

 private:
  std::string name_;
#ifdef _WIN32
  HANDLE pipe_ = INVALID_HANDLE_VALUE;
#else
  int fd_ = -1;
#endif
};

TEST(QORInputFile, AnInterruptEndsAReadBlockedOnAPipeAndEveryOpenAfterIt) {
  qortest::TempStateRoot root;
  Pipe pipe(root.Path());
  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("blocked-reader", {pipe.Name()}));
  ASSERT_TRUE(pipe.Send('x'));
  ASSERT_TRUE(child.WaitFor("open, read x"));
  // The writer stays, silent: the child's next read blocks until the interrupt.
  ASSERT_TRUE(QORInterrupt::Send(static_cast<uint32_t>(child.Pid())));
  // A reader the interrupt missed stays blocked: the child's end then kills it.
  ASSERT_TRUE(child.WaitFor("ended by the interrupt"));
  EXPECT_TRUE(child.WaitFor("not again: interrupted"));
  EXPECT_EQ(child.Wait(), 0);
}

}  // namespace
