// Growable buffers whose resize leaves new elements uninitialised.
//
// Decoders size a column once and then fill every element, so zero-filling it first would be a
// wasted pass over memory. Vec<T> is a std::vector whose value-initialisation is default
// initialisation; for trivial element types resize() only moves the end pointer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "model/pages.h"

namespace kvt {

// True for element types whose default member initialisers Vec may skip: every producer of such
// a vector stores each element it adds before reading it.
template <class T>
struct SkipDefaultInit : std::false_type {};

// Buffers of kLargeBuffer bytes or more go on huge pages and are reused (model/pages.h).
template <class T, class Base = std::allocator<T>>
struct DefaultInitAllocator : Base {
  using Base::Base;
  T* allocate(size_t n) {
    if (n >= kLargeBuffer / sizeof(T) && n <= SIZE_MAX / sizeof(T)) {
      return static_cast<T*>(allocate_large(n * sizeof(T)));
    }
    return Base::allocate(n);
  }
  void deallocate(T* p, size_t n) noexcept {
    if (n >= kLargeBuffer / sizeof(T) && n <= SIZE_MAX / sizeof(T)) {
      free_large(p, n * sizeof(T));
    } else {
      Base::deallocate(p, n);
    }
  }
  template <class U>
  struct rebind {
    using other =
        DefaultInitAllocator<U, typename std::allocator_traits<Base>::template rebind_alloc<U>>;
  };
  template <class U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    if constexpr (!SkipDefaultInit<U>::value) ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    std::allocator_traits<Base>::construct(static_cast<Base&>(*this), p,
                                           std::forward<Args>(args)...);
  }
};

template <class T>
using Vec = std::vector<T, DefaultInitAllocator<T>>;

}  // namespace kvt
