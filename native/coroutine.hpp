// The coroutine bridge: a C++20 coroutine body exposed to the host as a native awaitable
// (__await__, __next__, send, throw, close, am_send) that delegates to host awaitables the way
// `yield from` does, so await, asyncio tasks, cancellation and step-by-step driving all work.
//
// Use:
//   kd::Async body(nb::object client, nb::object request_id) {   // parameters by value:
//       nb::object record = co_await kd::host_await(              // they live in the frame
//           client.attr("get_request")(request_id));
//       co_return record;
//   }
//   nb::object awaitable = kd::make_coroutine(body(client, id), "name", "qualname");
// Call kd::init_coroutine_type(m) in NB_MODULE first. A host error raised by an awaited
// object surfaces in the body as nb::python_error at the co_await. C++ forbids co_await
// inside a catch block: catch into a std::optional<nb::python_error>, leave the block,
// await the cleanup, then `err->restore(); throw nb::python_error();`.
#pragma once

#include <nanobind/nanobind.h>

#include <coroutine>
#include <exception>
#include <string>

#include "native/callable.hpp"

namespace kavri::detail {

namespace nb = nanobind;

struct AsyncPromise;

// Return type of a native coroutine body: `Async body(...) { ...; co_return value; }`.
struct [[nodiscard]] Async {
    using promise_type = AsyncPromise;
    std::coroutine_handle<AsyncPromise> handle;
};

struct AsyncPromise {
    PyObject *pending = nullptr;  // the iterator the body suspended on (new reference)
    PyObject *sent = nullptr;     // value to resume with (new reference)
    PyObject *thrown = nullptr;   // exception instance to resume with (new reference)
    PyObject *result = nullptr;   // the body's return value (new reference)
    std::exception_ptr error;

    Async get_return_object() { return {std::coroutine_handle<AsyncPromise>::from_promise(*this)}; }
    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void return_value(nb::object value) { result = value.release().ptr(); }
    void unhandled_exception() { error = std::current_exception(); }
    ~AsyncPromise() {
        Py_XDECREF(pending);
        Py_XDECREF(sent);
        Py_XDECREF(thrown);
        Py_XDECREF(result);
    }
};

// The iterator that `await obj` drives: the host's own __await__ protocol.
inline nb::object await_iterator(nb::handle obj) {
    PyTypeObject *tp = Py_TYPE(obj.ptr());
    if (PyCoro_CheckExact(obj.ptr())) return nb::borrow(obj);
    if (tp->tp_as_async && tp->tp_as_async->am_await) {
        PyObject *it = tp->tp_as_async->am_await(obj.ptr());
        if (!it) throw nb::python_error();
        if (PyCoro_CheckExact(it) || !PyIter_Check(it)) {
            PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                         Py_TYPE(it)->tp_name);
            Py_DECREF(it);
            throw nb::python_error();
        }
        return nb::steal(it);
    }
    // Generator-based coroutines (types.coroutine) are driven directly.
    if (PyGen_Check(obj.ptr())) return nb::borrow(obj);
    PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", tp->tp_name);
    throw nb::python_error();
}

// `co_await host_await(awaitable)`: suspends the body until the awaitable's
// iterator finishes, then resumes with its result or raises its error.
struct HostAwait {
    nb::object iterator;
    std::coroutine_handle<AsyncPromise> handle;

    explicit HostAwait(nb::handle awaitable) : iterator(await_iterator(awaitable)) {}
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<AsyncPromise> h) noexcept {
        handle = h;
        h.promise().pending = iterator.release().ptr();
    }
    nb::object await_resume() {
        AsyncPromise &p = handle.promise();
        if (p.thrown) {
            PyObject *exc = p.thrown;
            p.thrown = nullptr;
            PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc)), exc);
            Py_DECREF(exc);
            throw nb::python_error();
        }
        PyObject *value = p.sent ? p.sent : Py_NewRef(Py_None);
        p.sent = nullptr;
        return nb::steal(value);
    }
};

inline HostAwait host_await(nb::handle awaitable) { return HostAwait(awaitable); }

// ---------------------------------------------------------------------------
// The host object

struct CoroutineObject {
    PyObject_HEAD
    std::coroutine_handle<AsyncPromise> handle; // null once finished
    PyObject *delegate;                         // iterator being driven (strong)
    PyObject *name;
    PyObject *qualname;
    bool started;
    bool running;
};

inline PyTypeObject *&coroutine_type() {
    static PyTypeObject *type = nullptr;
    return type;
}

namespace coroutine_impl {

inline PyObject *fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

inline void finish(CoroutineObject *self) {
    if (self->handle) {
        auto h = self->handle;
        self->handle = nullptr;
        h.destroy();
    }
    Py_CLEAR(self->delegate);
}

// Sends into (or throws into) the delegate iterator.
inline PySendResult delegate_step(PyObject *delegate, PyObject *value, PyObject *exc, PyObject **out) {
    if (!exc) return PyIter_Send(delegate, value, out);
    PyObject *throw_fn = PyObject_GetAttrString(delegate, "throw");
    if (!throw_fn) {
        // An iterator without throw: close it and deliver the error to the body.
        PyErr_Clear();
        PyObject *close_fn = PyObject_GetAttrString(delegate, "close");
        if (close_fn) {
            PyObject *r = PyObject_CallNoArgs(close_fn);
            Py_DECREF(close_fn);
            if (!r) return PYGEN_ERROR;
            Py_DECREF(r);
        } else {
            PyErr_Clear();
        }
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc)), exc);
        return PYGEN_ERROR;
    }
    PyObject *r = PyObject_CallOneArg(throw_fn, exc);
    Py_DECREF(throw_fn);
    if (r) {
        *out = r;
        return PYGEN_NEXT;
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyObject *stop = fetch_exception();
        PyObject *v = PyObject_GetAttrString(stop, "value");
        Py_DECREF(stop);
        if (!v) return PYGEN_ERROR;
        *out = v;
        return PYGEN_RETURN;
    }
    return PYGEN_ERROR;
}

// Resumes the body with a value or an exception and reports where it stopped:
// suspended on a new delegate (NEXT with *out unset), returned, or failed.
inline PySendResult resume_body(CoroutineObject *self, PyObject *value, PyObject *exc, PyObject **out) {
    AsyncPromise &p = self->handle.promise();
    Py_XSETREF(p.sent, Py_XNewRef(value));
    Py_XSETREF(p.thrown, Py_XNewRef(exc));
    self->started = true;
    self->handle.resume();
    if (!self->handle.done()) {
        self->delegate = p.pending;
        p.pending = nullptr;
        *out = nullptr;
        return PYGEN_NEXT;
    }
    if (p.error) {
        std::exception_ptr err = p.error;
        p.error = nullptr;
        finish(self);
        try {
            std::rethrow_exception(err);
        } catch (...) {
            set_error_from_current_exception();
        }
        if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
            PyObject *stop = fetch_exception();
            PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
            PyObject *runtime = fetch_exception();
            PyException_SetCause(runtime, Py_NewRef(stop));
            PyException_SetContext(runtime, stop);
            PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(runtime)), runtime);
            Py_DECREF(runtime);
        }
        return PYGEN_ERROR;
    }
    PyObject *result = p.result ? p.result : Py_NewRef(Py_None);
    p.result = nullptr;
    finish(self);
    *out = result;
    return PYGEN_RETURN;
}

// One step of the coroutine: the core of send, throw and am_send.
inline PySendResult step(CoroutineObject *self, PyObject *value, PyObject *exc, PyObject **out) {
    *out = nullptr;
    if (self->running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return PYGEN_ERROR;
    }
    if (!self->handle) {
        if (exc) {
            PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc)), exc);
            return PYGEN_ERROR;
        }
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    }
    if (!self->started) {
        if (exc) {
            // Thrown into before it ran: the body never starts, as for host coroutines.
            finish(self);
            PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc)), exc);
            return PYGEN_ERROR;
        }
        if (value && value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
    }
    self->running = true;
    PyObject *resume_value = nullptr, *resume_exc = nullptr;
    bool first = !self->started;
    PySendResult result;
    while (true) {
        if (first) {
            first = false;
            result = resume_body(self, nullptr, nullptr, out);
        } else if (self->delegate) {
            PyObject *got = nullptr;
            PySendResult r = delegate_step(self->delegate, value ? value : Py_None, exc, &got);
            value = nullptr;
            exc = nullptr;
            if (r == PYGEN_NEXT) {
                *out = got;
                result = PYGEN_NEXT;
                break;
            }
            Py_CLEAR(self->delegate);
            if (r == PYGEN_RETURN) {
                resume_value = got;
                resume_exc = nullptr;
            } else {
                resume_value = nullptr;
                resume_exc = fetch_exception();
            }
            result = resume_body(self, resume_value, resume_exc, out);
            Py_XDECREF(resume_value);
            Py_XDECREF(resume_exc);
        } else {
            // Suspended without a delegate cannot happen; treat as a fault.
            PyErr_SetString(PyExc_SystemError, "native coroutine suspended without an awaitable");
            result = PYGEN_ERROR;
            break;
        }
        if (result != PYGEN_NEXT || *out != nullptr) break;
        // The body suspended on a new awaitable: start driving it at once.
    }
    self->running = false;
    return result;
}

inline PyObject *stop_iteration(PyObject *value) {
    if (value == Py_None) {
        Py_DECREF(value);
        PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    }
    PyObject *stop = PyObject_CallOneArg(PyExc_StopIteration, value);
    Py_DECREF(value);
    if (!stop) return nullptr;
    PyErr_SetObject(PyExc_StopIteration, stop);
    Py_DECREF(stop);
    return nullptr;
}

inline PyObject *to_python(PySendResult r, PyObject *out) {
    if (r == PYGEN_NEXT) return out;
    if (r == PYGEN_RETURN) return stop_iteration(out);
    return nullptr;
}

inline PySendResult am_send(PyObject *self, PyObject *arg, PyObject **result) {
    return step(reinterpret_cast<CoroutineObject *>(self), arg, nullptr, result);
}

inline PyObject *iternext(PyObject *self) {
    PyObject *out;
    PySendResult r = step(reinterpret_cast<CoroutineObject *>(self), Py_None, nullptr, &out);
    return to_python(r, out);
}

inline PyObject *send(PyObject *self, PyObject *arg) {
    PyObject *out;
    PySendResult r = step(reinterpret_cast<CoroutineObject *>(self), arg, nullptr, &out);
    return to_python(r, out);
}

inline PyObject *throw_(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_SetString(PyExc_TypeError, "throw expected at least 1 argument");
        return nullptr;
    }
    PyObject *typ = args[0], *val = nargs > 1 ? args[1] : nullptr;
    PyObject *exc = nullptr;
    if (PyExceptionInstance_Check(typ)) {
        exc = Py_NewRef(typ);
    } else if (PyExceptionClass_Check(typ)) {
        exc = (val && val != Py_None) ? (PyExceptionInstance_Check(val) ? Py_NewRef(val) : PyObject_CallOneArg(typ, val))
                                      : PyObject_CallNoArgs(typ);
        if (!exc) return nullptr;
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    PyObject *out;
    PySendResult r = step(reinterpret_cast<CoroutineObject *>(self), nullptr, exc, &out);
    Py_DECREF(exc);
    return to_python(r, out);
}

// close(): closes the delegate, then raises GeneratorExit into the body so its
// cleanup runs. Cleanup awaits that finish without suspending complete here;
// one that would need the event loop is closed in turn, as a host coroutine
// cannot wait during close either.
inline PyObject *close(PyObject *obj, PyObject * = nullptr) {
    auto *self = reinterpret_cast<CoroutineObject *>(obj);
    if (!self->handle) Py_RETURN_NONE;
    if (!self->started) {
        finish(self);
        Py_RETURN_NONE;
    }
    if (self->running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return nullptr;
    }
    self->running = true;
    PyObject *exc = nullptr;
    for (int rounds = 0; self->handle && rounds < 64; ++rounds) {
        if (self->delegate) {
            PyObject *close_fn = PyObject_GetAttrString(self->delegate, "close");
            Py_CLEAR(self->delegate);
            if (close_fn) {
                PyObject *r = PyObject_CallNoArgs(close_fn);
                Py_DECREF(close_fn);
                if (r) Py_DECREF(r);
                else {
                    Py_XDECREF(exc);
                    exc = fetch_exception();
                }
            } else {
                PyErr_Clear();
            }
        }
        if (!exc) exc = PyObject_CallNoArgs(PyExc_GeneratorExit);
        if (!exc) break;
        PyObject *out = nullptr;
        PySendResult r = resume_body(self, nullptr, exc, &out);
        Py_CLEAR(exc);
        // Drive cleanup awaits that complete synchronously.
        while (r == PYGEN_NEXT && self->delegate) {
            PyObject *got = nullptr;
            PySendResult d = PyIter_Send(self->delegate, Py_None, &got);
            if (d == PYGEN_NEXT) {
                Py_XDECREF(got);
                break; // it needs the loop: close it on the next round
            }
            Py_CLEAR(self->delegate);
            if (d == PYGEN_RETURN) {
                r = resume_body(self, got, nullptr, &out);
                Py_XDECREF(got);
            } else {
                PyObject *e = fetch_exception();
                r = resume_body(self, nullptr, e, &out);
                Py_XDECREF(e);
            }
        }
        if (r == PYGEN_RETURN) {
            Py_XDECREF(out);
            break;
        }
        if (r == PYGEN_ERROR) {
            self->running = false;
            if (PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
                PyErr_Clear();
                Py_RETURN_NONE;
            }
            return nullptr;
        }
    }
    self->running = false;
    if (self->handle) {
        finish(self);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    Py_RETURN_NONE;
}

inline void finalize(PyObject *obj) {
    auto *self = reinterpret_cast<CoroutineObject *>(obj);
    if (!self->handle) return;
    PyObject *saved = fetch_exception();
    PyObject *r = close(obj);
    if (!r) PyErr_WriteUnraisable(obj);
    else Py_DECREF(r);
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(saved);
#else
    if (saved) PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(saved)), saved), Py_DECREF(saved);
#endif
}

inline int traverse(PyObject *obj, visitproc visit, void *arg) {
    auto *self = reinterpret_cast<CoroutineObject *>(obj);
    Py_VISIT(self->delegate);
    Py_VISIT(Py_TYPE(obj));
    return 0;
}

inline int clear(PyObject *obj) {
    auto *self = reinterpret_cast<CoroutineObject *>(obj);
    Py_CLEAR(self->delegate);
    return 0;
}

inline void dealloc(PyObject *obj) {
    if (PyObject_CallFinalizerFromDealloc(obj) < 0) return; // resurrected
    PyTypeObject *tp = Py_TYPE(obj);
    PyObject_GC_UnTrack(obj);
    auto *self = reinterpret_cast<CoroutineObject *>(obj);
    finish(self);
    Py_CLEAR(self->name);
    Py_CLEAR(self->qualname);
    tp->tp_free(obj);
    Py_DECREF(tp);
}

inline PyObject *await_self(PyObject *self) { return Py_NewRef(self); }

inline PyObject *get_name(PyObject *self, void *) {
    PyObject *n = reinterpret_cast<CoroutineObject *>(self)->name;
    return Py_NewRef(n ? n : Py_None);
}
inline PyObject *get_qualname(PyObject *self, void *) {
    PyObject *n = reinterpret_cast<CoroutineObject *>(self)->qualname;
    return Py_NewRef(n ? n : Py_None);
}
inline PyObject *get_running(PyObject *self, void *) {
    return PyBool_FromLong(reinterpret_cast<CoroutineObject *>(self)->running);
}
inline PyObject *get_await(PyObject *self, void *) {
    PyObject *d = reinterpret_cast<CoroutineObject *>(self)->delegate;
    return Py_NewRef(d ? d : Py_None);
}

inline PyObject *repr(PyObject *self) {
    auto *c = reinterpret_cast<CoroutineObject *>(self);
    return PyUnicode_FromFormat("<native coroutine object %S at %p>", c->qualname ? c->qualname : Py_None, self);
}

inline PyMethodDef methods[] = {
    {"send", reinterpret_cast<PyCFunction>(send), METH_O, "send(value) -> the next yielded value or StopIteration"},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(throw_)), METH_FASTCALL,
     "throw(exc) -> raise an exception inside the coroutine"},
    {"close", reinterpret_cast<PyCFunction>(close), METH_NOARGS, "close() -> raise GeneratorExit inside the coroutine"},
    {nullptr, nullptr, 0, nullptr},
};

inline PyGetSetDef getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

} // namespace coroutine_impl

// Creates the awaitable type once per module (call from the module's init).
inline void init_coroutine_type(nb::module_ &m) {
    init_native_function_type(m);
    if (coroutine_type()) return;
    namespace impl = coroutine_impl;
    static PyType_Slot slots[] = {
        {Py_am_await, reinterpret_cast<void *>(impl::await_self)},
        {Py_am_send, reinterpret_cast<void *>(impl::am_send)},
        {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
        {Py_tp_iternext, reinterpret_cast<void *>(impl::iternext)},
        {Py_tp_methods, impl::methods},
        {Py_tp_getset, impl::getset},
        {Py_tp_traverse, reinterpret_cast<void *>(impl::traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(impl::clear)},
        {Py_tp_finalize, reinterpret_cast<void *>(impl::finalize)},
        {Py_tp_dealloc, reinterpret_cast<void *>(impl::dealloc)},
        {Py_tp_repr, reinterpret_cast<void *>(impl::repr)},
        {0, nullptr},
    };
    static std::string name;
    name = std::string(PyModule_GetName(m.ptr())) + ".native_coroutine";
    static PyType_Spec spec = {name.c_str(), int(sizeof(CoroutineObject)), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
    PyObject *type = PyType_FromSpec(&spec);
    if (!type) throw nb::python_error();
    coroutine_type() = reinterpret_cast<PyTypeObject *>(type);
}

// Wraps a body into a host awaitable. The body has not run yet: it starts at the first send.
inline nb::object make_coroutine(Async body, const char *name, const std::string &qualname) {
    auto *self = PyObject_GC_New(CoroutineObject, coroutine_type());
    if (!self) {
        body.handle.destroy();
        throw nb::python_error();
    }
    self->handle = body.handle;
    self->delegate = nullptr;
    self->name = PyUnicode_FromString(name);
    self->qualname = PyUnicode_FromStringAndSize(qualname.data(), Py_ssize_t(qualname.size()));
    self->started = false;
    self->running = false;
    PyObject_GC_Track(reinterpret_cast<PyObject *>(self));
    return nb::steal(reinterpret_cast<PyObject *>(self));
}

// asyncio.sleep(seconds), awaited from a body.
inline HostAwait async_sleep(double seconds) {
    return host_await(nb::module_::import_("asyncio").attr("sleep")(seconds));
}

} // namespace kavri::detail
