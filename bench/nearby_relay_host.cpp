// The host's side of the relay benchmark, in C++ so that the host is not what is measured: starts
// two SolvaNearby programs (each given as a command line, such as an nsenter into a namespace),
// has A find B and open a channel, then sends `total` bytes through A and reads them back from B,
// encoding and decoding Base64 and JSON on both sides as a host does. Prints MB/s, the peak
// resident memory of both programs (KiB), the seconds taken and the CPU seconds of each program.
//
//   nearby_relay_host <total bytes> <A command...> :: <B command...>
#include <fcntl.h>
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
  int in = -1;   // its standard input
  int out = -1;  // its standard output
  std::string pending;

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
  }

  void send(const std::string& line) {
    size_t done = 0;
    while (done < line.size()) {
      ssize_t n = write(in, line.data() + done, line.size() - done);
      if (n <= 0) std::exit(1);
      done += static_cast<size_t>(n);
    }
  }

  // The next line; exits the benchmark when the program ends.
  std::string line() {
    for (;;) {
      size_t feed = pending.find('\n');
      if (feed != std::string::npos) {
        std::string result = pending.substr(0, feed);
        pending.erase(0, feed + 1);
        return result;
      }
      char buffer[1 << 16];
      ssize_t n = read(out, buffer, sizeof buffer);
      if (n <= 0) {
        std::fprintf(stderr, "a program ended\n");
        std::exit(1);
      }
      pending.append(buffer, static_cast<size_t>(n));
    }
  }

  mirelo::Json event(mirelo::JsonReader& reader) {
    auto value = reader.parse(line());
    if (!value) std::exit(1);
    return *value;
  }

  double cpuSeconds() const {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::vector<std::string> fields;
    size_t at = text.rfind(')') + 2;
    while (at < text.size()) {
      size_t end = text.find(' ', at);
      if (end == std::string::npos) end = text.size();
      fields.push_back(text.substr(at, end - at));
      at = end + 1;
    }
    return (std::stod(fields[11]) + std::stod(fields[12])) / static_cast<double>(sysconf(_SC_CLK_TCK));
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
  pa.send(R"({"command":"start","name":"bench-alpha","txt":{"v":"1","r":"r","p":"p","m":"alpha"}})" "\n");
  pb.send(R"({"command":"start","name":"bench-bravo","txt":{"v":"1","r":"r","p":"p","m":"bravo"}})" "\n");
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
    while (received < count * kChunk) {
      auto e = pb.event(readerB);
      if (e["event"] != "data") continue;
      auto bytes = mirelo::base64Decode(e["data"].get_ref<const std::string&>());
      if (!bytes) std::exit(1);
      received += bytes->size();
      ++events;
    }
  });
  // Lines are encoded by their own thread, so encoding the next overlaps with writing this one.
  std::deque<std::string> ready;
  std::condition_variable encoded, taken;
  std::thread encoder([&] {
    for (size_t n = 0; n < count; ++n) {
      std::string line = R"({"command":"send","connectionId":"bench","requestId":")" + std::to_string(n) +
                         R"(","data":")" + mirelo::base64Encode(payload) + "\"}\n";
      std::unique_lock lock(mutex);
      taken.wait(lock, [&] { return ready.size() < 2; });
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
      taken.notify_one();
    }
    pa.send(line);
  }
  encoder.join();
  acks.join();
  receiver.join();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  (void)events;
  std::printf("%.1f %ld %ld %.3f %.3f %.3f\n", static_cast<double>(received) / seconds / 1e6, pa.peakRssKib(),
              pb.peakRssKib(), seconds, pa.cpuSeconds(), pb.cpuSeconds());
  pa.send(R"({"command":"stop"})" "\n");
  pb.send(R"({"command":"stop"})" "\n");
  waitpid(pa.pid, nullptr, 0);
  waitpid(pb.pid, nullptr, 0);
  return 0;
}
