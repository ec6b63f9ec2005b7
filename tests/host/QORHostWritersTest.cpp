// End-to-end: several qorapo processes writing one endpoint's settings, or registering the module,
// at the same time.
#include "ChildProcess.h"
#include "QORHostRunner.h"
#include "common/QORTextConvert.h"
#include "endpoint/QORAPOEndpointInfo.h"
#include "endpoint/QORAPOPublicSettings.h"
#include "endpoint/QORAPOTunedSettings.h"
#include "platform/QORComPtr.h"
#include "platform/QORMMDevice.h"
#include "platform/QORRegistryKey.h"
#include "settings/QORPropertySetSharedMem.h"
#include "thread/QORNamedMutexLock.h"

namespace {

using nlohmann::json;
using qortest::HostResult;

constexpr GUID kDemoEndpoint = {
    0x0DE30001, 0x51A7, 0x4C0E, {0x9A, 0x0D, 0x7E, 0x4D, 0x00, 0x00, 0x00, 0x01}};
constexpr int kWriters = 8;

std::string Band(int writer) {
  return "ZR3D-GEQ Band " + std::to_string(writer + 1);
}

// Eight public bands, all 0 (the library's range is -1200..1200).
const std::string kWritersConfiguration = [] {
  std::string text = R"(<?xml version="1.0"?><qor_configuration><properties>
    <control name="VAPO3-Operating Mode">VAPO3-Music</control>
    <control name="VAPO3-Speaker Type">VAPO3-Speakers</control></properties>
    <operating_mode><control name="VAPO3-Operating Mode">VAPO3-Music</control>
    <control name="VAPO3-Speaker Type">VAPO3-Speakers</control>)";
  for (int writer = 0; writer < kWriters; ++writer) {
    text += "<control name=\"" + Band(writer) + "\" public=\"true\">0</control>";
  }
  return text + R"(<chain_v2 position="SFX" input="Any" output="Any">
    <process tech_id="ZR3D" instance_id="SFX_Main"/></chain_v2></operating_mode>
    </qor_configuration>)";
}();

// args: mutex name. Takes it, says "held", keeps it until told anything.
int LockHolder(const std::vector<std::string>& args) {
  QORNamedMutexLock lock;
  if (args.size() != 1 || lock.Lock(QORUtf8ToWide(args[0]), 0) != QORNamedMutexLock::Result::kHeld)
    return 1;
  qortest::ChildSay("held");
  std::string line;
  qortest::ChildHear(line);
  return 0;
}
qortest::ChildRegistration lockHolder("host-lock-holder", &LockHolder);

class WritersToolTest : public qortest::HostToolTest {
 protected:
  const char* Configuration() const override { return kWritersConfiguration.c_str(); }

  // Starts one qorapo per argument list at once and waits for all; their results in order.
  std::vector<HostResult> RunAll(const std::vector<std::vector<std::string>>& runs) {
    std::vector<std::pair<pid_t, std::string>> started;
    for (size_t i = 0; i < runs.size(); ++i) {
      const std::string tag = "writer" + std::to_string(i);
      started.emplace_back(Start(runs[i], tag), tag);
    }
    std::vector<HostResult> results;
    for (const auto& [pid, tag] : started) results.push_back(Wait(pid, tag));
    return results;
  }

  // The value of each band as `list` (or `tune get`) prints it.
  std::vector<std::string> Bands(const std::vector<std::string>& args) {
    const json out = RunJson(args);
    const json& controls = out.is_array() ? out : out["controls"];
    std::vector<std::string> values;
    for (int writer = 0; writer < kWriters; ++writer) {
      const json* control = qortest::Named(controls, Band(writer));
      values.push_back(control == nullptr ? "(missing)" : (*control)["value"].get<std::string>());
    }
    return values;
  }

  QORAPOEndpointInfo Endpoint() {
    QORComPtr<IMMDevice> device;
    QORAPOEndpointInfo info;
    EXPECT_TRUE(SUCCEEDED(QORMMDevice::Create(eRender, kDemoEndpoint, device.Put())));
    EXPECT_TRUE(info.Init(device.Get(), true));
    return info;
  }
};

// Two rounds of eight `control set` (then `tune set`) runs at once, each on its own band: every
// run succeeds and the set ends with every band's second value.
TEST_F(WritersToolTest, EightSimultaneousWritersOfDifferentControlsKeepEveryWrite) {
  const pid_t hold = StartBackground({"tune", "hold"}, "hold");
  ASSERT_NE(hold, 0) << qortest::SlurpLog(ErrOf("hold"));
  struct Case {
    const char* command;
    std::vector<std::string> read;
  };
  const Case cases[] = {{"control", {"control", "list", "--json"}},
                        {"tune", {"tune", "get", "--json"}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    std::vector<std::string> expected;
    for (const int round : {1, 2}) {
      std::vector<std::vector<std::string>> runs;
      expected.clear();
      for (int writer = 0; writer < kWriters; ++writer) {
        // A value of its own for each writer and round, in hundredths: 1.01, 2.01, ... then 1.02.
        expected.push_back(std::to_string(100 * (writer + 1) + round));
        runs.push_back({c.command, "set", Band(writer), expected.back()});
      }
      for (const HostResult& result : RunAll(runs)) {
        EXPECT_EQ(result.code, 0) << result.err;
        EXPECT_NE(result.out.find(" = "), std::string::npos) << result.out;
      }
    }
    EXPECT_EQ(Bands(c.read), expected);
  }
}

// A process that keeps the set's lock past the wait makes `control set` and `tune set` fail with
// a non-zero exit, and nothing is written.
TEST_F(WritersToolTest, WriterThatCannotHaveTheLockFailsAndWritesNothing) {
  const pid_t hold = StartBackground({"tune", "hold"}, "hold");
  ASSERT_NE(hold, 0) << qortest::SlurpLog(ErrOf("hold"));
  const QORAPOEndpointInfo info = Endpoint();
  const QORAPOModeIdentity music("VAPO3-Music", "VAPO3-Speakers");
  const std::wstring tunedBlock = QORAPOTunedSettings::BlockName(info, music);
  struct Case {
    const char* command;
    std::wstring lock;
    std::string message;
  };
  const Case cases[] = {
      {"control",
       QORAPOPublicSettings::WriteLockName(info.GetRegistrySubkey(), music.GetTextWide()),
       "cannot write the public controls"},
      {"tune", tunedBlock + QORPropertySetSharedMem::kMutexSuffix,
       "another process held the lock of the tuned block '" + QORWideToUtf8(tunedBlock) +
           "' for longer than 5 s; nothing was written"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    const std::vector<std::string> read =
        c.command == std::string("tune") ? std::vector<std::string>{"tune", "get", "--json"}
                                         : std::vector<std::string>{"control", "list", "--json"};
    ASSERT_EQ(Run({c.command, "set", Band(2), "300"}).code, 0);
    qortest::ChildProcess holder;
    ASSERT_TRUE(holder.Start("host-lock-holder", {QORWideToUtf8(c.lock)}));
    ASSERT_TRUE(holder.WaitFor("held", 60000));
    const HostResult refused = Run({c.command, "set", Band(2), "-300"});
    EXPECT_EQ(refused.code, 2);
    EXPECT_NE(refused.err.find(c.message), std::string::npos) << refused.err;
    holder.SendLine("release");
    EXPECT_EQ(holder.Wait(), 0);
    EXPECT_EQ(Bands(read)[2], "300");
  }
}

// Two `register` and two `unregister` at once, a few rounds: each succeeds, and the shared keys
// that unregistering keeps are there after every round. A registration lock held past the wait
// fails the call with that cause.
TEST_F(WritersToolTest, SimultaneousRegisterAndUnregisterAllSucceedAndKeepTheSharedKeys) {
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    for (const HostResult& result :
         RunAll({{"register"}, {"unregister"}, {"register"}, {"unregister"}})) {
      EXPECT_EQ(result.code, 0) << result.err;
    }
    for (const wchar_t* shared : {L"CLSID", L"TypeLib", L"AppID"}) {
      QORRegistryKey key;
      EXPECT_EQ(QORRegistryKey::Open(QORRegistryHive::kClassesRoot, shared, KEY_READ, key),
                ERROR_SUCCESS)
          << QORWideToUtf8(shared);
    }
  }
  qortest::ChildProcess holder;
  ASSERT_TRUE(holder.Start("host-lock-holder", {"Global\\QorApoRegistration"}));
  ASSERT_TRUE(holder.WaitFor("held", 60000));
  const HostResult refused = Run({"unregister"});
  EXPECT_EQ(refused.code, 2);
  EXPECT_NE(refused.err.find("failed with 0x800705B4: another registration or unregistration held "
                             "the state root's registration lock for longer than 30 s"),
            std::string::npos)
      << refused.err;
  holder.SendLine("release");
  EXPECT_EQ(holder.Wait(), 0);
}

}  // namespace
