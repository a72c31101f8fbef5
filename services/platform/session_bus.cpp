#include "session_bus.h"

#include <gio/gio.h>
#include <sys/stat.h>

#include <cstdlib>

namespace mirelo::services::platform {

std::string sessionBusAddress() {
  if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) return address;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
    const std::string path = std::string(runtime) + "/bus";
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
      gchar* escaped = g_dbus_address_escape_value(path.c_str());
      std::string address = std::string("unix:path=") + escaped;
      g_free(escaped);
      return address;
    }
  }
  return {};
}

}  // namespace mirelo::services::platform
