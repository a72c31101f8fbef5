// MireloServices: start-up only. See bridge/README.md for the process model.
#include <fcntl.h>
#include <glib-unix.h>
#include <glib.h>
#include <malloc.h>
#include <unistd.h>

#include <clocale>
#include <csignal>
#include <cstdlib>

#include "bridge/dispatcher.h"
#include "bridge/main_queue.h"
#include "bridge/reader.h"
#include "bridge/system_events.h"
#include "module/loader.h"
#include "network/network_thread.h"
#include "notifications/commands.h"
#include "platform/platform.h"

using namespace mirelo::services;
using mirelo::Json;

namespace {

// Standard error is never written: libraries that print warnings there (GLib, X, GTK) print
// into /dev/null, and GLib's log, print and printerr handlers write nowhere.
void silenceDiagnostics() {
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null >= 0) {
    ::dup2(null, STDERR_FILENO);
    ::close(null);
  }
  g_log_set_writer_func([](GLogLevelFlags, const GLogField*, gsize, gpointer) { return G_LOG_WRITER_HANDLED; }, nullptr,
                        nullptr);
  g_log_set_default_handler([](const gchar*, GLogLevelFlags, const gchar*, gpointer) {}, nullptr);
  // g_print writes to standard output, which carries protocol lines only.
  g_set_print_handler([](const gchar*) {});
  g_set_printerr_handler([](const gchar*) {});
}

// Large requests and replies cross the pipes in fewer, larger reads and writes.
void widenPipes() {
  for (int fd : {STDIN_FILENO, STDOUT_FILENO}) ::fcntl(fd, F_SETPIPE_SZ, 1 << 20);
}

// libvips loads every optional module it finds under its prefix (PDF, slides, HEIF, ImageMagick
// and their dependencies) although only its built-in PNG, JPEG, GIF, WebP and TIFF loaders are
// allowed. Its prefix comes from VIPSHOME when set; under /dev/null no module folder can exist.
// Set here, before any thread runs: libvips starts later, on the first image command, and then
// reads the variable (it would set it itself otherwise).
void keepImageModulesOut() { ::setenv("VIPSHOME", "/dev/null", 1); }

}  // namespace

int main() {
  silenceDiagnostics();
  // The user's locale, as the toolkit would set it; it is initialised later, when threads run.
  std::setlocale(LC_ALL, "");
  keepImageModulesOut();
  widenPipes();
  // Allocations up to 32 MiB (decoded payloads, image buffers) come from the heap, so a second
  // large request reuses warm pages instead of faulting in fresh mappings; fixed thresholds stop
  // glibc from sliding them. The reader gives the heap back after a few idle seconds, or at once
  // when a request left very much of it free.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
  // A host that closes our output must not kill the process in the middle of a command.
  std::signal(SIGPIPE, SIG_IGN);

  // The notification centre and the other platform services. The toolkit, the display and the
  // image libraries are in the desktop module, loaded by the first command that needs them.
  static platform::Platform platform = platform::makePlatform(module::loadDisplay);
  notifications::hookUp(*platform.notifications);
  static Services services{.platform = platform};

  static MainQueue queue(kMainQueueLimit);
  queue.attach();

  static auto observers = observeSystemEvents();

  static const ReaderCallbacks callbacks{
      .request = [](const std::string& command, const Json& payload,
                    const Reply& reply) { handle(services, command, payload, reply); },
      .wantsPayload = isCommand,
      .runsOnReader = runsOnReader,
      .endOfInput = [] { endProcess(services); },
  };
  readRequests(network::networkContext(), STDIN_FILENO, queue, callbacks);

  // SIGTERM ends the process as the end of input does, on the main thread.
  g_unix_signal_add(
      SIGTERM,
      [](gpointer) -> gboolean {
        endProcess(services);
        return G_SOURCE_REMOVE;
      },
      nullptr);

  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  g_main_loop_run(loop);
  return 0;
}
