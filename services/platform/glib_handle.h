#pragma once

// GLib's reference-counted and allocated types as owning handles (common/handle.h), `glib::Error`,
// `glib::Object<GDBusConnection>` and so on: each releases its one reference, or frees its memory,
// when reset or destroyed. `glib::out(handle)` fills one from a C out-parameter (`GError**`,
// `gchar**`, …), replacing what it held. Header only; no cost beyond the release itself.

#include <gio/gio.h>

#include "handle.h"

namespace mirelo::services::platform::glib {

template <class T>
using Object = Handle<T, g_object_unref>;  // any GObject: connections, cancellables, results, items
using Variant = Handle<GVariant, g_variant_unref>;
using Error = Handle<GError, g_error_free>;
using Chars = Handle<gchar, g_free>;
using Source = Handle<GSource, g_source_unref>;
using Context = Handle<GMainContext, g_main_context_unref>;
using Loop = Handle<GMainLoop, g_main_loop_unref>;
using HashTable = Handle<GHashTable, g_hash_table_unref>;

// Takes a new reference of `object` (not null), as g_object_ref does.
template <class T>
Object<T> ref(T* object) {
  return Object<T>(static_cast<T*>(g_object_ref(object)));
}

// Sinks a floating variant (or takes a reference of a full one): the handle owns it either way.
inline Variant sink(GVariant* value) { return Variant(value ? g_variant_ref_sink(value) : nullptr); }

template <class H>
class OutParameter {
 public:
  explicit OutParameter(H& handle) : handle_(handle) {}
  OutParameter(const OutParameter&) = delete;
  OutParameter& operator=(const OutParameter&) = delete;
  ~OutParameter() { handle_.reset(raw_); }
  operator typename H::pointer *() { return &raw_; }

 private:
  H& handle_;
  typename H::pointer raw_ = nullptr;
};

// For the call's duration only: `f(&…)` becomes `f(out(handle))`, and the handle owns what was
// written once the full expression has ended. Never through `...` (g_variant_get and the like): an
// object is not converted there.
template <class H>
OutParameter<H> out(H& handle) {
  return OutParameter<H>(handle);
}

}  // namespace mirelo::services::platform::glib
