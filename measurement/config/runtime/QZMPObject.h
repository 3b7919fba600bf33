// What every heap object of the interpreter shares: a counted reference, the
// tally of live objects, and release that never recurses, so that freeing a
// chain of a million nested arrays takes a loop, not a million stack frames.
//
// Objects start with no references; the first QZMPRef takes one. They are
// used by one thread at a time (the thread running their runtime).
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include <absl/base/attributes.h>

// For the few small steps every evaluation takes, which the compiler
// otherwise leaves out of line in the evaluator's large functions. Only in
// optimised builds: unoptimised ones keep each inlined copy's locals apart,
// and the evaluator's frames, one per nesting level, would grow.
#ifdef __OPTIMIZE__
#define QZMP_HOT_INLINE ABSL_ATTRIBUTE_ALWAYS_INLINE inline
#else
#define QZMP_HOT_INLINE inline
#endif

class QZMPMarker;
class QZMPObjectManager;

// The kinds of runtime values. The small kinds are held in the value itself;
// from `string` on a value holds a counted reference to a heap object.
enum class QZMPValueKind : std::uint8_t {
  undefined,
  null,
  boolean,
  number,
  hole,  // an array slot never set or deleted; never handed to a program
  breakControl,
  continueControl,
  string,
  array,
  map,
  function,
  returnControl,
  statement,
};
inline constexpr QZMPValueKind kQZMPFirstHeapKind = QZMPValueKind::string;

// What the allocator keeps beside each block it hands out, roughly: what an
// object costs beyond its own size when memory is counted.
inline constexpr std::size_t kQZMPAllocationBytes = 16;

class QZMPObject {
 public:
  QZMPObject(const QZMPObject&) = delete;
  QZMPObject& operator=(const QZMPObject&) = delete;

  void retain() const { ++refCount_; }
  void release() const {
    if (--refCount_ == 0) destroy(this);
  }
  std::uint32_t refCount() const { return refCount_; }

  // Hands everything this object keeps alive to the marker (the collector's
  // mark phase). Leaves without references need not override it.
  virtual void traceReferences(QZMPMarker& marker);

  // Heap objects of every runtime in the process that are not yet freed.
  static std::int64_t liveCount();

 protected:
  QZMPObject();
  virtual ~QZMPObject();

 private:
  friend class QZMPMarker;
  friend class QZMPObjectManager;
  static void destroy(const QZMPObject* object);

  mutable std::uint32_t refCount_ = 0;
  // The collection this object was last marked in.
  std::uint32_t markEpoch_ = 0;
};

// A counted reference to a heap object.
template <class T>
class QZMPRef {
 public:
  QZMPRef() = default;
  QZMPRef(std::nullptr_t) {}
  QZMPRef(T* object) : object_(object) {
    if (object_) object_->retain();
  }
  QZMPRef(const QZMPRef& other) : QZMPRef(other.object_) {}
  QZMPRef(QZMPRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  template <class U>
  QZMPRef(const QZMPRef<U>& other) : QZMPRef(static_cast<T*>(other.get())) {}
  template <class U>
  QZMPRef(QZMPRef<U>&& other) noexcept : object_(other.leak()) {}
  ~QZMPRef() {
    if (object_) object_->release();
  }
  QZMPRef& operator=(QZMPRef other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }

  T* get() const { return object_; }
  T* operator->() const { return object_; }
  T& operator*() const { return *object_; }
  explicit operator bool() const { return object_ != nullptr; }
  bool operator==(const QZMPRef& other) const { return object_ == other.object_; }

  // Gives up the reference without releasing it.
  T* leak() { return std::exchange(object_, nullptr); }

 private:
  T* object_ = nullptr;
};

template <class T, class... Args>
QZMPRef<T> QZMPMake(Args&&... args) {
  return QZMPRef<T>(new T(std::forward<Args>(args)...));
}
