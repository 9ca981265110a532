// kavri_cloud.langgraph: LangGraph approval handler and drop-in middleware for Kavri Cloud.
#include <nanobind/nanobind.h>

#include "native/logging.hpp"

namespace nb = nanobind;
namespace kd = kavri::detail;

NB_MODULE(langgraph, m) {
    m.doc() = "LangGraph approval handler and drop-in middleware for Kavri Cloud.";
    m.attr("logger") = kd::get_logger("kavri_cloud.langgraph");
}
