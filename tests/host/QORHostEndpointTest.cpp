// End-to-end: `qorapo endpoint` changes the endpoint store as sound settings and installers do.
#include <fstream>
#include <iomanip>
#include <iterator>
#include <tuple>

#include "QORHostRunner.h"
#include "common/QORTextConvert.h"
#include "platform/QORRegistryKey.h"

namespace {

using nlohmann::json;
using qortest::HostResult;
using qortest::Named;

constexpr char kUsbGuid[] = "{0DE30002-51A7-4C0E-9A0D-7E4D00000002}";
constexpr char kCustomClass[] = "{11111111-2222-3333-4444-555555555555}";
// The module's SFX class, which --fx SFX without a class id registers.
constexpr char kModuleSfx[] = "{1B917FE2-47D1-425D-A26E-AFCDBDA7A2E8}";
constexpr char kDemoGuid[] = "{0DE30001-51A7-4C0E-9A0D-7E4D00000001}";

class EndpointToolTest : public qortest::HostToolTest {
 protected:
  HostResult AddUsb(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{"endpoint", "add",     "USB Speakers",
                                  "--config", Example(), "--fx",
                                  "SFX",      "--fx",    std::string("EFX=") + kCustomClass,
                                  "--guid",   kUsbGuid,  "--json"};
    args.insert(args.end(), extra.begin(), extra.end());
    return Run(args);
  }

  json List() { return RunJson({"endpoint", "list", "--json"}); }
};

TEST_F(EndpointToolTest, AddDescribesTheNewEndpointAndShowAndListReadTheSameRecord) {
  const HostResult added = AddUsb();
  ASSERT_EQ(added.code, 0) << added.err;
  const json record = added.Json();
  qortest::ExpectFields(record, R"({"name": "USB Speakers", "flow": "render", "state": "active",
      "id": "{0.0.0.00000000}.{0de30002-51a7-4c0e-9a0d-7e4d00000002}", "default": false,
      "configurationExists": true})"_json);
  EXPECT_EQ(record["guid"], kUsbGuid);
  EXPECT_EQ(record["configuration"], Example());
  EXPECT_EQ(record["subkey"], std::string("Software\\QOR Labs\\APO\\") + kUsbGuid);
  ASSERT_EQ(record["positions"].size(), 6u);
  const char* names[] = {"PreBlue", "SFX", "MFX", "EFX", "OSFX", "OMFX"};
  const json classes = {nullptr, kModuleSfx, nullptr, kCustomClass, nullptr, nullptr};
  for (int location = 0; location < 6; ++location) {
    qortest::ExpectFields(
        record["positions"][location],
        {{"position", names[location]}, {"location", location}, {"class", classes[location]}});
  }
  EXPECT_TRUE(record["positions"][3]["module"].is_null());  // nobody registered that class
  // The settings key a control panel writes under exists from the start.
  QORRegistryKey subkey;
  EXPECT_EQ(QORRegistryKey::Open(QORRegistryHive::kLocalMachine,
                                 QORUtf8ToWide(record["subkey"].get<std::string>()),
                                 KEY_QUERY_VALUE, subkey),
            ERROR_SUCCESS);

  // Found by name in any letter case, or by GUID without braces, the record reads the same.
  EXPECT_EQ(RunJson({"endpoint", "show", "usb speakers", "--json"}), record);
  EXPECT_EQ(RunJson({"endpoint", "show", "0de30002-51a7-4c0e-9a0d-7e4d00000002", "--json"}),
            record);

  const json list = List();
  ASSERT_EQ(list.size(), 3u) << list;  // with the demonstration's speakers and microphone
  EXPECT_EQ((*Named(list, "USB Speakers"))["guid"], kUsbGuid);
  EXPECT_EQ((*Named(list, "QOR Demo Speakers"))["default"], true);
}

TEST_F(EndpointToolTest, RefusedAddsLeaveTheStoreAsItWas) {
  ASSERT_EQ(AddUsb().code, 0);
  const json before = List();
  const struct {
    std::string name, config, option, value;
    int code;
    std::string message;
  } cases[] = {
      {"USB Speakers", Example(), "", "", 2, "a render endpoint named 'USB Speakers' exists"},
      {"Other", Example(), "--guid", kUsbGuid, 2,
       std::string("an endpoint with GUID ") + kUsbGuid + " exists"},
      {"Other", File("missing.xml"), "", "", 2, "cannot read the configuration"},
      {"Other", Example(), "--fx", "XFX", 1, "unknown position 'XFX'"},
      {"Other", Example(), "--fx", "SFX=nonsense", 1, "'nonsense' is not a class id"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args{"endpoint", "add", c.name, "--config", c.config};
    if (!c.option.empty()) args.insert(args.end(), {c.option, c.value});
    const HostResult result = Run(args);
    EXPECT_EQ(result.code, c.code) << c.message << " " << result.err;
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
  }
  EXPECT_EQ(List(), before);
}

TEST_F(EndpointToolTest, DisabledEndpointsAreListedButNotUsedUntilEnabled) {
  ASSERT_EQ(AddUsb().code, 0);
  HostResult result = Run({"endpoint", "disable", "USB Speakers"});
  ASSERT_EQ(result.code, 0) << result.err;
  EXPECT_EQ(result.out, std::string("disabled endpoint 'USB Speakers' ") + kUsbGuid + "\n");
  EXPECT_EQ((*Named(List(), "USB Speakers"))["state"], "disabled");

  // Commands that use an endpoint say how to get it back.
  result = Run({"mode", "get", "--endpoint", "USB Speakers"});
  EXPECT_EQ(result.code, 2);
  EXPECT_NE(result.err.find("'USB Speakers' is disabled; enable it with `qorapo endpoint enable "
                            "USB Speakers`"),
            std::string::npos)
      << result.err;
  EXPECT_EQ(Run({"endpoint", "default", "USB Speakers"}).code, 2);

  ASSERT_EQ(Run({"endpoint", "enable", kUsbGuid}).code, 0);
  ASSERT_EQ(Run({"endpoint", "default", "USB Speakers"}).code, 0);
  EXPECT_EQ(RunJson({"endpoint", "default", "--json"}),
            (json{{"name", "USB Speakers"}, {"guid", kUsbGuid}, {"flow", "render"}}));

  // Removed, the default falls back to the remaining active endpoint.
  ASSERT_EQ(Run({"endpoint", "remove", "USB Speakers"}).code, 0);
  EXPECT_EQ(Run({"endpoint", "show", "USB Speakers"}).code, 2);
  EXPECT_EQ(RunJson({"endpoint", "default", "--json"})["guid"], kDemoGuid);
}

// A device's endpoint: its GUID follows from the node name alone (the literals are the 128-bit
// FNV-1a of "render:" or "capture:" and the name, as a version 8 UUID, worked out apart from the
// code), and the first matching rule, else the fallback, gives its configuration and classes.
TEST_F(EndpointToolTest, AddForADeviceTakesItsGuidFromTheNodeAndItsSetupFromTheRules) {
  std::ofstream(File("eq.xml")) << qortest::kEqConfiguration;
  std::ofstream(File("devices.conf")) << "# test rules\n"
                                         "[device]\n"
                                         "direction = render\n"
                                         "node = alsa_output.usb-*\n"
                                         "configuration = eq.xml   # beside the rules\n"
                                         "fx = SFX\n"
                                         "[device]\n"
                                         "direction = capture\n"
                                         "description = *Headset*\n"
                                         "configuration = eq.xml\n"
                                         "fx = LFX\n"
                                         "[fallback]\n"
                                         "direction = render\n"
                                         "configuration = "
                                      << Example() << "\nfx = SFX MFX EFX\n";
  constexpr char kUsbNode[] = "alsa_output.usb-Test_Box-00.analog-stereo";
  constexpr char kCaptureClass[] = "{3C8BA013-2AA8-4687-8913-4EA83E269AE8}";
  const struct {
    std::vector<std::string> args;
    std::string guid, configuration;
    json classes;  // locations 0 to 5
  } cases[] = {
      {{kUsbNode},
       "{D5D92496-0EB1-8C08-9168-38D18CD87C8D}",
       File("eq.xml"),
       {nullptr, kModuleSfx, nullptr, nullptr, nullptr, nullptr}},
      // The same node name as a source is another endpoint.
      {{kUsbNode, "USB Headset", "--direction", "capture"},
       "{F01461AB-B2C9-8821-964E-96008C8A9FF9}",
       File("eq.xml"),
       {kCaptureClass, nullptr, nullptr, nullptr, nullptr, nullptr}},
      {{"qor_null", "Laptop Speakers"},
       "{0082739A-99B9-802F-A32A-7BA04525E54B}",
       Example(),
       {nullptr, kModuleSfx, "{5B98E1AC-A670-4311-B4F8-DC25E30CFBFF}",
        "{93520346-FA48-4F56-8CB0-D92CC1775E37}", nullptr, nullptr}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.guid);
    std::vector<std::string> args{"endpoint",           "add",   "--device", c.args[0], "--rules",
                                  File("devices.conf"), "--json"};
    args.insert(args.end(), c.args.begin() + 1, c.args.end());
    const HostResult added = Run(args);
    ASSERT_EQ(added.code, 0) << added.err;
    const json record = added.Json();
    EXPECT_EQ(record["guid"], c.guid);
    EXPECT_EQ(record["name"], c.args.size() > 1 ? c.args[1] : c.args[0]);
    EXPECT_EQ(record["device"], c.args[0]);
    EXPECT_EQ(record["configuration"], c.configuration);
    for (int location = 0; location < 6; ++location) {
      EXPECT_EQ(record["positions"][location]["class"], c.classes[location]) << location;
    }
  }
  const struct {
    std::vector<std::string> args;
    std::string message;
  } refused[] = {
      {{"--device", kUsbNode, "--rules", File("devices.conf")},
       "an endpoint with GUID {D5D92496-0EB1-8C08-9168-38D18CD87C8D} exists; remove it first or "
       "choose another --guid"},
      {{"--device", "alsa_input.pci-0", "--direction", "capture", "--rules", File("devices.conf")},
       "no rule of " + File("devices.conf") +
           " matches alsa_input.pci-0 and it has no fallback; give --config"},
      {{"--device", "x", "--rules", File("none.conf")},
       "cannot read the device rules " + File("none.conf") +
           "; give --config, or the rules with --rules"},
      {{}, "give the endpoint's NAME, or --device for a PipeWire device's"},
  };
  for (const auto& c : refused) {
    std::vector<std::string> args{"endpoint", "add"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    EXPECT_EQ(Run(args).err, "qorapo: " + c.message + "\n");
  }
  // The example rules choose as they say: a USB sink gets the example configuration at SFX, a
  // microphone at the local-effect position.
  const std::string rules = std::string(QOR_SOURCE_DIR) + "/examples/devices.conf";
  for (const auto& [node, direction, location] :
       {std::tuple{"alsa_output.usb-Other_Box-00.analog-stereo", "render", 1},
        std::tuple{"alsa_input.pci-0000_00_1f.3.analog-stereo", "capture", 0}}) {
    const HostResult added = Run({"endpoint", "add", "--device", node, "--direction", direction,
                                  "--rules", rules, "--json"});
    ASSERT_EQ(added.code, 0) << added.err;
    EXPECT_EQ(added.Json()["configuration"], Example());
    for (int other = 0; other < 6; ++other) {
      EXPECT_EQ(added.Json()["positions"][other]["class"].is_null(), other != location) << node;
    }
  }
}

// A rules file that cannot mean what it says is refused with the line at fault.
TEST_F(EndpointToolTest, DeviceRulesWithAFaultAreRefusedAtTheLineOfIt) {
  const struct {
    std::string text, message;
  } cases[] = {
      {"node = x\n", ":1: 'node = x' comes before any [device] section"},
      {"[device]\nnode x\n", ":2: expected [device], [fallback] or key = value, not 'node x'"},
      {"[device]\ncolour = red\n", ":2: unknown key 'colour' in a [device] section"},
      {"[fallback]\nnode = x\n", ":2: unknown key 'node' in a [fallback] section"},
      {"[device]\ndirection = both\n", ":2: direction is render or capture, not 'both'"},
      {"[device]\nconfiguration = a.xml\nfx = SFX XFX\n",
       ":3: fx XFX: unknown position 'XFX'; use PreBlue (or LFX), SFX, MFX, EFX, OSFX, OMFX or 0 "
       "to 5"},
      {"[device]\nfx = SFX\n[fallback]\n",
       ":1: the section needs a configuration and fx "
       "positions"},
  };
  for (const auto& c : cases) {
    std::ofstream(File("bad.conf")) << c.text;
    const HostResult result =
        Run({"endpoint", "add", "--device", "x", "--rules", File("bad.conf")});
    EXPECT_EQ(result.code, 2);
    EXPECT_EQ(result.err, "qorapo: " + File("bad.conf") + c.message +
                              "; give --config, or the rules with --rules\n");
  }
}

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

// The words of an example as a shell would split them: double quotes group, and a comment or a
// redirection ends the command.
std::vector<std::string> ShellWords(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  for (std::string word; in >> std::ws && in.peek() != EOF;) {
    if (in.peek() == '"') {
      in >> std::quoted(word);
    } else {
      in >> word;
    }
    if (word == "#" || word == ">") break;
    words.push_back(word);
  }
  return words;
}

TEST_F(EndpointToolTest, EveryToolSubcommandHasHelpWithAnExampleThatRunsAsWritten) {
  std::istringstream commands(
      "endpoint list,endpoint show,endpoint add,endpoint remove,endpoint enable,endpoint disable,"
      "endpoint default,mode list,mode get,mode set,control list,control get,control set,"
      "control reset,tune get,tune set,tune mode,tune clear,tune hold,effects,register,unregister,"
      "meter,plot,process,serve,status");
  for (std::string command; std::getline(commands, command, ',');) {
    const HostResult help = Run(Words(command + " --help"));
    EXPECT_EQ(help.code, 0) << command;
    const size_t example = help.out.find("Example:\n");
    ASSERT_NE(example, std::string::npos) << command << ": " << help.out;
    std::istringstream lines(help.out.substr(example));
    int examples = 0;
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("  qorapo ", 0) != 0) continue;
      ++examples;
      // The example is of this subcommand, not of a neighbour.
      const std::vector<std::string> words = ShellWords(line.substr(9));
      const std::vector<std::string> named = Words(command);
      ASSERT_GE(words.size(), named.size()) << line;
      EXPECT_TRUE(std::equal(named.begin(), named.end(), words.begin())) << command << ": " << line;
      // It parses as written (what it names may not exist here); one that runs until Ctrl-C
      // is left out.
      if (line.find("Ctrl-C") != std::string::npos || line.find("--realtime") != std::string::npos)
        continue;
      const HostResult run = Run(words);
      EXPECT_EQ(run.err.find("Run with --help"), std::string::npos) << line << "\n" << run.err;
    }
    EXPECT_GT(examples, 0) << command << ": " << help.out;
  }
  // A malformed command line is a usage error.
  for (const char* command :
       {"endpoint", "mode set", "control list --bogus", "tune mode 3", "meter --interval-ms 5",
        "meter --channels 9", "meter --bogus", "process x.wav"}) {
    EXPECT_EQ(Run(Words(command)).code, 1) << command;
  }
}

}  // namespace
