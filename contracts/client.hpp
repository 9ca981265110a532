// The package's HTTP client (kavri_cloud.client): how the native modules construct and call it.
#pragma once

#include <nanobind/nanobind.h>

namespace kavri::contracts::client {

namespace nb = nanobind;
using namespace nb::literals;

inline constexpr const char *kModule = "kavri_cloud.client";
inline constexpr const char *kSyncClient = "KavriCloudClient";
inline constexpr const char *kAsyncClient = "AsyncKavriCloudClient";

// cls(api_key, base_url=base_url): the key by position, the URL by name.
inline nb::object construct(nb::handle cls, nb::handle api_key, nb::handle base_url) {
    return nb::borrow(cls)(api_key, "base_url"_a = base_url);
}
// cls(api_key, base_url=base_url, timeout=timeout)
inline nb::object construct(nb::handle cls, nb::handle api_key, nb::handle base_url, nb::handle timeout) {
    return nb::borrow(cls)(api_key, "base_url"_a = base_url, "timeout"_a = timeout);
}

// How far past a handler's own timeout its last request may run: room for the
// one poll made at the deadline, never for a server that stalls.
inline constexpr double kDeadlineGrace = 1.0;

// client.deadline = deadline (a time.monotonic() value): no request of the client
// outlives it. A stand-in client that refuses the attribute keeps its own timeouts.
inline void set_deadline(nb::handle client, nb::handle deadline) {
    if (PyObject_SetAttrString(client.ptr(), "deadline", deadline.ptr()) == 0) return;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
}

// client.create_request(**fields): every entry of the payload map by name.
inline nb::object create_request(nb::handle client, nb::handle fields) {
    return client.attr("create_request")(**nb::borrow<nb::dict>(fields));
}
inline nb::object get_request(nb::handle client, nb::handle request_id) {
    return client.attr("get_request")(request_id);
}
inline nb::object health(nb::handle client) { return client.attr("health")(); }
inline nb::object get_tenant(nb::handle client) { return client.attr("get_tenant")(); }
inline nb::object list_policies(nb::handle client, int limit) {
    return client.attr("list_policies")("limit"_a = limit);
}
// client._send(method, path, json=body): a relative path under the API root.
inline nb::object send(nb::handle client, const char *method, const char *path, nb::handle body) {
    return client.attr("_send")(method, path, "json"_a = body);
}
inline nb::object handle_response(nb::handle client, nb::handle response) {
    return client.attr("_handle_response")(response);
}
// close() of the synchronous client; of the asynchronous one it returns an awaitable.
inline nb::object close(nb::handle client) { return client.attr("close")(); }
// Scoped use: `with client as c:`.
inline nb::object enter(nb::handle client) { return client.attr("__enter__")(); }
inline nb::object exit(nb::handle client, nb::handle type, nb::handle value, nb::handle tb) {
    return client.attr("__exit__")(type, value, tb);
}

} // namespace kavri::contracts::client
