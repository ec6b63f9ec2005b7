#include <cctype>
#include <cstdio>
#include <limits>
#include <set>

#include "TechTestLibrary.h"

namespace {

using namespace techtest;

const char* const kTechIds[] = {"QOR Passthrough",
                                "ZR3D",
                                "QOR Speaker Protection",
                                "NUV",
                                "LUXSND",
                                "QOR AEC/NR",
                                "QOR Clarix+",
                                "QOR Convolution",
                                "QOR Parametric EQ"};

#ifdef _WIN32
// Every name in the module's export directory, as "T <name>" for code and "D <name>" for data,
// read from the image the loader mapped.
std::set<std::string> DefinedDynamicSymbols(const char* path) {
  const HMODULE module = ::LoadLibraryA(path);
  if (module == nullptr) return {"<load failed>"};
  const auto* base = reinterpret_cast<const uint8_t*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& directory =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  std::set<std::string> symbols;
  if (directory.Size == 0) return symbols;
  const auto* table =
      reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + directory.VirtualAddress);
  const auto* names = reinterpret_cast<const DWORD*>(base + table->AddressOfNames);
  const auto* ordinals = reinterpret_cast<const WORD*>(base + table->AddressOfNameOrdinals);
  const auto* functions = reinterpret_cast<const DWORD*>(base + table->AddressOfFunctions);
  for (DWORD i = 0; i < table->NumberOfNames; ++i) {
    MEMORY_BASIC_INFORMATION page{};
    ::VirtualQuery(base + functions[ordinals[i]], &page, sizeof page);
    const bool code = (page.Protect & (PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE |
                                       PAGE_EXECUTE_WRITECOPY)) != 0;
    symbols.insert(std::string(code ? "T " : "D ") +
                   reinterpret_cast<const char*>(base + names[i]));
  }
  return symbols;
}
#else
// Every global symbol the module defines in its dynamic table (what a loader can resolve in it),
// as "<nm type> <name>": T for a function.
std::set<std::string> DefinedDynamicSymbols(const char* path) {
  std::set<std::string> symbols;
  FILE* nm = ::popen(("nm -D --defined-only '" + std::string(path) + "'").c_str(), "r");
  char line[512];
  while (nm != nullptr && std::fgets(line, sizeof line, nm) != nullptr) {
    std::string address, type, name;
    std::istringstream(line) >> address >> type >> name;
    if (!type.empty() && std::isupper(static_cast<unsigned char>(type[0]))) {
      symbols.insert(type + " " + name);
    }
  }
  if (nm == nullptr || ::pclose(nm) != 0) symbols.insert("<nm failed>");
  return symbols;
}
#endif

TEST(QORTechExports, OnlyTheTwoContractFunctionsAreVisibleAndCreateKnowsExactIds) {
  EXPECT_EQ(DefinedDynamicSymbols(QOR_TECH_LIBRARY),
            (std::set<std::string>{"T QORTechCreateProcess", "T QORTechDestroyProcess"}));
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

TEST(QORTechExports, InitBoundsNonFiniteInputAndBadListsAreHandled) {
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
  // Init takes 1 to 12 channels at 8000 to 192000 Hz.
  EXPECT_FALSE(p->Init(0, 48000) || p->Init(13, 48000) || p->Init(2, 7999) || p->Init(2, 192001));
  EXPECT_TRUE(p->Init(12, 192000) && p->Init(1, 8000));
  ASSERT_TRUE(p->Init(2, 48000));
  p->Process(&one, &one, 8, nullptr);  // one channel where two were promised
  TechChannel hole[2] = {{samples.data(), 0, 0, &hole[1]}, {nullptr, 1, 0, nullptr}};
  p->Process(hole, hole, 8, nullptr);
  p->Process(nullptr, nullptr, 8, nullptr);
  EXPECT_EQ(samples, before);
  // Well formed: the samples come out as a fresh process's, so the refused calls moved nothing.
  std::vector<float> right = before;
  TechChannel two[2] = {{samples.data(), 0, 0, &two[1]}, {right.data(), 1, 0, nullptr}};
  p->Process(two, two, 8, nullptr);
  Channels reference{before, before};
  RunBlocks(*MakeProcess("ZR3D", 2, 48000), reference, 0);
  EXPECT_NE(reference[0], before);  // the process does act on these samples
  EXPECT_EQ(samples, reference[0]);
  EXPECT_EQ(right, reference[1]);
}

}  // namespace
