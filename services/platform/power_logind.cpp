// Power assertions as logind sleep inhibitors: Inhibit("sleep", …, "block") answers a descriptor,
// and the inhibitor lasts while any copy of it is open. Releasing is closing our one copy.
#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <unistd.h>

#include <map>
#include <string>

#include "bus_gdbus.h"
#include "glib_handle.h"
#include "power.h"

namespace mirelo::services::platform {
namespace {

constexpr int kTimeoutMs = 3000;  // a logind that does not answer must not hold the main thread

class LogindPowerAssertions final : public PowerAssertions {
 public:
  ~LogindPowerAssertions() override {
    for (auto [id, fd] : held_) ::close(fd);
  }

  uint32_t create(std::string_view name) override {
    GDBusConnection* bus = connection();
    if (!bus) return 0;
    const std::string why(name);
    glib::Object<GUnixFDList> fds;
    const glib::Variant reply(g_dbus_connection_call_with_unix_fd_list_sync(
        bus, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "Inhibit",
        g_variant_new("(ssss)", "sleep", "Mirelo", why.c_str(), "block"), G_VARIANT_TYPE("(h)"), G_DBUS_CALL_FLAGS_NONE,
        kTimeoutMs, nullptr, glib::out(fds), nullptr, nullptr));
    int fd = -1;
    if (reply && fds) {
      gint32 index = -1;
      g_variant_get(reply.get(), "(h)", &index);
      fd = g_unix_fd_list_get(fds.get(), index, nullptr);  // a copy of ours; the list's own closes with it
    }
    if (fd < 0) return 0;
    const uint32_t id = next_++;
    if (next_ == 0) next_ = 1;
    held_.emplace(id, fd);
    return id;
  }

  void release(uint32_t assertion) override {
    if (const auto found = held_.find(assertion); found != held_.end()) {
      ::close(found->second);
      held_.erase(found);
    }
  }

 private:
  // Connected when first needed and again after the bus went away, so a system bus that appears
  // later is found.
  GDBusConnection* connection() { return liveBus(bus_, systemBusAddress, kTimeoutMs); }

  glib::Object<GDBusConnection> bus_;
  std::map<uint32_t, int> held_;
  uint32_t next_ = 1;
};

}  // namespace

std::unique_ptr<PowerAssertions> makeLogindPowerAssertions() { return std::make_unique<LogindPowerAssertions>(); }

}  // namespace mirelo::services::platform
