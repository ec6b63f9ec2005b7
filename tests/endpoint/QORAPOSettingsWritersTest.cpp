#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "TempStateRoot.h"
#include "common/QORTextConvert.h"
#include "endpoint/QORAPOGlobalSettings.h"
#include "endpoint/QORAPOPublicSettings.h"
#include "endpoint/QORAPOTunedSettings.h"
#include "platform/QORComPtr.h"
#include "platform/QOREndpointStore.h"
#include "platform/QORMMDevice.h"
#include "platform/QORRegistryKey.h"
#include "settings/QORPropertySetSharedMem.h"
#include "thread/QORNamedMutexLock.h"

// Writers of one stored set in several processes, each changing its own controls: every write
// lands, and a writer that cannot have the set's lock says so and writes nothing.
namespace {

constexpr GUID kEndpoint = {
    0x3E1F0A27, 0x61C4, 0x4B9D, {0x8A, 0x02, 0x5D, 0x7E, 0x90, 0x13, 0xC6, 0x4F}};
constexpr int kWriters = 8;
constexpr int kRounds = 12;

bool OpenEndpoint(QORAPOEndpointInfo& info) {
  QORComPtr<IMMDevice> device;
  return SUCCEEDED(QORMMDevice::Create(eRender, kEndpoint, device.Put())) &&
         info.Init(device.Get(), true);
}

std::string ControlName(int writer) {
  return "Control " + std::to_string(writer);
}

// One public control per writer, all "0".
QORAPOOperatingMode WritersMode() {
  QORAPOOperatingMode mode;
  mode.GetModeIdentity() = QORAPOModeIdentity("VAPO3-Music", "VAPO3-Speakers");
  for (int writer = 0; writer < kWriters; ++writer) {
    mode.GetPublicControls().Set(QORUTSValue(ControlName(writer).c_str(), "0"));
  }
  mode.GetControls() = mode.GetPublicControls();
  return mode;
}

// Each round as a separate tool run does it: a fresh object reads the stored set, then writes one
// control of its own. false when a write failed.
bool WriteOnce(const std::string& store, const QORAPOEndpointInfo& info, int writer, int round) {
  const QORUTSValue control(ControlName(writer).c_str(), std::to_string(round).c_str());
  if (store == "public") {
    QORAPOPublicSettings settings;
    return settings.Init(info, WritersMode()) && settings.WriteControl(control);
  }
  if (store == "global") {
    QORAPOGlobalSettings global;
    QORUTSValueList controls;
    controls.Set(control);
    return global.InitGlobal(info) && global.WriteControls(controls);
  }
  QORAPOTunedSettings tuned;
  return tuned.Open(info, WritersMode(), true) && tuned.WriteControl(control);
}

// args: store, writer index. Says "ready", writes its rounds once told "go", says its failures.
int WriterChild(const std::vector<std::string>& args) {
  QORAPOEndpointInfo info;
  if (args.size() != 2 || !OpenEndpoint(info)) return 1;
  const int writer = std::stoi(args[1]);
  std::string line;
  qortest::ChildSay("ready");
  if (!qortest::ChildHear(line)) return 2;
  int failures = 0;
  for (int round = 1; round <= kRounds; ++round)
    failures += !WriteOnce(args[0], info, writer, round);
  qortest::ChildSay("failures " + std::to_string(failures));
  return 0;
}
qortest::ChildRegistration writerChild("settings-writer", &WriterChild);

// args: mutex name. Takes it, says "held", and keeps it until told anything (or killed).
int HolderChild(const std::vector<std::string>& args) {
  QORNamedMutexLock lock;
  if (args.size() != 1 || lock.Lock(QORUtf8ToWide(args[0]), 0) != QORNamedMutexLock::Result::kHeld)
    return 1;
  qortest::ChildSay("held");
  std::string line;
  qortest::ChildHear(line);
  return 0;
}
qortest::ChildRegistration holderChild("settings-lock-holder", &HolderChild);

class QORAPOSettingsWritersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(
        SUCCEEDED(QOREndpointStore::Add(eRender, kEndpoint, L"Speakers", DEVICE_STATE_ACTIVE)));
    ASSERT_TRUE(OpenEndpoint(info_));
    QORRegistryKey subkey;
    ASSERT_EQ(QORRegistryKey::Create(QORRegistryHive::kLocalMachine, info_.GetRegistrySubkey(),
                                     KEY_ALL_ACCESS, subkey),
              ERROR_SUCCESS);
    // The tuned block lives while a tuning session holds it.
    ASSERT_TRUE(session_.Open(info_, WritersMode(), false));
  }

  // Every control as the store now holds it, read by a new object.
  QORUTSValueList Stored(const std::string& store) {
    QORUTSValueList out;
    if (store == "public") {
      QORAPOPublicSettings settings;
      EXPECT_TRUE(settings.Init(info_, WritersMode()));
      EXPECT_TRUE(settings.ReadControls(out, true));
    } else if (store == "global") {
      QORAPOGlobalSettings global;
      EXPECT_TRUE(global.InitGlobal(info_));
      EXPECT_TRUE(global.ReadControls(out, true));
    } else {
      QORAPOTunedSettings tuned;
      EXPECT_TRUE(tuned.Open(info_, WritersMode(), true));
      EXPECT_TRUE(tuned.ReadControls(out, true));
    }
    return out;
  }

  static std::string Value(const QORUTSValueList& list, int writer) {
    const QORUTSValue* control = list.Find(ControlName(writer));
    return control != nullptr ? control->GetValueText() : "(missing)";
  }

  qortest::TempStateRoot root_;
  QORAPOEndpointInfo info_;
  QORAPOTunedSettings session_;
};

TEST_F(QORAPOSettingsWritersTest, EightWritersOfDifferentControlsKeepEveryWrite) {
  for (const std::string store : {"public", "global", "tuned"}) {
    SCOPED_TRACE(store);
    std::vector<std::unique_ptr<qortest::ChildProcess>> writers;
    for (int writer = 0; writer < kWriters; ++writer) {
      writers.push_back(std::make_unique<qortest::ChildProcess>());
      ASSERT_TRUE(writers.back()->Start("settings-writer", {store, std::to_string(writer)}));
      ASSERT_TRUE(writers.back()->WaitFor("ready", 60000));
    }
    for (auto& writer : writers) ASSERT_TRUE(writer->SendLine("go"));
    for (auto& writer : writers) {
      EXPECT_TRUE(writer->WaitFor("failures 0", 120000));
      EXPECT_EQ(writer->Wait(), 0);
    }
    // Each writer's last round is what the set holds for its control: no other writer's save of
    // an older view put back an earlier value.
    const QORUTSValueList stored = Stored(store);
    for (int writer = 0; writer < kWriters; ++writer) {
      EXPECT_EQ(Value(stored, writer), std::to_string(kRounds)) << ControlName(writer);
    }
  }
}

// A lock held by a live process past the wait refuses the write and leaves the store as it was; a
// holder that died leaves the lock to the next writer at once.
TEST_F(QORAPOSettingsWritersTest, WriterThatCannotHaveTheLockSaysSoAndWritesNothing) {
  const std::wstring publicLock = QORAPOPublicSettings::WriteLockName(
      info_.GetRegistrySubkey(), WritersMode().GetModeIdentity().GetTextWide());
  const std::wstring tunedLock =
      QORAPOTunedSettings::BlockName(info_, WritersMode().GetModeIdentity()) +
      QORPropertySetSharedMem::kMutexSuffix;
  struct Case {
    const char* store;
    std::wstring lock;
    bool killHolder;
  };
  const Case cases[] = {{"public", publicLock, false},
                        {"tuned", tunedLock, false},
                        {"public", publicLock, true},
                        {"tuned", tunedLock, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.store) + (c.killHolder ? ", holder killed" : ", holder alive"));
    ASSERT_TRUE(WriteOnce(c.store, info_, 3, 5));
    qortest::ChildProcess holder;
    ASSERT_TRUE(holder.Start("settings-lock-holder", {QORWideToUtf8(c.lock)}));
    ASSERT_TRUE(holder.WaitFor("held", 60000));
    if (c.killHolder) {
      ASSERT_TRUE(holder.Kill(SIGKILL));
      holder.Wait();
      EXPECT_TRUE(WriteOnce(c.store, info_, 3, 6));
      EXPECT_EQ(Value(Stored(c.store), 3), "6");
      continue;
    }
    const QORUTSValue control("Control 3", "7");
    if (std::string(c.store) == "public") {
      QORAPOPublicSettings settings;
      ASSERT_TRUE(settings.Init(info_, WritersMode()));
      EXPECT_FALSE(settings.WriteControl(control));
      EXPECT_EQ(settings.WriteError(), "another process held the settings lock '" +
                                           QORWideToUtf8(c.lock) +
                                           "' for longer than 5 s; nothing was written");
    } else {
      QORAPOTunedSettings tuned;
      ASSERT_TRUE(tuned.Open(info_, WritersMode(), true));
      EXPECT_FALSE(tuned.WriteControl(control));
      EXPECT_EQ(tuned.LastWriteCode(), QORPropertySetSharedMem::kMutexTimeout);
    }
    holder.SendLine("release");
    EXPECT_EQ(holder.Wait(), 0);
    EXPECT_EQ(Value(Stored(c.store), 3), "5");
  }
}

}  // namespace
