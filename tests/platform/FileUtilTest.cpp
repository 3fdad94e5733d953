#include "platform/FileUtil.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "journal/JournalTestUtil.h"
#include "platform/FileTestSupport.h"

namespace orvela {
namespace {

namespace fs = std::filesystem;
using testing_journal::TTempFolder;

using TBytes = std::vector<uint8_t>;

TBytes Pattern(size_t size, uint8_t seed) {
  TBytes out(size);
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
  return out;
}

std::string Text(const TBytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

std::set<std::string> Names(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.insert(e.path().filename().string());
  return names;
}

unsigned Mode(const fs::path& p) {
  struct stat st {};
  ::lstat(p.c_str(), &st);
  return st.st_mode & 07777;
}

// Sizes differ so that a mix of the two, or a file cut short, cannot pass for either.
struct TTwoContents {
  TBytes a = Pattern(200000, 1), b = Pattern(150001, 99);
  bool IsOne(const std::optional<TBytes>& seen) const { return seen && (*seen == a || *seen == b); }
};

TEST(WriteFileAtomic, ConcurrentSaversLeaveOneWholeContent) {
  TTempFolder dir;
  const fs::path file = dir / "tParam.dat";
  const TTwoContents contents;
  ASSERT_EQ(WriteFileAtomic(file, contents.a), "");
  constexpr int kSaves = 150;
  std::atomic<int> failures{0}, savers{2}, badReads{0};
  {
    std::vector<std::jthread> threads;
    for (const TBytes* data : {&contents.a, &contents.b})
      threads.emplace_back([&, data] {
        for (int i = 0; i < kSaves; ++i)
          if (!WriteFileAtomic(file, *data).empty()) ++failures;
        --savers;
      });
    threads.emplace_back([&] {
      while (savers > 0)
        if (!contents.IsOne(ReadWholeFile(file))) ++badReads;
    });
  }
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(badReads, 0);
  EXPECT_TRUE(contents.IsOne(ReadWholeFile(file)));
  EXPECT_EQ(Names(dir.Path()), std::set<std::string>{"tParam.dat"});  // no temporary file left
}

// A saver killed in the middle of its work costs the file nothing.
TEST(WriteFileAtomic, SaverKilledMidwayLeavesAWholeFile) {
  TTempFolder dir;
  const fs::path file = dir / "tParam.dat";
  const TTwoContents contents;
  ASSERT_EQ(WriteFileAtomic(file, contents.a), "");
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(ready[0]);
    for (bool told = false;;) {
      if (!WriteFileAtomic(file, contents.b).empty()) ::_exit(1);
      if (!told) told = ::write(ready[1], "!", 1) == 1;
    }
  }
  ::close(ready[1]);
  char mark = 0;
  const bool childSaved = ::read(ready[0], &mark, 1) == 1;
  ::close(ready[0]);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(WriteFileAtomic(file, contents.a), "");
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ASSERT_TRUE(childSaved);
  EXPECT_TRUE(contents.IsOne(ReadWholeFile(file)));
}

TEST(WriteFileAtomic, LinkPlantedAtATemporaryNameIsNeverWrittenThrough) {
  struct TCase {
    const char* why;
    bool victimExists;
  };
  for (const TCase c : {TCase{"link to an existing file", true}, TCase{"dangling link", false}}) {
    SCOPED_TRACE(c.why);
    TTempFolder dir, elsewhere;
    const fs::path file = dir / "tConn.dat";
    const fs::path victim = elsewhere / "victim";
    test::WriteText(file, "old");
    if (c.victimExists) test::WriteText(victim, "victim's bytes");
    fs::create_symlink(victim, dir / "tConn.dat.tmp");
    ASSERT_EQ(WriteFileAtomic(file, Pattern(100, 5)), "");
    EXPECT_EQ(test::ReadText(file), Text(Pattern(100, 5)));
    EXPECT_TRUE(fs::is_symlink(dir / "tConn.dat.tmp"));
    if (c.victimExists) {
      EXPECT_EQ(test::ReadText(victim), "victim's bytes");
    } else {
      EXPECT_FALSE(fs::exists(victim));
    }
  }
}

TEST(WriteFileAtomic, KeepsTheModeOfTheFileItReplaces) {
  struct TCase {
    int existingMode;  // -1: no file yet
    mode_t umask;
    unsigned expected;
  };
  const TCase cases[] = {
      {0600, 022, 0600}, {0640, 077, 0640}, {0664, 022, 0664}, {-1, 022, 0644}, {-1, 077, 0600}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::oct << c.existingMode << " umask " << c.umask);
    TTempFolder dir;
    const fs::path file = dir / "Config.kopc";
    if (c.existingMode >= 0) {
      test::WriteText(file, "old");
      ::chmod(file.c_str(), static_cast<mode_t>(c.existingMode));
    }
    const mode_t savedMask = ::umask(c.umask);
    const std::string reason = WriteFileAtomic(file, Pattern(10, 1));
    ::umask(savedMask);
    ASSERT_EQ(reason, "");
    EXPECT_EQ(Mode(file), c.expected);
  }
}

TEST(WriteFileAtomic, FailureKeepsTheOldFileLeavesNothingAndSaysWhy) {
  struct TCase {
    const char* why;
    const char* target;  // inside the scratch folder
    void (*prepare)(const fs::path& folder);
    rlim_t sizeLimit;  // 0: none
  };
  const TCase cases[] = {
      {"folder missing", "no/such/folder/tParam.dat", [](const fs::path&) {}, 0},
      {"a folder in the file's place", "tParam.dat",
       [](const fs::path& folder) { fs::create_directories(folder / "tParam.dat" / "inside"); }, 0},
      {"disk full while writing", "tParam.dat",
       [](const fs::path& folder) { test::WriteText(folder / "tParam.dat", "the good old settings"); }, 4096},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.why);
    TTempFolder dir;
    c.prepare(dir.Path());
    const fs::path file = dir / c.target;
    const std::set<std::string> before = Names(dir.Path());
    const std::string old = fs::is_regular_file(file) ? test::ReadText(file) : "";
    std::string reason;
    {
      std::optional<test_files::TFileSizeLimit> limit;
      if (c.sizeLimit) limit.emplace(c.sizeLimit);
      reason = WriteFileAtomic(file, Pattern(100000, 3));
    }
    EXPECT_NE(reason.find("tParam.dat"), std::string::npos) << reason;
    EXPECT_EQ(Names(dir.Path()), before);
    if (!old.empty()) {
      EXPECT_EQ(test::ReadText(file), old);
    }
  }
}

// Anything but a regular file is refused at once: reading a FIFO would wait for a writer for good.
TEST(FileUtil, OnlyRegularFilesAreRead) {
  TTempFolder dir;
  test::WriteText(dir / "regular", "abc");
  fs::create_directory(dir / "folder");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);
  fs::create_symlink(dir / "regular", dir / "link");
  fs::create_symlink("/dev/null", dir / "device");
  struct TCase {
    const char* name;
    bool regular;
  };
  const TCase cases[] = {
      {"regular", true}, {"link", true}, {"folder", false}, {"fifo", false}, {"device", false}};
  const int code = test_files::ExitCodeOfBounded([&] {
    int wrong = 0;
    for (const TCase& c : cases) {
      const fs::path p = dir / c.name;
      wrong += RegularFileProblem(p, false).empty() != c.regular;
      wrong += ReadWholeFile(p).has_value() != c.regular;
      wrong += ReadFileStart(p, 1).has_value() != c.regular;
    }
    return wrong;
  });
  EXPECT_EQ(code, 0) << "-1: blocked or crashed; otherwise the number of wrong answers";
  EXPECT_EQ(ReadFileStart(dir / "regular", 2), (std::optional<TBytes>{{'a', 'b'}}));
  EXPECT_EQ(RegularFileProblem(dir / "missing", true), "");
  EXPECT_NE(RegularFileProblem(dir / "missing", false), "");
  EXPECT_EQ(RegularFileProblem(dir / "fifo", true), (dir / "fifo").string() + ": not a regular file");
}

}  // namespace
}  // namespace orvela
