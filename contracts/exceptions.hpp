// The package's error kinds (kavri_cloud.exceptions): names and the attributes read from them.
#pragma once

#include <nanobind/nanobind.h>

namespace kavri::contracts::exceptions {

namespace nb = nanobind;

inline constexpr const char *kModule = "kavri_cloud.exceptions";
inline constexpr const char *kKavriCloudError = "KavriCloudError";         // KavriCloudError(message)
inline constexpr const char *kAuthenticationError = "AuthenticationError"; // 401 and 403
inline constexpr const char *kApprovalDeniedError = "ApprovalDeniedError";
inline constexpr const char *kApprovalExpiredError = "ApprovalExpiredError";
inline constexpr const char *kApprovalTimeoutError = "ApprovalTimeoutError"; // (request_id, timeout)
inline constexpr const char *kConflictError = "ConflictError";               // 409; `code` says which conflict

inline nb::object status_code(nb::handle exc) { return exc.attr("status_code"); }
inline nb::object code(nb::handle exc) { return exc.attr("code"); }
inline nb::object remediation(nb::handle exc) { return exc.attr("remediation"); }
inline nb::object body(nb::handle exc) { return exc.attr("body"); }

inline nb::object approval_timeout(nb::handle cls, nb::handle request_id, nb::handle timeout) {
    return nb::borrow(cls)(request_id, timeout);
}

} // namespace kavri::contracts::exceptions
