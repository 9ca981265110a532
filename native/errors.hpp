// Raising host errors from native code: instances of foreign classes, causes, and the
// package's own KavriCloudError, each through one helper so every message reads in one form.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace kavri::detail {

namespace nb = nanobind;

// Sets `cause` as __cause__ (and __context__) of `exc`, as `raise exc from cause` does.
inline void set_cause(nb::handle exc, nb::handle cause) {
    if (!cause.is_valid() || cause.is_none()) return;
    PyException_SetCause(exc.ptr(), nb::borrow(cause).release().ptr());
    PyException_SetContext(exc.ptr(), nb::borrow(cause).release().ptr());
}

// Raises an exception instance (built by calling its class) as the current error.
[[noreturn]] inline void raise_instance(nb::handle exc, nb::handle cause = nb::handle()) {
    set_cause(exc, cause);
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
    throw nb::python_error();
}

// `raise cls(message) from cause`.
[[noreturn]] inline void raise_error(nb::handle cls, const std::string &message,
                                     nb::handle cause = nb::handle()) {
    nb::object exc = nb::borrow(cls)(nb::str(message.data(), message.size()));
    raise_instance(exc, cause);
}

// Like `raise exc from None`: the cause is suppressed, no context shown.
[[noreturn]] inline void raise_suppressing_context(nb::handle exc) {
    PyException_SetCause(exc.ptr(), nullptr);
    nb::setattr(exc, "__suppress_context__", nb::bool_(true));
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
    throw nb::python_error();
}

// The exception object held by a caught python_error (normalised).
inline nb::object error_value(const nb::python_error &err) { return nb::borrow(err.value()); }

// The text form of a caught error, str(exc).
inline nb::str error_text(const nb::python_error &err) {
    PyObject *s = PyObject_Str(err.value().ptr());
    if (!s) throw nb::python_error();
    return nb::steal<nb::str>(s);
}

inline bool is_instance(nb::handle obj, nb::handle cls) {
    int rc = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (rc < 0) throw nb::python_error();
    return rc == 1;
}

// True when the caught error is an instance of the host class `cls`.
inline bool error_is(const nb::python_error &err, nb::handle cls) {
    return is_instance(err.value(), cls);
}

// The host's standard wrong-argument-count error.
[[noreturn]] inline void raise_arg_count(const char *fn, const std::string &detail) {
    std::string msg = std::string(fn) + "() " + detail;
    throw nb::type_error(msg.c_str());
}

} // namespace kavri::detail
