// kavri_cloud.connect: Quick Connect token parsing and bootstrap helpers.
#include <nanobind/nanobind.h>

#include "native/logging.hpp"

namespace nb = nanobind;
namespace kd = kavri::detail;

NB_MODULE(connect, m) {
    m.doc() = "Quick Connect token parsing and bootstrap helpers.";
    m.attr("logger") = kd::get_logger("kavri_cloud.connect");
}
