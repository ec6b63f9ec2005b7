#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <vector>

#include "ChildProcess.h"
#include "TempStateRoot.h"
#include "platform/IQOREvent.h"
#include "platform/IQORPipeClient.h"
#include "platform/IQORPipeServer.h"
#include "platform/QORWait.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::wstring kName = L"\\\\.\\pipe\\QORTestPipe";
constexpr size_t kSize = 1928;

std::vector<unsigned char> Message(unsigned seed) {
  std::vector<unsigned char> message(kSize);
  for (size_t i = 0; i < kSize; ++i) message[i] = static_cast<unsigned char>(seed * 31 + i);
  return message;
}

// Waits (bounded) on the server together with a stop event, as a reader thread does, until it
// yields a message; returns the result that ended the wait.
QORPipeResult ReadWithin(IQORPipeServer& server, std::vector<unsigned char>& message,
                         size_t* size) {
  auto stop = QORCreateEvent(true, false);
  IQORWaitable* const objects[] = {stop.get(), &server};
  const auto end = Clock::now() + std::chrono::seconds(5);
  message.assign(kSize, 0);
  while (Clock::now() < end) {
    if (server.Connect() == QORPipeResult::kDone) {
      const QORPipeResult result = server.Read(message.data(), size);
      if (result != QORPipeResult::kPending) return result;
    }
    if (QORWaitForMultiple(objects, 100) == kQORWaitFailed) return QORPipeResult::kPending;
  }
  return QORPipeResult::kPending;
}

std::filesystem::path SocketPath(const qortest::TempStateRoot& root, int index) {
  return std::filesystem::path(root.Path()) / "NamedObjects" /
         ("pipe" + std::to_string(index) + ".QORTestPipe.aux");
}

// "hold": holds one pipe instance and reports its index; "write N": connects to instance 0 and
// sends the messages 1..N. Then waits to be killed or told to go.
int PipeChild(const std::vector<std::string>& args) {
  if (args.at(0) == "hold") {
    auto server = QORCreatePipeServer(kName, kSize);
    qortest::ChildSay(server ? "instance " + std::to_string(server->GetIndex()) : "failed");
    std::string line;
    qortest::ChildHear(line);
    return 0;
  }
  std::unique_ptr<IQORPipeClient> client;
  for (int tries = 0; tries < 500 && !client; ++tries) {
    client = QORConnectPipe(kName, 0, kSize);
    if (!client) usleep(10000);
  }
  if (!client) return 1;
  for (unsigned i = 1; i <= std::stoul(args.at(1)); ++i) {
    if (!client->Write(Message(i).data(), 1000)) return 2;
  }
  qortest::ChildSay("sent");
  std::string line;
  qortest::ChildHear(line);
  return 0;
}
qortest::ChildRegistration pipeChild("pipe", &PipeChild);

TEST(QORPipe, MessagesCrossProcessesWholeAndInOrderThenTheWriterEnds) {
  qortest::TempStateRoot root;
  auto server = QORCreatePipeServer(kName, kSize);
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(server->GetIndex(), 0u);
  EXPECT_FALSE(server->IsConnected());
  EXPECT_EQ(server->Connect(), QORPipeResult::kPending);

  qortest::ChildProcess writer;
  ASSERT_TRUE(writer.Start("pipe", {"write", "40"}));
  std::vector<unsigned char> message;
  for (unsigned i = 1; i <= 40; ++i) {
    size_t size = 0;
    ASSERT_EQ(ReadWithin(*server, message, &size), QORPipeResult::kDone) << i;
    ASSERT_EQ(size, kSize);
    ASSERT_EQ(message, Message(i)) << i;
  }
  ASSERT_TRUE(writer.WaitFor("sent"));
  writer.Kill(SIGKILL);
  writer.Wait();
  size_t size = 99;
  EXPECT_EQ(ReadWithin(*server, message, &size), QORPipeResult::kClosed);
  EXPECT_EQ(size, 0u);
  EXPECT_FALSE(server->IsConnected());
}

TEST(QORPipe, TheWaitableFiresOnConnectAndOnDataBesideAStopEvent) {
  qortest::TempStateRoot root;
  auto server = QORCreatePipeServer(kName, kSize);
  ASSERT_NE(server, nullptr);
  auto stop = QORCreateEvent(true, false);
  IQORWaitable* const objects[] = {stop.get(), server.get()};
  EXPECT_EQ(QORWaitForMultiple(objects, 50), kQORWaitTimeout);

  auto client = QORConnectPipe(kName, 0, kSize);
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(QORWaitForMultiple(objects, 2000), kQORWaitObject0 + 1);
  ASSERT_EQ(server->Connect(), QORPipeResult::kDone);
  EXPECT_TRUE(server->IsConnected());
  std::vector<unsigned char> message(kSize);
  size_t size = 0;
  EXPECT_EQ(server->Read(message.data(), &size), QORPipeResult::kPending);
  EXPECT_EQ(QORWaitForMultiple(objects, 50), kQORWaitTimeout);

  ASSERT_TRUE(client->Write(Message(7).data(), 1000));
  EXPECT_EQ(QORWaitForMultiple(objects, 2000), kQORWaitObject0 + 1);
  ASSERT_EQ(server->Read(message.data(), &size), QORPipeResult::kDone);
  EXPECT_EQ(message, Message(7));
  // The stop event wins over a ready pipe.
  stop->Set();
  ASSERT_TRUE(client->Write(Message(8).data(), 1000));
  EXPECT_EQ(QORWaitForMultiple(objects, 2000), kQORWaitObject0);
  // A writer the reader does not drain gives up within its timeout, after whole messages only.
  const auto start = Clock::now();
  bool failed = false;
  for (int i = 9; i < 100000 && !failed; ++i) failed = !client->Write(Message(i).data(), 50);
  EXPECT_TRUE(failed);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  ASSERT_EQ(ReadWithin(*server, message, &size), QORPipeResult::kDone);
  EXPECT_EQ(message, Message(8));
}

TEST(QORPipe, ASixthReaderFailsCleanlyAndADeadReadersInstanceIsReused) {
  qortest::TempStateRoot root;
  std::array<qortest::ChildProcess, 5> holders;
  std::vector<bool> seen(5, false);
  for (auto& holder : holders) {
    ASSERT_TRUE(holder.Start("pipe", {"hold"}));
    std::string line;
    ASSERT_TRUE(holder.ReadLine(line));
    ASSERT_EQ(line.rfind("instance ", 0), 0u) << line;
    const int index = std::stoi(line.substr(9));
    ASSERT_TRUE(index >= 0 && index < 5);
    EXPECT_FALSE(seen[index]);
    seen[index] = true;
  }
  const auto start = Clock::now();
  QORNamedObjectError error = QORNamedObjectError::kNone;
  EXPECT_EQ(QORCreatePipeServer(kName, kSize, &error), nullptr);
  EXPECT_EQ(error, QORNamedObjectError::kBusy);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));

  holders[2].Kill(SIGKILL);
  holders[2].Wait();
  auto server = QORCreatePipeServer(kName, kSize, &error);
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(error, QORNamedObjectError::kNone);
  // The killed child held the third instance it was given; that slot is the only free one.
  auto client = QORConnectPipe(kName, server->GetIndex(), kSize);
  ASSERT_NE(client, nullptr);
  ASSERT_TRUE(client->Write(Message(3).data(), 1000));
  std::vector<unsigned char> message;
  size_t size = 0;
  EXPECT_EQ(ReadWithin(*server, message, &size), QORPipeResult::kDone);
  EXPECT_EQ(message, Message(3));
}

TEST(QORPipe, SocketsAre0660InA0770DirectoryNeverLinkedAndVanishWithTheirReader) {
  qortest::TempStateRoot root;
  auto server = QORCreatePipeServer(kName, kSize);
  ASSERT_NE(server, nullptr);
  const auto socketPath = SocketPath(root, 0);
  struct stat file {};
  ASSERT_EQ(::lstat(socketPath.c_str(), &file), 0);
  EXPECT_TRUE(S_ISSOCK(file.st_mode));
  EXPECT_EQ(file.st_mode & 07777, 0660u);
  struct stat dir {};
  ASSERT_EQ(::stat(socketPath.parent_path().c_str(), &dir), 0);
  EXPECT_EQ(dir.st_mode & 07777, 0770u);
  EXPECT_EQ(QORConnectPipe(kName, 1, kSize), nullptr);
  EXPECT_EQ(QORConnectPipe(kName, 5, kSize), nullptr);
  server.reset();
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(socketPath)));
  EXPECT_EQ(QORConnectPipe(kName, 0, kSize), nullptr);
  server = QORCreatePipeServer(kName, kSize);
  ASSERT_NE(server, nullptr);
  // Another listener elsewhere, and the instance's socket swapped for a link to it.
  const std::string decoy = root.Path() + "/decoy";
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, decoy.c_str(), decoy.size() + 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  std::filesystem::remove(socketPath);
  std::filesystem::create_symlink(decoy, socketPath);
  EXPECT_EQ(QORConnectPipe(kName, 0, kSize), nullptr);
  EXPECT_LT(::accept(listener, nullptr, nullptr), 0);
  ::close(listener);
}

}  // namespace
