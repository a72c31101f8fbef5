// The Pasteboard seam's cases, run against the fake the command tests use and against the X
// pasteboard, so the two cannot drift apart. The X runs need a private display: test_pasteboard.py
// starts Xvfb and runs this binary with MIRELO_TEST_DISPLAY set; without it only the fake runs.
//   fake      tests/support/fakes/pasteboard.h
//   x11       one XcbPasteboard writes and reads (our own offer, answered from memory)
//   x11_peer  another process of ours writes (this binary, `--offer`), this one reads through X
// "Another program" is xclip on X, the fake's contents otherwise.
#include <fcntl.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "../support/fakes/pasteboard.h"
#include "pasteboard_xcb.h"
#include "pasteboard_xcb_link.h"

extern char** environ;

namespace mirelo::services::platform {
namespace {

using testing::FakePasteboard;

std::string readFile(const std::filesystem::path& path) {
  std::stringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

// A process started for one case, ended (by its id) with it.
class Child {
 public:
  // Its standard output comes to `line()`, or goes nowhere (its errors too: xclip's chatter).
  enum class Output { piped, discarded };

  Child(const std::vector<std::string>& argv, Output output) {
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int out[2] = {-1, -1};
    if (output == Output::piped && ::pipe2(out, O_CLOEXEC) == 0) {
      posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
      output_ = out[0];
    } else {
      posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
      posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    }
    if (::posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (out[1] >= 0) ::close(out[1]);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    if (output_ >= 0) ::close(output_);
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }

  // The first line the child wrote ("" when it ended without one).
  std::string line() {
    std::string text;
    char c = 0;
    while (output_ >= 0 && ::read(output_, &c, 1) == 1 && c != '\n') text.push_back(c);
    return text;
  }

 private:
  pid_t pid_ = -1;
  int output_ = -1;
};

// A pasteboard under test and the programs around it.
class Bench {
 public:
  virtual ~Bench() = default;
  // Where the cases read.
  virtual Pasteboard& pasteboard() = 0;
  // Puts `item` on the pasteboard through the seam.
  virtual bool write(PasteboardItem item) = 0;
  // Another program owns the pasteboard, offering `bytes` under `type` alone.
  virtual void offerElsewhere(const std::string& type, const std::string& bytes) = 0;
  virtual bool ready() const { return true; }
};

class FakeBench final : public Bench {
 public:
  Pasteboard& pasteboard() override { return fake_; }
  bool write(PasteboardItem item) override { return fake_.write(std::move(item)); }
  void offerElsewhere(const std::string& type, const std::string& bytes) override {
    fake_.contents = {{{type, bytes}}};
  }

 private:
  FakePasteboard fake_;
};

class XcbBench final : public Bench {
  template <class T>
  using Reply = xcb::Reply<T>;

 public:
  explicit XcbBench(bool peer)
      : peer_(peer), folder_(std::filesystem::temp_directory_path() / "mirelo-pasteboard-XXXXXX") {
    std::string name = folder_.string();
    folder_ = ::mkdtemp(name.data());
    watcher_ = xcb_connect(nullptr, nullptr);
    Reply<xcb_intern_atom_reply_t> atom{
        xcb_intern_atom_reply(watcher_, xcb_intern_atom(watcher_, 0, 9, "CLIPBOARD"), nullptr)};
    clipboard_ = atom ? atom->atom : XCB_NONE;
    awaitOwner([](xcb_window_t owner) { return owner == XCB_NONE; });  // the last case's owners are gone
    pasteboard_ = makeXcbPasteboard();
  }
  ~XcbBench() override {
    children_.clear();
    pasteboard_.reset();
    xcb_disconnect(watcher_);
    std::filesystem::remove_all(folder_);
  }

  Pasteboard& pasteboard() override { return *pasteboard_; }
  bool ready() const override { return pasteboard_ && clipboard_ != XCB_NONE; }

  bool write(PasteboardItem item) override {
    if (!peer_) return pasteboard_->write(std::move(item));
    std::vector<std::string> argv{"/proc/self/exe", "--offer"};
    for (auto& [type, bytes] : item.entries) argv.insert(argv.end(), {type, save(bytes)});
    return children_.emplace_back(std::make_unique<Child>(argv, Child::Output::piped))->line() == "ready";
  }

  void offerElsewhere(const std::string& type, const std::string& bytes) override {
    const xcb_window_t before = owner();
    children_.push_back(std::make_unique<Child>(
        std::vector<std::string>{"xclip", "-quiet", "-selection", "clipboard", "-t", type, "-i", save(bytes)},
        Child::Output::discarded));
    awaitOwner([&](xcb_window_t owner) { return owner != XCB_NONE && owner != before; });
  }

 private:
  std::string save(const std::string& bytes) {
    const auto path = folder_ / std::to_string(files_++);
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
  }

  xcb_window_t owner() {
    Reply<xcb_get_selection_owner_reply_t> reply{
        xcb_get_selection_owner_reply(watcher_, xcb_get_selection_owner(watcher_, clipboard_), nullptr)};
    return reply ? reply->owner : XCB_NONE;
  }

  template <class Ready>
  void awaitOwner(Ready ready) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!ready(owner()) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  bool peer_;
  std::filesystem::path folder_;
  int files_ = 0;
  xcb_connection_t* watcher_;
  xcb_atom_t clipboard_;
  std::unique_ptr<Pasteboard> pasteboard_;
  std::vector<std::unique_ptr<Child>> children_;
};

class PasteboardContract : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (GetParam() == "fake") {
      bench_ = std::make_unique<FakeBench>();
    } else {
      bench_ = std::make_unique<XcbBench>(GetParam() == "x11_peer");
    }
    ASSERT_TRUE(bench_->ready()) << "no X display at MIRELO_TEST_DISPLAY";
  }

  Pasteboard& pasteboard() { return bench_->pasteboard(); }
  // The bytes the first item holds under `type`, read with `limit`.
  std::optional<std::string> data(const std::string& type, size_t limit = 16 << 20) {
    auto items = pasteboard().items();
    if (items.empty()) return std::nullopt;
    return items.front()->data(type, limit);
  }

  std::unique_ptr<Bench> bench_;
};

PasteboardItem textItem(const std::string& text) {
  PasteboardItem item;
  for (std::string_view type : kTextTypes) item.entries.emplace_back(type, text);
  return item;
}

// Bytes no text decoding would leave alone: every byte value, NULs included.
std::string binary(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return bytes;
}

TEST_P(PasteboardContract, NothingThereReadsAsAbsent) {
  EXPECT_TRUE(pasteboard().items().empty());
  EXPECT_EQ(pasteboard().text(), std::nullopt);
  EXPECT_TRUE(pasteboard().fileUrls().empty());
}

TEST_P(PasteboardContract, TextReadsBack) {
  for (const std::string text : {"plain ascii", "Grüße, café ÿ", "房卡 ✓ mirelo://join/#room", ""}) {
    SCOPED_TRACE(text);
    ASSERT_TRUE(bench_->write(textItem(text)));
    EXPECT_EQ(pasteboard().text(), text);
    for (std::string_view type : kTextTypes) EXPECT_EQ(data(std::string(type)), text) << type;
  }
}

TEST_P(PasteboardContract, EveryTypeOfAnItemReadsBack) {
  const PasteboardItem item{{{"image/png", binary(5000)},
                             {"com.mirelo.room-card.v1", "mirelo://join/#room-a"},
                             {"image/tiff", binary((1 << 20) + 300'000)},  // past 1 MiB: INCR on X
                             {"UTF8_STRING", "房卡"}}};
  ASSERT_TRUE(bench_->write(item));
  ASSERT_EQ(pasteboard().items().size(), 1u);
  for (const auto& [type, bytes] : item.entries) EXPECT_EQ(data(type), bytes) << type;
  EXPECT_EQ(pasteboard().text(), "房卡");
}

TEST_P(PasteboardContract, TypesNotOfferedAreAbsent) {
  ASSERT_TRUE(bench_->write(PasteboardItem{{{"image/png", binary(100)}}}));
  for (const char* type : {"image/tiff", "UTF8_STRING", "text/uri-list", "com.mirelo.room-card.v1"}) {
    EXPECT_EQ(data(type), std::nullopt) << type;
  }
  EXPECT_EQ(pasteboard().text(), std::nullopt);
  EXPECT_TRUE(pasteboard().fileUrls().empty());
}

TEST_P(PasteboardContract, AWriteReplacesTheOffer) {
  ASSERT_TRUE(bench_->write(PasteboardItem{{{"image/png", binary(100)}, {"UTF8_STRING", "first"}}}));
  ASSERT_TRUE(bench_->write(PasteboardItem{{{"image/tiff", binary(50)}}}));
  EXPECT_EQ(data("image/png"), std::nullopt);
  EXPECT_EQ(data("image/tiff"), binary(50));
  EXPECT_EQ(pasteboard().text(), std::nullopt);
}

TEST_P(PasteboardContract, AReadPastItsLimitReadsAsAbsent) {
  for (const size_t size : {size_t{100}, size_t{(1 << 20) + 300'000}}) {
    SCOPED_TRACE(size);
    ASSERT_TRUE(bench_->write(PasteboardItem{{{"image/png", binary(size)}}}));
    EXPECT_EQ(data("image/png", size), binary(size));
    EXPECT_EQ(data("image/png", size - 1), std::nullopt);
  }
}

TEST_P(PasteboardContract, FileUrlsInOrderOthersLeftOut) {
  const std::string list = "file:///tmp/a.png\r\n# a comment\r\nhttps://example.test/x.png\r\nfile:///tmp/b%20c.jpg\n";
  const std::vector<std::string> urls = {"file:///tmp/a.png", "file:///tmp/b%20c.jpg"};
  ASSERT_TRUE(bench_->write(PasteboardItem{{{"text/uri-list", list}}}));
  EXPECT_EQ(pasteboard().fileUrls(), urls);
  EXPECT_EQ(pasteboard().text(), std::nullopt);
  bench_->offerElsewhere("text/uri-list", list);
  EXPECT_EQ(pasteboard().fileUrls(), urls);
}

TEST_P(PasteboardContract, WhatAnotherProgramOffers) {
  struct Case {
    std::string type, bytes;
    std::optional<std::string> text;  // as text() reads it
  };
  const Case cases[] = {
      {"UTF8_STRING", "PC-invite-\xff\xfe", "PC-invite-\xEF\xBF\xBD\xEF\xBF\xBD"},  // repaired
      {"STRING", "caf\xe9 \xff", "café ÿ"},  // ISO 8859-1
      {"STRING", "房卡", "房卡"},  // well-formed UTF-8 under STRING, as xsel hands it out
      {"text/plain", "房卡 ✓", "房卡 ✓"},
      {"image/png", binary(3000), std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type + " " + c.bytes);
    bench_->offerElsewhere(c.type, c.bytes);
    ASSERT_EQ(pasteboard().items().size(), 1u);
    EXPECT_EQ(data(c.type), c.bytes);
    EXPECT_EQ(pasteboard().text(), c.text);
    EXPECT_EQ(data("image/tiff"), std::nullopt);
  }
}

std::vector<std::string> backends() {
  std::vector<std::string> names{"fake"};
  if (std::getenv("MIRELO_TEST_DISPLAY")) names.insert(names.end(), {"x11", "x11_peer"});
  return names;
}

INSTANTIATE_TEST_SUITE_P(Pasteboards, PasteboardContract, ::testing::ValuesIn(backends()),
                         [](const auto& instance) { return instance.param; });

// `--offer TYPE FILE …`: owns the clipboard with that item, says "ready" and serves it until ended.
int offerUntilEnded(int argc, char** argv) {
  PasteboardItem item;
  for (int i = 2; i + 1 < argc; i += 2) item.entries.emplace_back(argv[i], readFile(argv[i + 1]));
  const auto pasteboard = makeXcbPasteboard();
  const bool owned = pasteboard && pasteboard->write(std::move(item));
  std::printf("%s\n", owned ? "ready" : "refused");
  std::fflush(stdout);
  if (!owned) return 1;
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  g_main_loop_run(loop);
  return 0;
}

}  // namespace
}  // namespace mirelo::services::platform

int main(int argc, char** argv) {
  if (const char* display = std::getenv("MIRELO_TEST_DISPLAY")) ::setenv("DISPLAY", display, 1);
  if (argc > 1 && std::string_view(argv[1]) == "--offer")
    return mirelo::services::platform::offerUntilEnded(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
