// The pair check works on the inspector's records, not on bytes: the export
// tables and the import sections have already been read, within their
// bounds, by the file inspector.
//
// Each side is taken as prepqdm takes it: the last code table and the last
// data table of the export object (the import library builder reads those),
// and the import sections of the library's last stub. A table that is absent
// counts as zero entries, so an export object that exports something never
// matches a library that exports nothing (the empty stub, or an archive
// without a stub), and two files that both export nothing match.
#include "inspect/pair_check.h"

#include "host/output.h"

namespace prepqdm {

namespace {

// What one side says about a table: its count and CRC words, if it has it.
struct TableWords {
  bool present = false;
  uint32_t count = 0;
  uint32_t crc = 0;
};

struct PairSide {
  TableWords code;
  TableWords data;
};

bool IsExportObjectKind(ObjectKind kind) {
  return kind == ObjectKind::kExportObject || kind == ObjectKind::kEmptyExportObject;
}

bool IsStubKind(ObjectKind kind) { return kind == ObjectKind::kImportStub || kind == ObjectKind::kEmptyImportStub; }

bool ReadWithoutError(const FileReport& file) {
  if (!file.error.empty()) return false;
  for (const ObjectReport& object : file.objects)
    if (!object.error.empty()) return false;
  return true;
}

// prepqdm writes an export object as a file of its own, never as a member.
bool IsExportObjectReport(const FileReport& file) {
  return !file.archive && file.objects.size() == 1 && file.objects[0].object &&
         IsExportObjectKind(file.objects[0].object->kind);
}

// A bare stub, or an archive without export objects: with its stub, or
// with none at all when the module exports nothing.
bool IsImportLibraryReport(const FileReport& file) {
  if (!file.archive)
    return file.objects.size() == 1 && file.objects[0].object && IsStubKind(file.objects[0].object->kind);
  for (const ObjectReport& object : file.objects)
    if (object.object && IsExportObjectKind(object.object->kind)) return false;
  return true;
}

// Export tables and import sections both begin with the count and the CRC;
// a later table of a kind replaces an earlier one.
template <typename Tables>
PairSide SideOf(const Tables& tables) {
  PairSide side;
  for (const auto& table : tables) (table.code ? side.code : side.data) = {true, table.count, table.stored_crc};
  return side;
}

PairSide LibrarySide(const FileReport& library) {
  const ObjectFacts* stub = nullptr;
  for (const ObjectReport& object : library.objects)
    if (object.object && IsStubKind(object.object->kind)) stub = &*object.object;
  return stub ? SideOf(stub->import_tables) : PairSide{};
}

// The library's words first, as the library is the one on trial.
std::optional<std::string> Mismatch(const char* table, const TableWords& library, const TableWords& exports) {
  if (library.count != exports.count)
    return Format("%s table count %u, export object %u", table, library.count, exports.count);
  if (library.present && exports.present && library.crc != exports.crc)
    return Format("%s table CRC 0x%08X, export object 0x%08X", table, library.crc, exports.crc);
  return std::nullopt;
}

}  // namespace

std::optional<PairCheck> CheckPair(const std::vector<FileReport>& files) {
  if (files.size() != 2 || !ReadWithoutError(files[0]) || !ReadWithoutError(files[1])) return std::nullopt;
  const bool export_first = IsExportObjectReport(files[0]) && IsImportLibraryReport(files[1]);
  if (!export_first && !(IsImportLibraryReport(files[0]) && IsExportObjectReport(files[1]))) return std::nullopt;
  const FileReport& exports = files[export_first ? 0 : 1];
  const FileReport& library = files[export_first ? 1 : 0];

  PairCheck check;
  check.export_object = exports.path;
  check.import_library = library.path;
  const PairSide export_side = SideOf(exports.objects[0].object->export_tables);
  const PairSide library_side = LibrarySide(library);
  for (std::optional<std::string> mismatch : {Mismatch("code", library_side.code, export_side.code),
                                              Mismatch("data", library_side.data, export_side.data)})
    if (mismatch)
      check.problems.push_back(library.path + " does not belong to " + exports.path + ": " + *mismatch);
  return check;
}

}  // namespace prepqdm
