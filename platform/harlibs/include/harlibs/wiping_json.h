// Heap memory for Boost.JSON trees that may hold secrets (an export text with passwords and
// private keys): every block is wiped with Har::Cleanse before it is released. Requests up to the
// default new alignment all use plain new/delete (the JSON library may free a block with a larger
// alignment argument than it was allocated with). Header-only: users link Boost.JSON themselves.
#pragma once

#include <harlibs/no_destructor.h>
#include <harlibs/secure.h>

#include <boost/json/memory_resource.hpp>
#include <boost/json/storage_ptr.hpp>

#include <cstddef>
#include <new>

namespace Har {

class WipingJsonResource final : public boost::json::memory_resource {
  static bool Overaligned(std::size_t align) { return align > __STDCPP_DEFAULT_NEW_ALIGNMENT__; }

  void* do_allocate(std::size_t n, std::size_t align) override {
    return Overaligned(align) ? ::operator new(n, std::align_val_t(align)) : ::operator new(n);
  }
  void do_deallocate(void* p, std::size_t n, std::size_t align) override {
    Cleanse(p, n);
    if (Overaligned(align)) {
      ::operator delete(p, std::align_val_t(align));
    } else {
      ::operator delete(p);
    }
  }
  bool do_is_equal(const boost::json::memory_resource& other) const noexcept override {
    return this == &other;
  }
};

// The process's one wiping resource (it has no state), for trees that outlive a scope.
inline boost::json::storage_ptr WipingJsonStorage() {
  static NoDestructor<WipingJsonResource> resource;
  return boost::json::storage_ptr(&*resource);
}

}  // namespace Har
