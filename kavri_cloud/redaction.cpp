// kavri_cloud.redaction: credential redaction for diagnostic output, with a native scanner for the
// four token patterns and a walk over dicts, lists and tuples. Calls only the host (re, str methods).
#include <nanobind/nanobind.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#if defined(__linux__)
#include <pthread.h>
#include <sys/mman.h>
#endif

#include "native/callable.hpp"
#include "native/errors.hpp"
#include "native/module.hpp"
#include "native/host.hpp"
#include "native/simd.hpp"

namespace nb = nanobind;
namespace kd = kavri::detail;
namespace simd = kavri::detail::simd;
using simd::Isa;

namespace {

// ---------------------------------------------------------------------------
// Constants (strong references held for the life of the process)

constexpr const char kReplacement[] = "<redacted>";
constexpr size_t kReplacementLen = sizeof(kReplacement) - 1;

constexpr std::string_view kSecretKeys[] = {"api_key",           "apikey", "authorization", "client_secret", "connect_token",
                                            "registration_token", "secret", "token"};

PyObject *g_redacted = nullptr;    // the "<redacted>" str every secret value becomes
PyObject *g_secret_keys = nullptr; // frozenset of the names above
PyObject *g_patterns = nullptr;    // list of the four compiled host patterns

// ---------------------------------------------------------------------------
// Character classes of the patterns
//
// Word: [A-Za-z0-9_-], the token class of the Quick Connect, "tc_" and "cs_" patterns.
// Bearer token: [A-Za-z0-9._~+/=-] under IGNORECASE. The host's re folds each character
// with its simple lower-case mapping and adds its own case variants, so four non-ASCII
// characters also belong: U+0130 and U+212A (lower-case to "i" and "k") and U+0131, U+017F
// (re's variants of "i" and "s"). No non-ASCII character folds to a letter of "bearer".
// White space is the host's own test, the one re uses for \s on str.

enum : unsigned char { kWordClass = 1, kTokenClass = 2 };

constexpr std::array<unsigned char, 128> make_ascii_classes() {
    std::array<unsigned char, 128> t{};
    for (int c = 0; c < 128; ++c) {
        bool alnum = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (alnum || c == '_' || c == '-') t[c] |= kWordClass;
        if (alnum || c == '.' || c == '_' || c == '~' || c == '+' || c == '/' || c == '=' || c == '-')
            t[c] |= kTokenClass;
    }
    return t;
}
constexpr auto kAscii = make_ascii_classes();

template <typename C> inline bool is_word(C c) { return c < 128 && (kAscii[c] & kWordClass); }

template <typename C> inline bool is_token(C c) {
    if (c < 128) return kAscii[c] & kTokenClass;
    return c == 0x130 || c == 0x131 || c == 0x17F || c == 0x212A;
}

template <typename C> inline bool is_space(C c) { return Py_UNICODE_ISSPACE(Py_UCS4(c)); }

template <typename C> inline bool folds_to(C c, char lower) { return (Py_UCS4(c) | 0x20) == Py_UCS4(lower); }

// ---------------------------------------------------------------------------
// The scanner
//
// The four substitutions run one after another on each other's output. Their results
// compose without rescanning: "<redacted>" holds no prefix of any pattern and its "<" and
// ">" belong to no class and are not white space, so a replacement only ever cuts the runs
// that a later pattern reads. Within one maximal run of word characters the first three
// patterns each replace at most one tail: the Quick Connect token from its first prefix to
// the run's end, then "tc_" up to that cut, then "cs_" up to the next. A Bearer match needs
// its word unreplaced and ends at the end of its token run or at the first cut inside it.
// The scanner yields the final spans, in order, from two lazy searches (for "_" and for the
// word bearer), so the text is read a small constant number of times whatever it holds.

struct Span {
    size_t start;
    size_t end;
};

constexpr size_t kNone = SIZE_MAX;

// Three characters that may end a prefix: "_" after "tc", "cs" or "ct" (the tail of "kavri_ct").
template <typename C> inline bool may_end_prefix(const C *s, size_t u) {
    C y = s[u - 1], z = s[u - 2];
    return s[u] == C('_') && ((z == C('t') && y == C('c')) || (z == C('c') && (y == C('s') || y == C('t'))));
}

template <typename C> inline bool is_bearer_at(const C *s, size_t i) {
    static constexpr char kWord[] = "bearer";
    for (size_t k = 0; k < 6; ++k)
        if (!folds_to(s[i + k], kWord[k])) return false;
    return true;
}

template <typename C> inline bool is_ascii_token(C c) { return c < 128 && (kAscii[c] & kTokenClass); }

} // namespace

// The vector searches, once per instruction set.
#if defined(KAVRI_SIMD_X86)
namespace redaction_sse2 {
template <class C> using Ops = kavri::detail::simd::Sse2<C>;
#include "redaction_kernels.inc"
} // namespace redaction_sse2
KAVRI_SIMD_AVX2_BEGIN
namespace redaction_avx2 {
template <class C> using Ops = kavri::detail::simd::Avx2<C>;
#include "redaction_kernels.inc"
} // namespace redaction_avx2
KAVRI_SIMD_AVX2_END
#endif

namespace {

// Runs a kernel of the chosen set; false (nothing examined) where there is no vector path.
#if defined(KAVRI_SIMD_X86)
#define KAVRI_REDACTION_KERNEL(name)                                                                   \
    template <typename C> inline bool vec_##name(Isa isa, const C *s, size_t &at, size_t n) {          \
        if (isa == Isa::kAvx2) return redaction_avx2::name(s, at, n);                                  \
        if (isa == Isa::kSse2) return redaction_sse2::name(s, at, n);                                  \
        return false;                                                                                  \
    }
#else
#define KAVRI_REDACTION_KERNEL(name)                                                                   \
    template <typename C> inline bool vec_##name(Isa, const C *, size_t &, size_t) { return false; }
#endif
KAVRI_REDACTION_KERNEL(prefix_end)
KAVRI_REDACTION_KERNEL(bearer_candidate)
KAVRI_REDACTION_KERNEL(word_stop)
KAVRI_REDACTION_KERNEL(token_stop)
#undef KAVRI_REDACTION_KERNEL

// Next position at or after `from` where a prefix may end.
template <typename C> size_t find_prefix_end(Isa isa, const C *s, size_t from, size_t n) {
    size_t i = from < 2 ? 2 : from;
    if (i < n && vec_prefix_end(isa, s, i, n)) return i;
    for (; i < n; ++i)
        if (may_end_prefix(s, i)) return i;
    return kNone;
}

// Next position at or after `from` where the word "bearer" (any case) starts.
template <typename C> size_t find_bearer_start(Isa isa, const C *s, size_t from, size_t n) {
    size_t i = from;
    while (vec_bearer_candidate(isa, s, i, n)) {
        if (is_bearer_at(s, i)) return i;
        ++i;
    }
    for (; i + 6 <= n; ++i)
        if (is_bearer_at(s, i)) return i;
    return kNone;
}

// The first position at or after `from` holding a "_" or a character outside the word class.
template <typename C> size_t word_stop(Isa isa, const C *s, size_t from, size_t n) {
    size_t i = from;
    if (!vec_word_stop(isa, s, i, n))
        while (i < n && s[i] != C('_') && is_word(s[i])) ++i;
    return i;
}

// The end of the Bearer token run that starts at `from`, looking no further than `limit`.
template <typename C> size_t token_end(Isa isa, const C *s, size_t from, size_t limit) {
    size_t i = from;
    for (;;) {
        if (!vec_token_stop(isa, s, i, limit))
            while (i < limit && is_ascii_token(s[i])) ++i;
        // A non-ASCII case variant of a token letter: step over it and go on.
        if (i < limit && is_token(s[i])) {
            ++i;
            continue;
        }
        return i;
    }
}

template <typename C> class Scanner {
  public:
    Scanner(Isa isa, const C *s, size_t n) : isa_(isa), s_(s), n_(n) {}

    // The next span to replace, left to right; false when there are no more.
    bool next(Span &out) {
        for (;;) {
            if (!have_run_span_) have_run_span_ = next_run_span(run_span_);
            if (!have_bearer_) have_bearer_ = next_bearer(bearer_, bearer_token_);
            if (have_run_span_ && (!have_bearer_ || run_span_.start < bearer_.start)) {
                out = run_span_;
                have_run_span_ = false;
                emitted_end_ = out.end;
                return true;
            }
            if (!have_bearer_) return false;
            have_bearer_ = false;
            // A replacement that reached into the word "Bearer" came first and leaves it unmatched.
            if (bearer_.start < emitted_end_) continue;
            // No replacement starts in the word or its white space, so the pending one (if any)
            // lies at or after the token and cuts it.
            size_t limit = have_run_span_ ? run_span_.start : n_;
            size_t end = token_end(isa_, s_, bearer_token_, limit);
            if (end == bearer_token_) continue;
            out = {bearer_.start, end};
            emitted_end_ = end;
            bearer_from_ = end;
            return true;
        }
    }

  private:
    enum Prefix { kQuickConnect = 0, kTc = 1, kCs = 2, kNoPrefix = 3 };

    // Which prefix ends with the "_" at `u`, and where it starts.
    Prefix prefix_at(size_t u, size_t &start) const {
        if (u >= 2) {
            C a = s_[u - 2], b = s_[u - 1];
            if (a == C('t') && b == C('c')) return start = u - 2, kTc;
            if (a == C('c') && b == C('s')) return start = u - 2, kCs;
            if (b == C('t') && u >= 8) {
                static constexpr char kHead[] = "kavri_ct";
                for (size_t k = 0; k < 8; ++k)
                    if (s_[u - 8 + k] != C(kHead[k])) return kNoPrefix;
                return start = u - 8, kQuickConnect;
            }
        }
        return kNoPrefix;
    }

    // Spans of the first three patterns, one run of word characters at a time.
    bool next_run_span(Span &out) {
        while (queued_ == 0) {
            size_t u = find_prefix_end(isa_, s_, underscore_from_, n_);
            if (u == kNone) {
                underscore_from_ = n_;
                return false;
            }
            size_t start = 0;
            Prefix kind = prefix_at(u, start);
            if (kind == kNoPrefix) {
                underscore_from_ = u + 1;
                continue;
            }
            // Earlier "_" of this run held no prefix, so this is the run's first of its kind.
            size_t first[3] = {kNone, kNone, kNone};
            first[kind] = start;
            size_t end = u + 1;
            for (;;) {
                end = word_stop(isa_, s_, end, n_);
                if (end == n_ || s_[end] != C('_')) break;
                Prefix k = prefix_at(end, start);
                if (k != kNoPrefix && first[k] == kNone) first[k] = start;
                ++end;
            }
            underscore_from_ = end;
            // Quick Connect needs one character after its prefix, "tc_" and "cs_" eight; each
            // later pattern only sees the run up to the earlier one's replacement.
            size_t limit = end;
            static constexpr size_t kMinLength[3] = {9 + 1, 3 + 8, 3 + 8};
            for (int k = kQuickConnect; k <= kCs; ++k) {
                if (first[k] == kNone || first[k] + kMinLength[k] > limit) continue;
                queue_[2 - queued_] = {first[k], limit};
                ++queued_;
                limit = first[k];
            }
        }
        out = queue_[3 - queued_];
        --queued_;
        return true;
    }

    // The next word "bearer" (any case) followed by white space; `token` is where the white space ends.
    bool next_bearer(Span &word, size_t &token) {
        for (;;) {
            size_t i = find_bearer_start(isa_, s_, bearer_from_, n_);
            if (i == kNone) {
                bearer_from_ = n_;
                return false;
            }
            bearer_from_ = i + 1;
            size_t j = i + 6;
            if (j >= n_ || !is_space(s_[j])) continue;
            while (j < n_ && is_space(s_[j])) ++j;
            word = {i, i + 6};
            token = j;
            bearer_from_ = j;
            return true;
        }
    }

    Isa isa_;
    const C *s_;
    size_t n_;
    size_t underscore_from_ = 0;
    Span queue_[3]{};
    int queued_ = 0;
    size_t bearer_from_ = 0;
    Span run_span_{};
    Span bearer_{};
    size_t bearer_token_ = 0;
    bool have_run_span_ = false;
    bool have_bearer_ = false;
    size_t emitted_end_ = 0;
};

// The spans of one text, from one scan. The first few stay in place; the rest go to blocks
// from the host's raw allocator (so tracemalloc sees them), 16 bytes a match, released with
// the Spans. Keeping them costs far less than scanning a second time to write.
template <typename C> class Spans {
  public:
    Spans(Isa isa, const C *s, size_t n, Py_UCS4 floor) {
        Scanner<C> scan(isa, s, n);
        Span sp;
        while (scan.next(sp)) {
            push(sp);
            removed_ += sp.end - sp.start;
            if (floor && !lost_wide_)
                for (size_t i = sp.start; i < sp.end; ++i)
                    if (Py_UCS4(s[i]) >= floor) lost_wide_ = true;
        }
    }
    ~Spans() {
        for (Span *block : blocks_) PyMem_RawFree(block);
    }
    Spans(const Spans &) = delete;
    Spans &operator=(const Spans &) = delete;

    size_t count() const { return count_; }
    size_t removed() const { return removed_; }
    // True when a replaced character needed the text's storage width (the result may be narrower).
    bool lost_wide() const { return lost_wide_; }

    template <typename F> void each(F &&f) const {
        size_t left = count_;
        for (size_t i = 0; i < kInline && left; ++i, --left) f(inline_[i]);
        for (const Span *block : blocks_)
            for (size_t i = 0; i < kBlock && left; ++i, --left) f(block[i]);
    }

  private:
    // Small enough for the stack of any thread the walk runs on.
    static constexpr size_t kInline = 256;
    static constexpr size_t kBlock = 4096;

    void push(const Span &sp) {
        if (count_ < kInline) {
            inline_[count_++] = sp;
            return;
        }
        size_t at = (count_ - kInline) % kBlock;
        if (at == 0) {
            blocks_.push_back(nullptr); // first, so a failure here leaks nothing
            blocks_.back() = static_cast<Span *>(PyMem_RawMalloc(kBlock * sizeof(Span)));
            if (!blocks_.back()) {
                blocks_.pop_back();
                PyErr_NoMemory();
                throw nb::python_error();
            }
        }
        blocks_.back()[at] = sp;
        ++count_;
    }

    Span inline_[kInline];
    std::vector<Span *> blocks_;
    size_t count_ = 0;
    size_t removed_ = 0;
    bool lost_wide_ = false;
};

// "<redacted>" in each storage width.
template <typename D> constexpr std::array<D, kReplacementLen> widened_replacement() {
    std::array<D, kReplacementLen> out{};
    for (size_t k = 0; k < kReplacementLen; ++k) out[k] = D(kReplacement[k]);
    return out;
}
template <typename D> constexpr std::array<D, kReplacementLen> kReplacementOf = widened_replacement<D>();

template <typename Src, typename Dst> Dst *copy_chars(const Src *from, const Src *to, Dst *out) {
    if constexpr (sizeof(Src) == sizeof(Dst)) {
        size_t n = size_t(to - from);
        if (n) std::memcpy(out, from, n * sizeof(Dst));
        return out + n;
    } else {
        while (from < to) *out++ = static_cast<Dst>(*from++);
        return out;
    }
}

template <typename Src, typename Dst> void write_redacted(const Src *s, size_t n, const Spans<Src> &spans, Dst *out) {
    size_t at = 0;
    spans.each([&](const Span &sp) {
        out = copy_chars(s + at, s + sp.start, out);
        std::memcpy(out, kReplacementOf<Dst>.data(), sizeof(kReplacementOf<Dst>));
        out += kReplacementLen;
        at = sp.end;
    });
    copy_chars(s + at, s + n, out);
}

// Asks for huge pages under a result too large for the allocator to reuse memory for (it maps
// such blocks afresh): faulting in 4 KiB pages one by one costs more than the redaction itself.
// Only whole 2 MiB pages inside the block are marked; the kernel may decline.
void prefer_huge_pages(void *data, size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr size_t kHuge = size_t(2) << 20, kFrom = size_t(32) << 20;
    if (bytes < kFrom) return;
    uintptr_t lo = (reinterpret_cast<uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
    uintptr_t hi = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(kHuge - 1);
    if (hi > lo) madvise(reinterpret_cast<void *>(lo), hi - lo, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

// Text with no match comes back as is: the same object for a plain str and a plain copy for
// a subclass, as the host's re.sub gives.
nb::object unchanged_text(PyObject *text) {
    PyObject *plain = PyUnicode_FromObject(text);
    if (!plain) throw nb::python_error();
    return nb::steal(plain);
}

template <typename C> nb::object redact_chars(PyObject *text, const C *s, size_t n) {
    const bool ascii = PyUnicode_IS_ASCII(text);
    // The width a character of this text can need, below which replacing it changes nothing.
    Py_UCS4 floor = ascii ? 0 : sizeof(C) == 1 ? 0x80 : sizeof(C) == 2 ? 0x100 : 0;
    Spans<C> spans(simd::active_isa(), s, n, floor);
    if (spans.count() == 0) return unchanged_text(text);

    // The result keeps the canonical (narrowest) storage the host requires of a str.
    Py_UCS4 maxchar = ascii ? 0x7F : sizeof(C) == 1 ? 0xFF : sizeof(C) == 2 ? 0xFFFF : 0x10FFFF;
    if (spans.lost_wide()) {
        maxchar = 0;
        size_t at = 0;
        auto widest = [&](size_t from, size_t to) {
            for (size_t i = from; i < to; ++i)
                if (Py_UCS4(s[i]) > maxchar) maxchar = Py_UCS4(s[i]);
        };
        spans.each([&](const Span &sp) {
            widest(at, sp.start);
            at = sp.end;
        });
        widest(at, n);
    }
    size_t out_len = n - spans.removed() + spans.count() * kReplacementLen;
    PyObject *out = PyUnicode_New(Py_ssize_t(out_len), maxchar);
    if (!out) throw nb::python_error();
    prefer_huge_pages(PyUnicode_DATA(out), out_len * PyUnicode_KIND(out));
    switch (PyUnicode_KIND(out)) {
    case PyUnicode_1BYTE_KIND: write_redacted(s, n, spans, PyUnicode_1BYTE_DATA(out)); break;
    case PyUnicode_2BYTE_KIND: write_redacted(s, n, spans, PyUnicode_2BYTE_DATA(out)); break;
    default: write_redacted(s, n, spans, PyUnicode_4BYTE_DATA(out)); break;
    }
    return nb::steal(out);
}

// redact_text on a str: the host's re raises its own type error for anything else.
nb::object redact_text_value(PyObject *value) {
    if (!PyUnicode_Check(value)) {
        nb::object pattern = nb::borrow(PyList_GET_ITEM(g_patterns, 0));
        pattern.attr("sub")(nb::handle(g_redacted), nb::handle(value));
        throw nb::type_error("expected string or bytes-like object");
    }
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(value) < 0) throw nb::python_error();
#endif
    return kd::with_code_points(value, [&](const auto *s, size_t n) { return redact_chars(value, s, n); });
}

// ---------------------------------------------------------------------------
// Secret keys

// `s` already lower-cased (or folded here when `fold_ascii`); "-" counts as "_".
template <typename C> bool normalized_is_secret(const C *s, size_t n, bool fold_ascii) {
    auto at = [&](size_t i) {
        Py_UCS4 c = s[i];
        if (c == '-') return Py_UCS4('_');
        if (fold_ascii && c >= 'A' && c <= 'Z') return c + 0x20;
        return c;
    };
    auto equals_from = [&](size_t from, std::string_view name) {
        for (size_t k = 0; k < name.size(); ++k)
            if (at(from + k) != Py_UCS4(static_cast<unsigned char>(name[k]))) return false;
        return true;
    };
    for (std::string_view name : kSecretKeys)
        if (name.size() == n && equals_from(0, name)) return true;
    return (n >= 6 && equals_from(n - 6, "_token")) || (n >= 7 && equals_from(n - 7, "_secret"));
}

bool str_is_secret(PyObject *text) {
    return kd::with_code_points(text, [&](const auto *s, size_t n) { return normalized_is_secret(s, n, true); });
}

// `key.lower().replace("-", "_")`, then the set and the two suffixes, through the key's own
// methods: a str subclass keeps its overrides and a non-text key fails as it would in Python.
bool is_secret_key(PyObject *key) {
    if (PyUnicode_CheckExact(key)) {
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(key) < 0) throw nb::python_error();
#endif
        if (PyUnicode_IS_ASCII(key)) return str_is_secret(key);
        // Full Unicode lower-casing (the Kelvin sign becomes "k", for one) is the host's.
        nb::object lowered = nb::borrow(key).attr("lower")();
        if (PyUnicode_CheckExact(lowered.ptr())) {
            return kd::with_code_points(lowered, [&](const auto *s, size_t n) {
                return normalized_is_secret(s, n, false);
            });
        }
    }
    nb::object normalized = nb::borrow(key).attr("lower")().attr("replace")("-", "_");
    int listed = PySequence_Contains(g_secret_keys, normalized.ptr());
    if (listed < 0) throw nb::python_error();
    if (listed) return true;
    return kd::truthy(normalized.attr("endswith")("_token")) || kd::truthy(normalized.attr("endswith")("_secret"));
}

// ---------------------------------------------------------------------------
// The walk

// Where this thread's stack ends, less a margin for the host to unwind and report: the
// recursion limit may be raised past what the stack holds, and that must still end in
// RecursionError.
uintptr_t stack_floor() {
#if defined(__linux__)
    thread_local uintptr_t floor = [] {
        pthread_attr_t attr;
        void *addr = nullptr;
        size_t size = 0;
        if (pthread_getattr_np(pthread_self(), &attr) != 0) return uintptr_t(0);
        int rc = pthread_attr_getstack(&attr, &addr, &size);
        pthread_attr_destroy(&attr);
        // Half of a small stack (a thread's may be 128 KiB or less) is still left for that.
        constexpr size_t kMargin = 256 * 1024;
        if (rc != 0 || size == 0) return uintptr_t(0);
        return reinterpret_cast<uintptr_t>(addr) + std::min(kMargin, size / 2);
    }();
    return floor;
#else
    return 0;
#endif
}

[[noreturn]] void raise_too_deep() {
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while redacting");
    throw nb::python_error();
}

class Walk {
  public:
    Walk() : limit_(Py_GetRecursionLimit()), floor_(stack_floor()) {}

    // The redacted copy of `value`; `key` is the dict key it was found under, or null.
    static nb::object run(PyObject *value, PyObject *key) {
        nb::object out = Walk().redact(value, key);
        retrack(out.ptr());
        return out;
    }

  private:
    nb::object redact(PyObject *value, PyObject *key) {
        if (key && is_secret(key)) return nb::borrow(g_redacted);
        if (PyUnicode_Check(value)) return redact_text_value(value);
        bool is_dict = PyDict_Check(value), is_list = !is_dict && PyList_Check(value),
             is_tuple = !is_dict && !is_list && PyTuple_Check(value);
        if (!is_dict && !is_list && !is_tuple) return nb::borrow(value);

        // One level of the host's recursion count per container, an explicit cap at the host's
        // limit (on 3.12+ the count above is a fixed C limit), and the stack's own end.
        kd::RecursionGuard guard(" while redacting");
        Depth depth(*this);
        nb::object out;
        if (is_dict)
            out = PyDict_CheckExact(value) ? plain_dict(value) : dict_items(value);
        else if (is_list)
            out = PyList_CheckExact(value) ? plain_list(value) : iterated(value, false);
        else
            out = PyTuple_CheckExact(value) ? plain_tuple(value) : iterated(value, true);
        // A finished container is kept from the collector until the whole copy is built:
        // nothing else can reach it, and collections that rescan a growing half-built copy
        // would otherwise cost more than the walk itself.
        PyObject_GC_UnTrack(out.ptr());
        return out;
    }

    // Hands the finished copy to the collector. Every plain container in it that is not
    // tracked was built by the walk, since each container of the input is rebuilt. A dict
    // is tracked only when it holds a collectable value, as the host's own dicts are.
    static void retrack(PyObject *obj) {
        bool is_dict = PyDict_CheckExact(obj);
        if (!(is_dict || PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) || PyObject_GC_IsTracked(obj)) return;
        bool holds_collectable = !is_dict;
        auto visit = [&](PyObject *child) {
            retrack(child);
            if (PyObject_IS_GC(child)) holds_collectable = true;
        };
        if (is_dict) {
            Py_ssize_t pos = 0;
            PyObject *k, *v;
            while (PyDict_Next(obj, &pos, &k, &v)) visit(v);
        } else if (PyList_CheckExact(obj)) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) visit(PyList_GET_ITEM(obj, i));
        } else {
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(obj); ++i) visit(PyTuple_GET_ITEM(obj, i));
        }
        if (holds_collectable) PyObject_GC_Track(obj);
    }

  private:
    struct Depth {
        explicit Depth(Walk &w) : w_(w) {
            char here;
            if (++w_.depth_ > w_.limit_ || reinterpret_cast<uintptr_t>(&here) < w_.floor_) {
                --w_.depth_;
                raise_too_deep();
            }
        }
        ~Depth() { --w_.depth_; }
        Walk &w_;
    };

    // `if key and _is_secret_key(key)`: an empty key is never tested.
    static bool is_secret(PyObject *key) {
        if (PyUnicode_CheckExact(key)) {
            if (PyUnicode_GET_LENGTH(key) == 0) return false;
        } else if (!kd::truthy(key)) {
            return false;
        }
        return is_secret_key(key);
    }

    static nb::object text_form(PyObject *key) {
        if (PyUnicode_CheckExact(key)) return nb::borrow(key);
        return kd::text_of(key);
    }

    void put(PyObject *out, PyObject *key, PyObject *value) {
        nb::object text_key = text_form(key);
        nb::object redacted = redact(value, text_key.ptr());
        if (PyDict_SetItem(out, text_key.ptr(), redacted.ptr()) < 0) throw nb::python_error();
    }

    static void check_size(PyObject *dict, Py_ssize_t used) {
        if (PyDict_GET_SIZE(dict) != used) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            throw nb::python_error();
        }
    }

    // A plain dict with str keys only is copied (the host clones its table at once) and the
    // copy's values replaced in place. The input's size is checked before each step, as the
    // host's dict iterator does, since code run by the walk (a key's __str__ further down)
    // may change it.
    nb::object plain_dict(PyObject *dict) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(dict, &pos, &k, &v))
            if (!PyUnicode_CheckExact(k)) return rebuilt_dict(dict);
        nb::object out = nb::steal(PyDict_Copy(dict));
        if (!out) throw nb::python_error();
        const Py_ssize_t used = PyDict_GET_SIZE(dict);
        pos = 0;
        for (;;) {
            check_size(dict, used);
            if (!PyDict_Next(out.ptr(), &pos, &k, &v)) break;
            nb::object redacted = redact(v, k); // the copy holds k and v until v is replaced
            if (redacted.ptr() != v && PyDict_SetItem(out.ptr(), k, redacted.ptr()) < 0) throw nb::python_error();
        }
        return out;
    }

    // Other keys need their text forms, so the dict is rebuilt entry by entry.
    nb::object rebuilt_dict(PyObject *dict) {
        nb::object out = nb::steal(PyDict_New());
        if (!out) throw nb::python_error();
        const Py_ssize_t used = PyDict_GET_SIZE(dict);
        Py_ssize_t remaining = used, pos = 0;
        PyObject *k, *v;
        for (;;) {
            check_size(dict, used);
            if (!PyDict_Next(dict, &pos, &k, &v)) break;
            if (remaining-- == 0) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
                throw nb::python_error();
            }
            nb::object key = nb::borrow(k), value = nb::borrow(v);
            put(out.ptr(), key.ptr(), value.ptr());
        }
        return out;
    }

    // A dict subclass is read through its items(), as `for k, v in value.items()` would.
    nb::object dict_items(PyObject *dict) {
        nb::object out = nb::steal(PyDict_New());
        if (!out) throw nb::python_error();
        nb::object items = nb::borrow(dict).attr("items")();
        nb::object it = nb::steal(PyObject_GetIter(items.ptr()));
        if (!it) throw nb::python_error();
        while (PyObject *raw = PyIter_Next(it.ptr())) {
            nb::object item = nb::steal(raw);
            nb::object key, value;
            unpack_pair(item, key, value);
            put(out.ptr(), key.ptr(), value.ptr());
        }
        if (PyErr_Occurred()) throw nb::python_error();
        return out;
    }

    static void unpack_pair(nb::handle item, nb::object &first, nb::object &second) {
        if (PyTuple_CheckExact(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == 2) {
            first = nb::borrow(PyTuple_GET_ITEM(item.ptr(), 0));
            second = nb::borrow(PyTuple_GET_ITEM(item.ptr(), 1));
            return;
        }
        PyObject *raw_it = PyObject_GetIter(item.ptr());
        if (!raw_it) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %s object", Py_TYPE(item.ptr())->tp_name);
            throw nb::python_error();
        }
        nb::object it = nb::steal(raw_it);
        nb::object got[3];
        int n = 0;
        for (; n < 3; ++n) {
            PyObject *raw = PyIter_Next(it.ptr());
            if (!raw) break;
            got[n] = nb::steal(raw);
        }
        if (PyErr_Occurred()) throw nb::python_error();
        if (n < 2) {
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", n);
            throw nb::python_error();
        }
        if (n > 2) {
            PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
            throw nb::python_error();
        }
        first = got[0];
        second = got[1];
    }

    // A plain list is copied and the copy's items replaced in place.
    nb::object plain_list(PyObject *list) {
        nb::object out = nb::steal(PyList_GetSlice(list, 0, PyList_GET_SIZE(list)));
        if (!out) throw nb::python_error();
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(out.ptr()); ++i) {
            PyObject *item = PyList_GET_ITEM(out.ptr(), i);
            nb::object redacted = redact(item, nullptr);
            if (redacted.ptr() == item) continue;
            PyList_SET_ITEM(out.ptr(), i, redacted.release().ptr());
            Py_DECREF(item);
        }
        return out;
    }

    // Filled in place while the collector cannot see it, so no one meets its empty slots.
    nb::object plain_tuple(PyObject *tuple) {
        Py_ssize_t n = PyTuple_GET_SIZE(tuple);
        nb::object out = nb::steal(PyTuple_New(n));
        if (!out) throw nb::python_error();
        PyObject_GC_UnTrack(out.ptr());
        for (Py_ssize_t i = 0; i < n; ++i)
            PyTuple_SET_ITEM(out.ptr(), i, redact(PyTuple_GET_ITEM(tuple, i), nullptr).release().ptr());
        return out;
    }

    // Subclasses are iterated through the host protocol, so their own __iter__ is honoured.
    nb::object iterated(PyObject *seq, bool as_tuple) {
        nb::object out = nb::steal(PyList_New(0));
        if (!out) throw nb::python_error();
        nb::object it = nb::steal(PyObject_GetIter(seq));
        if (!it) throw nb::python_error();
        while (PyObject *raw = PyIter_Next(it.ptr())) {
            nb::object item = nb::steal(raw);
            nb::object redacted = redact(item.ptr(), nullptr);
            if (PyList_Append(out.ptr(), redacted.ptr()) < 0) throw nb::python_error();
        }
        if (PyErr_Occurred()) throw nb::python_error();
        if (!as_tuple) return out;
        PyObject *tuple = PyList_AsTuple(out.ptr());
        if (!tuple) throw nb::python_error();
        return nb::steal(tuple);
    }

    int depth_ = 0;
    int limit_;
    uintptr_t floor_;
};

// ---------------------------------------------------------------------------
// Python-visible functions

nb::object one_argument(const char *fn, nb::handle args, nb::handle kwargs) {
    return kd::bind_args(fn, {{"value"}}, args, kwargs)[0];
}

nb::object is_secret_key_fn(nb::handle, nb::handle args, nb::handle kwargs) {
    nb::object key = kd::bind_args("_is_secret_key", {{"key"}}, args, kwargs)[0];
    return nb::bool_(is_secret_key(key.ptr()));
}

nb::object redact_text_fn(nb::handle, nb::handle args, nb::handle kwargs) {
    return redact_text_value(one_argument("redact_text", args, kwargs).ptr());
}

nb::object redact_fn(nb::handle, nb::handle args, nb::handle kwargs) {
    auto bound = kd::bind_args("redact", {{"value"}, {"key", true, false, nb::str("")}}, args, kwargs);
    return Walk::run(bound[0].ptr(), bound[1].ptr());
}

nb::object redact_dict_fn(nb::handle, nb::handle args, nb::handle kwargs) {
    return Walk::run(one_argument("redact_dict", args, kwargs).ptr(), nullptr);
}

nb::object redact_list_fn(nb::handle, nb::handle args, nb::handle kwargs) {
    return Walk::run(one_argument("redact_list", args, kwargs).ptr(), nullptr);
}

// The instruction sets the scanner may use on this machine, and the one it uses: every one
// gives the same results, and the tests and the fuzz target run each of them.
nb::object scan_isas_fn(nb::handle, nb::handle args, nb::handle kwargs) {
    kd::bind_args("_scan_isas", {}, args, kwargs);
    nb::list names;
    for (int isa = int(Isa::kScalar); isa <= int(simd::best_isa()); ++isa) names.append(nb::str(simd::isa_name(Isa(isa))));
    return nb::tuple(names);
}

nb::object scan_isa_fn(nb::handle, nb::handle args, nb::handle kwargs) {
    kd::bind_args("_scan_isa", {}, args, kwargs);
    return nb::str(simd::isa_name(simd::active_isa()));
}

nb::object set_scan_isa_fn(nb::handle, nb::handle args, nb::handle kwargs) {
    nb::object name = kd::bind_args("_set_scan_isa", {{"name"}}, args, kwargs)[0];
    for (int isa = int(Isa::kScalar); isa <= int(Isa::kAvx2); ++isa) {
        if (!nb::str(simd::isa_name(Isa(isa))).equal(name)) continue;
        if (!simd::use_isa(Isa(isa)))
            throw nb::value_error(("this machine cannot run the " + std::string(simd::isa_name(Isa(isa))) +
                                   " scanner")
                                      .c_str());
        return nb::none();
    }
    throw nb::value_error("unknown scanner instruction set (expected one of _scan_isas())");
}

} // namespace

KAVRI_MODULE(redaction, m) {
    kd::init_native_function_type(m);
    m.doc() = "Redact credentials from diagnostic output: values under secret-looking keys, and\n"
              "Quick Connect, \"tc_\", \"cs_\" and bearer tokens in text.";

    // Constants, built once
    g_redacted = nb::str(kReplacement).release().ptr();
    nb::object names = nb::steal(PyFrozenSet_New(nullptr));
    for (std::string_view name : kSecretKeys)
        if (PySet_Add(names.ptr(), nb::str(name.data(), name.size()).ptr()) < 0) throw nb::python_error();
    g_secret_keys = names.release().ptr();
    nb::object re = kd::import_module("re");
    nb::object compile = re.attr("compile");
    nb::list patterns;
    patterns.append(compile("kavri_ct_[A-Za-z0-9_-]+"));
    patterns.append(compile("tc_[A-Za-z0-9_-]{8,}"));
    patterns.append(compile("cs_[A-Za-z0-9_-]{8,}"));
    patterns.append(compile("Bearer\\s+[A-Za-z0-9._~+/=-]+", re.attr("IGNORECASE")));
    g_patterns = patterns.release().ptr();
    m.attr("_REDACTED") = nb::handle(g_redacted);
    m.attr("_SECRET_KEYS") = nb::handle(g_secret_keys);
    m.attr("_TOKEN_PATTERNS") = nb::handle(g_patterns);

    auto def = [&](const char *name, kd::NativeFn fn, const char *signature, const char *doc) {
        nb::object f = kd::make_function(fn, nb::none(), {name, name, doc, "kavri_cloud.redaction"});
        nb::setattr(f, "__text_signature__", nb::str(signature)); // for inspect.signature
        m.attr(name) = f;
    };

    // Key rule
    def("_is_secret_key", is_secret_key_fn, "(key)",
        "True when the key, lower-cased with \"-\" read as \"_\", is a secret name or ends in\n"
        "\"_token\" or \"_secret\".");

    // Text and structures
    def("redact_text", redact_text_fn, "(value)",
        "Replace Quick Connect, \"tc_\", \"cs_\" and bearer tokens in the text with \"<redacted>\".");
    def("redact", redact_fn, "(value, *, key='')",
        "A redacted copy of value: secret-keyed values become \"<redacted>\", text is scanned,\n"
        "dicts, lists and tuples are rebuilt as plain ones, anything else is returned as is.");
    def("redact_dict", redact_dict_fn, "(value)", "redact(value), for a dictionary.");
    def("redact_list", redact_list_fn, "(value)", "redact(value), for a list.");

    // Scanner instruction sets (chosen at load: the widest the CPU runs)
    def("_scan_isas", scan_isas_fn, "()", "The instruction sets the text scanner can use here, narrowest first.");
    def("_scan_isa", scan_isa_fn, "()", "The instruction set the text scanner uses.");
    def("_set_scan_isa", set_scan_isa_fn, "(name)",
        "Make the text scanner use the named instruction set (one of _scan_isas()); for tests.");
}
