// The in-memory loader: shared objects loaded from their bytes run their constructors, export
// their functions and data, share one mapping per share name with a use count, leave nothing on
// disk, and unload at the last release; images of any other shape are refused with the Win32
// error number a script then reads through lasterr, without crashing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "native/elf_exports.h"
#include "native/image_errors.h"
#include "native/image_headers.h"
#include "native/memory_modules.h"
#include "native/pe_headers.h"

namespace quevro::test {
namespace {

std::string read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const std::string& fixture_bytes() {
  static const std::string bytes = read_file(QUEVRO_MEMORY_FIXTURE);
  return bytes;
}

// The path column of the /proc/self/maps line whose range holds the address; empty if none.
std::string mapping_of(const void* address) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  auto target = reinterpret_cast<uintptr_t>(address);
  while (std::getline(maps, line)) {
    std::istringstream fields(line);
    std::string range, perms, offset, device, inode, path;
    fields >> range >> perms >> offset >> device >> inode;
    std::getline(fields >> std::ws, path);
    size_t dash = range.find('-');
    uintptr_t low = std::stoull(range.substr(0, dash), nullptr, 16);
    uintptr_t high = std::stoull(range.substr(dash + 1), nullptr, 16);
    if (target >= low && target < high) return path;
  }
  return {};
}

int memory_file_mappings() {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  int count = 0;
  while (std::getline(maps, line))
    if (line.find("/memfd:quevro-memory-module") != std::string::npos) ++count;
  return count;
}

template <typename F>
F symbol(MemoryModule* m, const char* name) {
  return reinterpret_cast<F>(memory_module_symbol(m, name));
}

using IntFunction = int (*)();
using SumFunction = int (*)(int, int);
using ReportFunction = void (*)(int*);

MemoryModule* load_fixture(const std::string& share_name, uint32_t* error = nullptr) {
  const std::string& bytes = fixture_bytes();
  return load_memory_module(bytes.data(), bytes.size(), share_name, error);
}

uint32_t refusal_of(const std::string& bytes) {
  uint32_t error = 0;
  MemoryModule* m = load_memory_module(bytes.data(), bytes.size(), "", &error);
  EXPECT_EQ(m, nullptr);
  if (m) release_memory_module(m);
  return error;
}

// ---- loading ----

TEST(MemoryModuleLoad, RunsConstructorsAndCallsExports) {
  ASSERT_GT(fixture_bytes().size(), 64u);
  uint32_t error = 99;
  MemoryModule* m = load_fixture("", &error);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(error, image_error::NONE);
  EXPECT_NE(memory_module_handle(m), nullptr);
  EXPECT_EQ(symbol<IntFunction>(m, "memory_fixture_constructed")(), 1);
  EXPECT_EQ(symbol<SumFunction>(m, "MemoryFixtureSum")(20, 22), 42);
  auto* value = static_cast<int*>(memory_module_symbol(m, "memory_fixture_value"));
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(*value, 42);
  EXPECT_EQ(release_memory_module(m), 0u);
}

TEST(MemoryModuleLoad, NothingIsReadFromDisk) {
  MemoryModule* m = load_fixture("");
  ASSERT_NE(m, nullptr);
  void* code = memory_module_symbol(m, "memory_fixture_increment");
  void* data = memory_module_symbol(m, "memory_fixture_value");
  EXPECT_EQ(mapping_of(code).rfind("/memfd:quevro-memory-module", 0), 0u) << mapping_of(code);
  EXPECT_EQ(mapping_of(data).rfind("/memfd:quevro-memory-module", 0), 0u) << mapping_of(data);
  release_memory_module(m);
}

TEST(MemoryModuleLoad, LastReleaseRunsDestructorsAndUnmaps) {
  int before = memory_file_mappings();
  MemoryModule* m = load_fixture("");
  ASSERT_NE(m, nullptr);
  EXPECT_GT(memory_file_mappings(), before);
  int unloaded = 0;
  symbol<ReportFunction>(m, "memory_fixture_report_unload")(&unloaded);
  EXPECT_EQ(release_memory_module(m), 0u);
  EXPECT_EQ(unloaded, 1);
  EXPECT_EQ(memory_file_mappings(), before);
}

TEST(MemoryModuleLoad, SameShareNameSharesOneMapping) {
  MemoryModule* first = load_fixture("Fixture.Shared");
  ASSERT_NE(first, nullptr);
  MemoryModule* second = load_fixture("fixture.SHARED");  // names compare without ASCII case
  ASSERT_EQ(second, first);
  uint32_t error = 99;
  MemoryModule* by_name = load_memory_module(nullptr, 0, "FIXTURE.shared", &error);
  ASSERT_EQ(by_name, first);
  EXPECT_EQ(error, image_error::NONE);
  EXPECT_EQ(memory_module_share_name(first), "Fixture.Shared");

  auto increment = symbol<IntFunction>(first, "memory_fixture_increment");
  EXPECT_EQ(increment(), 1);
  EXPECT_EQ(symbol<IntFunction>(second, "memory_fixture_increment")(), 2);

  int unloaded = 0;
  symbol<ReportFunction>(first, "memory_fixture_report_unload")(&unloaded);
  EXPECT_EQ(release_memory_module(by_name), 2u);
  EXPECT_EQ(release_memory_module(second), 1u);
  EXPECT_EQ(unloaded, 0);
  EXPECT_EQ(increment(), 3);  // still mapped, state kept
  EXPECT_EQ(release_memory_module(first), 0u);
  EXPECT_EQ(unloaded, 1);

  // Gone from the list: the name alone no longer finds it, and new bytes map afresh.
  EXPECT_EQ(load_memory_module(nullptr, 0, "Fixture.Shared", &error), nullptr);
  EXPECT_EQ(error, image_error::MOD_NOT_FOUND);
  MemoryModule* again = load_fixture("Fixture.Shared");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(symbol<IntFunction>(again, "memory_fixture_increment")(), 1);
  EXPECT_EQ(release_memory_module(again), 0u);
}

TEST(MemoryModuleLoad, DifferentShareNamesMapSeparately) {
  MemoryModule* a = load_fixture("fixture-a");
  MemoryModule* b = load_fixture("fixture-b");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  auto increment_a = symbol<IntFunction>(a, "memory_fixture_increment");
  auto increment_b = symbol<IntFunction>(b, "memory_fixture_increment");
  EXPECT_NE(reinterpret_cast<void*>(increment_a), reinterpret_cast<void*>(increment_b));
  EXPECT_EQ(increment_a(), 1);
  EXPECT_EQ(increment_a(), 2);
  EXPECT_EQ(increment_b(), 1);
  EXPECT_EQ(release_memory_module(a), 0u);
  EXPECT_EQ(increment_b(), 2);  // b survives a's unloading
  EXPECT_EQ(release_memory_module(b), 0u);
}

TEST(MemoryModuleLoad, UnsharedLoadsMapAnewEachTime) {
  MemoryModule* a = load_fixture("");
  MemoryModule* b = load_fixture("");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  EXPECT_EQ(symbol<IntFunction>(a, "memory_fixture_increment")(), 1);
  EXPECT_EQ(symbol<IntFunction>(b, "memory_fixture_increment")(), 1);
  EXPECT_EQ(release_memory_module(a), 0u);
  EXPECT_EQ(release_memory_module(b), 0u);
}

TEST(MemoryModuleLoad, ReloadsAfterManyUnloadsGetFreshState) {
  // Descriptor numbers are reused after each unload; every load must still get its own object.
  for (int i = 0; i < 20; ++i) {
    MemoryModule* m = load_fixture("");
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(symbol<IntFunction>(m, "memory_fixture_increment")(), 1) << "round " << i;
    release_memory_module(m);
  }
}

TEST(MemoryModuleLoad, ConcurrentLoadsOfOneShareNameShareIt) {
  constexpr int THREADS = 4, ROUNDS = 10;
  std::vector<MemoryModule*> loaded(THREADS, nullptr);
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([&loaded, t] {
      loaded[t] = load_fixture("fixture-threads");
      if (loaded[t] == nullptr) return;
      auto increment = symbol<IntFunction>(loaded[t], "memory_fixture_increment");
      for (int i = 0; i < ROUNDS; ++i) increment();
    });
  }
  for (auto& thread : threads) thread.join();
  for (MemoryModule* m : loaded) ASSERT_EQ(m, loaded[0]);
  // Every thread counted in the one shared counter.
  EXPECT_EQ(symbol<IntFunction>(loaded[0], "memory_fixture_increment")(), THREADS * ROUNDS + 1);
  for (int t = THREADS - 1; t >= 0; --t) EXPECT_EQ(release_memory_module(loaded[t]), static_cast<unsigned>(t));
}

TEST(MemoryModuleLoad, MissingSymbolIsProcNotFound) {
  std::string bytes = read_file(QUEVRO_MEMORY_FIXTURE_NEEDS_SYMBOL);
  ASSERT_GT(bytes.size(), 64u);
  EXPECT_EQ(refusal_of(bytes), image_error::PROC_NOT_FOUND);
}

TEST(MemoryModuleLoad, MissingLibraryIsModNotFound) {
  std::string bytes = read_file(QUEVRO_MEMORY_FIXTURE_NEEDS_LIBRARY);
  ASSERT_GT(bytes.size(), 64u);
  EXPECT_EQ(refusal_of(bytes), image_error::MOD_NOT_FOUND);
}

TEST(MemoryModuleLoad, UnknownShareNameWithoutBytesIsModNotFound) {
  uint32_t error = 0;
  EXPECT_EQ(load_memory_module(nullptr, 0, "never-loaded", &error), nullptr);
  EXPECT_EQ(error, image_error::MOD_NOT_FOUND);
  error = 0;
  EXPECT_EQ(load_memory_module(nullptr, 100, "", &error), nullptr);
  EXPECT_EQ(error, image_error::MOD_NOT_FOUND);
}

// ---- exports ----

TEST(MemoryModuleExports, LookupIgnoresAsciiCase) {
  MemoryModule* m = load_fixture("");
  ASSERT_NE(m, nullptr);
  auto sum = symbol<SumFunction>(m, "memoryfixturesum");
  ASSERT_NE(sum, nullptr);
  EXPECT_EQ(sum(1, 2), 3);
  EXPECT_EQ(memory_module_symbol(m, "MEMORY_FIXTURE_INCREMENT"), memory_module_symbol(m, "memory_fixture_increment"));
  release_memory_module(m);
}

TEST(MemoryModuleExports, OnlyTheModulesOwnExports) {
  MemoryModule* m = load_fixture("");
  ASSERT_NE(m, nullptr);
  uint32_t error = 0;
  EXPECT_EQ(memory_module_symbol(m, "malloc", &error), nullptr);  // libc's, reachable through dlsym
  EXPECT_EQ(error, image_error::PROC_NOT_FOUND);
  error = 0;
  EXPECT_EQ(memory_module_symbol(m, "memory_fixture_start", &error), nullptr);  // static
  EXPECT_EQ(error, image_error::PROC_NOT_FOUND);
  EXPECT_EQ(memory_module_symbol(m, "", &error), nullptr);
  EXPECT_EQ(memory_module_symbol(nullptr, "MemoryFixtureSum", &error), nullptr);
  EXPECT_EQ(memory_module_symbol(m, nullptr, &error), nullptr);
  release_memory_module(m);
}

TEST(MemoryModuleExports, NamesReadFromTheBytes) {
  const std::string& bytes = fixture_bytes();
  auto names = elf_export_names(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  auto has = [&names](const char* n) { return std::find(names.begin(), names.end(), n) != names.end(); };
  EXPECT_TRUE(has("MemoryFixtureSum"));
  EXPECT_TRUE(has("memory_fixture_value"));
  EXPECT_TRUE(has("memory_fixture_increment"));
  EXPECT_FALSE(has("memory_fixture_start"));
  EXPECT_FALSE(has("memory_fixture_stop"));
  // A cut before the section table loses the names, without reading past the end.
  EXPECT_TRUE(elf_export_names(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size() / 2).empty());
}

// ---- refused ELF images ----

uint16_t program_header_count(const std::string& elf) {
  uint16_t n = 0;
  std::memcpy(&n, elf.data() + 56, 2);
  return n;
}

TEST(MemoryModuleRefusal, ShortImagesAreInvalidData) {
  EXPECT_EQ(refusal_of(std::string(63, 'M')), image_error::INVALID_DATA);
  EXPECT_EQ(refusal_of(fixture_bytes().substr(0, 40)), image_error::INVALID_DATA);
  EXPECT_EQ(refusal_of(""), image_error::INVALID_DATA);
}

TEST(MemoryModuleRefusal, TruncatedElfIsInvalidData) {
  const std::string& whole = fixture_bytes();
  EXPECT_EQ(refusal_of(whole.substr(0, whole.size() / 2)), image_error::INVALID_DATA);
  // Program headers complete, segments cut off.
  size_t headers_end = 64 + 56 * size_t{program_header_count(whole)};
  EXPECT_EQ(refusal_of(whole.substr(0, headers_end)), image_error::INVALID_DATA);
  EXPECT_EQ(refusal_of(whole.substr(0, headers_end - 1)), image_error::INVALID_DATA);
}

TEST(MemoryModuleRefusal, ForeignElfIsBadExeFormat) {
  const std::string& whole = fixture_bytes();
  auto changed = [&whole](size_t at, std::string value) {
    std::string copy = whole;
    copy.replace(at, value.size(), value);
    return copy;
  };
  EXPECT_EQ(refusal_of(changed(4, "\x01")), image_error::BAD_EXE_FORMAT);                // 32-bit class
  EXPECT_EQ(refusal_of(changed(5, "\x02")), image_error::BAD_EXE_FORMAT);                // big-endian
  EXPECT_EQ(refusal_of(changed(16, std::string("\x02\x00", 2))), image_error::BAD_EXE_FORMAT);  // ET_EXEC
  EXPECT_EQ(refusal_of(changed(18, std::string("\xB7\x00", 2))), image_error::BAD_EXE_FORMAT);  // AArch64
  EXPECT_EQ(refusal_of(changed(54, std::string("\x20\x00", 2))), image_error::BAD_EXE_FORMAT);  // entry size
  EXPECT_EQ(refusal_of(changed(1, "X")), image_error::BAD_EXE_FORMAT);                  // magic
}

TEST(MemoryModuleRefusal, AnExecutableIsBadExeFormat) {
  std::string executable = read_file("/proc/self/exe");
  ASSERT_GT(executable.size(), 64u);
  EXPECT_EQ(refusal_of(executable), image_error::BAD_EXE_FORMAT);
}

TEST(MemoryModuleRefusal, ProgramHeadersOutsideTheImageAreInvalidData) {
  std::string copy = fixture_bytes();
  uint64_t far = UINT64_MAX - 8;
  std::memcpy(copy.data() + 32, &far, 8);  // e_phoff
  EXPECT_EQ(refusal_of(copy), image_error::INVALID_DATA);
}

TEST(MemoryModuleRefusal, RandomBytesNeverLoad) {
  std::mt19937 random(1234);
  const char* prefixes[] = {"", "MZ", "\x7F" "ELF", "\x7F" "ELF\x02\x01\x01"};
  for (const char* prefix : prefixes) {
    for (int round = 0; round < 100; ++round) {
      std::string blob(64 + random() % 4096, '\0');
      for (char& c : blob) c = static_cast<char>(random());
      blob.replace(0, std::strlen(prefix), prefix);
      uint32_t error = refusal_of(blob);
      EXPECT_TRUE(error == image_error::BAD_EXE_FORMAT || error == image_error::INVALID_DATA)
          << "prefix " << prefix << " error " << error;
    }
  }
  EXPECT_EQ(refusal_of(std::string(64, 'x')), image_error::BAD_EXE_FORMAT);
}

// ---- Windows images: checked, then refused ----

void put16(std::string& b, size_t at, uint16_t v) { std::memcpy(b.data() + at, &v, 2); }
void put32(std::string& b, size_t at, uint32_t v) { std::memcpy(b.data() + at, &v, 4); }

constexpr size_t NT = 0x80;
constexpr size_t SECTIONS = NT + 24 + 224;

// A 32-bit DLL of one section: headers in the first 0x200 bytes, the section's 0x200 raw bytes
// after them, laid out at 0x1000 in a 0x2000-byte image.
std::string minimal_pe() {
  std::string b(0x400, '\0');
  b[0] = 'M';
  b[1] = 'Z';
  put32(b, 60, NT);
  b.replace(NT, 4, std::string("PE\0\0", 4));
  put16(b, NT + 4, 0x14C);           // i386
  put16(b, NT + 6, 1);               // one section
  put16(b, NT + 20, 224);            // optional header size
  put16(b, NT + 22, 0x2102);         // DLL, 32-bit, executable
  put16(b, NT + 24, 0x10B);          // PE32
  put32(b, NT + 24 + 28, 0x10000000);  // image base
  put32(b, NT + 24 + 32, 0x1000);    // section alignment
  put32(b, NT + 24 + 36, 0x200);     // file alignment
  put32(b, NT + 24 + 56, 0x2000);    // image size
  put32(b, NT + 24 + 60, 0x200);     // headers size
  b.replace(SECTIONS, 5, ".text");
  put32(b, SECTIONS + 8, 0x200);     // virtual size
  put32(b, SECTIONS + 12, 0x1000);   // virtual address
  put32(b, SECTIONS + 16, 0x200);    // raw size
  put32(b, SECTIONS + 20, 0x200);    // raw offset
  put32(b, SECTIONS + 36, 0x60000020);
  return b;
}

uint32_t pe_check(const std::string& b) {
  return check_pe_headers(reinterpret_cast<const uint8_t*>(b.data()), b.size());
}

TEST(MemoryModulePe, WellFormedImagePassesTheHeaderRulesButCannotRunHere) {
  std::string pe = minimal_pe();
  EXPECT_EQ(pe_check(pe), image_error::NONE);
  ImageCheck check = check_image_header(pe.data(), pe.size());
  EXPECT_EQ(check.kind, ImageKind::pe);
  EXPECT_EQ(check.error, image_error::NONE);
  EXPECT_EQ(refusal_of(pe), image_error::BAD_EXE_FORMAT);
  uint32_t error = 0;
  EXPECT_EQ(load_memory_module(pe.data(), pe.size(), "pe-shared", &error), nullptr);
  EXPECT_EQ(error, image_error::BAD_EXE_FORMAT);
  EXPECT_EQ(load_memory_module(nullptr, 0, "pe-shared", &error), nullptr);  // a refusal is not listed
}

TEST(MemoryModulePe, ForeignOrInconsistentHeadersAreBadExeFormat) {
  std::string pe = minimal_pe();
  put16(pe, NT + 4, 0x8664);  // a 64-bit image
  EXPECT_EQ(pe_check(pe), image_error::BAD_EXE_FORMAT);
  pe = minimal_pe();
  pe[NT + 1] = 'X';  // signature
  EXPECT_EQ(pe_check(pe), image_error::BAD_EXE_FORMAT);
  pe = minimal_pe();
  put32(pe, NT + 24 + 32, 0x1001);  // odd section alignment
  EXPECT_EQ(pe_check(pe), image_error::BAD_EXE_FORMAT);
  pe = minimal_pe();
  put32(pe, NT + 24 + 56, 0x3000);  // image size beyond the last section's end
  EXPECT_EQ(pe_check(pe), image_error::BAD_EXE_FORMAT);
  pe = minimal_pe();
  put32(pe, NT + 24 + 56, 0x1801);  // rounds up to the same page as the section's end
  EXPECT_EQ(pe_check(pe), image_error::NONE);
  pe = minimal_pe();
  put32(pe, SECTIONS + 16, 0);      // no raw data: ends one alignment unit after its address
  EXPECT_EQ(pe_check(pe), image_error::NONE);
  pe = minimal_pe();
  pe[0] = 'N';
  EXPECT_EQ(refusal_of(pe), image_error::BAD_EXE_FORMAT);
}

TEST(MemoryModulePe, HeadersOrSectionsPastTheEndAreInvalidData) {
  std::string pe = minimal_pe();
  EXPECT_EQ(pe_check(pe.substr(0, NT + 247)), image_error::INVALID_DATA);  // NT headers cut
  EXPECT_EQ(refusal_of(pe.substr(0, NT + 247)), image_error::INVALID_DATA);
  EXPECT_EQ(pe_check(pe.substr(0, 0x300)), image_error::INVALID_DATA);  // section data cut
  pe = minimal_pe();
  put32(pe, 60, 0xFFFFFFF0);  // NT headers offset near the top of 32 bits
  EXPECT_EQ(pe_check(pe), image_error::INVALID_DATA);
  pe = minimal_pe();
  put16(pe, NT + 6, 0xFFFF);  // a section table far longer than the image
  EXPECT_EQ(pe_check(pe), image_error::INVALID_DATA);
  pe = minimal_pe();
  put32(pe, SECTIONS + 20, 0xFFFFFF00);  // raw data offset that wraps around
  EXPECT_EQ(pe_check(pe), image_error::INVALID_DATA);
  pe = minimal_pe();
  put32(pe, NT + 24 + 60, 0x401);  // headers larger than the image
  EXPECT_EQ(pe_check(pe), image_error::INVALID_DATA);
  EXPECT_EQ(refusal_of(std::string("MZ") + std::string(61, '\0')), image_error::INVALID_DATA);
}

}  // namespace
}  // namespace quevro::test
