#include <gtest/gtest.h>
#ifndef _WIN32
#include <dlfcn.h>
#endif

#include <hwy/targets.h>
#include <cstdio>
#include <string>

#include "QORTechSimdTargets.h"

namespace {

// Highway's own answer, from its shared library, against which the library's is held: the same
// targets among those the kernels are built for.
TEST(QORTechSimdTargets, ChoosesWhatHighwaysOwnDetectionChooses) {
#ifdef _WIN32
  // Highway is a static library here, linked into this test only.
  const auto theirs = &hwy::SupportedTargets;
#else
  void* highway = ::dlopen("libhwy.so.1", RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(highway, nullptr) << ::dlerror();
  using Supported = int64_t (*)();
  auto theirs = reinterpret_cast<Supported>(::dlsym(highway, "_ZN3hwy16SupportedTargetsEv"));
  ASSERT_NE(theirs, nullptr) << ::dlerror();
#endif
  const int64_t built = HWY_TARGETS;
  EXPECT_EQ(QORTechSimdTargets::Supported() & built, theirs() & built)
      << "ours " << std::hex << QORTechSimdTargets::Supported() << ", Highway's " << theirs();
  // The scalar fallback always answers, so a table's last entry is reachable.
  EXPECT_NE(QORTechSimdTargets::Supported() & HWY_SCALAR, 0);
#ifndef _WIN32
  ::dlclose(highway);
#endif
}

#ifndef _WIN32
// The point of answering ourselves: loading the module never loads Highway's library.
TEST(QORTechSimdTargets, TheModuleDoesNotNeedHighwaysLibrary) {
  FILE* readelf = ::popen(("readelf -d '" + std::string(QOR_TECH_LIBRARY) + "'").c_str(), "r");
  ASSERT_NE(readelf, nullptr);
  std::string needed;
  char line[512];
  while (std::fgets(line, sizeof line, readelf) != nullptr) {
    if (std::string(line).find("(NEEDED)") != std::string::npos) needed += line;
  }
  ASSERT_EQ(::pclose(readelf), 0);
  EXPECT_NE(needed.find("libfftw3"), std::string::npos) << needed;
  EXPECT_EQ(needed.find("libhwy"), std::string::npos) << needed;
}
#endif

}  // namespace
