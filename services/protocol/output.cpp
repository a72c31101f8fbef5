#include "output.h"

#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <string>

#include "block_pool.h"

namespace mirelo::services {
namespace {

constexpr size_t kHeldBytes = size_t{64} * 1024;  // held lines are written once this many wait
constexpr size_t kCopiedLine = size_t{16} * 1024;  // a longer line is never copied into the held ones

std::mutex outputLock;
std::string held;  // lines of the holding thread not yet written, each with its "\n"; under outputLock
thread_local bool holding = false;
std::atomic<bool> anyHeld{false};  // !held.empty(), readable without the lock

// Writes all of `parts`, under outputLock. Standard output is unbuffered here: each write goes
// out in one writev and is "flushed" with it. A pipe may take a long line in pieces; the lock
// keeps other lines out until it is whole.
void writeAll(iovec* part, int count) {
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

// The held lines first, then `line` when given: every line goes out in the order it was written.
void writeHeldThen(std::string_view line, bool withLine) {
  char newline = '\n';
  iovec parts[3];
  int count = 0;
  if (!held.empty()) parts[count++] = {held.data(), held.size()};
  if (withLine) {
    parts[count++] = {const_cast<char*>(line.data()), line.size()};
    parts[count++] = {&newline, 1};
  }
  writeAll(parts, count);
  held.clear();
  anyHeld.store(false, std::memory_order_relaxed);
  if (held.capacity() > 4 * kHeldBytes) held.shrink_to_fit();
}

}  // namespace

void writeLine(std::string_view line) {
  std::lock_guard lock(outputLock);
  if (holding && line.size() <= kCopiedLine) {
    held.append(line).push_back('\n');
    anyHeld.store(true, std::memory_order_relaxed);
    if (held.size() >= kHeldBytes) writeHeldThen({}, false);
    return;
  }
  writeHeldThen(line, true);
}

void holdLines() { holding = true; }

bool linesHeld() { return anyHeld.load(std::memory_order_relaxed); }

void writeHeldLines() {
  std::lock_guard lock(outputLock);
  if (!held.empty()) writeHeldThen({}, false);
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
  if (!held.empty()) writeHeldThen({}, false);  // every line written before the exit goes out
  ::_exit(status);
}

}  // namespace mirelo::services
