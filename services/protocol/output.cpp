#include "output.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "block_pool.h"

namespace mirelo::services {
namespace {

std::mutex outputLock;

}  // namespace

void writeLine(std::string_view line) {
  char newline = '\n';
  iovec parts[2] = {{const_cast<char*>(line.data()), line.size()}, {&newline, 1}};
  iovec* part = parts;
  int count = 2;
  std::lock_guard lock(outputLock);
  // Standard output is unbuffered here: each line goes out in one writev and is "flushed" with it.
  // A pipe may take a long line in pieces; the lock keeps other lines out until it is whole.
  while (count > 0) {
    const ssize_t n = ::writev(STDOUT_FILENO, part, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      // The host closed our output: no reply can reach it any more, so the process ends as it
      // does at the end of input (the lock is held: no line is cut).
      if (errno == EPIPE) ::_exit(0);
      return;  // another failure is not reported to anyone
    }
    size_t written = static_cast<size_t>(n);
    while (count > 0 && written >= part->iov_len) {
      written -= part->iov_len;
      ++part;
      --count;
    }
    if (count > 0) {
      part->iov_base = static_cast<char*>(part->iov_base) + written;
      part->iov_len -= written;
    }
  }
}

bool emit(const Json& object) {
  // Large lines (Base64 of images) are written in pooled memory, warm and never zero-filled.
  BlockBuffer line;
  if (!writeJson(object, line)) return false;
  writeLine(line.view());
  return true;
}

void exitProcess(int status) {
  outputLock.lock();  // held until the end: no line is cut in half
  ::_exit(status);
}

}  // namespace mirelo::services
