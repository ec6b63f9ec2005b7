#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "TempStateRoot.h"
#include "TestEndpoint.h"
#include "common/QORTextConvert.h"
#include "endpoint/QORAPOGlobalSettings.h"
#include "endpoint/QORAPOPublicSettings.h"
#include "endpoint/QORAPOTunedSettings.h"
#include "settings/QORPropertySetSharedMem.h"
#include "thread/QORNamedMutexLock.h"

// Writers of one stored set in several processes, each changing its own controls: every write
// lands, and a writer that cannot have the set's lock says so and writes nothing.
namespace {

constexpr int kWriters = 8;
constexpr int kRounds = 12;

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
  const QORAPOEndpointInfo info = qortest::OpenEndpoint(true);
  if (args.size() != 2 || info.GetDevice() == nullptr) return 1;
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
    info_ = qortest::MakeEndpoint(true, L"");
    ASSERT_NE(info_.GetDevice(), nullptr);
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
  for (const bool killHolder : {false, true}) {
    for (const std::string store : {"public", "tuned"}) {
      SCOPED_TRACE(store + (killHolder ? ", holder killed" : ", holder alive"));
      const std::wstring& lock = store == "public" ? publicLock : tunedLock;
      ASSERT_TRUE(WriteOnce(store, info_, 3, 5));
      qortest::ChildProcess holder;
      ASSERT_TRUE(holder.Start("settings-lock-holder", {QORWideToUtf8(lock)}));
      ASSERT_TRUE(holder.WaitFor("held", 60000));
      if (killHolder) {
        ASSERT_TRUE(holder.Kill(SIGKILL));
        holder.Wait();
        EXPECT_TRUE(WriteOnce(store, info_, 3, 6));
        EXPECT_EQ(Value(Stored(store), 3), "6");
        continue;
      }
      const QORUTSValue control("Control 3", "7");
      if (store == "public") {
        QORAPOPublicSettings settings;
        ASSERT_TRUE(settings.Init(info_, WritersMode()));
        EXPECT_FALSE(settings.WriteControl(control));
        EXPECT_EQ(settings.WriteError(), "another process held the settings lock '" +
                                             QORWideToUtf8(lock) +
                                             "' for longer than 5 s; nothing was written");
      } else {
        QORAPOTunedSettings tuned;
        ASSERT_TRUE(tuned.Open(info_, WritersMode(), true));
        EXPECT_FALSE(tuned.WriteControl(control));
        EXPECT_EQ(tuned.LastWriteCode(), QORPropertySetSharedMem::kMutexTimeout);
      }
      holder.SendLine("release");
      EXPECT_EQ(holder.Wait(), 0);
      EXPECT_EQ(Value(Stored(store), 3), "5");
    }
  }
}

}  // namespace
