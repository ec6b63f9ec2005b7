#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "platform/IUnknown.h"

// A COM object that may be aggregated. T names its interfaces through
//   HRESULT FindInterface(REFIID iid, void** object)
// (the pointer without a reference; E_NOINTERFACE for anything else) and implements every other
// method. Alone, the object is its own controlling unknown; aggregated, every interface delegates
// QueryInterface, AddRef and Release to the outer object, and only the inner unknown handed to the
// outer controls the object's life.
template <typename T>
class QORComAggregate final : public T {
 public:
  // As a class factory's CreateInstance: an outer object may only ask for IUnknown.
  template <typename... Args>
  static HRESULT Create(IUnknown* outer, REFIID iid, void** object, Args&&... args) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr && !(iid == IID_IUnknown)) return CLASS_E_NOAGGREGATION;
    auto* created = new QORComAggregate(outer, std::forward<Args>(args)...);
    const HRESULT hr = created->inner_.QueryInterface(iid, object);
    created->inner_.Release();
    return hr;
  }

  HRESULT QueryInterface(REFIID iid, void** object) override {
    return outer_->QueryInterface(iid, object);
  }
  ULONG AddRef() override { return outer_->AddRef(); }
  ULONG Release() override { return outer_->Release(); }

 private:
  class Inner final : public IUnknown {
   public:
    explicit Inner(QORComAggregate* owner) : owner_(owner) {}
    HRESULT QueryInterface(REFIID iid, void** object) override {
      if (object == nullptr) return E_POINTER;
      *object = nullptr;
      if (iid == IID_IUnknown) {
        *object = static_cast<IUnknown*>(this);
      } else {
        const HRESULT hr = owner_->FindInterface(iid, object);
        if (FAILED(hr)) return hr;
        if (*object == nullptr) return E_NOINTERFACE;
      }
      // Through the interface handed out: aggregated, its reference belongs to the outer object.
      static_cast<IUnknown*>(*object)->AddRef();
      return S_OK;
    }
    ULONG AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG Release() override {
      const uint32_t left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
      if (left == 0) delete owner_;
      return left;
    }

   private:
    QORComAggregate* owner_;
    std::atomic<uint32_t> refs_{1};
  };

  template <typename... Args>
  explicit QORComAggregate(IUnknown* outer, Args&&... args)
      : T(std::forward<Args>(args)...),
        inner_(this),
        outer_(outer != nullptr ? outer : static_cast<IUnknown*>(&inner_)) {}
  ~QORComAggregate() override = default;

  Inner inner_;
  IUnknown* outer_;
};
