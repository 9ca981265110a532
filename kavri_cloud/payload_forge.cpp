// kavri_cloud.payload_forge: Build attested approval request payloads for the Kavri Cloud API.
#include <nanobind/nanobind.h>

#include "native/logging.hpp"

namespace nb = nanobind;
namespace kd = kavri::detail;

NB_MODULE(payload_forge, m) {
    m.doc() = "Build attested approval request payloads for the Kavri Cloud API.";
    m.attr("logger") = kd::get_logger("kavri_cloud.payload_forge");
}
