// Replaces the global operator new and delete so that tests and benchmarks can count the heap
// allocations a thread makes. Everything goes to malloc and free, which the sanitizers intercept.
#include "AllocationCounter.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#ifdef _WIN32
#include <malloc.h>
#include <windows.h>
// After windows.h.
#include <psapi.h>

#include <cwchar>
#endif
#include <new>

namespace {

thread_local uint64_t allocations = 0;

// The Windows C runtime has no aligned_alloc, and its aligned blocks need a free of their own.
#ifdef _WIN32
void* AlignedAlloc(std::size_t align, std::size_t size) {
  return _aligned_malloc(size, align);
}
void AlignedFree(void* p) {
  _aligned_free(p);
}
#else
void* AlignedAlloc(std::size_t align, std::size_t size) {
  return std::aligned_alloc(align, size);
}
void AlignedFree(void* p) {
  std::free(p);
}
#endif

void* Allocate(std::size_t size) {
  ++allocations;
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void* AllocateAligned(std::size_t size, std::align_val_t alignment) {
  ++allocations;
  const auto align = static_cast<std::size_t>(alignment);
  const std::size_t rounded = ((size == 0 ? 1 : size) + align - 1) / align * align;
  void* p = AlignedAlloc(align, rounded);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

#ifdef _WIN32
namespace {

// Each module here carries its own C++ runtime, whose operator new this file cannot replace: the
// heap calls that modules loaded beside the program import from the C runtime are counted
// instead, by pointing their import slots here. A module's C code that allocates is counted too.
void* __cdecl CountedMalloc(std::size_t size) {
  ++allocations;
  return std::malloc(size);
}
void* __cdecl CountedCalloc(std::size_t count, std::size_t size) {
  ++allocations;
  return std::calloc(count, size);
}
void* __cdecl CountedRealloc(void* p, std::size_t size) {
  ++allocations;
  return std::realloc(p, size);
}
void* __cdecl CountedAlignedMalloc(std::size_t size, std::size_t align) {
  ++allocations;
  return _aligned_malloc(size, align);
}

void* CountedFunction(const char* name) {
  if (std::strcmp(name, "malloc") == 0) return reinterpret_cast<void*>(&CountedMalloc);
  if (std::strcmp(name, "calloc") == 0) return reinterpret_cast<void*>(&CountedCalloc);
  if (std::strcmp(name, "realloc") == 0) return reinterpret_cast<void*>(&CountedRealloc);
  if (std::strcmp(name, "_aligned_malloc") == 0) {
    return reinterpret_cast<void*>(&CountedAlignedMalloc);
  }
  return nullptr;
}

void RedirectHeapImports(HMODULE module) {
  auto* base = reinterpret_cast<uint8_t*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& directory =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (directory.Size == 0) return;
  for (auto* library = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
       library->Name != 0; ++library) {
    if (library->OriginalFirstThunk == 0) continue;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + library->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + library->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* byName =
          reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      void* counted = CountedFunction(reinterpret_cast<const char*>(byName->Name));
      if (counted == nullptr) continue;
      DWORD old = 0;
      if (!::VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old)) {
        continue;
      }
      slots->u1.Function = reinterpret_cast<ULONG_PTR>(counted);
      ::VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
    }
  }
}

// Redirects every module loaded beside the program that was not yet redirected. Allocates
// nothing, so it can run at the start and end of a counted stretch.
void CountLoadedModules() {
  static SRWLOCK lock = SRWLOCK_INIT;
  static HMODULE done[512];
  static size_t doneCount = 0;
  HMODULE modules[512];
  DWORD bytes = 0;
  if (!::EnumProcessModules(::GetCurrentProcess(), modules, sizeof modules, &bytes)) return;
  wchar_t system[MAX_PATH];
  const UINT systemLength = ::GetWindowsDirectoryW(system, MAX_PATH);
  const HMODULE program = ::GetModuleHandleW(nullptr);
  ::AcquireSRWLockExclusive(&lock);
  for (size_t i = 0; i < bytes / sizeof(HMODULE); ++i) {
    if (modules[i] == program ||
        std::find(done, done + doneCount, modules[i]) != done + doneCount) {
      continue;
    }
    wchar_t path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(modules[i], path, MAX_PATH);
    // The system's own libraries are left as they are.
    const bool systemModule =
        length >= systemLength && systemLength > 0 && ::_wcsnicmp(path, system, systemLength) == 0;
    if (!systemModule) RedirectHeapImports(modules[i]);
    if (doneCount < sizeof done / sizeof done[0]) done[doneCount++] = modules[i];
  }
  ::ReleaseSRWLockExclusive(&lock);
}

}  // namespace
#endif

namespace qortest {
uint64_t ThreadAllocationCount() {
#ifdef _WIN32
  CountLoadedModules();
#endif
  return allocations;
}
}  // namespace qortest

void* operator new(std::size_t size) {
  return Allocate(size);
}
void* operator new[](std::size_t size) {
  return Allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return Allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return Allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new(std::size_t size, std::align_val_t alignment) {
  return AllocateAligned(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return AllocateAligned(size, alignment);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
  AlignedFree(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  AlignedFree(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  AlignedFree(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
  AlignedFree(p);
}
