// The SDK's native core (kavri_core): keys, attestations and signed approvals.
#pragma once

#include <nanobind/nanobind.h>

namespace kavri::contracts::core {

namespace nb = nanobind;

inline constexpr const char *kModule = "kavri_core";
inline constexpr const char *kBuildAttestation = "py_build_approval_context_attestation";
inline constexpr const char *kSignedApproval = "SignedApproval";
inline constexpr const char *kSigningKey = "SigningKey";
inline constexpr const char *kPublicKey = "PublicKey";

// py_build_approval_context_attestation(key, warrant_id, tool, arguments, public_key):
// a pair (canonical-CBOR base64 text, attestation mapping).
inline nb::object build_attestation(nb::handle fn, nb::handle key, nb::handle warrant_id, nb::handle tool,
                                    nb::handle arguments, nb::handle public_key) {
    return nb::borrow(fn)(key, warrant_id, tool, arguments, public_key);
}

inline nb::object signed_approval_from_bytes(nb::handle cls, nb::handle data) { return cls.attr("from_bytes")(data); }
inline nb::object signing_key_from_bytes(nb::handle cls, nb::handle data) { return cls.attr("from_bytes")(data); }
inline nb::object signing_key_from_hex(nb::handle cls, nb::handle text) { return cls.attr("from_hex")(text); }
inline nb::object public_key_from_bytes(nb::handle cls, nb::handle data) { return cls.attr("from_bytes")(data); }

// key.public_key; public_key.to_bytes()
inline nb::object public_key_of(nb::handle signing_key) { return signing_key.attr("public_key"); }
inline nb::object to_bytes(nb::handle key) { return key.attr("to_bytes")(); }

} // namespace kavri::contracts::core
