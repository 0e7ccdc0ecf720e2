// What the Windows host does differently: statuses from the system's own
// errors, the share mode of mapped inputs, views given back by mapping them
// again, the whole 32-bit exit status, text in the ANSI code page with CR LF,
// full Unicode paths, the classic path buffer, and TOOLCHAIN_ROOT in its
// Windows spellings. Run under Wine with LANG=C.UTF-8, whose ANSI code page
// is 1252.
#include <gtest/gtest.h>
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "host/environment.h"
#include "host/mapped_file.h"
#include "host/paths.h"
#include "host/status.h"
#include "host/win32/wide.h"
#include "support/elf_builder.h"
#include "support/run_support.h"
#include "support/temp_dir.h"

using namespace prepqdm;
using testsupport::TempDir;

namespace {

std::filesystem::path U8(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

void Write(const std::string& utf8_path, const std::string& bytes) {
  std::ofstream out(U8(utf8_path), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string Read(const std::string& utf8_path) {
  std::ifstream in(U8(utf8_path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string SmallObject(const std::string& symbol) {
  testsupport::ElfBuilder builder;
  uint32_t text = builder.AddProgbits(".text", 6, testsupport::Bytes(300, 0));
  builder.AddGlobal(symbol, static_cast<uint16_t>(text));
  testsupport::Bytes bytes = builder.Build();
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace

TEST(WindowsHost, AnsiCodePageIsPinned) { ASSERT_EQ(GetACP(), 1252u) << "run with LANG=C.UTF-8"; }

TEST(WindowsHost, ExitStatusIsTheWholeStatus) {
  for (Status status : {0, -1, 0x100, AsStatus(0xBAD00018u), AsStatus(0x80070002u)})
    EXPECT_EQ(ExitCodeFromStatus(status), status);
  // Seen from a Windows parent: GetExitCodeProcess gives all 32 bits.
  TempDir dir;
  testsupport::ProcessResult r = testsupport::RunProgram(PREPQDM_BINARY, {"-o", "o.o", "missing.o"}, dir.path());
  EXPECT_EQ(static_cast<uint32_t>(r.exit_code), 0x80070002u);
  EXPECT_NE(r.out.find("Error 0x80070002\r\n"), std::string::npos) << r.out;
}

TEST(WindowsHost, MapStatusesComeFromTheSystemError) {
  TempDir dir;
  Write(dir.File("empty"), "");
  Write(dir.File("locked.o"), "data");
  HANDLE writer = CreateFileW(U8(dir.File("locked.o")).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  struct Case {
    std::string name;
    Status status;
  } cases[] = {
      {"", kEUnexpected},
      {dir.File("missing.o"), kEFileNotFound},
      {dir.File("nodir/x.o"), kEPathNotFound},
      {dir.path(), kEAccessDenied},
      {dir.File("empty"), kEFail},
      {dir.File("locked.o"), kESharingViolation},
  };
  Mappings mappings;
  for (const Case& c : cases) {
    MappedFile* file = nullptr;
    EXPECT_EQ(MapFile(mappings, c.name, &file), c.status) << c.name;
    EXPECT_EQ(file, nullptr);
  }
  CloseHandle(writer);
  EXPECT_TRUE(mappings.live.empty());
}

TEST(WindowsHost, AMappedFileCannotBeOpenedForWriting) {
  TempDir dir;
  Write(dir.File("in.o"), "hello");
  std::filesystem::create_hard_link(U8(dir.File("in.o")), U8(dir.File("alias.o")));
  Mappings mappings;
  MappedFile* file = nullptr;
  ASSERT_EQ(MapFile(mappings, dir.File("in.o"), &file), kOk);
  file->view[0] = 'J';  // copy-on-write: the file keeps its bytes
  HANDLE other = CreateFileW(U8(dir.File("in.o")).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(other, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(Read(dir.File("in.o")), "hello");
  // The program's own refusal says why, through another name of the file
  // too (the mapping's volume is asked for once the index agrees).
  errno = 0;
  EXPECT_EQ(OpenForWrite(mappings, dir.File("alias.o"), "wb"), nullptr);
  EXPECT_EQ(errno, EBUSY);
  ReleaseMappedFile(file);
  other = CreateFileW(U8(dir.File("in.o")).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(other, INVALID_HANDLE_VALUE);
  CloseHandle(other);
}

// A view given back whole leaves the working set (as the system reports it,
// under Wine too), keeps its address and reads back as the file; a written
// view keeps its pages and what was stored in them.
TEST(WindowsHost, AViewGivenBackWholeLeavesTheWorkingSet) {
  TempDir dir;
  constexpr size_t kPage = 4096, kPages = 41;
  std::string bytes((kPages - 1) * kPage + 100, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 131 + i / 4093);
  Write(dir.File("in.o"), bytes);
  Mappings mappings;
  MappedFile* file = nullptr;
  ASSERT_EQ(MapFile(mappings, dir.File("in.o"), &file), kOk);
  uint8_t* const view = file->view;
  const auto resident = [&] {
    std::vector<PSAPI_WORKING_SET_EX_INFORMATION> pages(kPages);
    for (size_t i = 0; i < kPages; ++i) pages[i].VirtualAddress = view + i * kPage;
    EXPECT_TRUE(QueryWorkingSetEx(GetCurrentProcess(), pages.data(), static_cast<DWORD>(kPages * sizeof pages[0])));
    size_t count = 0;
    for (const PSAPI_WORKING_SET_EX_INFORMATION& page : pages) count += page.VirtualAttributes.Valid;
    return count;
  };
  const auto contents = [&] { return std::string(reinterpret_cast<const char*>(file->view), file->size); };
  for (bool written : {false, true}) {
    if (written) {
      file->written = true;
      bytes[kPage + 7] = static_cast<char>(file->view[kPage + 7] ^= 0xFF);
    }
    ASSERT_EQ(contents(), bytes);
    ASSERT_EQ(resident(), kPages);
    ReleaseResidentPages(*file, file->view, file->size);
    EXPECT_EQ(file->view, view);
    EXPECT_EQ(resident(), written ? kPages : 0u) << written;
    EXPECT_EQ(contents(), bytes) << written;
  }
  ReleaseMappedFile(file);
  EXPECT_TRUE(mappings.live.empty());
}

TEST(WindowsHost, FullPathUsesTheClassicBuffer) {
  // "C:\" and a name: 259 characters fit the 260-character buffer, 260 not.
  const std::string fits = "C:\\" + std::string(256, 'a');
  ASSERT_EQ(fits.size(), 259u);
  EXPECT_EQ(FullPath(fits), fits);
  EXPECT_FALSE(FullPath(fits + "a").has_value());
  EXPECT_EQ(FullPath(fits + "a", SIZE_MAX), fits + "a");
  EXPECT_EQ(FullPath("C:/x/./y/../z.o"), "C:\\x\\z.o");
  // Counted in characters, not in UTF-8 bytes.
  const std::string wide = "C:\\" + [] { std::string s; for (int i = 0; i < 256; ++i) s += "\xC3\xBC"; return s; }();
  EXPECT_EQ(FullPath(wide), wide);
}

TEST(WindowsHost, PathComparisonIgnoresCaseAndSeesIdentity) {
  TempDir dir;
  Write(dir.File("Out.o"), "x");
  EXPECT_TRUE(SameFile(dir.File("Out.o"), dir.File("OUT.O")));
  EXPECT_TRUE(SameFile(dir.File("new.o"), dir.File("NEW.o")));  // neither exists yet
  EXPECT_FALSE(SameFile(dir.File("Out.o"), dir.File("other.o")));
  // With identities looked up beforehand (the option and input checks), the
  // same rule: a name whose identity is unknown still matches by its path.
  const std::optional<FileIdentity> out = IdentifyFile(dir.File("Out.o"));
  EXPECT_TRUE(SameFile(dir.File("Out.o"), out, dir.File("OUT.O"), IdentifyFile(dir.File("OUT.O"))));
  EXPECT_TRUE(SameFile(dir.File("Out.o"), out, dir.File("out.O"), std::nullopt));
  EXPECT_FALSE(SameFile(dir.File("Out.o"), out, dir.File("other.o"), std::nullopt));
}

TEST(WindowsHost, TextConversionsUseTheAnsiCodePage) {
  EXPECT_EQ(ResponseFileText("-o \xFC.o \x80"), "-o \xC3\xBC.o \xE2\x82\xAC");
  struct Case {
    char root[24];
    char separator;
  } cases[] = {{"D:\\sdk", '\\'}, {"D:/sdk", '\\'}, {"abc/tools", '/'}, {"ab", '\\'}};
  for (const Case& c : cases) EXPECT_EQ(ToolchainSeparator(c.root), c.separator) << c.root;
}

// The archiver's arguments (the library path as typed) reach it as they
// were, whatever quotes, spaces and backslashes they hold.
TEST(WindowsHost, ArgumentsReachTheChildUnchanged) {
  for (const char* argument : {"plain", "lib a.a", "", "say \"hi\"", "dir\\", "a\\\\\"b", "C:\\x y\\"}) {
    std::wstring line = L"ax";
    line += L' ';
    AppendQuotedArgument(line, Widen(argument));
    int count = 0;
    wchar_t** parsed = CommandLineToArgvW(line.c_str(), &count);
    ASSERT_EQ(count, 2) << argument;
    EXPECT_EQ(Narrow(parsed[1]), argument);
    LocalFree(parsed);
  }
}

// A name beyond ASCII works as input, output, log, response-file token and
// in messages; the log has CR LF line ends; what the console shows is in
// code page 1252 ('?' for what it lacks).
TEST(WindowsHost, UnicodePathsEndToEnd) {
  TempDir dir;
  const std::string folder = dir.File("M\xC3\xBCller");
  std::filesystem::create_directory(U8(folder));
  Write(folder + "\\\xC3\xBC.o", SmallObject("mixer_start"));
  Write(folder + "\\\xC5\x82.o", SmallObject("other"));
  Write(folder + "\\args.rsp", "-log \xFC.log \xFC.o\r\n");  // ANSI: u-umlaut is 0xFC
  testsupport::ProcessResult r = testsupport::RunProgram(
      PREPQDM_BINARY, {"-o", "\xC3\xBC-out.o", "-xall", "@args.rsp", "-v", "\xC5\x82.o"}, folder);
  EXPECT_EQ(r.exit_code, 0) << r.out;
  EXPECT_NE(Read(folder + "\\\xC3\xBC-out.o").size(), 0u);
  EXPECT_EQ(Read(folder + "\\\xC3\xBC.log").rfind("PREPQDM Log\r\n", 0), 0u);
  EXPECT_NE(r.out.find("Output to log file \"\xFC.log\".\r\n"), std::string::npos) << r.out;
  r = testsupport::RunProgram(PREPQDM_BINARY, {"-o", "x.o", "\xC5\x82-missing.o"}, folder);
  EXPECT_NE(r.out.find("Could not map in file \"?-missing.o\". Error 0x80070002\r\n"), std::string::npos) << r.out;
}

// The archiver is found through TOOLCHAIN_ROOT in each Windows spelling and
// started without a shell, so spaces and '&' in it mean nothing special.
TEST(WindowsHost, ToolchainRootSpellings) {
  TempDir dir;
  const std::string tools = dir.File("tool & chain");
  std::filesystem::create_directory(U8(tools));
  std::filesystem::copy_file(U8(AX_BINARY), U8(tools + "\\ax.exe"));
  Write(dir.File("a.o"), SmallObject("exported"));
  std::string backslashed = tools;
  for (char& c : backslashed) c = c == '/' ? '\\' : c;
  const std::string unix_style = "/cygdrive/" + std::string(1, static_cast<char>(std::tolower(backslashed[0]))) + "/" +
                                 backslashed.substr(3);
  std::string cygdrive = unix_style;
  for (char& c : cygdrive) c = c == '\\' ? '/' : c;
  // The build's own folder, where ax.exe was made (drive Z: under Wine).
  const std::string built = std::string(AX_BINARY).substr(0, std::string(AX_BINARY).find_last_of("/\\"));
  const std::string built_cygdrive =
      "/cygdrive/" + std::string(1, static_cast<char>(std::tolower(built[0]))) + built.substr(2);
  for (const std::string& root : {backslashed, cygdrive, built_cygdrive}) {
    testsupport::ProcessResult r = testsupport::RunProgram(
        PREPQDM_BINARY, {"-o", "out.o", "-xall", "-l", "lib a.a", "-r", "Mod.qdm", "-v", "a.o"}, dir.path(),
        {"TOOLCHAIN_ROOT=" + root, "SOURCE_DATE_EPOCH=1700000000"});
    EXPECT_EQ(r.exit_code, 0) << root << "\n" << r.out;
    EXPECT_EQ(r.out.find("FAILED"), std::string::npos) << r.out;
    // ax put its index first.
    EXPECT_EQ(Read(dir.File("lib a.a")).substr(8, 2), "/ ") << root;
  }
  testsupport::ProcessResult r = testsupport::RunProgram(
      PREPQDM_BINARY, {"-o", "out.o", "-xall", "-l", "lib.a", "-r", "Mod.qdm", "a.o"}, dir.path(),
      {"TOOLCHAIN_ROOT=" + dir.File("nothing here")});
  EXPECT_NE(r.out.find("FAILED: ax -ts lib.a\r\nreturned -1\r\n"), std::string::npos) << r.out;
  EXPECT_NE(r.exit_code, 0);
}

namespace {

// Where fake_ax.exe says it ran from: the folder holding it, or "" when no
// archiver wrote the marker.
std::string ArchiverFolder(const std::string& marker) {
  const std::string text = Read(marker);
  const size_t end = text.find_last_of('\\');
  if (text.empty() || end == std::string::npos) return std::string();
  const size_t start = text.find_last_of('\\', end - 1);
  return text.substr(start + 1, end - start - 1);
}

}  // namespace

// Without TOOLCHAIN_ROOT ax.exe is looked for where "cmd /c ax" looks: the
// working directory, then each PATH entry in order. prepqdm's own folder
// (which also holds one here) is never searched.
TEST(WindowsHost, ArchiverSearchOrder) {
  TempDir dir;
  for (const char* folder : {"work", "first", "second", "own"})
    std::filesystem::create_directory(U8(dir.File(folder)));
  const std::string program = dir.File("own\\prepqdm.exe");
  std::filesystem::copy_file(U8(PREPQDM_BINARY), U8(program));
  std::filesystem::copy_file(U8(FAKE_AX_BINARY), U8(dir.File("own\\ax.exe")));
  Write(dir.File("work\\a.o"), SmallObject("exported"));
  const std::string first = dir.File("first");
  const std::string second = dir.File("second");
  struct Case {
    std::vector<std::string> holding;  // folders with an ax.exe
    std::string path;
    std::string runs;  // "" for none
  } cases[] = {
      {{"work", "first", "second"}, first + ";" + second, "work"},
      {{"first", "second"}, second + ";" + first, "second"},
      {{"second"}, first + ";;\"" + second + "\"", "second"},
      {{}, first + ";" + second, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    for (const char* folder : {"work", "first", "second"}) std::filesystem::remove(U8(dir.File(folder) + "\\ax.exe"));
    for (const std::string& folder : c.holding)
      std::filesystem::copy_file(U8(FAKE_AX_BINARY), U8(dir.File(folder) + "\\ax.exe"));
    std::filesystem::remove(U8(dir.File("marker")));
    testsupport::ProcessResult r = testsupport::RunProgram(
        program, {"-o", "out.o", "-xall", "-l", "lib.a", "-r", "Mod.qdm", "a.o"}, dir.File("work"),
        {"TOOLCHAIN_ROOT", "PATH=" + c.path, "AX_MARKER=" + dir.File("marker")});
    EXPECT_EQ(ArchiverFolder(dir.File("marker")), c.runs) << r.out;
    EXPECT_EQ(r.exit_code == 0, !c.runs.empty()) << r.out;
  }
}

// Ctrl-Break while the archiver runs: the handler stops the archiver and
// removes the staged files; each output keeps its previous bytes or is gone
// (nothing was put in place yet, so it keeps them here). Where
// the event never reaches the handler (break_launcher.cpp tells), the test
// skips with the reason.
TEST(WindowsHost, CtrlBreakLeavesTheOutputsAsTheyWere) {
  TempDir dir;
  const std::string tools = dir.File("tools");
  std::filesystem::create_directory(U8(tools));
  std::filesystem::copy_file(U8(FAKE_AX_BINARY), U8(tools + "\\ax.exe"));
  const std::string run = dir.File("run");
  std::filesystem::create_directory(U8(run));
  Write(run + "\\a.o", SmallObject("exported"));
  Write(run + "\\exports.o", "old export object");
  Write(run + "\\lib.a", "old library");
  testsupport::ProcessResult r = testsupport::RunProgram(
      BREAK_LAUNCHER_BINARY,
      {dir.File("marker"), PREPQDM_BINARY, "-o", "exports.o", "-xall", "-l", "lib.a", "-r", "Mod.qdm", "a.o"}, run,
      {"TOOLCHAIN_ROOT=" + tools, "AX_MARKER=" + dir.File("marker"), "AX_SLEEP_MS=120000"});
  if (r.exit_code == 77) GTEST_SKIP() << r.out;
  ASSERT_EQ(r.exit_code, 0) << r.out;
  const std::vector<std::pair<std::string, std::string>> outputs = {{"exports.o", "old export object"},
                                                                     {"lib.a", "old library"}};
  for (const auto& [name, old] : outputs) {
    if (std::filesystem::exists(U8(run + "\\" + name))) {
      EXPECT_EQ(Read(run + "\\" + name), old) << name;
    }
  }
  // The staged files (".<pid>.<n>.<target>") are gone.
  for (const auto& entry : std::filesystem::directory_iterator(U8(run))) {
    const std::string name = entry.path().filename().string();
    const bool output = std::any_of(outputs.begin(), outputs.end(), [&](const auto& o) { return o.first == name; });
    EXPECT_TRUE(name == "a.o" || output) << name << " left behind\n" << r.out;
  }
}
