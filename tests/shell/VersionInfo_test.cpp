#include <elf.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "plat/version_info.h"
#include "shell_test_util.h"
#include "testsupport/test_env.h"

namespace {

// This test program's own version information, found through /proc/self/exe.
[[gnu::section(".note.dral.version"), gnu::used]] alignas(4) constexpr auto kTestNote =
    plat::MakeVersionNote("\\StringFileInfo\\040904E4\\FileVersion\0" SHELL_TEST_FILE_VERSION
                          "\0"
                          "\\StringFileInfo\\040904E4\\LegalCopyright\0" SHELL_TEST_COPYRIGHT "\0");

using Bytes = std::vector<uint8_t>;
constexpr const char* kFileVersion = "\\StringFileInfo\\040904E4\\FileVersion";
constexpr const char* kCopyright = "\\StringFileInfo\\040904E4\\LegalCopyright";

// "1.0.0.0": four numbers, three dots.
bool FourDottedNumbers(const std::string& text) {
  int numbers = 0;
  bool digit = false;
  for (const char c : text + ".") {
    if (c >= '0' && c <= '9') {
      digit = true;
    } else if (c == '.' && digit) {
      ++numbers;
      digit = false;
    } else {
      return false;
    }
  }
  return numbers == 4;
}

std::string Query(const Bytes& block, const std::string& path) {
  std::string value;
  return plat::VerQueryValue(block, path, &value) ? value : "<none>";
}

// One note as it lies in a note area.
Bytes Note(const std::string& owner, uint32_t type, const std::string& desc) {
  Bytes out;
  const auto word = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  const auto padded = [&](const std::string& s) {
    out.insert(out.end(), s.begin(), s.end());
    while (out.size() % 4 != 0) out.push_back(0);
  };
  word(static_cast<uint32_t>(owner.size() + 1));
  word(static_cast<uint32_t>(desc.size()));
  word(type);
  padded(owner + std::string(1, '\0'));
  padded(desc);
  return out;
}

const std::string kDesc = std::string(
    "\\StringFileInfo\\040904E4\\FileVersion\0"
    "1.2.3.4\0",
    45);
Bytes GnuNote() {
  return Note("GNU", NT_GNU_BUILD_ID, std::string(20, '\x5a'));
}
Bytes OurNote() {
  return Note("DRAL", plat::kVersionNoteType, kDesc);
}

Bytes Join(const Bytes& a, const Bytes& b) {
  Bytes out = a;
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

enum class Tables { Sections, ProgramHeadersOnly };

// A minimal ELF file: header, one PT_NOTE program header, the note area, and (unless left
// out) a section table of a null section and one note section.
template <typename Ehdr, typename Phdr, typename Shdr>
Bytes MakeElf(unsigned char elfClass, const Bytes& notes, Tables tables) {
  Ehdr eh{};
  std::memcpy(eh.e_ident, ELFMAG, SELFMAG);
  eh.e_ident[EI_CLASS] = elfClass;
  eh.e_ident[EI_DATA] = ELFDATA2LSB;
  eh.e_ident[EI_VERSION] = EV_CURRENT;
  eh.e_type = ET_EXEC;
  eh.e_machine = elfClass == ELFCLASS64 ? EM_X86_64 : EM_386;
  eh.e_version = EV_CURRENT;
  eh.e_ehsize = sizeof(Ehdr);
  eh.e_phoff = sizeof(Ehdr);
  eh.e_phentsize = sizeof(Phdr);
  eh.e_phnum = 1;
  const size_t noteOffset = sizeof(Ehdr) + sizeof(Phdr);
  if (tables == Tables::Sections) {
    eh.e_shoff = noteOffset + notes.size();
    eh.e_shentsize = sizeof(Shdr);
    eh.e_shnum = 2;
  }
  Phdr ph{};
  ph.p_type = PT_NOTE;
  ph.p_offset = noteOffset;
  ph.p_filesz = notes.size();
  ph.p_align = 4;
  Shdr sections[2]{};
  sections[1].sh_type = SHT_NOTE;
  sections[1].sh_offset = noteOffset;
  sections[1].sh_size = notes.size();
  sections[1].sh_addralign = 4;

  Bytes out(sizeof eh + sizeof ph);
  std::memcpy(out.data(), &eh, sizeof eh);
  std::memcpy(out.data() + sizeof eh, &ph, sizeof ph);
  out.insert(out.end(), notes.begin(), notes.end());
  if (tables == Tables::Sections) {
    const auto* raw = reinterpret_cast<const uint8_t*>(sections);
    out.insert(out.end(), raw, raw + sizeof sections);
  }
  return out;
}

Bytes Elf64(const Bytes& notes, Tables tables = Tables::Sections) {
  return MakeElf<Elf64_Ehdr, Elf64_Phdr, Elf64_Shdr>(ELFCLASS64, notes, tables);
}
Bytes Elf32(const Bytes& notes, Tables tables = Tables::Sections) {
  return MakeElf<Elf32_Ehdr, Elf32_Phdr, Elf32_Shdr>(ELFCLASS32, notes, tables);
}

class VersionInfoTest : public dral_test::IsolatedTest {
 protected:
  std::string Write(const Bytes& bytes, const std::string& name = "file") {
    const std::string path = env_.TempDir() + "/" + name;
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path;
  }
  Bytes Read(const Bytes& bytes) { return plat::GetFileVersionInfo(Write(bytes)); }
};

TEST_F(VersionInfoTest, TheServerProgramCarriesItsFileVersionAndCopyright) {
  const Bytes info = plat::GetFileVersionInfo(DRAL_SERVER_PROGRAM);
  ASSERT_FALSE(info.empty());
  const std::string version = Query(info, kFileVersion);
  EXPECT_EQ(version, DRAL_FILE_VERSION);
  EXPECT_TRUE(FourDottedNumbers(version)) << version;
  EXPECT_EQ(Query(info, kCopyright).rfind("Copyright ", 0), 0u) << Query(info, kCopyright);
}

TEST_F(VersionInfoTest, TheRunningProgramFindsItsOwnNoteAndPathsMatchWithoutRegardToCase) {
  const Bytes info = plat::GetFileVersionInfo(plat::ModuleFileName());
  EXPECT_EQ(Query(info, kFileVersion), SHELL_TEST_FILE_VERSION);
  EXPECT_EQ(Query(info, kCopyright), SHELL_TEST_COPYRIGHT);
  EXPECT_EQ(Query(info, "\\stringfileinfo\\040904e4\\FILEVERSION"), SHELL_TEST_FILE_VERSION);
  EXPECT_EQ(Query(info, "StringFileInfo\\040904E4\\FileVersion"), SHELL_TEST_FILE_VERSION);
  EXPECT_EQ(Query(info, "\\StringFileInfo\\040904E4\\File"), "<none>");
  EXPECT_EQ(Query(info, "\\StringFileInfo\\040904E4\\ProductName"), "<none>");
  EXPECT_EQ(Query(info, SHELL_TEST_FILE_VERSION), "<none>");  // values are not paths
}

TEST_F(VersionInfoTest, NotesAreFoundThroughSectionsOrProgramHeadersOf32And64BitFiles) {
  const Bytes notes = Join(GnuNote(), OurNote());
  for (const Bytes& file : {Elf64(notes), Elf64(notes, Tables::ProgramHeadersOnly), Elf32(notes),
                            Elf32(notes, Tables::ProgramHeadersOnly)}) {
    const Bytes info = Read(file);
    EXPECT_EQ(info, Bytes(kDesc.begin(), kDesc.end()));
    EXPECT_EQ(Query(info, kFileVersion), "1.2.3.4");
  }
}

TEST_F(VersionInfoTest, FilesWithoutTheNoteYieldNothing) {
  EXPECT_TRUE(Read(Elf64(GnuNote())).empty());
  EXPECT_TRUE(Read(Elf64(Note("DRAL", plat::kVersionNoteType + 1, kDesc))).empty());
  EXPECT_TRUE(Read(Elf64(Note("DRALX", plat::kVersionNoteType, kDesc))).empty());
  EXPECT_TRUE(Read(Elf64(Note("DRA", plat::kVersionNoteType, kDesc))).empty());
  Bytes bigEndian = Elf64(OurNote());
  bigEndian[EI_DATA] = ELFDATA2MSB;
  EXPECT_TRUE(Read(bigEndian).empty());
  EXPECT_TRUE(Read({}).empty());
  EXPECT_TRUE(Read(Bytes{'h', 'e', 'l', 'l', 'o'}).empty());
  EXPECT_TRUE(plat::GetFileVersionInfo(env_.TempDir() + "/missing").empty());
  EXPECT_TRUE(plat::GetFileVersionInfo(env_.TempDir()).empty());  // a folder
  const std::string fifo = env_.TempDir() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_TRUE(plat::GetFileVersionInfo(fifo).empty());  // and the open does not wait
}

TEST_F(VersionInfoTest, DamagedFilesYieldNothingOrWhatTheirBytesSayNeverMore) {
  const Bytes good = Elf64(Join(GnuNote(), OurNote()));
  // Cut anywhere, the section table is incomplete: nothing.
  for (size_t n = 0; n < good.size(); ++n) {
    EXPECT_TRUE(Read(Bytes(good.begin(), good.begin() + static_cast<ptrdiff_t>(n))).empty()) << n;
  }
  // Any one byte damaged: nothing, or a block no longer than the note area (sanitizer builds
  // also catch any read outside the file's bytes).
  for (size_t i = 0; i < good.size(); ++i) {
    for (const uint8_t value : {uint8_t{0x00}, uint8_t{0x7F}, uint8_t{0xFF}}) {
      Bytes bad = good;
      bad[i] = value;
      const Bytes info = Read(bad);
      EXPECT_LE(info.size(), good.size()) << i;
      std::string ignored;
      plat::VerQueryValue(info, kFileVersion, &ignored);
    }
  }
}

// Changes the record of type T at `offset` of `file` (copied out and back: the bytes need not
// be aligned for T).
template <typename T, typename Change>
Bytes Patched(Bytes file, size_t offset, Change change) {
  T record;
  std::memcpy(&record, file.data() + offset, sizeof record);
  change(record);
  std::memcpy(file.data() + offset, &record, sizeof record);
  return file;
}

TEST_F(VersionInfoTest, AbsurdSizesAndCountsAreRefused) {
  const Bytes file = Elf64(OurNote());
  Elf64_Ehdr eh;
  std::memcpy(&eh, file.data(), sizeof eh);
  const size_t shoff = eh.e_shoff;
  const size_t noteShdr = shoff + sizeof(Elf64_Shdr);
  const size_t noteOffset = sizeof(Elf64_Ehdr) + sizeof(Elf64_Phdr);

  // More sections than the file could hold (the count taken from section 0's size): those
  // present are read, the walk ends at the file's end.
  Bytes hugeCount = Patched<Elf64_Ehdr>(file, 0, [](Elf64_Ehdr& h) { h.e_shnum = 0; });
  hugeCount = Patched<Elf64_Shdr>(hugeCount, shoff, [](Elf64_Shdr& sh) { sh.sh_size = ~0ull; });
  EXPECT_EQ(Query(Read(hugeCount), kFileVersion), "1.2.3.4");

  EXPECT_TRUE(Read(Patched<Elf64_Ehdr>(file, 0, [](Elf64_Ehdr& h) {
                h.e_shoff = ~0ull - 8;
                h.e_phoff = ~0ull - 8;
              })).empty());
  EXPECT_TRUE(Read(Patched<Elf64_Shdr>(file, noteShdr, [](Elf64_Shdr& sh) {
                sh.sh_size = 1ull << 40;
              })).empty());
  EXPECT_TRUE(Read(Patched<Elf64_Shdr>(file, noteShdr, [](Elf64_Shdr& sh) {
                sh.sh_offset = ~0ull - 4;
              })).empty());

  for (const uint32_t bad : {0xFFFFFFFFu, 0xFFFFFFF0u, 0x7FFFFFFFu}) {
    EXPECT_TRUE(Read(Patched<Elf64_Nhdr>(file, noteOffset, [bad](Elf64_Nhdr& n) {
                  n.n_namesz = bad;
                })).empty());
    EXPECT_TRUE(Read(Patched<Elf64_Nhdr>(file, noteOffset, [bad](Elf64_Nhdr& n) {
                  n.n_descsz = bad;
                })).empty());
  }
}

TEST(VerQueryValue, StopsAtAnEmptyPathOrAnUnterminatedString) {
  const auto block = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
  EXPECT_EQ(Query(block(std::string("a\0b\0", 4)), "a"), "b");
  EXPECT_EQ(Query(block(std::string("a\0b", 3)), "a"), "<none>");
  EXPECT_EQ(Query(block(std::string("a", 1)), "a"), "<none>");
  EXPECT_EQ(Query(block(std::string("\0x\0y\0", 5)), "x"), "<none>");
  EXPECT_EQ(Query(block(std::string("a\0\0c\0d\0", 7)), "a"), "");  // an empty value is a value
  EXPECT_EQ(Query(block(std::string("a\0\0c\0d\0", 7)), "c"), "d");
  EXPECT_EQ(Query({}, "a"), "<none>");
}

}  // namespace
