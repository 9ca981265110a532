// The package's models (kavri_cloud.models): constructors and the fields read from them.
#pragma once

#include <nanobind/nanobind.h>

namespace kavri::contracts::models {

namespace nb = nanobind;
using namespace nb::literals;

inline constexpr const char *kModule = "kavri_cloud.models";

// Names created once per module and kept for the process: token decoding runs hot.
inline PyObject *interned(const char *text) {
    PyObject *name = PyUnicode_InternFromString(text);
    if (!name) throw nb::python_error();
    return name;
}

// ConnectTokenPayload.from_dict(value): endpoint, api_key, agent_id, registration_token.
inline nb::object connect_token_payload(nb::handle cls, nb::handle value) {
    static PyObject *from_dict = interned("from_dict");
    PyObject *out = PyObject_CallMethodOneArg(cls.ptr(), from_dict, value.ptr());
    if (!out) throw nb::python_error();
    return nb::steal(out);
}

// ConnectConfig(api_base_url=, api_key=, agent_id=, registration_token=); is_agent_mode.
inline nb::object connect_config(nb::handle cls, nb::handle api_base_url, nb::handle api_key, nb::handle agent_id,
                                 nb::handle registration_token) {
    static PyObject *names = [] {
        PyObject *t = PyTuple_Pack(4, interned("api_base_url"), interned("api_key"), interned("agent_id"),
                                   interned("registration_token"));
        if (!t) throw nb::python_error();
        return t;
    }();
    PyObject *args[] = {api_base_url.ptr(), api_key.ptr(), agent_id.ptr(), registration_token.ptr()};
    PyObject *out = PyObject_Vectorcall(cls.ptr(), args, 0, names);
    if (!out) throw nb::python_error();
    return nb::steal(out);
}
// ConnectConfig with the model's defaults for the agent fields.
inline nb::object connect_config(nb::handle cls, nb::handle api_base_url, nb::handle api_key) {
    return nb::borrow(cls)("api_base_url"_a = api_base_url, "api_key"_a = api_key);
}

// BootstrapCheck(name, status, message[, remediation][, raw=]).
inline nb::object bootstrap_check(nb::handle cls, const char *name, const char *status, nb::handle message,
                                  nb::handle remediation = nb::handle(), nb::handle raw = nb::handle()) {
    nb::object c = nb::borrow(cls);
    if (!remediation.is_valid()) return c(name, status, message);
    if (!raw.is_valid()) return c(name, status, message, remediation);
    return c(name, status, message, remediation, "raw"_a = raw);
}

// BootstrapCheck(name, status, message, raw=raw): a finding without remediation that keeps its data.
inline nb::object bootstrap_check_with_raw(nb::handle cls, const char *name, const char *status, nb::handle message,
                                           nb::handle raw) {
    return nb::borrow(cls)(name, status, message, "raw"_a = raw);
}

// BootstrapReport(ok=, config=, checks=, claimed_agent=); raise_for_error().
inline nb::object bootstrap_report(nb::handle cls, bool ok, nb::handle config, nb::handle checks,
                                   nb::handle claimed_agent) {
    return nb::borrow(cls)("ok"_a = ok, "config"_a = config, "checks"_a = checks, "claimed_agent"_a = claimed_agent);
}

// ClaimAgentResult.from_dict(mapping): agent_id, status, name, raw.
inline nb::object claim_agent_result(nb::handle cls, nb::handle mapping) { return cls.attr("from_dict")(mapping); }

} // namespace kavri::contracts::models
