// Logging through the host's `logging`: real LogRecords, %-style arguments, `extra` fields.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>

namespace kavri::detail {

namespace nb = nanobind;

enum class Level : int { Debug = 10, Info = 20, Warning = 30, Error = 40 };

inline nb::object get_logger(const char *name) {
    return nb::module_::import_("logging").attr("getLogger")(name);
}

// logger.log(level, msg, *args, extra=extra); `extra` is skipped when empty.
// The level check comes first so that a disabled record costs one call.
inline void log(nb::handle logger, Level level, const char *msg,
                std::initializer_list<nb::handle> args = {}, nb::handle extra = nb::handle()) {
    nb::object enabled = logger.attr("isEnabledFor")(int(level));
    if (!PyObject_IsTrue(enabled.ptr())) return;
    nb::list call_args;
    call_args.append(int(level));
    call_args.append(nb::str(msg));
    for (nb::handle a : args) call_args.append(a);
    nb::object fn = logger.attr("log");
    if (extra.is_valid() && !extra.is_none()) {
        nb::dict kwargs;
        kwargs["extra"] = extra;
        fn(*nb::tuple(call_args), **kwargs);
    } else {
        fn(*nb::tuple(call_args));
    }
}

} // namespace kavri::detail
