#include "elf/lto_objects.h"

#include <cstring>
#include <optional>

namespace prepqdm {

bool HasLlvmBitcodeMagic(const uint8_t* bytes, uint64_t size) {
  static constexpr uint8_t kRaw[4] = {'B', 'C', 0xC0, 0xDE};
  static constexpr uint8_t kWrapper[4] = {0xDE, 0xC0, 0x17, 0x0B};
  if (bytes == nullptr || size < sizeof kRaw) return false;
  return std::memcmp(bytes, kRaw, sizeof kRaw) == 0 || std::memcmp(bytes, kWrapper, sizeof kWrapper) == 0;
}

bool HasSlimLtoMarker(const ElfImage& image) {
  // The name with its terminating zero, compared in place.
  static constexpr std::string_view kMarker{kGccSlimLtoMarker, sizeof kGccSlimLtoMarker};
  const uint32_t count = image.SectionCount();
  for (uint32_t index = 1; index < count; ++index) {
    std::optional<SectionHeader> symtab = image.Section(index);
    // The reader neither checks nor converts a size-prefixed table.
    if (!symtab || symtab->sh_type != SHT_SYMTAB || (symtab->sh_flags & SHF_SIZE_PREFIXED)) continue;
    std::optional<SectionHeader> strtab = symtab->sh_link != 0 ? image.Section(symtab->sh_link) : std::nullopt;
    const uint8_t* names;
    uint32_t names_length;
    if (!strtab || strtab->sh_type == SHT_NOBITS || !image.SectionContent(*strtab, &names, &names_length)) continue;
    const uint32_t entry_size = SymbolEntrySize(*symtab);
    const uint32_t symbols = symtab->sh_size / entry_size;
    for (uint32_t k = 1; k < symbols; ++k) {
      const uint8_t* entry = image.Entry(*symtab, entry_size, k, kSymbolSize);
      if (entry == nullptr) break;
      const ElfSymbol symbol = LoadAt<ElfSymbol>(entry);
      const uint8_t binding = SymbolBinding(symbol.st_info);
      if (binding != STB_GLOBAL && binding != STB_WEAK) continue;
      if (symbol.st_name > names_length || names_length - symbol.st_name < kMarker.size()) continue;
      if (std::memcmp(names + symbol.st_name, kMarker.data(), kMarker.size()) == 0) return true;
    }
  }
  return false;
}

bool IsSlimLtoObject(const ElfImage& image) {
  const uint32_t count = image.SectionCount();
  for (uint32_t index = 1; index < count; ++index) {
    std::optional<std::string_view> name = image.SectionName(index);
    if (name && name->starts_with(kGccLtoSectionPrefix)) return HasSlimLtoMarker(image);
  }
  return false;
}

}  // namespace prepqdm
