#include "elf/reader_status.h"

namespace prepqdm {

const ReaderStatus* FindReaderStatus(uint32_t code) {
  for (const ReaderStatus& status : kReaderStatuses) {
    if (status.code == code) return &status;
  }
  return nullptr;
}

std::optional<std::string> ReaderStatusWords(uint32_t code) {
  const ReaderStatus* status = FindReaderStatus(code);
  if (status == nullptr) return std::nullopt;
  return std::string(status->words) + "; " + status->remedy;
}

}  // namespace prepqdm
