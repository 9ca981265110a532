// Host glue shared by every native module: imports and lookups at call time, duck-typed
// attribute reads, text forms, the process environment, and the codecs bound to host objects.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "native/codec.hpp"

namespace kavri::detail {

namespace nb = nanobind;

// ---------------------------------------------------------------------------
// Imports and lookups

inline nb::object import_module(const char *name) { return nb::module_::import_(name); }

// The second half of `from module import name` when the attribute is missing:
// `name` may be a submodule not imported yet (temporalio.activity, say).
inline nb::object import_submodule(const char *module, const char *name) {
    std::string full = std::string(module) + "." + name;
    PyObject *sub = PyImport_ImportModule(full.c_str());
    if (sub) return nb::steal(sub);
    if (!PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) throw nb::python_error();
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
    throw nb::python_error();
}

// `from module import name`: a missing name is an ImportError, as in Python, so
// callers that treat "cannot be imported" specially see one error kind.
inline nb::object import_from(const char *module, const char *name) {
    nb::object mod = import_module(module);
    PyObject *value = PyObject_GetAttrString(mod.ptr(), name);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
        return import_submodule(module, name);
    }
    return nb::steal(value);
}

// ---------------------------------------------------------------------------
// Names for hot paths

// A reference made once and kept for the process's life, under the GIL. Never a function-local
// static with an initializer for this: its guard stays held across an import (which releases
// the GIL), and a second thread then waits for the guard while holding the GIL: a deadlock.
// Two threads may both make the value; the first to finish keeps it.
struct ProcessOnce {
    PyObject *value = nullptr;
    bool done = false;

    template <typename Make> PyObject *get(Make &&make) {
        if (!done) {
            PyObject *made = make(); // may release the GIL
            if (!done) {
                value = made;
                done = true;
            } else {
                Py_XDECREF(made);
            }
        }
        return value;
    }
};

// An attribute or key name, interned on first use and kept for the process's life.
// The host's attribute caches and dict lookups hit at once for an interned name; a
// fresh str made from a C string misses them on every call.
class Name {
  public:
    constexpr explicit Name(const char *text) : text_(text) {}
    nb::handle get() const {
        if (!obj_) {
            obj_ = PyUnicode_InternFromString(text_);
            if (!obj_) throw nb::python_error();
        }
        return obj_;
    }
    operator nb::handle() const { return get(); }
    const char *c_str() const { return text_; }

  private:
    const char *text_;
    mutable PyObject *obj_ = nullptr;
};

// True while builtins.__import__ is still the host's own, so an import may take the
// interpreter's own shortcut through sys.modules.
inline bool host_import_in_place() {
    static const Name import_name("__import__");
    PyObject *fn = PyDict_GetItemWithError(PyEval_GetBuiltins(), import_name.get().ptr()); // borrowed
    if (!fn) {
        if (PyErr_Occurred()) throw nb::python_error();
        return false;
    }
    if (!PyCFunction_Check(fn) || !PyModule_Check(PyCFunction_GET_SELF(fn))) return false;
    return std::string_view(reinterpret_cast<PyCFunctionObject *>(fn)->m_ml->ml_name) == "__import__" &&
           std::string_view(PyModule_GetName(PyCFunction_GET_SELF(fn))) == "builtins";
}

// `from module import name` for lookups made on every call: what the import statement
// does, with its shortcut. A loaded module comes straight from sys.modules; anything
// else (not loaded yet, a None entry, a patched __import__) takes the full import
// machinery, so failures and substitutions behave exactly as they do in Python.
inline nb::object import_from(const Name &module, const Name &name) {
    PyObject *mod = nullptr;
    if (host_import_in_place()) {
        mod = PyImport_GetModule(module.get().ptr());
        if (!mod && PyErr_Occurred()) throw nb::python_error();
        if (mod == Py_None) Py_CLEAR(mod);
    }
    nb::object loaded = mod ? nb::steal(mod) : nb::module_::import_(module.c_str());
    PyObject *value = PyObject_GetAttr(loaded.ptr(), name.get().ptr());
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
        return import_submodule(module.c_str(), name.c_str());
    }
    return nb::steal(value);
}

// A name the module took from a collaborator at load, read back at each use so
// that a test's monkeypatch of the module attribute is honoured.
inline nb::object module_attr(nb::handle module, const char *name) { return module.attr(name); }
inline nb::object module_attr(nb::handle module, const Name &name) {
    PyObject *value = PyObject_GetAttr(module.ptr(), name.get().ptr());
    if (!value) throw nb::python_error();
    return nb::steal(value);
}

// True when `err` (the current python_error) is an ImportError (ModuleNotFoundError included).
inline bool is_import_error(const nb::python_error &err) { return err.matches(PyExc_ImportError); }

// Ordinary errors are Exception subclasses; KeyboardInterrupt, SystemExit and
// GeneratorExit are not and must propagate.
inline bool is_ordinary_error(const nb::python_error &err) { return err.matches(PyExc_Exception); }

// ---------------------------------------------------------------------------
// Duck-typed attribute reads

// The attribute's value, or std::nullopt when it does not exist. Only
// AttributeError is absorbed; any other error of the getter propagates.
inline std::optional<nb::object> get_attr(nb::handle obj, const char *name) {
    PyObject *value = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    int rc = PyObject_GetOptionalAttrString(obj.ptr(), name, &value);
    if (rc < 0) throw nb::python_error();
    if (rc == 0) return std::nullopt;
    return nb::steal(value);
#else
    value = PyObject_GetAttrString(obj.ptr(), name);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
        return std::nullopt;
    }
    return nb::steal(value);
#endif
}

// get_attr with a name object (a kd::Name on hot paths).
inline std::optional<nb::object> get_attr(nb::handle obj, nb::handle name) {
    PyObject *value = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    int rc = PyObject_GetOptionalAttr(obj.ptr(), name.ptr(), &value);
    if (rc < 0) throw nb::python_error();
    if (rc == 0) return std::nullopt;
    return nb::steal(value);
#else
    value = PyObject_GetAttr(obj.ptr(), name.ptr());
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
        return std::nullopt;
    }
    return nb::steal(value);
#endif
}

// get_attr with an interned name, for reads made on every call.
inline std::optional<nb::object> get_attr(nb::handle obj, const Name &name) {
    PyObject *value = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    int rc = PyObject_GetOptionalAttr(obj.ptr(), name.get().ptr(), &value);
    if (rc < 0) throw nb::python_error();
    if (rc == 0) return std::nullopt;
    return nb::steal(value);
#else
    value = PyObject_GetAttr(obj.ptr(), name.get().ptr());
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
        return std::nullopt;
    }
    return nb::steal(value);
#endif
}

// "Missing" means absent or None: both give None here.
inline nb::object attr_or_none(nb::handle obj, const char *name) {
    auto value = get_attr(obj, name);
    return value ? *value : nb::none();
}
inline nb::object attr_or_none(nb::handle obj, nb::handle name) {
    auto value = get_attr(obj, name);
    return value ? *value : nb::none();
}

inline bool truthy(nb::handle obj) {
    int rc = PyObject_IsTrue(obj.ptr());
    if (rc < 0) throw nb::python_error();
    return rc == 1;
}

inline bool is_text(nb::handle obj) { return PyUnicode_Check(obj.ptr()); }
inline bool is_bytes_like(nb::handle obj) {
    return PyBytes_Check(obj.ptr()) || PyByteArray_Check(obj.ptr());
}

// Non-empty text: a str of length > 0.
inline bool is_nonempty_text(nb::handle obj) {
    return PyUnicode_Check(obj.ptr()) && PyUnicode_GET_LENGTH(obj.ptr()) > 0;
}

// mapping[key], or std::nullopt when the key is missing (only KeyError is absorbed).
inline std::optional<nb::object> map_lookup(nb::handle mapping, const char *key) {
    if (PyDict_Check(mapping.ptr())) {
        PyObject *value = PyDict_GetItemString(mapping.ptr(), key); // borrowed, never raises for str keys
        if (!value) return std::nullopt;
        return nb::borrow(value);
    }
    PyObject *k = PyUnicode_FromString(key);
    if (!k) throw nb::python_error();
    PyObject *value = PyObject_GetItem(mapping.ptr(), k);
    Py_DECREF(k);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw nb::python_error();
        PyErr_Clear();
        return std::nullopt;
    }
    return nb::steal(value);
}

// map_lookup with a key object (a kd::Name on hot paths).
inline std::optional<nb::object> map_lookup(nb::handle mapping, nb::handle key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject *value = PyDict_GetItemWithError(mapping.ptr(), key.ptr()); // borrowed
        if (!value) {
            if (PyErr_Occurred()) throw nb::python_error();
            return std::nullopt;
        }
        return nb::borrow(value);
    }
    PyObject *value = PyObject_GetItem(mapping.ptr(), key.ptr());
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw nb::python_error();
        PyErr_Clear();
        return std::nullopt;
    }
    return nb::steal(value);
}

// mapping[key] when present and not None, else None.
inline nb::object map_get(nb::handle mapping, const char *key) {
    auto value = map_lookup(mapping, key);
    return value ? *value : nb::none();
}

// `a, b, ... = value` for exactly `n` items, with the host's own unpacking errors.
inline std::vector<nb::object> unpack(nb::handle value, size_t n) {
    std::vector<nb::object> out;
    out.reserve(n);
    if (PyTuple_CheckExact(value.ptr()) || PyList_CheckExact(value.ptr())) {
        PyObject *seq = value.ptr();
        size_t size = size_t(PySequence_Fast_GET_SIZE(seq));
        if (size > n) {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", n);
            throw nb::python_error();
        }
        if (size < n) {
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", n, size);
            throw nb::python_error();
        }
        for (size_t i = 0; i < n; ++i) out.push_back(nb::borrow(PySequence_Fast_GET_ITEM(seq, Py_ssize_t(i))));
        return out;
    }
    PyObject *it = PyObject_GetIter(value.ptr());
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(value.ptr())->tp_iter &&
            !PySequence_Check(value.ptr())) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value.ptr())->tp_name);
        }
        throw nb::python_error();
    }
    nb::object iter = nb::steal(it);
    auto next = [&]() -> PyObject * {
        PyObject *item = PyIter_Next(iter.ptr());
        if (!item && PyErr_Occurred()) throw nb::python_error();
        return item;
    };
    for (size_t i = 0; i < n; ++i) {
        PyObject *item = next();
        if (!item) {
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", n, i);
            throw nb::python_error();
        }
        out.push_back(nb::steal(item));
    }
    if (PyObject *extra = next()) {
        Py_DECREF(extra);
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", n);
        throw nb::python_error();
    }
    return out;
}

// The host's text form, str(obj).
inline nb::str text_of(nb::handle obj) {
    PyObject *s = PyObject_Str(obj.ptr());
    if (!s) throw nb::python_error();
    return nb::steal<nb::str>(s);
}

inline std::string utf8(nb::handle str_obj) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(str_obj.ptr(), &size);
    if (!data) throw nb::python_error();
    return std::string(data, size_t(size));
}

inline nb::bytes bytes_copy(nb::handle bytes_like) {
    if (PyBytes_Check(bytes_like.ptr()))
        return nb::bytes(PyBytes_AS_STRING(bytes_like.ptr()), size_t(PyBytes_GET_SIZE(bytes_like.ptr())));
    return nb::bytes(PyByteArray_AS_STRING(bytes_like.ptr()),
                     size_t(PyByteArray_GET_SIZE(bytes_like.ptr())));
}

inline std::string_view bytes_view(nb::handle bytes_like) {
    if (PyBytes_Check(bytes_like.ptr()))
        return {PyBytes_AS_STRING(bytes_like.ptr()), size_t(PyBytes_GET_SIZE(bytes_like.ptr()))};
    return {PyByteArray_AS_STRING(bytes_like.ptr()), size_t(PyByteArray_GET_SIZE(bytes_like.ptr()))};
}

// Runs `fn(const CharT *data, size_t size)` over a str's own storage, whatever its width.
template <typename Fn> decltype(auto) with_code_points(nb::handle str_obj, Fn &&fn) {
    PyObject *s = str_obj.ptr();
    size_t n = size_t(PyUnicode_GET_LENGTH(s));
    switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND: return fn(PyUnicode_1BYTE_DATA(s), n);
    case PyUnicode_2BYTE_KIND: return fn(PyUnicode_2BYTE_DATA(s), n);
    default: return fn(PyUnicode_4BYTE_DATA(s), n);
    }
}

// Host recursion guard for walks over user data: deep or cyclic input ends in
// RecursionError. On 3.12+ the C limit ignores sys.setrecursionlimit, so an
// explicit depth cap backs it up.
class RecursionGuard {
  public:
    explicit RecursionGuard(const char *where) {
        if (Py_EnterRecursiveCall(where)) throw nb::python_error();
        entered_ = true;
    }
    ~RecursionGuard() {
        if (entered_) Py_LeaveRecursiveCall();
    }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;

  private:
    bool entered_ = false;
};

// ---------------------------------------------------------------------------
// Codecs on host objects

// Written straight into a new ASCII str: no intermediate buffer, no UTF-8 decoding.
inline nb::str hex_text(std::string_view raw) {
    PyObject *s = PyUnicode_New(Py_ssize_t(raw.size() * 2), 127);
    if (!s) throw nb::python_error();
    Py_UCS1 *out = PyUnicode_1BYTE_DATA(s);
    for (size_t i = 0; i < raw.size(); ++i) {
        unsigned char byte = static_cast<unsigned char>(raw[i]);
        out[2 * i] = Py_UCS1(kHexDigits[byte >> 4]);
        out[2 * i + 1] = Py_UCS1(kHexDigits[byte & 0x0f]);
    }
    return nb::steal<nb::str>(s);
}

inline nb::str hex_text(nb::handle bytes_like) { return hex_text(bytes_view(bytes_like)); }

// Hexadecimal text to bytes; a ValueError naming the problem otherwise.
inline nb::bytes hex_to_bytes(nb::handle str_obj) {
    if (!PyUnicode_Check(str_obj.ptr())) throw nb::type_error("hexadecimal input must be str");
    std::string out;
    HexError err;
    bool ok = with_code_points(str_obj, [&](const auto *data, size_t n) {
        return hex_decode(data, n, out, err);
    });
    if (!ok) throw nb::value_error(hex_error_message(err).c_str());
    return nb::bytes(out.data(), out.size());
}

inline bool is_ascii(nb::handle str_obj) {
    return PyUnicode_IS_ASCII(str_obj.ptr());
}

// Base64 of ASCII text to raw bytes, for callers that hold the text natively;
// bad data or padding raises binascii.Error (a ValueError) with the host
// decoder's text.
inline std::string b64_to_string(std::string_view ascii, bool strict, bool url_safe) {
    std::string error;
    auto out = b64_decode(ascii.data(), ascii.size(), strict, url_safe, error);
    if (!out) {
        nb::object binascii_error = import_from("binascii", "Error");
        PyErr_SetString(binascii_error.ptr(), error.c_str());
        throw nb::python_error();
    }
    return std::move(*out);
}

// Base64 text to bytes; `strict` is the "validate" mode. Failures raise what
// the host's decoder raises: ValueError for non-ASCII text, binascii.Error (a
// ValueError) with the decoder's text for bad data or padding.
inline nb::bytes b64_to_bytes(nb::handle str_obj, bool strict, bool url_safe) {
    if (!PyUnicode_Check(str_obj.ptr())) throw nb::type_error("base64 input must be str");
    if (!is_ascii(str_obj)) {
        PyErr_SetString(PyExc_ValueError, "string argument should contain only ASCII characters");
        throw nb::python_error();
    }
    std::string out = b64_to_string({reinterpret_cast<const char *>(PyUnicode_1BYTE_DATA(str_obj.ptr())),
                                     size_t(PyUnicode_GET_LENGTH(str_obj.ptr()))},
                                    strict, url_safe);
    return nb::bytes(out.data(), out.size());
}

inline bool b64_strict_valid(nb::handle str_obj) {
    if (!PyUnicode_Check(str_obj.ptr()) || !is_ascii(str_obj)) return false;
    std::string error;
    return b64_decode(PyUnicode_1BYTE_DATA(str_obj.ptr()), size_t(PyUnicode_GET_LENGTH(str_obj.ptr())),
                      true, false, error)
        .has_value();
}

inline nb::str b64_text(std::string_view raw) {
    std::string out = b64_encode(reinterpret_cast<const unsigned char *>(raw.data()), raw.size());
    return nb::str(out.data(), out.size());
}

// ---------------------------------------------------------------------------
// The process environment, through the host's os.environ, read at each call

inline nb::object environ() {
    static const Name os_module("os"), environ_name("environ");
    return import_from(os_module, environ_name);
}

#ifndef _WIN32
// os.environ as the os module makes it on POSIX: an _Environ over a dict of bytes, whose
// keys and values are the fs-encoded texts (surrogateescape). Reading that dict is what
// its __getitem__ does, minus the KeyError it raises for an unset variable: most of the
// variables read here are unset, and each raise costs half a microsecond.
inline PyObject *environ_data(nb::handle env) {
    static ProcessOnce environ_type;
    PyObject *type = environ_type.get([] {
        PyObject *t = PyObject_GetAttrString(import_module("os").ptr(), "_Environ");
        if (!t) PyErr_Clear();
        return t;
    });
    if (!type || Py_TYPE(env.ptr()) != reinterpret_cast<PyTypeObject *>(type)) return nullptr;
    static const Name data_name("_data");
    PyObject *data = PyObject_GetAttr(env.ptr(), data_name.get().ptr());
    if (!data) {
        PyErr_Clear();
        return nullptr;
    }
    if (!PyDict_CheckExact(data)) Py_CLEAR(data);
    return data;
}
#endif

// The variable's value, or std::nullopt when unset. One lookup, as os.environ.get
// makes: each one encodes the key, so a second would double the cost.
inline std::optional<nb::str> env_get(const char *name) {
    nb::object env = environ();
    nb::str key(name);
#ifndef _WIN32
    if (PyObject *data = environ_data(env)) {
        nb::object owned = nb::steal(data);
        nb::object encoded = nb::steal(PyUnicode_EncodeFSDefault(key.ptr()));
        if (!encoded.is_valid()) throw nb::python_error();
        PyObject *raw = PyDict_GetItemWithError(data, encoded.ptr()); // borrowed
        if (!raw) {
            if (PyErr_Occurred()) throw nb::python_error();
            return std::nullopt;
        }
        if (PyBytes_Check(raw)) {
            PyObject *text = PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(raw), PyBytes_GET_SIZE(raw));
            if (!text) throw nb::python_error();
            return nb::steal<nb::str>(text);
        }
        // anything else in there: let os.environ decide what it means
    }
#endif
    PyObject *value = PyObject_GetItem(env.ptr(), key.ptr());
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw nb::python_error();
        PyErr_Clear();
        return std::nullopt;
    }
    return nb::steal<nb::str>(value);
}

// The value, or `fallback` when unset (an empty but set value is returned as is).
inline nb::str env_get_or(const char *name, const char *fallback) {
    auto value = env_get(name);
    return value ? *value : nb::str(fallback);
}

// The value when set and non-empty.
inline std::optional<nb::str> env_nonempty(const char *name) {
    auto value = env_get(name);
    if (value && PyUnicode_GET_LENGTH(value->ptr()) > 0) return value;
    return std::nullopt;
}

inline void env_set(nb::handle name, nb::handle value) { environ()[name] = value; }

} // namespace kavri::detail
