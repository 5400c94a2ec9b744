// Handlers that objects install in each other: a code pointer plus the object it runs on.
//
// Closure<R(Args...)> is the plain pair. It is copied by value and is not safe to change while
// another thread reads it; use it where the owner sets it before any thread can call it.
//
// AtomicClosure<R(Args...)> holds a pair that one thread may replace while another calls it.
// A call always uses one consistent pair (never a new Code with an old Data), and Set() returns
// only when no call through the previous pair is still running, so the caller may free what the
// old Data points to right after Set() (a link manager detaching a receive handler and then
// closing the link relies on this). The exception is a Set() made from inside a call on the same
// thread (a handler that detaches itself): it takes effect at once and cannot wait for the call
// it is part of.
#pragma once

#include <mutex>
#include <type_traits>
#include <utility>

namespace cls {

template <typename Sig>
struct Closure;

template <typename R, typename... Args>
struct Closure<R(Args...)> {
  using CodeType = R (*)(void* data, Args...);

  CodeType Code = nullptr;  // null: no handler installed
  void* Data = nullptr;     // the object Code runs on

  bool IsSet() const { return Code != nullptr; }

  // Calls the handler; the caller checks IsSet() first.
  R operator()(Args... args) const { return Code(Data, std::forward<Args>(args)...); }

  // The closure that calls `Method` on `object`: Closure<...>::Of<&T::Method>(object).
  template <auto Method, typename T>
  static Closure Of(T* object) {
    return Closure{[](void* data, Args... args) -> R {
                     return (static_cast<T*>(data)->*Method)(std::forward<Args>(args)...);
                   },
                   object};
  }

  friend bool operator==(const Closure& a, const Closure& b) {
    return a.Code == b.Code && a.Data == b.Data;
  }
};

template <typename Sig>
class AtomicClosure;

template <typename R, typename... Args>
class AtomicClosure<R(Args...)> {
 public:
  using ClosureType = Closure<R(Args...)>;

  AtomicClosure() = default;
  explicit AtomicClosure(ClosureType initial) : closure_(initial) {}
  AtomicClosure(const AtomicClosure&) = delete;
  AtomicClosure& operator=(const AtomicClosure&) = delete;

  // Installs `closure` (an unset one detaches). Waits for a call in progress on another thread to
  // return first; that wait lasts as long as one handler call, which each handler keeps short
  // and bounded (a link's write has its own time-outs, a receive handler only parses bytes).
  void Set(ClosureType closure) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    closure_ = closure;
  }
  void Clear() { Set(ClosureType{}); }

  ClosureType Get() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return closure_;
  }
  bool IsSet() const { return Get().IsSet(); }

  // Calls the installed handler, if any; true when one was called (its result is dropped).
  bool Call(Args... args) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (!closure_.IsSet()) return false;
    closure_(std::forward<Args>(args)...);
    return true;
  }

  // Calls the installed handler and returns its result, or `unsetResult` when none is set.
  template <typename U = R, typename = std::enable_if_t<!std::is_void_v<U>>>
  U CallOr(U unsetResult, Args... args) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (!closure_.IsSet()) return unsetResult;
    return closure_(std::forward<Args>(args)...);
  }

 private:
  // Held for the whole of a call, so Set() from another thread waits for the call to end;
  // recursive, so a handler may replace or clear itself from inside its own call.
  mutable std::recursive_mutex mutex_;
  ClosureType closure_;  // guarded by mutex_
};

}  // namespace cls
