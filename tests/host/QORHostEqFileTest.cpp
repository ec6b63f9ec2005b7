// The equaliser files people bring: each format's lines as the filters they mean, and every line
// that cannot be represented refused with its number.
#include <gtest/gtest.h>

#include <cmath>

#include "QORHostEqFile.h"

namespace {

using Type = QORHostEqFile::Type;

struct Expected {
  Type type;
  double frequency, gainDb, q, slopeDb;
  int line;
};

void ExpectFilters(const QORHostEqFile::Section& section, const std::vector<Expected>& expected) {
  ASSERT_EQ(section.filters.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE("filter " + std::to_string(i));
    const QORHostEqFile::Filter& got = section.filters[i];
    EXPECT_EQ(got.type, expected[i].type);
    EXPECT_DOUBLE_EQ(got.frequency, expected[i].frequency);
    EXPECT_DOUBLE_EQ(got.gainDb, expected[i].gainDb);
    EXPECT_NEAR(got.q, expected[i].q, 1e-12);
    EXPECT_DOUBLE_EQ(got.slopeDb, expected[i].slopeDb);
    EXPECT_EQ(got.line, expected[i].line);
  }
}

TEST(EqFileTest, EveryTypeAndFormatReadsAsTheFiltersItMeans) {
  // One octave of bandwidth is Q = sqrt(2) / (2 - 1).
  const double octaveQ = std::sqrt(2.0);
  const struct {
    const char* name;
    std::string text;
    double preampDb;
    std::vector<Expected> filters;
  } cases[] = {
      {"parametric text, every type",
       "# a comment\n"
       "Preamp: -6.2 dB\n"
       "\n"
       "Filter 1: ON PK Fc 105 Hz Gain -3.1 dB Q 0.70\n"
       "Filter 2: ON PEQ Fc 1000 Hz Gain 2 dB BW Oct 1\n"
       "Filter 3: OFF PK Fc 2000 Hz Gain 9 dB Q 1\n"
       "Filter: ON LS Fc 80 Hz Gain 4 dB\n"
       "Filter 5: ON LSC 12 dB Fc 90 Hz Gain 3 dB\n"
       "Filter 6: ON HS 6dB Fc 8000 Hz Gain -2 dB\n"
       "Filter 7: ON HSC Fc 9000 Hz Gain -1.5 dB Q 0.9\n"
       "Filter 8: ON LP Fc 18000 Hz\n"
       "Filter 9: ON LPQ Fc 17000 Hz Q 0.5\n"
       "Filter 10: ON HP Fc 20 Hz\n"
       "Filter 11: ON HPQ Fc 25 Hz Q 1.2\n"
       "Filter 12: ON NO Fc 50 Hz\n"
       "Filter 13: ON AP Fc 300 Hz Q 0.6\n",
       -6.2,
       {{Type::kPeak, 105, -3.1, 0.7, 0, 4},
        {Type::kPeak, 1000, 2, octaveQ, 0, 5},
        {Type::kLowShelf, 80, 4, 0, 0, 7},
        {Type::kLowShelf, 90, 3, 0, 12, 8},
        {Type::kHighShelf, 8000, -2, 0, 6, 9},
        {Type::kHighShelf, 9000, -1.5, 0.9, 0, 10},
        {Type::kLowPass, 18000, 0, 0, 0, 11},
        {Type::kLowPass, 17000, 0, 0.5, 0, 12},
        {Type::kHighPass, 20, 0, 0, 0, 13},
        {Type::kHighPass, 25, 0, 1.2, 0, 14},
        {Type::kNotch, 50, 0, 0, 0, 15},
        {Type::kAllPass, 300, 0, 0.6, 0, 16}}},
      {"AutoEQ's ParametricEQ.txt, with a byte-order mark and Windows line ends",
       "\xEF\xBB\xBFPreamp: -5.8 dB\r\n"
       "Filter 1: ON LSC Fc 105 Hz Gain 5.5 dB Q 0.70\r\n"
       "Filter 2: ON PK Fc 3162 Hz Gain -2.4 dB Q 2.13\r\n",
       -5.8,
       {{Type::kLowShelf, 105, 5.5, 0.7, 0, 2}, {Type::kPeak, 3162, -2.4, 2.13, 0, 3}}},
      {"Room EQ Wizard's export",
       "Filter Settings file\n"
       "\n"
       "Room EQ V5.20.13\n"
       "Dated: 7 Dec 2026 10:00:00\n"
       "\n"
       "Notes: living room, left\n"
       "\n"
       "Equaliser: Generic\n"
       "Average 1\n"
       "Filter  1: ON  PK       Fc   63.0 Hz  Gain  -5.0 dB  Q  4.00\n"
       "Filter  2: ON  LS 12dB  Fc   100 Hz  Gain   3.0 dB\n"
       "Filter  3: OFF None\n"
       "Filter  5: ON  None\n"
       "Filter  4: ON  Modal    Fc   41.5 Hz  Gain  -7.5 dB  Q  9.1\n",
       0.0,
       {{Type::kPeak, 63, -5, 4, 0, 10},
        {Type::kLowShelf, 100, 3, 0, 12, 11},
        {Type::kPeak, 41.5, -7.5, 9.1, 0, 14}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    QORHostEqFile file;
    std::string error;
    ASSERT_TRUE(file.Parse(c.text, "eq.txt", 48000, &error)) << error;
    ASSERT_EQ(file.Sections().size(), 1u);
    EXPECT_TRUE(file.Sections()[0].channels.empty());
    EXPECT_DOUBLE_EQ(file.Sections()[0].preampDb, c.preampDb);
    ExpectFilters(file.Sections()[0], c.filters);
    EXPECT_TRUE(file.Graphic().empty());
  }
}

TEST(EqFileTest, ChannelSectionsAndAGraphicCurveKeepWhatTheyApplyTo) {
  QORHostEqFile file;
  std::string error;
  ASSERT_TRUE(
      file.Parse("Preamp: -3 dB\n"
                 "Filter 1: ON PK Fc 100 Hz Gain 2 dB Q 1\n"
                 "Channel: L\n"
                 "Preamp: -1 dB\n"
                 "Preamp: -0.5 dB\n"
                 "Filter 2: ON PK Fc 200 Hz Gain 3 dB Q 1\n"
                 "Channel: r C\n"
                 "Channel: all\n"
                 "Filter 3: ON HP Fc 30 Hz\n"
                 "GraphicEQ: 20 -3.1; 21 -3.0; 25000 4;\n",
                 "eq.txt", 48000, &error))
      << error;
  // The "r C" section has nothing and goes; preamps of one section add up.
  const auto& sections = file.Sections();
  ASSERT_EQ(sections.size(), 3u);
  EXPECT_TRUE(sections[0].channels.empty());
  EXPECT_DOUBLE_EQ(sections[0].preampDb, -3.0);
  ExpectFilters(sections[0], {{Type::kPeak, 100, 2, 1, 0, 2}});
  EXPECT_EQ(sections[1].channels, std::vector<std::string>{"L"});
  EXPECT_DOUBLE_EQ(sections[1].preampDb, -1.5);
  ExpectFilters(sections[1], {{Type::kPeak, 200, 3, 1, 0, 6}});
  EXPECT_TRUE(sections[2].channels.empty());
  ExpectFilters(sections[2], {{Type::kHighPass, 30, 0, 0, 0, 9}});
  // 25 kHz cannot be heard at 48 kHz and is left out.
  ASSERT_EQ(file.Graphic().size(), 2u);
  EXPECT_DOUBLE_EQ(file.Graphic()[1].frequency, 21.0);
  EXPECT_DOUBLE_EQ(file.Graphic()[1].gainDb, -3.0);
  EXPECT_EQ(file.GraphicLine(), 10);
}

TEST(EqFileTest, WhatCannotBeRepresentedIsRefusedWithItsLine) {
  const struct {
    std::string text, message;
  } cases[] = {
      {"Filter 1: ON XX Fc 100 Hz\n",
       "eq.txt:1: unknown filter type 'XX'; known: PK, PEQ, Modal, LS, LSC, HS, HSC, LP, LPQ, HP, "
       "HPQ, NO, AP"},
      {"# fine\nFilter 1: ON PK Fc 24000 Hz Gain 1 dB Q 1\n",
       "eq.txt:2: Fc 24000 Hz is outside 0 to 24000 Hz, half the stream's rate"},
      {"Filter 1: ON PK Fc 100 Hz Gain 1 dB\n", "eq.txt:1: the PK filter has no Q"},
      {"Filter 1: ON LS Fc 100 Hz\n", "eq.txt:1: the LS filter has no Gain"},
      {"Filter 1: ON HP Gain 1 dB\n", "eq.txt:1: the HP filter has no Fc"},
      {"Filter 1: ON PK Fc 100 Hz Gain 1 dB Q 0\n", "eq.txt:1: Q must be above 0"},
      {"Filter 1: ON LSC 12 dB Fc 100 Hz Gain 1 dB Q 0.7\n",
       "eq.txt:1: a shelf takes a slope or a Q, not both"},
      {"Filter 1: ON PK Fc 100 kHz Gain 1 dB Q 1\n",
       "eq.txt:1: cannot read 'Fc' of the filter; expected Fc <Hz> Hz, Gain <dB> dB, Q <number> "
       "or BW Oct <number>"},
      {"Filter 1: MAYBE PK Fc 100 Hz Gain 1 dB Q 1\n", "eq.txt:1: a filter starts with ON or OFF"},
      {"Preamp: -6\n", "eq.txt:1: a preamp is 'Preamp: <number> dB', not 'Preamp: -6'"},
      {"Channel:\n", "eq.txt:1: 'Channel:' names no channel"},
      {"Include: other.txt\n",
       "eq.txt:1: cannot read 'Include: other.txt'; expected Preamp:, Filter:, Channel: or "
       "GraphicEQ:"},
      {"GraphicEQ: 20 -3; 19 -2\n",
       "eq.txt:1: GraphicEQ frequencies must rise; 19 Hz follows 20.000000 Hz"},
      {"GraphicEQ: 20 -3; 30\n", "eq.txt:1: a GraphicEQ point is '<Hz> <dB>', not '30'"},
      {"GraphicEQ: 30000 1\n",
       "eq.txt:1: the GraphicEQ line has no point below half the stream's "
       "rate"},
  };
  for (const auto& c : cases) {
    QORHostEqFile file;
    std::string error;
    EXPECT_FALSE(file.Parse(c.text, "eq.txt", 48000, &error)) << c.text;
    EXPECT_EQ(error, c.message);
  }
}

}  // namespace
