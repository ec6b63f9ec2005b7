// End-to-end: `qorapo endpoint` changes the endpoint store as sound settings and installers do.
#include <string>

#include "QORHostToolRun.h"
#include "common/QORTextConvert.h"
#include "platform/QORRegistryKey.h"

namespace {

using nlohmann::json;
using qortest::ToolResult;

constexpr char kUsbGuid[] = "{0DE30002-51A7-4C0E-9A0D-7E4D00000002}";
constexpr char kCustomClass[] = "{11111111-2222-3333-4444-555555555555}";
// The module's SFX class, which --fx SFX without a class id registers.
constexpr char kModuleSfx[] = "{1B917FE2-47D1-425D-A26E-AFCDBDA7A2E8}";
constexpr char kDemoGuid[] = "{0DE30001-51A7-4C0E-9A0D-7E4D00000001}";

class EndpointToolTest : public qortest::ToolTest {
 protected:
  ToolResult AddUsb(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{"endpoint", "add",     "USB Speakers",
                                  "--config", Example(), "--fx",
                                  "SFX",      "--fx",    std::string("EFX=") + kCustomClass,
                                  "--guid",   kUsbGuid,  "--json"};
    args.insert(args.end(), extra.begin(), extra.end());
    return Run(args);
  }

  json List() {
    const ToolResult list = Run({"endpoint", "list", "--json"});
    EXPECT_EQ(list.code, 0) << list.err;
    return list.Json();
  }

  static const json* Named(const json& list, const std::string& name) {
    for (const json& entry : list) {
      if (entry["name"] == name) return &entry;
    }
    return nullptr;
  }
};

TEST_F(EndpointToolTest, AddDescribesTheNewEndpointAndShowAndListReadTheSameRecord) {
  const ToolResult added = AddUsb();
  ASSERT_EQ(added.code, 0) << added.err;
  const json record = added.Json();
  EXPECT_EQ(record["name"], "USB Speakers");
  EXPECT_EQ(record["guid"], kUsbGuid);
  EXPECT_EQ(record["id"], "{0.0.0.00000000}.{0de30002-51a7-4c0e-9a0d-7e4d00000002}");
  EXPECT_EQ(record["flow"], "render");
  EXPECT_EQ(record["state"], "active");
  EXPECT_EQ(record["default"], false);
  EXPECT_EQ(record["configuration"], Example());
  EXPECT_EQ(record["configurationExists"], true);
  EXPECT_EQ(record["subkey"], std::string("Software\\QOR Labs\\APO\\") + kUsbGuid);
  ASSERT_EQ(record["positions"].size(), 6u);
  const char* names[] = {"PreBlue", "SFX", "MFX", "EFX", "OSFX", "OMFX"};
  for (int location = 0; location < 6; ++location) {
    const json& position = record["positions"][location];
    EXPECT_EQ(position["position"], names[location]);
    EXPECT_EQ(position["location"], location);
    if (location == 1) {
      EXPECT_EQ(position["class"], kModuleSfx);
    } else if (location == 3) {
      EXPECT_EQ(position["class"], kCustomClass);
      EXPECT_TRUE(position["module"].is_null());  // nobody registered that class
    } else {
      EXPECT_TRUE(position["class"].is_null()) << names[location];
    }
  }
  // The settings key a control panel writes under exists from the start.
  QORRegistryKey subkey;
  EXPECT_EQ(QORRegistryKey::Open(QORRegistryHive::kLocalMachine,
                                 QORUtf8ToWide(record["subkey"].get<std::string>()),
                                 KEY_QUERY_VALUE, subkey),
            ERROR_SUCCESS);

  // Found by name in any letter case, or by GUID without braces, the record reads the same.
  const ToolResult byName = Run({"endpoint", "show", "usb speakers", "--json"});
  ASSERT_EQ(byName.code, 0) << byName.err;
  EXPECT_EQ(byName.Json(), record);
  const ToolResult byGuid =
      Run({"endpoint", "show", "0de30002-51a7-4c0e-9a0d-7e4d00000002", "--json"});
  ASSERT_EQ(byGuid.code, 0) << byGuid.err;
  EXPECT_EQ(byGuid.Json(), record);

  const json list = List();
  ASSERT_EQ(list.size(), 2u) << list;
  const json* usb = Named(list, "USB Speakers");
  const json* demo = Named(list, "QOR Demo Speakers");
  ASSERT_NE(usb, nullptr);
  ASSERT_NE(demo, nullptr);
  EXPECT_EQ((*usb)["guid"], kUsbGuid);
  EXPECT_EQ((*usb)["flow"], "render");
  EXPECT_EQ((*usb)["state"], "active");
  EXPECT_EQ((*usb)["default"], false);
  EXPECT_EQ((*demo)["default"], true);

  // The plain text shows the same record.
  const ToolResult text = Run({"endpoint", "show", "USB Speakers"});
  ASSERT_EQ(text.code, 0) << text.err;
  EXPECT_NE(text.out.find(std::string("settings key   HKEY_LOCAL_MACHINE\\Software\\QOR "
                                      "Labs\\APO\\") +
                          kUsbGuid),
            std::string::npos)
      << text.out;
  EXPECT_NE(text.out.find(std::string("EFX      ") + kCustomClass + " (class not registered)"),
            std::string::npos)
      << text.out;
}

TEST_F(EndpointToolTest, RefusedAddsLeaveTheStoreAsItWas) {
  ASSERT_EQ(AddUsb().code, 0);
  const json before = List();
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"endpoint", "add", "USB Speakers", "--config", Example()},
       2,
       "a render endpoint named 'USB Speakers' exists"},
      {{"endpoint", "add", "Other", "--config", Example(), "--guid", kUsbGuid},
       2,
       std::string("an endpoint with GUID ") + kUsbGuid + " exists"},
      {{"endpoint", "add", "Other", "--config", Path("missing.xml")},
       2,
       "cannot read the configuration"},
      {{"endpoint", "add", "Other", "--config", Example(), "--fx", "XFX"},
       1,
       "unknown position 'XFX'"},
      {{"endpoint", "add", "Other", "--config", Example(), "--fx", "SFX=nonsense"},
       1,
       "'nonsense' is not a class id"},
      {{"endpoint", "add", "Other", "--config", Example(), "--fx", "SFX", "--fx", "1"},
       1,
       "names position 1 twice"},
      {{"endpoint", "add", "Other", "--config", Example(), "--direction", "sideways"},
       1,
       "sideways"},
      {{"endpoint", "add", "Other"}, 1, "--config is required"},
  };
  for (const Case& c : cases) {
    const ToolResult result = Run(c.args);
    EXPECT_EQ(result.code, c.code) << c.args[2] << " " << result.err;
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
  }
  EXPECT_EQ(List(), before);
}

TEST_F(EndpointToolTest, DisabledEndpointsAreListedButNotUsedUntilEnabled) {
  ASSERT_EQ(AddUsb().code, 0);
  ToolResult result = Run({"endpoint", "disable", "USB Speakers"});
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
  result = Run({"endpoint", "default", "USB Speakers"});
  EXPECT_EQ(result.code, 2);
  EXPECT_NE(result.err.find("is disabled; enable it first"), std::string::npos) << result.err;

  ASSERT_EQ(Run({"endpoint", "enable", kUsbGuid}).code, 0);
  result = Run({"endpoint", "default", "USB Speakers"});
  ASSERT_EQ(result.code, 0) << result.err;
  result = Run({"endpoint", "default", "--json"});
  ASSERT_EQ(result.code, 0) << result.err;
  EXPECT_EQ(result.Json(),
            (json{{"name", "USB Speakers"}, {"guid", kUsbGuid}, {"flow", "render"}}));
  result = Run({"mode", "get", "--json"});  // the default endpoint is now the new one
  ASSERT_EQ(result.code, 0) << result.err;

  // Removed, the default falls back to the remaining active endpoint.
  result = Run({"endpoint", "remove", "USB Speakers"});
  ASSERT_EQ(result.code, 0) << result.err;
  result = Run({"endpoint", "show", "USB Speakers"});
  EXPECT_EQ(result.code, 2);
  EXPECT_NE(result.err.find(std::string("unknown endpoint 'USB Speakers'; known: QOR Demo "
                                        "Speakers ") +
                            kDemoGuid + " (see `qorapo endpoint list`)"),
            std::string::npos)
      << result.err;
  result = Run({"endpoint", "default", "--json"});
  ASSERT_EQ(result.code, 0) << result.err;
  EXPECT_EQ(result.Json()["guid"], kDemoGuid);
}

TEST_F(EndpointToolTest, CaptureEndpointsAreKeptApartFromRenderOnes) {
  const ToolResult added = Run(
      {"endpoint", "add", "Array Mic", "--direction", "capture", "--config", Example(), "--json"});
  ASSERT_EQ(added.code, 0) << added.err;
  EXPECT_EQ(added.Json()["flow"], "capture");
  EXPECT_EQ(added.Json()["id"].get<std::string>().rfind("{0.0.1.00000000}.", 0), 0u);
  // The same name may be taken once per direction.
  const ToolResult render = Run({"endpoint", "add", "Array Mic", "--config", Example()});
  ASSERT_EQ(render.code, 0) << render.err;
  const ToolResult ambiguous = Run({"endpoint", "show", "Array Mic"});
  EXPECT_EQ(ambiguous.code, 2);
  EXPECT_NE(ambiguous.err.find("more than one endpoint is named 'Array Mic'"), std::string::npos)
      << ambiguous.err;
  const ToolResult capture = Run({"endpoint", "default", "--capture", "--json"});
  ASSERT_EQ(capture.code, 0) << capture.err;
  EXPECT_EQ(capture.Json()["name"], "Array Mic");
  EXPECT_EQ(capture.Json()["flow"], "capture");
}

TEST_F(EndpointToolTest, EveryToolSubcommandHasHelpWithAnExample) {
  const std::vector<std::vector<std::string>> commands = {{"endpoint", "list"},
                                                          {"endpoint", "show"},
                                                          {"endpoint", "add"},
                                                          {"endpoint", "remove"},
                                                          {"endpoint", "enable"},
                                                          {"endpoint", "disable"},
                                                          {"endpoint", "default"},
                                                          {"mode", "list"},
                                                          {"mode", "get"},
                                                          {"mode", "set"},
                                                          {"control", "list"},
                                                          {"control", "get"},
                                                          {"control", "set"},
                                                          {"control", "reset"},
                                                          {"tune", "get"},
                                                          {"tune", "set"},
                                                          {"tune", "mode"},
                                                          {"tune", "clear"},
                                                          {"tune", "hold"},
                                                          {"effects"},
                                                          {"register"},
                                                          {"unregister"}};
  for (std::vector<std::string> command : commands) {
    command.push_back("--help");
    const ToolResult help = Run(command);
    EXPECT_EQ(help.code, 0) << command[0];
    EXPECT_NE(help.out.find("Example:\n  qorapo " + command[0]), std::string::npos)
        << command[0] << " " << command[1] << ": " << help.out;
  }
  // A malformed command line is a usage error.
  EXPECT_EQ(Run({"endpoint"}).code, 1);
  EXPECT_EQ(Run({"mode", "set"}).code, 1);
  EXPECT_EQ(Run({"control", "list", "--bogus"}).code, 1);
  EXPECT_EQ(Run({"tune", "mode", "3"}).code, 1);
}

}  // namespace
