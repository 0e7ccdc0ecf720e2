// Compiler output for link-time optimisation that holds no machine code:
// GCC's slim LTO objects (ELF, their functions only as bytecode in
// ".gnu.lto_*" sections, marked by the common symbol __gnu_lto_slim) and
// LLVM bitcode (clang -flto, not ELF at all). prepqdm cannot export from
// either, so both are told apart from other bad input and named as such.
#pragma once
#include <cstdint>
#include <string_view>

#include "elf/elf_image.h"

namespace prepqdm {

// GCC's markers: __gnu_lto_slim in a slim object, __gnu_lto_v1 in any LTO
// object of older releases (fat ones too). Neither is ever exported.
constexpr char kGccSlimLtoMarker[] = "__gnu_lto_slim";
constexpr char kGccLtoMarker[] = "__gnu_lto_v1";

inline bool IsGccLtoMarkerName(std::string_view name) { return name == kGccSlimLtoMarker || name == kGccLtoMarker; }

// Sections of GCC's LTO bytecode all have names that begin so.
constexpr std::string_view kGccLtoSectionPrefix = ".gnu.lto_";

// What prepqdm and qdmdump say of each, after the input's name.
constexpr char kSlimLtoWords[] =
    "holds only LTO bytecode (compiled with -flto without -ffat-lto-objects): give prepqdm objects with machine "
    "code (add -ffat-lto-objects, or run it on the output of ld -r -flto)";
constexpr char kLlvmBitcodeWords[] = "LLVM bitcode (clang -flto): give prepqdm objects with machine code";

// Whether the bytes begin as LLVM bitcode does: the raw stream ("BC" 0xC0
// 0xDE) or the bitcode wrapper (0x0B17C0DE, little-endian).
bool HasLlvmBitcodeMagic(const uint8_t* bytes, uint64_t size);

// Whether a symbol table of the image (one the reader converted) holds the
// global __gnu_lto_slim. Reads every symbol: callers ask only of an object
// with sections named ".gnu.lto_*".
bool HasSlimLtoMarker(const ElfImage& image);

// Both tests, as registration makes them (which finds the sections in the
// pass over section names it makes anyway): a slim LTO object.
bool IsSlimLtoObject(const ElfImage& image);

}  // namespace prepqdm
