#include "elf/elf_reader.h"

namespace prepqdm {

uint32_t ParseElfImage(uint8_t* image, uint32_t length) {
  (void)image;
  (void)length;
  return 0;  // placeholder
}

}  // namespace prepqdm
