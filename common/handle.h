#pragma once

// Ownership of a C library's handle: `Handle<T, free>` calls `free` on the pointer it holds, once,
// when it is reset or destroyed. One wrapper for every library (GLib, libvips, libqrencode, …).

#include <memory>

namespace mirelo {

template <auto Free>
struct FreeWith {
  template <class T>
  void operator()(T* handle) const {
    if (handle) Free(handle);
  }
};

template <class T, auto Free>
using Handle = std::unique_ptr<T, FreeWith<Free>>;

}  // namespace mirelo
