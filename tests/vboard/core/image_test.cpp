// The ELF loader against damaged images: every segment must lie inside the file
// and inside flash or RAM (in 64-bit arithmetic: no address may wrap), segments
// may not overlap, and an image without symbols loads but says so.
#include <elf.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "vboard/image.h"

#include "support/firmware.h"

namespace vboard::test {
namespace {

std::vector<uint8_t> file_bytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// The real front image, with access to its program headers.
struct Elf {
  std::vector<uint8_t> bytes = file_bytes(std::string(FIRMWARE_DIR) + "/front_lamp.elf");
  bool ok() const { return bytes.size() > sizeof(Elf32_Ehdr); }
  Elf32_Ehdr header() const {
    Elf32_Ehdr h;
    std::memcpy(&h, bytes.data(), sizeof h);
    return h;
  }
  Elf32_Phdr phdr(unsigned i) const {
    Elf32_Phdr p;
    std::memcpy(&p, bytes.data() + header().e_phoff + i * sizeof p, sizeof p);
    return p;
  }
  void set_phdr(unsigned i, const Elf32_Phdr& p) {
    std::memcpy(bytes.data() + header().e_phoff + i * sizeof p, &p, sizeof p);
  }
  std::string load_error() const {
    std::string err;
    auto img = Image::from_bytes(bytes, "front_lamp.elf", periph::desc::kFacts, &err);
    return img ? std::string() : err;
  }
};

#define REAL_ELF(e) \
  Elf e;            \
  if (!e.ok()) GTEST_SKIP() << "front_lamp.elf not built"

TEST(ElfLoader, TheRealImageLoadsWithSymbolsAndNoWarning) {
  REAL_ELF(e);
  std::string err;
  auto img = Image::from_bytes(e.bytes, "front_lamp.elf", periph::desc::kFacts, &err);
  ASSERT_TRUE(img) << err;
  EXPECT_TRUE(img->warnings().empty());
  EXPECT_NE(img->find("Default_Handler"), nullptr);
  ASSERT_EQ(img->segments().size(), 2u)
      << "text and the initial values of .data; the stack segment has no bytes";
  EXPECT_EQ(img->segments()[0].paddr, 0x08000000u);
}

TEST(ElfLoader, SegmentsOutsideMemoryOrTheFileAreRejected) {
  REAL_ELF(e);
  const Elf32_Phdr text = e.phdr(0);
  struct Case {
    const char* what;
    uint32_t paddr, offset, filesz, memsz;
    const char* says;
  } cases[] = {
      // 0xFFFFF000 + 0x2d94 wraps to 0x1d94 in 32 bits, which looked like flash.
      {"near the top of the address space", 0xFFFFF000u, text.p_offset, text.p_filesz, text.p_memsz,
       "not inside"},
      {"between flash and RAM", 0x10000000u, text.p_offset, text.p_filesz, text.p_memsz, "not inside"},
      {"running off the end of flash", 0x0801F000u, text.p_offset, text.p_filesz, text.p_memsz, "not inside"},
      {"running off the end of RAM", 0x20007F00u, text.p_offset, text.p_filesz, text.p_memsz, "not inside"},
      {"file offset past the end", text.p_paddr, 0xFFFFFF00u, text.p_filesz, text.p_memsz, "past the end"},
      {"offset + size wrapping in 32 bits", text.p_paddr, 0x10, 0xFFFFFFF8u, 0xFFFFFFF8u, "past the end"},
      {"more file bytes than memory", text.p_paddr, text.p_offset, text.p_filesz, 16, "more bytes"},
  };
  for (const Case& c : cases) {
    Elf m = e;
    Elf32_Phdr p = text;
    p.p_paddr = c.paddr;
    p.p_offset = c.offset;
    p.p_filesz = c.filesz;
    p.p_memsz = c.memsz;
    m.set_phdr(0, p);
    const std::string err = m.load_error();
    EXPECT_NE(err.find(c.says), std::string::npos) << c.what << ": '" << err << "'";
  }
}

TEST(ElfLoader, OverlappingSegmentsAreRejected) {
  REAL_ELF(e);
  Elf32_Phdr data = e.phdr(1);
  data.p_paddr = e.phdr(0).p_paddr + 0x100;  // .data's initial values on top of the code
  e.set_phdr(1, data);
  EXPECT_NE(e.load_error().find("overlap"), std::string::npos) << e.load_error();
  // The flash alias at 0 is the same memory as 0x08000000.
  Elf a = Elf();
  Elf32_Phdr alias = a.phdr(1);
  alias.p_paddr = 0x80;
  a.set_phdr(1, alias);
  EXPECT_NE(a.load_error().find("overlap"), std::string::npos) << a.load_error();
}

TEST(ElfLoader, ATruncatedImageWithoutSymbolsSaysSo) {
  REAL_ELF(e);
  // Cut right after the loadable bytes: the section headers (and symbols) are gone.
  const Elf32_Phdr data = e.phdr(1);
  e.bytes.resize(data.p_offset + data.p_filesz);
  std::string err;
  auto img = Image::from_bytes(e.bytes, "cut.elf", periph::desc::kFacts, &err);
  ASSERT_TRUE(img) << err;
  ASSERT_EQ(img->warnings().size(), 1u);
  EXPECT_NE(img->warnings()[0].find("truncated"), std::string::npos) << img->warnings()[0];
  EXPECT_TRUE(img->symbols().empty());
  EXPECT_EQ(img->describe(0x08000200), "0x08000200");
  // Cut inside the code: the segment runs past the end of the file.
  Elf short_code;
  short_code.bytes.resize(short_code.phdr(0).p_offset + 100);
  EXPECT_NE(short_code.load_error().find("past the end"), std::string::npos) << short_code.load_error();
}

TEST(ElfLoader, OtherFilesAreRefused) {
  std::string err;
  EXPECT_FALSE(Image::from_bytes({}, "empty", periph::desc::kFacts, &err));
  EXPECT_NE(err.find("empty"), std::string::npos);
  EXPECT_FALSE(Image::from_bytes({'#', '!', '/', 'b', 'i', 'n'}, "script", periph::desc::kFacts, &err));
  EXPECT_NE(err.find("not an ELF"), std::string::npos);
  REAL_ELF(e);
  Elf32_Ehdr h = e.header();
  h.e_machine = EM_X86_64;
  std::memcpy(e.bytes.data(), &h, sizeof h);
  EXPECT_NE(e.load_error().find("not a 32-bit little-endian ARM ELF"), std::string::npos);
}

}  // namespace
}  // namespace vboard::test
