#include <elf.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <set>

#include "TechTestLibrary.h"

namespace {

using namespace techtest;

const char* const kTechIds[] = {
    "QOR Passthrough", "ZR3D",       "QOR Speaker Protection", "NUV", "LUXSND",
    "QOR AEC/NR",      "QOR Clarix+"};

// Every symbol the module defines in its dynamic symbol table (what a loader can resolve in it),
// with "!" prefixed when it is not a function; "<malformed>" when a table lies outside the file.
std::set<std::string> DefinedDynamicSymbols(const char* path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> file((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
  auto at = [&](uint64_t offset, size_t size) {
    return offset <= file.size() && file.size() - offset >= size ? file.data() + offset : nullptr;
  };
  const auto* header = reinterpret_cast<const Elf64_Ehdr*>(at(0, sizeof(Elf64_Ehdr)));
  if (header == nullptr || std::memcmp(header->e_ident, ELFMAG, SELFMAG) != 0 ||
      header->e_ident[EI_CLASS] != ELFCLASS64) {
    return {"<not a 64-bit ELF file>"};
  }
  const auto* sections = reinterpret_cast<const Elf64_Shdr*>(
      at(header->e_shoff, sizeof(Elf64_Shdr) * header->e_shnum));
  std::set<std::string> names;
  for (uint16_t i = 0; sections != nullptr && i < header->e_shnum; ++i) {
    if (sections[i].sh_type != SHT_DYNSYM || sections[i].sh_link >= header->e_shnum) continue;
    const Elf64_Shdr& strings = sections[sections[i].sh_link];
    const auto* symbols =
        reinterpret_cast<const Elf64_Sym*>(at(sections[i].sh_offset, sections[i].sh_size));
    const char* text = at(strings.sh_offset, strings.sh_size);
    if (symbols == nullptr || text == nullptr) return {"<malformed>"};
    for (uint64_t s = 1; s < sections[i].sh_size / sizeof(Elf64_Sym); ++s) {
      const Elf64_Sym& symbol = symbols[s];
      if (symbol.st_shndx == SHN_UNDEF || ELF64_ST_BIND(symbol.st_info) == STB_LOCAL) continue;
      if (symbol.st_name >= strings.sh_size) return {"<malformed>"};
      const std::string name(text + symbol.st_name,
                             strnlen(text + symbol.st_name, strings.sh_size - symbol.st_name));
      names.insert(ELF64_ST_TYPE(symbol.st_info) == STT_FUNC ? name : "!" + name);
    }
  }
  return names;
}

TEST(QORTechExports, OnlyTheTwoContractFunctionsAreVisibleAndCreateKnowsExactIds) {
  EXPECT_EQ(DefinedDynamicSymbols(QOR_TECH_LIBRARY),
            (std::set<std::string>{"QORTechCreateProcess", "QORTechDestroyProcess"}));
  auto& lib = TechTestLibrary::Get();
  for (const char* id : kTechIds) {
    TechProcess* p = nullptr;
    ASSERT_TRUE(lib.create(id, &p)) << id;
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(lib.destroy(p));
  }
  for (const char* id : {"zr3d", "ZR3D ", "Unknown"}) {
    TechProcess* p = reinterpret_cast<TechProcess*>(&lib);
    EXPECT_FALSE(lib.create(id, &p)) << id;
    EXPECT_EQ(p, nullptr) << id;
  }
}

TEST(QORTechExports, InitAcceptsOneToTwelveChannelsFrom8000To192000Hz) {
  auto p = MakeProcess("ZR3D", 1, 48000);
  ASSERT_TRUE(p);
  EXPECT_TRUE(p->Init(1, 8000));
  EXPECT_FALSE(p->Init(0, 48000));
  EXPECT_FALSE(p->Init(13, 48000));
  EXPECT_FALSE(p->Init(2, 7999));
  EXPECT_FALSE(p->Init(2, 192001));
  EXPECT_TRUE(p->Init(12, 192000));
}

TEST(QORTechExports, NonFiniteInputBecomesSilenceAndBadListsAreLeftAlone) {
  // A non-finite sample becomes silence instead of poisoning the state after it.
  Channels audio{{0.5f, std::numeric_limits<float>::quiet_NaN(),
                  std::numeric_limits<float>::infinity(), -0.25f}};
  RunBlocks(*MakeProcess("QOR Passthrough", 1, 48000), audio, 0);
  EXPECT_EQ(audio[0], (std::vector<float>{0.5f, 0.0f, 0.0f, -0.25f}));
  // Before Init, or with a list that breaks the promised format, the audio stays untouched.
  TechProcess* raw = nullptr;
  ASSERT_TRUE(TechTestLibrary::Get().create("ZR3D", &raw));
  ProcessPtr p(raw);
  const std::vector<float> before{0.9f, -0.9f, 0.9f, -0.9f, 0.9f, -0.9f, 0.9f, -0.9f};
  std::vector<float> samples = before;
  TechChannel one{samples.data(), 0, 0, nullptr};
  p->Process(&one, &one, 8, nullptr);  // not initialised
  ASSERT_TRUE(p->Init(2, 48000));
  p->Process(&one, &one, 8, nullptr);  // one channel where two were promised
  TechChannel hole[2] = {{samples.data(), 0, 0, &hole[1]}, {nullptr, 1, 0, nullptr}};
  p->Process(hole, hole, 8, nullptr);
  p->Process(nullptr, nullptr, 8, nullptr);
  EXPECT_EQ(samples, before);
  TechChannel two[2] = {{samples.data(), 0, 0, &two[1]}, {samples.data(), 1, 0, nullptr}};
  p->Process(two, two, 8, nullptr);  // well formed, so the process does act on these samples
  EXPECT_NE(samples, before);
}

}  // namespace
