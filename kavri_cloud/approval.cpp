// kavri_cloud.approval: Kavri Cloud approval handlers: blocking, asyncio and Temporal.
#include <nanobind/nanobind.h>

#include "native/logging.hpp"

namespace nb = nanobind;
namespace kd = kavri::detail;

NB_MODULE(approval, m) {
    m.doc() = "Kavri Cloud approval handlers: blocking, asyncio and Temporal.";
    m.attr("logger") = kd::get_logger("kavri_cloud.approval");
}
