#include "line_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

namespace mirelo {
namespace {

struct Got {
  LineReader::Result result;
  std::string line;
  bool operator==(const Got&) const = default;
};

std::vector<Got> readAll(const std::string& input, size_t limit,
                         LineReader::Framing framing = LineReader::Framing::Lenient) {
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  std::thread writer([&] {
    size_t off = 0;
    while (off < input.size()) {  // in odd pieces, so lines straddle reads
      const size_t n = std::min<size_t>(input.size() - off, 7 + off % 5000);
      off += static_cast<size_t>(::write(fds[1], input.data() + off, n));
    }
    ::close(fds[1]);
  });
  LineReader reader(fds[0], limit, size_t{64} * 1024, size_t{1024} * 1024, framing);
  std::vector<Got> got;
  for (;;) {
    const auto result = reader.next();
    if (result == LineReader::Result::End) break;
    got.push_back({result, result == LineReader::Result::Line ? std::string(reader.data(), reader.size()) : ""});
    if (result == LineReader::Result::Line) {
      EXPECT_GE(reader.capacity(), reader.size() + LineReader::kPadding);
    }
    if (result == LineReader::Result::TooLong && framing == LineReader::Framing::Exact) break;
  }
  writer.join();
  ::close(fds[0]);
  return got;
}

constexpr auto kLine = LineReader::Result::Line;
constexpr auto kTooLong = LineReader::Result::TooLong;

TEST(LineReader, SplitsOnNewlineAndCrlf) {
  EXPECT_EQ(readAll("a\nbb\r\n\nlast", 100),
            (std::vector<Got>{{kLine, "a"}, {kLine, "bb"}, {kLine, ""}, {kLine, "last"}}));
  EXPECT_EQ(readAll("a\r\r\n", 100), (std::vector<Got>{{kLine, "a\r"}}));
  EXPECT_TRUE(readAll("", 100).empty());
}

TEST(LineReader, LimitCountsBytesAfterTerminatorRemoval) {
  const size_t limit = 100'000;
  const std::string exact(limit, 'x');
  EXPECT_EQ(readAll(exact + "\n" + exact + "\r\nok\n", limit),
            (std::vector<Got>{{kLine, exact}, {kLine, exact}, {kLine, "ok"}}));
  EXPECT_EQ(readAll(exact + "y\nok\n" + exact + "yy\r\n" + exact + "z", limit),
            (std::vector<Got>{{kTooLong, ""}, {kLine, "ok"}, {kTooLong, ""}, {kTooLong, ""}}));
}

// Exact framing: "\n" alone ends a line, a "\r" stays, an unterminated end is no line, and the
// first line past the limit (with or without its "\n") ends the stream.
TEST(LineReader, ExactFraming) {
  const std::string exact(100, 'x');
  const struct {
    const char* name;
    std::string input;
    std::vector<Got> got;
  } cases[] = {
      {"carriage returns kept", "a\r\nb\r\r\n", {{kLine, "a\r"}, {kLine, "b\r\r"}}},
      {"unterminated end dropped", "a\nrest", {{kLine, "a"}}},
      {"at the limit", exact + "\n", {{kLine, exact}}},
      {"limit counts the carriage return", exact + "\r\nok\n", {{kTooLong, ""}}},
      {"past the limit without a line feed", "a\n" + exact + "y", {{kLine, "a"}, {kTooLong, ""}}},
      {"nothing after the first fault", exact + "y\nok\n", {{kTooLong, ""}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(readAll(c.input, 100, LineReader::Framing::Exact), c.got);
  }
}

// The lines must not depend on how the bytes were split, nor on whether each line's buffer was
// given back (shrink) or taken away (take) before the next: a long line and the next ones arrive
// together in a 1 MiB pipe, so more than a read's worth of the next line may already be held.
TEST(LineReader, SameLinesWhateverTheChunkingAndBufferHandOver) {
  const size_t limit = 4 << 20;
  std::vector<std::string> lines = {
      std::string(1'200'000, 'a'), std::string(400'000, 'b'),   "x",   "", std::string(3 << 20, 'c'),
      std::string(70'000, 'd'),    std::string(2'000'000, 'e'), "last"};
  std::string input;
  for (const auto& line : lines) input += line + "\n";
  input.pop_back();  // a last line without terminator
  for (unsigned seed = 1; seed <= 12; ++seed) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);
    std::thread writer([&, seed] {
      unsigned state = seed;
      size_t off = 0;
      while (off < input.size()) {
        state = state * 1103515245u + 12345u;
        const size_t want = seed % 3 == 0 ? input.size() : 1 + (state >> 8) % (1 << 20);
        const ssize_t n = ::write(fds[1], input.data() + off, std::min(want, input.size() - off));
        if (n <= 0) break;
        off += static_cast<size_t>(n);
      }
      ::close(fds[1]);
    });
    LineReader reader(fds[0], limit);
    std::vector<std::string> got;
    unsigned choice = seed;
    for (;;) {
      const auto result = reader.next();
      if (result == LineReader::Result::End) break;
      ASSERT_EQ(result, kLine);
      choice = choice * 7 + 3;
      if (choice % 3 == 0) {
        const LineBytes taken = reader.take();
        ASSERT_GE(taken.capacity(), taken.size() + LineReader::kPadding);
        got.emplace_back(taken.data(), taken.size());
      } else {
        got.emplace_back(reader.data(), reader.size());
        if (choice % 3 == 1) reader.shrink();
      }
    }
    writer.join();
    ::close(fds[0]);
    EXPECT_EQ(got, lines) << "seed " << seed;
  }
}

TEST(LineReader, SkipsHugeLineWithinBoundedMemory) {
  // Ten times the limit without a newline: skipped, then the next line reads normally.
  const size_t limit = size_t{64} * 1024;
  const std::string huge(limit * 10, 'h');
  EXPECT_EQ(readAll("a\n" + huge + "\nb\n" + huge, limit),
            (std::vector<Got>{{kLine, "a"}, {kTooLong, ""}, {kLine, "b"}, {kTooLong, ""}}));
}

// On a non-blocking pipe the reader says Pending whenever the bytes run out before a line's end,
// and carries on where it was once more arrive: a line split over writes, and a line past the
// limit whose skipping spans several waits, come out as when read in one piece.
TEST(LineReader, PendingOnNonBlockingPipeLosesNothing) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_NONBLOCK), 0);
  LineReader reader(fds[0], 100, 16, 64);
  const auto put = [&](const std::string& bytes) {
    ASSERT_EQ(::write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  };
  const auto next = [&] {
    const auto result = reader.next();
    return Got{result, result == kLine ? std::string(reader.data(), reader.size()) : ""};
  };
  constexpr auto kPending = LineReader::Result::Pending;
  EXPECT_EQ(next(), (Got{kPending, ""}));
  put("ab");
  EXPECT_EQ(next(), (Got{kPending, ""}));
  put("c\r");
  EXPECT_EQ(next(), (Got{kPending, ""}));
  put("\nnext\n");
  EXPECT_EQ(next(), (Got{kLine, "abc"}));
  EXPECT_EQ(next(), (Got{kLine, "next"}));
  EXPECT_EQ(next(), (Got{kPending, ""}));
  for (int i = 0; i < 5; ++i) {  // 250 bytes of one line, a wait after each piece
    put(std::string(50, 'x'));
    EXPECT_EQ(next(), (Got{kPending, ""}));
  }
  put("y\nafter\nlast");
  EXPECT_EQ(next(), (Got{kTooLong, ""}));
  EXPECT_EQ(next(), (Got{kLine, "after"}));
  EXPECT_EQ(next(), (Got{kPending, ""}));
  ::close(fds[1]);
  EXPECT_EQ(next(), (Got{kLine, "last"}));
  EXPECT_EQ(next(), (Got{LineReader::Result::End, ""}));
  ::close(fds[0]);
}

}  // namespace
}  // namespace mirelo
