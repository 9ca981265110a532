// Hexadecimal and base64 codecs shared by every native module: written once, exact, no host calls.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kavri::detail {

// ---------------------------------------------------------------------------
// Hexadecimal

inline constexpr char kHexDigits[] = "0123456789abcdef";

// Lower case, two digits a byte, no separators.
inline std::string hex_encode(const unsigned char *data, size_t size) {
    std::string out(size * 2, '\0');
    for (size_t i = 0; i < size; ++i) {
        out[2 * i] = kHexDigits[data[i] >> 4];
        out[2 * i + 1] = kHexDigits[data[i] & 0x0f];
    }
    return out;
}

inline int hex_value(uint32_t c) {
    if (c >= '0' && c <= '9') return int(c - '0');
    if (c >= 'a' && c <= 'f') return int(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return int(c - 'A' + 10);
    return -1;
}

// The white space the host's hex decoder skips: space, \t, \n, \v, \f, \r.
inline bool is_ascii_space(uint32_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

struct HexError {
    enum Kind { None, BadChar, OddDigits } kind = None;
    size_t position = 0;
};

// Decodes a sequence of code points (any width). Two digits a byte, either
// case; ASCII white space is skipped before each pair and at the end, never
// inside a pair. Returns false and fills `err` on bad input.
template <typename CharT>
bool hex_decode(const CharT *data, size_t size, std::string &out, HexError &err) {
    out.clear();
    out.reserve(size / 2);
    size_t i = 0;
    while (true) {
        while (i < size && is_ascii_space(uint32_t(data[i]))) ++i;
        if (i >= size) return true;
        int hi = hex_value(uint32_t(data[i]));
        if (hi < 0) {
            err = {HexError::BadChar, i};
            return false;
        }
        if (i + 1 >= size) {
            err = {HexError::OddDigits, i};
            return false;
        }
        int lo = hex_value(uint32_t(data[i + 1]));
        if (lo < 0) {
            err = {HexError::BadChar, i + 1};
            return false;
        }
        out.push_back(char((hi << 4) | lo));
        i += 2;
    }
}

inline std::string hex_error_message(const HexError &err) {
    if (err.kind == HexError::OddDigits)
        return "invalid hexadecimal: odd number of digits";
    return "invalid hexadecimal: non-hexadecimal character at position " +
           std::to_string(err.position);
}

// ---------------------------------------------------------------------------
// Base64 (RFC 4648)

inline constexpr char kB64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Standard alphabet with "=" padding.
inline std::string b64_encode(const unsigned char *data, size_t size) {
    std::string out;
    out.reserve((size + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        uint32_t v = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8) | data[i + 2];
        out.push_back(kB64Alphabet[(v >> 18) & 63]);
        out.push_back(kB64Alphabet[(v >> 12) & 63]);
        out.push_back(kB64Alphabet[(v >> 6) & 63]);
        out.push_back(kB64Alphabet[v & 63]);
    }
    size_t rest = size - i;
    if (rest == 1) {
        uint32_t v = uint32_t(data[i]) << 16;
        out.push_back(kB64Alphabet[(v >> 18) & 63]);
        out.push_back(kB64Alphabet[(v >> 12) & 63]);
        out += "==";
    } else if (rest == 2) {
        uint32_t v = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8);
        out.push_back(kB64Alphabet[(v >> 18) & 63]);
        out.push_back(kB64Alphabet[(v >> 12) & 63]);
        out.push_back(kB64Alphabet[(v >> 6) & 63]);
        out.push_back('=');
    }
    return out;
}

// Value of a character in the standard alphabet; with `url_safe`, "-" and "_"
// count as well (the standard "+" and "/" stay accepted, as the host's
// URL-safe decoder translates rather than restricts).
constexpr int b64_value(uint32_t c, bool url_safe) {
    if (c >= 'A' && c <= 'Z') return int(c - 'A');
    if (c >= 'a' && c <= 'z') return int(c - 'a' + 26);
    if (c >= '0' && c <= '9') return int(c - '0' + 52);
    if (c == '+') return 62;
    if (c == '/') return 63;
    if (url_safe) {
        if (c == '-') return 62;
        if (c == '_') return 63;
    }
    return -1;
}

// Character classes of the decoder: 0..63 a value, kB64Pad the "=", kB64Skip
// anything else. One table per alphabet choice.
inline constexpr unsigned char kB64Pad = 64, kB64Skip = 255;

struct B64Table {
    unsigned char value[256];
    constexpr explicit B64Table(bool url_safe) : value() {
        for (int c = 0; c < 256; ++c) {
            int v = b64_value(uint32_t(c), url_safe);
            value[c] = v >= 0 ? (unsigned char)(v) : (c == '=' ? kB64Pad : kB64Skip);
        }
    }
};
inline constexpr B64Table kB64Standard{false}, kB64UrlSafe{true};

// Decodes like the host's base64 decoder: `strict` is its "validate" mode as
// Python 3.13 has it (only alphabet characters, padding only at the end and only
// to complete the last quantum, on every Python); otherwise characters
// outside the alphabet are discarded, while the padding must still be right.
// Returns std::nullopt with `error` holding the host's error text on failure.
// Non-ASCII input is the caller's check (the host refuses it before decoding).
template <typename CharT>
std::optional<std::string> b64_decode(const CharT *data, size_t size, bool strict, bool url_safe,
                                      std::string &error) {
    const unsigned char *table = (url_safe ? kB64UrlSafe : kB64Standard).value;
    auto cls = [&](size_t i) -> unsigned { return uint32_t(data[i]) < 256 ? table[uint32_t(data[i])] : kB64Skip; };
    std::string out(size / 4 * 3 + 3, '\0');
    char *dst = out.data(); // a plain pointer: stores through it do not reload the buffer
    size_t n = 0;
    int quad_pos = 0, pads = 0;
    bool padding_started = false;
    uint32_t left = 0;
    for (size_t i = 0; i < size; ++i) {
        // Whole quads of data characters, the common case, four at a time: the
        // same bytes the state machine below would produce.
        while (quad_pos == 0 && !(strict && padding_started) && i + 4 <= size) {
            unsigned a = cls(i), b = cls(i + 1), c = cls(i + 2), d = cls(i + 3);
            if ((a | b | c | d) >= 64) break;
            uint32_t v = (a << 18) | (b << 12) | (c << 6) | d;
            dst[n] = char(v >> 16);
            dst[n + 1] = char((v >> 8) & 0xff);
            dst[n + 2] = char(v & 0xff);
            n += 3;
            pads = 0;
            i += 4;
        }
        if (i >= size) break;
        unsigned v = cls(i);
        if (v == kB64Pad) {
            padding_started = true;
            // Padding where no quantum is open is malformed. Python 3.13's
            // validate mode says so and older ones let "QUJD=" pass; one rule on
            // every host, so a fleet of workers agrees on what a signature is.
            if (strict && quad_pos == 0) {
                error = i == 0 ? "Leading padding not allowed" : "Excess padding not allowed";
                return std::nullopt;
            }
            if (quad_pos >= 2 && quad_pos + ++pads >= 4) {
                if (strict && i + 1 < size) {
                    error = "Excess data after padding";
                    return std::nullopt;
                }
                out.resize(n);
                return out;
            }
            continue;
        }
        if (v == kB64Skip) {
            if (strict) {
                error = "Only base64 data is allowed";
                return std::nullopt;
            }
            continue;
        }
        if (strict && padding_started) {
            error = "Discontinuous padding not allowed";
            return std::nullopt;
        }
        pads = 0;
        switch (quad_pos) {
        case 0: quad_pos = 1; left = v; break;
        case 1:
            quad_pos = 2;
            dst[n++] = char((left << 2) | (v >> 4));
            left = v & 0x0f;
            break;
        case 2:
            quad_pos = 3;
            dst[n++] = char((left << 4) | (v >> 2));
            left = v & 0x03;
            break;
        default:
            quad_pos = 0;
            dst[n++] = char((left << 6) | v);
            left = 0;
            break;
        }
    }
    if (quad_pos == 1) {
        error = "Invalid base64-encoded string: number of data characters (" + std::to_string(n / 3 * 4 + 1) +
                ") cannot be 1 more than a multiple of 4";
        return std::nullopt;
    }
    if (quad_pos != 0) {
        error = "Incorrect padding";
        return std::nullopt;
    }
    out.resize(n);
    return out;
}

} // namespace kavri::detail
