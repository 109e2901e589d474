// Ownership of what C libraries hand out: std::unique_ptr<T, Releaser<f>>
// calls f (g_free, EVP_PKEY_free, ...) on the object when it goes away.
#pragma once

template <auto release>
struct Releaser {
  template <class T>
  void operator()(T* object) const {
    release(object);
  }
};
