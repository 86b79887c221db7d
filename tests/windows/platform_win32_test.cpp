// The Win32 backend's files and paths, on the real Windows API (run under
// Wine by scripts/test-windows.sh).
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "job/job_settings.h"
#include "platform/environment.h"
#include "platform/platform.h"
#include "platform/profile_text.h"
#include "services/random.h"
#include "settings/settings.h"
#include "support/fixtures.h"

namespace {

// Windows' own form of a test path: backslashes throughout.
std::string windows_path(const std::string& path) {
  std::string text = path;
  for (char& c : text) {
    if (c == '/') c = '\\';
  }
  return text;
}

TEST(Win32Locale, AnsiCodePageIs1252) {
  // The byte-for-byte settings comparisons assume Windows-1252.
  EXPECT_EQ(GetACP(), 1252u);
}

TEST(Win32Paths, SettingsFileNames) {
  struct Case { std::string directory; std::string name; };
  const Case cases[] = {
      {"", "RAVELOK.INI"},
      {"D:", "D:RAVELOK.INI"},
      {"D:\\", "D:\\RAVELOK.INI"},
      {"D:\\jobs", "D:\\jobs\\RAVELOK.INI"},
      {"D:\\jobs\\", "D:\\jobs\\RAVELOK.INI"},
      {"D:\\jobs/", "D:\\jobs/RAVELOK.INI"},
      {"jobs", "jobs\\RAVELOK.INI"},
      {"\\\\server\\share", "\\\\server\\share\\RAVELOK.INI"},
      // Never shortened, however long: the job refuses a name that does not fit.
      {"C:\\" + std::string(300, 'd'), "C:\\" + std::string(300, 'd') + "\\RAVELOK.INI"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(platform_settings_file_name(c.directory), c.name) << c.directory;
  }
  // The ANSI calls take 259 bytes and the NUL; a relative name counts with
  // the current directory it is resolved against.
  const std::string here = windows_path(std::filesystem::current_path().string());
  const std::size_t relative_room = 259 - here.size() - 1;
  struct Fit { std::string name; bool fits; };
  const Fit fits[] = {
      {"C:\\" + std::string(256, 'n'), true},
      {"C:\\" + std::string(257, 'n'), false},
      {std::string(relative_room, 'r'), true},
      {std::string(relative_room + 1, 'r'), false},
      {std::string("C:\\a\0b", 6), false},
      {"RAVELOK.INI", true},
  };
  for (const Fit& f : fits) {
    EXPECT_EQ(platform_name_fits(f.name), f.fits) << f.name.size() << " bytes";
  }
  EXPECT_EQ(platform_separator(), '\\');
  for (const char* ends : {"C:", "C:\\", "a/", "a\\"}) EXPECT_TRUE(platform_ends_with_separator(ends));
  for (const char* not_ends : {"", "a", "C:\\a", "a."}) {
    EXPECT_FALSE(platform_ends_with_separator(not_ends)) << not_ends;
  }
}

// Runs the body with the current directory moved to directory.
class InDirectory {
 public:
  explicit InDirectory(const std::string& directory) : kept_(std::filesystem::current_path()) {
    std::filesystem::current_path(directory);
  }
  ~InDirectory() { std::filesystem::current_path(kept_); }

 private:
  std::filesystem::path kept_;
};

TEST(Win32Paths, NamesWithoutDirectoryReadTheCurrentDirectory) {
  // GetPrivateProfileStringA alone would look a bare name up in the Windows
  // directory: a file there must never be read instead.
  char windows_directory[MAX_PATH];
  ASSERT_GT(GetWindowsDirectoryA(windows_directory, sizeof windows_directory), 0u);
  const std::string decoy = std::string(windows_directory) + "\\RAVELOK.INI";
  ASSERT_TRUE(write_file(decoy, "[URL]\r\nSite=decoy\r\n"));
  TempDir jobs;
  ASSERT_TRUE(write_file(jobs.file("RAVELOK.INI"), "[URL]\r\nSite=here\r\n"));
  {
    InDirectory inside(jobs.path);
    std::string current = platform_current_directory();
    ASSERT_GE(current.size(), 2u);
    EXPECT_EQ(current, windows_path(std::filesystem::current_path().string()));
    // No argument, an empty one, and the current drive alone ("Z:" gives
    // "Z:RAVELOK.INI", the current directory of that drive).
    for (const std::string& directory : {current, std::string(), current.substr(0, 2)}) {
      EXPECT_EQ(read_setting(platform_settings_file_name(directory), "URL", "Site"), "here")
          << directory;
    }
  }
  // With backslashes, and with a separator already at the end.
  const std::string backslashed = windows_path(jobs.path);
  for (const std::string& directory : {backslashed, backslashed + "\\", backslashed + "/"}) {
    EXPECT_EQ(read_setting(platform_settings_file_name(directory), "URL", "Site"), "here")
        << directory;
  }
  DeleteFileA(decoy.c_str());
}

// The profile calls list what the portable reader lists for the same bytes
// (comments left out, repeats kept), a list far past the first room whole.
TEST(Win32Profile, ListingsMatchThePortableReader) {
  TempDir dir;
  const std::string name = dir.file("RAVELOK.INI");
  std::string big = "[Vars]\r\n";
  for (int n = 1; n <= 40000; ++n) big += std::to_string(n) + "=v\r\n";
  for (const std::string& bytes :
       {std::string("[URL]\r\nSite=x\r\nsite=y\r\n;c=1\r\nnoeq\r\n=e\r\n [ Vars ] \r\n"
                    "2=a\r\n1=b\r\n[url]\r\nk=v\r\n[Other]\r\n"),
        big}) {
    ASSERT_TRUE(write_file(name, bytes));
    const ProfileIndex index = profile_parse(bytes);
    const std::vector<std::string> sections = platform_profile_section_names(name);
    EXPECT_EQ(sections, profile_section_names(index));
    for (const std::string& section : sections) {
      EXPECT_EQ(platform_profile_key_names(section, name), profile_key_names(index, section))
          << section;
    }
  }
  EXPECT_EQ(platform_profile_key_names("Vars", name).size(), 40000u);
  EXPECT_TRUE(platform_profile_section_names(dir.file("missing.ini")).empty());
}

TEST(Win32Paths, DefaultSaveNameFromTemp) {
  TempDir jobs;
  ASSERT_TRUE(write_file(jobs.file("RAVELOK.INI"), "[URL]\r\nSite=x\r\nShow=1\r\n"));
  CommandLine arguments;
  arguments.arguments = {windows_path(jobs.path)};
  arguments.count = 1;
  struct Case { const char* temp; std::string save; };
  const Case cases[] = {
      {"C:\\TMP", "C:\\TMP\\96862006.HTM"},
      {"C:\\TMP\\", "C:\\TMP\\\\96862006.HTM"},  // both backslashes kept
      {nullptr, "\\96862006.HTM"},               // the root of the current drive
  };
  char kept[MAX_PATH];
  DWORD kept_length = GetEnvironmentVariableA("TEMP", kept, sizeof kept);
  for (const Case& c : cases) {
    SetEnvironmentVariableA("TEMP", c.temp);
    environment_snapshot();
    random_reset();
    JobSettings job = read_job_settings(arguments);
    EXPECT_EQ(job.settings_file, windows_path(jobs.path) + "\\RAVELOK.INI");
    EXPECT_EQ(job.save, c.save) << (c.temp != nullptr ? c.temp : "(unset)");
    EXPECT_TRUE(job.default_save_name);
  }
  SetEnvironmentVariableA("TEMP", kept_length > 0 && kept_length < sizeof kept ? kept : nullptr);
  environment_snapshot();
}

// ------------------------------------------------------------------ files

TEST(Win32Files, OpenFailuresRecordTheirNumbers) {
  TempDir scratch;
  ASSERT_TRUE(std::filesystem::create_directory(scratch.file("dir")));
  struct Case { const char* what; std::string name; int mode; int number; };
  // mode 0: open for reading; 1: create unnamed; 2: open for output;
  // 3: open for output, plain files only. A name that does not fit whole
  // is refused (75), never opened shortened.
  const std::string long_name = scratch.file(std::string(300, 'x'));
  const Case cases[] = {
      {"missing file", scratch.file("missing.txt"), 0, 53},
      {"name over 259 bytes", long_name, 0, 75},
      {"create a name over 259 bytes", long_name.substr(0, long_name.size() - 4) + ".TMP", 1, 75},
      {"output under a name over 259 bytes", long_name, 2, 75},
      {"name cut short by a NUL", scratch.file("dir") + std::string("\0x", 2), 0, 75},
      {"missing directory", scratch.file("no/such.txt"), 0, 76},
      {"a directory", scratch.file("dir"), 0, 70},
      {"create in a missing directory", scratch.file("no/new.txt"), 1, 76},
      {"output in a missing directory", scratch.file("no/out.txt"), 2, 76},
      {"output onto a directory", scratch.file("dir"), 2, 70},
      {"plain output onto a directory", scratch.file("dir"), 3, 70},
      {"plain output onto a device", "NUL", 3, 70},
  };
  std::string previous_reason;
  int previous_number = 0;
  for (const Case& c : cases) {
    // The check before connecting finds what the output open finds.
    ErrorNumber check_error = 0;
    if (c.mode >= 2) platform_check_output(check_error, c.name, c.mode == 3);
    EXPECT_EQ(check_error, c.mode >= 2 ? c.number : 0) << c.what;
    ErrorNumber error_code = 0;
    bool taken = false;
    FileHandle handle = kNoFile;
    switch (c.mode) {
      case 0: handle = platform_open_read(error_code, c.name); break;
      case 1: handle = platform_create_unnamed(error_code, c.name, taken); break;
      default: handle = platform_open_output(error_code, c.name, c.mode == 3); break;
    }
    EXPECT_EQ(handle, kNoFile) << c.what;
    EXPECT_EQ(error_code, c.number) << c.what;
    EXPECT_FALSE(taken) << c.what;
    // The system's own words, without the line end and the period.
    const std::string reason = platform_failure_reason();
    ASSERT_FALSE(reason.empty()) << c.what;
    EXPECT_EQ(std::string("\r\n.").find(reason.back()), std::string::npos) << reason;
    // Each row's own failure, not one left by an earlier call.
    if (c.number != previous_number) {
      EXPECT_NE(reason, previous_reason) << c.what;
    }
    previous_reason = reason;
    previous_number = c.number;
    if (handle != kNoFile) platform_close_file(handle);
  }
  // Reading never creates what it does not find.
  EXPECT_FALSE(file_exists(scratch.file("missing.txt")));
  EXPECT_EQ(list_directory(scratch.path), std::vector<std::string>{"dir"});

  // The check passes an existing file and a free name and changes neither;
  // it refuses a file another program holds open without sharing it (70),
  // as the save's own open would.
  const std::string present = scratch.file("present.txt");
  ASSERT_TRUE(write_file(present, "data"));
  const auto written = std::filesystem::last_write_time(present);
  ErrorNumber error_code = 0;
  for (const std::string& name : {present, scratch.file("fresh.txt")}) {
    platform_check_output(error_code, name, false);
  }
  EXPECT_EQ(error_code, 0);
  EXPECT_EQ(std::filesystem::last_write_time(present), written);
  EXPECT_EQ(list_directory(scratch.path), (std::vector<std::string>{"dir", "present.txt"}));
  HANDLE held = CreateFileA(present.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            0, nullptr);
  platform_check_output(error_code, present, false);
  EXPECT_EQ(error_code, 70);
  CloseHandle(held);
}

TEST(Win32Files, CreateUnnamedNeverReusesANameAndVanishes) {
  TempDir scratch;
  ASSERT_TRUE(write_file(scratch.file("taken.TMP"), "keep"));
  ASSERT_TRUE(std::filesystem::create_directory(scratch.file("dir.TMP")));
  ErrorNumber error_code = 0;
  bool taken = true;
  FileHandle handle = platform_create_unnamed(error_code, scratch.file("new.TMP"), taken);
  ASSERT_NE(handle, kNoFile);
  EXPECT_FALSE(taken);
  // An existing file, a directory, and the open body file itself.
  for (const char* name : {"taken.TMP", "dir.TMP", "new.TMP"}) {
    ErrorNumber refused = 0;
    taken = false;
    EXPECT_EQ(platform_create_unnamed(refused, scratch.file(name), taken), kNoFile) << name;
    EXPECT_TRUE(taken) << name;
    EXPECT_EQ(refused, 0) << name;
  }
  EXPECT_EQ(read_file(scratch.file("taken.TMP")), "keep");

  // Written, then read back from the same handle at offsets, the position
  // left at the end for further writes.
  std::string body;
  for (int i = 0; i < 200000; ++i) body.push_back(static_cast<char>(i * 31 % 251));
  platform_write(error_code, handle, body.data(), body.size());
  struct Piece { std::uint64_t offset; std::size_t size; std::size_t got; };
  const Piece pieces[] = {{0, 10, 10}, {199990, 100, 10}, {200000, 8, 0}, {1ull << 33, 8, 0},
                          {131072, 5000, 5000}};
  for (const Piece& p : pieces) {
    char buffer[5000];
    std::size_t got = platform_read_at(error_code, handle, buffer, p.size, p.offset);
    ASSERT_EQ(got, p.got) << p.offset;
    EXPECT_TRUE(got == 0 || std::string(buffer, got) == body.substr(p.offset, got)) << p.offset;
  }
  platform_write(error_code, handle, "END", 3);
  EXPECT_EQ(platform_file_size(error_code, handle), body.size() + 3);
  EXPECT_EQ(error_code, 0);

  // Nobody else opens it while it is open, not even to read.
  const std::string name = scratch.file("new.TMP");
  HANDLE other = CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE |
                             FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(other, INVALID_HANDLE_VALUE);
  if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
  platform_close_file(handle);
  EXPECT_FALSE(file_exists(name));
  EXPECT_EQ(list_directory(scratch.path), (std::vector<std::string>{"dir.TMP", "taken.TMP"}));
}

TEST(Win32Files, OutputCutsDiskFilesAndWritesDevicesAsTheyAre) {
  TempDir scratch;
  const std::string name = scratch.file("out.txt");
  ASSERT_TRUE(write_file(name, std::string(100, 'o')));
  for (bool plain : {false, true}) {
    ErrorNumber error_code = 0;
    FileHandle handle = platform_open_output(error_code, name, plain);
    ASSERT_NE(handle, kNoFile);
    EXPECT_TRUE(platform_is_disk_file(handle));
    EXPECT_EQ(platform_file_size(error_code, handle), 0u);
    platform_write(error_code, handle, "abc\r\n", 5);
    platform_cut_at_position(error_code, handle);
    platform_close_file(handle);
    EXPECT_EQ(error_code, 0);
    EXPECT_EQ(read_file(name), "abc\r\n");
  }
  ErrorNumber error_code = 0;
  FileHandle device = platform_open_output(error_code, "NUL", false);
  ASSERT_NE(device, kNoFile);
  EXPECT_FALSE(platform_is_disk_file(device));
  platform_write(error_code, device, "gone", 4);
  platform_close_file(device);
  EXPECT_EQ(error_code, 0);

  // A handle open for reading takes no writes.
  FileHandle reading = platform_open_read(error_code, name);
  ASSERT_NE(reading, kNoFile);
  platform_write(error_code, reading, "x", 1);
  EXPECT_EQ(error_code, 70);
  platform_close_file(reading);
  EXPECT_EQ(read_file(name), "abc\r\n");
}

TEST(Win32Files, ScratchFileCopiesAndVanishes) {
  TempDir scratch;
  ErrorNumber error_code = 0;
  FileHandle file = platform_open_scratch(error_code, windows_path(scratch.path));
  ASSERT_NE(file, kNoFile) << int{error_code};
  EXPECT_EQ(list_directory(scratch.path).size(), 1u);
  // More than one copy piece, with every byte value.
  std::string data;
  for (int i = 0; i < (3 << 20) + 17; ++i) data.push_back(static_cast<char>((i * 7 + i / 251) & 0xFF));
  platform_write(error_code, file, data.data(), data.size());
  EXPECT_EQ(platform_file_size(error_code, file), data.size());

  // Reading at an offset leaves the position where it was.
  char piece[10];
  EXPECT_EQ(platform_read_at(error_code, file, piece, sizeof piece, 1000), sizeof piece);
  EXPECT_EQ(std::string(piece, sizeof piece), data.substr(1000, 10));
  platform_write(error_code, file, "END", 3);
  data += "END";

  const std::string target = scratch.file("saved.bin");
  FileHandle out = platform_open_output(error_code, target, false);
  ASSERT_NE(out, kNoFile);
  platform_write(error_code, out, "<", 1);
  platform_copy_file(error_code, file, 5, data.size() - 5, out);
  platform_close_file(out);
  EXPECT_EQ(error_code, 0);
  EXPECT_TRUE(read_file(target) == "<" + data.substr(5)) << "copy differs";

  // Asking for more than the file holds is an end of file (62).
  ErrorNumber short_copy = 0;
  FileHandle again = platform_open_output(short_copy, scratch.file("short.bin"), false);
  platform_copy_file(short_copy, file, data.size() - 2, 10, again);
  platform_close_file(again);
  EXPECT_EQ(short_copy, 62);
  EXPECT_EQ(read_file(scratch.file("short.bin")), "ND");

  platform_close_file(file);
  EXPECT_EQ(list_directory(scratch.path), (std::vector<std::string>{"saved.bin", "short.bin"}));
}

TEST(Win32Files, UnnamedFileBesideIsGivenTheFreeNameWhole) {
  TempDir scratch;
  const std::string name = scratch.file("answer.htm");
  FileHandle file = platform_open_unnamed_beside(name);
  ASSERT_NE(file, kNoFile);
  // Until it is given the name nothing bears it; the file itself is hidden
  // and nobody else can open it.
  EXPECT_FALSE(file_exists(name));
  std::vector<std::string> before = list_directory(scratch.path);
  ASSERT_EQ(before.size(), 1u);
  const std::string own = scratch.file(before[0]);
  DWORD attributes = GetFileAttributesA(own.c_str());
  EXPECT_NE(attributes & FILE_ATTRIBUTE_HIDDEN, 0u);
  HANDLE other = CreateFileA(own.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE |
                             FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(other, INVALID_HANDLE_VALUE);
  if (other != INVALID_HANDLE_VALUE) CloseHandle(other);

  std::string data;
  for (int i = 0; i < (3 << 20) + 5; ++i) data.push_back(static_cast<char>((i * 13 + i / 509) & 0xFF));
  ErrorNumber error_code = 0;
  platform_write(error_code, file, data.data(), data.size());
  // A scratch file (deleted when closed) is never given a name.
  FileHandle scratch_file = platform_open_scratch(error_code, windows_path(scratch.path));
  ASSERT_NE(scratch_file, kNoFile);
  EXPECT_FALSE(platform_give_name(scratch_file, scratch.file("scratch.htm"), false));
  platform_close_file(scratch_file);

  ASSERT_TRUE(platform_give_name(file, name, false));
  EXPECT_TRUE(file_exists(name));
  EXPECT_FALSE(file_exists(own));
  // The save goes on writing through the same handle.
  platform_write(error_code, file, "\r\n", 2);
  EXPECT_EQ(error_code, 0);
  platform_close_file(file);
  EXPECT_TRUE(read_file(name) == data + "\r\n") << "content differs";
  attributes = GetFileAttributesA(name.c_str());
  EXPECT_EQ(attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY), 0u);
  EXPECT_EQ(list_directory(scratch.path), (std::vector<std::string>{"answer.htm"}));
}

TEST(Win32Files, UnnamedFileBesideLeavesATakenNameAndVanishes) {
  TempDir scratch;
  ASSERT_TRUE(std::filesystem::create_directory(scratch.file("sub")));
  // Beside a directory, a device or a missing directory there is no file.
  for (const std::string& name : {scratch.file("sub"), std::string("NUL"),
                                  scratch.file("missing\\answer.htm"),
                                  "C:\\" + std::string(300, 'n')}) {
    EXPECT_EQ(platform_open_unnamed_beside(name), kNoFile) << name;
  }
  // Beside an existing save file there is none: it is rewritten in place,
  // copied from the scratch file.
  const std::string name = scratch.file("answer.htm");
  ASSERT_TRUE(write_file(name, "old"));
  EXPECT_EQ(platform_open_unnamed_beside(name), kNoFile);
  // A name that comes into being meanwhile is never replaced: the rename is
  // refused and the file stays unnamed, to be copied from.
  const std::string later = scratch.file("later.htm");
  FileHandle file = platform_open_unnamed_beside(later);
  ASSERT_NE(file, kNoFile);
  ErrorNumber error_code = 0;
  platform_write(error_code, file, "new", 3);
  ASSERT_TRUE(write_file(later, "first"));
  EXPECT_FALSE(platform_give_name(file, later, false));
  EXPECT_EQ(read_file(later), "first");
  char back[3];
  EXPECT_EQ(platform_read_at(error_code, file, back, sizeof back, 0), 3u);
  EXPECT_EQ(std::string(back, 3), "new");
  EXPECT_EQ(list_directory(scratch.path).size(), 4u);
  // Closed without a name, the file is gone.
  platform_close_file(file);
  EXPECT_EQ(error_code, 0);
  EXPECT_EQ(list_directory(scratch.path),
            (std::vector<std::string>{"answer.htm", "later.htm", "sub"}));
}

}  // namespace

// The system's WinHTTP proxy setting: the value `netsh winhttp set proxy`
// writes (a header of three DWORDs, 0x18, a counter and the flags, then the
// proxy list and the bypass list, each after its length), read back through
// WinHttpGetDefaultProxyConfiguration and chosen only when no proxy
// variable is set; gone again, nothing is read. Skipped where the machine's
// settings may not be written (Windows without administrator rights).
TEST(Win32Proxy, SystemSettingReadAndChosen) {
  for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "no_proxy", "NO_PROXY"}) {
    SetEnvironmentVariableA(name, nullptr);
  }
  environment_snapshot();
  std::string proxy = "x";
  std::string bypass = "x";
  const bool before = platform_system_proxy(proxy, bypass);
  if (before) GTEST_SKIP() << "this machine has a WinHTTP proxy of its own: " << proxy;
  EXPECT_EQ(proxy + bypass, "");

  HKEY key = nullptr;
  DWORD made = 0;
  const char* path = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, &made) != ERROR_SUCCESS) {
    GTEST_SKIP() << "the machine's settings cannot be written here";
  }
  const std::string list = "http=127.0.0.1:3128;https=127.0.0.1:3129";
  const std::string skip = "<local>;*.example.com";
  std::string value(12, '\0');
  value[0] = 0x18;
  value[8] = 3;  // a proxy, not only direct
  for (const std::string* text : {&list, &skip}) {
    const DWORD size = static_cast<DWORD>(text->size());
    value.append(reinterpret_cast<const char*>(&size), 4);
    value += *text;
  }
  ASSERT_EQ(RegSetValueExA(key, "WinHttpSettings", 0, REG_BINARY, reinterpret_cast<const BYTE*>(value.data()),
                           static_cast<DWORD>(value.size())), ERROR_SUCCESS);
  const bool read = platform_system_proxy(proxy, bypass);
  Failure failure;
  const ProxyRoute secure = choose_proxy(failure, ProxySetting(), true, "files.example.org", 443);
  const ProxyRoute bypassed = choose_proxy(failure, ProxySetting(), false, "www.example.com", 80);
  const ProxyRoute local = choose_proxy(failure, ProxySetting(), false, "intranet", 80);
  SetEnvironmentVariableA("http_proxy", "");
  environment_snapshot();
  // A variable set, even to nothing, leaves the system's setting aside.
  const ProxyRoute set_aside = choose_proxy(failure, ProxySetting(), true, "files.example.org", 443);
  SetEnvironmentVariableA("http_proxy", nullptr);
  environment_snapshot();
  RegDeleteValueA(key, "WinHttpSettings");
  RegCloseKey(key);
  if (made == REG_CREATED_NEW_KEY) RegDeleteKeyA(HKEY_LOCAL_MACHINE, path);
  EXPECT_TRUE(read);
  EXPECT_EQ(proxy, list);
  EXPECT_EQ(bypass, skip);
  EXPECT_EQ(failure.number, 0);
  EXPECT_EQ(secure.host + ":" + std::to_string(secure.port), "127.0.0.1:3129");
  EXPECT_EQ(bypassed.host, "");
  EXPECT_EQ(local.host, "");
  EXPECT_EQ(set_aside.host, "");
  EXPECT_FALSE(platform_system_proxy(proxy, bypass));
}
