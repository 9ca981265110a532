// kavri_cloud.payload_forge: turns an SDK ApprovalRequest into the attested create-request body.
// Calls the package's KavriCloudError, kavri.decorators.key_scope and kavri_core's attestation builder.
#include <nanobind/nanobind.h>

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "contracts/core.hpp"
#include "contracts/exceptions.hpp"
#include "contracts/sdk.hpp"
#include "native/callable.hpp"
#include "native/errors.hpp"
#include "native/module.hpp"
#include "native/host.hpp"
#include "native/logging.hpp"

namespace nb = nanobind;
namespace kd = kavri::detail;
namespace core_api = kavri::contracts::core;
namespace errors_api = kavri::contracts::exceptions;
namespace sdk_api = kavri::contracts::sdk;
using namespace nb::literals;

namespace {

constexpr const char *kModuleName = "kavri_cloud.payload_forge";

const char *const kHolderKeyRequired =
    "request.holder_key is required for cloud approval - ensure the warrant is bound before enforcement";
const char *const kAttestationRequired =
    "approval attestation required - pass signing_key= to cloud_approval() or ensure the warrant is bound "
    "so key_scope() resolves the holder key";
const char *const kRequestHashType = "request.request_hash must be bytes or hex string";
const char *const kRequestHashUnresolved = "request_hash could not be resolved for approval request";

// The module object, borrowed: it outlives every call into it.
PyObject *g_module = nullptr;

nb::object mod_attr(const char *name) { return kd::module_attr(g_module, name); }

[[noreturn]] void raise_cloud_error(const char *message) {
    kd::raise_error(mod_attr(errors_api::kKavriCloudError), message);
}

// Attribute, key and module names used on every build.
namespace names {
const kd::Name holder_key{"holder_key"}, args_canonical_cbor_b64{"args_canonical_cbor_b64"},
    approval_context_attestation{"approval_context_attestation"}, request_hash{"request_hash"},
    warrant_id{"warrant_id"}, tool{"tool"}, arguments{"arguments"}, idempotency_key{"idempotency_key"},
    required_approvers{"required_approvers"}, min_approvals{"min_approvals"}, ttl_seconds{"ttl_seconds"},
    gate_ttl{"gate_ttl"}, policy_id{"policy_id"}, policy_ref{"policy_ref"}, to_bytes{"to_bytes"},
    metadata{"metadata"}, threshold{"threshold"}, approver_keys{"approver_keys"}, signing_key{"signing_key"};
const kd::Name decorators{sdk_api::kDecoratorsModule}, key_scope{sdk_api::kKeyScope}, core{core_api::kModule},
    build_attestation{core_api::kBuildAttestation}, collections_abc{"collections.abc"}, mapping{"Mapping"};
} // namespace names

// ---------------------------------------------------------------------------
// Small host helpers

nb::bytes empty_bytes() { return nb::bytes("", 0); }

// bytes(value) of bytes or a bytearray: bytes are immutable, so exact bytes are their own copy.
nb::object bytes_of(nb::handle value) {
    if (PyBytes_CheckExact(value.ptr())) return nb::borrow(value);
    return kd::bytes_copy(value);
}

// dict(value): a new plain dict, whatever mapping or pair iterable it came from.
nb::object dict_of(nb::handle value) {
    PyObject *d = PyDict_CheckExact(value.ptr())
                      ? PyDict_Copy(value.ptr())
                      : PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyDict_Type), value.ptr());
    if (!d) throw nb::python_error();
    return nb::steal(d);
}

bool is_mapping(nb::handle value) {
    if (PyDict_Check(value.ptr())) return true;
    if (value.is_none()) return false;
    return kd::is_instance(value, kd::import_from(names::collections_abc, names::mapping));
}

// The text form of an attestation's "request_hash" entry, decoded as hexadecimal.
nb::bytes hex_of_text_form(nb::handle entry) { return kd::hex_to_bytes(kd::text_of(entry)); }

// ---------------------------------------------------------------------------
// Internal operations. Each is also a module function; the builder reads the module
// attribute at each use, as a Python module's globals are read, and runs the C++ body
// directly while the attribute still holds the module's own function.

enum Op {
    ResolveHolderKey,
    ResolveSigningKey,
    NormalizeRequestHash,
    ExtractPolicyId,
    ExtractInlineRules,
    BuildAttestationFields,
    OpCount
};
const kd::Name kOpNames[OpCount] = {
    kd::Name("_resolve_holder_key"), kd::Name("_resolve_signing_key"),  kd::Name("_normalize_request_hash"),
    kd::Name("_extract_policy_id"),  kd::Name("_extract_inline_rules"), kd::Name("_build_attestation_fields")};
PyObject *g_originals[OpCount] = {}; // strong references, kept for the process's life

// The replacement a caller installed, or an invalid handle while the module's own function is in place.
nb::object replaced(Op op) {
    PyObject *current = PyDict_GetItemWithError(PyModule_GetDict(g_module), kOpNames[op].get().ptr()); // borrowed
    if (current == g_originals[op]) return nb::object();
    if (!current) {
        if (PyErr_Occurred()) throw nb::python_error();
        return nb::getattr(nb::handle(g_module), kOpNames[op].get()); // deleted: fails as a missing global would
    }
    return nb::borrow(current);
}

nb::object normalize_request_hash(nb::handle value) {
    if (kd::is_bytes_like(value)) return bytes_of(value);
    if (kd::is_text(value)) return kd::hex_to_bytes(value);
    raise_cloud_error(kRequestHashType);
}

nb::object normalize_request_hash_op(nb::handle value) {
    if (nb::object fn = replaced(NormalizeRequestHash); fn.is_valid()) return fn(value);
    return normalize_request_hash(value);
}

nb::object resolve_holder_key(nb::handle request) {
    nb::object holder = kd::attr_or_none(request, names::holder_key);
    if (holder.is_none()) return empty_bytes();
    if (kd::is_bytes_like(holder)) return bytes_of(holder);
    if (kd::is_text(holder)) return kd::hex_to_bytes(holder);
    auto to_bytes = kd::get_attr(holder, names::to_bytes);
    if (to_bytes && PyCallable_Check(to_bytes->ptr())) return (*to_bytes)();
    return empty_bytes();
}

nb::object resolve_signing_key(nb::handle explicit_key) {
    if (!explicit_key.is_none()) return nb::borrow(explicit_key);
    try {
        return kd::import_from(names::decorators, names::key_scope)();
    } catch (nb::python_error &err) {
        // No SDK scope means no key; interruptions and exit requests still propagate.
        if (kd::is_import_error(err)) return nb::none();
        if (!kd::is_ordinary_error(err)) throw;
        kd::log(mod_attr("logger"), kd::Level::Debug, "key_scope unavailable: %s", {kd::error_value(err)});
        return nb::none();
    }
}

nb::object extract_policy_id(nb::handle request, nb::handle override_id) {
    if (kd::truthy(override_id)) return nb::borrow(override_id);
    for (const kd::Name *name : {&names::policy_id, &names::policy_ref}) {
        nb::object value = kd::attr_or_none(request, *name);
        if (kd::is_nonempty_text(value)) return value;
    }
    return nb::none();
}

nb::object approver_key(nb::handle key) {
    if (kd::is_bytes_like(key)) return kd::hex_text(key);
    if (kd::is_text(key)) return nb::borrow(key);
    return kd::text_of(key);
}

nb::object approver_keys_of(nb::handle approvers) {
    nb::list keys;
    if (PyList_CheckExact(approvers.ptr()) || PyTuple_CheckExact(approvers.ptr())) {
        // Indexed, no iterator object; the size is read at each step, as a list iterator
        // does, in case a key's text form changes the list.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(approvers.ptr()); ++i)
            keys.append(approver_key(nb::borrow(PySequence_Fast_GET_ITEM(approvers.ptr(), i))));
        return keys;
    }
    for (nb::handle key : approvers) keys.append(approver_key(key));
    return keys;
}

struct InlineRules {
    nb::object approver_keys, threshold, ttl;
};

InlineRules inline_rules(nb::handle request) {
    nb::object approvers = kd::attr_or_none(request, names::required_approvers);
    nb::object keys = kd::truthy(approvers) ? approver_keys_of(approvers) : nb::none();
    nb::object threshold = kd::attr_or_none(request, names::min_approvals);
    nb::object ttl = kd::attr_or_none(request, names::ttl_seconds);
    if (ttl.is_none()) {
        nb::object gate_ttl = kd::attr_or_none(request, names::gate_ttl);
        if (!gate_ttl.is_none()) {
            PyObject *seconds = PyNumber_Long(gate_ttl.ptr()); // int(gate_ttl)
            if (!seconds) throw nb::python_error();
            ttl = nb::steal(seconds);
        }
    }
    return {keys, threshold, ttl};
}

nb::object extract_inline_rules(nb::handle request) {
    InlineRules rules = inline_rules(request);
    return nb::make_tuple(rules.approver_keys, rules.threshold, rules.ttl);
}

// The holder key is part of the operation's surface but not of the attestation.
nb::object build_attestation_fields(nb::handle request, nb::handle signing_key, nb::handle /*holder_key*/) {
    nb::object build = kd::import_from(names::core, names::build_attestation);
    nb::object warrant_id = nb::getattr(request, names::warrant_id.get());
    nb::object tool = nb::getattr(request, names::tool.get());
    nb::object arguments = nb::getattr(request, names::arguments.get());
    nb::object public_key = core_api::public_key_of(signing_key);
    std::vector<nb::object> pair =
        kd::unpack(core_api::build_attestation(build, signing_key, warrant_id, tool, arguments, public_key), 2);
    nb::object attestation = dict_of(pair[1]);

    // A hash attribute that holds None is no hash: the attestation's own entry decides.
    nb::object own = kd::attr_or_none(request, names::request_hash);
    nb::object request_hash = own.is_none() ? nb::object(empty_bytes()) : normalize_request_hash_op(own);
    auto entry = kd::map_lookup(attestation, names::request_hash);
    if (entry && kd::truthy(*entry)) {
        // An entry that is not hexadecimal leaves the request's own hash in place.
        try {
            request_hash = hex_of_text_form(*entry);
        } catch (nb::python_error &err) {
            if (!err.matches(PyExc_ValueError) && !err.matches(PyExc_TypeError)) throw;
        } catch (nb::builtin_exception &err) {
            if (err.type() != nb::exception_type::value_error && err.type() != nb::exception_type::type_error)
                throw;
        }
    }
    return nb::make_tuple(pair[0], attestation, request_hash);
}

// ---------------------------------------------------------------------------
// ApprovalRequestPayload: a class built with type() whose fields are __slots__, so Python
// reads and sets them through the host's own member descriptors, and native code reads
// and writes them at the slot offsets those descriptors give.

enum FieldIndex {
    WarrantId,
    Tool,
    RequestHash,
    HolderKey,
    ArgsCbor,
    Attestation,
    Metadata,
    PolicyId,
    Threshold,
    ApproverKeys,
    TtlSeconds,
    IdempotencyKey,
    FieldCount
};
constexpr size_t kRequiredFields = 6; // the first six have no default

const kd::Name *const kFieldNames[FieldCount] = {
    &names::warrant_id, &names::tool, &names::request_hash, &names::holder_key, &names::args_canonical_cbor_b64,
    &names::approval_context_attestation, &names::metadata, &names::policy_id, &names::threshold,
    &names::approver_keys, &names::ttl_seconds, &names::idempotency_key};

using Fields = std::array<nb::object, FieldCount>;

PyObject *g_record_type = nullptr;     // strong reference, kept for the process's life
Py_ssize_t g_offsets[FieldCount] = {}; // of each field's slot in an instance

PyObject *&slot(PyObject *record, size_t i) {
    return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(record) + g_offsets[i]);
}

// Methods are found through the class, but can be called unbound with anything.
void require_record(nb::handle self, const char *method) {
    if (PyObject_TypeCheck(self.ptr(), reinterpret_cast<PyTypeObject *>(g_record_type))) return;
    std::string msg = std::string("ApprovalRequestPayload.") + method + "() needs an ApprovalRequestPayload, not " +
                      Py_TYPE(self.ptr())->tp_name;
    throw nb::type_error(msg.c_str());
}

// A field's value; an unset slot raises the host's own AttributeError.
nb::object field(nb::handle record, size_t i) {
    if (PyObject *value = slot(record.ptr(), i)) return nb::borrow(value);
    return nb::getattr(record, kFieldNames[i]->get());
}

nb::object new_record(Fields &&values) {
    auto *type = reinterpret_cast<PyTypeObject *>(g_record_type);
    PyObject *record = type->tp_alloc(type, 0);
    if (!record) throw nb::python_error();
    for (size_t i = 0; i < FieldCount; ++i) slot(record, i) = values[i].release().ptr();
    return nb::steal(record);
}

nb::object fields_tuple(nb::handle record) {
    nb::object items[FieldCount];
    for (size_t i = 0; i < FieldCount; ++i) items[i] = field(record, i);
    PyObject *t = PyTuple_New(Py_ssize_t(FieldCount));
    if (!t) throw nb::python_error();
    for (size_t i = 0; i < FieldCount; ++i) PyTuple_SET_ITEM(t, Py_ssize_t(i), items[i].release().ptr());
    return nb::steal(t);
}

nb::object create_request_kwargs(nb::handle record) {
    nb::dict out;
    auto put = [&](size_t i, nb::handle value) {
        if (PyDict_SetItem(out.ptr(), kFieldNames[i]->get().ptr(), value.ptr()) < 0) throw nb::python_error();
    };
    for (size_t i = 0; i < kRequiredFields; ++i) put(i, field(record, i));
    // The optional fields: None is left out, and for the two texts the empty text too.
    for (size_t i = kRequiredFields; i < FieldCount; ++i) {
        nb::object value = field(record, i);
        bool text = i == PolicyId || i == IdempotencyKey;
        if (text ? kd::truthy(value) : !value.is_none()) put(i, value);
    }
    return out;
}

std::string record_repr(nb::handle record) {
    std::string text = kd::utf8(nb::getattr(nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(record.ptr()))),
                                            "__qualname__"));
    text += "(";
    for (size_t i = 0; i < FieldCount; ++i) {
        PyObject *r = PyObject_Repr(field(record, i).ptr());
        if (!r) throw nb::python_error();
        text += (i ? ", " : "") + std::string(kFieldNames[i]->c_str()) + "=" + kd::utf8(nb::steal(r));
    }
    return text + ")";
}

// Method bodies, called with the bound record first.

nb::object record_init(nb::handle, nb::handle args, nb::handle kwargs) {
    static const std::vector<kd::Param> params = [] {
        std::vector<kd::Param> out = {{"self"}};
        for (size_t i = 0; i < FieldCount; ++i) out.push_back({kFieldNames[i]->c_str(), false, i < kRequiredFields});
        return out;
    }();
    auto a = kd::bind_args("ApprovalRequestPayload.__init__", params, args, kwargs);
    require_record(a[0], "__init__");
    for (size_t i = 0; i < FieldCount; ++i) Py_XSETREF(slot(a[0].ptr(), i), a[i + 1].release().ptr());
    return nb::none();
}

const std::vector<kd::Param> kSelfParam = {{"self"}};
const std::vector<kd::Param> kSelfOtherParams = {{"self"}, {"other"}};

nb::object record_eq(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("ApprovalRequestPayload.__eq__", kSelfOtherParams, args, kwargs);
    require_record(a[0], "__eq__");
    // Like a dataclass: only records of exactly the same class compare, field by field.
    if (Py_TYPE(a[1].ptr()) != Py_TYPE(a[0].ptr())) return nb::borrow(Py_NotImplemented);
    PyObject *result = PyObject_RichCompare(fields_tuple(a[0]).ptr(), fields_tuple(a[1]).ptr(), Py_EQ);
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

nb::object record_repr_fn(nb::handle, nb::handle args, nb::handle kwargs) {
    nb::object self = kd::bind_args("ApprovalRequestPayload.__repr__", kSelfParam, args, kwargs)[0];
    require_record(self, "__repr__");
    int rc = Py_ReprEnter(self.ptr()); // a record inside its own fields shows as "..."
    if (rc < 0) throw nb::python_error();
    if (rc > 0) return nb::str("...");
    std::string text;
    try {
        text = record_repr(self);
    } catch (...) {
        Py_ReprLeave(self.ptr());
        throw;
    }
    Py_ReprLeave(self.ptr());
    return nb::str(text.data(), text.size());
}

nb::object record_kwargs_fn(nb::handle, nb::handle args, nb::handle kwargs) {
    nb::object self = kd::bind_args("ApprovalRequestPayload.to_create_request_kwargs", kSelfParam, args, kwargs)[0];
    require_record(self, "to_create_request_kwargs");
    return create_request_kwargs(self);
}

// The handlers' hot call, record.to_create_request_kwargs(), bound straight from the vector.
PyObject *record_kwargs_vectorcall(PyObject *fn, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    if (PyVectorcall_NARGS(nargsf) != 1 || (kwnames && PyTuple_GET_SIZE(kwnames)))
        return kd::generic_vector_call(fn, args, nargsf, kwnames);
    try {
        require_record(args[0], "to_create_request_kwargs");
        return create_request_kwargs(args[0]).release().ptr();
    } catch (...) {
        kd::set_error_from_current_exception();
        return nullptr;
    }
}

// Copies and pickles rebuild the record from its fields in order (and a subclass's own
// attributes, when it has any, as the state).
nb::object record_reduce(nb::handle, nb::handle args, nb::handle kwargs) {
    nb::object self = kd::bind_args("ApprovalRequestPayload.__reduce__", kSelfParam, args, kwargs)[0];
    require_record(self, "__reduce__");
    nb::handle cls(reinterpret_cast<PyObject *>(Py_TYPE(self.ptr())));
    auto state = kd::get_attr(self, "__dict__");
    if (state && kd::truthy(*state)) return nb::make_tuple(cls, fields_tuple(self), *state);
    return nb::make_tuple(cls, fields_tuple(self));
}

// ---------------------------------------------------------------------------
// The payload builder

nb::object build_payload(nb::handle request, nb::handle signing_key_arg, nb::handle policy_id_arg,
                         nb::handle idempotency_key_arg) {
    nb::object fn;
    Fields f;

    // 1. Holder key
    f[HolderKey] = (fn = replaced(ResolveHolderKey)).is_valid() ? fn(request) : resolve_holder_key(request);
    if (!kd::truthy(f[HolderKey])) raise_cloud_error(kHolderKeyRequired);

    // 2. Pre-populated attestation fields
    f[ArgsCbor] = kd::attr_or_none(request, names::args_canonical_cbor_b64);
    if (!kd::truthy(f[ArgsCbor])) f[ArgsCbor] = nb::str("");
    nb::object given = kd::attr_or_none(request, names::approval_context_attestation);
    f[Attestation] = kd::truthy(given) ? dict_of(given) : nb::dict();

    // 3. Signing key, resolved on every call so the scope lookup behaves the same either way
    nb::object signing_key =
        (fn = replaced(ResolveSigningKey)).is_valid() ? fn(signing_key_arg) : resolve_signing_key(signing_key_arg);

    // 4. The request's own hash
    nb::object own_hash = kd::attr_or_none(request, names::request_hash);
    f[RequestHash] = own_hash.is_none() ? nb::object(empty_bytes()) : normalize_request_hash_op(own_hash);

    // 5. Attestation: pre-populated fields are used as they are; otherwise the core builds them
    if (!kd::truthy(f[ArgsCbor]) || !kd::truthy(f[Attestation])) {
        if (signing_key.is_none()) raise_cloud_error(kAttestationRequired);
        nb::object triple = (fn = replaced(BuildAttestationFields)).is_valid()
                                ? fn(request, "signing_key"_a = signing_key, "holder_key"_a = f[HolderKey])
                                : build_attestation_fields(request, signing_key, f[HolderKey]);
        std::vector<nb::object> parts = kd::unpack(triple, 3);
        f[ArgsCbor] = parts[0];
        f[Attestation] = parts[1];
        f[RequestHash] = parts[2];
    }

    // 6. Hash fallback: the attestation's entry
    if (!kd::truthy(f[RequestHash])) {
        auto entry = kd::map_lookup(f[Attestation], names::request_hash);
        if (!entry || !kd::truthy(*entry)) raise_cloud_error(kRequestHashUnresolved);
        f[RequestHash] = hex_of_text_form(*entry);
    }

    // 7. Inline rules
    if ((fn = replaced(ExtractInlineRules)).is_valid()) {
        std::vector<nb::object> parts = kd::unpack(fn(request), 3);
        f[ApproverKeys] = parts[0];
        f[Threshold] = parts[1];
        f[TtlSeconds] = parts[2];
    } else {
        InlineRules rules = inline_rules(request);
        f[ApproverKeys] = std::move(rules.approver_keys);
        f[Threshold] = std::move(rules.threshold);
        f[TtlSeconds] = std::move(rules.ttl);
    }

    // 8. Policy; 9. metadata: the arguments object itself when it is a map
    f[PolicyId] = (fn = replaced(ExtractPolicyId)).is_valid() ? fn(request, policy_id_arg)
                                                              : extract_policy_id(request, policy_id_arg);
    nb::object arguments = kd::attr_or_none(request, names::arguments);
    f[Metadata] = is_mapping(arguments) ? arguments : nb::none();

    // 10. The record. An absent warrant_id or tool is the empty text; any present value its text form.
    for (size_t i : {size_t(WarrantId), size_t(Tool)}) {
        auto value = kd::get_attr(request, *kFieldNames[i]);
        f[i] = value ? nb::object(kd::text_of(*value)) : nb::object(nb::str(""));
    }
    f[IdempotencyKey] = kd::truthy(idempotency_key_arg) ? nb::borrow(idempotency_key_arg)
                                                        : kd::attr_or_none(request, names::idempotency_key);
    return new_record(std::move(f));
}

// ---------------------------------------------------------------------------
// Host-callable entry points: host-style argument binding, then the C++ bodies

const std::vector<kd::Param> kBuildParams = {
    {"request"}, {"signing_key", true, false}, {"policy_id", true, false}, {"idempotency_key", true, false}};
const std::vector<kd::Param> kRequestParam = {{"request"}};
const std::vector<kd::Param> kExplicitParam = {{"explicit", false, false}};
const std::vector<kd::Param> kValueParam = {{"value"}};
const std::vector<kd::Param> kPolicyParams = {{"request"}, {"override", false, false}};
const std::vector<kd::Param> kAttestationParams = {{"request"}, {"signing_key", true}, {"holder_key", true}};

nb::object build_approval_request_payload_fn(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("build_approval_request_payload", kBuildParams, args, kwargs);
    return build_payload(a[0], a[1], a[2], a[3]);
}
nb::object resolve_holder_key_fn(nb::handle, nb::handle args, nb::handle kwargs) {
    return resolve_holder_key(kd::bind_args("_resolve_holder_key", kRequestParam, args, kwargs)[0]);
}
nb::object resolve_signing_key_fn(nb::handle, nb::handle args, nb::handle kwargs) {
    return resolve_signing_key(kd::bind_args("_resolve_signing_key", kExplicitParam, args, kwargs)[0]);
}
nb::object normalize_request_hash_fn(nb::handle, nb::handle args, nb::handle kwargs) {
    return normalize_request_hash(kd::bind_args("_normalize_request_hash", kValueParam, args, kwargs)[0]);
}
nb::object extract_policy_id_fn(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("_extract_policy_id", kPolicyParams, args, kwargs);
    return extract_policy_id(a[0], a[1]);
}
nb::object extract_inline_rules_fn(nb::handle, nb::handle args, nb::handle kwargs) {
    return extract_inline_rules(kd::bind_args("_extract_inline_rules", kRequestParam, args, kwargs)[0]);
}
nb::object build_attestation_fields_fn(nb::handle, nb::handle args, nb::handle kwargs) {
    auto a = kd::bind_args("_build_attestation_fields", kAttestationParams, args, kwargs);
    return build_attestation_fields(a[0], a[1], a[2]);
}

// The builder's common call shapes, bound straight from the argument vector: one positional
// request and the keyword-only names at most once each. Every other shape, errors included,
// goes through the generic binder above.
PyObject *build_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    static const kd::Name *const keyword_names[] = {&names::signing_key, &names::policy_id, &names::idempotency_key};
    if (PyVectorcall_NARGS(nargsf) != 1) return kd::generic_vector_call(self, args, nargsf, kwnames);
    PyObject *keywords[3] = {nullptr, nullptr, nullptr};
    Py_ssize_t n_keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < n_keywords; ++i) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, i);
        int index = -1;
        for (int k = 0; k < 3 && index < 0; ++k) {
            PyObject *name = keyword_names[k]->get().ptr();
            if (key == name || (PyUnicode_Check(key) && PyUnicode_Compare(key, name) == 0)) index = k;
        }
        if (index < 0 || keywords[index]) return kd::generic_vector_call(self, args, nargsf, kwnames);
        keywords[index] = args[1 + i];
    }
    auto or_none = [](PyObject *value) { return value ? nb::handle(value) : nb::handle(Py_None); };
    try {
        return build_payload(args[0], or_none(keywords[0]), or_none(keywords[1]), or_none(keywords[2]))
            .release()
            .ptr();
    } catch (...) {
        kd::set_error_from_current_exception();
        return nullptr;
    }
}

struct FunctionDef {
    const char *name;
    kd::NativeFn fn;
    const char *signature; // for inspect.signature
    const char *doc;
};

nb::object function(const FunctionDef &def, const std::string &qualname, bool method) {
    nb::object fn = kd::make_function(def.fn, nb::none(), {def.name, qualname, def.doc, kModuleName, method});
    nb::setattr(fn, "__text_signature__", nb::str(def.signature));
    return fn;
}

nb::object define(nb::module_ &m, const FunctionDef &def) {
    nb::object fn = function(def, def.name, false);
    m.attr(def.name) = fn;
    return fn;
}

void register_record(nb::module_ &m) {
    nb::dict ns;
    ns["__module__"] = kModuleName;
    ns["__qualname__"] = "ApprovalRequestPayload";
    ns["__doc__"] = "The attested body of ``POST /v1/approvals/requests``.\n\n"
                    "A mutable record: construct it with its fields by name or in order; two records of the\n"
                    "same class are equal when all their fields are.";
    nb::list field_names;
    for (const kd::Name *name : kFieldNames) field_names.append(name->get());
    ns["__slots__"] = nb::tuple(field_names);
    ns["__match_args__"] = nb::tuple(field_names);
    ns["__hash__"] = nb::none(); // mutable and compared by value, so unhashable
    const FunctionDef methods[] = {
        {"__init__", record_init,
         "(self, warrant_id, tool, request_hash, holder_key, args_canonical_cbor_b64, approval_context_attestation, "
         "metadata=None, policy_id=None, threshold=None, approver_keys=None, ttl_seconds=None, idempotency_key=None)",
         nullptr},
        {"__eq__", record_eq, "(self, other)", nullptr},
        {"__repr__", record_repr_fn, "(self)", nullptr},
        {"__reduce__", record_reduce, "(self)", nullptr},
        {"to_create_request_kwargs", record_kwargs_fn, "(self)",
         "The named arguments of the client's create_request: the six attested fields, then each\n"
         "optional field that is set (metadata, threshold, approver_keys, ttl_seconds when not None;\n"
         "policy_id and idempotency_key when non-empty)."},
    };
    for (const FunctionDef &def : methods)
        ns[def.name] = function(def, std::string("ApprovalRequestPayload.") + def.name, true);
    kd::set_vectorcall(ns["to_create_request_kwargs"], record_kwargs_vectorcall);

    nb::object type_ = nb::borrow(reinterpret_cast<PyObject *>(&PyType_Type));
    nb::object cls = type_("ApprovalRequestPayload", nb::make_tuple(nb::handle(&PyBaseObject_Type)), ns);
    for (size_t i = 0; i < FieldCount; ++i) {
        nb::object descr = cls.attr("__dict__")[kFieldNames[i]->get()];
        if (!PyObject_TypeCheck(descr.ptr(), &PyMemberDescr_Type)) throw std::runtime_error("slot layout unexpected");
        g_offsets[i] = reinterpret_cast<PyMemberDescrObject *>(descr.ptr())->d_member->offset;
    }
    g_record_type = cls.inc_ref().ptr();
    m.attr("ApprovalRequestPayload") = cls;
}

} // namespace

KAVRI_MODULE(payload_forge, m) {
    g_module = m.ptr();
    kd::init_native_function_type(m);
    m.doc() = "Build attested approval request payloads for the Kavri Cloud API.";

    // Collaborators, read back from the module at each use so tests can substitute them.
    m.attr(errors_api::kKavriCloudError) = kd::import_from(errors_api::kModule, errors_api::kKavriCloudError);
    m.attr("logger") = kd::get_logger(kModuleName);

    // The record
    register_record(m);

    // The builder
    nb::object builder =
        define(m, {"build_approval_request_payload", build_approval_request_payload_fn,
                   "(request, *, signing_key=None, policy_id=None, idempotency_key=None)",
                   "Build the attested create-request payload of an SDK ApprovalRequest.\n\n"
                   "Resolves the holder key, the signing key (explicit, or the SDK's key_scope()), the\n"
                   "attestation (pre-populated, or built by kavri_core), the request hash and the inline\n"
                   "rules. Raises KavriCloudError when the request cannot be attested."});
    kd::set_vectorcall(builder, build_vectorcall);

    // Internal operations, part of the module's surface
    const FunctionDef internals[OpCount] = {
        {kOpNames[ResolveHolderKey].c_str(), resolve_holder_key_fn, "(request)",
         "Extract holder_key bytes from an ApprovalRequest."},
        {kOpNames[ResolveSigningKey].c_str(), resolve_signing_key_fn, "(explicit=None)",
         "The explicit signing key, else the SDK's key_scope() result, else None."},
        {kOpNames[NormalizeRequestHash].c_str(), normalize_request_hash_fn, "(value)",
         "Request hash bytes from bytes, a bytearray or hexadecimal text."},
        {kOpNames[ExtractPolicyId].c_str(), extract_policy_id_fn, "(request, override=None)",
         "The non-empty override, else the request's policy_id or policy_ref text, else None."},
        {kOpNames[ExtractInlineRules].c_str(), extract_inline_rules_fn, "(request)",
         "(approver keys as hex text or None, min_approvals, ttl seconds) of the request."},
        {kOpNames[BuildAttestationFields].c_str(), build_attestation_fields_fn,
         "(request, *, signing_key, holder_key)",
         "(CBOR base64 text, attestation dict, request hash bytes), built by kavri_core."},
    };
    for (int op = 0; op < OpCount; ++op) g_originals[op] = define(m, internals[op]).release().ptr();
}
