// The authorization SDK (kavri): the modules and names the native modules look up, and how
// they call them. Every lookup is made when the step that needs it runs.
#pragma once

#include <nanobind/nanobind.h>

namespace kavri::contracts::sdk {

namespace nb = nanobind;
using namespace nb::literals;

// kavri.approval.ApprovalDenied(request, reason=reason)
inline constexpr const char *kApprovalModule = "kavri.approval";
inline constexpr const char *kApprovalDenied = "ApprovalDenied";
inline nb::object approval_denied(nb::handle cls, nb::handle request, nb::handle reason) {
    return nb::borrow(cls)(request, "reason"_a = reason);
}

// kavri.cp_approval: ControlPlaneApprovalResponseV1(status=, signed_approvals_b64=),
// signed_approvals_from_response(record)
inline constexpr const char *kCpApprovalModule = "kavri.cp_approval";
inline constexpr const char *kControlPlaneApprovalResponseV1 = "ControlPlaneApprovalResponseV1";
inline constexpr const char *kSignedApprovalsFromResponse = "signed_approvals_from_response";
inline nb::object cp_response(nb::handle cls, const char *status, nb::handle signed_approvals_b64) {
    return nb::borrow(cls)("status"_a = status, "signed_approvals_b64"_a = signed_approvals_b64);
}

// kavri.decorators.key_scope(): the signing key of the current scope, or None.
inline constexpr const char *kDecoratorsModule = "kavri.decorators";
inline constexpr const char *kKeyScope = "key_scope";

// kavri.control_plane.ControlPlaneClient(url=, api_key=, authorizer_name=, signing_key=[, receipt_sink=])
inline constexpr const char *kControlPlaneModule = "kavri.control_plane";
inline constexpr const char *kControlPlaneClient = "ControlPlaneClient";
inline nb::object control_plane_client(nb::handle cls, nb::handle url, nb::handle api_key, nb::handle authorizer_name,
                                       nb::handle signing_key, nb::handle receipt_sink = nb::handle()) {
    if (!receipt_sink.is_valid())
        return nb::borrow(cls)("url"_a = url, "api_key"_a = api_key, "authorizer_name"_a = authorizer_name,
                               "signing_key"_a = signing_key);
    return nb::borrow(cls)("url"_a = url, "api_key"_a = api_key, "authorizer_name"_a = authorizer_name,
                           "signing_key"_a = signing_key, "receipt_sink"_a = receipt_sink);
}

// kavri.langgraph: KavriMiddleware, KavriToolNode (subclassed; constructors take approval_handler).
inline constexpr const char *kLangGraphModule = "kavri.langgraph";
inline constexpr const char *kKavriMiddleware = "KavriMiddleware";
inline constexpr const char *kKavriToolNode = "KavriToolNode";

// kavri.temporal: KavriPluginConfig (a dataclass with __post_init__), KavriPlugin(config).
inline constexpr const char *kTemporalModule = "kavri.temporal";
inline constexpr const char *kKavriPluginConfig = "KavriPluginConfig";
inline constexpr const char *kKavriPlugin = "KavriPlugin";

} // namespace kavri::contracts::sdk
