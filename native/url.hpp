// URL pieces shared by the native modules: the scheme/authority split and loopback-literal
// detection, on code points of any width, with no host calls.
#pragma once

#include <array>
#include <cstdint>
#include <cstddef>
#include <optional>

namespace kavri::detail {

// ---------------------------------------------------------------------------
// Scheme and authority

// Where the scheme and the authority of a URL lie. `scheme_end` is the length
// of the scheme (0: none); the authority is [authority_begin, authority_end),
// empty when the URL has none.
struct UrlSplit {
    size_t scheme_end = 0;
    size_t authority_begin = 0;
    size_t authority_end = 0;
    bool has_scheme() const { return scheme_end > 0; }
    bool has_authority() const { return authority_end > authority_begin; }
};

inline bool is_ascii_alpha(uint32_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
inline bool is_ascii_digit(uint32_t c) { return c >= '0' && c <= '9'; }
inline uint32_t ascii_lower(uint32_t c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }

// The scheme is the text before the first ":" when it starts with a letter and
// holds only letters, digits, "+", "-" and "."; the authority follows the
// scheme's ":" when that is followed by "//", up to the next "/", "?" or "#".
// Without a scheme the authority may still start the text ("//host/path").
template <typename CharT> UrlSplit split_url(const CharT *s, size_t n) {
    UrlSplit out;
    size_t colon = 0;
    while (colon < n && uint32_t(s[colon]) != ':') ++colon;
    if (colon < n && colon > 0 && is_ascii_alpha(uint32_t(s[0]))) {
        bool ok = true;
        for (size_t i = 1; i < colon && ok; ++i) {
            uint32_t c = uint32_t(s[i]);
            ok = is_ascii_alpha(c) || is_ascii_digit(c) || c == '+' || c == '-' || c == '.';
        }
        if (ok) out.scheme_end = colon;
    }
    size_t rest = out.has_scheme() ? out.scheme_end + 1 : 0;
    if (rest + 1 < n && uint32_t(s[rest]) == '/' && uint32_t(s[rest + 1]) == '/') {
        size_t begin = rest + 2, end = begin;
        while (end < n) {
            uint32_t c = uint32_t(s[end]);
            if (c == '/' || c == '?' || c == '#') break;
            ++end;
        }
        out.authority_begin = begin;
        out.authority_end = end;
    }
    return out;
}

// True when the n code points at s equal the lower-case ASCII `word`, ignoring letter case.
template <typename CharT> bool equals_ascii_nocase(const CharT *s, size_t n, const char *word) {
    size_t i = 0;
    for (; word[i]; ++i)
        if (i >= n || ascii_lower(uint32_t(s[i])) != uint32_t(word[i])) return false;
    return i == n;
}

// ---------------------------------------------------------------------------
// Address literals (the forms the host's ipaddress accepts)

// Strict dotted decimal: four parts of 1 to 3 ASCII digits, 0 to 255, no
// leading zeros.
template <typename CharT> std::optional<uint32_t> parse_ipv4(const CharT *s, size_t n) {
    uint32_t value = 0;
    size_t i = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (i >= n || uint32_t(s[i]) != '.') return std::nullopt;
            ++i;
        }
        size_t start = i;
        uint32_t octet = 0;
        while (i < n && is_ascii_digit(uint32_t(s[i]))) {
            if (i - start == 3) return std::nullopt;
            octet = octet * 10 + (uint32_t(s[i]) - '0');
            ++i;
        }
        size_t len = i - start;
        if (len == 0 || octet > 255 || (len > 1 && uint32_t(s[start]) == '0')) return std::nullopt;
        value = (value << 8) | octet;
    }
    if (i != n) return std::nullopt;
    return value;
}

// 128 bits, most significant hextet first.
using Ipv6Value = std::array<uint16_t, 8>;

// Eight hextets of 1 to 4 hex digits, one "::" standing for one or more zero
// hextets, an optional dotted-decimal IPv4 tail for the last two, and an
// optional non-empty "%scope" suffix, as the host's IPv6Address accepts them.
template <typename CharT> std::optional<Ipv6Value> parse_ipv6(const CharT *s, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (uint32_t(s[i]) != '%') continue;
        if (i + 1 == n) return std::nullopt; // empty scope
        for (size_t j = i + 1; j < n; ++j)
            if (uint32_t(s[j]) == '%') return std::nullopt;
        n = i;
        break;
    }
    if (n == 0) return std::nullopt;
    // Split on ":" into at most 10 parts (more can never be valid).
    struct Part {
        size_t begin, end;
    };
    std::array<Part, 10> parts{};
    size_t count = 0, begin = 0;
    for (size_t i = 0; i <= n; ++i) {
        if (i < n && uint32_t(s[i]) != ':') continue;
        if (count == parts.size()) return std::nullopt;
        parts[count++] = {begin, i};
        begin = i + 1;
    }
    if (count < 3) return std::nullopt;
    std::array<uint32_t, 10> hextets{};
    std::array<bool, 10> empty{};
    size_t total = count;
    // An IPv4 tail becomes two hextets.
    Part last = parts[count - 1];
    bool dotted = false;
    for (size_t i = last.begin; i < last.end; ++i)
        if (uint32_t(s[i]) == '.') dotted = true;
    if (dotted) {
        auto v4 = parse_ipv4(s + last.begin, last.end - last.begin);
        if (!v4) return std::nullopt;
        total = count + 1;
        if (total > parts.size()) return std::nullopt;
        hextets[count - 1] = *v4 >> 16;
        hextets[count] = *v4 & 0xffff;
    }
    if (total > 9) return std::nullopt;
    size_t plain = dotted ? count - 1 : count;
    for (size_t p = 0; p < plain; ++p) {
        empty[p] = parts[p].end == parts[p].begin;
        if (empty[p]) continue;
        if (parts[p].end - parts[p].begin > 4) return std::nullopt;
        uint32_t v = 0;
        for (size_t i = parts[p].begin; i < parts[p].end; ++i) {
            uint32_t c = uint32_t(s[i]), d;
            if (is_ascii_digit(c)) d = c - '0';
            else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
            else return std::nullopt;
            v = (v << 4) | d;
        }
        hextets[p] = v;
    }
    // The "::": an empty part other than the first and the last.
    std::optional<size_t> skip;
    for (size_t p = 1; p + 1 < total; ++p) {
        if (!empty[p]) continue;
        if (skip) return std::nullopt;
        skip = p;
    }
    size_t hi, lo, skipped;
    if (skip) {
        hi = *skip;
        lo = total - *skip - 1;
        if (empty[0] && --hi) return std::nullopt;
        if (empty[total - 1] && --lo) return std::nullopt;
        if (hi + lo >= 8) return std::nullopt;
        skipped = 8 - (hi + lo);
    } else {
        if (total != 8) return std::nullopt;
        hi = total;
        lo = 0;
        skipped = 0;
    }
    Ipv6Value out{};
    size_t k = 0;
    for (size_t p = 0; p < hi; ++p) {
        if (empty[p]) return std::nullopt;
        out[k++] = uint16_t(hextets[p]);
    }
    k += skipped;
    for (size_t p = total - lo; p < total; ++p) {
        if (empty[p]) return std::nullopt;
        out[k++] = uint16_t(hextets[p]);
    }
    return out;
}

// "localhost" in any letter case, an IPv4 literal in 127.0.0.0/8, or an IPv6
// literal equal to ::1. Anything that is no address literal is not loopback.
template <typename CharT> bool is_loopback_host(const CharT *s, size_t n) {
    if (equals_ascii_nocase(s, n, "localhost")) return true;
    if (auto v4 = parse_ipv4(s, n)) return (*v4 >> 24) == 127;
    if (auto v6 = parse_ipv6(s, n)) {
        for (size_t i = 0; i < 7; ++i)
            if ((*v6)[i] != 0) return false;
        return (*v6)[7] == 1;
    }
    return false;
}

} // namespace kavri::detail
