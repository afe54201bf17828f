// The realtime topics' names as they cross the interface: the module names
// the topic it subscribes to, the library answers events under it.
#pragma once

namespace tvx::wire::topic {
inline constexpr const char* kBidOffer = "bidofferv1";
inline constexpr const char* kInfo = "infov1";
inline constexpr const char* kCandle = "cdlv1";
inline constexpr const char* kDerivativesOrder = "orderdvv1";
inline constexpr const char* kEquityOrder = "ordereqv1";
}  // namespace tvx::wire::topic
