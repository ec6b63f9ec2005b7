#include "settings/QORAPOChannelCode.h"

#include <array>

namespace {

struct Layout {
  uint32_t code;
  uint32_t channels;
  const char* name;
};

constexpr std::array<Layout, 5> kLayouts = {{
    {QORAPOChannelCode::kMono, 1, "Mono"},
    {QORAPOChannelCode::kStereo, 2, "Stereo"},
    {QORAPOChannelCode::kSurround51, 6, "5.1 Surround"},
    {QORAPOChannelCode::kSurround71, 8, "7.1 Surround"},
    {QORAPOChannelCode::kSurround111, 12, "11.1 Surround"},
}};

}  // namespace

uint32_t QORAPOChannelCode::FromChannelCount(uint32_t channels) {
  for (const Layout& layout : kLayouts) {
    if (layout.channels == channels) return layout.code;
  }
  return kNone;
}

uint32_t QORAPOChannelCode::ChannelCount(uint32_t code) {
  for (const Layout& layout : kLayouts) {
    if (layout.code == code) return layout.channels;
  }
  return 0;
}

uint32_t QORAPOChannelCode::FromLayoutName(const std::string& name) {
  for (const Layout& layout : kLayouts) {
    if (name == layout.name) return layout.code;
  }
  return kNone;
}
