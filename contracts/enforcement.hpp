// The package's enforcement-mode reader (kavri_cloud.enforcement).
#pragma once

#include <nanobind/nanobind.h>

namespace kavri::contracts::enforcement {

namespace nb = nanobind;

inline constexpr const char *kModule = "kavri_cloud.enforcement";
inline constexpr const char *kObserveFirstFromEnv = "observe_first_from_env";

// observe_first_from_env(): true is observe-first, false is enforce.
inline nb::object observe_first_from_env(nb::handle fn) { return nb::borrow(fn)(); }

} // namespace kavri::contracts::enforcement
