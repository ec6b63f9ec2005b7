#include <gtest/gtest.h>

#include <boost/any.hpp>
#include <string>
#include <vector>

#include "TestTechProbe.h"
#include "chain/QORAPOProcessWrapper.h"
#include "settings/QORUTSControlInfo.h"
#include "settings/QORUTSValue.h"

namespace {

using testtech::ReadInt;
using testtech::ReadText;

class QORAPOProcessWrapperControl : public testing::Test {
 protected:
  // A wrapper of the gain process (Gain 50 at creation) for the instance id.
  QORAPOProcessWrapper& Make(const std::string& instanceId) {
    auto& wrapper = wrappers_.emplace_back(std::make_unique<QORAPOProcessWrapper>());
    EXPECT_TRUE(wrapper->Create("Test Gain", instanceId, "", nullptr));
    return *wrapper;
  }

  std::vector<std::unique_ptr<QORAPOProcessWrapper>> wrappers_;
};

TEST_F(QORAPOProcessWrapperControl, PrefixAddressesOneInstanceAndNoPrefixAddressesAll) {
  QORAPOProcessWrapper& eq = Make("Eq");
  QORAPOProcessWrapper& bass = Make("Bass");

  EXPECT_TRUE(eq.SetControl(QORUTSValue("Eq:Gain", 150L)));
  EXPECT_FALSE(bass.SetControl(QORUTSValue("Eq:Gain", 150L)));
  EXPECT_EQ(ReadInt(eq, "Gain"), 150);
  EXPECT_EQ(ReadInt(bass, "Gain"), 50);

  EXPECT_TRUE(eq.SetControl(QORUTSValue("Gain", 70L)));
  EXPECT_TRUE(bass.SetControl(QORUTSValue("Gain", 70L)));
  EXPECT_EQ(ReadInt(eq, "Gain"), 70);
  EXPECT_EQ(ReadInt(bass, "Gain"), 70);

  // A prefix must match whole: "E" and "Eq2" are other instances.
  EXPECT_FALSE(eq.SetControl(QORUTSValue("E:Gain", 1L)));
  EXPECT_FALSE(eq.SetControl(QORUTSValue("Eq2:Gain", 1L)));
}

TEST_F(QORAPOProcessWrapperControl, OffloadInstancesAlsoTakeTheirPlainPositionsControls) {
  // An offload stream instance takes its plain position's controls, never the reverse, and stream
  // and mix positions stay apart.
  const struct {
    const char* instance;
    const char* control;
    bool accepted;
  } cases[] = {{"OSFX_Main", "SFX_Main:Gain", true},  {"SFX_Main", "OSFX_Main:Gain", false},
               {"OMFX_Main", "MFX_Main:Gain", true},  {"MFX_Main", "OMFX_Main:Gain", false},
               {"OSFX_Main", "MFX_Main:Gain", false}, {"OMFX_Main", "SFX_Main:Gain", false},
               {"EFX_Main", "SFX_Main:Gain", false}};
  for (const auto& c : cases) {
    QORAPOProcessWrapper& wrapper = Make(c.instance);
    EXPECT_EQ(wrapper.SetControl(QORUTSValue(c.control, 110L)), c.accepted) << c.instance;
    EXPECT_EQ(ReadInt(wrapper, "Gain"), c.accepted ? 110 : 50) << c.instance;
  }
  // Reading applies no alias.
  QORAPOProcessWrapper& osfx = *wrappers_.front();
  QORUTSValue aliased("SFX_Main:Gain", std::string("unchanged"));
  EXPECT_FALSE(osfx.GetControl(aliased));
  EXPECT_EQ(aliased.GetValueText(), "unchanged");
  QORUTSValue own("OSFX_Main:Gain", std::string());
  EXPECT_TRUE(osfx.GetControl(own));
  EXPECT_EQ(own.GetValueText(), "110");
}

TEST_F(QORAPOProcessWrapperControl, ValuesGoAsIntegersWhenTheyHaveAnIntegerForm) {
  QORAPOProcessWrapper& eq = Make("Eq");
  struct Case {
    QORUTSValue value;
    std::string expected;
  };
  const Case cases[] = {
      {QORUTSValue("Eq:Gain", "Enabled"), "int Gain 1"},
      {QORUTSValue("Eq:Gain", "-40"), "int Gain -40"},
      {QORUTSValue("Eq:Gain", 2.9f), "int Gain 2"},
      {QORUTSValue("Eq:Label", "enabled"), "text Label enabled"},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(eq.SetControl(c.value)) << c.value.GetName() << " = " << c.value.GetValueText();
    EXPECT_EQ(ReadText(eq, "LastSet"), c.expected);
  }
  // The process's answer is the result: a text control given an integer form refuses it.
  EXPECT_FALSE(eq.SetControl(QORUTSValue("Eq:Label", "3")));
  EXPECT_EQ(ReadText(eq, "Label"), "enabled");
}

TEST_F(QORAPOProcessWrapperControl, GetControlPrefersTheIntegerFormAndKeepsTheName) {
  QORAPOProcessWrapper& eq = Make("Eq");
  ASSERT_TRUE(eq.SetControl(QORUTSValue("Label", "warm")));

  QORUTSValue gain("Eq:Gain", std::string("old"));
  ASSERT_TRUE(eq.GetControl(gain));
  EXPECT_EQ(gain.GetName(), "Eq:Gain");
  ASSERT_EQ(gain.GetValue().type(), typeid(long));
  EXPECT_EQ(boost::any_cast<long>(gain.GetValue()), 50L);

  QORUTSValue label("Label", 7L);
  ASSERT_TRUE(eq.GetControl(label));
  ASSERT_EQ(label.GetValue().type(), typeid(std::string));
  EXPECT_EQ(label.GetValueText(), "warm");

  QORUTSValue other("Bass:Gain", 7L);
  EXPECT_FALSE(eq.GetControl(other));
  EXPECT_EQ(other.GetValueText(), "7");
}

TEST_F(QORAPOProcessWrapperControl, ControlInfoDerivesTheScaleFromTheType) {
  QORAPOProcessWrapper wrapper;
  ASSERT_TRUE(wrapper.Create("Test Controls", "Eq", "", nullptr));
  std::vector<QORUTSControlInfo> infos(7);
  ASSERT_EQ(wrapper.GetControlInfo(infos), 4);
  ASSERT_EQ(infos.size(), 4u);
  EXPECT_EQ(infos[0].GetValue1(), 0xFFFFDA80u);  // -9600, bit for bit
  EXPECT_EQ(infos[0].GetScale(), 1.0f);
  EXPECT_EQ(infos[2].GetName(), "Gain");
  EXPECT_EQ(infos[2].GetScale(), 100.0f);
  EXPECT_EQ(infos[3].GetValueNames(), (QORUTSNameList{"Off", "Music", "Movie"}));
}

}  // namespace
