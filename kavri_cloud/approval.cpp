// kavri_cloud.approval: cloud approval handlers (blocking, asyncio and Temporal) and the polling
// and signed-approval extraction they share. Calls the package client and error kinds,
// payload_forge, the SDK (kavri.approval, kavri.cp_approval), kavri_core and temporalio.
#include <nanobind/nanobind.h>

#include <optional>
#include <string>

#include "contracts/client.hpp"
#include "contracts/core.hpp"
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
namespace sdk_api = kavri::contracts::sdk;
namespace core_api = kavri::contracts::core;
using namespace nb::literals;

namespace {

// The module object, borrowed: it outlives every call into it.
PyObject *g_module = nullptr;

nb::object mod_attr(const char *name) { return kd::module_attr(g_module, name); }
nb::object logger() { return mod_attr("logger"); }

constexpr double kDefaultPollInterval = 2.0;
constexpr double kDefaultTimeout = 300.0;
constexpr double kTemporalClientTimeout = 10.0;
constexpr int kDefaultFastPollAttempts = 3;
constexpr int kNotFoundStatus = 404;

const char *const kNoResponses = "approved request has no approval responses";
const char *const kMalformedSignature = "malformed signed_approval in cloud response: not valid hex or base64";

[[noreturn]] void raise_cloud_error(const std::string &message, nb::handle cause = nb::handle()) {
    kd::raise_error(mod_attr(errors_api::kKavriCloudError), message, cause);
}

// Python's `a OP b` on host numbers, so captured values stay unconverted.
nb::object py_add(nb::handle a, nb::handle b) {
    PyObject *r = PyNumber_Add(a.ptr(), b.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}
nb::object py_mul(nb::handle a, nb::handle b) {
    PyObject *r = PyNumber_Multiply(a.ptr(), b.ptr());
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

nb::object monotonic() { return kd::import_module("time").attr("monotonic")(); }

bool is_exact_text(nb::handle value, const char *text) {
    return PyUnicode_Check(value.ptr()) && PyUnicode_CompareWithASCIIString(value.ptr(), text) == 0;
}

// "status" of a record, or "" when the key is missing.
nb::object record_status(nb::handle record) {
    auto status = kd::map_lookup(record, "status");
    return status ? *status : nb::str("");
}

// ---------------------------------------------------------------------------
// Polling

struct PollStep {
    bool resolved;
    nb::object sleep_time; // when not resolved
};

// The shared decision of both poll loops, after one get_request.
PollStep poll_decide(nb::handle result, nb::handle deadline, nb::handle request_id, nb::handle poll_interval,
                     nb::handle timeout) {
    nb::object status = record_status(result);
    trace::poll_current(status, result); // trace: one event per poll
    if (!is_exact_text(status, "pending")) return {true, nb::object()};
    nb::object remaining = py_sub(deadline, monotonic());
    if (py_compare(remaining, nb::int_(0), Py_LE)) {
        nb::object exc = errors_api::approval_timeout(mod_attr(errors_api::kApprovalTimeoutError), request_id, timeout);
        kd::raise_instance(exc);
    }
    nb::object sleep_time = py_compare(remaining, poll_interval, Py_LT) ? remaining : nb::borrow(poll_interval);
    nb::dict extra;
    extra["request_id"] = request_id;
    extra["sleep"] = sleep_time;
    kd::log(logger(), kd::Level::Debug, "approval still pending, polling again", {}, extra);
    return {false, sleep_time};
}

const std::vector<kd::Param> kPollParams = {
    {"client"}, {"request_id"}, {"poll_interval", true}, {"timeout", true}};

nb::object poll_until_resolved(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("_poll_until_resolved", kPollParams, args, kwargs);
    nb::object &client = a[0], &request_id = a[1], &poll_interval = a[2], &timeout = a[3];
    nb::object deadline = py_add(monotonic(), timeout);
    while (true) {
        nb::object result = client_api::get_request(client, request_id);
        PollStep step = poll_decide(result, deadline, request_id, poll_interval, timeout);
        if (step.resolved) return result;
        // time.sleep releases the GIL and stays patchable.
        kd::import_module("time").attr("sleep")(step.sleep_time);
    }
}

kd::Async async_poll_body(nb::object client, nb::object request_id, nb::object poll_interval, nb::object timeout) {
    nb::object deadline = py_add(monotonic(), timeout);
    while (true) {
        nb::object sleep_time;
        {
            // Scoped: a pending record is not kept through the sleep (a thousand waiters, a thousand records).
            nb::object result = co_await kd::host_await(client_api::get_request(client, request_id));
            PollStep step = poll_decide(result, deadline, request_id, poll_interval, timeout);
            if (step.resolved) co_return result;
            sleep_time = std::move(step.sleep_time);
        }
        co_await kd::host_await(kd::import_module("asyncio").attr("sleep")(sleep_time));
    }
}

nb::object async_poll_until_resolved(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("_async_poll_until_resolved", kPollParams, args, kwargs);
    return kd::make_coroutine(async_poll_body(a[0], a[1], a[2], a[3]), "_async_poll_until_resolved",
                              "_async_poll_until_resolved");
}

// ---------------------------------------------------------------------------
// Signed-approval extraction (hexadecimal first, then strict base64)

// Matches "^[0-9a-fA-F]+$" as the host's re does: "$" also matches before one final "\n".
bool looks_hex(nb::handle raw) {
    return kd::with_code_points(raw, [](const auto *data, size_t n) {
        if (n > 0 && data[n - 1] == '\n') --n;
        if (n == 0) return false;
        for (size_t i = 0; i < n; ++i)
            if (kd::hex_value(uint32_t(data[i])) < 0) return false;
        return true;
    });
}

// A "responses" value that cannot be iterated (a number, true) holds no responses.
bool holds_responses(nb::handle responses) {
    if (responses.is_none() || !kd::truthy(responses)) return false;
    return Py_TYPE(responses.ptr())->tp_iter != nullptr || PySequence_Check(responses.ptr());
}

// Only a mapping entry can carry a "signed_approval"; text, bytes, lists and tuples
// (whose item lookup by a str key would fail) are skipped like entries without one.
bool is_response_entry(nb::handle r) {
    PyObject *o = r.ptr();
    if (PyDict_Check(o)) return true;
    return PyMapping_Check(o) && !PyUnicode_Check(o) && !PyBytes_Check(o) && !PyByteArray_Check(o) &&
           !PyList_Check(o) && !PyTuple_Check(o);
}

nb::object extract_signed_approvals(nb::handle result) {
    nb::object responses = kd::map_get(result, "responses");
    if (!holds_responses(responses)) raise_cloud_error(kNoResponses);
    nb::object response_cls = kd::import_from(sdk_api::kCpApprovalModule, sdk_api::kControlPlaneApprovalResponseV1);
    nb::object decode = kd::import_from(sdk_api::kCpApprovalModule, sdk_api::kSignedApprovalsFromResponse);
    nb::list signed_b64;
    for (nb::handle r : responses) {
        if (!is_response_entry(r)) continue;
        nb::object raw = kd::map_get(r, "signed_approval");
        if (raw.is_none() || !kd::truthy(raw)) continue;
        // A signature that is not text cannot be either encoding.
        if (!kd::is_text(raw)) raise_cloud_error(kMalformedSignature);
        if (looks_hex(raw) && PyUnicode_GET_LENGTH(raw.ptr()) % 2 == 0) {
            try {
                nb::bytes decoded = kd::hex_to_bytes(raw);
                signed_b64.append(kd::b64_text(kd::bytes_view(decoded)));
                continue;
            } catch (nb::builtin_exception &) {
                // Not decodable after all: try it as base64.
            }
        }
        if (!kd::b64_strict_valid(raw)) raise_cloud_error(kMalformedSignature);
        signed_b64.append(raw);
    }
    nb::object record = sdk_api::cp_response(response_cls, "approved",
                                             nb::len(signed_b64) ? nb::object(signed_b64) : nb::none());
    nb::object approvals = decode(record);
    size_t count = nb::len(approvals);
    if (count == 0) raise_cloud_error(kNoResponses);
    if (count == 1) return approvals[0];
    return approvals;
}

nb::object extract_signed_approvals_fn(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("_extract_signed_approvals", {{"result"}}, args, kwargs);
    return extract_signed_approvals(a[0]);
}

// ---------------------------------------------------------------------------
// Generic handlers: shared pieces

// Captured by both factories, in this order.
enum Captured : size_t { kApiKey, kSigningKey, kBaseUrl, kPollInterval, kTimeout };

nb::handle captured(nb::handle state, Captured which) { return PyTuple_GET_ITEM(state.ptr(), Py_ssize_t(which)); }

nb::object tool_of(nb::handle request) {
    // A request without `tool` still gets its approval: the log shows "".
    auto tool = kd::get_attr(request, "tool");
    return tool ? *tool : nb::str("");
}

nb::object build_payload(nb::handle state, nb::handle request) {
    return mod_attr("build_approval_request_payload")(request, "signing_key"_a = captured(state, kSigningKey));
}

nb::object create_kwargs(nb::handle payload) { return payload.attr("to_create_request_kwargs")(); }

// Decides a final record: the signed approvals, or a raised ApprovalDenied.
nb::object decide(nb::handle denied_cls, nb::handle request, nb::handle result) {
    nb::object status = result["status"];
    if (is_exact_text(status, "approved")) return mod_attr("_extract_signed_approvals")(result);
    nb::object reason;
    if (is_exact_text(status, "denied")) {
        nb::object denied_reason = kd::map_get(result, "denied_reason");
        reason = (!denied_reason.is_none() && kd::truthy(denied_reason)) ? denied_reason
                                                                          : nb::object(nb::str("denied in Kavri Cloud"));
    } else if (is_exact_text(status, "expired")) {
        reason = nb::str("approval request expired");
    } else {
        reason = py_add(nb::str("unexpected status: "), kd::text_of(status));
    }
    kd::raise_instance(sdk_api::approval_denied(denied_cls, request, reason));
}

std::string timeout_reason(nb::handle timeout) {
    return "timed out after " + kd::utf8(kd::text_of(timeout)) + "s waiting for cloud approval";
}

// The handler's timeout bounds the whole invocation: its client may not run a
// request past start + timeout (+ the grace of the last poll). Returns the start.
nb::object arm_client(nb::handle client, nb::handle timeout) {
    nb::object start = monotonic();
    client_api::set_deadline(client, py_add(py_add(start, timeout), nb::float_(client_api::kDeadlineGrace)));
    return start;
}

// What the poll may still wait once the create is done: the timeout less the time
// the create took (the timeout itself when no time has passed).
nb::object poll_timeout(nb::handle start, nb::handle timeout) {
    nb::object elapsed = py_sub(monotonic(), start);
    if (py_compare(elapsed, nb::int_(0), Py_LE)) return nb::borrow(timeout);
    nb::object left = py_sub(timeout, elapsed);
    return py_compare(left, nb::int_(0), Py_LT) ? nb::object(nb::int_(0)) : left;
}

// Maps the client's denial, expiry and timeout errors to the SDK's denial; any
// other error is returned unchanged (as std::nullopt).
std::optional<nb::object> map_client_error(const nb::python_error &err, nb::handle denied_cls, nb::handle request,
                                           nb::handle timeout, bool &with_cause) {
    if (kd::error_is(err, mod_attr(errors_api::kApprovalDeniedError)) ||
        kd::error_is(err, mod_attr(errors_api::kApprovalExpiredError))) {
        with_cause = true;
        return sdk_api::approval_denied(denied_cls, request, kd::error_text(err));
    }
    if (kd::error_is(err, mod_attr(errors_api::kApprovalTimeoutError))) {
        with_cause = false;
        std::string reason = timeout_reason(timeout);
        return sdk_api::approval_denied(denied_cls, request, nb::str(reason.c_str()));
    }
    return std::nullopt;
}

// Raises `exc` for a caught client error: with it as the cause, or only as the
// context (what an implicit `raise` inside an except block records).
[[noreturn]] void raise_mapped(nb::handle exc, const nb::python_error &err, bool with_cause) {
    if (with_cause) kd::raise_instance(exc, kd::error_value(err));
    PyException_SetContext(exc.ptr(), kd::error_value(err).release().ptr());
    kd::raise_instance(exc);
}

// ---------------------------------------------------------------------------
// Blocking handler

nb::object blocking_handle(nb::handle state, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("_handle", {{"request"}}, args, kwargs);
    nb::object &request = a[0];
    auto wait = trace::Wait::start("blocking", request); // trace: the wait's span
    nb::object denied_cls = kd::import_from(sdk_api::kApprovalModule, sdk_api::kApprovalDenied);
    nb::object payload = build_payload(state, request);
    nb::object client = client_api::construct(mod_attr(client_api::kSyncClient), captured(state, kApiKey), captured(state, kBaseUrl));
    nb::object result;
    try {
        nb::object start = arm_client(client, captured(state, kTimeout));
        nb::object ar = client_api::create_request(client, create_kwargs(payload));
        nb::object request_id = ar["id"];
        nb::dict extra;
        extra["request_id"] = request_id;
        extra["tool"] = tool_of(request);
        kd::log(logger(), kd::Level::Info, "approval request created in cloud", {}, extra);
        wait.request(request_id); // trace
        result = mod_attr("_poll_until_resolved")(client, request_id, "poll_interval"_a = captured(state, kPollInterval),
                                                  "timeout"_a = poll_timeout(start, captured(state, kTimeout)));
    } catch (nb::python_error &err) {
        wait.fail(err); // trace
        bool with_cause = false;
        std::optional<nb::object> mapped = map_client_error(err, denied_cls, request, captured(state, kTimeout), with_cause);
        client_api::close(client); // a failing close replaces the error, as `finally` does
        if (mapped) raise_mapped(*mapped, err, with_cause);
        throw;
    }
    try {
        nb::object outcome = decide(denied_cls, request, result);
        wait.finish(outcome); // trace
        client_api::close(client);
        return outcome;
    } catch (nb::python_error &err) {
        wait.fail(err); // trace
        client_api::close(client);
        throw;
    }
}

std::vector<kd::Param> factory_params() {
    return {{"api_key"},
            {"signing_key", true, false, nb::none()},
            {"base_url", true, false, kd::import_from("kavri_cloud.hosted", "DEFAULT_API_BASE_URL")},
            {"poll_interval", true, false, nb::float_(kDefaultPollInterval)},
            {"timeout", true, false, nb::float_(kDefaultTimeout)}};
}

nb::tuple capture(const std::vector<nb::object> &a) { return nb::make_tuple(a[0], a[1], a[2], a[3], a[4]); }

nb::object cloud_approval(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("cloud_approval", factory_params(), args, kwargs);
    trace::prepare();
    nb::object handle = kd::make_function(blocking_handle, capture(a),
                                          {"_handle", "cloud_approval.<locals>._handle", nullptr, "kavri_cloud.approval"});
    nb::setattr(handle, "__text_signature__", nb::str("(request)"));
    return handle;
}

// ---------------------------------------------------------------------------
// Asynchronous handler

kd::Async core_body(nb::object state, nb::object request) {
    auto wait = trace::Wait::start("asyncio", request); // trace: the wait's span
    nb::object denied_cls = kd::import_from(sdk_api::kApprovalModule, sdk_api::kApprovalDenied);
    nb::object payload = build_payload(state, request);
    nb::object client = client_api::construct(mod_attr(client_api::kAsyncClient), captured(state, kApiKey), captured(state, kBaseUrl));
    nb::object result;
    std::optional<nb::python_error> failure;
    try {
        nb::object start = arm_client(client, captured(state, kTimeout));
        nb::object request_id;
        {
            // The payload and the created record are not kept while the request waits.
            nb::object fields = create_kwargs(payload);
            payload = nb::object();
            nb::object ar = co_await kd::host_await(client_api::create_request(client, fields));
            request_id = ar["id"];
        }
        kd::log(logger(), kd::Level::Info, "approval request %s created for %s", {request_id, tool_of(request)});
        wait.request(request_id); // trace
        result = co_await kd::host_await(mod_attr("_async_poll_until_resolved")(
            client, request_id, "poll_interval"_a = captured(state, kPollInterval),
            "timeout"_a = poll_timeout(start, captured(state, kTimeout))));
    } catch (nb::python_error &err) {
        failure.emplace(std::move(err));
    }
    nb::object outcome;
    if (!failure) {
        try {
            outcome = decide(denied_cls, request, result);
        } catch (nb::python_error &err) {
            failure.emplace(std::move(err));
        }
    }
    if (failure) wait.fail(*failure); // trace
    else wait.finish(outcome);
    // The close runs on every path, cancellation included; its own failure replaces ours.
    co_await kd::host_await(client_api::close(client));
    if (failure) {
        bool with_cause = false;
        std::optional<nb::object> mapped = map_client_error(*failure, denied_cls, request, captured(state, kTimeout), with_cause);
        if (mapped) raise_mapped(*mapped, *failure, with_cause);
        failure->restore();
        throw nb::python_error();
    }
    co_return outcome;
}

// How long an interrupted caller waits for the worker to cancel its task and close its client.
constexpr double kInterruptGrace = 5.0;

// As asyncio.run ends a loop: cancel what is left, shut down async generators and the
// default executor, close.
void finish_loop(nb::handle asyncio, nb::handle loop) {
    nb::object pending = asyncio.attr("all_tasks")(loop);
    if (nb::len(pending)) {
        for (nb::handle task : pending) task.attr("cancel")();
        nb::object gather = asyncio.attr("gather");
        nb::dict options;
        options["return_exceptions"] = true;
        nb::object tasks = nb::steal(PySequence_Tuple(pending.ptr()));
        if (!tasks.is_valid()) throw nb::python_error();
        PyObject *gathered = PyObject_Call(gather.ptr(), tasks.ptr(), options.ptr());
        if (!gathered) throw nb::python_error();
        loop.attr("run_until_complete")(nb::steal(gathered));
    }
    loop.attr("run_until_complete")(loop.attr("shutdown_asyncgens")());
    loop.attr("run_until_complete")(loop.attr("shutdown_default_executor")());
    asyncio.attr("set_event_loop")(nb::none());
    loop.attr("close")();
}

// The worker thread's job (state: the loop and its task): run the task to its end, then end the loop.
nb::object run_loop(nb::handle state, nb::handle, nb::handle) {
    nb::object asyncio = kd::import_module("asyncio");
    nb::handle loop = PyTuple_GET_ITEM(state.ptr(), 0), task = PyTuple_GET_ITEM(state.ptr(), 1);
    asyncio.attr("set_event_loop")(loop);
    nb::object value;
    try {
        value = loop.attr("run_until_complete")(task);
    } catch (nb::python_error &) {
        finish_loop(asyncio, loop); // a failing cleanup replaces the error, as `finally` does
        throw;
    }
    finish_loop(asyncio, loop);
    return value;
}

// Runs when no loop is running: a fresh `_core` on a new loop in one worker thread. The task is
// made here, so an interrupt of the wait (Ctrl+C) can cancel it: the worker wakes, closes its
// client and ends, and the interrupt reaches the caller at once instead of after the timeout.
nb::object run_in_worker_thread(nb::handle core, nb::handle request) {
    nb::object futures = kd::import_module("concurrent.futures");
    nb::object asyncio = kd::import_module("asyncio");
    nb::object pool = futures.attr("ThreadPoolExecutor")("max_workers"_a = 1);
    nb::object future;
    try {
        nb::object loop = asyncio.attr("new_event_loop")();
        nb::object task;
        try {
            // Created here, the task runs in a copy of the caller's context: the key scope and the
            // caller's span reach the worker thread.
            task = loop.attr("create_task")(nb::borrow(core)(request));
        } catch (nb::python_error &) {
            loop.attr("close")();
            throw;
        }
        nb::object job = kd::make_function(run_loop, nb::make_tuple(loop, task),
                                           {"_run", "async_cloud_approval.<locals>._run", nullptr, "kavri_cloud.approval"});
        future = pool.attr("submit")(job);
        try {
            nb::object value = future.attr("result")(); // waits with the GIL released
            pool.attr("shutdown")("wait"_a = true);
            return value;
        } catch (nb::python_error &err) {
            bool own = kd::truthy(future.attr("done")()) && future.attr("exception")().is(err.value());
            if (own) throw; // the handler's own outcome: the pool is shut down below
            // Interrupted while waiting: stop the task; its close runs on the worker's loop.
            try {
                loop.attr("call_soon_threadsafe")(task.attr("cancel"));
                futures.attr("wait")(nb::make_tuple(future), "timeout"_a = kInterruptGrace);
            } catch (nb::python_error &) {
                // A second interrupt, or a loop already closed: the first interrupt still wins.
            }
            pool.attr("shutdown")("wait"_a = false);
            throw;
        }
    } catch (nb::python_error &) {
        if (!future.is_valid() || kd::truthy(future.attr("done")())) pool.attr("shutdown")("wait"_a = true);
        throw;
    }
}

kd::Async handle_body(nb::object core, nb::object request) {
    // Only the loop query decides: a RuntimeError from `_core` on a running loop
    // propagates instead of running `_core` (and creating the request) twice.
    PyObject *loop = PyObject_CallNoArgs(kd::import_module("asyncio").attr("get_running_loop").ptr());
    if (!loop) {
        if (!PyErr_ExceptionMatches(PyExc_RuntimeError)) throw nb::python_error();
        PyErr_Clear();
        co_return run_in_worker_thread(core, request);
    }
    Py_DECREF(loop);
    nb::object value = co_await kd::host_await(nb::borrow(core)(request));
    co_return value;
}

nb::object async_core(nb::handle state, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("_core", {{"request"}}, args, kwargs);
    return kd::make_coroutine(core_body(nb::borrow(state), a[0]), "_core", "async_cloud_approval.<locals>._core");
}

nb::object async_handle(nb::handle core, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("_handle", {{"request"}}, args, kwargs);
    return kd::make_coroutine(handle_body(nb::borrow(core), a[0]), "_handle", "async_cloud_approval.<locals>._handle");
}

nb::object async_cloud_approval(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("async_cloud_approval", factory_params(), args, kwargs);
    kd::import_module("concurrent.futures"); // the fallback's thread pool; a load failure fails the factory
    trace::prepare();
    nb::object core = kd::make_function(async_core, capture(a),
                                        {"_core", "async_cloud_approval.<locals>._core", nullptr, "kavri_cloud.approval"});
    kd::mark_coroutine_function(core);
    nb::object handle = kd::make_function(
        async_handle, core, {"_handle", "async_cloud_approval.<locals>._handle", nullptr, "kavri_cloud.approval"});
    // Frameworks get a real `async def` that awaits the native handler (see _coroutine_functions).
    nb::object face = kd::coroutine_face(
        "approval_handler", handle, {"_handle", "async_cloud_approval.<locals>._handle", nullptr, "kavri_cloud.approval"});
    nb::setattr(face, "_core", core);
    return face;
}

// ---------------------------------------------------------------------------
// Temporal handler: create or resume, a few short polls with heartbeats, then a
// retriable ApplicationError so Temporal retries instead of holding a worker slot.

nb::object application_error(const std::string &message, const char *type, bool non_retryable) {
    nb::object cls = kd::import_from("temporalio.exceptions", "ApplicationError");
    return cls(nb::str(message.data(), message.size()), "type"_a = type, "non_retryable"_a = non_retryable);
}

std::string text(nb::handle value) { return kd::utf8(kd::text_of(value)); }

nb::object lowered_status(nb::handle data) {
    auto status = kd::map_lookup(data, "status");
    return kd::text_of(status ? *status : nb::str("")).attr("lower")();
}

nb::object heartbeat_request_id(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("_extract_temporal_heartbeat_request_id", {{"details"}}, args, kwargs);
    nb::object details = a[0];
    if (!kd::truthy(details)) return nb::none();
    nb::object candidate = (PyList_Check(details.ptr()) || PyTuple_Check(details.ptr())) ? nb::object(details[0]) : details;
    nb::object mapping_cls = kd::import_from("collections.abc", "Mapping");
    if (kd::is_instance(candidate, mapping_cls)) {
        nb::object value = candidate.attr("get")("approval_request_id");
        if (kd::is_nonempty_text(value)) return value;
    }
    auto value = kd::get_attr(candidate, "approval_request_id");
    if (value && kd::is_nonempty_text(*value)) return *value;
    return nb::none();
}

nb::object idempotency_key(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("_build_temporal_approval_idempotency_key",
                           {{"request"},
                            {"workflow_id", true, false, nb::str("")},
                            {"workflow_run_id", true, false, nb::str("")},
                            {"activity_id", true, false, nb::str("")}},
                           args, kwargs);
    auto tool = kd::get_attr(a[0], "tool");
    nb::list parts;
    parts.append(tool ? nb::object(kd::text_of(*tool)) : nb::object(nb::str("")));
    parts.append(a[1]);
    parts.append(a[2]);
    parts.append(a[3]);
    PyObject *joined = PyUnicode_Join(nb::str("|").ptr(), parts.ptr()); // TypeError for non-text ids, as str.join
    if (!joined) throw nb::python_error();
    nb::object source = nb::steal(joined);
    nb::object digest = kd::import_module("hashlib").attr("sha256")(source.attr("encode")("utf-8"));
    return py_add(nb::str("appr_"), digest.attr("hexdigest")());
}

// A hash, bytes or text, as lower-case hex text: hex in either case names one hash, so the
// record's text and the payload's bytes compare.
nb::object hash_hex(nb::handle hash) {
    return kd::is_bytes_like(hash) ? nb::object(kd::hex_text(hash)) : nb::object(kd::text_of(hash).attr("lower")());
}

// The request hash of the call as lower-case hex text: the request's own, else its attestation's
// (where the payload builder finds it too); "" when it has neither.
nb::object request_hash_text(nb::handle request) {
    nb::object hash = kd::attr_or_none(request, "request_hash");
    if (hash.is_none() || !kd::truthy(hash)) {
        nb::object attestation = kd::attr_or_none(request, "approval_context_attestation");
        bool mapping = kd::truthy(attestation) &&
                       kd::is_instance(attestation, kd::import_from("collections.abc", "Mapping"));
        hash = mapping ? kd::map_get(attestation, "request_hash") : nb::none();
    }
    if (hash.is_none() || !kd::truthy(hash)) return nb::str("");
    return hash_hex(hash);
}

// The key the handler sends: the documented key of the activity made particular to the call.
// One activity may gate several calls of a tool, and a retry may gate a call whose arguments
// changed; under the bare key the second call would meet the first one's request (a 409
// "idempotency key reused", retried for ever) instead of getting its own. A workflow may also
// schedule an activity again under the id of one that has finished (a payment made twice, under
// one explicit activity id): the same call there would meet the first activity's approved request
// and run on it, so the time the activity was first scheduled, the same for all its attempts,
// joins the call's hash.
nb::object scoped_idempotency_key(nb::handle key, nb::handle request, nb::handle scheduled) {
    nb::object hash = request_hash_text(request);
    if (kd::truthy(scheduled)) hash = py_add(py_add(hash, nb::str("|")), scheduled);
    nb::object digest = kd::import_module("hashlib").attr("sha256")(hash.attr("encode")("utf-8")).attr("hexdigest")();
    return py_add(py_add(key, nb::str(":")), digest[nb::slice(0, 32, 1)]);
}

// Every decodable SignedApproval of the record (lenient base64 first, then hex): one
// alone, several as a list in response order, none as None. A warrant that needs two
// approvals gets both, as from the generic handlers.
nb::object extract_approval(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("_extract_approval", {{"data"}}, args, kwargs);
    nb::object signed_cls = kd::import_from(core_api::kModule, core_api::kSignedApproval);
    nb::object responses = kd::map_get(a[0], "responses");
    if (!holds_responses(responses)) return nb::none();
    nb::list approvals;
    for (nb::handle r : responses) {
        nb::object raw = is_response_entry(r) ? kd::map_get(r, "signed_approval") : nb::none();
        if (raw.is_none() || !kd::truthy(raw)) continue;
        for (int attempt = 0; attempt < 2; ++attempt) {
            const char *failed = attempt == 0 ? "failed to decode signed_approval as base64: %s"
                                              : "failed to decode signed_approval as hex: %s";
            try {
                nb::bytes decoded = attempt == 0 ? kd::b64_to_bytes(raw, false, false) : kd::hex_to_bytes(raw);
                approvals.append(core_api::signed_approval_from_bytes(signed_cls, decoded));
                break;
            } catch (nb::python_error &err) {
                if (!kd::is_ordinary_error(err)) throw;
                kd::log(logger(), kd::Level::Warning, failed, {kd::error_value(err)});
            } catch (nb::builtin_exception &e) {
                nb::object exc = nb::borrow(e.type() == nb::exception_type::type_error ? PyExc_TypeError
                                                                                        : PyExc_ValueError)(e.what());
                kd::log(logger(), kd::Level::Warning, failed, {exc});
            }
        }
    }
    size_t count = nb::len(approvals);
    if (count == 0) return nb::none();
    if (count == 1) return approvals[0];
    return approvals;
}

nb::object temporal_init(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("__init__",
                           {{"self"},
                            {"api_key"},
                            {"signing_key"},
                            {"base_url", true, false, mod_attr("_DEFAULT_BASE_URL")},
                            {"fast_poll_seconds", true, false, nb::float_(kDefaultPollInterval)},
                            {"fast_poll_attempts", true, false, nb::int_(kDefaultFastPollAttempts)}},
                           args, kwargs);
    nb::object &self = a[0];
    nb::object holder = core_api::public_key_of(a[2]);
    nb::object holder_bytes = core_api::to_bytes(holder);
    nb::setattr(self, "_api_key", a[1]);
    nb::setattr(self, "_signing_key", a[2]);
    nb::setattr(self, "_holder", holder);
    nb::setattr(self, "_holder_bytes", holder_bytes);
    nb::setattr(self, "_base_url", a[3]);
    nb::setattr(self, "_fast_poll_seconds", a[4]);
    nb::object one = nb::int_(1);
    nb::setattr(self, "_fast_poll_attempts", py_compare(a[5], one, Py_GT) ? a[5] : one);
    trace::prepare();
    return nb::none();
}

nb::object temporal_build_attestation(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("_build_attestation", {{"self"}, {"request"}}, args, kwargs);
    nb::object &self = a[0], &request = a[1];
    nb::object fn = kd::import_from(core_api::kModule, core_api::kBuildAttestation);
    nb::object result = core_api::build_attestation(fn, self.attr("_signing_key"), request.attr("warrant_id"),
                                                    request.attr("tool"), request.attr("arguments"),
                                                    self.attr("_holder"));
    nb::object it = nb::steal(PyObject_GetIter(result.ptr()));
    if (!it.is_valid()) throw nb::python_error();
    nb::object items[2];
    for (int i = 0; i < 3; ++i) {
        PyObject *next = PyIter_Next(it.ptr());
        if (!next) {
            if (PyErr_Occurred()) throw nb::python_error();
            if (i < 2) {
                std::string msg = "not enough values to unpack (expected 2, got " + std::to_string(i) + ")";
                throw nb::value_error(msg.c_str());
            }
            break;
        }
        if (i == 2) {
            Py_DECREF(next);
            throw nb::value_error("too many values to unpack (expected 2)");
        }
        items[i] = nb::steal(next);
    }
    nb::object copy = nb::borrow(reinterpret_cast<PyObject *>(&PyDict_Type))(items[1]);
    return nb::make_tuple(items[0], copy);
}

struct TemporalCall {
    nb::object self, request, activity, request_id;
    nb::object attempt_end = nb::none(); // monotonic time Temporal may give up on the attempt, or None
    trace::Wait *wait = nullptr;         // this attempt's span
};

// When Temporal may give up on this attempt: its start-to-close or heartbeat timeout, whichever is
// shorter, counted on the local clock from this call (the server's clock may differ from ours).
// Temporal then retries the activity while this attempt still runs here; an approval this attempt
// took after that moment would run the tool, and the retry, resuming the same approved request,
// would run it again. Heartbeats of an activity run on the worker's loop go out only once the
// handler returns, so the heartbeat timeout bounds the whole attempt, not each sleep.
nb::object attempt_end(nb::handle info) {
    nb::object budget = nb::none();
    for (const char *name : {"start_to_close_timeout", "heartbeat_timeout"}) {
        nb::object timeout = kd::attr_or_none(info, name);
        if (timeout.is_none() || !kd::truthy(timeout)) continue; // unset, or zero: no limit of its own
        nb::object seconds = timeout.attr("total_seconds")();
        if (budget.is_none() || py_compare(seconds, budget, Py_LT)) budget = seconds;
    }
    return budget.is_none() ? budget : py_add(monotonic(), budget);
}

// Whether the attempt would still be running `ahead` seconds from now.
bool attempt_lasts(const TemporalCall &call, nb::handle ahead) {
    if (call.attempt_end.is_none()) return true;
    return py_compare(py_add(monotonic(), ahead), call.attempt_end, Py_LT);
}

// An error of the activity API that means "not in an activity", which the handler works without.
// Temporal cancels a threaded activity by raising its CancelledError into the thread wherever it
// runs: landing in a heartbeat or in info(), it must still end the attempt, not be taken for that.
bool outside_an_activity(const nb::python_error &err) {
    if (!kd::is_ordinary_error(err)) return false;
    return !err.matches(kd::import_from("temporalio.exceptions", "CancelledError"));
}

// One look at a record: heartbeat it, then the approval, a denial, or "keep polling".
std::optional<nb::object> evaluate(TemporalCall &call, nb::handle data, nb::handle status) {
    try {
        nb::dict details;
        details["approval_request_id"] = call.request_id;
        details["approval_status"] = status;
        call.activity.attr("heartbeat")(details);
    } catch (nb::python_error &err) {
        if (!outside_an_activity(err)) throw; // outside an activity: no heartbeat, by design
    }
    std::string request_id = text(call.request_id);
    if (is_exact_text(status, "approved")) {
        nb::object sa = call.self.attr("_extract_approval")(data);
        if (sa.is_none())
            kd::raise_instance(application_error("approved but missing SignedApproval payload for " + request_id,
                                                 "ApprovalMalformedResponse", true));
        return sa;
    }
    if (is_exact_text(status, "denied") || is_exact_text(status, "rejected") || is_exact_text(status, "expired")) {
        nb::object reason = kd::map_get(data, "denied_reason");
        if (reason.is_none() || !kd::truthy(reason)) reason = kd::map_get(data, "reason");
        if (reason.is_none() || !kd::truthy(reason)) reason = nb::borrow(status);
        kd::raise_instance(application_error("approval " + text(status) + " for " + request_id + ": " + text(reason),
                                             "ApprovalDenied", true));
    }
    return std::nullopt;
}

[[noreturn]] void raise_transport(const std::string &message, const nb::python_error &err) {
    kd::raise_instance(application_error(message + text(kd::error_value(err)), "ApprovalTransportError", false),
                       kd::error_value(err));
}

// Whether the record a heartbeat names was made for this call. The heartbeat holds only the last
// request an attempt looked at: an activity that gates several calls of a tool, or a retry whose
// call changed, would otherwise take another call's request, whose approval the SDK then refuses,
// so the call could never pass. Without a hash on either side the two cannot be told apart and
// the request is resumed as it always was; the SDK's hash check still guards what runs.
// The hash alone names the call, not the workflow run: heartbeat details are anyone's to record
// who may use the namespace, and the same call in another run (yesterday's payment) has the same
// hash, so its approved request would release this run's call without a human approving it. A
// record that carries an idempotency key must carry this activity's: the key this attempt sends,
// or the bare key of its run and activity under which older releases made their requests.
bool made_for_this_call(nb::handle data, nb::handle payload, nb::handle sent_key, nb::handle activity_key) {
    nb::object record_key = kd::map_get(data, "idempotency_key");
    if (!record_key.is_none() && kd::truthy(record_key) && !py_compare(record_key, sent_key, Py_EQ) &&
        !py_compare(record_key, activity_key, Py_EQ))
        return false;
    nb::object ours = kd::attr_or_none(payload, "request_hash");
    nb::object theirs = kd::map_get(data, "request_hash");
    if (ours.is_none() || theirs.is_none() || !kd::truthy(ours) || !kd::truthy(theirs)) return true;
    return py_compare(hash_hex(ours), hash_hex(theirs), Py_EQ);
}

// The approval, unless it came after Temporal may have given up on this attempt: then the retry
// resumes the approved request and the tool runs there, once.
std::optional<nb::object> handed_over(const TemporalCall &call, nb::object approval) {
    if (attempt_lasts(call, nb::int_(0))) return approval;
    kd::log(logger(), kd::Level::Info,
            "approval request %s approved after this attempt's timeout; the next attempt takes it", {call.request_id});
    return std::nullopt;
}

// Steps 6 to 10 inside the scoped client: the approval, or std::nullopt while pending.
std::optional<nb::object> temporal_poll(TemporalCall &call, nb::handle client, nb::handle payload,
                                        nb::handle heartbeat_id, nb::handle sent_key, nb::handle activity_key) {
    nb::object cloud_error = mod_attr(errors_api::kKavriCloudError);
    nb::object tool = tool_of(call.request);
    call.request_id = (heartbeat_id.is_none() || !kd::truthy(heartbeat_id)) ? nb::object(nb::str(""))
                                                                             : nb::borrow(heartbeat_id);
    nb::object data = nb::none();
    if (kd::truthy(call.request_id)) {
        try {
            data = client_api::get_request(client, call.request_id);
        } catch (nb::python_error &err) {
            if (!kd::error_is(err, cloud_error)) throw;
            nb::object status_code = errors_api::status_code(kd::error_value(err));
            bool gone = py_compare(status_code, nb::int_(kNotFoundStatus), Py_EQ) ||
                        text(kd::error_value(err)).find("404") != std::string::npos;
            if (!gone) raise_transport("approval poll failed for " + text(call.request_id) + ": ", err);
            call.request_id = nb::str(""); // the stored request is gone: make a new one
            data = nb::none();
        }
        if (kd::truthy(call.request_id)) {
            if (data.is_none() || made_for_this_call(data, payload, sent_key, activity_key)) {
                kd::log(logger(), kd::Level::Info, "resuming approval request %s for %s from heartbeat",
                        {call.request_id, tool});
                if (*call.wait) call.wait->request(call.request_id, "resumed", nb::none(), lowered_status(data), data); // trace
            } else {
                // Another call's request: this call creates its own, or finds it under its own key.
                kd::log(logger(), kd::Level::Info,
                        "approval request %s from heartbeat was made for another call of %s; not resuming it",
                        {call.request_id, tool});
                call.request_id = nb::str("");
                data = nb::none();
            }
        }
    }
    if (!kd::truthy(call.request_id)) {
        nb::object req_data;
        try {
            req_data = client_api::create_request(client, create_kwargs(payload));
        } catch (nb::python_error &err) {
            if (!kd::error_is(err, cloud_error)) throw;
            raise_transport("approval request submission failed: ", err);
        }
        nb::object id = kd::map_get(req_data, "id");
        if (id.is_none() || !kd::truthy(id)) id = kd::map_get(req_data, "request_id");
        call.request_id = (id.is_none() || !kd::truthy(id)) ? nb::object(nb::str("")) : nb::object(kd::text_of(id));
        if (!kd::truthy(call.request_id))
            kd::raise_instance(application_error("approval response missing id field", "ApprovalMalformedResponse", true));
        kd::log(logger(), kd::Level::Info, "approval request %s created for %s", {call.request_id, tool});
        if (*call.wait) call.wait->request(call.request_id, "created", nb::none(), lowered_status(req_data), req_data); // trace
        data = req_data;
    }
    if (!data.is_none()) {
        if (auto sa = evaluate(call, data, lowered_status(data))) return handed_over(call, std::move(*sa));
    }
    nb::object attempts = call.self.attr("_fast_poll_attempts");
    long count = PyLong_AsLong(attempts.ptr());
    if (count == -1 && PyErr_Occurred()) throw nb::python_error();
    nb::object sleep = kd::import_module("time").attr("sleep");
    for (long i = 0; i < count; ++i) {
        nb::object pause = call.self.attr("_fast_poll_seconds");
        if (!attempt_lasts(call, pause)) break; // the next attempt looks again, and in time
        sleep(pause);
        try {
            data = client_api::get_request(client, call.request_id);
        } catch (nb::python_error &err) {
            if (!kd::error_is(err, cloud_error)) throw;
            raise_transport("approval poll failed for " + text(call.request_id) + ": ", err);
        }
        nb::object status = lowered_status(data);
        kd::log(logger(), kd::Level::Info, "approval poll %d/%d for %s: %s",
                {nb::int_(i + 1), attempts, call.request_id, status});
        call.wait->poll(status, data); // trace
        if (auto sa = evaluate(call, data, status)) return handed_over(call, std::move(*sa));
    }
    return std::nullopt;
}

nb::object temporal_call(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("__call__", {{"self"}, {"request"}}, args, kwargs);
    TemporalCall call{a[0], a[1], kd::import_from("temporalio", "activity"), nb::str("")};
    kd::import_from("temporalio.exceptions", "ApplicationError");
    auto wait = trace::Wait::start("temporal", call.request); // trace: this attempt's span, under the activity's
    call.wait = &wait;
    nb::object activity_id = nb::str(""), workflow_id = nb::str(""), workflow_run_id = nb::str(""),
               scheduled = nb::str("");
    nb::object heartbeat_id = nb::none();
    try {
        nb::object info = call.activity.attr("info")();
        auto field = [&](const char *name) {
            nb::object value = kd::attr_or_none(info, name);
            return (value.is_none() || !kd::truthy(value)) ? nb::object(nb::str("")) : value;
        };
        activity_id = field("activity_id");
        workflow_id = field("workflow_id");
        workflow_run_id = field("workflow_run_id");
        scheduled = kd::text_of(field("scheduled_time"));
        heartbeat_id = mod_attr("_extract_temporal_heartbeat_request_id")(kd::attr_or_none(info, "heartbeat_details"));
        call.attempt_end = attempt_end(info);
    } catch (nb::python_error &err) {
        if (!outside_an_activity(err)) throw;
        heartbeat_id = nb::none(); // no activity context: empty ids, no resume
    }
    nb::object key = mod_attr("_build_temporal_approval_idempotency_key")(
        call.request, "workflow_id"_a = workflow_id, "workflow_run_id"_a = workflow_run_id,
        "activity_id"_a = activity_id);
    nb::object sent_key = scoped_idempotency_key(key, call.request, scheduled);
    nb::object payload = mod_attr("build_approval_request_payload")(
        call.request, "signing_key"_a = call.self.attr("_signing_key"), "idempotency_key"_a = sent_key);
    // One attempt: its fast polls' sleeps plus one client timeout for all its requests together.
    // (The client timeout is read from the module at each call, like the module's collaborators.)
    nb::object client_timeout = mod_attr("_TEMPORAL_CLIENT_TIMEOUT");
    nb::object attempt_deadline =
        py_add(py_add(monotonic(), py_mul(call.self.attr("_fast_poll_attempts"), call.self.attr("_fast_poll_seconds"))),
               client_timeout);
    nb::object scoped = client_api::construct(mod_attr(client_api::kSyncClient), call.self.attr("_api_key"),
                                              call.self.attr("_base_url"), client_timeout);
    nb::object client = client_api::enter(scoped);
    std::optional<nb::object> approval;
    try {
        client_api::set_deadline(client, attempt_deadline);
        approval = temporal_poll(call, client, payload, heartbeat_id, sent_key, key);
    } catch (nb::python_error &err) {
        wait.fail(err); // trace
        nb::object type = nb::borrow(reinterpret_cast<PyObject *>(Py_TYPE(err.value().ptr())));
        nb::object tb = err.traceback().is_valid() ? nb::borrow(err.traceback()) : nb::none();
        if (!kd::truthy(client_api::exit(scoped, type, kd::error_value(err), tb))) throw;
    }
    if (approval) {
        wait.finish(*approval); // trace
        client_api::exit(scoped, nb::none(), nb::none(), nb::none());
        return *approval;
    }
    client_api::exit(scoped, nb::none(), nb::none(), nb::none());
    nb::object pending = application_error("approval pending for " + text(call.request_id) + "; will retry via Temporal",
                                           "ApprovalPendingRetry", false);
    wait.fail(pending); // trace
    kd::raise_instance(pending);
}

nb::object temporal_cloud_approval(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("temporal_cloud_approval",
                           {{"api_key"},
                            {"signing_key"},
                            {"base_url", true, false, mod_attr("_DEFAULT_BASE_URL")},
                            {"fast_poll_seconds", true, false, nb::float_(kDefaultPollInterval)},
                            {"fast_poll_attempts", true, false, nb::int_(kDefaultFastPollAttempts)}},
                           args, kwargs);
    return mod_attr("TemporalCloudApprovalHandler")(a[0], a[1], "base_url"_a = a[2], "fast_poll_seconds"_a = a[3],
                                                     "fast_poll_attempts"_a = a[4]);
}

void set_text_signature(nb::handle fn, const std::string &text) {
    nb::setattr(fn, "__text_signature__", nb::str(text.data(), text.size()));
}
std::string repr_text(nb::handle value) { return nb::repr(value).c_str(); }
std::string default_base_url_repr() { return repr_text(kd::import_from("kavri_cloud.hosted", "DEFAULT_API_BASE_URL")); }

void register_temporal(nb::module_ &m) {
    const char *mod = "kavri_cloud.approval";
    auto method = [&](const char *name, kd::NativeFn fn, const char *doc) {
        return kd::make_function(fn, nb::none(),
                                 {name, std::string("TemporalCloudApprovalHandler.") + name, doc, mod, true});
    };
    nb::dict ns;
    ns["__module__"] = mod;
    ns["__qualname__"] = "TemporalCloudApprovalHandler";
    ns["__doc__"] =
        "Synchronous approval handler for Temporal activities.\n\n"
        "Creates or resumes the approval request under an idempotency key of the workflow run,\n"
        "polls a few times with heartbeats, and otherwise raises a retriable ApplicationError\n"
        "(\"ApprovalPendingRetry\") so Temporal retries the activity instead of holding a slot.";
    ns["__init__"] = method("__init__", temporal_init,
                            "__init__(self, api_key, signing_key, *, base_url=..., fast_poll_seconds=2.0, "
                            "fast_poll_attempts=3)");
    ns["__call__"] = method("__call__", temporal_call, "__call__(self, request) -> SignedApproval | list[SignedApproval]");
    ns["_extract_approval"] = nb::steal(PyStaticMethod_New(
        kd::make_function(extract_approval, nb::none(),
                          {"_extract_approval", "TemporalCloudApprovalHandler._extract_approval",
                           "_extract_approval(data) -> SignedApproval | list[SignedApproval] | None", mod})
            .ptr()));
    ns["_build_attestation"] = method("_build_attestation", temporal_build_attestation,
                                      "_build_attestation(self, request) -> (cbor_b64, attestation)");
    nb::object type = nb::borrow(reinterpret_cast<PyObject *>(&PyType_Type));
    m.attr("TemporalCloudApprovalHandler") =
        type("TemporalCloudApprovalHandler", nb::make_tuple(nb::borrow(reinterpret_cast<PyObject *>(&PyBaseObject_Type))), ns);

    auto def = [&](const char *name, kd::NativeFn fn, const char *doc) {
        m.attr(name) = kd::make_function(fn, nb::none(), {name, name, doc, mod});
    };
    def("temporal_cloud_approval", temporal_cloud_approval,
        "temporal_cloud_approval(api_key, signing_key, *, base_url=..., fast_poll_seconds=2.0, fast_poll_attempts=3)\n\n"
        "Return a TemporalCloudApprovalHandler.");

    // inspect.signature() and help() read these; the defaults are the real ones.
    const std::string params = "api_key, signing_key, *, base_url=" + default_base_url_repr() +
                               ", fast_poll_seconds=2.0, fast_poll_attempts=3)";
    set_text_signature(ns["__init__"], "($self, " + params);
    set_text_signature(ns["__call__"], "($self, request)");
    set_text_signature(m.attr("temporal_cloud_approval"), "(" + params);
    def("_build_temporal_approval_idempotency_key", idempotency_key,
        "_build_temporal_approval_idempotency_key(request, *, workflow_id='', workflow_run_id='', activity_id='')");
    def("_extract_temporal_heartbeat_request_id", heartbeat_request_id,
        "_extract_temporal_heartbeat_request_id(details) -> str | None");
}

} // namespace

KAVRI_MODULE(approval, m) {
    g_module = m.ptr();
    kd::init_coroutine_type(m);
    m.doc() = "Kavri Cloud approval handlers: blocking, asyncio and Temporal.";

    // Collaborators, read back from the module at each use so tests can substitute them.
    nb::object client = kd::import_module(client_api::kModule);
    m.attr("KavriCloudClient") = client.attr(client_api::kSyncClient);
    m.attr("AsyncKavriCloudClient") = client.attr(client_api::kAsyncClient);
    nb::object exceptions = kd::import_module(errors_api::kModule);
    for (const char *name : {errors_api::kKavriCloudError, errors_api::kApprovalDeniedError,
                             errors_api::kApprovalExpiredError, errors_api::kApprovalTimeoutError})
        m.attr(name) = exceptions.attr(name);
    m.attr("build_approval_request_payload") =
        kd::import_from("kavri_cloud.payload_forge", "build_approval_request_payload");
    m.attr("logger") = kd::get_logger("kavri_cloud.approval");

    // Constants
    m.attr("_DEFAULT_POLL_INTERVAL") = kDefaultPollInterval;
    m.attr("_DEFAULT_TIMEOUT") = kDefaultTimeout;
    m.attr("_TEMPORAL_CLIENT_TIMEOUT") = kTemporalClientTimeout;
    m.attr("_DEFAULT_FAST_POLL_ATTEMPTS") = kDefaultFastPollAttempts;
    m.attr("_NOT_FOUND_STATUS") = kNotFoundStatus;
    m.attr("_DEFAULT_BASE_URL") = kd::import_from("kavri_cloud.hosted", "DEFAULT_API_BASE_URL");

    auto def = [&](const char *name, kd::NativeFn fn, const char *doc) {
        m.attr(name) = kd::make_function(fn, nb::none(), {name, name, doc, "kavri_cloud.approval"});
        return m.attr(name);
    };

    // Polling and extraction
    def("_poll_until_resolved", poll_until_resolved,
        "_poll_until_resolved(client, request_id, *, poll_interval, timeout)\n\n"
        "Poll until the request leaves \"pending\"; ApprovalTimeoutError past the deadline.");
    kd::mark_coroutine_function(def("_async_poll_until_resolved", async_poll_until_resolved,
                                    "_async_poll_until_resolved(client, request_id, *, poll_interval, timeout)\n\n"
                                    "Asynchronous form of _poll_until_resolved."));
    def("_extract_signed_approvals", extract_signed_approvals_fn,
        "_extract_signed_approvals(result)\n\n"
        "Decode the signed approvals of an approved record (hex or base64 signatures).");

    // Generic handlers
    def("cloud_approval", cloud_approval,
        "cloud_approval(api_key, *, signing_key=None, base_url=..., poll_interval=2.0, timeout=300.0)\n\n"
        "Return a blocking approval handler backed by Kavri Cloud.");
    def("async_cloud_approval", async_cloud_approval,
        "async_cloud_approval(api_key, *, signing_key=None, base_url=..., poll_interval=2.0, timeout=300.0)\n\n"
        "Return an asynchronous approval handler backed by Kavri Cloud.");
    const std::string factory_signature = "(api_key, *, signing_key=None, base_url=" + default_base_url_repr() +
                                          ", poll_interval=" + repr_text(nb::float_(kDefaultPollInterval)) +
                                          ", timeout=" + repr_text(nb::float_(kDefaultTimeout)) + ")";
    for (const char *name : {"cloud_approval", "async_cloud_approval"})
        set_text_signature(m.attr(name), factory_signature);

    register_temporal(m);
}
