#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestTechProbe.h"
#include "chain/QORAPOProcessWrapper.h"
#include "settings/QORUTSValue.h"

namespace {

using testtech::ReadInt;

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

  EXPECT_TRUE(bass.SetControl(QORUTSValue("Gain", 70L)));
  EXPECT_EQ(ReadInt(bass, "Gain"), 70);
  EXPECT_FALSE(eq.SetControl(QORUTSValue("Eq2:Gain", 1L)));  // a prefix must match whole
}

TEST_F(QORAPOProcessWrapperControl, OffloadInstancesAlsoTakeTheirPlainPositionsControls) {
  // An offload stream instance takes its plain position's controls, never the reverse, and stream
  // and mix positions stay apart.
  const struct {
    const char* instance;
    const char* control;
    bool accepted;
  } cases[] = {{"OSFX_Main", "SFX_Main:Gain", true},
               {"SFX_Main", "OSFX_Main:Gain", false},
               {"OSFX_Main", "MFX_Main:Gain", false}};
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

}  // namespace
