// The package's receipt sink (kavri_cloud.providers).
#pragma once

#include <nanobind/nanobind.h>

namespace kavri::contracts::providers {

namespace nb = nanobind;

inline constexpr const char *kModule = "kavri_cloud.providers";
inline constexpr const char *kCloudReceiptSink = "CloudReceiptSink";

// CloudReceiptSink(client): the client by position.
inline nb::object cloud_receipt_sink(nb::handle cls, nb::handle client) { return nb::borrow(cls)(client); }

} // namespace kavri::contracts::providers
