// Version information of a program file: the strings a program carries about itself (file
// version, copyright line), read from the file.
//
// A program carries them in an ELF note (owner kVersionNoteOwner, type kVersionNoteType) in a
// section whose name starts with ".note" (the assembler gives such sections the note type).
// The note's descriptor is a list of NUL-terminated strings, taken in pairs: a query path such
// as "\StringFileInfo\040904E4\FileVersion", then its value. An empty path ends the list.
// MakeVersionNote below builds such a note at compile time:
//
//   [[gnu::section(".note.dral.version"), gnu::used]] alignas(4) constexpr auto kNote =
//       plat::MakeVersionNote("\\StringFileInfo\\040904E4\\FileVersion\0" "1.2.3.4\0");
//
// (alignas keeps the compiler from aligning the note beyond 4, which would misplace it.)
//
// Reading never trusts the file: sizes and offsets are checked against the file's length and
// against fixed limits, so any file (garbage, truncated, another architecture's ELF) yields
// either a well-formed block or nothing. All functions may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

inline constexpr char kVersionNoteOwner[] = "DRAL";
inline constexpr uint32_t kVersionNoteType = 0x5652;  // "VR"

// The version block of `file`: the descriptor of its first version note, as stored. Empty when
// the file cannot be read, is not a little-endian ELF file (32 or 64 bit), or has no such note.
// The notes are found through the section table, or through the program headers of a file
// whose section table was stripped.
std::vector<uint8_t> GetFileVersionInfo(const std::string& file);

// Looks `subBlock` up in a version block; the path is compared without regard to case (ASCII),
// and a missing leading "\" is accepted. True with *value set when found.
bool VerQueryValue(const std::vector<uint8_t>& block, std::string_view subBlock,
                   std::string* value);

// The file of the running program ("" when it cannot be told).
std::string ModuleFileName();

// An ELF note as it lies in a section: three 32-bit words, the owner name and the descriptor,
// each padded to 4 bytes. `N` is the size of the descriptor literal, its final NUL included.
// An aggregate, so that a constant one is placed in read-only data.
template <size_t N>
struct VersionNote {
  static constexpr size_t kNameSize = sizeof kVersionNoteOwner;
  static constexpr size_t Padded(size_t n) { return (n + 3) / 4 * 4; }

  uint32_t NameSize;
  uint32_t DescSize;
  uint32_t Type;
  char Name[Padded(kNameSize)];
  char Desc[Padded(N)];
};

// The note of a descriptor literal (see the example at the top).
template <size_t N>
constexpr VersionNote<N> MakeVersionNote(const char (&desc)[N]) {
  VersionNote<N> note{VersionNote<N>::kNameSize, N, kVersionNoteType, {}, {}};
  for (size_t i = 0; i < VersionNote<N>::kNameSize; ++i) note.Name[i] = kVersionNoteOwner[i];
  for (size_t i = 0; i < N; ++i) note.Desc[i] = desc[i];
  return note;
}

}  // namespace plat
