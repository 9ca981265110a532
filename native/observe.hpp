// Hooks into kavri_cloud._observe, the one place that knows OpenTelemetry: a span per approval
// wait (start, request created or resumed, each poll, the end) and the middleware's verdict and
// action. Each hook is one call into that module; when tracing is off the start hooks return
// None and the others cost nothing. A hook's own failure is discarded: it never changes what a
// handler returns or raises.
#pragma once

#include <nanobind/nanobind.h>

#include <utility>

#include "native/host.hpp"

namespace kavri::detail::observe {

namespace nb = nanobind;

// kavri_cloud._observe, imported on first use and kept for the process's life.
inline nb::handle hooks() {
    static ProcessOnce module;
    return module.get([] {
        PyObject *m = PyImport_ImportModule("kavri_cloud._observe");
        if (!m) PyErr_Clear(); // without it nothing is traced
        return m;
    });
}

// Called by the handler factories: the hooks (and OpenTelemetry, where installed) are
// imported when the application builds its handler, not inside the first approval
// wait, where the import would stall the caller's event loop for milliseconds.
// Runs `fn`, dropping an ordinary error it raises; KeyboardInterrupt and the like propagate.
template <typename Fn> void quietly(Fn &&fn) {
    try {
        fn();
    } catch (nb::python_error &err) {
        if (!is_ordinary_error(err)) throw;
    } catch (nb::builtin_exception &) {
    }
}

inline void prepare() {
    if (hooks().is_valid()) quietly([] { hooks().attr("enabled")(); });
}

inline nb::object start(const char *hook, nb::handle a, nb::handle b) {
    nb::object recorder = nb::none();
    if (!hooks().is_valid()) return recorder;
    quietly([&] { recorder = hooks().attr(hook)(a, b); });
    return recorder;
}

// Ends a recorder that was never finished explicitly (an error no handler path caught,
// or a coroutine closed before it ran): the span still ends, as an error. Never throws.
inline void abandon(nb::object &rec) {
    if (!rec.is_valid() || rec.is_none()) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyObject *r = PyObject_CallMethod(rec.ptr(), "abandon", nullptr);
    if (r) Py_DECREF(r);
    else PyErr_Clear();
    PyErr_Restore(type, value, tb);
    rec = nb::none();
}

// One approval wait of a handler. Whatever path leaves the handler, the span ends once.
class Wait {
  public:
    // `handler`: "blocking", "asyncio", "langgraph" or "temporal"; `request`: the SDK's request.
    static Wait start(const char *handler, nb::handle request) {
        return Wait(observe::start("start_wait", nb::str(handler), request));
    }
    Wait(Wait &&other) noexcept : rec_(std::move(other.rec_)) { other.rec_ = nb::none(); }
    Wait(const Wait &) = delete;
    Wait &operator=(const Wait &) = delete;
    Wait &operator=(Wait &&) = delete;
    ~Wait() { abandon(rec_); }

    explicit operator bool() const { return rec_.is_valid() && !rec_.is_none(); }

    // The request exists; `origin` "created" or "resumed" where the handler tells them apart.
    void request(nb::handle request_id, const char *origin = nullptr, nb::handle url = nb::none(),
                 nb::handle status = nb::none(), nb::handle record = nb::none()) {
        if (!*this) return;
        quietly([&] {
            rec_.attr("request")(request_id, origin ? nb::object(nb::str(origin)) : nb::none(), url, status, record);
        });
    }
    void poll(nb::handle status, nb::handle record = nb::none()) {
        if (*this) quietly([&] { rec_.attr("poll")(status, record); });
    }
    // An outcome the handler decides itself, before it raises (its own deadline).
    void outcome(const char *outcome) {
        if (*this) quietly([&] { rec_.attr("outcome")(nb::str(outcome)); });
    }
    void finish(nb::handle result) { end(result, nb::none()); }
    void fail(const nb::python_error &err) { end(nb::none(), err.value()); }
    void fail(nb::handle exc) { end(nb::none(), exc); }

  private:
    explicit Wait(nb::object rec) : rec_(std::move(rec)) {}
    void end(nb::handle result, nb::handle error) {
        if (!*this) return;
        nb::object rec = std::move(rec_);
        rec_ = nb::none();
        quietly([&] { rec.attr("finish")(result, error); });
    }
    nb::object rec_;
};

// A poll of the wait in progress in this context, for poll loops that several handlers share.
inline void poll_current(nb::handle status, nb::handle record) {
    if (hooks().is_valid()) quietly([&] { hooks().attr("poll")(status, record); });
}

// The middleware's span around one tool call, current while the call runs.
class Guard {
  public:
    static Guard start(nb::handle request, bool observe) {
        return Guard(observe::start("start_guard", request, nb::bool_(observe)));
    }
    Guard(Guard &&other) noexcept : rec_(std::move(other.rec_)) { other.rec_ = nb::none(); }
    Guard(const Guard &) = delete;
    Guard &operator=(const Guard &) = delete;
    Guard &operator=(Guard &&) = delete;
    ~Guard() { abandon(rec_); }

    explicit operator bool() const { return rec_.is_valid() && !rec_.is_none(); }

    // The SDK's verdict (a denial message or not) and the mode that decides the action.
    void decided(bool denied, bool observe, nb::handle reason = nb::none()) {
        if (*this) quietly([&] { rec_.attr("decided")(nb::bool_(denied), nb::bool_(observe), reason); });
    }
    void finish() { end(nb::none()); }
    void fail(const nb::python_error &err) { end(err.value()); }

  private:
    explicit Guard(nb::object rec) : rec_(std::move(rec)) {}
    void end(nb::handle error) {
        if (!*this) return;
        nb::object rec = std::move(rec_);
        rec_ = nb::none();
        quietly([&] { rec.attr("finish")(error); });
    }
    nb::object rec_;
};

} // namespace kavri::detail::observe
