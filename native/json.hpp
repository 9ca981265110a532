// A native fast path for the host's json.loads on the commonest small documents: one flat
// object whose values are strings, true, false or null. Everything else is left to the host.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <string>
#include <type_traits>

#include "native/host.hpp"

namespace kavri::detail {

namespace nb = nanobind;

namespace flat_json_impl {

inline bool is_json_space(uint32_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

template <typename CharT> struct Scanner {
    PyObject *text;
    const CharT *s;
    size_t n;
    size_t i = 0;

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
    std::optional<nb::object> string() {
        size_t start = i + 1, k = start; // after the opening quote
        while (k < n) {
            uint32_t c = uint32_t(s[k]);
            if (c == '"') {
                PyObject *out = PyUnicode_Substring(text, Py_ssize_t(start), Py_ssize_t(k));
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
                auto key = string();
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

// json.loads(text) for a flat object of strings, booleans and nulls, with the
// same result the host would give; std::nullopt for any other text, which the
// caller then hands to the host's json (for its results and its error texts).
inline std::optional<nb::object> loads_flat_object(nb::handle text) {
    return with_code_points(text, [&](const auto *data, size_t n) -> std::optional<nb::object> {
        using CharT = std::remove_cv_t<std::remove_pointer_t<decltype(data)>>;
        flat_json_impl::Scanner<CharT> scanner{text.ptr(), data, n};
        return scanner.document();
    });
}

// json.loads(text) through the host.
inline nb::object json_loads(nb::handle text) { return import_module("json").attr("loads")(text); }

} // namespace kavri::detail
