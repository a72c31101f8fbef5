#include "protocol/reply.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <limits>
#include <string>

namespace mirelo::services {
namespace {

// What `write` puts on standard output, read back through a pipe standing in for it.
std::string captured(const std::function<void()>& write) {
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  const int saved = ::dup(STDOUT_FILENO);
  ::dup2(fds[1], STDOUT_FILENO);
  write();
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  ::close(fds[1]);
  std::string out;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) out.append(buffer, static_cast<size_t>(n));
  ::close(fds[0]);
  return out;
}

// A reply the writer cannot write still answers its request, exactly once.
TEST(Reply, ValueThatCannotBeWrittenBecomesAnErrorForItsId) {
  const Json unwritable[] = {Json("PC-invite-\xff\xfe"), Json{{"name", "a\xc0"}},
                             Json::array({1, std::numeric_limits<double>::quiet_NaN()})};
  for (const auto& value : unwritable) {
    EXPECT_EQ(captured([&] { Reply("a/b").succeed(value); }),
              "{\"error\":\"原生操作结果无法编码\",\"id\":\"a\\/b\"}\n");
  }
  EXPECT_EQ(captured([] { Reply("ok").succeed(Json("fine")); }), "{\"id\":\"ok\",\"value\":\"fine\"}\n");
  EXPECT_EQ(captured([] { Reply("e").fail(failure("x\xff")); }), "{\"error\":\"原生操作结果无法编码\",\"id\":\"e\"}\n");
}

// A secret's line is written like any other: "/" as "\/".
TEST(Reply, SecretWrittenAsTheWriterWould) {
  EXPECT_EQ(captured([] { Reply("k/1").succeedSecret("ab/c+/=="); }),
            "{\"id\":\"k\\/1\",\"value\":\"ab\\/c+\\/==\"}\n");
}

// A value appended straight to the line reads byte for byte as the same value given whole.
TEST(Reply, WrittenValueReadsAsTheWriterWritesIt) {
  const Json value{{"body", "ab/c"}, {"status", 200}};
  const std::string whole = captured([&] { Reply("w/1").succeed(value); });
  const std::string written = captured([] {
    Reply("w/1").succeedWritten(4, [](BlockBuffer& line) { line.append("{\"body\":\"ab\\/c\",\"status\":200}"); });
  });
  EXPECT_EQ(written, whole);
}

}  // namespace
}  // namespace mirelo::services
