#pragma once

#include <utility>

#include "platform/IUnknown.h"

// Owns one reference to a COM object.
template <typename T>
class QORComPtr {
 public:
  QORComPtr() = default;
  // Takes over a reference the caller already holds.
  static QORComPtr Attach(T* object) {
    QORComPtr ptr;
    ptr.object_ = object;
    return ptr;
  }
  QORComPtr(const QORComPtr& other) : object_(other.object_) {
    if (object_ != nullptr) object_->AddRef();
  }
  QORComPtr(QORComPtr&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  QORComPtr& operator=(QORComPtr other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~QORComPtr() { Reset(); }

  void Reset() {
    if (object_ != nullptr) std::exchange(object_, nullptr)->Release();
  }
  T* Get() const { return object_; }
  T* operator->() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // For out parameters: releases what is held and gives the slot.
  T** Put() {
    Reset();
    return &object_;
  }
  void** PutVoid() { return reinterpret_cast<void**>(Put()); }

 private:
  T* object_ = nullptr;
};
