// kavri_cloud.temporal: worker key loading, the drop-in KavriPluginConfig with from_env, and the deprecated
// configure_temporal_worker. Calls kavri.temporal, kavri.control_plane, kavri_core, the package's client,
// providers and enforcement, and at call time kavri_cloud.approval, kavri_cloud.connect and GCP Secret Manager.
#include <nanobind/nanobind.h>

#include <string>
#include <vector>

#include "contracts/client.hpp"
#include "contracts/core.hpp"
#include "contracts/enforcement.hpp"
#include "contracts/providers.hpp"
#include "contracts/sdk.hpp"
#include "native/callable.hpp"
#include "native/errors.hpp"
#include "native/module.hpp"
#include "native/host.hpp"
#include "native/logging.hpp"

namespace nb = nanobind;
namespace kd = kavri::detail;
namespace client_api = kavri::contracts::client;
namespace core_api = kavri::contracts::core;
namespace enforcement_api = kavri::contracts::enforcement;
namespace providers_api = kavri::contracts::providers;
namespace sdk_api = kavri::contracts::sdk;
using namespace nb::literals;

namespace {

constexpr const char *kModuleName = "kavri_cloud.temporal";

// The module object, borrowed: it outlives every call into it.
PyObject *g_module = nullptr;

// Names read on every key resolution, interned once.
namespace names {
const kd::Name load_from_env{"_load_signing_key_from_env"}, core{"kavri_core"}, signing_key_cls{"SigningKey"};
} // namespace names

nb::object mod_attr(const char *name) { return kd::module_attr(g_module, name); }
nb::object mod_attr(const kd::Name &name) { return kd::module_attr(g_module, name); }
nb::object logger() { return mod_attr("logger"); }

const char *const kMissingTemporalHint =
    "kavri_cloud.temporal requires kavri-cloud[temporal]. Install with: pip install 'kavri-cloud[temporal]'";
const char *const kMissingGcpHint =
    "GCP Secret Manager support is not installed. Install with: pip install 'kavri-cloud[gcp]'";
const char *const kDeprecation =
    "configure_temporal_worker is deprecated; use KavriPluginConfig.from_env(activity_fns=activity_fns) with "
    "KavriTemporalPlugin instead. Will be removed in 0.2.0.";
const char *const kDefaultAuthorizer = "temporal-worker";
const char *const kDefaultWorkerSecretId = "kavri-keys-worker";
const char *const kDefaultGcpProject = "kavri-cloud";

std::string text(nb::handle obj) { return kd::utf8(kd::text_of(obj)); }

// The shared codecs report bad input as C++ value errors; here they become host ValueErrors, so
// callers that fall back or wrap on a value error see one kind whatever failed.
template <typename Fn> nb::bytes as_host_error(Fn &&fn) {
    try {
        return fn();
    } catch (const nb::builtin_exception &) {
        kd::set_error_from_current_exception();
        throw nb::python_error();
    }
}
nb::bytes hex_bytes(nb::handle text_obj) { return as_host_error([&] { return kd::hex_to_bytes(text_obj); }); }
nb::bytes lenient_b64_bytes(nb::handle text_obj) {
    return as_host_error([&] { return kd::b64_to_bytes(text_obj, false, false); });
}

// list(iterable), a new list.
nb::list list_of(nb::handle iterable) {
    PyObject *list = PySequence_List(iterable.ptr());
    if (!list) throw nb::python_error();
    return nb::steal<nb::list>(list);
}

bool is_none_or_empty(nb::handle value) { return value.is_none() || !kd::truthy(value); }

nb::object signing_key_from_bytes(nb::handle data) {
    return core_api::signing_key_from_bytes(kd::import_from(names::core, names::signing_key_cls), data);
}

// The environment variable when set, else the module's hosted API base URL.
nb::str control_plane_url_from_env() {
    auto value = kd::env_get("KAVRI_CONTROL_PLANE_URL");
    return value ? *value : nb::borrow<nb::str>(kd::text_of(mod_attr("_DEFAULT_BASE_URL")));
}

// ---------------------------------------------------------------------------
// Worker signing-key resolution

nb::object load_signing_key_from_env(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("_load_signing_key_from_env", {{"hex_key"}}, args, kwargs);
    return signing_key_from_bytes(hex_bytes(a[0]));
}

nb::object load_signing_key_from_secret_manager(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("_load_signing_key_from_secret_manager", {{"secret_id"}, {"gcp_project"}}, args, kwargs);
    nb::object secretmanager;
    try {
        secretmanager = kd::import_module("google.cloud.secretmanager");
    } catch (nb::python_error &err) {
        // The library is the gcp extra: say so in the one line the caller reports.
        if (!err.matches(PyExc_ImportError)) throw;
        kd::raise_error(PyExc_ImportError, kMissingGcpHint, kd::error_value(err));
    }
    nb::object signing_key_cls = kd::import_from(core_api::kModule, core_api::kSigningKey);
    nb::object client = secretmanager.attr("SecretManagerServiceClient")();
    std::string name = "projects/" + text(a[1]) + "/secrets/" + text(a[0]) + "/versions/latest";
    nb::object response = client.attr("access_secret_version")("name"_a = nb::str(name.data(), name.size()));
    // The payload is the raw key: no hex or base64 layer.
    return core_api::signing_key_from_bytes(signing_key_cls, response.attr("payload").attr("data"));
}

nb::object resolve_signing_key(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("_resolve_signing_key", {{"signing_key_hex"}, {"worker_secret_id"}, {"gcp_project"}},
                           args, kwargs);
    if (!is_none_or_empty(a[0])) {
        // An explicit key that is wrong must fail loudly, never fall through to another source.
        try {
            return mod_attr(names::load_from_env)(a[0]);
        } catch (nb::python_error &err) {
            if (!err.matches(PyExc_ValueError)) throw;
            kd::raise_error(PyExc_RuntimeError,
                            "KAVRI_SIGNING_KEY is set but cannot be decoded as hex: " + text(kd::error_value(err)),
                            kd::error_value(err));
        }
    }
    try {
        return mod_attr("_load_signing_key_from_secret_manager")(a[1], a[2]);
    } catch (nb::python_error &err) {
        if (!kd::is_ordinary_error(err)) throw;
        kd::raise_error(PyExc_RuntimeError,
                        "No KAVRI_SIGNING_KEY env var; attempted GCP Secret Manager fallback (projects/" + text(a[2]) +
                            "/secrets/" + text(a[1]) + "): " + text(kd::error_value(err)),
                        kd::error_value(err));
    }
}

// ---------------------------------------------------------------------------
// Quick Connect bootstrap

nb::object public_key_hex_of(nb::handle signing_key) {
    try {
        nb::object raw = core_api::to_bytes(core_api::public_key_of(signing_key));
        PyObject *data = PyObject_Bytes(raw.ptr());
        if (!data) throw nb::python_error();
        return kd::hex_text(nb::steal(data));
    } catch (nb::python_error &err) {
        if (!kd::is_ordinary_error(err)) throw;
        return nb::none(); // no usable public key: connect then skips the claim
    }
}

nb::object maybe_connect_from_env(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("_maybe_connect_from_env", {{"signing_key", false, false}}, args, kwargs);
    if (!kd::env_nonempty("KAVRI_CONNECT_TOKEN")) return nb::none();
    nb::object connect = kd::import_from("kavri_cloud.connect", "connect");
    nb::object public_key_hex = a[0].is_none() ? nb::none() : public_key_hex_of(a[0]);
    // A worker must come up even when the bootstrap fails: the failure is logged, not raised.
    try {
        nb::object client = connect("public_key_hex"_a = public_key_hex, "claim"_a = true, "apply_env"_a = true);
        auto close = kd::get_attr(client, "close");
        if (close && PyCallable_Check(close->ptr())) (*close)();
    } catch (nb::python_error &err) {
        if (!kd::is_ordinary_error(err)) throw;
        kd::log(logger(), kd::Level::Warning, "KAVRI_CONNECT_TOKEN bootstrap failed: %s", {kd::error_value(err)});
    }
    return nb::none();
}

// ---------------------------------------------------------------------------
// The cloud configuration class

// from_env's key: KAVRI_ISSUER_KEY, else KAVRI_SIGNING_KEY; hexadecimal, else lenient base64.
nb::object signing_key_from_env_text() {
    auto value = kd::env_nonempty("KAVRI_ISSUER_KEY");
    if (!value) value = kd::env_nonempty("KAVRI_SIGNING_KEY");
    if (!value) return nb::none();
    nb::object stripped = value->attr("strip")();
    try {
        return signing_key_from_bytes(hex_bytes(stripped));
    } catch (nb::python_error &err) {
        if (!err.matches(PyExc_ValueError)) throw;
    }
    return signing_key_from_bytes(lenient_b64_bytes(stripped));
}

nb::object from_env(nb::handle, nb::handle args, nb::handle kwargs) {
    nb::dict overrides;
    auto a = kd::bind_args("from_env", {{"cls"}}, args, kwargs, &overrides);
    nb::handle cls = a[0];
    nb::object signing_key = nb::none();
    if (overrides.contains("signing_key")) {
        signing_key = overrides["signing_key"];
        if (PyDict_DelItemString(overrides.ptr(), "signing_key") < 0) throw nb::python_error();
    }
    if (signing_key.is_none()) signing_key = signing_key_from_env_text();
    if (!signing_key.is_none() && !overrides.contains("trusted_roots")) {
        nb::list roots;
        roots.append(core_api::public_key_of(signing_key));
        overrides["trusted_roots"] = roots;
    }
    // Before construction, so that __post_init__ reads the environment the token sets.
    mod_attr("_maybe_connect_from_env")(signing_key);
    // An API key without a worker key wires nothing: say so, since with observe-first
    // the guarded activities would otherwise run without anyone being asked.
    if (signing_key.is_none() && kd::env_nonempty("KAVRI_API_KEY") &&
        (!overrides.contains("approval_handler") || nb::object(overrides["approval_handler"]).is_none()))
        kd::log(logger(), kd::Level::Warning,
                "kavri_cloud: KAVRI_API_KEY is set but neither KAVRI_ISSUER_KEY nor KAVRI_SIGNING_KEY is; "
                "approvals are not wired (no approval_handler, no control_plane). Set KAVRI_ISSUER_KEY or "
                "KAVRI_SIGNING_KEY to the worker's signing key");
    nb::object observe_first = enforcement_api::observe_first_from_env(mod_attr("observe_first_from_env"));
    if (!overrides.contains("dry_run")) overrides["dry_run"] = observe_first;
    if (kd::truthy(nb::object(overrides["dry_run"])))
        kd::log(logger(), kd::Level::Info,
                "kavri_cloud: observe-first (dry_run=True); set KAVRI_ENFORCEMENT=enforce to fail closed");
    return nb::borrow(cls)("signing_key"_a = signing_key, **overrides);
}

void wire_control_plane(nb::handle self, nb::handle api_key, nb::handle url, nb::handle signing_key) {
    // A worker without the control-plane pieces installed still runs, just without receipts.
    try {
        nb::object control_plane_cls = kd::import_from(sdk_api::kControlPlaneModule, sdk_api::kControlPlaneClient);
        nb::object client_cls = kd::import_from(client_api::kModule, client_api::kSyncClient);
        nb::object sink_cls = kd::import_from(providers_api::kModule, providers_api::kCloudReceiptSink);
        nb::object receipt_client = client_cls("api_key"_a = api_key, "base_url"_a = url);
        nb::str authorizer = kd::env_get_or("KAVRI_AUTHORIZER_NAME", kDefaultAuthorizer);
        nb::object sink = providers_api::cloud_receipt_sink(sink_cls, receipt_client);
        nb::setattr(self, "control_plane",
                    sdk_api::control_plane_client(control_plane_cls, url, api_key, authorizer, signing_key, sink));
    } catch (nb::python_error &err) {
        if (!kd::is_import_error(err)) throw;
        return;
    }
    kd::log(logger(), kd::Level::Info, "kavri_cloud: auto-wired control_plane and receipt-v1 sink from KAVRI_API_KEY");
}

void add_dashboard_root(nb::handle self, nb::handle root_hex) {
    nb::bytes raw = hex_bytes(root_hex);
    nb::object root = core_api::public_key_from_bytes(kd::import_from(core_api::kModule, core_api::kPublicKey), raw);
    nb::object current = self.attr("trusted_roots");
    nb::list roots = is_none_or_empty(current) ? nb::list() : list_of(current);
    nb::bytes root_bytes = nb::steal<nb::bytes>(PyObject_Bytes(root.ptr()));
    if (!root_bytes.is_valid()) throw nb::python_error();
    for (nb::handle existing : roots) {
        nb::object existing_bytes = nb::steal(PyObject_Bytes(existing.ptr()));
        if (!existing_bytes.is_valid()) throw nb::python_error();
        if (existing_bytes.equal(root_bytes)) return; // already trusted: leave the field as it is
    }
    roots.append(root);
    nb::setattr(self, "trusted_roots", roots);
}

// state: the SDK's KavriPluginConfig, whose own hook runs first.
nb::object post_init(nb::handle base, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("__post_init__", {{"self"}}, args, kwargs);
    nb::handle self = a[0];
    if (auto hook = kd::get_attr(base, "__post_init__")) (*hook)(self);
    nb::str api_key = kd::env_get_or("KAVRI_API_KEY", "");
    nb::str url = control_plane_url_from_env();
    nb::str root_hex = kd::env_get_or("KAVRI_DASHBOARD_ROOT_KEY", "");
    if (kd::truthy(api_key)) {
        nb::object signing_key = self.attr("signing_key");
        if (self.attr("approval_handler").is_none() && !signing_key.is_none()) {
            nb::object factory = kd::import_from("kavri_cloud.approval", "temporal_cloud_approval");
            nb::setattr(self, "approval_handler",
                        factory("api_key"_a = api_key, "signing_key"_a = signing_key, "base_url"_a = url));
            kd::log(logger(), kd::Level::Info,
                    "kavri_cloud: auto-wired approval_handler from KAVRI_API_KEY (control_plane_url=%s)", {url});
        }
        if (self.attr("control_plane").is_none() && !signing_key.is_none())
            wire_control_plane(self, api_key, url, signing_key);
    } else {
        kd::log(logger(), kd::Level::Info, "kavri_cloud: KAVRI_API_KEY not set, running in local mode");
    }
    if (kd::truthy(root_hex)) add_dashboard_root(self, root_hex);
    return nb::none();
}

// The placeholders fail on use with the installation hint, chained to the import error that made them
// necessary (state: that error; the plugin's is read from the module at each use).
[[noreturn]] void raise_missing(nb::handle cause) {
    kd::raise_error(PyExc_ImportError, kMissingTemporalHint, cause);
}
nb::object missing_config(nb::handle import_error, nb::handle, nb::handle) { raise_missing(import_error); }
nb::object missing_plugin(nb::handle, nb::handle, nb::handle) {
    raise_missing(mod_attr("_missing_kavri_plugin_import_error"));
}

nb::object method(const char *cls_name, const char *name, kd::NativeFn fn, nb::handle state, const char *doc,
                  bool bind_self) {
    return kd::make_function(fn, state, {name, std::string(cls_name) + "." + name, doc, kModuleName, bind_self});
}

// `fn` must bind like a method: classmethod hands the class to its __get__ on 3.9-3.12.
nb::object classmethod(nb::handle fn) {
    PyObject *cm = PyClassMethod_New(fn.ptr());
    if (!cm) throw nb::python_error();
    return nb::steal(cm);
}

// type(name, bases, ns) through the bases' metaclass; then the SDK's names, so the class reads as the SDK's own.
nb::object make_class(const char *name, nb::handle metaclass, nb::tuple bases, nb::dict ns, const char *shown_as) {
    ns["__module__"] = kModuleName;
    ns["__qualname__"] = name;
    nb::object cls = nb::borrow(metaclass)(name, bases, ns);
    nb::setattr(cls, "__name__", nb::str(shown_as));
    nb::setattr(cls, "__qualname__", nb::str(shown_as));
    return cls;
}

nb::object type_type() { return nb::borrow(reinterpret_cast<PyObject *>(&PyType_Type)); }
nb::tuple object_base() { return nb::make_tuple(nb::borrow(reinterpret_cast<PyObject *>(&PyBaseObject_Type))); }

nb::object missing_config_class(nb::handle import_error) {
    const char *cls = "KavriPluginConfig";
    nb::dict ns;
    ns["__doc__"] = "Placeholder: the SDK's Temporal support (kavri-cloud[temporal]) is not installed.";
    ns["__init__"] = method(cls, "__init__", missing_config, import_error, "Fails with the installation hint.", true);
    ns["from_env"] =
        classmethod(method(cls, "from_env", missing_config, import_error, "Fails with the installation hint.", true));
    return make_class("_MissingKavriTemporal", type_type(), object_base(), ns, cls);
}

nb::object make_cloud_plugin_config_class(nb::handle, nb::handle args, nb::handle kwargs) {
    kd::bind_args("_make_cloud_plugin_config_class", std::vector<kd::Param>{}, args, kwargs);
    nb::object base;
    try {
        base = kd::import_from(sdk_api::kTemporalModule, sdk_api::kKavriPluginConfig);
    } catch (nb::python_error &err) {
        if (!kd::is_import_error(err)) throw;
        return missing_config_class(kd::error_value(err));
    }
    const char *cls = "KavriPluginConfig";
    nb::dict ns;
    ns["__doc__"] =
        "Drop-in kavri.temporal.KavriPluginConfig that wires Kavri Cloud in from the environment.\n\n"
        "After the SDK's own post-construction step: with KAVRI_API_KEY set and a signing key, an unset\n"
        "approval_handler becomes temporal_cloud_approval and an unset control_plane a ControlPlaneClient\n"
        "with a Kavri Cloud receipt sink; KAVRI_DASHBOARD_ROOT_KEY joins trusted_roots.";
    nb::object from_env_fn = method(cls, "from_env", from_env, nb::none(),
                                    "from_env(**overrides)\n\nOne-liner worker setup from environment variables.\n\n"
                                    "Every override is a field of the SDK configuration.",
                                    true);
    // For inspect.signature() and help(); the stub spells the fields out.
    nb::setattr(from_env_fn, "__text_signature__", nb::str("($cls, /, **overrides)"));
    ns["from_env"] = classmethod(from_env_fn);
    ns["__post_init__"] = method(cls, "__post_init__", post_init, base,
                                 "Run the SDK's hook, then wire Kavri Cloud from the environment.", true);
    nb::object metaclass = nb::borrow(reinterpret_cast<PyObject *>(Py_TYPE(base.ptr())));
    return make_class("_CloudKavriPluginConfig", metaclass, nb::make_tuple(base), ns, cls);
}

// ---------------------------------------------------------------------------
// Deprecated worker configuration

nb::object configure_temporal_worker(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("configure_temporal_worker",
                           {{"activity_fns"},
                            {"api_key", true, false},
                            {"signing_key", true, false},
                            {"control_plane_url", true, false},
                            {"dashboard_root_key_hex", true, false},
                            {"authorizer_name", true, false, nb::str(kDefaultAuthorizer)},
                            {"fast_poll_seconds", true, false, nb::float_(2.0)},
                            {"fast_poll_attempts", true, false, nb::int_(3)}},
                           args, kwargs);
    // Stack level 1 from native code is the caller's own line.
    if (PyErr_WarnEx(PyExc_DeprecationWarning, kDeprecation, 1) < 0) throw nb::python_error();
    nb::object plugin_cls = kd::import_from(sdk_api::kTemporalModule, sdk_api::kKavriPlugin);
    nb::object config_cls = kd::import_from(sdk_api::kTemporalModule, sdk_api::kKavriPluginConfig);
    nb::object control_plane_cls = kd::import_from(sdk_api::kControlPlaneModule, sdk_api::kControlPlaneClient);
    nb::object public_key_cls = kd::import_from(core_api::kModule, core_api::kPublicKey);
    nb::object approval_factory = kd::import_from("kavri_cloud.approval", "temporal_cloud_approval");

    nb::object api_key = is_none_or_empty(a[1]) ? nb::object(kd::env_get_or("KAVRI_API_KEY", "")) : a[1];
    nb::object url = is_none_or_empty(a[3]) ? nb::object(control_plane_url_from_env()) : a[3];
    nb::object root_hex =
        is_none_or_empty(a[4]) ? nb::object(kd::env_get_or("KAVRI_DASHBOARD_ROOT_KEY", "")) : a[4];
    nb::object signing_key = a[2];
    if (signing_key.is_none()) {
        try {
            signing_key = mod_attr("_resolve_signing_key")(kd::env_get_or("KAVRI_SIGNING_KEY", ""),
                                                           kd::env_get_or("KAVRI_WORKER_SECRET_ID",
                                                                          kDefaultWorkerSecretId),
                                                           kd::env_get_or("GCP_PROJECT", kDefaultGcpProject));
        } catch (nb::python_error &err) {
            if (!kd::is_ordinary_error(err)) throw;
            kd::raise_error(PyExc_RuntimeError,
                            "Could not load Kavri worker signing key. Set KAVRI_SIGNING_KEY (hex) or "
                            "KAVRI_WORKER_SECRET_ID + GCP_PROJECT for GCP Secret Manager. Underlying error: " +
                                text(kd::error_value(err)),
                            kd::error_value(err));
        }
    }
    nb::list roots;
    roots.append(core_api::public_key_of(signing_key));
    if (kd::truthy(root_hex)) roots.append(core_api::public_key_from_bytes(public_key_cls, hex_bytes(root_hex)));
    nb::object control_plane = nb::none(), handler = nb::none();
    if (kd::truthy(api_key)) {
        control_plane = sdk_api::control_plane_client(control_plane_cls, url, api_key, a[5], signing_key);
        handler = approval_factory("api_key"_a = api_key, "signing_key"_a = signing_key, "base_url"_a = url,
                                   "fast_poll_seconds"_a = a[6], "fast_poll_attempts"_a = a[7]);
    }
    nb::object config = config_cls("signing_key"_a = signing_key, "control_plane"_a = control_plane,
                                   "on_denial"_a = "raise", "trusted_roots"_a = roots,
                                   "activity_fns"_a = list_of(a[0]), "approval_handler"_a = handler);
    return plugin_cls(config);
}

// ---------------------------------------------------------------------------
// Module load

void bind_plugin(nb::module_ &m) {
    try {
        m.attr("KavriPlugin") = kd::import_from(sdk_api::kTemporalModule, sdk_api::kKavriPlugin);
    } catch (nb::python_error &err) {
        if (!kd::is_import_error(err)) throw;
        m.attr("_missing_kavri_plugin_import_error") = kd::error_value(err);
        nb::dict ns;
        ns["__doc__"] = "Placeholder: the SDK's Temporal support (kavri-cloud[temporal]) is not installed.";
        ns["__init__"] = method("KavriPlugin", "__init__", missing_plugin, nb::none(),
                                "Fails with the installation hint.", true);
        m.attr("_MissingKavriPlugin") = make_class("_MissingKavriPlugin", type_type(), object_base(), ns, "KavriPlugin");
        m.attr("KavriPlugin") = m.attr("_MissingKavriPlugin");
    }
}

} // namespace

KAVRI_MODULE(temporal, m) {
    g_module = m.ptr();
    kd::init_native_function_type(m);
    m.doc() = "Temporal integration helpers for Kavri Cloud.";

    // Collaborators, read back from the module at each use so tests can substitute them.
    m.attr("logger") = kd::get_logger(kModuleName);
    m.attr("observe_first_from_env") =
        kd::import_from(enforcement_api::kModule, enforcement_api::kObserveFirstFromEnv);
    m.attr("_DEFAULT_BASE_URL") = kd::import_from("kavri_cloud.hosted", "DEFAULT_API_BASE_URL");

    auto def = [&](const char *name, kd::NativeFn fn, const char *doc) {
        m.attr(name) = kd::make_function(fn, nb::none(), {name, name, doc, kModuleName});
    };

    // Worker signing-key resolution
    def("_load_signing_key_from_env", load_signing_key_from_env,
        "_load_signing_key_from_env(hex_key)\n\nA SigningKey from hexadecimal key text.");
    def("_load_signing_key_from_secret_manager", load_signing_key_from_secret_manager,
        "_load_signing_key_from_secret_manager(secret_id, gcp_project)\n\n"
        "A SigningKey from the latest version of a GCP Secret Manager secret (raw key bytes).");
    def("_resolve_signing_key", resolve_signing_key,
        "_resolve_signing_key(signing_key_hex, worker_secret_id, gcp_project)\n\n"
        "Load signing key: env hex wins, then GCP Secret Manager.");

    // Cloud plugin configuration
    def("_maybe_connect_from_env", maybe_connect_from_env,
        "_maybe_connect_from_env(signing_key=None)\n\n"
        "Apply KAVRI_CONNECT_TOKEN and claim the pending agent if a token is present.");
    def("_make_cloud_plugin_config_class", make_cloud_plugin_config_class,
        "_make_cloud_plugin_config_class()\n\n"
        "Build a KavriPluginConfig subclass that auto-wires cloud fields from env.");
    m.attr("KavriPluginConfig") = m.attr("_make_cloud_plugin_config_class")();
    bind_plugin(m);

    // Deprecated worker configuration
    def("configure_temporal_worker", configure_temporal_worker,
        "configure_temporal_worker(activity_fns, *, api_key=None, signing_key=None, control_plane_url=None, "
        "dashboard_root_key_hex=None, authorizer_name='temporal-worker', fast_poll_seconds=2.0, "
        "fast_poll_attempts=3)\n\n"
        "Configure a KavriPlugin for a Temporal worker from env + overrides.");
    // inspect.signature() and help() read this; the docstring's first line says the same.
    nb::setattr(m.attr("configure_temporal_worker"), "__text_signature__",
                nb::str("(activity_fns, *, api_key=None, signing_key=None, control_plane_url=None, "
                        "dashboard_root_key_hex=None, authorizer_name='temporal-worker', fast_poll_seconds=2.0, "
                        "fast_poll_attempts=3)"));
}
