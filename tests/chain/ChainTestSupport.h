#pragma once

#include <string>

namespace chaintest {

// A configuration with one mode (Music/Speakers) whose chain entries are `chains`.
inline std::string ModeXml(const std::string& chains) {
  return R"(<qor_configuration><properties><control name="Product Name">T</control></properties>)"
         R"(<operating_mode><control name="VAPO3-Operating Mode">VAPO3-Music</control>)"
         R"(<control name="VAPO3-Speaker Type">VAPO3-Speakers</control>)" +
         chains + "</operating_mode></qor_configuration>";
}

}  // namespace chaintest
