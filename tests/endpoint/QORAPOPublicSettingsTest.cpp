#include "endpoint/QORAPOPublicSettings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "EndpointSettingsSupport.h"
#include "TempStateRoot.h"
#include "TraceCapture.h"
#include "common/QORTextConvert.h"
#include "endpoint/QORAPOGlobalSettings.h"
#include "endpoint/QORAPOModeSelector.h"
#include "endpoint/QORAPOPublicSettingsReader.h"
#include "platform/IQOREvent.h"
#include "platform/QORWait.h"

namespace {

using namespace endpointsettings;

std::string Text(const QORUTSValueList& list, const char* name) {
  const QORUTSValue* control = list.Find(name);
  return control != nullptr ? control->GetValueText() : "(none)";
}

// Writes the public control the parent names ("write NAME=TEXT"), answering with the time just
// before.
int PublicWriterChild(const std::vector<std::string>&) {
  QORAPOEndpointInfo info;
  QORAPOPublicSettings settings;
  if (!MakeEndpoint(info, false) || !settings.Init(info, MusicMode())) return 1;
  qortest::ChildSay("ready");
  std::string line;
  while (qortest::ChildHear(line) && line.rfind("write ", 0) == 0) {
    const size_t equals = line.find('=');
    const QORUTSValue control(line.substr(6, equals - 6), line.substr(equals + 1).c_str());
    const int64_t before = NowUs();
    if (!settings.WriteControl(control)) return 2;
    qortest::ChildSay(std::to_string(before));
  }
  return 0;
}
qortest::ChildRegistration publicWriter("public-writer", &PublicWriterChild);

// Records every control it hears.
class ControlListener : public IQORAPOPublicSettingsNotify {
 public:
  void OnPublicSettingChanged(QORAPOPublicSettings&, const QORUTSValue& control) override {
    std::lock_guard<std::mutex> lock(mutex_);
    heard_.push_back(control.GetName() + "=" + control.GetValueText());
    changed_.notify_all();
  }
  bool WaitForCalls(size_t count, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return heard_.size() >= count; });
  }
  std::vector<std::string> Heard() {
    std::lock_guard<std::mutex> lock(mutex_);
    return heard_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> heard_;
};

class QORAPOPublicSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(MakeEndpoint(info_, true)); }

  void Store(const std::wstring& name, const PropertyList& entries) {
    ASSERT_EQ(EndpointKey(info_).SetBinary(name, BinaryOf(entries)), ERROR_SUCCESS);
  }
  static PropertyEntry TextEntry(const wchar_t* key, const char* text) {
    return PropertyEntry(key, boost::any(std::string(text)));
  }

  qortest::TempStateRoot root_;
  QORAPOEndpointInfo info_;
  QORAPOOperatingMode mode_ = MusicMode();
  const std::wstring valueName_ = L"ApoOpMode:VAPO3-Music/VAPO3-Speakers";
};

TEST_F(QORAPOPublicSettingsTest, StoredValuesOverrideOnlyDeclaredControls) {
  Store(valueName_, {TextEntry(L"VAPO3-Process Enable", "0"), TextEntry(L"Stray", "5")});
  qortest::TraceCapture trace;
  QORAPOPublicSettings settings;
  ASSERT_TRUE(settings.Init(info_, mode_));
  QORUTSValueList controls;
  ASSERT_TRUE(settings.ReadControls(controls, true));
  EXPECT_EQ(controls.Size(), 2u);
  EXPECT_EQ(Text(controls, "VAPO3-Process Enable"), "0");
  EXPECT_EQ(Text(controls, "Bass Level"), "3");

  EXPECT_FALSE(settings.WriteControl(QORUTSValue("Stray", "6")));
  EXPECT_EQ(trace
                .LinesContaining("| QORAPOPublicSettings::WriteControl | WriteControl: Unable to "
                                 "get property Stray\n")
                .size(),
            1u);
  EXPECT_EQ(
      trace
          .LinesContaining("| QORAPOPublicSettings::Init | OK: Software\\QOR Labs\\APO\\" +
                           QORWideToUtf8(info_.GetEndpointGuidText()) + " found in registry\n")
          .size(),
      1u);

  // Written controls reach the reader; the mode's whole list is what ReadAllControls gives.
  ASSERT_TRUE(settings.WriteControl(QORUTSValue("Bass Level", boost::any(5L))));
  QORAPOPublicSettingsReader reader;
  ASSERT_TRUE(reader.Open(info_, mode_, nullptr));
  ASSERT_TRUE(reader.Read(controls));
  EXPECT_EQ(Text(controls, "Bass Level"), "5");
  EXPECT_EQ(Text(controls, "VAPO3-Process Enable"), "0");
  EXPECT_TRUE(settings.ReadAllControls(controls, true));
  EXPECT_EQ(controls.Size(), 3u);
  EXPECT_EQ(Text(controls, "Tech Gain"), "7");

  // Without a stored value the reader gives nothing, not its defaults.
  EXPECT_TRUE(settings.DeleteValue());
  EXPECT_FALSE(settings.ReadControls(controls, true));
  EXPECT_FALSE(reader.Read(controls));
  EXPECT_TRUE(controls.Empty());
}

TEST_F(QORAPOPublicSettingsTest, ControlWithoutTextIsRefusedAndLaterWritesStillStore) {
  QORAPOPublicSettings settings;
  ASSERT_TRUE(settings.Init(info_, mode_));
  EXPECT_FALSE(settings.WriteControl(QORUTSValue("Bass Level", "")));
  EXPECT_TRUE(settings.WriteControl(QORUTSValue("Bass Level", "4")));

  QORUTSValueList many;
  many.Set(QORUTSValue("VAPO3-Process Enable", ""));
  many.Set(QORUTSValue("Treble Level", "2"));
  EXPECT_FALSE(settings.WriteControls(many));
  QORAPOPublicSettings other;
  ASSERT_TRUE(other.Init(info_, mode_));
  QORUTSValueList controls;
  ASSERT_TRUE(other.ReadControls(controls, true));
  EXPECT_EQ(Text(controls, "Bass Level"), "4");
  EXPECT_EQ(Text(controls, "VAPO3-Process Enable"), "1");
  EXPECT_EQ(Text(controls, "Treble Level"), "(none)");  // a name the mode does not declare
  EXPECT_TRUE(settings.SaveAllControls());
}

TEST_F(QORAPOPublicSettingsTest, MissingKeyFailsEveryAccessWithItsMessage) {
  ASSERT_EQ(QORRegistryKey::DeleteTree(QORRegistryHive::kLocalMachine, info_.GetRegistrySubkey()),
            ERROR_SUCCESS);
  qortest::TraceCapture trace;
  QORAPOPublicSettings settings;
  EXPECT_FALSE(settings.Init(info_, mode_));
  EXPECT_EQ(trace.LinesContaining(" NOT found in registry\n").size(), 1u);
  EXPECT_FALSE(settings.WriteControl(QORUTSValue("Bass Level", "4")));
  EXPECT_EQ(trace.LinesContaining("WriteControl: Registry key is not opened.\n").size(), 1u);
  QORUTSValueList controls;
  EXPECT_FALSE(settings.ReadControls(controls, true));
  EXPECT_TRUE(controls.Empty());
  EXPECT_FALSE(settings.SaveAllControls());
  QORAPOPublicSettingsReader reader;
  EXPECT_FALSE(reader.Open(info_, mode_, nullptr));
  EXPECT_FALSE(reader.Read(controls));
}

TEST_F(QORAPOPublicSettingsTest, GlobalSwitchesDefaultAndTakeStoredExtras) {
  QORAPOGlobalSettings global;
  EXPECT_FALSE(global.Init(info_, mode_));
  ASSERT_TRUE(global.InitGlobal(info_));
  QORUTSValueList controls;
  EXPECT_FALSE(global.ReadControls(controls, true));  // nothing stored
  EXPECT_EQ(controls.Size(), 2u);
  EXPECT_EQ(Text(controls, "VAPO3-Process Enable"), "1");
  EXPECT_EQ(Text(controls, "VAPO3-Mic Monitor Enable"), "0");

  Store(L"QorApoGlobal", {TextEntry(L"VAPO3-Process Enable", "0"), TextEntry(L"Extra", "9")});
  QORAPOGlobalSettings later;
  ASSERT_TRUE(later.InitGlobal(info_));
  ASSERT_TRUE(later.ReadControls(controls, true));
  EXPECT_EQ(controls.Size(), 3u);
  EXPECT_EQ(Text(controls, "VAPO3-Process Enable"), "0");
  EXPECT_EQ(Text(controls, "VAPO3-Mic Monitor Enable"), "0");
  EXPECT_EQ(Text(controls, "Extra"), "9");
  EXPECT_TRUE(later.WriteControl(QORUTSValue("Extra", "8")));
}

TEST_F(QORAPOPublicSettingsTest, ReaderOpenedAgainOnlyTakesTheNewEvent) {
  auto first = QORCreateEvent(false, false);
  auto second = QORCreateEvent(false, false);
  QORAPOPublicSettingsReader reader;
  ASSERT_TRUE(reader.Open(info_, mode_, first.get()));
  ASSERT_TRUE(reader.Open(info_, mode_, second.get()));
  Store(valueName_, {TextEntry(L"Bass Level", "1")});
  EXPECT_EQ(QORWaitForSingle(*second, 2000), kQORWaitObject0);
  EXPECT_EQ(QORWaitForSingle(*first, 0), kQORWaitTimeout);

  // An event given only on the second Open is signalled as well.
  QORAPOPublicSettingsReader late;
  ASSERT_TRUE(late.Open(info_, mode_, nullptr));
  ASSERT_TRUE(late.Open(info_, mode_, first.get()));
  Store(valueName_, {TextEntry(L"Bass Level", "2")});
  EXPECT_EQ(QORWaitForSingle(*first, 2000), kQORWaitObject0);
}

TEST_F(QORAPOPublicSettingsTest, AnotherProcessesWriteSignalsTheReaderQuickly) {
  auto changed = QORCreateEvent(false, false);
  QORAPOPublicSettingsReader reader;
  ASSERT_TRUE(reader.Open(info_, mode_, changed.get()));
  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("public-writer"));
  ASSERT_TRUE(child.WaitFor("ready"));
  for (const char* level : {"6", "7"}) {
    ASSERT_TRUE(child.SendLine(std::string("write Bass Level=") + level));
    std::string written;
    ASSERT_TRUE(child.ReadLine(written));
    ASSERT_EQ(QORWaitForSingle(*changed, 2000), kQORWaitObject0);
    EXPECT_LT(NowUs() - std::stoll(written), 100000) << level;
    QORUTSValueList controls;
    ASSERT_TRUE(reader.Read(controls));
    EXPECT_EQ(Text(controls, "Bass Level"), level);
  }
  child.SendLine("end");
  EXPECT_EQ(child.Wait(), 0);
}

TEST_F(QORAPOPublicSettingsTest, ListenerHearsExactlyTheControlsAnotherProcessChanged) {
  QORAPOPublicSettings settings;
  ASSERT_TRUE(settings.Init(info_, mode_));
  ASSERT_TRUE(settings.SaveAllControls());
  ControlListener listener;
  ASSERT_TRUE(settings.SetNotify(&listener));
  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("public-writer"));
  ASSERT_TRUE(child.WaitFor("ready"));
  std::string written;
  ASSERT_TRUE(child.SendLine("write Bass Level=6"));
  ASSERT_TRUE(child.ReadLine(written));
  ASSERT_TRUE(listener.WaitForCalls(1, 2000));
  ASSERT_TRUE(child.SendLine("write VAPO3-Process Enable=0"));
  ASSERT_TRUE(child.ReadLine(written));
  ASSERT_TRUE(listener.WaitForCalls(2, 2000));
  EXPECT_TRUE(settings.SetNotify(nullptr));  // every delivery is done once the watch stops
  EXPECT_EQ(listener.Heard(), (std::vector<std::string>{"Bass Level=6", "VAPO3-Process Enable=0"}));
  child.SendLine("end");
  EXPECT_EQ(child.Wait(), 0);

  // Its own writes are heard too, on the writer's thread.
  ASSERT_TRUE(settings.SetNotify(&listener));
  ASSERT_TRUE(settings.WriteControl(QORUTSValue("Bass Level", "2")));
  ASSERT_TRUE(listener.WaitForCalls(3, 2000));
  EXPECT_EQ(listener.Heard().back(), "Bass Level=2");
}

// Everything these classes store is read-write for owner and group only, in directories of the
// same kind.
TEST_F(QORAPOPublicSettingsTest, StoredValuesAreGroupReadWriteOnly) {
  QORAPOPublicSettings settings;
  ASSERT_TRUE(settings.Init(info_, mode_));
  ASSERT_TRUE(settings.WriteControl(QORUTSValue("Bass Level", "4")));
  QORAPOGlobalSettings global;
  ASSERT_TRUE(global.InitGlobal(info_));
  ASSERT_TRUE(global.SaveAllControls());
  QORAPOModeSelector selector;
  ASSERT_TRUE(selector.Init(info_, QORAPOModeIdentity("VAPO3-Music", "VAPO3-Speakers")));
  ASSERT_TRUE(selector.SetMode(QORAPOModeIdentity("VAPO3-Movie", "VAPO3-Speakers")));

  int files = 0;
  const std::filesystem::path registry = std::filesystem::path(root_.Path()) / "registry";
  for (const auto& entry : std::filesystem::recursive_directory_iterator(registry)) {
    struct stat info {};
    ASSERT_EQ(::lstat(entry.path().c_str(), &info), 0);
    const unsigned mode = info.st_mode & 07777;
    if (S_ISDIR(info.st_mode)) {
      EXPECT_EQ(mode, 0770u) << entry.path();
    } else {
      EXPECT_TRUE(S_ISREG(info.st_mode)) << entry.path();
      EXPECT_EQ(mode, 0660u) << entry.path();
      ++files;
    }
  }
  EXPECT_GE(files, 3);
  struct stat top {};
  ASSERT_EQ(::stat(registry.c_str(), &top), 0);
  EXPECT_EQ(top.st_mode & 07777, 0770u);
}

}  // namespace
