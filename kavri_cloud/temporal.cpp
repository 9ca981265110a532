// kavri_cloud.temporal: Temporal integration helpers for Kavri Cloud.
#include <nanobind/nanobind.h>

#include "native/logging.hpp"

namespace nb = nanobind;
namespace kd = kavri::detail;

NB_MODULE(temporal, m) {
    m.doc() = "Temporal integration helpers for Kavri Cloud.";
    m.attr("logger") = kd::get_logger("kavri_cloud.temporal");
}
