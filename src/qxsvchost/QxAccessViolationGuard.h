// Runs foreign code under a guard that turns an access violation into a result instead of the end
// of the process: the g++ counterpart of an __except block that accepts 0xC0000005 only.
#pragma once

#include <type_traits>
#include <utility>

// Calls |routine|(|context|) and returns true when it returned. When an access violation is raised
// inside it and no exception handler further in claims it, the frames in between are unwound and
// false is returned (destructors of those frames do not run, as with __except). Every other
// exception passes through the guard untouched.
bool CallWithAccessViolationGuard(void (*routine)(void*), void* context);

// CallWithAccessViolationGuard for a callable.
template <typename F>
bool RunWithAccessViolationGuard(F&& body) {
  using Body = std::remove_reference_t<F>;
  return CallWithAccessViolationGuard(
      [](void* context) { (*static_cast<Body*>(context))(); },
      const_cast<void*>(static_cast<const void*>(std::addressof(body))));
}
