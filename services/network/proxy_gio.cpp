// GIO's proxy resolver on the main context (see proxy_gio.h). Costs: one idle source and one
// asynchronous lookup on the main thread per connection.
#include "proxy_gio.h"

#include <gio/gio.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

namespace mirelo::services::network::proxy {

struct GioLookup {
  std::string uri;
  std::mutex lock;  // guards `done`: cancel() comes from the network thread
  GioDone done;
  GCancellable* cancellable = g_cancellable_new();
  ~GioLookup() { g_object_unref(cancellable); }

  GioDone take() {
    std::lock_guard hold(lock);
    GioDone out = std::move(done);
    done = nullptr;
    return out;
  }
};

namespace {

using Held = std::shared_ptr<GioLookup>;

void onLookup(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<Held> held(static_cast<Held*>(data));
  GError* error = nullptr;
  gchar** uris = g_proxy_resolver_lookup_finish(G_PROXY_RESOLVER(source), result, &error);
  std::vector<std::string> list;
  std::string failure;
  if (uris) {
    for (gchar** uri = uris; *uri; ++uri) list.emplace_back(*uri);
    g_strfreev(uris);
  } else {
    failure = error ? error->message : "the system's proxy lookup failed";
  }
  if (error) g_error_free(error);
  if (auto done = (*held)->take()) done(std::move(list), std::move(failure));
}

gboolean ask(gpointer data) {
  const Held& held = *static_cast<Held*>(data);  // the source's own, freed with it
  if (g_cancellable_is_cancelled(held->cancellable)) return G_SOURCE_REMOVE;
  g_proxy_resolver_lookup_async(g_proxy_resolver_get_default(), held->uri.c_str(), held->cancellable, onLookup,
                                new Held(held));
  return G_SOURCE_REMOVE;
}

}  // namespace

bool gioServesMore() {
  GProxyResolver* resolver = g_proxy_resolver_get_default();
  if (!resolver || !g_proxy_resolver_is_supported(resolver)) return false;
  const std::string type = G_OBJECT_TYPE_NAME(resolver);
  if (type == "GProxyResolverGnome" || type == "GProxyResolverPortal") return true;
  if (type == "GLibproxyResolver") {
    const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
    return desktop && std::strstr(desktop, "KDE");
  }
  return false;
}

std::shared_ptr<GioLookup> lookupGio(const std::string& uri, GioDone done) {
  auto lookup = std::make_shared<GioLookup>();
  lookup->uri = uri;
  lookup->done = std::move(done);
  GSource* source = g_idle_source_new();
  g_source_set_priority(source, G_PRIORITY_DEFAULT);
  g_source_set_callback(source, ask, new Held(lookup), [](gpointer data) { delete static_cast<Held*>(data); });
  g_source_attach(source, g_main_context_default());
  g_source_unref(source);
  return lookup;
}

void cancel(const std::shared_ptr<GioLookup>& lookup) {
  if (!lookup) return;
  lookup->take();
  g_cancellable_cancel(lookup->cancellable);
}

}  // namespace mirelo::services::network::proxy
