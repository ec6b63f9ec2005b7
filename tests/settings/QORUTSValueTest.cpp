#include "settings/QORUTSValue.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace {

// A control value's text and integer forms, by the type it holds.
TEST(QORUTSValue, TextAndIndexFollowTheHeldType) {
  const struct {
    QORUTSValue value;
    const char* text;
    int32_t index;
  } rows[] = {
      // Whole numbers, with 0 a number and not a null C string.
      {QORUTSValue("a", 0L), "0", 0},
      {QORUTSValue("a", -4L), "-4", -4},
      {QORUTSValue("a", boost::any(7)), "7", 7},
      // Floats truncate toward zero.
      {QORUTSValue("a", boost::any(2.9f)), "2.9000001", 2},
      {QORUTSValue("a", boost::any(-2.9f)), "-2.9000001", -2},
      // Texts: the two words, decimal integers, and floats only when whole.
      {QORUTSValue("a", "Enabled"), "Enabled", 1},
      {QORUTSValue("a", "Disabled"), "Disabled", 0},
      {QORUTSValue("a", "enabled"), "enabled", -1},
      {QORUTSValue("a", "-4"), "-4", -4},
      {QORUTSValue("a", "1e3"), "1e3", -1},
      {QORUTSValue("a", "3.0"), "3.0", 3},
      {QORUTSValue("a", "2.5"), "2.5", -1},
      {QORUTSValue("a", "0.5"), "0.5", -1},
      {QORUTSValue("a", "12 "), "12 ", -1},
      {QORUTSValue("a", static_cast<const char*>(nullptr)), "", -1},
      // No value, or a type with no text.
      {QORUTSValue(), "", -1},
      {QORUTSValue("a", boost::any(2.5)), "", -1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(row.value.GetValueText(), row.text);
    EXPECT_EQ(row.value.GetIndex(), row.index);
  }
  // A long past 32 bits has no index; only where long has more than 32 (not on Windows).
  if constexpr (sizeof(long) > sizeof(int32_t)) {
    const long big = static_cast<long>(std::numeric_limits<int32_t>::max()) + 1;
    const QORUTSValue value("a", boost::any(big));
    EXPECT_EQ(value.GetValueText(), std::to_string(big));
    EXPECT_EQ(value.GetIndex(), -1);
  }
}

}  // namespace
