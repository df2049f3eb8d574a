#include "platform/console.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/files.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace platform {
namespace {

int readKey(int timeoutMs) { return SystemConsole().readKey(timeoutMs); }

TEST(Cp850Test, GermanLettersBecomeUtf8) {
  EXPECT_EQ(cp850ToUtf8("gr\x94\xe1" "er \x84\x81\x8e\x99\x9a"), "größer äüÄÖÜ");
  EXPECT_EQ(cp850ToUtf8("plain ascii\n"), "plain ascii\n");
  EXPECT_EQ(cp850ToUtf8("\xb0\xff"), "\u2591\u00a0");
  EXPECT_EQ(cp850ToUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(Cp850Test, ValidUtf8PassesThrough) {
  // A UTF-8 file name inside a message is not mangled.
  EXPECT_EQ(cp850ToUtf8("file \"\xc3\xa4" "bc.txt\""), "file \"äbc.txt\"");
  EXPECT_EQ(cp850ToUtf8("\xe2\x82\xac"), "€");
  // Overlong forms and truncated sequences are CP850 bytes.
  EXPECT_EQ(cp850ToUtf8("\xc0\x80"), "\u2514\u00c7");
  EXPECT_EQ(cp850ToUtf8("\xe1"), "ß");
}

TEST(Cp850Test, RoundTripOfEveryHighByte) {
  std::string all;
  for (int c = 0x80; c <= 0xff; ++c) {
    all.push_back(static_cast<char>(c));
    all.push_back(' ');  // keeps neighbours from forming UTF-8 sequences
  }
  EXPECT_EQ(utf8ToCp850(cp850ToUtf8(all)), all);
  EXPECT_EQ(utf8ToCp850("größer"), "gr\x94\xe1" "er");
  EXPECT_EQ(utf8ToCp850("\xe2\x82\xac"), "?");
}

// Standard input replaced, for one test, by a pipe that the test writes
// into or by a file.
class StdinReplacement {
 public:
  // A pipe.
  StdinReplacement() {
#ifdef _WIN32
    HANDLE reader = nullptr;
    if (!CreatePipe(&reader, &writer_, nullptr, 0)) return;
    replace(reader);
#else
    int fds[2];
    if (::pipe(fds) != 0) return;
    writer_ = fds[1];
    replace(fds[0]);
#endif
  }
  // The file `path`.
  explicit StdinReplacement(const std::string& path) {
#ifdef _WIN32
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) replace(file);
#else
    const int fd = ::open(toNative(path).c_str(), O_RDONLY);
    if (fd >= 0) replace(fd);
#endif
  }
  ~StdinReplacement() {
    closeWriter();
    if (!ok_) return;
#ifdef _WIN32
    // The handle stays open: the console's reader thread may still be
    // about to read it, and a closed handle's value comes again for the
    // next test's file, which that thread would then read from.
    SetStdHandle(STD_INPUT_HANDLE, saved_);
#else
    ::dup2(saved_, 0);
    ::close(saved_);
#endif
  }
  StdinReplacement(const StdinReplacement&) = delete;
  StdinReplacement& operator=(const StdinReplacement&) = delete;

  bool ok() const { return ok_; }
  void send(const std::string& text) {
#ifdef _WIN32
    DWORD put = 0;
    WriteFile(writer_, text.data(), static_cast<DWORD>(text.size()), &put, nullptr);
#else
    if (::write(writer_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) ADD_FAILURE();
#endif
  }
  // The reader then sees the end of the input.
  void closeWriter() {
#ifdef _WIN32
    if (writer_ != nullptr) CloseHandle(writer_);
    writer_ = nullptr;
#else
    if (writer_ >= 0) ::close(writer_);
    writer_ = -1;
#endif
  }

 private:
#ifdef _WIN32
  void replace(HANDLE handle) {
    saved_ = GetStdHandle(STD_INPUT_HANDLE);
    ok_ = SetStdHandle(STD_INPUT_HANDLE, handle) != 0;
  }
  HANDLE saved_ = nullptr;
  HANDLE writer_ = nullptr;
#else
  void replace(int fd) {
    saved_ = ::dup(0);
    ok_ = saved_ >= 0 && ::dup2(fd, 0) == 0;
    ::close(fd);
  }
  int saved_ = -1;
  int writer_ = -1;
#endif
  bool ok_ = false;
};

TEST(ReadKeyTest, PipedAnswersComeOneCharacterAtATime) {
  StdinReplacement in;
  ASSERT_TRUE(in.ok());
  in.send("y\r\nn\n\n\r\xe4q");
  in.closeWriter();
  EXPECT_EQ(readKey(1000), 'y');
  EXPECT_EQ(readKey(1000), 'n') << "line ends are skipped";
  EXPECT_EQ(readKey(1000), 0xe4) << "bytes above 0x7f are not negative";
  EXPECT_EQ(readKey(-1), 'q');
  EXPECT_EQ(readKey(1000), -1) << "end of the input";
  EXPECT_EQ(readKey(-1), -1) << "no waiting for ever at the end";
}

TEST(ReadKeyTest, EmptyPipeTimesOutAndALateAnswerArrives) {
  StdinReplacement in;
  ASSERT_TRUE(in.ok());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(readKey(100), -1);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50)) << "it waited";
  in.send("\n");
  EXPECT_EQ(readKey(100), -1) << "a line end alone is no answer";

  std::thread late([&in] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    in.send("k");
  });
  EXPECT_EQ(readKey(10000), 'k');
  late.join();
  in.send("z");
  EXPECT_EQ(readKey(1000), 'z') << "input waiting in a pipe is not discarded";
}

TEST(ReadKeyTest, AnswersFromAFile) {
  const std::string path = ::testing::TempDir() + "readkey_answers.txt";
  SystemFileSystem fs;
  ASSERT_TRUE(fs.writeWholeFile(path, "\r\nab\r\n"));
  {
    StdinReplacement in(path);
    ASSERT_TRUE(in.ok());
    EXPECT_EQ(readKey(1000), 'a');
    EXPECT_EQ(readKey(1000), 'b');
    EXPECT_EQ(readKey(1000), -1);
  }
  fs.deleteFile(path);
}

}  // namespace
}  // namespace platform
