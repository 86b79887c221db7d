// The bulk paths: a file sent on a connection in pieces read from it, and a
// large answer saved by giving its scratch file the save name.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "exchange/response.h"
#include "job/save.h"
#include "platform/platform.h"
#include "services/files.h"
#include "services/number_table.h"
#include "services/tcp.h"
#include "support/fixtures.h"
#include "support/scripted_server.h"

namespace {

// The save's outcome as its number.
ErrorNumber save_status(BodyStore& store) {
  Failure failure;
  save_response(failure, store);
  return failure.number;
}

// Whether a descriptor of this process is in non-blocking mode, from the
// flags the kernel shows for it (<fcntl.h> would clash with files.h).
bool non_blocking(SocketHandle socket) {
  std::string info = read_file("/proc/self/fdinfo/" + std::to_string(socket.value));
  std::size_t at = info.find("flags:");
  if (at == std::string::npos) return false;
  return (std::stoul(info.substr(at + 6), nullptr, 8) & 04000) != 0;  // O_NONBLOCK
}

mode_t mode_of(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

class SendFile : public ::testing::Test {
 protected:
  void SetUp() override { reset_number_table(); }
  void TearDown() override {
    for (std::int16_t number = 1; number <= 16; ++number) {
      ErrorNumber ignored = 0;
      tcp_close(ignored, number);
      file_close(ignored, number);
    }
    reset_number_table();
  }
  // Opens the file for reading under a number; its handle.
  FileHandle open_file(const std::string& path) {
    file_number = next_free_number();
    ErrorNumber error_code = 0;
    file_open_read(error_code, file_number, path);
    EXPECT_EQ(error_code, 0);
    return file_handle(file_number);
  }
  TempDir dir;
  std::int16_t file_number = 0;
};

TEST_F(SendFile, ExactBytesFromAnyOffset) {
  const std::string content = pattern(3 * 131072 + 4097);
  write_file(dir.file("data"), content);
  FileHandle file = open_file(dir.file("data"));
  struct Case { std::size_t offset; std::size_t size; };
  const Case cases[] = {
      {0, content.size()}, {1, 200000}, {131071, 131073}, {content.size() - 1, 1}, {0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.offset) + "+" + std::to_string(c.size));
    ScriptedServer server({.when = AnswerWhen::never});
    ASSERT_TRUE(server.ok()) << server.failure();
    ErrorNumber error_code = 0;
    std::int16_t number = next_free_number();
    tcp_open(error_code, number, "127.0.0.1", server.port(), {3000, 0}, "");
    tcp_send_file(error_code, number, file, c.offset, c.size);
    EXPECT_EQ(error_code, 0);
    // The socket never waits by itself: every wait is a bounded one.
    NumberEntry* entry = find_number(number);
    ASSERT_NE(entry, nullptr);
    EXPECT_TRUE(non_blocking(entry->connection->socket));
    tcp_send(error_code, number, "end");
    tcp_close(error_code, number);
    ASSERT_TRUE(server.wait_done(10000));
    EXPECT_TRUE(server.request() == content.substr(c.offset, c.size) + "end")
        << server.request().size();
  }
}

TEST_F(SendFile, FileShorterThanAskedFailsWith62AfterItsBytes) {
  write_file(dir.file("data"), pattern(5000));
  FileHandle file = open_file(dir.file("data"));
  ScriptedServer server({.when = AnswerWhen::never});
  ASSERT_TRUE(server.ok()) << server.failure();
  ErrorNumber error_code = 0;
  std::int16_t number = next_free_number();
  tcp_open(error_code, number, "127.0.0.1", server.port(), {3000, 0}, "");
  tcp_send_file(error_code, number, file, 100, 10000);
  EXPECT_EQ(error_code, 62);
  tcp_close(error_code, number);
  ASSERT_TRUE(server.wait_done(5000));
  EXPECT_EQ(server.request(), pattern(5000).substr(100));
}

TEST_F(SendFile, PeerThatNeverReadsTimesOut) {
  // A listener that never accepts: the connection completes in the backlog
  // and nobody reads, so the buffers fill and the wait for room times out.
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
  write_file(dir.file("data"), std::string(32u << 20, 'x'));
  FileHandle file = open_file(dir.file("data"));

  ErrorNumber error_code = 0;
  std::int16_t number = next_free_number();
  tcp_open(error_code, number, "127.0.0.1", ntohs(address.sin_port), {300, 0}, "");
  ASSERT_EQ(error_code, 0);
  std::uint64_t started = platform_monotonic_milliseconds();
  tcp_send_file(error_code, number, file, 0, 32u << 20);
  std::uint64_t took = platform_monotonic_milliseconds() - started;
  EXPECT_EQ(error_code, 24);
  EXPECT_GE(took, 290u);
  EXPECT_LT(took, 5000u);
  tcp_close(error_code, number);
  close(listener);
}

TEST_F(SendFile, NumbersThatAreNoConnection) {
  write_file(dir.file("data"), "abc");
  FileHandle file = open_file(dir.file("data"));
  ErrorNumber error_code = 0;
  tcp_send_file(error_code, 99, file, 0, 3);
  EXPECT_EQ(error_code, 52);
  error_code = 0;
  tcp_send_file(error_code, file_number, file, 0, 3);
  EXPECT_EQ(error_code, 54);
}

// A store for save_name holding body, moved on to a file as a larger body
// would be.
BodyStore large_store(const std::string& save_name, bool plain_files_only, const std::string& body,
                      const std::string& temp = "/tmp") {
  BodyStore store = body_store(save_name, plain_files_only, true, temp);
  store_expect(store, kMemoryLimit + 1);
  store_append(store, body.data(), body.size());
  store_flush(store);
  return store;
}

class LargeBodySave : public ::testing::Test {
 protected:
  void SetUp() override { reset_number_table(); }
  TempDir dir;
  const std::string body = pattern(300000);
};

TEST_F(LargeBodySave, StoreTakesOrRewritesTheSaveFile) {
  const mode_t mask = umask(022);
  // A new name is given to the unnamed file itself; an existing file is
  // rewritten in place as the body arrives, keeping its inode and mode.
  struct Case { const char* name; const char* old_content; mode_t old_mode; mode_t expected_mode; };
  const Case cases[] = {
      {"new.bin", nullptr, 0, 0644},
      {"old.bin", "old content that is longer than the answer's first line", 0640, 0640},
      {"private.bin", "x", 0600, 0600},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = dir.file(c.name);
    if (c.old_content != nullptr) {
      write_file(name, c.old_content);
      chmod(name.c_str(), c.old_mode);
    }
    struct stat before = {};
    if (c.old_content != nullptr) {
      ASSERT_EQ(stat(name.c_str(), &before), 0);
    }
    BodyStore store = large_store(name, false, body);
    EXPECT_EQ(store.place, c.old_content != nullptr ? StorePlace::save_file : StorePlace::unnamed);
    // Until it is saved a new file has no name at all; an existing one
    // already holds the body.
    if (c.old_content == nullptr) {
      EXPECT_FALSE(file_exists(name));
    } else {
      EXPECT_TRUE(read_file(name) == body);
    }
    EXPECT_EQ(save_status(store), 0);
    struct stat held, saved;
    ASSERT_EQ(fstat(static_cast<int>(store.file.value), &held), 0);
    ASSERT_EQ(stat(name.c_str(), &saved), 0);
    EXPECT_EQ(saved.st_ino, c.old_content == nullptr ? held.st_ino : before.st_ino);
    release_store(store);
    EXPECT_TRUE(read_file(name) == body + "\r\n");
    EXPECT_EQ(mode_of(name), c.expected_mode);
  }
  EXPECT_EQ(list_directory(dir.path),
            (std::vector<std::string>{"new.bin", "old.bin", "private.bin"}));
  umask(mask);
}

TEST_F(LargeBodySave, SharedAndLinkedFilesAreWrittenInPlace) {
  // A second hard link must see the new content: the file is rewritten.
  write_file(dir.file("a"), "old");
  ASSERT_EQ(link(dir.file("a").c_str(), dir.file("b").c_str()), 0);
  struct stat before, after;
  ASSERT_EQ(stat(dir.file("a").c_str(), &before), 0);
  BodyStore store = large_store(dir.file("a"), false, body);
  EXPECT_EQ(save_status(store), 0);
  release_store(store);
  ASSERT_EQ(stat(dir.file("a").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_TRUE(read_file(dir.file("b")) == body + "\r\n");

  // A symbolic link stays a link; its target receives the answer.
  write_file(dir.file("target"), "old");
  ASSERT_EQ(symlink(dir.file("target").c_str(), dir.file("link").c_str()), 0);
  store = large_store(dir.file("link"), false, body);
  EXPECT_EQ(save_status(store), 0);
  release_store(store);
  struct stat info;
  ASSERT_EQ(lstat(dir.file("link").c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  EXPECT_TRUE(read_file(dir.file("target")) == body + "\r\n");

  // The generated default name never goes through a link: the body waits in
  // a scratch file, the save fails and the target stays as it was.
  write_file(dir.file("target"), "kept");
  store = large_store(dir.file("link"), true, body, dir.path);
  EXPECT_EQ(store.place, StorePlace::scratch);
  EXPECT_EQ(save_status(store), 70);
  release_store(store);
  EXPECT_EQ(read_file(dir.file("target")), "kept");
  EXPECT_EQ(list_directory(dir.path), (std::vector<std::string>{"a", "b", "link", "target"}));
}

TEST_F(LargeBodySave, NoUnnamedFileBesideWhatIsNoPlainFile) {
  ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
  for (const std::string& name : {std::string("/dev/null"), dir.file("sub"),
                                  dir.file("missing/answer.txt")}) {
    EXPECT_EQ(platform_open_unnamed_beside(name), kNoFile) << name;
  }
  // A device is no place for the body on its way: it waits in a scratch
  // file and is copied at the end, as a small one would be written.
  BodyStore store = large_store("/dev/null", false, body, dir.path);
  EXPECT_EQ(store.place, StorePlace::scratch);
  EXPECT_EQ(save_status(store), 0);
  release_store(store);
  // An unnamed body file is copied to a name taken meanwhile.
  store = large_store(dir.file("copied"), false, body, dir.path);
  write_file(dir.file("copied"), "taken meanwhile");
  EXPECT_EQ(save_status(store), 0);
  release_store(store);
  EXPECT_TRUE(read_file(dir.file("copied")) == body + "\r\n");
  EXPECT_EQ(list_directory(dir.path), (std::vector<std::string>{"copied", "sub"}));
}

}  // namespace
