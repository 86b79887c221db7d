#include "services/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/platform.h"
#include "services/number_table.h"
#include "support/fixtures.h"

namespace {

namespace fs = std::filesystem;

class Files : public ::testing::Test {
 protected:
  void SetUp() override { reset_number_table(); }
  void TearDown() override {
    // Leave no descriptor behind for the next test.
    for (std::int16_t n = 1; n < 64; ++n) {
      ErrorNumber ignored = 0;
      if (NumberEntry* entry = find_number(n); entry != nullptr && entry->kind != NumberKind::tcp) {
        file_close(ignored, n);
      }
    }
    reset_number_table();
  }
  TempDir dir;
};

TEST_F(Files, OutputOverALongerFileLeavesNoTrace) {
  for (bool plain : {false, true}) {
    const std::string name = dir.file("save.htm");
    write_file(name, std::string(10000, 'x'));
    ErrorNumber error_code = 0;
    std::int16_t number = next_free_number();
    file_open_output(error_code, number, name, plain);
    file_write(error_code, number, std::string("ab\0c", 4));
    file_write_line_end(error_code, number);
    file_close(error_code, number);
    EXPECT_EQ(error_code, 0);
    EXPECT_EQ(read_file(name), std::string("ab\0c\r\n", 6)) << plain;
    EXPECT_EQ(find_number(number), nullptr);
  }
  // A new file gets 0666 less the umask.
  mode_t old_mask = umask(022);
  ErrorNumber error_code = 0;
  std::int16_t number = next_free_number();
  file_open_output(error_code, number, dir.file("new.txt"));
  file_close(error_code, number);
  umask(old_mask);
  struct stat info;
  ASSERT_EQ(stat((dir.file("new.txt")).c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0644u);
  EXPECT_EQ(error_code, 0);
}

TEST_F(Files, PlainFilesOnlyRefusesLinksAndFifos) {
  const std::string target = dir.file("target");
  write_file(target, "keep");
  ASSERT_EQ(symlink(target.c_str(), (dir.file("link")).c_str()), 0);
  ASSERT_EQ(symlink((dir.file("nowhere")).c_str(), (dir.file("dangling")).c_str()), 0);
  ASSERT_EQ(mkfifo((dir.file("fifo")).c_str(), 0600), 0);
  ASSERT_EQ(mkdir((dir.file("sub")).c_str(), 0700), 0);
  // A FIFO that has a reader opens at once, and must be refused all the same.
  ASSERT_EQ(mkfifo((dir.file("read_fifo")).c_str(), 0600), 0);
  int reader = open((dir.file("read_fifo")).c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  for (const char* name : {"link", "dangling", "fifo", "read_fifo", "sub"}) {
    ErrorNumber check_error = 0;
    file_check_output(check_error, dir.file(name), true);
    EXPECT_EQ(check_error, 70) << name;
    ErrorNumber error_code = 0;
    std::int16_t number = next_free_number();
    file_open_output(error_code, number, dir.file(name), true);
    EXPECT_EQ(error_code, 70) << name;
    EXPECT_EQ(find_number(number), nullptr) << name;
  }
  close(reader);
  EXPECT_EQ(read_file(target), "keep");
  EXPECT_FALSE(fs::exists(dir.file("nowhere")));

  // Without the restriction a link is followed, by the check too: to the
  // place where the open would create the file.
  ASSERT_EQ(symlink("no_dir/file", dir.file("lost").c_str()), 0);
  for (const auto& [name, number] : {std::pair{"dangling", 0}, std::pair{"lost", 76}}) {
    ErrorNumber check_error = 0;
    file_check_output(check_error, dir.file(name));
    EXPECT_EQ(check_error, number) << name;
  }
  ErrorNumber error_code = 0;
  std::int16_t number = next_free_number();
  file_open_output(error_code, number, dir.file("link"));
  file_write(error_code, number, "new");
  file_close(error_code, number);
  EXPECT_EQ(error_code, 0);
  EXPECT_EQ(read_file(target), "new");
}

TEST_F(Files, OpenFailuresRecordTheirNumbers) {
  write_file(dir.file("present"), "data");
  struct Case { std::string name; bool output; int error; };
  const Case cases[] = {
      {dir.file("missing"), false, 53},
      {dir.file("sub"), false, 70},
      {dir.file("no_dir/file"), true, 76},
      {dir.file("present/file"), true, 76},
      {dir.file("sub"), true, 70},
      {dir.file("fresh/"), true, 70},
      {"", false, 64},
      {"", true, 64},
      {dir.file("a*b"), true, 64},
      {dir.file("a?b"), false, 64},
  };
  ASSERT_EQ(mkdir((dir.file("sub")).c_str(), 0700), 0);
  for (const Case& c : cases) {
    ErrorNumber error_code = 0;
    std::int16_t number = next_free_number();
    if (c.output) {
      file_open_output(error_code, number, c.name);
    } else {
      file_open_read(error_code, number, c.name);
    }
    EXPECT_EQ(error_code, c.error) << c.name;
    EXPECT_EQ(find_number(number), nullptr) << c.name;
    // The check before connecting finds the same number, for either rule.
    for (bool plain : {false, true}) {
      ErrorNumber check_error = 0;
      if (c.output) file_check_output(check_error, c.name, plain);
      EXPECT_EQ(check_error, c.output ? c.error : 0) << c.name;
    }
  }
  // Reading never creates the file it looks for.
  EXPECT_FALSE(fs::exists(dir.file("missing")));
  EXPECT_EQ(list_directory(dir.path).size(), 2u);
  // The check passes an existing file and a free name, and changes neither.
  const auto written = fs::last_write_time(dir.file("present"));
  ErrorNumber error_code = 0;
  for (const char* name : {"present", "fresh"}) file_check_output(error_code, dir.file(name));
  EXPECT_EQ(error_code, 0);
  EXPECT_EQ(read_file(dir.file("present")), "data");
  EXPECT_EQ(fs::last_write_time(dir.file("present")), written);
  EXPECT_EQ(list_directory(dir.path), (std::vector<std::string>{"present", "sub"}));
}

TEST_F(Files, NumbersAreCheckedBeforeTheFileIsTouched) {
  const std::string name = dir.file("kept");
  write_file(name, "old content");
  ErrorNumber error_code = 0;
  std::int16_t number = next_free_number();
  file_open_read(error_code, number, name);
  ASSERT_EQ(error_code, 0);
  file_open_output(error_code, number, name);
  EXPECT_EQ(error_code, 55);
  error_code = 0;
  file_open_output(error_code, -3, name);
  EXPECT_EQ(error_code, 52);
  EXPECT_EQ(read_file(name), "old content");
}

TEST_F(Files, WritesGoOnlyToOutputFiles) {
  write_file(dir.file("input"), "abc");
  ErrorNumber error_code = 0;
  std::int16_t reading = next_free_number();
  file_open_read(error_code, reading, dir.file("input"));
  ASSERT_EQ(error_code, 0);
  file_write(error_code, reading, "x");
  EXPECT_EQ(error_code, 54);

  error_code = 0;
  file_write(error_code, 999, "x");
  EXPECT_EQ(error_code, 52);
  error_code = 0;
  char buffer[4];
  EXPECT_EQ(file_read(error_code, 999, buffer, sizeof buffer), 0u);
  EXPECT_EQ(error_code, 52);

  // A connection's number is not a file: writes, reads and closes fail 54.
  std::int16_t connection = next_free_number();
  ASSERT_NE(enter_number(error_code, connection, NumberKind::tcp, kNoFile), nullptr);
  error_code = 0;
  file_write(error_code, connection, "x");
  EXPECT_EQ(error_code, 54);
  error_code = 0;
  file_read(error_code, connection, buffer, sizeof buffer);
  EXPECT_EQ(error_code, 54);
  error_code = 0;
  file_close(error_code, connection);
  EXPECT_EQ(error_code, 54);
  EXPECT_NE(find_number(connection), nullptr);
  remove_number(connection);

  // Closing a number that is not open is no failure.
  error_code = 0;
  file_close(error_code, 999);
  EXPECT_EQ(error_code, 0);
  EXPECT_EQ(read_file(dir.file("input")), "abc");
}

TEST_F(Files, FullDeviceGives61) {
  ErrorNumber error_code = 0;
  std::int16_t number = next_free_number();
  file_open_output(error_code, number, "/dev/full");
  ASSERT_EQ(error_code, 0);
  file_write(error_code, number, "abc");
  EXPECT_EQ(error_code, 61);
  // A device is never cut, neither at the open nor at the close.
  error_code = 0;
  file_close(error_code, number);
  EXPECT_EQ(error_code, 0);
}

TEST_F(Files, CreateNewNeverGoesThroughWhatIsThere) {
  const std::string target = dir.file("target");
  write_file(target, "keep");
  write_file(dir.file("taken"), "mine");
  ASSERT_EQ(symlink(target.c_str(), (dir.file("link")).c_str()), 0);
  ASSERT_EQ(symlink((dir.file("nowhere")).c_str(), (dir.file("dangling")).c_str()), 0);
  for (const char* name : {"taken", "link", "dangling"}) {
    ErrorNumber error_code = 0;
    bool taken = false;
    std::int16_t number = next_free_number();
    file_create_unnamed(error_code, number, dir.file(name), taken);
    EXPECT_TRUE(taken) << name;
    EXPECT_EQ(error_code, 0) << name;
    EXPECT_EQ(find_number(number), nullptr) << name;
  }
  EXPECT_EQ(read_file(target), "keep");
  EXPECT_EQ(read_file(dir.file("taken")), "mine");
  EXPECT_FALSE(fs::exists(dir.file("nowhere")));

  mode_t old_mask = umask(0);
  ErrorNumber error_code = 0;
  bool taken = true;
  std::int16_t number = next_free_number();
  file_create_unnamed(error_code, number, dir.file("fresh"), taken);
  umask(old_mask);
  EXPECT_FALSE(taken);
  // The file has no name from the start, is its owner's only and reads back
  // through its own handle.
  EXPECT_FALSE(fs::exists(dir.file("fresh")));
  file_write(error_code, number, "body");
  struct stat info;
  ASSERT_EQ(fstat(static_cast<int>(file_handle(number).value), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_EQ(info.st_nlink, 0u);
  char back[8] = {};
  EXPECT_EQ(platform_read_at(error_code, file_handle(number), back, sizeof back, 0), 4u);
  EXPECT_EQ(std::string(back, 4), "body");
  file_close(error_code, number);
  EXPECT_EQ(error_code, 0);
  EXPECT_EQ(list_directory(dir.path), (std::vector<std::string>{"dangling", "link", "taken", "target"}));

  error_code = 0;
  file_create_unnamed(error_code, next_free_number(), dir.file("no_dir/fresh"), taken);
  EXPECT_EQ(error_code, 76);
  EXPECT_FALSE(taken);
}

TEST_F(Files, ScratchFileIsAnonymous) {
  ErrorNumber error_code = 0;
  FileHandle scratch = platform_open_scratch(error_code, dir.path);
  ASSERT_NE(scratch, kNoFile);
  EXPECT_EQ(list_directory(dir.path).size(), 0u);
  platform_write(error_code, scratch, "hello world", 11);
  char buffer[16] = {};
  EXPECT_EQ(platform_read_at(error_code, scratch, buffer, sizeof buffer, 6), 5u);
  EXPECT_EQ(std::string(buffer, 5), "world");
  EXPECT_EQ(platform_file_size(error_code, scratch), 11u);
  platform_close_file(scratch);
  EXPECT_EQ(error_code, 0);

  error_code = 0;
  EXPECT_EQ(platform_open_scratch(error_code, dir.file("missing")), kNoFile);
  EXPECT_NE(error_code, 0);
}

TEST_F(Files, CopyAppendsAtThePositionAsOneWrite) {
  std::string content(200000, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i % 251);
  ErrorNumber error_code = 0;
  FileHandle scratch = platform_open_scratch(error_code, dir.path);
  platform_write(error_code, scratch, content.data(), content.size());

  std::int16_t number = next_free_number();
  file_open_output(error_code, number, dir.file("copy"));
  file_write(error_code, number, "head:");
  platform_copy_file(error_code, scratch, 10, content.size() - 10, file_handle(number));
  file_write(error_code, number, ":tail");
  file_close(error_code, number);
  EXPECT_EQ(error_code, 0);
  EXPECT_EQ(read_file(dir.file("copy")), "head:" + content.substr(10) + ":tail");

  // Asking for more than the source holds is a failure, not a silent stop.
  std::int16_t second = next_free_number();
  file_open_output(error_code, second, dir.file("short"));
  platform_copy_file(error_code, scratch, content.size() - 4, 10, file_handle(second));
  EXPECT_EQ(error_code, 62);
  file_close(error_code, second);

  error_code = 0;
  std::int16_t full = next_free_number();
  file_open_output(error_code, full, "/dev/full");
  platform_copy_file(error_code, scratch, 0, 1000, file_handle(full));
  EXPECT_EQ(error_code, 61);
  file_close(error_code, full);
  platform_close_file(scratch);
}

}  // namespace
