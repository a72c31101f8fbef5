// The host's side of the relay benchmark, in C++ so that the host is not what is measured: starts
// two SolvaNearby programs (each given as a command line, such as an nsenter into a namespace),
// has A find B and open a channel, then sends `total` bytes through A and reads them back from B,
// encoding and decoding Base64 and JSON on both sides as a host does. Prints MB/s, the peak
// resident memory of both programs (KiB), the seconds taken, the CPU seconds of each program, the
// CPU seconds of this host and the context switches of each program (all its threads).
//
//   nearby_relay_host <total bytes> <A command...> :: <B command...>
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base64.h"
#include "json.h"

namespace {

struct Child {
  pid_t pid = -1;
  int in = -1;  // its standard input
  int out = -1;  // its standard output
  // Its output as read: lines are found and parsed where they lie (the reader wants kPadding
  // readable bytes after each), and the buffer is reused, as a host that keeps up would do.
  std::vector<char> buffer = std::vector<char>(4 << 20);
  size_t start = 0, end = 0, scanned = 0;

  explicit Child(std::vector<char*> argv) {
    int toChild[2], fromChild[2];
    if (pipe(toChild) || pipe(fromChild)) std::exit(1);
    pid = fork();
    if (pid == 0) {
      dup2(toChild[0], 0);
      dup2(fromChild[1], 1);
      close(toChild[1]);
      close(fromChild[0]);
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    in = toChild[1];
    out = fromChild[0];
    fcntl(in, F_SETPIPE_SZ, 1 << 20);
    fcntl(out, F_SETPIPE_SZ, 1 << 20);
  }

  void send(const std::string& line) {
    size_t done = 0;
    while (done < line.size()) {
      ssize_t n = write(in, line.data() + done, line.size() - done);
      if (n <= 0) std::exit(1);
      done += static_cast<size_t>(n);
    }
  }

  // The next line (without its line feed); exits the benchmark when the program ends.
  std::string_view line() {
    constexpr size_t kRead = 1 << 20;
    for (;;) {
      if (const void* feed = std::memchr(buffer.data() + start + scanned, '\n', end - start - scanned)) {
        const size_t size = static_cast<size_t>(static_cast<const char*>(feed) - (buffer.data() + start));
        std::string_view result(buffer.data() + start, size);
        start += size + 1;
        scanned = 0;
        return result;
      }
      scanned = end - start;
      if (buffer.size() - end < kRead + mirelo::JsonReader::kPadding) {
        std::memmove(buffer.data(), buffer.data() + start, end - start);
        end -= start;
        start = 0;
      }
      ssize_t n = read(out, buffer.data() + end, kRead);
      if (n <= 0) {
        std::fprintf(stderr, "a program ended\n");
        std::exit(1);
      }
      end += static_cast<size_t>(n);
    }
  }

  mirelo::Json event(mirelo::JsonReader& reader) {
    load(reader);
    return reader.take();
  }

  // The next event parsed where it lies, nothing built: its members are read with loadedString.
  void load(mirelo::JsonReader& reader) {
    const std::string_view text = line();
    const size_t capacity = buffer.size() - static_cast<size_t>(text.data() - buffer.data());
    if (!reader.load(text.data(), text.size(), capacity)) std::exit(1);
  }

  double cpuSeconds() const {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::vector<std::string> fields;
    size_t at = text.rfind(')') + 2;
    while (at < text.size()) {
      size_t stop = text.find(' ', at);
      if (stop == std::string::npos) stop = text.size();
      fields.push_back(text.substr(at, stop - at));
      at = stop + 1;
    }
    return (std::stod(fields[11]) + std::stod(fields[12])) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }

  // Voluntary and involuntary context switches of all its threads (each thread counts its own).
  long contextSwitches() const {
    long total = 0;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (!dir) return 0;
    while (const dirent* entry = readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      std::ifstream status(tasks + "/" + entry->d_name + "/status");
      std::string key;
      while (status >> key) {
        if (key == "voluntary_ctxt_switches:" || key == "nonvoluntary_ctxt_switches:") {
          long n = 0;
          status >> n;
          total += n;
        }
        std::getline(status, key);
      }
    }
    closedir(dir);
    return total;
  }

  long peakRssKib() const {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (status >> key) {
      if (key == "VmHWM:") {
        long kib;
        status >> kib;
        return kib;
      }
      std::getline(status, key);
    }
    return 0;
  }
};

std::string jsonText(const mirelo::Json& value) { return *mirelo::writeJson(value); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  const size_t total = std::stoull(argv[1]);
  std::vector<char*> a, b;
  int i = 2;
  for (; i < argc && std::strcmp(argv[i], "::") != 0; ++i) a.push_back(argv[i]);
  for (++i; i < argc; ++i) b.push_back(argv[i]);
  Child pa(a), pb(b);
  mirelo::JsonReader readerA, readerB;
  pa.send(R"({"command":"start","name":"bench-alpha","txt":{"v":"1","r":"r","p":"p","m":"alpha"}})"
          "\n");
  pb.send(R"({"command":"start","name":"bench-bravo","txt":{"v":"1","r":"r","p":"p","m":"bravo"}})"
          "\n");
  std::string endpoint;
  while (endpoint.empty()) {
    auto e = pa.event(readerA);
    if (e["event"] == "found" && e["txt"]["m"] == "bravo") endpoint = e["endpointId"];
  }
  pa.send(R"({"command":"connect","connectionId":"bench","endpointId":)" + jsonText(endpoint) + "}\n");
  while (pa.event(readerA)["event"] != "connection-ready") {
  }
  std::string inbound;
  while (inbound.empty()) {
    auto e = pb.event(readerB);
    if (e["event"] == "connection-ready") inbound = e["connectionId"];
  }

  constexpr size_t kChunk = 699'050;  // three fit within a channel's 2,097,152 unacknowledged bytes
  constexpr int kInFlight = 3;
  std::string payload(kChunk, '\0');
  std::mt19937_64 random(42);
  for (auto& c : payload) c = static_cast<char>(random());
  const size_t count = (total + kChunk - 1) / kChunk;

  std::mutex mutex;
  std::condition_variable acknowledged;
  int inFlight = 0;
  auto started = std::chrono::steady_clock::now();
  std::thread acks([&] {
    for (size_t done = 0; done < count;) {
      auto e = pa.event(readerA);
      if (e["event"] == "sent") {
        ++done;
        std::lock_guard lock(mutex);
        --inFlight;
        acknowledged.notify_one();
      } else if (e["event"] == "connection-closed") {
        std::fprintf(stderr, "the channel closed\n");
        std::exit(1);
      }
    }
  });
  size_t received = 0, events = 0;
  std::thread receiver([&] {
    std::string bytes(65'536, '\0');
    while (received < count * kChunk) {
      pb.load(readerB);
      if (readerB.loadedString("event") != "data") continue;
      const std::string_view text = readerB.loadedString("data").value_or("");
      const size_t size = mirelo::base64DecodedSize(text);
      if (size == 0 || size > bytes.size() || !mirelo::base64DecodeTo(text, bytes.data())) std::exit(1);
      received += size;
      ++events;
    }
  });
  // Lines are encoded by their own thread, so encoding the next overlaps with writing this one;
  // the line strings go round between the two threads and keep their allocations (and their
  // sizes: the next line is as long, give or take a digit, so it is written over the last).
  std::deque<std::string> ready, spare(3);
  std::condition_variable encoded, taken;
  std::thread encoder([&] {
    for (size_t n = 0; n < count; ++n) {
      std::string line;
      {
        std::unique_lock lock(mutex);
        taken.wait(lock, [&] { return !spare.empty(); });
        line = std::move(spare.front());
        spare.pop_front();
      }
      // Sized first, then written: a string grown by resize would be zero-filled before encoding.
      const std::string head =
          R"({"command":"send","connectionId":"bench","requestId":")" + std::to_string(n) + R"(","data":")";
      constexpr std::string_view tail = "\"}\n";
      line.resize(head.size() + mirelo::base64EncodedSize(payload.size()) + tail.size());
      std::memcpy(line.data(), head.data(), head.size());
      const size_t length = mirelo::base64EncodeTo(payload, line.data() + head.size());
      std::memcpy(line.data() + head.size() + length, tail.data(), tail.size());
      std::lock_guard lock(mutex);
      ready.push_back(std::move(line));
      encoded.notify_one();
    }
  });
  for (size_t n = 0; n < count; ++n) {
    std::string line;
    {
      std::unique_lock lock(mutex);
      acknowledged.wait(lock, [&] { return inFlight < kInFlight; });
      ++inFlight;
      encoded.wait(lock, [&] { return !ready.empty(); });
      line = std::move(ready.front());
      ready.pop_front();
    }
    pa.send(line);
    std::lock_guard lock(mutex);
    spare.push_back(std::move(line));
    taken.notify_one();
  }
  encoder.join();
  acks.join();
  receiver.join();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  (void)events;
  rusage self{};
  getrusage(RUSAGE_SELF, &self);
  const double hostCpu = static_cast<double>(self.ru_utime.tv_sec + self.ru_stime.tv_sec) +
                         static_cast<double>(self.ru_utime.tv_usec + self.ru_stime.tv_usec) / 1e6;
  std::printf("%.1f %ld %ld %.3f %.3f %.3f %.3f %ld %ld\n", static_cast<double>(received) / seconds / 1e6,
              pa.peakRssKib(), pb.peakRssKib(), seconds, pa.cpuSeconds(), pb.cpuSeconds(), hostCpu,
              pa.contextSwitches(), pb.contextSwitches());
  pa.send(R"({"command":"stop"})"
          "\n");
  pb.send(R"({"command":"stop"})"
          "\n");
  waitpid(pa.pid, nullptr, 0);
  waitpid(pb.pid, nullptr, 0);
  return 0;
}
