// kavri_cloud.langgraph: the LangGraph approval handler and the drop-in middleware and tool node.
// Calls payload_forge, approval (_extract_signed_approvals, at call time), the package client,
// error kinds and enforcement reader, the SDK (kavri.approval, kavri.langgraph), logging, asyncio.
#include <nanobind/nanobind.h>

#include <optional>
#include <string>

#include "contracts/client.hpp"
#include "contracts/enforcement.hpp"
#include "contracts/exceptions.hpp"
#include "contracts/sdk.hpp"
#include "native/callable.hpp"
#include "native/coroutine.hpp"
#include "native/errors.hpp"
#include "native/module.hpp"
#include "native/host.hpp"
#include "native/logging.hpp"
#include "native/observe.hpp"

namespace nb = nanobind;
namespace kd = kavri::detail;
namespace trace = kavri::detail::observe;
namespace client_api = kavri::contracts::client;
namespace errors_api = kavri::contracts::exceptions;
namespace enforcement_api = kavri::contracts::enforcement;
namespace sdk_api = kavri::contracts::sdk;
using namespace nb::literals;

namespace {

constexpr const char *kModuleName = "kavri_cloud.langgraph";
constexpr double kDefaultPollInterval = 3.0;
constexpr const char *kDefaultTimeoutText = "900";
constexpr const char *kInstallHint =
    "kavri_cloud.langgraph requires kavri-cloud[langgraph]. Install with: pip install 'kavri-cloud[langgraph]'";
constexpr const char *kObserveInstance =
    "kavri_cloud.langgraph: observe-first (dry_run=True); set KAVRI_ENFORCEMENT=enforce to fail closed";
constexpr const char *kObserveAllowing = "kavri_cloud.langgraph: observe-first allowing '%s' after denial";

constexpr const char *kMiddlewareDoc =
    "Drop-in replacement for kavri.langgraph.KavriMiddleware, wired to Kavri Cloud.\n\n"
    "When KAVRI_API_KEY is set and no approval_handler is provided, the Kavri Cloud\n"
    "approval handler (langgraph_cloud_approval) is wired in automatically.\n\n"
    "Observe-first is the default (dry_run=True / KAVRI_ENFORCEMENT=observe): a denied\n"
    "tool call is logged, still emits its receipts, and then the tool runs anyway.\n"
    "Set KAVRI_ENFORCEMENT=enforce or pass dry_run=False to fail closed.";
constexpr const char *kToolNodeDoc =
    "Drop-in replacement for kavri.langgraph.KavriToolNode, wired to Kavri Cloud.\n\n"
    "When KAVRI_API_KEY is set and no approval_handler is provided, the Kavri Cloud\n"
    "approval handler (langgraph_cloud_approval) is wired in automatically.";

// The module object, borrowed: it outlives every call into it.
PyObject *g_module = nullptr;

// Attribute and module names read on every call.
namespace names {
const kd::Name request_id{"request_id"}, tool{"tool"}, status{"status"}, content{"content"}, tool_call{"tool_call"},
    name{"name"}, dry_run{"_dry_run"}, wrap_tool_call{"wrap_tool_call"}, awrap_tool_call{"awrap_tool_call"},
    observe{"_observe_or_result"}, observe_async{"_observe_or_result_async"}, logger{"logger"}, error{"error"},
    approval{"kavri_cloud.approval"}, extract{"_extract_signed_approvals"}, collections_abc{"collections.abc"},
    coroutine{"Coroutine"}, default_base_url{"_DEFAULT_BASE_URL"}, signing_key{"signing_key"}, base_url{"base_url"},
    dashboard_url{"dashboard_url"}, poll_interval{"poll_interval"}, timeout{"timeout"}, empty{""},
    default_dashboard_url{"_DEFAULT_DASHBOARD_URL"}, request_hash{"request_hash"},
    idempotency_key_reused{"idempotency_key_reused"};
const kd::Name markers[] = {kd::Name("Authorization denied"), kd::Name("Security configuration error"),
                            kd::Name("Configuration error:")};
} // namespace names

nb::object mod_attr(const char *name) { return kd::module_attr(g_module, name); }
nb::object mod_attr(const kd::Name &name) { return kd::module_attr(g_module, name); }
nb::object logger() { return mod_attr(names::logger); }

// Calls of the common shape, N positional arguments and no keywords, go straight to
// `Body`; every other shape goes through the generic binder and its exact error texts.
template <Py_ssize_t N, nb::object (*Body)(PyObject *const *args)>
PyObject *positional_entry(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    if (PyVectorcall_NARGS(nargsf) != N || (kwnames && PyTuple_GET_SIZE(kwnames)))
        return kd::generic_vector_call(self, args, nargsf, kwnames);
    try {
        return Body(args).release().ptr();
    } catch (...) {
        kd::set_error_from_current_exception();
        return nullptr;
    }
}

nb::object py_add(nb::handle a, nb::handle b) {
    PyObject *r = PyNumber_Add(a.ptr(), b.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}
nb::object py_sub(nb::handle a, nb::handle b) {
    PyObject *r = PyNumber_Subtract(a.ptr(), b.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}
bool py_compare(nb::handle a, nb::handle b, int op) {
    int rc = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (rc < 0) throw nb::python_error();
    return rc == 1;
}
nb::str concat(nb::handle a, nb::handle b) {
    PyObject *r = PyUnicode_Concat(a.ptr(), b.ptr());
    if (!r) throw nb::python_error();
    return nb::steal<nb::str>(r);
}
bool is_exact_text(nb::handle value, const char *text) {
    return PyUnicode_Check(value.ptr()) && PyUnicode_CompareWithASCIIString(value.ptr(), text) == 0;
}

// inspect.signature() reads this for native callables, so frameworks that
// introspect hooks (LangSmith's tracing wrapper does) see the real parameters.
void set_signature(nb::handle fn, const std::string &text) { nb::setattr(fn, "__text_signature__", nb::str(text.c_str())); }

nb::object native(kd::NativeFn fn, nb::handle state, const char *name, const std::string &qualname, const char *doc,
                  const std::string &signature, bool method = false) {
    nb::object f = kd::make_function(fn, state, {name, qualname, doc, kModuleName, method});
    set_signature(f, signature);
    return f;
}

// A request without `tool` still gets its approval: the logs show "".
nb::object tool_of(nb::handle request) {
    auto tool = kd::get_attr(request, names::tool);
    return tool ? *tool : nb::str("");
}

// ---------------------------------------------------------------------------
// The approval handler

// Captured by langgraph_cloud_approval, in this order.
enum Captured : Py_ssize_t { kApiKey, kSigningKey, kBaseUrl, kPollInterval, kTimeout, kDashboardUrl, kExtract, kCount };

nb::handle captured(nb::handle state, Captured which) { return PyTuple_GET_ITEM(state.ptr(), which); }

nb::str timeout_reason(nb::handle timeout) {
    PyObject *repr = PyObject_Repr(timeout.ptr()); // shortest round-trip form, ".0" kept
    if (!repr) throw nb::python_error();
    std::string text = "timed out after " + kd::utf8(nb::steal(repr)) +
                       "s waiting for cloud approval. Increase via langgraph_cloud_approval(timeout=...) or "
                       "KAVRI_APPROVAL_TIMEOUT env var.";
    return nb::str(text.data(), text.size());
}

nb::object idempotency_key(nb::handle request) {
    auto value = kd::get_attr(request, names::request_id);
    if (!value || value->is_none()) return nb::none(); // never "": services take it as a distinct key
    if (kd::is_bytes_like(*value)) return kd::hex_text(*value);
    return kd::text_of(*value);
}

// The LangGraph run the gate is raised in, as "thread_id\x1fcheckpoint_ns"; "" outside a run
// (or without LangGraph). The namespace names the node's task, which LangGraph derives from the
// checkpoint: a run resumed from its checkpointer gets the same one, any other run another.
nb::str run_scope() {
    PyObject *config_module = PyImport_ImportModule("langgraph.config");
    if (!config_module) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw nb::python_error();
        PyErr_Clear();
        return nb::str("");
    }
    nb::object get_config = nb::steal(config_module).attr("get_config");
    PyObject *config = PyObject_CallNoArgs(get_config.ptr());
    if (!config) { // "outside of a runnable context"
        if (!PyErr_ExceptionMatches(PyExc_RuntimeError)) throw nb::python_error();
        PyErr_Clear();
        return nb::str("");
    }
    nb::object configurable = kd::map_get(nb::steal(config), "configurable");
    if (!kd::truthy(configurable)) return nb::str("");
    nb::object thread = kd::map_get(configurable, "thread_id"), ns = kd::map_get(configurable, "checkpoint_ns");
    nb::str text = concat(kd::text_of(thread.is_none() ? nb::object(nb::str("")) : thread), nb::str("\x1f"));
    return concat(text, kd::text_of(ns.is_none() ? nb::object(nb::str("")) : ns));
}

// The key the handler sends: the request's own key (`_get_idempotency_key`), made particular to
// the LangGraph run and to the attested call. Tool-call ids repeat across threads and runs
// (models number their calls "call_0", "1", ...), so the bare id would hand one thread's request,
// and its approval, to another; a run resumed on the same thread keeps the key and so its request.
nb::object scoped_idempotency_key(nb::handle request) {
    nb::object key = mod_attr("_get_idempotency_key")(request);
    if (key.is_none()) return key; // no key at all, never a made-up one
    auto hash = kd::get_attr(request, names::request_hash);
    nb::object hash_text = (!hash || hash->is_none()) ? nb::object(nb::str(""))
                           : kd::is_bytes_like(*hash)  ? nb::object(kd::hex_text(*hash))
                                                       : nb::object(kd::text_of(*hash));
    nb::str material = concat(concat(run_scope(), nb::str("\x1f")), hash_text);
    nb::object digest = kd::import_module("hashlib").attr("sha256")(material.attr("encode")("utf-8")).attr("hexdigest")();
    return concat(concat(kd::text_of(key), nb::str(":")), digest[nb::slice(0, 32, 1)]);
}

// The mapping of `**kwargs` as a dict, with the host's error for anything else.
nb::dict as_kwargs(nb::handle mapping) {
    if (PyDict_Check(mapping.ptr())) return nb::borrow<nb::dict>(mapping);
    if (!nb::hasattr(mapping, "keys")) {
        PyErr_Format(PyExc_TypeError, "argument after ** must be a mapping, not %.200s", Py_TYPE(mapping.ptr())->tp_name);
        throw nb::python_error();
    }
    nb::dict copy;
    if (PyDict_Merge(copy.ptr(), mapping.ptr(), 1) < 0) throw nb::python_error();
    return copy;
}

nb::object lowered_status(nb::handle data) {
    auto status = kd::map_lookup(data, "status");
    return kd::text_of(status ? *status : nb::str("")).attr("lower")();
}

[[noreturn]] void deny(nb::handle denied_cls, nb::handle request, nb::handle reason) {
    kd::raise_instance(sdk_api::approval_denied(denied_cls, request, reason));
}

// Steps after the request is created: the signed approvals, or a raised error.
kd::Async create_and_poll(nb::object state, nb::object request, nb::object client, nb::object payload,
                          nb::object denied_cls, trace::Wait *wait) {
    nb::dict fields = as_kwargs(payload.attr("to_create_request_kwargs")());
    payload = nb::object(); // not kept while the request waits
    nb::object asyncio = kd::import_module("asyncio");
    nb::object loop = asyncio.attr("get_running_loop")();
    // The timeout bounds the whole wait, the create included, and no request outlives it
    // by more than the grace of the last poll.
    nb::object deadline = py_add(loop.attr("time")(), captured(state, kTimeout));
    nb::object monotonic = kd::import_module("time").attr("monotonic")();
    client_api::set_deadline(client, py_add(py_add(monotonic, captured(state, kTimeout)),
                                            nb::float_(client_api::kDeadlineGrace)));
    nb::object created = co_await kd::host_await(client_api::create_request(client, fields));
    fields = nb::dict();
    nb::object request_id = created["id"];
    created = nb::object();
    nb::object tool = tool_of(request);
    nb::str url = concat(concat(captured(state, kDashboardUrl), nb::str("/approvals?request=")), kd::text_of(request_id));
    kd::log(logger(), kd::Level::Info, "approval gate for '%s' - request %s - %s", {tool, request_id, url});
    wait->request(request_id, nullptr, url); // trace
    nb::handle poll_interval = captured(state, kPollInterval);
    while (true) {
        nb::object data = co_await kd::host_await(client_api::get_request(client, request_id));
        // A pending record is dropped before the sleep: a thousand waiters, a thousand records.
        nb::object status = lowered_status(data);
        wait->poll(status, data); // trace
        if (is_exact_text(status, "approved")) {
            kd::log(logger(), kd::Level::Info, "approval granted for '%s' (request %s)", {tool, request_id});
            co_return nb::borrow(captured(state, kExtract))(data);
        }
        if (is_exact_text(status, "denied") || is_exact_text(status, "rejected")) {
            nb::object reason = kd::map_get(data, "denied_reason");
            deny(denied_cls, request, kd::truthy(reason) ? reason : status);
        }
        if (is_exact_text(status, "expired")) deny(denied_cls, request, nb::str("approval request expired"));
        nb::object remaining = py_sub(deadline, loop.attr("time")());
        if (py_compare(remaining, nb::int_(0), Py_LE)) {
            wait->outcome("timed_out"); // trace
            deny(denied_cls, request, timeout_reason(captured(state, kTimeout)));
        }
        nb::object pause = py_compare(remaining, poll_interval, Py_LT) ? remaining : nb::borrow(poll_interval);
        data = nb::object();
        co_await kd::host_await(asyncio.attr("sleep")(pause));
    }
}

kd::Async handle_body(nb::object state, nb::object request) {
    auto wait = trace::Wait::start("langgraph", request); // trace: the wait's span
    nb::object denied_cls = kd::import_from(sdk_api::kApprovalModule, sdk_api::kApprovalDenied);
    nb::object key = scoped_idempotency_key(request);
    nb::object payload = mod_attr("build_approval_request_payload")(
        request, "signing_key"_a = captured(state, kSigningKey), "idempotency_key"_a = key);
    nb::object client = client_api::construct(mod_attr(client_api::kAsyncClient), captured(state, kApiKey),
                                              captured(state, kBaseUrl));
    nb::object outcome;
    std::optional<nb::python_error> failure;
    try {
        outcome = co_await kd::host_await(kd::make_coroutine(
            create_and_poll(state, request, client, std::move(payload), denied_cls, &wait), "_handle", "langgraph_cloud_approval.<locals>._handle"));
    } catch (nb::python_error &err) {
        failure.emplace(std::move(err));
    }
    if (failure) wait.fail(*failure); // trace
    else wait.finish(outcome);
    // Every exit closes the client, cancellation included; a failing close replaces our error.
    co_await kd::host_await(client_api::close(client));
    if (failure) {
        nb::object exc = kd::error_value(*failure);
        if (kd::error_is(*failure, mod_attr(errors_api::kApprovalDeniedError)) ||
            kd::error_is(*failure, mod_attr(errors_api::kApprovalExpiredError)))
            kd::raise_instance(sdk_api::approval_denied(denied_cls, request, kd::error_text(*failure)), exc);
        if (kd::error_is(*failure, mod_attr(errors_api::kConflictError)) &&
            py_compare(errors_api::code(exc), names::idempotency_key_reused, Py_EQ)) {
            std::string reason = "idempotency key '" + kd::utf8(kd::text_of(key)) +
                                 "' was already used for a different approval request";
            kd::raise_instance(sdk_api::approval_denied(denied_cls, request, nb::str(reason.data(), reason.size())),
                               exc);
        }
        if (kd::error_is(*failure, mod_attr(errors_api::kApprovalTimeoutError))) {
            nb::object denial = sdk_api::approval_denied(denied_cls, request, timeout_reason(captured(state, kTimeout)));
            PyException_SetContext(denial.ptr(), exc.release().ptr()); // no cause, as a plain raise in except
            kd::raise_instance(denial);
        }
        failure->restore();
        throw nb::python_error();
    }
    co_return outcome;
}

nb::object handle(nb::handle state, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("_handle", {{"request"}}, args, kwargs);
    return kd::make_coroutine(handle_body(nb::borrow(state), a[0]), "_handle", "langgraph_cloud_approval.<locals>._handle");
}

double resolve_timeout(nb::handle timeout) {
    if (!timeout.is_none()) {
        double value = PyFloat_AsDouble(timeout.ptr()); // TypeError for text, as float arithmetic would
        if (value == -1.0 && PyErr_Occurred()) throw nb::python_error();
        return value;
    }
    nb::str raw = kd::env_get_or("KAVRI_APPROVAL_TIMEOUT", kDefaultTimeoutText);
    PyObject *parsed = PyFloat_FromString(raw.ptr()); // an empty value fails too: it is not "unset"
    if (!parsed) throw nb::python_error();
    return PyFloat_AS_DOUBLE(nb::steal(parsed).ptr());
}

// str.rstrip("/") without the method call.
nb::object strip_trailing_slashes(nb::handle text) {
    Py_ssize_t end = PyUnicode_GET_LENGTH(text.ptr());
    while (end > 0 && PyUnicode_READ_CHAR(text.ptr(), end - 1) == '/') --end;
    if (end == PyUnicode_GET_LENGTH(text.ptr())) return nb::borrow(text);
    PyObject *stripped = PyUnicode_Substring(text.ptr(), 0, end);
    if (!stripped) throw nb::python_error();
    return nb::steal(stripped);
}

nb::object resolve_dashboard_url(nb::handle argument) {
    nb::object chosen;
    if (kd::truthy(argument)) chosen = nb::borrow(argument);
    else if (auto env = kd::env_nonempty("KAVRI_DASHBOARD_URL")) chosen = *env;
    else chosen = mod_attr(names::default_dashboard_url);
    return strip_trailing_slashes(kd::text_of(chosen));
}

nb::object make_handler(nb::handle api_key, nb::handle signing_key, nb::handle base_url, nb::handle dashboard_url,
                        nb::handle poll_interval, nb::handle timeout) {
    nb::object extract = kd::import_from(names::approval, names::extract);
    nb::object resolved_timeout = nb::float_(resolve_timeout(timeout));
    nb::object dashboard = resolve_dashboard_url(dashboard_url);
    nb::tuple state = nb::make_tuple(api_key, signing_key, base_url, poll_interval, resolved_timeout, dashboard, extract);
    trace::prepare();
    nb::object fn = native(handle, state, "_handle", "langgraph_cloud_approval.<locals>._handle",
                           "Resolve one approval gate through Kavri Cloud (awaitable).", "(request)");
    return kd::coroutine_face("approval_handler", fn,
                              {"_handle", "langgraph_cloud_approval.<locals>._handle",
                               "Resolve one approval gate through Kavri Cloud.", kModuleName});
}

nb::object langgraph_cloud_approval(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("langgraph_cloud_approval",
                           {{"api_key"},
                            {"signing_key", true, false, nb::none()},
                            {"base_url", true, false, mod_attr(names::default_base_url)},
                            {"dashboard_url", true, false, nb::str("")},
                            {"poll_interval", true, false, nb::float_(kDefaultPollInterval)},
                            {"timeout", true, false, nb::none()}},
                           args, kwargs);
    return make_handler(a[0], a[1], a[2], a[3], a[4], a[5]);
}

// The factory's common shape, the key by position and keyword-only options at most once
// each, bound straight from the argument vector; any other shape takes the generic binder.
PyObject *factory_entry(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    static const kd::Name *const keywords[] = {&names::signing_key, &names::base_url, &names::dashboard_url,
                                               &names::poll_interval, &names::timeout};
    constexpr int kKeywords = 5;
    if (PyVectorcall_NARGS(nargsf) != 1) return kd::generic_vector_call(self, args, nargsf, kwnames);
    PyObject *given[kKeywords] = {nullptr, nullptr, nullptr, nullptr, nullptr};
    Py_ssize_t n = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, i);
        int index = -1;
        for (int k = 0; k < kKeywords && index < 0; ++k) {
            PyObject *name = keywords[k]->get().ptr();
            if (key == name || PyUnicode_Compare(key, name) == 0) index = k;
        }
        if (index < 0 || given[index]) return kd::generic_vector_call(self, args, nargsf, kwnames);
        given[index] = args[1 + i];
    }
    try {
        nb::object base_url = given[1] ? nb::borrow(given[1]) : mod_attr(names::default_base_url);
        nb::object poll_interval = given[3] ? nb::borrow(given[3]) : nb::object(nb::float_(kDefaultPollInterval));
        auto or_none = [](PyObject *value) { return value ? nb::handle(value) : nb::handle(Py_None); };
        nb::handle dashboard_url = given[2] ? nb::handle(given[2]) : names::empty.get();
        return make_handler(args[0], or_none(given[0]), base_url, dashboard_url, poll_interval, or_none(given[4]))
            .release()
            .ptr();
    } catch (...) {
        kd::set_error_from_current_exception();
        return nullptr;
    }
}

nb::object idempotency_key_fast(PyObject *const *args) { return idempotency_key(args[0]); }

nb::object get_idempotency_key(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("_get_idempotency_key", {{"request"}}, args, kwargs);
    return idempotency_key(a[0]);
}

nb::object auto_approval_handler(nb::handle, nb::handle args, nb::handle kwargs) {
    nb::dict overrides;
    kd::bind_args("_auto_approval_handler", {}, args, kwargs, &overrides);
    nb::object api_key = kd::map_get(overrides, "api_key");
    if (!kd::truthy(api_key)) api_key = kd::env_get_or("KAVRI_API_KEY", "");
    if (!kd::truthy(api_key)) return nb::none();
    nb::dict passed;
    passed["api_key"] = api_key;
    for (auto [name, value] : overrides)
        if (!is_exact_text(name, "api_key")) passed[name] = value;
    // The key came from the environment, so the endpoint does too: Quick Connect
    // exports both, and a key for one deployment is useless against another.
    if (!overrides.contains("base_url"))
        if (auto url = kd::env_nonempty("KAVRI_CONTROL_PLANE_URL")) passed["base_url"] = *url;
    return mod_attr("langgraph_cloud_approval")(**passed);
}

// ---------------------------------------------------------------------------
// Observe-first

bool is_denial_tool_message(nb::handle result) {
    auto status = kd::get_attr(result, names::status);
    auto content = kd::get_attr(result, names::content);
    nb::object text = (content && kd::truthy(*content)) ? nb::object(kd::text_of(*content)) : nb::object(nb::str(""));
    if (!status || !py_compare(*status, names::error, Py_EQ)) return false;
    for (const kd::Name &marker : names::markers) { // the SDK's denial texts, in this order
        int rc = PyUnicode_Contains(text.ptr(), marker.get().ptr());
        if (rc < 0) throw nb::python_error();
        if (rc) return true;
    }
    return false;
}

nb::object is_denial_fast(PyObject *const *args) { return nb::bool_(is_denial_tool_message(args[0])); }

nb::object is_denial_fn(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("_is_denial_tool_message", {{"result"}}, args, kwargs);
    return nb::bool_(is_denial_tool_message(a[0]));
}

// Steps shared by both forms: true when the denial is to be overridden (and logged).
bool observe_overrides(nb::handle result, nb::handle request, nb::handle dry_run) {
    if (!kd::truthy(dry_run) || !is_denial_tool_message(result)) return false;
    auto tool_call = kd::get_attr(request, names::tool_call);
    nb::object name = nb::str("unknown");
    if (tool_call && kd::truthy(*tool_call) && PyDict_Check(tool_call->ptr())) {
        PyObject *value = PyDict_GetItemWithError(tool_call->ptr(), names::name.get().ptr());
        if (value) name = nb::borrow(value);
        else if (PyErr_Occurred()) throw nb::python_error();
    }
    kd::log(logger(), kd::Level::Info, kObserveAllowing, {name});
    return true;
}

const std::vector<kd::Param> &observe_params() {
    static const std::vector<kd::Param> params = {{"result"}, {"request"}, {"handler"}, {"dry_run"}};
    return params;
}

nb::object observe(nb::handle result, nb::handle request, nb::handle handler, nb::handle dry_run) {
    if (!observe_overrides(result, request, dry_run)) return nb::borrow(result);
    return handler(request); // the framework runs the tool; the SDK's denial is dropped
}

nb::object observe_fast(PyObject *const *args) { return observe(args[0], args[1], args[2], args[3]); }

nb::object observe_or_result(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("_observe_or_result", observe_params(), args, kwargs);
    return observe(a[0], a[1], a[2], a[3]);
}

bool is_coroutine(nb::handle value) {
    if (PyCoro_CheckExact(value.ptr())) return true;
    return kd::is_instance(value, kd::import_from(names::collections_abc, names::coroutine));
}

kd::Async observe_async_body(nb::object result, nb::object request, nb::object handler, nb::object dry_run) {
    if (!observe_overrides(result, request, dry_run)) co_return result;
    nb::object maybe = handler(request);
    if (!is_coroutine(maybe)) co_return maybe; // other awaitables go back as they are
    co_return co_await kd::host_await(maybe);
}

nb::object observe_or_result_async(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("_observe_or_result_async", observe_params(), args, kwargs);
    return kd::make_coroutine(observe_async_body(a[0], a[1], a[2], a[3]), "_observe_or_result_async",
                              "_observe_or_result_async");
}

// ---------------------------------------------------------------------------
// The drop-in classes

// Methods keep their class in a one-item list, filled once the class exists,
// so they can call super() like a method defined in the class body.
nb::object super_of(nb::handle cell, nb::handle self) {
    PyObject *cls = PyList_GET_ITEM(cell.ptr(), 0);
    PyObject *sup = PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&PySuper_Type), cls, self.ptr(), nullptr);
    if (!sup) throw nb::python_error();
    return nb::steal(sup);
}

// Constructor steps shared by both classes; `kwargs` is our own copy.
void wire_and_resolve_mode(nb::handle self, bool may_auto_wire, nb::dict &kwargs) {
    if (may_auto_wire && kd::map_get(kwargs, "approval_handler").is_none()) {
        nb::object handler = mod_attr("_auto_approval_handler")();
        if (!handler.is_none()) kwargs["approval_handler"] = handler;
    }
    nb::object dry_run = kwargs.contains("dry_run") ? nb::object(kwargs["dry_run"]) : nb::none();
    if (kwargs.contains("dry_run")) PyDict_DelItemString(kwargs.ptr(), "dry_run");
    if (dry_run.is_none()) dry_run = enforcement_api::observe_first_from_env(mod_attr(enforcement_api::kObserveFirstFromEnv));
    bool observe = kd::truthy(dry_run);
    nb::setattr(self, "_dry_run", nb::bool_(observe));
    if (observe) kd::log(logger(), kd::Level::Info, kObserveInstance);
}

nb::dict copy_kwargs(nb::handle kwargs) {
    nb::dict copy;
    if (kwargs.is_valid() && PyDict_Update(copy.ptr(), kwargs.ptr()) < 0) throw nb::python_error();
    return copy;
}

nb::object middleware_init(nb::handle cell, nb::handle args, nb::handle kwargs) {
    Py_ssize_t n = PyTuple_GET_SIZE(args.ptr());
    if (n < 1) throw nb::type_error("KavriMiddleware.__init__() missing 1 required positional argument: 'self'");
    nb::handle self = PyTuple_GET_ITEM(args.ptr(), 0);
    nb::object rest = nb::steal(PyTuple_GetSlice(args.ptr(), 1, n));
    nb::dict options = copy_kwargs(kwargs);
    wire_and_resolve_mode(self, n == 1, options);
    super_of(cell, self).attr("__init__")(*rest, **options);
    return nb::none();
}

// The handler the SDK's hook is given: it notes that it was called, then calls the framework's.
// Called means the call went on towards the tool, so whatever comes back is the tool's (or an
// inner middleware's) result, never the gate's denial: observe-first must not run it again.
// State: a two-item list [handler, called].
nb::object spy_call(nb::handle state, nb::handle args, nb::handle kwargs) {
    PyList_SetItem(state.ptr(), 1, Py_NewRef(Py_True));
    PyObject *r = PyObject_Call(PyList_GET_ITEM(state.ptr(), 0), args.ptr(), kwargs.is_valid() ? kwargs.ptr() : nullptr);
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

nb::object handler_spy(nb::handle handler) {
    nb::list state;
    state.append(handler);
    state.append(nb::bool_(false));
    return kd::make_function(spy_call, state, {"handler", "KavriMiddleware.<locals>.handler", nullptr, kModuleName});
}

bool spy_was_called(nb::handle spy) {
    nb::handle state = reinterpret_cast<kd::NativeFunctionObject *>(spy.ptr())->state;
    return PyList_GET_ITEM(state.ptr(), 1) == Py_True;
}

// trace: the SDK's verdict on the call, apart from the action taken. A call that went on
// towards the tool was allowed, whatever its result says.
void guard_decided(trace::Guard &guard, bool went_on, nb::handle result, nb::handle dry_run) {
    if (!guard) return;
    bool denied = !went_on && is_denial_tool_message(result);
    guard.decided(denied, kd::truthy(dry_run), denied ? kd::attr_or_none(result, names::content.get()) : nb::none());
}

nb::object wrap(nb::handle cell, nb::handle self, nb::handle request, nb::handle handler) {
    auto guard = trace::Guard::start(request, kd::truthy(self.attr(names::dry_run.get()))); // trace
    try {
        nb::object spy = handler_spy(handler);
        nb::object result = super_of(cell, self).attr(names::wrap_tool_call.get())(request, spy);
        nb::object dry_run = self.attr(names::dry_run.get());
        bool went_on = spy_was_called(spy);
        guard_decided(guard, went_on, result, dry_run); // trace
        nb::object out = went_on ? result : mod_attr(names::observe)(result, request, handler, dry_run);
        guard.finish(); // trace
        return out;
    } catch (nb::python_error &err) {
        guard.fail(err); // trace
        throw;
    }
}

nb::object middleware_wrap(nb::handle cell, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("wrap_tool_call", {{"self"}, {"request"}, {"handler"}}, args, kwargs);
    return wrap(cell, a[0], a[1], a[2]);
}

// The hook's bound call: self, request, handler straight from the argument vector.
PyObject *middleware_wrap_entry(PyObject *fn, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    if (PyVectorcall_NARGS(nargsf) != 3 || (kwnames && PyTuple_GET_SIZE(kwnames)))
        return kd::generic_vector_call(fn, args, nargsf, kwnames);
    try {
        return wrap(reinterpret_cast<kd::NativeFunctionObject *>(fn)->state, args[0], args[1], args[2]).release().ptr();
    } catch (...) {
        kd::set_error_from_current_exception();
        return nullptr;
    }
}

kd::Async middleware_awrap_body(nb::object cell, nb::object self, nb::object request, nb::object handler) {
    auto guard = trace::Guard::start(request, kd::truthy(self.attr(names::dry_run.get()))); // trace
    nb::object out;
    std::optional<nb::python_error> failure;
    try {
        nb::object spy = handler_spy(handler);
        nb::object result =
            co_await kd::host_await(super_of(cell, self).attr(names::awrap_tool_call.get())(request, spy));
        nb::object dry_run = self.attr(names::dry_run.get());
        bool went_on = spy_was_called(spy);
        guard_decided(guard, went_on, result, dry_run); // trace
        if (went_on)
            out = result;
        else
            out = co_await kd::host_await(mod_attr(names::observe_async)(result, request, handler, dry_run));
    } catch (nb::python_error &err) {
        failure.emplace(std::move(err));
    }
    if (failure) { // trace
        guard.fail(*failure);
        failure->restore();
        throw nb::python_error();
    }
    guard.finish(); // trace
    co_return out;
}

nb::object middleware_awrap(nb::handle cell, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("awrap_tool_call", {{"self"}, {"request"}, {"handler"}}, args, kwargs);
    return kd::make_coroutine(middleware_awrap_body(nb::borrow(cell), a[0], a[1], a[2]), "awrap_tool_call",
                              "KavriMiddleware.awrap_tool_call");
}

nb::object tool_node_init(nb::handle cell, nb::handle args, nb::handle kwargs) {
    nb::dict options;
    auto a = kd::bind_args("KavriToolNode.__init__", {{"self"}, {"tools"}}, args, kwargs, &options);
    wire_and_resolve_mode(a[0], true, options);
    super_of(cell, a[0]).attr("__init__")(a[1], **options);
    return nb::none();
}

nb::object missing_init(nb::handle import_error, nb::handle, nb::handle) {
    kd::raise_error(PyExc_ImportError, kInstallHint, import_error);
}

// A class body's namespace starts with these, in this order.
nb::dict class_namespace(const char *name, const char *doc) {
    nb::dict ns;
    ns["__module__"] = kModuleName;
    ns["__qualname__"] = name;
    if (doc) ns["__doc__"] = doc;
    return ns;
}

// cls = metaclass(name, (base,), namespace), the way a class statement builds it.
nb::object build_class(const char *name, nb::handle base, nb::dict ns) {
    nb::object meta = nb::borrow(reinterpret_cast<PyObject *>(Py_TYPE(base.ptr())));
    nb::object cls = meta(name, nb::make_tuple(base), ns);
    nb::setattr(cls, "__name__", nb::str(name));
    nb::setattr(cls, "__qualname__", nb::str(name));
    return cls;
}

nb::object placeholder(const char *name, nb::handle import_error) {
    nb::dict ns = class_namespace(name, nullptr);
    ns["__init__"] = native(missing_init, import_error, "__init__", std::string(name) + ".__init__",
                            "Fails: the SDK's LangGraph support is not installed.", "($self, /, *args, **kwargs)", true);
    return build_class(name, reinterpret_cast<PyObject *>(&PyBaseObject_Type), ns);
}

// The SDK class, or std::nullopt with `import_error` set when it cannot be imported.
std::optional<nb::object> sdk_class(const char *name, nb::object &import_error) {
    try {
        return kd::import_from(sdk_api::kLangGraphModule, name);
    } catch (nb::python_error &err) {
        if (!kd::is_import_error(err)) throw;
        import_error = kd::error_value(err);
        return std::nullopt;
    }
}

nb::object make_cloud_middleware_class(nb::handle, nb::handle args, nb::handle kwargs) {
    kd::bind_args("_make_cloud_middleware_class", {}, args, kwargs);
    nb::object import_error;
    auto core = sdk_class(sdk_api::kKavriMiddleware, import_error);
    if (!core) return placeholder("KavriMiddleware", import_error);
    nb::list cell;
    cell.append(nb::none());
    nb::dict ns = class_namespace("KavriMiddleware", kMiddlewareDoc);
    ns["__init__"] = native(middleware_init, cell, "__init__", "KavriMiddleware.__init__", nullptr,
                            "($self, /, *args, **kwargs)", true);
    nb::object wrap_fn = native(middleware_wrap, cell, "wrap_tool_call", "KavriMiddleware.wrap_tool_call", nullptr,
                                "($self, request, handler)", true);
    kd::set_vectorcall(wrap_fn, middleware_wrap_entry);
    ns["wrap_tool_call"] = wrap_fn;
    nb::object awrap = native(middleware_awrap, cell, "awrap_tool_call", "KavriMiddleware.awrap_tool_call", nullptr,
                              "($self, request, handler)", true);
    ns["awrap_tool_call"] = kd::coroutine_face("tool_call_hook", awrap,
                                               {"awrap_tool_call", "KavriMiddleware.awrap_tool_call", nullptr, kModuleName});
    nb::object cls = build_class("KavriMiddleware", *core, ns);
    cell[0] = cls;
    return cls;
}

nb::object make_cloud_tool_node_class(nb::handle, nb::handle args, nb::handle kwargs) {
    kd::bind_args("_make_cloud_tool_node_class", {}, args, kwargs);
    nb::object import_error;
    auto core = sdk_class(sdk_api::kKavriToolNode, import_error);
    if (!core) return placeholder("KavriToolNode", import_error);
    nb::list cell;
    cell.append(nb::none());
    nb::dict ns = class_namespace("KavriToolNode", kToolNodeDoc);
    ns["__init__"] = native(tool_node_init, cell, "__init__", "KavriToolNode.__init__", nullptr,
                            "($self, tools, **kwargs)", true);
    nb::object cls = build_class("KavriToolNode", *core, ns);
    cell[0] = cls;
    return cls;
}

} // namespace

KAVRI_MODULE(langgraph, m) {
    g_module = m.ptr();
    kd::init_coroutine_type(m);
    m.doc() = "LangGraph approval handler and drop-in middleware and tool node for Kavri Cloud.";

    // Collaborators, read back from the module at each use so tests can substitute them.
    m.attr("build_approval_request_payload") =
        kd::import_from("kavri_cloud.payload_forge", "build_approval_request_payload");
    m.attr(client_api::kAsyncClient) = kd::import_from(client_api::kModule, client_api::kAsyncClient);
    m.attr(enforcement_api::kObserveFirstFromEnv) =
        kd::import_from(enforcement_api::kModule, enforcement_api::kObserveFirstFromEnv);
    for (const char *name : {errors_api::kApprovalDeniedError, errors_api::kApprovalExpiredError,
                             errors_api::kApprovalTimeoutError, errors_api::kConflictError})
        m.attr(name) = kd::import_from(errors_api::kModule, name);
    m.attr("logger") = kd::get_logger(kModuleName);

    // Constants: the hosted service's addresses live in one place.
    m.attr("_DEFAULT_BASE_URL") = kd::import_from("kavri_cloud.hosted", "DEFAULT_API_BASE_URL");
    m.attr("_DEFAULT_DASHBOARD_URL") = kd::import_from("kavri_cloud.hosted", "DEFAULT_DASHBOARD_URL");
    m.attr("_DEFAULT_POLL_INTERVAL") = kDefaultPollInterval;

    auto def = [&](const char *name, kd::NativeFn fn, const char *doc, const std::string &signature) {
        m.attr(name) = native(fn, nb::none(), name, name, doc, signature);
        return m.attr(name);
    };

    // The approval handler
    std::string base_url = kd::utf8(nb::repr(m.attr("_DEFAULT_BASE_URL")));
    nb::object factory = def("langgraph_cloud_approval", langgraph_cloud_approval,
        "Return an asynchronous approval handler that resolves gates through Kavri Cloud.\n\n"
        "timeout defaults to KAVRI_APPROVAL_TIMEOUT (900 seconds when unset); the dashboard\n"
        "link is built from dashboard_url, KAVRI_DASHBOARD_URL or the hosted dashboard.",
        "(api_key, *, signing_key=None, base_url=" + base_url +
            ", dashboard_url='', poll_interval=3.0, timeout=None)");
    kd::set_vectorcall(factory, factory_entry);
    kd::set_vectorcall(def("_get_idempotency_key", get_idempotency_key,
                           "The request's request_id as an idempotency key (bytes as lower-case hex), or None.",
                           "(request)"),
                       positional_entry<1, idempotency_key_fast>);

    // Auto-wiring and observe-first
    def("_auto_approval_handler", auto_approval_handler,
        "The cloud approval handler when an API key is given or in KAVRI_API_KEY, else None.", "(**overrides)");
    kd::set_vectorcall(def("_is_denial_tool_message", is_denial_fn, "Whether a tool result is the SDK's denial message.",
                           "(result)"),
                       positional_entry<1, is_denial_fast>);
    kd::set_vectorcall(def("_observe_or_result", observe_or_result,
                           "In observe-first mode run the tool after a denial; otherwise return the result.",
                           "(result, request, handler, dry_run)"),
                       positional_entry<4, observe_fast>);
    m.attr("_observe_or_result_async") = kd::coroutine_face(
        "observer",
        native(observe_or_result_async, nb::none(), "_observe_or_result_async", "_observe_or_result_async", nullptr,
               "(result, request, handler, dry_run)"),
        {"_observe_or_result_async", "_observe_or_result_async", "Asynchronous form of _observe_or_result.", kModuleName});

    // The drop-in classes, chosen once per process
    def("_make_cloud_middleware_class", make_cloud_middleware_class,
        "Build KavriMiddleware on the SDK's class, or its placeholder when that is missing.", "()");
    def("_make_cloud_tool_node_class", make_cloud_tool_node_class,
        "Build KavriToolNode on the SDK's class, or its placeholder when that is missing.", "()");
    m.attr("KavriMiddleware") = m.attr("_make_cloud_middleware_class")();
    m.attr("KavriToolNode") = m.attr("_make_cloud_tool_node_class")();
}
