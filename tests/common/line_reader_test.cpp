#include "line_reader.h"

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

std::vector<Got> readAll(const std::string& input, size_t limit) {
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
  LineReader reader(fds[0], limit);
  std::vector<Got> got;
  for (;;) {
    const auto result = reader.next();
    if (result == LineReader::Result::End) break;
    got.push_back({result, result == LineReader::Result::Line ? std::string(reader.data(), reader.size()) : ""});
    if (result == LineReader::Result::Line) {
      EXPECT_GE(reader.capacity(), reader.size() + LineReader::kPadding);
    }
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

TEST(LineReader, ShrinkKeepsTheBytesAfterTheLine) {
  // A long line and the lines behind it arrive together; giving back the long line's buffer
  // must keep what was already read of the next ones.
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const std::string big(3 << 20, 'b');
  const std::string input = big + "\nnext\nlast";
  std::thread writer([&] {
    size_t off = 0;
    while (off < input.size()) off += static_cast<size_t>(::write(fds[1], input.data() + off, input.size() - off));
    ::close(fds[1]);
  });
  LineReader reader(fds[0], 4 << 20);
  ASSERT_EQ(reader.next(), kLine);
  EXPECT_EQ(std::string(reader.data(), reader.size()), big);
  reader.shrink();
  ASSERT_EQ(reader.next(), kLine);
  EXPECT_EQ(std::string(reader.data(), reader.size()), "next");
  reader.shrink();
  ASSERT_EQ(reader.next(), kLine);
  EXPECT_EQ(std::string(reader.data(), reader.size()), "last");
  EXPECT_EQ(reader.next(), LineReader::Result::End);
  writer.join();
  ::close(fds[0]);
}

TEST(LineReader, SkipsHugeLineWithinBoundedMemory) {
  // Ten times the limit without a newline: skipped, then the next line reads normally.
  const size_t limit = 64 * 1024;
  const std::string huge(limit * 10, 'h');
  EXPECT_EQ(readAll("a\n" + huge + "\nb\n" + huge, limit),
            (std::vector<Got>{{kLine, "a"}, {kTooLong, ""}, {kLine, "b"}, {kTooLong, ""}}));
}

}  // namespace
}  // namespace mirelo
