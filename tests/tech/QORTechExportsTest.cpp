#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "TechTestLibrary.h"

namespace {

using namespace techtest;

const char* const kTechIds[] = {
    "QOR Passthrough", "ZR3D",       "QOR Speaker Protection", "NUV", "LUXSND",
    "QOR AEC/NR",      "QOR Clarix+"};

// Reads a plain struct at offset, if the file holds it whole.
template <typename T>
bool ReadAt(const std::vector<char>& file, uint64_t offset, T* out) {
  if (offset > file.size() || file.size() - offset < sizeof(T)) return false;
  std::memcpy(out, file.data() + offset, sizeof(T));
  return true;
}

// Every symbol the module defines in its dynamic symbol table (what a loader can resolve in it),
// with "!" prefixed when it is not a function. Empty with a failure when the file is not a sound
// 64-bit ELF module.
std::set<std::string> DefinedDynamicSymbols(const char* path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> file((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
  Elf64_Ehdr header{};
  if (!ReadAt(file, 0, &header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
      header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_shentsize != sizeof(Elf64_Shdr)) {
    ADD_FAILURE() << path << " is not a 64-bit ELF file";
    return {};
  }
  std::vector<Elf64_Shdr> sections(header.e_shnum);
  for (uint16_t i = 0; i < header.e_shnum; ++i) {
    if (!ReadAt(file, header.e_shoff + uint64_t{i} * sizeof(Elf64_Shdr), &sections[i])) {
      ADD_FAILURE() << "section header " << i << " lies outside the file";
      return {};
    }
  }
  std::set<std::string> names;
  bool found = false;
  for (const Elf64_Shdr& table : sections) {
    if (table.sh_type != SHT_DYNSYM) continue;
    found = true;
    if (table.sh_link >= sections.size() || table.sh_entsize != sizeof(Elf64_Sym)) {
      ADD_FAILURE() << "malformed dynamic symbol table";
      return {};
    }
    const Elf64_Shdr& strings = sections[table.sh_link];
    for (uint64_t i = 1; i < table.sh_size / sizeof(Elf64_Sym); ++i) {
      Elf64_Sym symbol{};
      if (!ReadAt(file, table.sh_offset + i * sizeof(Elf64_Sym), &symbol) ||
          symbol.st_name >= strings.sh_size || strings.sh_offset + strings.sh_size > file.size()) {
        ADD_FAILURE() << "dynamic symbol " << i << " lies outside the file";
        return {};
      }
      const unsigned char binding = ELF64_ST_BIND(symbol.st_info);
      if (symbol.st_shndx == SHN_UNDEF || binding == STB_LOCAL) continue;
      const char* name = file.data() + strings.sh_offset + symbol.st_name;
      const size_t length = strnlen(name, strings.sh_size - symbol.st_name);
      const std::string text(name, length);
      names.insert(ELF64_ST_TYPE(symbol.st_info) == STT_FUNC ? text : "!" + text);
    }
  }
  if (!found) ADD_FAILURE() << "no dynamic symbol table";
  return names;
}

TEST(QORTechExports, OnlyTheTwoContractFunctionsAreVisibleAndCreateKnowsExactIds) {
  EXPECT_EQ(DefinedDynamicSymbols(QOR_TECH_LIBRARY),
            (std::set<std::string>{"QORTechCreateProcess", "QORTechDestroyProcess"}));
  auto& lib = TechTestLibrary::Get();
  EXPECT_NE(dlsym(lib.handle, "QORTechCreateProcess"), nullptr);
  EXPECT_NE(dlsym(lib.handle, "QORTechDestroyProcess"), nullptr);
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

TEST(QORTechExports, FormatRangeAndTakeStateRules) {
  auto p = MakeProcess("ZR3D", 1, 48000);
  ASSERT_TRUE(p);
  EXPECT_TRUE(p->Init(1, 8000));
  EXPECT_FALSE(p->Init(0, 48000));
  EXPECT_FALSE(p->Init(13, 48000));
  EXPECT_FALSE(p->Init(2, 7999));
  EXPECT_FALSE(p->Init(2, 192001));
  EXPECT_TRUE(p->Init(12, 192000));
  for (const char* id : kTechIds) {
    SCOPED_TRACE(id);
    auto a = MakeProcess(id, 12, 192000), same = MakeProcess(id, 12, 192000);
    EXPECT_TRUE(same->TakeState(a.get()));
    EXPECT_FALSE(same->TakeState(same.get()));
    EXPECT_FALSE(same->TakeState(MakeProcess(id, 12, 96000).get()));
    const char* otherId = std::string(id) == "NUV" ? "ZR3D" : "NUV";
    EXPECT_FALSE(same->TakeState(MakeProcess(otherId, 12, 192000).get()));
  }
}

TEST(QORTechExports, NonFiniteInputBecomesSilence) {
  // A non-finite sample becomes silence instead of poisoning the state after it.
  Channels audio{{0.5f, std::numeric_limits<float>::quiet_NaN(),
                  std::numeric_limits<float>::infinity(), -0.25f}};
  RunBlocks(*MakeProcess("QOR Passthrough", 1, 48000), audio, 0);
  EXPECT_EQ(audio[0], (std::vector<float>{0.5f, 0.0f, 0.0f, -0.25f}));
}

TEST(QORTechExports, ProcessBeforeInitOrWithABadListLeavesAudioUntouched) {
  TechProcess* raw = nullptr;
  ASSERT_TRUE(TechTestLibrary::Get().create("ZR3D", &raw));
  ProcessPtr p(raw);
  float samples[8] = {0.9f, -0.9f, 0.9f, -0.9f, 0.9f, -0.9f, 0.9f, -0.9f};
  TechChannel one{samples, 0, 0, nullptr};
  p->Process(&one, &one, 8, nullptr);  // not initialised
  ASSERT_TRUE(p->Init(2, 48000));
  p->Process(&one, &one, 8, nullptr);  // one channel where two were promised
  TechChannel hole[2] = {{samples, 0, 0, &hole[1]}, {nullptr, 1, 0, nullptr}};
  p->Process(hole, hole, 8, nullptr);
  p->Process(nullptr, nullptr, 8, nullptr);
  const std::vector<float> before{0.9f, -0.9f, 0.9f, -0.9f, 0.9f, -0.9f, 0.9f, -0.9f};
  EXPECT_EQ(std::vector<float>(samples, samples + 8), before);
  TechChannel two[2] = {{samples, 0, 0, &two[1]}, {samples, 1, 0, nullptr}};
  p->Process(two, two, 8, nullptr);  // well formed, so the process does act on these samples
  EXPECT_NE(std::vector<float>(samples, samples + 8), before);
}

}  // namespace
