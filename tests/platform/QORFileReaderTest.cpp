#include "platform/QORFileReader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>

#include "TempStateRoot.h"

namespace {

using Result = QORFileReader::Result;

class QORFileReaderTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& content) const {
    const std::string path = root_.Path() + "/" + name;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    return path;
  }

  qortest::TempStateRoot root_;
};

TEST_F(QORFileReaderTest, ReadsARegularFileWholeUpToTheLimit) {
  const std::string bytes("a\0b\r\n\xFF", 6);
  std::string text = "old";
  EXPECT_EQ(QORFileReader::ReadRegularFile(Write("six", bytes), 6, text), Result::kOk);
  EXPECT_EQ(text, bytes);
  EXPECT_EQ(QORFileReader::ReadRegularFile(Write("seven", bytes + "c"), 6, text),
            Result::kTooLarge);
  EXPECT_TRUE(text.empty());
  EXPECT_EQ(QORFileReader::ReadRegularFile(Write("empty", ""), 0, text), Result::kOk);
  EXPECT_TRUE(text.empty());
  // Past one read's worth, where the size is a guess that reading must confirm.
  const std::string large(100000, 'x');
  EXPECT_EQ(QORFileReader::ReadRegularFile(Write("large", large), large.size(), text), Result::kOk);
  EXPECT_EQ(text, large);
}

TEST_F(QORFileReaderTest, RefusesWhatIsNotARegularFileWithoutBlocking) {
  const std::string target = Write("target", "content");
  ASSERT_EQ(::symlink(target.c_str(), (root_.Path() + "/link").c_str()), 0);
  ASSERT_EQ(::mkfifo((root_.Path() + "/fifo").c_str(), 0600), 0);
  std::filesystem::create_directory(root_.Path() + "/folder");
  std::string text = "old";
  const struct {
    const char* name;
    Result result;
  } cases[] = {
      {"missing", Result::kMissing},      {"target/below", Result::kMissing},
      {"link", Result::kNotRegular},      {"folder", Result::kNotRegular},
      {"/dev/null", Result::kNotRegular}, {"fifo", Result::kNotRegular},
  };
  for (const auto& c : cases) {
    const std::string path = c.name[0] == '/' ? c.name : root_.Path() + "/" + c.name;
    // A FIFO without a writer would hold a blocking open forever; a writer opened afterwards
    // releases the test when the reader did block.
    auto read = std::async(std::launch::async,
                           [&] { return QORFileReader::ReadRegularFile(path, 1 << 20, text); });
    if (read.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      ADD_FAILURE() << c.name << " blocked";
      const int writer = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
      if (writer >= 0) ::close(writer);
    }
    EXPECT_EQ(read.get(), c.result) << c.name;
    EXPECT_TRUE(text.empty()) << c.name;
  }
}

}  // namespace
