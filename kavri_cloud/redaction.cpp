// kavri_cloud.redaction: credential redaction for diagnostic output.
#include <nanobind/nanobind.h>

namespace nb = nanobind;

NB_MODULE(redaction, m) {
    m.doc() = "Redact credentials from diagnostic output.";
}
