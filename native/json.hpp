// A native fast path for the host's json.loads on the commonest small documents: one flat
// object whose values are strings, true, false or null. Everything else is left to the host.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "native/host.hpp"

namespace kavri::detail {

namespace nb = nanobind;

namespace flat_json_impl {

inline bool is_json_space(uint32_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Keys worth sharing: interned ASCII strs whose equal keys the scanner returns
// instead of new strings (their hash is cached, and lookups by the same
// constants elsewhere match by identity).
using KnownKeys = std::span<PyObject *const>;

template <typename CharT> struct Scanner {
    PyObject *text; // the source str; null when scanning ASCII bytes
    const CharT *s;
    size_t n;
    KnownKeys known;
    size_t i = 0;

    PyObject *slice(size_t begin, size_t end) const {
        if (text) return PyUnicode_Substring(text, Py_ssize_t(begin), Py_ssize_t(end));
        return PyUnicode_FromKindAndData(PyUnicode_1BYTE_KIND, s + begin, Py_ssize_t(end - begin));
    }

    PyObject *known_key(size_t begin, size_t end) const {
        for (PyObject *key : known) {
            if (size_t(PyUnicode_GET_LENGTH(key)) != end - begin) continue;
            const Py_UCS1 *k = PyUnicode_1BYTE_DATA(key);
            size_t j = 0;
            while (j < end - begin && uint32_t(s[begin + j]) == k[j]) ++j;
            if (j == end - begin) return Py_NewRef(key);
        }
        return nullptr;
    }

    void skip_space() {
        while (i < n && is_json_space(uint32_t(s[i]))) ++i;
    }

    bool literal(const char *word) {
        size_t k = 0;
        for (; word[k]; ++k)
            if (i + k >= n || uint32_t(s[i + k]) != uint32_t(word[k])) return false;
        i += k;
        return true;
    }

    // A string starting at the opening quote; nullopt when it holds anything
    // the fast path leaves to the host (surrogate escapes, control characters,
    // bad escapes, no closing quote).
    std::optional<nb::object> string(bool is_key = false) {
        size_t start = i + 1, k = start; // after the opening quote
        // Plain characters in one test: anything at or above the space but the quote and the backslash.
        while (k < n && uint32_t(s[k]) >= 0x20 && uint32_t(s[k]) != '"' && uint32_t(s[k]) != '\\') ++k;
        while (k < n) {
            uint32_t c = uint32_t(s[k]);
            if (c == '"') {
                PyObject *out = is_key ? known_key(start, k) : nullptr;
                if (!out) out = slice(start, k);
                if (!out) throw nb::python_error();
                i = k + 1;
                return nb::steal(out);
            }
            if (c == '\\') {
                i = k;
                return escaped_string(start);
            }
            if (c < 0x20) return std::nullopt;
            ++k;
        }
        return std::nullopt;
    }

    std::optional<nb::object> escaped_string(size_t start) {
        std::u32string out(s + start, s + i);
        while (i < n) {
            uint32_t c = uint32_t(s[i]);
            if (c == '"') {
                ++i;
                PyObject *str = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(), Py_ssize_t(out.size()));
                if (!str) throw nb::python_error();
                return nb::steal(str);
            }
            if (c < 0x20) return std::nullopt;
            if (c != '\\') {
                out.push_back(c);
                ++i;
                continue;
            }
            if (i + 1 >= n) return std::nullopt;
            uint32_t e = uint32_t(s[i + 1]);
            i += 2;
            switch (e) {
            case '"': out.push_back('"'); break;
            case '\\': out.push_back('\\'); break;
            case '/': out.push_back('/'); break;
            case 'b': out.push_back('\b'); break;
            case 'f': out.push_back('\f'); break;
            case 'n': out.push_back('\n'); break;
            case 'r': out.push_back('\r'); break;
            case 't': out.push_back('\t'); break;
            case 'u': {
                if (i + 4 > n) return std::nullopt;
                uint32_t v = 0;
                for (size_t k = 0; k < 4; ++k) {
                    int d = hex_value(uint32_t(s[i + k]));
                    if (d < 0) return std::nullopt;
                    v = (v << 4) | uint32_t(d);
                }
                // Surrogate pairing has its own rules in the host: leave it there.
                if (v >= 0xd800 && v <= 0xdfff) return std::nullopt;
                out.push_back(v);
                i += 4;
                break;
            }
            default: return std::nullopt;
            }
        }
        return std::nullopt;
    }

    std::optional<nb::object> value() {
        if (i >= n) return std::nullopt;
        switch (uint32_t(s[i])) {
        case '"': return string();
        case 't': if (literal("true")) return nb::object(nb::bool_(true)); return std::nullopt;
        case 'f': if (literal("false")) return nb::object(nb::bool_(false)); return std::nullopt;
        case 'n': if (literal("null")) return nb::none(); return std::nullopt;
        default: return std::nullopt;
        }
    }

    std::optional<nb::object> document() {
        skip_space();
        if (i >= n || uint32_t(s[i]) != '{') return std::nullopt;
        ++i;
        nb::dict out;
        skip_space();
        if (i < n && uint32_t(s[i]) == '}') {
            ++i;
        } else {
            while (true) {
                if (i >= n || uint32_t(s[i]) != '"') return std::nullopt;
                auto key = string(true);
                if (!key) return std::nullopt;
                skip_space();
                if (i >= n || uint32_t(s[i]) != ':') return std::nullopt;
                ++i;
                skip_space();
                auto item = value();
                if (!item) return std::nullopt;
                // A repeated key keeps its first place and takes the last value, as in the host.
                if (PyDict_SetItem(out.ptr(), key->ptr(), item->ptr()) < 0) throw nb::python_error();
                skip_space();
                if (i < n && uint32_t(s[i]) == ',') {
                    ++i;
                    skip_space();
                    continue;
                }
                if (i < n && uint32_t(s[i]) == '}') {
                    ++i;
                    break;
                }
                return std::nullopt;
            }
        }
        skip_space();
        if (i != n) return std::nullopt;
        return nb::object(out);
    }
};

} // namespace flat_json_impl

using flat_json_impl::KnownKeys;

// json.loads(text) for a flat object of strings, booleans and nulls, with the
// same result the host would give; std::nullopt for any other text, which the
// caller then hands to the host's json (for its results and its error texts).
inline std::optional<nb::object> loads_flat_object(nb::handle text, KnownKeys known = {}) {
    return with_code_points(text, [&](const auto *data, size_t n) -> std::optional<nb::object> {
        using CharT = std::remove_cv_t<std::remove_pointer_t<decltype(data)>>;
        flat_json_impl::Scanner<CharT> scanner{text.ptr(), data, n, known};
        return scanner.document();
    });
}

// The same for text held as ASCII bytes (the caller checks they are ASCII, so
// they are also the text's UTF-8), without making a str of the whole text.
inline std::optional<nb::object> loads_flat_object_ascii(std::string_view ascii, KnownKeys known = {}) {
    flat_json_impl::Scanner<Py_UCS1> scanner{nullptr, reinterpret_cast<const Py_UCS1 *>(ascii.data()), ascii.size(),
                                             known};
    return scanner.document();
}

// json.loads(text) through the host.
inline nb::object json_loads(nb::handle text) { return import_module("json").attr("loads")(text); }

} // namespace kavri::detail
