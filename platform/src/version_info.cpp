#include "plat/version_info.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "plat/unique_fd.h"

namespace plat {
namespace {

// A note segment or section larger than this is not looked into: version notes are a few
// hundred bytes, and no sane program has megabytes of notes.
constexpr uint64_t kMaxNoteArea = 1u << 20;
// Upper bound on the section and program header counts that are walked.
constexpr uint64_t kMaxHeaders = 1u << 16;

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "ELF files are read in host order");

// A regular file opened for reading, with positioned reads bounded by its size.
class File {
 public:
  explicit File(const std::string& path) {
    // O_NONBLOCK: a FIFO given as the file must not block the open.
    fd_ = UniqueFd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd_) return;
    struct stat st {};
    if (fstat(fd_.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
      fd_.Reset();
      return;
    }
    size_ = static_cast<uint64_t>(st.st_size);
  }
  bool IsOpen() const { return static_cast<bool>(fd_); }

  // Reads exactly `n` bytes at `offset`; false when they are not all inside the file.
  bool ReadAt(uint64_t offset, void* buffer, uint64_t n) const {
    if (offset > size_ || n > size_ - offset) return false;
    auto* out = static_cast<uint8_t*>(buffer);
    while (n > 0) {
      const ssize_t got = pread(fd_.Get(), out, n, static_cast<off_t>(offset));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      out += got;
      offset += static_cast<uint64_t>(got);
      n -= static_cast<uint64_t>(got);
    }
    return true;
  }

  std::optional<std::vector<uint8_t>> ReadArea(uint64_t offset, uint64_t n) const {
    if (n > kMaxNoteArea) return std::nullopt;
    std::vector<uint8_t> bytes(n);
    if (!ReadAt(offset, bytes.data(), n)) return std::nullopt;
    return bytes;
  }

 private:
  UniqueFd fd_;
  uint64_t size_ = 0;
};

uint64_t AlignUp(uint64_t n, uint64_t align) {
  return (n + align - 1) / align * align;
}

// Walks the notes of one note area; the descriptor of the first version note, if any.
std::optional<std::vector<uint8_t>> FindVersionNote(const std::vector<uint8_t>& area,
                                                    uint64_t alignment) {
  // Notes are 4-aligned, except those of 8-aligned areas (64-bit property notes).
  const uint64_t align = alignment == 8 ? 8 : 4;
  uint64_t pos = 0;
  while (area.size() - pos >= sizeof(Elf32_Nhdr)) {  // Elf64_Nhdr has the same layout
    Elf32_Nhdr header;
    std::memcpy(&header, area.data() + pos, sizeof header);
    const uint64_t name = pos + sizeof header;
    const uint64_t left = area.size() - name;
    const uint64_t nameSpan = AlignUp(header.n_namesz, align);
    if (nameSpan > left) return std::nullopt;
    const uint64_t desc = name + nameSpan;
    if (header.n_descsz > area.size() - desc) return std::nullopt;
    if (header.n_namesz == sizeof kVersionNoteOwner && header.n_type == kVersionNoteType &&
        std::memcmp(area.data() + name, kVersionNoteOwner, sizeof kVersionNoteOwner) == 0) {
      return std::vector<uint8_t>(area.begin() + static_cast<ptrdiff_t>(desc),
                                  area.begin() + static_cast<ptrdiff_t>(desc + header.n_descsz));
    }
    const uint64_t next = desc + AlignUp(header.n_descsz, align);
    if (next <= pos || next > area.size()) return std::nullopt;
    pos = next;
  }
  return std::nullopt;
}

template <typename Ehdr, typename Shdr, typename Phdr>
std::vector<uint8_t> ReadVersionNote(const File& file) {
  Ehdr eh;
  if (!file.ReadAt(0, &eh, sizeof eh)) return {};

  // The section table first: it names every note, also those outside loaded segments.
  if (eh.e_shoff != 0 && eh.e_shentsize >= sizeof(Shdr)) {
    uint64_t count = eh.e_shnum;
    if (count == 0) {  // more than 0xff00 sections: the count is in section 0
      Shdr first;
      if (file.ReadAt(eh.e_shoff, &first, sizeof first)) count = first.sh_size;
    }
    if (count > kMaxHeaders) count = kMaxHeaders;
    for (uint64_t i = 0; i < count; ++i) {
      Shdr sh;
      if (!file.ReadAt(eh.e_shoff + i * eh.e_shentsize, &sh, sizeof sh)) break;
      if (sh.sh_type != SHT_NOTE) continue;
      const auto area = file.ReadArea(sh.sh_offset, sh.sh_size);
      if (!area) continue;
      if (auto desc = FindVersionNote(*area, sh.sh_addralign)) return *desc;
    }
    if (count > 0) return {};
  }

  // A file without a section table still has its loaded notes in PT_NOTE segments.
  if (eh.e_phoff != 0 && eh.e_phentsize >= sizeof(Phdr)) {
    const uint64_t count = eh.e_phnum < kMaxHeaders ? eh.e_phnum : kMaxHeaders;
    for (uint64_t i = 0; i < count; ++i) {
      Phdr ph;
      if (!file.ReadAt(eh.e_phoff + i * eh.e_phentsize, &ph, sizeof ph)) break;
      if (ph.p_type != PT_NOTE) continue;
      const auto area = file.ReadArea(ph.p_offset, ph.p_filesz);
      if (!area) continue;
      if (auto desc = FindVersionNote(*area, ph.p_align)) return *desc;
    }
  }
  return {};
}

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// "\a\b" and "a\b" name the same value.
std::string_view WithoutLeadingBackslash(std::string_view path) {
  return !path.empty() && path.front() == '\\' ? path.substr(1) : path;
}

bool SamePath(std::string_view a, std::string_view b) {
  a = WithoutLeadingBackslash(a);
  b = WithoutLeadingBackslash(b);
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

}  // namespace

std::vector<uint8_t> GetFileVersionInfo(const std::string& file) {
  const File f(file);
  if (!f.IsOpen()) return {};
  unsigned char ident[EI_NIDENT];
  if (!f.ReadAt(0, ident, sizeof ident)) return {};
  if (std::memcmp(ident, ELFMAG, SELFMAG) != 0 || ident[EI_DATA] != ELFDATA2LSB ||
      ident[EI_VERSION] != EV_CURRENT) {
    return {};
  }
  switch (ident[EI_CLASS]) {
    case ELFCLASS64:
      return ReadVersionNote<Elf64_Ehdr, Elf64_Shdr, Elf64_Phdr>(f);
    case ELFCLASS32:
      return ReadVersionNote<Elf32_Ehdr, Elf32_Shdr, Elf32_Phdr>(f);
    default:
      return {};
  }
}

bool VerQueryValue(const std::vector<uint8_t>& block, std::string_view subBlock,
                   std::string* value) {
  const std::string_view text(reinterpret_cast<const char*>(block.data()), block.size());
  size_t pos = 0;
  // Takes the string at pos; false when it is not terminated inside the block.
  const auto next = [&](std::string_view* out) {
    const size_t end = text.find('\0', pos);
    if (end == std::string_view::npos) return false;
    *out = text.substr(pos, end - pos);
    pos = end + 1;
    return true;
  };
  std::string_view path, found;
  while (next(&path) && !path.empty() && next(&found)) {
    if (SamePath(path, subBlock)) {
      *value = std::string(found);
      return true;
    }
  }
  return false;
}

std::string ModuleFileName() {
  char buffer[4096];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer) return "";
  return std::string(buffer, static_cast<size_t>(n));
}

}  // namespace plat
