#include "loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <string>

namespace mirelo::services::module {
namespace {

// The folder of the running executable, from the kernel's link (not argv[0] or the environment).
std::string executableFolder() {
  std::string path(4096, '\0');
  const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
  if (length <= 0 || static_cast<size_t>(length) >= path.size()) return {};
  path.resize(static_cast<size_t>(length));
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

DesktopModule* load() {
  const std::string folder = executableFolder();
  if (folder.empty()) return nullptr;
  // RTLD_NOW: a symbol the executable does not provide fails here, not in the middle of a command.
  // RTLD_LOCAL: nothing of the module's libraries is offered to later loads.
  void* handle = ::dlopen((folder + kDesktopModuleFile).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) return nullptr;
  auto entry = reinterpret_cast<DesktopModuleEntry>(::dlsym(handle, kDesktopModuleEntry));
  if (!entry) return nullptr;  // the handle stays open: unloading libraries that set up GLib types is unsafe
  return entry();
}

}  // namespace

DesktopModule* desktopModule() {
  static DesktopModule* const loaded = load();
  return loaded;
}

platform::DisplayParts* loadDisplay() {
  DesktopModule* loaded = desktopModule();
  return loaded ? &loaded->display : nullptr;
}

Error moduleMissing() { return failure("图片与桌面组件无法加载"); }

}  // namespace mirelo::services::module
