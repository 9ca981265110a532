// The module entry point: nanobind's NB_MODULE (as of nanobind 3.1, the pinned version), except
// that an error raised while the module body runs leaves the import as itself. NB_MODULE wraps every one in
// ImportError("Encountered an error while initializing the extension."), so `except ImportError`
// (the usual test for an optional extra) would take a broken dependency for a missing one.
#pragma once

#include <nanobind/nanobind.h>

#include "native/callable.hpp"

#define KAVRI_MODULE_IMPL(name, variable)                                                                  \
    static void kavri_##name##_exec_impl(nanobind::module_);                                              \
    static int kavri_##name##_exec(PyObject *m) {                                                         \
        nanobind::detail::internals = NB_CALL(nb_module_init)(NB_DOMAIN_STR, m);                          \
        if (!nanobind::detail::internals) return -1;                                                      \
        try {                                                                                             \
            kavri_##name##_exec_impl(nanobind::borrow<nanobind::module_>(m));                             \
            return 0;                                                                                     \
        } catch (...) {                                                                                   \
            kavri::detail::set_error_from_current_exception(); /* the error's own kind and cause */      \
        }                                                                                                 \
        return -1;                                                                                        \
    }                                                                                                     \
    static PyObject *kavri_##name##_def = nullptr;                                                        \
    extern "C" [[maybe_unused]] NB_EXPORT PyObject *PyInit_##name(void);                                  \
    extern "C" PyObject *PyInit_##name(void) {                                                            \
        nanobind::detail::init_singletons();                                                              \
        if (!nanobind::detail::nb_backend_init(#name)) return nullptr;                                    \
        if (!kavri_##name##_def)                                                                          \
            kavri_##name##_def = NB_CALL(module_new)(#name, nullptr, (void *)kavri_##name##_exec,         \
                                                     NB_ABI_MINOR_TAG);                                   \
        return kavri_##name##_def;                                                                        \
    }                                                                                                     \
    void kavri_##name##_exec_impl(nanobind::module_ variable)

// Use as NB_MODULE: `KAVRI_MODULE(approval, m) { ... }`.
#define KAVRI_MODULE(name, variable) KAVRI_MODULE_IMPL(name, variable)
