// Feeds arbitrary block contents, the length field and then the stored set, to the shared-memory
// property set's Load, as another process could have left them. Besides memory safety it checks the
// result codes, that Load never writes the block, that a rejected merge changes nothing, and that
// whatever loaded saves and loads again to the same set.
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "settings/QORPropertySet.h"
#include "settings/QORPropertySetSharedMem.h"

namespace {

constexpr uint32_t kBlockSize = 1024;

void Require(bool condition) {
  if (!condition) std::abort();
}

// One block in a private state root for the whole run.
struct Fixture {
  Fixture() {
    const char* tmp = std::getenv("TMPDIR");
    root = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/qor-fuzz-XXXXXX";
    Require(::mkdtemp(root.data()) != nullptr);
    ::setenv("QOR_ROOT", root.c_str(), 1);
    block.AttachPropertySet(&set);
    Require(block.Open(L"Global\\QORFuzzSharedSet", kBlockSize));
  }
  ~Fixture() {
    block.Close();
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }

  std::string root;
  QORPropertySet set;
  QORPropertySetSharedMem block;
};

Fixture& GetFixture() {
  static Fixture fixture;
  return fixture;
}

void Fill(uint8_t* view, const uint8_t* data, size_t size) {
  std::memset(view, 0, kBlockSize);
  std::memcpy(view, data, std::min<size_t>(size, kBlockSize));
}

std::vector<uint8_t> Binary(QORPropertySet& set) {
  std::vector<uint8_t> bytes;
  set.GetAllPropertiesBinary(bytes);
  return bytes;
}

// Loads from the filled block and checks that the block is left as it was.
uint32_t LoadUnchanged(QORPropertySetSharedMem& block, bool merge, bool replaceExisting,
                       bool addNew) {
  const auto* view = static_cast<const uint8_t*>(block.GetView());
  const std::vector<uint8_t> before(view, view + kBlockSize);
  const uint32_t code = block.Load(merge, replaceExisting, addNew);
  Require(std::memcmp(before.data(), view, kBlockSize) == 0);
  Require(code == QORPropertySetSharedMem::kOk || code == QORPropertySetSharedMem::kRejected);
  return code;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Fixture& fixture = GetFixture();
  QORPropertySetSharedMem& block = fixture.block;
  QORPropertySet& set = fixture.set;
  auto* view = static_cast<uint8_t*>(block.GetView());
  uint8_t field[4] = {};
  std::memcpy(field, data, std::min<size_t>(size, 4));
  const uint32_t length = field[0] | field[1] << 8 | field[2] << 16 | uint32_t{field[3]} << 24;
  const bool fits = length <= kBlockSize - QORPropertySetSharedMem::kLengthBytes;

  // Replacing the whole set.
  Fill(view, data, size);
  set.ClearProperties();
  set.SetProperty(L"Seed", 1L);
  const std::vector<uint8_t> seeded = Binary(set);
  const uint32_t code = LoadUnchanged(block, false, false, false);
  if (length == 0 || !fits) {
    Require(code ==
            (length == 0 ? QORPropertySetSharedMem::kOk : QORPropertySetSharedMem::kRejected));
    Require(Binary(set) == seeded);
  } else if (code == QORPropertySetSharedMem::kOk) {
    // Saved and loaded again, it stays the same set. (An odd byte of wide text grows into a whole
    // replacement character, so a full block may no longer hold it.)
    const std::vector<uint8_t> loaded = Binary(set);
    const uint32_t saved = block.Save();
    Require(saved == QORPropertySetSharedMem::kOk || saved == QORPropertySetSharedMem::kTooLarge);
    if (saved == QORPropertySetSharedMem::kOk) {
      set.ClearProperties();
      Require(block.Load(false, false, false) == QORPropertySetSharedMem::kOk);
      Require(Binary(set) == loaded);
    }
  }

  // Merging, both ways.
  for (const bool replaceAndAdd : {true, false}) {
    Fill(view, data, size);
    set.ClearProperties();
    set.SetProperty(L"A", 1L);
    set.SetProperty(L"key", L"text");
    const std::vector<uint8_t> before = Binary(set);
    const uint32_t merged = LoadUnchanged(block, true, replaceAndAdd, replaceAndAdd);
    if (merged != QORPropertySetSharedMem::kOk || !replaceAndAdd || length == 0) {
      Require(Binary(set) == before);
    }
  }
  return 0;
}
