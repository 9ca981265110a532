// Native callables with state the garbage collector can see: handler factories return these,
// and classes built with type() take them as methods. Also the host-style argument parser.
#pragma once

#include <nanobind/nanobind.h>
#include <structmember.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "native/errors.hpp"
#include "native/host.hpp"

namespace kavri::detail {

namespace nb = nanobind;

// ---------------------------------------------------------------------------
// Translating C++ failures into the current host error

inline void set_error_from_current_exception() {
    try {
        throw;
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const nb::builtin_exception &e) {
        PyObject *type = PyExc_RuntimeError;
        switch (e.type()) {
        case nb::exception_type::type_error: type = PyExc_TypeError; break;
        case nb::exception_type::value_error: type = PyExc_ValueError; break;
        case nb::exception_type::key_error: type = PyExc_KeyError; break;
        case nb::exception_type::index_error: type = PyExc_IndexError; break;
        case nb::exception_type::attribute_error: type = PyExc_AttributeError; break;
        case nb::exception_type::import_error: type = PyExc_ImportError; break;
        case nb::exception_type::stop_iteration: type = PyExc_StopIteration; break;
        default: break;
        }
        PyErr_SetString(type, e.what());
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown native error");
    }
}

// ---------------------------------------------------------------------------
// Host-style argument binding

struct Param {
    const char *name;
    bool keyword_only = false;
    bool required = true;
    nb::object default_value = nb::none();
};

// Binds `args`/`kwargs` to `params` as a Python def would, with the host's own
// error texts (TypeError) for wrong counts, missing, duplicate and unknown names.
// `takes_var_kwargs`: unknown names are collected into `rest` instead of failing.
inline std::vector<nb::object> bind_args(const char *fn, const std::vector<Param> &params, nb::handle args,
                                         nb::handle kwargs, nb::dict *rest = nullptr) {
    std::vector<nb::object> out(params.size());
    size_t n_positional = 0;
    for (const auto &p : params)
        if (!p.keyword_only) ++n_positional;
    size_t nargs = args.is_valid() ? size_t(PyTuple_GET_SIZE(args.ptr())) : 0;
    if (nargs > n_positional) {
        std::string msg = std::string(fn) + "() takes " + std::to_string(n_positional) + " positional argument" +
                          (n_positional == 1 ? "" : "s") + " but " + std::to_string(nargs) +
                          (nargs == 1 ? " was" : " were") + " given";
        throw nb::type_error(msg.c_str());
    }
    for (size_t i = 0; i < nargs; ++i) out[i] = nb::borrow(PyTuple_GET_ITEM(args.ptr(), Py_ssize_t(i)));
    if (kwargs.is_valid() && !kwargs.is_none()) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs.ptr(), &pos, &key, &value)) {
            bool matched = false;
            for (size_t i = 0; i < params.size(); ++i) {
                if (PyUnicode_CompareWithASCIIString(key, params[i].name) != 0) continue;
                matched = true;
                if (out[i].is_valid()) {
                    std::string msg = std::string(fn) + "() got multiple values for argument '" + params[i].name + "'";
                    throw nb::type_error(msg.c_str());
                }
                out[i] = nb::borrow(value);
                break;
            }
            if (matched) continue;
            if (rest) {
                (*rest)[nb::handle(key)] = nb::handle(value); // raw PyObject * fails the accessor cast
                continue;
            }
            std::string msg = std::string(fn) + "() got an unexpected keyword argument '" +
                              nb::borrow<nb::str>(key).c_str() + "'";
            throw nb::type_error(msg.c_str());
        }
    }
    std::vector<std::string> missing_pos, missing_kw;
    for (size_t i = 0; i < params.size(); ++i) {
        if (out[i].is_valid()) continue;
        if (params[i].required)
            (params[i].keyword_only ? missing_kw : missing_pos).push_back(params[i].name);
        else
            out[i] = params[i].default_value;
    }
    auto report = [&](const std::vector<std::string> &names, const char *kind) {
        std::string list;
        for (size_t i = 0; i < names.size(); ++i) {
            if (i) list += (i + 1 == names.size()) ? (names.size() > 2 ? ", and " : " and ") : ", ";
            list += "'" + names[i] + "'";
        }
        std::string msg = std::string(fn) + "() missing " + std::to_string(names.size()) + " required " + kind +
                          " argument" + (names.size() == 1 ? "" : "s") + ": " + list;
        throw nb::type_error(msg.c_str());
    };
    if (!missing_pos.empty()) report(missing_pos, "positional");
    if (!missing_kw.empty()) report(missing_kw, "keyword-only");
    return out;
}

// ---------------------------------------------------------------------------
// NativeFunction: a callable with GC-visible state, a __dict__, and method binding

using NativeFn = nb::object (*)(nb::handle state, nb::handle args, nb::handle kwargs);

struct NativeFunctionObject {
    PyObject_HEAD
    NativeFn fn;
    PyObject *state;    // any object; a tuple of captured values, usually
    PyObject *dict;     // attributes: __name__, __qualname__, __doc__, markers
    PyObject *weakrefs;
    bool bind_self;     // behaves as a method when found on a class
    vectorcallfunc vectorcall;
};

inline PyTypeObject *&native_function_type() {
    static PyTypeObject *type = nullptr;
    return type;
}

namespace native_function_impl {

inline PyObject *call(PyObject *self, PyObject *args, PyObject *kwargs) {
    auto *f = reinterpret_cast<NativeFunctionObject *>(self);
    try {
        return f->fn(f->state, args, kwargs ? nb::handle(kwargs) : nb::handle()).release().ptr();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

inline PyObject *vector_call(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject *tuple = PyTuple_New(nargs);
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        Py_INCREF(args[i]);
        PyTuple_SET_ITEM(tuple, i, args[i]);
    }
    PyObject *kwargs = nullptr;
    if (kwnames && PyTuple_GET_SIZE(kwnames)) {
        kwargs = PyDict_New();
        if (!kwargs) {
            Py_DECREF(tuple);
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
            if (PyDict_SetItem(kwargs, PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) {
                Py_DECREF(tuple);
                Py_DECREF(kwargs);
                return nullptr;
            }
        }
    }
    PyObject *result = call(self, tuple, kwargs);
    Py_DECREF(tuple);
    Py_XDECREF(kwargs);
    return result;
}

inline int traverse(PyObject *self, visitproc visit, void *arg) {
    auto *f = reinterpret_cast<NativeFunctionObject *>(self);
    Py_VISIT(f->state);
    Py_VISIT(f->dict);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

inline int clear(PyObject *self) {
    auto *f = reinterpret_cast<NativeFunctionObject *>(self);
    Py_CLEAR(f->state);
    Py_CLEAR(f->dict);
    return 0;
}

inline void dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    auto *f = reinterpret_cast<NativeFunctionObject *>(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

inline PyObject *descr_get(PyObject *self, PyObject *obj, PyObject *) {
    auto *f = reinterpret_cast<NativeFunctionObject *>(self);
    if (!f->bind_self || obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

inline PyObject *repr(PyObject *self) {
    auto *f = reinterpret_cast<NativeFunctionObject *>(self);
    PyObject *name = f->dict ? PyDict_GetItemString(f->dict, "__qualname__") : nullptr;
    if (name) return PyUnicode_FromFormat("<native function %U at %p>", name, self);
    return PyUnicode_FromFormat("<native function at %p>", self);
}

inline PyMemberDef members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(NativeFunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(NativeFunctionObject, weakrefs), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(NativeFunctionObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

inline PyGetSetDef getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

} // namespace native_function_impl

// Creates the type once per module (call from the module's init).
inline void init_native_function_type(nb::module_ &m) {
    if (native_function_type()) return;
    namespace impl = native_function_impl;
    static PyType_Slot slots[] = {
        {Py_tp_call, reinterpret_cast<void *>(impl::call)},
        {Py_tp_traverse, reinterpret_cast<void *>(impl::traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(impl::clear)},
        {Py_tp_dealloc, reinterpret_cast<void *>(impl::dealloc)},
        {Py_tp_descr_get, reinterpret_cast<void *>(impl::descr_get)},
        {Py_tp_repr, reinterpret_cast<void *>(impl::repr)},
        {Py_tp_members, impl::members},
        {Py_tp_getset, impl::getset},
        {0, nullptr},
    };
    std::string name = std::string(PyModule_GetName(m.ptr())) + ".native_function";
    static std::string stored_name;
    stored_name = name;
    static PyType_Spec spec = {
        stored_name.c_str(), int(sizeof(NativeFunctionObject)), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR,
        slots};
    PyObject *type = PyType_FromSpec(&spec);
    if (!type) throw nb::python_error();
    native_function_type() = reinterpret_cast<PyTypeObject *>(type);
}

struct FunctionInfo {
    const char *name;
    std::string qualname;
    const char *doc = nullptr;
    const char *module = nullptr;
    bool bind_self = false;
};

// Builds a native function over `fn` with `state` captured (visible to the GC).
inline nb::object make_function(NativeFn fn, nb::handle state, const FunctionInfo &info) {
    PyTypeObject *tp = native_function_type();
    auto *f = PyObject_GC_New(NativeFunctionObject, tp);
    if (!f) throw nb::python_error();
    f->fn = fn;
    f->state = Py_NewRef(state.is_valid() ? state.ptr() : Py_None);
    f->dict = PyDict_New();
    f->weakrefs = nullptr;
    f->bind_self = info.bind_self;
    f->vectorcall = native_function_impl::vector_call;
    nb::object obj = nb::steal(reinterpret_cast<PyObject *>(f));
    PyObject_GC_Track(obj.ptr());
    if (!f->dict) throw nb::python_error();
    // Straight into the instance dict: the type defines none of these as descriptors, so
    // this is what setattr would do, without its lookups (factories build one per call).
    static const Name name_key("__name__"), qualname_key("__qualname__"), doc_key("__doc__"), module_key("__module__");
    auto put = [&](const Name &key, nb::handle value) {
        if (PyDict_SetItem(f->dict, key.get().ptr(), value.ptr()) < 0) throw nb::python_error();
    };
    put(name_key, nb::str(info.name));
    put(qualname_key, nb::str(info.qualname.c_str()));
    put(doc_key, info.doc ? nb::object(nb::str(info.doc)) : nb::none());
    if (info.module) put(module_key, nb::str(info.module));
    return obj;
}

// A hot function's own vectorcall entry: it binds the common call shapes straight from
// the argument vector and hands every other shape to `generic_vector_call`, which builds
// the tuple and dict for the function's NativeFn (so errors keep the host's exact texts).
// Calls through tp_call (PyObject_Call with a tuple) keep taking the NativeFn.
inline void set_vectorcall(nb::handle fn, vectorcallfunc entry) {
    reinterpret_cast<NativeFunctionObject *>(fn.ptr())->vectorcall = entry;
}
inline PyObject *generic_vector_call(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    return native_function_impl::vector_call(self, args, nargsf, kwnames);
}

// Marks a callable so that asyncio.iscoroutinefunction, and on 3.12+
// inspect.iscoroutinefunction, report it as a coroutine function.
inline void mark_coroutine_function(nb::handle fn) {
    // The marker is a constant of asyncio.coroutines, so it is looked up once; factories
    // that mark every handler they return then pay one attribute store.
    static ProcessOnce cell;
    PyObject *marker = cell.get([] {
        nb::object coroutines = nb::module_::import_("asyncio.coroutines");
        return nb::hasattr(coroutines, "_is_coroutine") ? nb::object(coroutines.attr("_is_coroutine")).release().ptr()
                                                         : nullptr;
    });
    if (marker) nb::setattr(fn, "_is_coroutine", marker);
#if PY_VERSION_HEX >= 0x030C0000
    nb::module_::import_("inspect").attr("markcoroutinefunction")(fn);
#endif
}

// A real `async def` function that awaits `native`, built by the factory `factory` of the
// companion module kavri_cloud._coroutine_functions and named after `info`. This is what a
// framework gets: inspect.iscoroutinefunction accepts only such functions on 3.10/3.11.
inline nb::object coroutine_face(const char *factory, nb::handle native, const FunctionInfo &info) {
    static ProcessOnce companion; // imported once: factories call this for every handler they build
    PyObject *module = companion.get([] { return PyImport_ImportModule("kavri_cloud._coroutine_functions"); });
    if (!module) {
        companion = ProcessOnce(); // a failed import is retried (and raises) next time
        throw nb::python_error();
    }
    nb::object face = nb::handle(module).attr(factory)(native);
    nb::setattr(face, "__name__", nb::str(info.name));
    nb::setattr(face, "__qualname__", nb::str(info.qualname.c_str()));
    nb::setattr(face, "__doc__", info.doc ? nb::object(nb::str(info.doc)) : nb::none());
    if (info.module) nb::setattr(face, "__module__", nb::str(info.module));
    return face;
}

} // namespace kavri::detail
