// One small owning type for every OS resource the program opens: a file
// handle, a descriptor, a file search, a mutex. Wrap the resource in the
// statement that receives it, so that nothing can come in between that leaks
// it.
#pragma once

#include <utility>

namespace faxjob {

/// Owns one resource and releases it exactly once: on destruction, on reset, or on an explicit
/// close. Move-only. `Traits` provides:
///   using Type = ...;                           the resource's type
///   static Type Invalid() noexcept;             the value that owns nothing
///   static bool Release(Type resource) noexcept; true when the release call succeeded
template <typename Traits>
class UniqueResource {
 public:
  using Type = typename Traits::Type;

  UniqueResource() noexcept = default;
  explicit UniqueResource(Type resource) noexcept : resource_(resource) {}
  UniqueResource(UniqueResource&& other) noexcept : resource_(other.Detach()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) Reset(other.Detach());
    return *this;
  }
  ~UniqueResource() { Reset(); }

  Type Get() const noexcept { return resource_; }
  explicit operator bool() const noexcept { return resource_ != Traits::Invalid(); }

  /// Releases the resource now; false when the release call failed. It is gone either way.
  bool Close() noexcept { return !*this || Traits::Release(Detach()); }
  void Reset(Type resource = Traits::Invalid()) noexcept {
    if (*this) Traits::Release(resource_);
    resource_ = resource;
  }
  Type Detach() noexcept { return std::exchange(resource_, Traits::Invalid()); }

 private:
  Type resource_ = Traits::Invalid();
};

}  // namespace faxjob
