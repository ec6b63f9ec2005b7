// End-to-end: the commands whose parts the Windows build lacks say what is missing, and nothing
// else changes.
#include "QORHostRunner.h"

namespace {

#ifdef _WIN32
using qortest::HostResult;

class HostUnbuiltPartsTest : public qortest::HostToolTest {};

TEST_F(HostUnbuiltPartsTest, EachCommandThatNeedsAMissingPartNamesItAndFails) {
  const struct {
    std::vector<std::string> args;
    std::string says;
  } cases[] = {
      {{"serve"},
       "qorapo: serve needs PipeWire, which this build of qorapo lacks: its module "
       "qorapo-pipewire is built on Linux only\n"},
      {{"serve", "--panel"},
       "qorapo: serve needs PipeWire, which this build of qorapo lacks: its module "
       "qorapo-pipewire is built on Linux only\n"},
      {{"panel", "--listen", "127.0.0.1:0"},
       "qorapo: panel needs an HTTP server (cpp-httplib), which this build of qorapo lacks: its "
       "module qorapo-panel is built on Linux only\n"},
      {{"plot", "response.svg", "--compare", "Movie"},
       "qorapo: drawing a picture needs cairo, which this build of qorapo lacks: its module "
       "qorapo-plot is built on Linux only; --json or --csv print the measured points without "
       "one\n"},
  };
  for (const auto& c : cases) {
    const HostResult result = Run(c.args);
    EXPECT_EQ(result.code, 2) << c.args[0];
    EXPECT_EQ(result.err, c.says);
    EXPECT_EQ(result.out, "");
  }
  EXPECT_EQ(FileCount(), 0u);  // no picture
  // What needs none of them still runs: the daemon's status, the measured points.
  const nlohmann::json status = RunJson({"status", "--json"});
  EXPECT_EQ(status["running"], false);
  const nlohmann::json points = RunJson({"plot", "--json", "--points", "10"});
  EXPECT_EQ(points["curves"][0]["points"].size(), 10u);
}
#endif

}  // namespace
