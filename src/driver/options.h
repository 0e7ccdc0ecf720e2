// The option settings of one run, filled by the command-line parser.
#pragma once
#include <optional>
#include <string>
#include <vector>

namespace prepqdm {

struct Options {
  std::string output_path;                         // full path; default pre_qdm.o
  std::string output_name;                         // -o as typed (pre_qdm.o when absent)
  std::optional<std::string> import_library_path;  // -l
  std::optional<std::string> module_name;          // -r
  std::optional<std::string> def_path;             // -x
  std::optional<std::string> exclude_path;         // -xnot
  std::optional<std::string> log_path;             // -log
  std::optional<std::string> entry_symbol;         // -e (ignored)
  std::optional<std::string> depfile_path;         // -MF: Make-syntax dependency file
  std::vector<std::string> search_paths;           // -L, newest first
  bool export_all = false;                         // -xall
  bool def_only = false;                           // -q, or -l/-r without objects
  bool no_archive_header = false;                  // -noar
  bool warn_sti = false;                           // -warnsti
  bool warn_linkonce = false;                      // -warnlinkonce
  bool check_no_sda = false;                       // -checknosda
  bool verbose = false;                            // -v
};

// "(null)" stands for an unset name in messages, as printf would show it.
inline const char* OrNull(const std::optional<std::string>& value) {
  return value ? value->c_str() : "(null)";
}

}  // namespace prepqdm
