// kavri_cloud.connect: Quick Connect token, environment export, agent claim, doctor and bootstrap.
// Calls the package client, models and error kinds, kavri_core (key derivation) and urllib.parse.
#include <nanobind/nanobind.h>

#include <optional>
#include <string>

#include "contracts/client.hpp"
#include "contracts/core.hpp"
#include "contracts/exceptions.hpp"
#include "contracts/models.hpp"
#include "native/callable.hpp"
#include "native/errors.hpp"
#include "native/module.hpp"
#include "native/host.hpp"
#include "native/json.hpp"
#include "native/logging.hpp"
#include "native/url.hpp"

namespace nb = nanobind;
namespace kd = kavri::detail;
namespace client_api = kavri::contracts::client;
namespace core_api = kavri::contracts::core;
namespace errors_api = kavri::contracts::exceptions;
namespace models_api = kavri::contracts::models;
using namespace nb::literals;

namespace {

// The module object, borrowed: it outlives every call into it.
PyObject *g_module = nullptr;

nb::object mod_attr(const char *name) { return kd::module_attr(g_module, name); }
nb::object logger() { return mod_attr("logger"); }

constexpr const char *kModuleName = "kavri_cloud.connect";
constexpr const char *kConnectPrefix = "kavri_ct_";
constexpr size_t kConnectPrefixLength = 9;
constexpr const char *kEnvConnectToken = "KAVRI_CONNECT_TOKEN";
constexpr const char *kEnvApiKey = "KAVRI_API_KEY";
constexpr const char *kEnvControlPlaneUrl = "KAVRI_CONTROL_PLANE_URL";
constexpr const char *kEnvApiUrl = "KAVRI_API_URL";
constexpr const char *kEnvAgentId = "KAVRI_AGENT_ID";
constexpr const char *kEnvAgentPublicKey = "KAVRI_AGENT_PUBLIC_KEY";
constexpr const char *kEnvSigningKey = "KAVRI_SIGNING_KEY";
constexpr const char *kEnvIssuerKey = "KAVRI_ISSUER_KEY";
// Seconds a whole doctor run may spend on the network, all probes together.
constexpr double kDoctorTimeout = 30.0;

// Attribute names of the hot path, interned once (see g_names below).
struct Names {
    PyObject *endpoint, *api_key, *agent_id, *registration_token, *payload_cls, *config_cls;
};
Names g_names{};

nb::object get(nb::handle obj, PyObject *name) {
    PyObject *value = PyObject_GetAttr(obj.ptr(), name);
    if (!value) throw nb::python_error();
    return nb::steal(value);
}

// ---------------------------------------------------------------------------
// Text helpers

struct Span {
    size_t begin, end;
};

void require_text(nb::handle value, const char *what) {
    if (PyUnicode_Check(value.ptr())) return;
    PyErr_Format(PyExc_TypeError, "%s must be a str, not %.200s", what, Py_TYPE(value.ptr())->tp_name);
    throw nb::python_error();
}

nb::str substr(nb::handle s, Span span) {
    PyObject *out = PyUnicode_Substring(s.ptr(), Py_ssize_t(span.begin), Py_ssize_t(span.end));
    if (!out) throw nb::python_error();
    return nb::steal<nb::str>(out);
}

nb::str concat(nb::handle a, nb::handle b) {
    PyObject *out = PyUnicode_Concat(a.ptr(), b.ptr());
    if (!out) throw nb::python_error();
    return nb::steal<nb::str>(out);
}

size_t text_length(nb::handle s) { return size_t(PyUnicode_GET_LENGTH(s.ptr())); }

bool contains(nb::handle s, const char *needle) {
    Py_ssize_t at = PyUnicode_Find(s.ptr(), nb::str(needle).ptr(), 0, PY_SSIZE_T_MAX, 1);
    if (at == -2) throw nb::python_error();
    return at >= 0;
}

// str.strip() bounds (the host's white space), then optionally every trailing "/".
template <typename CharT> Span strip_span(const CharT *s, size_t n, bool trailing_slashes) {
    size_t b = 0, e = n;
    while (b < e && Py_UNICODE_ISSPACE(Py_UCS4(s[b]))) ++b;
    while (e > b && Py_UNICODE_ISSPACE(Py_UCS4(s[e - 1]))) --e;
    while (trailing_slashes && e > b && uint32_t(s[e - 1]) == '/') --e;
    return {b, e};
}

nb::str strip(nb::handle s) {
    return substr(s, kd::with_code_points(s, [](const auto *d, size_t n) { return strip_span(d, n, false); }));
}

nb::str rstrip_slashes(nb::handle s) {
    Span span = kd::with_code_points(s, [](const auto *d, size_t n) {
        while (n > 0 && uint32_t(d[n - 1]) == '/') --n;
        return Span{0, n};
    });
    return substr(s, span);
}

// `value or fallback` on host values.
nb::object either(nb::handle value, nb::handle fallback) {
    return kd::truthy(value) ? nb::borrow(value) : nb::borrow(fallback);
}

// os.environ.get(name) or "" : the variable when set and non-empty, else "".
nb::str env_text(const char *name) {
    auto value = kd::env_nonempty(name);
    return value ? *value : nb::str("");
}

// ---------------------------------------------------------------------------
// Errors

[[noreturn]] void raise_cloud_error(nb::handle message, nb::handle cause = nb::handle()) {
    kd::raise_instance(mod_attr(errors_api::kKavriCloudError)(message), cause);
}

// "<prefix><str(err)>", err attached as the cause.
[[noreturn]] void raise_wrapping(const char *prefix, const nb::python_error &err) {
    raise_cloud_error(concat(nb::str(prefix), kd::error_text(err)), kd::error_value(err));
}

bool is_cloud_error(const nb::python_error &err) { return kd::error_is(err, mod_attr(errors_api::kKavriCloudError)); }

// Closes `client` while an error propagates. A failure of close() takes over,
// with the pending error as its context, as a `finally:` block does.
void close_during_error(nb::handle client, const nb::python_error *pending) {
    try {
        client_api::close(client);
    } catch (nb::python_error &failure) {
        if (pending) PyException_SetContext(failure.value().ptr(), nb::borrow(pending->value()).release().ptr());
        throw;
    }
}

// Runs `body`, then closes `client` on every path.
template <typename Fn> nb::object closing(nb::handle client, Fn &&body) {
    nb::object result;
    try {
        result = body();
    } catch (nb::python_error &err) {
        close_during_error(client, &err);
        throw;
    } catch (...) {
        close_during_error(client, nullptr);
        throw;
    }
    client_api::close(client);
    return result;
}

// ---------------------------------------------------------------------------
// Token

// The decode error keeps the token's whole body (API key included) in its
// `object`, which its repr shows wherever the cause is logged: keep only the
// bytes that failed, at their places, so the error's own text is unchanged.
void mask_undecodable_bytes(nb::handle error, const std::string &raw) {
    Py_ssize_t start = 0, end = 0;
    if (PyUnicodeDecodeError_GetStart(error.ptr(), &start) < 0 || PyUnicodeDecodeError_GetEnd(error.ptr(), &end) < 0)
        throw nb::python_error();
    std::string masked(raw.size(), '\0');
    for (Py_ssize_t i = start; i < end && size_t(i) < raw.size(); ++i) masked[size_t(i)] = raw[size_t(i)];
    nb::bytes kept(masked.data(), masked.size());
    nb::setattr(error, "object", kept);
    // repr() shows the args, not the attribute: mask them alike.
    nb::setattr(error, "args", nb::make_tuple(error.attr("encoding"), kept, start, end, error.attr("reason")));
}

// A JSON syntax error keeps the whole decoded document (API key included) in its
// `doc`: keep only the character the error points at, at its place. Its text, args
// and position attributes hold no part of the document.
void mask_json_document(nb::handle error) {
    auto doc = kd::get_attr(error, "doc");
    if (!doc || !PyUnicode_Check(doc->ptr())) return;
    Py_ssize_t length = PyUnicode_GET_LENGTH(doc->ptr()), pos = -1;
    if (auto at = kd::get_attr(error, "pos"); at && PyLong_Check(at->ptr())) {
        pos = PyLong_AsSsize_t(at->ptr());
        if (pos == -1 && PyErr_Occurred()) PyErr_Clear();
    }
    std::string blank(size_t(length), '\0');
    nb::str masked(blank.data(), blank.size());
    if (pos >= 0 && pos < length) {
        nb::str before(blank.data(), size_t(pos)), after(blank.data(), size_t(length - pos - 1));
        masked = concat(concat(before, substr(*doc, {size_t(pos), size_t(pos) + 1})), after);
    }
    nb::setattr(error, "doc", masked);
}

nb::object parse_token(nb::handle token) {
    require_text(token, "token");
    bool prefixed = kd::with_code_points(token, [](const auto *d, size_t n) {
        if (n < kConnectPrefixLength) return false;
        for (size_t i = 0; i < kConnectPrefixLength; ++i)
            if (uint32_t(d[i]) != uint32_t(kConnectPrefix[i])) return false;
        return true;
    });
    if (!prefixed) raise_cloud_error(nb::str("invalid connect token: expected prefix 'kavri_ct_'"));

    // Decoded as body + fill; an ASCII token is handed over as it is held, without a str of the body.
    size_t length = text_length(token);
    size_t fill = (4 - (length - kConnectPrefixLength) % 4) % 4;
    std::string raw;
    try {
        if (kd::is_ascii(token)) {
            std::string padded(reinterpret_cast<const char *>(PyUnicode_1BYTE_DATA(token.ptr())) + kConnectPrefixLength,
                               length - kConnectPrefixLength);
            padded.append(fill, '=');
            raw = kd::b64_to_string(padded, false, true);
        } else {
            nb::str body = concat(substr(token, {kConnectPrefixLength, length}), nb::str("===", fill));
            nb::bytes decoded = kd::b64_to_bytes(body, false, true);
            raw.assign(decoded.c_str(), decoded.size());
        }
    } catch (nb::python_error &err) {
        if (!err.matches(PyExc_ValueError)) throw;
        raise_wrapping("invalid connect token encoding: ", err);
    }

    PyObject *const known[] = {g_names.endpoint, g_names.api_key, g_names.agent_id, g_names.registration_token};
    unsigned char high = 0; // OR of every byte: one pass the compiler can vectorise
    for (char c : raw) high |= (unsigned char)(c);
    bool ascii = high < 0x80;
    std::optional<nb::object> document;
    if (ascii) document = kd::loads_flat_object_ascii(raw, known); // ASCII is its own UTF-8
    if (!document) {
        PyObject *decoded = PyUnicode_DecodeUTF8(raw.data(), Py_ssize_t(raw.size()), "strict");
        if (!decoded) {
            nb::python_error err;
            if (!err.matches(PyExc_UnicodeDecodeError)) throw err;
            mask_undecodable_bytes(err.value(), raw);
            raise_wrapping("invalid connect token JSON: ", err);
        }
        nb::str text = nb::steal<nb::str>(decoded);
        if (!ascii) document = kd::loads_flat_object(text, known);
        if (!document) {
            try {
                document = kd::json_loads(text);
            } catch (nb::python_error &err) {
                // Nesting too deep for the host's parser is as unreadable as a syntax error.
                if (!err.matches(PyExc_ValueError) && !err.matches(PyExc_RecursionError)) throw;
                mask_json_document(err.value());
                raise_wrapping("invalid connect token JSON: ", err);
            }
        }
    }

    nb::object payload = models_api::connect_token_payload(get(g_module, g_names.payload_cls), *document);
    if (!kd::truthy(get(payload, g_names.endpoint)) || !kd::truthy(get(payload, g_names.api_key)))
        raise_cloud_error(nb::str("incomplete connect token: endpoint and api_key are required"));
    return payload;
}

// ---------------------------------------------------------------------------
// Endpoint normalisation

enum class EndpointKind { Relative, Absolute, SchemeLess };

struct EndpointShape {
    Span value;
    EndpointKind kind;
    bool usable = false; // absolute: http(s) with an authority; scheme-less: loopback host
    bool userinfo = false; // scheme-less with an "@" before the path: refused
};

template <typename CharT> EndpointShape endpoint_shape(const CharT *s, size_t n) {
    EndpointShape shape{strip_span(s, n, true), EndpointKind::SchemeLess};
    const CharT *v = s + shape.value.begin;
    size_t len = shape.value.end - shape.value.begin;
    if (len > 0 && uint32_t(v[0]) == '/') {
        shape.kind = EndpointKind::Relative;
        return shape;
    }
    for (size_t i = 0; i + 2 < len; ++i) {
        if (uint32_t(v[i]) != ':' || uint32_t(v[i + 1]) != '/' || uint32_t(v[i + 2]) != '/') continue;
        shape.kind = EndpointKind::Absolute;
        kd::UrlSplit split = kd::split_url(v, len);
        bool web = kd::equals_ascii_nocase(v, split.scheme_end, "http") ||
                   kd::equals_ascii_nocase(v, split.scheme_end, "https");
        shape.usable = web && split.has_authority();
        return shape;
    }
    // Scheme-less: the host is what precedes the first "/"; its name drops a
    // bracketed literal's brackets, or a port after a single ":".
    size_t host_end = 0;
    while (host_end < len && uint32_t(v[host_end]) != '/') ++host_end;
    size_t name_begin = 0, name_end = host_end, colons = 0, first_colon = 0, close = host_end;
    for (size_t i = 0; i < host_end; ++i) {
        uint32_t c = uint32_t(v[i]);
        if (c == ':' && colons++ == 0) first_colon = i;
        if (c == ']' && close == host_end) close = i;
        if (c == '@') shape.userinfo = true;
    }
    if (host_end > 0 && uint32_t(v[0]) == '[' && close < host_end) {
        name_begin = 1;
        name_end = close;
    } else if (colons == 1) {
        name_end = first_colon;
    }
    shape.usable = kd::is_loopback_host(v + name_begin, name_end - name_begin);
    return shape;
}

// The base a relative endpoint resolves against: the first non-empty of
// KAVRI_API_URL, KAVRI_CONTROL_PLANE_URL and the local development URL.
nb::str local_base_url() {
    for (const char *name : {kEnvApiUrl, kEnvControlPlaneUrl})
        if (auto value = kd::env_nonempty(name)) return *value;
    return nb::borrow<nb::str>(kd::import_from("kavri_cloud.hosted", "LOCAL_DEV_API_URL"));
}

[[noreturn]] void raise_bad_local_base(nb::handle base, nb::handle cause = nb::handle()) {
    PyObject *msg = PyUnicode_FromFormat(
        "invalid local Cloud base URL: '%U'. Set KAVRI_API_URL or KAVRI_CONTROL_PLANE_URL to a full URL.", base.ptr());
    if (!msg) throw nb::python_error();
    raise_cloud_error(nb::steal(msg), cause);
}

nb::object resolve_relative(nb::handle value) {
    nb::str base = local_base_url();
    nb::str url = contains(base, "://") ? base : concat(nb::str("http://"), base);
    kd::UrlSplit split = kd::with_code_points(url, [](const auto *d, size_t n) { return kd::split_url(d, n); });
    if (!split.has_scheme() || !split.has_authority()) raise_bad_local_base(base);
    // Only the origin of the base counts: its path, query and fragment are dropped.
    nb::object scheme = substr(url, {0, split.scheme_end}).attr("lower")();
    nb::str authority = substr(url, {split.authority_begin, split.authority_end});
    PyObject *origin = PyUnicode_FromFormat("%U://%U/", scheme.ptr(), authority.ptr());
    if (!origin) throw nb::python_error();
    Span rel = kd::with_code_points(value, [](const auto *d, size_t n) {
        size_t b = 0;
        while (b < n && uint32_t(d[b]) == '/') ++b;
        return Span{b, n};
    });
    nb::object joined;
    try {
        joined = kd::import_from("urllib.parse", "urljoin")(nb::steal(origin), substr(value, rel));
    } catch (nb::python_error &err) {
        // The host refuses some authorities (an unclosed "[", characters that
        // change under NFKC): such a base is as unusable as one without a host.
        if (!err.matches(PyExc_ValueError)) throw;
        raise_bad_local_base(base, kd::error_value(err));
    }
    require_text(joined, "urljoin() result");
    return rstrip_slashes(joined);
}

nb::object normalize_endpoint(nb::handle endpoint) {
    require_text(endpoint, "endpoint");
    EndpointShape shape = kd::with_code_points(endpoint, [](const auto *d, size_t n) { return endpoint_shape(d, n); });
    nb::str value = substr(endpoint, shape.value);
    switch (shape.kind) {
    case EndpointKind::Relative: return resolve_relative(value);
    case EndpointKind::Absolute: {
        if (shape.usable) return value;
        PyObject *msg = PyUnicode_FromFormat("invalid connect token endpoint: '%U'", endpoint.ptr());
        if (!msg) throw nb::python_error();
        raise_cloud_error(nb::steal(msg));
    }
    default: {
        // "localhost:8080@attacker.example" reads as loopback but names attacker.example
        // as its host: with user information the text cannot be trusted to say where the
        // key goes, in clear or not, so such an endpoint is refused.
        if (shape.userinfo) {
            PyObject *msg = PyUnicode_FromFormat("invalid connect token endpoint: '%U'", endpoint.ptr());
            if (!msg) throw nb::python_error();
            raise_cloud_error(nb::steal(msg));
        }
        return concat(nb::str(shape.usable ? "http://" : "https://"), value);
    }
    }
}

nb::object config_from_token(nb::handle token) {
    // The hot path stays native: no round trip through the module's own attributes.
    nb::object payload = parse_token(token);
    nb::object url = normalize_endpoint(get(payload, g_names.endpoint));
    return models_api::connect_config(get(g_module, g_names.config_cls), url, get(payload, g_names.api_key),
                                      either(get(payload, g_names.agent_id), nb::none()),
                                      either(get(payload, g_names.registration_token), nb::none()));
}

// ---------------------------------------------------------------------------
// Bound entry points: configuration (host-style argument binding throughout)

const std::vector<kd::Param> kTokenParams = {{"token"}};
const std::vector<kd::Param> kEndpointParams = {{"endpoint"}};

nb::object parse_connect_token(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("parse_connect_token", kTokenParams, args, kwargs);
    return parse_token(a[0]);
}

nb::object connect_config_from_token(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("connect_config_from_token", kTokenParams, args, kwargs);
    return config_from_token(a[0]);
}

nb::object normalize_connect_endpoint(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("_normalize_connect_endpoint", kEndpointParams, args, kwargs);
    return normalize_endpoint(a[0]);
}

const std::vector<kd::Param> kApplyParams = {{"config"}, {"overwrite", false, false, nb::bool_(false)}};

nb::object apply_connect_config(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("apply_connect_config", kApplyParams, args, kwargs);
    nb::handle config = a[0];
    bool overwrite = kd::truthy(a[1]);
    std::vector<std::pair<const char *, nb::object>> env_map = {
        {kEnvApiKey, config.attr("api_key")},
        {kEnvControlPlaneUrl, config.attr("api_base_url")},
    };
    nb::object agent_id = config.attr("agent_id");
    if (kd::truthy(agent_id)) env_map.emplace_back(kEnvAgentId, agent_id);
    // Fill what is unset or empty; replace set values only on request; never remove.
    for (auto &[name, value] : env_map)
        if (overwrite || !kd::env_nonempty(name)) kd::env_set(nb::str(name), value);
    return nb::none();
}

// ---------------------------------------------------------------------------
// Agent claim

const std::vector<kd::Param> kClaimParams = {
    {"client"}, {"agent_id", true}, {"public_key_hex", true}, {"registration_token", true}};

nb::object claim_agent(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("claim_agent", kClaimParams, args, kwargs);
    nb::handle client = a[0];
    nb::dict body;
    body["agent_id"] = a[1];
    body["public_key"] = a[2];
    body["registration_token"] = a[3];
    nb::object response = client_api::send(client, "POST", "agents/claim", body);
    nb::object data = client_api::handle_response(client, response);
    nb::object result = models_api::claim_agent_result(mod_attr("ClaimAgentResult"), data);
    nb::dict extra;
    extra["agent_id"] = result.attr("agent_id");
    extra["status"] = result.attr("status");
    kd::log(logger(), kd::Level::Info, "agent claimed", {}, extra);
    return result;
}

nb::object claim_or_already_active(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("_claim_or_already_active",
                           {{"client"}, {"agent_id"}, {"public_key_hex"}, {"registration_token"}}, args, kwargs);
    nb::handle agent_id = a[1];
    try {
        return mod_attr("claim_agent")(a[0], "agent_id"_a = agent_id, "public_key_hex"_a = a[2],
                                       "registration_token"_a = a[3]);
    } catch (nb::python_error &err) {
        if (!is_cloud_error(err) || !kd::truthy(mod_attr("_already_claimed")(kd::error_value(err)))) throw;
    }
    // A second claim of the same binding is answered as a conflict: the agent is active.
    nb::dict extra;
    extra["agent_id"] = agent_id;
    kd::log(logger(), kd::Level::Info, "agent already claimed", {}, extra);
    nb::dict active;
    active["agent_id"] = agent_id;
    active["status"] = "active";
    return models_api::claim_agent_result(mod_attr("ClaimAgentResult"), active);
}

bool py_equals(nb::handle a, nb::handle b) {
    int rc = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (rc < 0) throw nb::python_error();
    return rc == 1;
}

nb::object already_claimed(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("_already_claimed", {{"exc"}}, args, kwargs);
    if (py_equals(errors_api::status_code(a[0]), nb::int_(409))) return nb::bool_(true);
    return nb::bool_(py_equals(errors_api::code(a[0]), nb::str("agent_not_pending")));
}

nb::object resolve_public_key_hex(nb::handle, nb::handle args, nb::handle kwargs) {
    kd::bind_args("_resolve_public_key_hex", {}, args, kwargs);
    // An explicit key wins even when it is only white space.
    if (auto explicit_key = kd::env_nonempty(kEnvAgentPublicKey)) return strip(*explicit_key);
    auto signing_hex = kd::env_nonempty(kEnvSigningKey);
    if (!signing_hex) signing_hex = kd::env_nonempty(kEnvIssuerKey);
    if (!signing_hex) return nb::none();
    try {
        nb::object cls = kd::import_from(core_api::kModule, core_api::kSigningKey);
        nb::object key = core_api::signing_key_from_hex(cls, strip(*signing_hex));
        nb::object raw = core_api::to_bytes(core_api::public_key_of(key));
        if (kd::is_bytes_like(raw)) return kd::hex_text(raw);
        return raw.attr("hex")();
    } catch (nb::python_error &err) {
        if (!kd::is_ordinary_error(err)) throw;
        kd::log(logger(), kd::Level::Debug, "could not derive public key from signing key: %s",
                {kd::error_value(err)});
    }
    return nb::none();
}

// ---------------------------------------------------------------------------
// Doctor

nb::object check(const char *name, const char *status, nb::handle message,
                 nb::handle remediation = nb::handle()) {
    return models_api::bootstrap_check(mod_attr("BootstrapCheck"), name, status, message, remediation);
}

void append(nb::handle checks, nb::handle item) { checks.attr("append")(item); }

// exc.body when non-empty, else an empty mapping.
nb::object error_body(nb::handle exc) { return either(errors_api::body(exc), nb::dict()); }

nb::object resolve_doctor_config(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("_resolve_doctor_config", {{"token"}, {"api_key"}, {"base_url"}, {"checks"}}, args,
                           kwargs);
    nb::handle token = a[0], api_key = a[1], base_url = a[2], checks = a[3];
    nb::object raw = either(token, env_text(kEnvConnectToken));
    nb::object config_cls = mod_attr("ConnectConfig");
    if (kd::truthy(raw)) {
        // Token path: the api_key argument is not used, base_url only as a fallback.
        try {
            nb::object config = mod_attr("connect_config_from_token")(raw);
            append(checks, check("config", "ok", nb::str("Quick Connect token decoded.")));
            return config;
        } catch (nb::python_error &err) {
            if (!is_cloud_error(err)) throw;
            append(checks, check("config", "error", kd::error_text(err),
                                 nb::str("Generate a fresh Quick Connect token in Kavri Cloud.")));
        }
        return models_api::connect_config(config_cls, either(base_url, mod_attr("_DEFAULT_API_BASE_URL")),
                                          nb::str(""));
    }
    nb::object key = either(api_key, env_text(kEnvApiKey));
    nb::object url;
    if (kd::truthy(base_url)) url = nb::borrow(base_url);
    else if (auto set = kd::env_get(kEnvControlPlaneUrl)) url = *set; // set but empty stays empty
    else url = mod_attr("_DEFAULT_API_BASE_URL");
    require_text(url, "base_url");
    url = rstrip_slashes(url);
    if (!kd::truthy(key)) {
        append(checks, check("config", "error", nb::str("No Kavri Cloud credential found."),
                             nb::str("Set KAVRI_CONNECT_TOKEN, set KAVRI_API_KEY, or pass api_key=.")));
    } else {
        PyObject *msg = PyUnicode_FromFormat("Using Kavri Cloud API at %U.", url.ptr());
        if (!msg) throw nb::python_error();
        append(checks, check("config", "ok", nb::steal(msg)));
    }
    return models_api::connect_config(config_cls, url, key);
}

nb::object probe_health(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("_probe_health", {{"client"}, {"checks"}}, args, kwargs);
    nb::handle client = a[0], checks = a[1];
    try {
        nb::object result = client_api::health(client);
        auto status = kd::map_lookup(result, "status");
        nb::str text = status ? kd::text_of(*status) : nb::str("ok");
        PyObject *msg = PyUnicode_FromFormat("Kavri Cloud health check returned %U.", text.ptr());
        if (!msg) throw nb::python_error();
        append(checks, models_api::bootstrap_check_with_raw(mod_attr("BootstrapCheck"), "cloud_reachable", "ok",
                                                            nb::steal(msg), result));
    } catch (nb::python_error &err) {
        // Ordinary errors only: an interrupt or an exit request still stops the program.
        if (!kd::is_ordinary_error(err)) throw;
        append(checks, check("cloud_reachable", "error", kd::error_text(err),
                             nb::str("Check KAVRI_CONTROL_PLANE_URL, network egress, TLS interception, and DNS.")));
    }
    return nb::none();
}

// The tenant and policy probes' failure handling; false when `err` is no service error.
bool record_access_failure(const nb::python_error &err, const char *name, const char *default_remediation,
                           nb::handle checks) {
    nb::object exc = kd::error_value(err);
    const char *status = "warning";
    nb::object remediation;
    if (kd::is_instance(exc, mod_attr(errors_api::kAuthenticationError))) {
        // Only a rejected credential is an error; a valid one without permission is a warning.
        if (py_equals(errors_api::status_code(exc), nb::int_(401))) status = "error";
        remediation = either(errors_api::remediation(exc), nb::str(default_remediation));
    } else if (kd::is_instance(exc, mod_attr(errors_api::kKavriCloudError))) {
        remediation = errors_api::remediation(exc);
    } else {
        return false;
    }
    append(checks, models_api::bootstrap_check(mod_attr("BootstrapCheck"), name, status, kd::text_of(exc),
                                               remediation, error_body(exc)));
    return true;
}

nb::object probe_tenant(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("_probe_tenant", {{"client"}, {"checks"}}, args, kwargs);
    nb::handle client = a[0], checks = a[1];
    nb::object tenant;
    try {
        tenant = client_api::get_tenant(client);
    } catch (nb::python_error &err) {
        if (!record_access_failure(err, "tenant_access",
                                   "Admin credentials can read tenant details; runtime credentials may not need this.",
                                   checks))
            throw;
        return nb::none();
    }
    nb::object tenant_name = nb::str("tenant");
    for (const char *entry : {"name", "slug", "id"}) {
        nb::object value = tenant.attr("get")(entry);
        if (kd::truthy(value)) {
            tenant_name = value;
            break;
        }
    }
    PyObject *msg = PyUnicode_FromFormat("Credential can read %S.", tenant_name.ptr());
    if (!msg) throw nb::python_error();
    append(checks, models_api::bootstrap_check_with_raw(mod_attr("BootstrapCheck"), "tenant_access", "ok",
                                                        nb::steal(msg), tenant));
    return nb::none();
}

nb::object probe_approval_policies(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("_probe_approval_policies", {{"client"}, {"checks"}}, args, kwargs);
    nb::handle client = a[0], checks = a[1];
    nb::object policies;
    try {
        // One policy is enough: only the permission matters.
        policies = client_api::list_policies(client, 1);
    } catch (nb::python_error &err) {
        if (!record_access_failure(
                err, "approval_policy_access",
                "Grant approval policy read/admin permissions only if this runtime needs to discover Cloud policies.",
                checks))
            throw;
        return nb::none();
    }
    append(checks, models_api::bootstrap_check_with_raw(mod_attr("BootstrapCheck"), "approval_policy_access", "ok",
                                                        nb::str("Credential can list approval policies."), policies));
    return nb::none();
}

nb::object probe_agent_claim(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("_probe_agent_claim", {{"client"}, {"config"}, {"public_key_hex"}, {"claim"}, {"checks"}},
                           args, kwargs);
    nb::handle client = a[0], config = a[1], public_key_hex = a[2], claim = a[3], checks = a[4];
    if (!kd::truthy(config.attr("is_agent_mode"))) {
        append(checks, check("agent_claim", "ok", nb::str("No agent claim required by this configuration.")));
        return nb::none();
    }
    nb::object pub_hex = kd::truthy(public_key_hex) ? nb::borrow(public_key_hex) : mod_attr("_resolve_public_key_hex")();
    if (!kd::truthy(pub_hex)) {
        append(checks,
               check("agent_claim", "warning",
                     nb::str("Quick Connect token includes an agent binding, but no public key was available."),
                     nb::str("Pass public_key_hex=, set KAVRI_AGENT_PUBLIC_KEY, or set KAVRI_SIGNING_KEY/KAVRI_ISSUER_KEY.")));
        return nb::none();
    }
    if (!kd::truthy(claim)) {
        append(checks, check("agent_claim", "warning",
                             nb::str("Agent claim is ready but was not submitted because claim=False."),
                             nb::str("Call doctor(..., claim=True) or connect(..., public_key_hex=...) when you are "
                                     "ready to claim the agent.")));
        return nb::none();
    }
    nb::object result;
    try {
        result = mod_attr("_claim_or_already_active")(
            client, "agent_id"_a = either(config.attr("agent_id"), nb::str("")), "public_key_hex"_a = pub_hex,
            "registration_token"_a = either(config.attr("registration_token"), nb::str("")));
    } catch (nb::python_error &err) {
        if (!is_cloud_error(err)) throw;
        nb::object exc = kd::error_value(err);
        append(checks, models_api::bootstrap_check(mod_attr("BootstrapCheck"), "agent_claim", "error",
                                                   kd::text_of(exc), errors_api::remediation(exc), error_body(exc)));
        return nb::none();
    }
    nb::object who = either(result.attr("agent_id"), result.attr("name"));
    PyObject *msg = PyUnicode_FromFormat("Claimed agent %S.", who.ptr());
    if (!msg) throw nb::python_error();
    append(checks, models_api::bootstrap_check_with_raw(mod_attr("BootstrapCheck"), "agent_claim", "ok",
                                                        nb::steal(msg), result.attr("raw")));
    return result;
}

const std::vector<kd::Param> kReportParams = {{"config"}, {"checks"}, {"claimed_agent", false, false}};

nb::object report(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("_report", kReportParams, args, kwargs);
    bool ok = true;
    nb::str error("error");
    for (nb::handle item : a[1]) {
        if (py_equals(item.attr("status"), error)) {
            ok = false;
            break;
        }
    }
    return models_api::bootstrap_report(mod_attr("BootstrapReport"), ok, a[0], a[1], a[2]);
}

const std::vector<kd::Param> kDoctorParams = {
    {"token", false, false},          {"api_key", true, false},
    {"base_url", true, false},        {"public_key_hex", true, false},
    {"claim", true, false, nb::bool_(false)}, {"apply_env", true, false, nb::bool_(false)}};

nb::object doctor(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("doctor", kDoctorParams, args, kwargs);
    nb::handle token = a[0], api_key = a[1], base_url = a[2], public_key_hex = a[3], claim = a[4];
    nb::list checks;
    nb::object config = mod_attr("_resolve_doctor_config")(token, "api_key"_a = api_key, "base_url"_a = base_url,
                                                           "checks"_a = checks);
    bool has_key = kd::truthy(config.attr("api_key"));
    if (kd::truthy(a[5]) && has_key) mod_attr("apply_connect_config")(config);
    if (!has_key) return mod_attr("_report")(config, checks);

    nb::object client = client_api::construct(mod_attr("KavriCloudClient"), config.attr("api_key"),
                                              config.attr("api_base_url"));
    nb::object claimed = closing(client, [&]() -> nb::object {
        // The whole run shares one deadline: a service that stalls every probe still ends it.
        nb::object now = kd::import_module("time").attr("monotonic")();
        client_api::set_deadline(client, now + mod_attr("_DOCTOR_TIMEOUT"));
        // A probe that records a failure does not stop the later ones.
        mod_attr("_probe_health")(client, checks);
        mod_attr("_probe_tenant")(client, checks);
        mod_attr("_probe_approval_policies")(client, checks);
        return mod_attr("_probe_agent_claim")(client, config, "public_key_hex"_a = public_key_hex,
                                              "claim"_a = claim, "checks"_a = checks);
    });
    return mod_attr("_report")(config, checks, "claimed_agent"_a = claimed);
}

// ---------------------------------------------------------------------------
// Bootstrap

const std::vector<kd::Param> kConnectParams = {
    {"token", false, false},
    {"public_key_hex", true, false},
    {"claim", true, false, nb::bool_(true)},
    {"apply_env", true, false, nb::bool_(true)},
    {"async_client", true, false, nb::bool_(false)},
    {"verify", true, false, nb::bool_(false)}};

nb::object connect(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("connect", kConnectParams, args, kwargs);
    nb::handle public_key_hex = a[1];
    nb::object raw = either(a[0], env_text(kEnvConnectToken));
    if (!kd::truthy(raw)) raise_cloud_error(nb::str("connect token required - set KAVRI_CONNECT_TOKEN or pass token="));
    nb::object config = mod_attr("connect_config_from_token")(raw);
    if (kd::truthy(a[5])) {
        // Verification changes nothing: doctor runs without claim or export.
        nb::object result = mod_attr("doctor")(raw, "public_key_hex"_a = public_key_hex);
        result.attr("raise_for_error")();
    }
    if (kd::truthy(a[3])) mod_attr("apply_connect_config")(config);
    nb::object api_key = config.attr("api_key"), base_url = config.attr("api_base_url");
    if (kd::truthy(a[2]) && kd::truthy(config.attr("is_agent_mode"))) {
        nb::object pub_hex =
            kd::truthy(public_key_hex) ? nb::borrow(public_key_hex) : mod_attr("_resolve_public_key_hex")();
        if (kd::truthy(pub_hex)) {
            // The claim has its own synchronous client, whichever kind is returned.
            nb::object client = client_api::construct(mod_attr("KavriCloudClient"), api_key, base_url);
            closing(client, [&]() -> nb::object {
                return mod_attr("_claim_or_already_active")(
                    client, "agent_id"_a = either(config.attr("agent_id"), nb::str("")), "public_key_hex"_a = pub_hex,
                    "registration_token"_a = either(config.attr("registration_token"), nb::str("")));
            });
        } else {
            kd::log(logger(), kd::Level::Info,
                    "connect token includes agent binding but no public key provided - skip claim (set "
                    "public_key_hex= or KAVRI_SIGNING_KEY)");
        }
    }
    const char *cls = kd::truthy(a[4]) ? client_api::kAsyncClient : client_api::kSyncClient;
    return client_api::construct(mod_attr(cls), api_key, base_url);
}

} // namespace

KAVRI_MODULE(connect, m) {
    g_module = m.ptr();
    kd::init_native_function_type(m);
    // Kept for the life of the process, like the module itself.
    g_names = {models_api::interned("endpoint"), models_api::interned("api_key"), models_api::interned("agent_id"),
               models_api::interned("registration_token"), models_api::interned("ConnectTokenPayload"),
               models_api::interned("ConnectConfig")};
    m.doc() = "Quick Connect token parsing and bootstrap helpers.";

    // Collaborators, read back from the module at each use so tests can substitute them.
    nb::object client = kd::import_module(client_api::kModule);
    m.attr("KavriCloudClient") = client.attr(client_api::kSyncClient);
    m.attr("AsyncKavriCloudClient") = client.attr(client_api::kAsyncClient);
    nb::object exceptions = kd::import_module(errors_api::kModule);
    for (const char *name : {errors_api::kKavriCloudError, errors_api::kAuthenticationError})
        m.attr(name) = exceptions.attr(name);
    nb::object models = kd::import_module(models_api::kModule);
    for (const char *name :
         {"BootstrapCheck", "BootstrapReport", "ClaimAgentResult", "ConnectConfig", "ConnectTokenPayload"})
        m.attr(name) = models.attr(name);
    m.attr("logger") = kd::get_logger(kModuleName);

    // Constants
    m.attr("_CONNECT_PREFIX") = kConnectPrefix;
    m.attr("_ENV_CONNECT_TOKEN") = kEnvConnectToken;
    m.attr("_ENV_API_KEY") = kEnvApiKey;
    m.attr("_ENV_CONTROL_PLANE_URL") = kEnvControlPlaneUrl;
    m.attr("_ENV_API_URL") = kEnvApiUrl;
    m.attr("_DEFAULT_API_BASE_URL") = kd::import_from("kavri_cloud.hosted", "DEFAULT_API_BASE_URL");
    m.attr("_DOCTOR_TIMEOUT") = kDoctorTimeout;

    // A signature text, when given, is what inspect.signature() and help() show.
    auto def = [&](const char *name, kd::NativeFn fn, const char *doc, const char *signature = nullptr) {
        m.attr(name) = kd::make_function(fn, nb::none(), {name, name, doc, kModuleName});
        if (signature) nb::setattr(m.attr(name), "__text_signature__", nb::str(signature));
    };

    // Token and configuration
    def("parse_connect_token", parse_connect_token, "Decode a Quick Connect token into its payload.", "(token)");
    def("connect_config_from_token", connect_config_from_token, "Return resolved config from a connect token string.",
        "(token)");
    def("_normalize_connect_endpoint", normalize_connect_endpoint,
        "Make hosted, scheme-less, and local relative token endpoints usable.");
    def("apply_connect_config", apply_connect_config,
        "Set the standard KAVRI_ environment variables of this process from a connect config.",
        "(config, overwrite=False)");

    // Agent claim
    def("claim_agent", claim_agent, "Claim a pending agent identity with POST /v1/agents/claim.",
        "(client, *, agent_id, public_key_hex, registration_token)");
    def("_claim_or_already_active", claim_or_already_active,
        "Claim a pending agent; an agent that is already active counts as claimed.");
    def("_already_claimed", already_claimed, "Whether a claim error says the agent is already active.");
    def("_resolve_public_key_hex", resolve_public_key_hex,
        "The agent's public key (hex) from the environment, or None.");

    // Doctor
    def("doctor", doctor, "Verify Kavri Cloud bootstrap configuration without mutating by default.",
        "(token=None, *, api_key=None, base_url=None, public_key_hex=None, claim=False, apply_env=False)");
    def("_resolve_doctor_config", resolve_doctor_config,
        "Resolve the configuration to check and record the \"config\" check.");
    def("_probe_health", probe_health, "Record whether the Kavri Cloud health endpoint answers.");
    def("_probe_tenant", probe_tenant, "Record whether the credential may read its tenant.");
    def("_probe_approval_policies", probe_approval_policies,
        "Record whether the credential may list approval policies.");
    def("_probe_agent_claim", probe_agent_claim, "Record the Quick Connect agent-claim state, claiming on request.");
    def("_report", report, "Build the BootstrapReport of a doctor run.");

    // Bootstrap
    def("connect", connect, "Bootstrap this process from a Quick Connect token and return a Kavri Cloud client.",
        "(token=None, *, public_key_hex=None, claim=True, apply_env=True, async_client=False, verify=False)");
}
