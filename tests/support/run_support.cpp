#include "support/run_support.h"

#include <filesystem>
#include <stdexcept>

#include "driver/driver.h"
#include "driver/run_state.h"
#include "support/temp_dir.h"

namespace testsupport {

InProcessResult RunInProcess(const std::vector<std::string>& args) {
  std::vector<std::string> storage;
  storage.push_back("prepqdm");
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  InProcessResult result;
  prepqdm::RunState run;
  run.console = prepqdm::Sink{nullptr, &result.console};
  result.status = prepqdm::RunPrepqdm(run, static_cast<int>(storage.size()), argv.data());
  return result;
}

ProcessResult RunBinary(const std::vector<std::string>& args, const std::string& cwd,
                        const std::vector<std::string>& env) {
  return RunProgram(PREPQDM_BINARY, args, cwd, env);
}

ScopedCwd::ScopedCwd(const std::string& dir) {
  saved_ = std::filesystem::current_path().string();
  std::error_code ec;
  std::filesystem::current_path(dir, ec);
  if (ec) throw std::runtime_error("chdir " + dir);
}

ScopedCwd::~ScopedCwd() {
  std::error_code ec;
  std::filesystem::current_path(saved_, ec);
}

}  // namespace testsupport
