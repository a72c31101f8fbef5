#include "block_pool.h"

#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace mirelo {
namespace {

constexpr size_t kPage = 4096;
constexpr size_t kHuge = size_t{2} << 20;
constexpr size_t kPooled = BlockBuffer::kPooledBytes;  // a smaller block is never grown into a kept one

size_t rounded(size_t bytes) {
  const size_t unit = bytes >= kHuge ? kHuge : kPage;
  return (bytes + unit - 1) / unit * unit;
}

void advise(Block block) {
  if (block.size >= kHuge) ::madvise(block.data, block.size, MADV_HUGEPAGE);
}

Block mapFresh(size_t size) {
  void* data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (data == MAP_FAILED) std::abort();
  Block block{static_cast<char*>(data), size};
  advise(block);
  return block;
}

Block remap(Block block, size_t size) {
  void* data = ::mremap(block.data, block.size, size, MREMAP_MAYMOVE);
  if (data == MAP_FAILED) std::abort();
  Block grown{static_cast<char*>(data), size};
  advise(grown);
  return grown;
}

struct Pool {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<Block> kept;
  size_t keptBytes = 0;
  std::chrono::steady_clock::time_point lastUse;
  bool releaserStarted = false;

  // Takes kept[i] out; the lock is held.
  Block remove(size_t i) {
    const Block block = kept[i];
    kept[i] = kept.back();
    kept.pop_back();
    keptBytes -= block.size;
    return block;
  }

  void releaseAll() {
    for (const Block& block : kept) ::munmap(block.data, block.size);
    kept.clear();
    keptBytes = 0;
  }

  // One thread for the process, started with the first kept block: it unmaps what is kept once
  // nothing was taken or given back for a while.
  void releaseWhenIdle() {
    std::unique_lock guard(lock);
    for (;;) {
      changed.wait(guard, [&] { return !kept.empty(); });
      // Uses move `lastUse` without waking this thread (a wake-up per block given back cost
      // a context switch per relayed send): the due time is read again after every wait.
      const auto due = lastUse + std::chrono::seconds(blocks::kIdleReleaseSeconds);
      if (std::chrono::steady_clock::now() >= due) {
        releaseAll();
        continue;
      }
      changed.wait_until(guard, due);
    }
  }
};

Pool& pool() {
  static Pool* instance = new Pool;  // never destroyed: its thread outlives static destruction
  return *instance;
}

}  // namespace

namespace blocks {

Block take(size_t minimum) {
  const size_t size = rounded(minimum ? minimum : 1);
  Pool& p = pool();
  std::unique_lock guard(p.lock);
  // A small request takes a kept block too: the reader of a long line starts small, and warm pages
  // beat a fresh mapping that then grows a page fault at a time. It is handed back whole.
  size_t best = p.kept.size(), largest = p.kept.size();
  for (size_t i = 0; i < p.kept.size(); ++i) {
    if (p.kept[i].size >= size && (best == p.kept.size() || p.kept[i].size < p.kept[best].size)) best = i;
    if (largest == p.kept.size() || p.kept[i].size > p.kept[largest].size) largest = i;
  }
  if (best < p.kept.size()) {
    p.lastUse = std::chrono::steady_clock::now();
    return p.remove(best);
  }
  if (size >= kPooled && largest < p.kept.size()) {
    // Too small, but its pages are warm: grown, it needs fresh pages only for the rest.
    p.lastUse = std::chrono::steady_clock::now();
    const Block block = p.remove(largest);
    guard.unlock();
    return remap(block, size);
  }
  guard.unlock();
  return mapFresh(size);
}

Block grow(Block block, size_t used, size_t minimum) {
  if (!block) return take(minimum);
  if (minimum <= block.size) return block;
  const size_t size = rounded(minimum);
  if (size >= kPooled) {
    // A kept block that is large enough already is warm all through: worth one copy of `used`.
    Pool& p = pool();
    std::unique_lock guard(p.lock);
    for (size_t i = 0; i < p.kept.size(); ++i) {
      if (p.kept[i].size >= size) {
        const Block larger = p.remove(i);
        guard.unlock();
        std::memcpy(larger.data, block.data, used);
        give(block);
        return larger;
      }
    }
  }
  return remap(block, size);  // the pages already used move with it, uncopied
}

void give(Block block) {
  if (!block) return;
  // Small blocks are kept too: the reader of a long line starts in one and grows it a page fault
  // at a time, while the block of the line before is still being read.
  if (block.size > kKeptBytes) {
    ::munmap(block.data, block.size);
    return;
  }
  Pool& p = pool();
  std::lock_guard guard(p.lock);
  p.lastUse = std::chrono::steady_clock::now();
  const bool wasEmpty = p.kept.empty();
  p.kept.push_back(block);
  p.keptBytes += block.size;
  while (p.keptBytes > kKeptBytes) {  // the smallest go first: large ones save the most faults
    size_t smallest = 0;
    for (size_t i = 1; i < p.kept.size(); ++i) {
      if (p.kept[i].size < p.kept[smallest].size) smallest = i;
    }
    const Block dropped = p.remove(smallest);
    ::munmap(dropped.data, dropped.size);
  }
  if (!p.releaserStarted) {
    p.releaserStarted = true;
    std::thread([&p] { p.releaseWhenIdle(); }).detach();
  }
  if (wasEmpty) p.changed.notify_one();  // only a releaser waiting for something kept needs to know
}

void releaseKept() {
  Pool& p = pool();
  std::lock_guard guard(p.lock);
  p.releaseAll();
}

size_t keptBytes() {
  Pool& p = pool();
  std::lock_guard guard(p.lock);
  return p.keptBytes;
}

}  // namespace blocks

BlockBuffer::BlockBuffer(BlockBuffer&& other) noexcept
    : data_(other.data_), size_(other.size_), capacity_(other.capacity_) {
  other.data_ = nullptr;
  other.size_ = other.capacity_ = 0;
}

BlockBuffer& BlockBuffer::operator=(BlockBuffer&& other) noexcept {
  if (this != &other) {
    release();
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
  }
  return *this;
}

void BlockBuffer::release() {
  if (capacity_ >= kPooledBytes) {
    blocks::give({data_, capacity_});
  } else {
    std::free(data_);
  }
  data_ = nullptr;
  size_ = capacity_ = 0;
}

void BlockBuffer::reserve(size_t capacity) {
  if (capacity <= capacity_) return;
  capacity = std::max(capacity, capacity_ * 2);
  if (capacity < kPooledBytes) {
    char* grown = static_cast<char*>(std::realloc(data_, capacity));
    if (!grown) std::abort();
    data_ = grown;
    capacity_ = capacity;
    return;
  }
  Block block;
  if (capacity_ >= kPooledBytes) {
    block = blocks::grow({data_, capacity_}, size_, capacity);
  } else {
    block = blocks::take(capacity);
    if (size_) std::memcpy(block.data, data_, size_);
    std::free(data_);
  }
  data_ = block.data;
  capacity_ = block.size;
}

void BlockBuffer::append(std::string_view bytes) {
  reserve(size_ + bytes.size());
  if (!bytes.empty()) std::memcpy(data_ + size_, bytes.data(), bytes.size());
  size_ += bytes.size();
}

}  // namespace mirelo
