// What each field of a request record means, written once per record: the
// operations read requests through these named views, and the call log finds
// the record's texts from the same lists. (The records' own field names are
// the argument positions of the module's functions.)
#pragma once
#include <array>
#include <cstddef>
#include <type_traits>
#include <utility>

#include "sandbox.h"

namespace tvx::sandbox {

// X(meaning, field)
#define TVX_INVESTOR_DERIVATIVES_PLACE(X) \
    X(symbol, arg3)                       \
    X(price, arg4)                        \
    X(volume, arg5)                       \
    X(side, arg6)                         \
    X(position, arg7)                     \
    X(pin, arg8)                          \
    X(price_type, arg9)                   \
    X(validity, arg10)                    \
    X(trigger_condition, arg11)           \
    X(trigger_symbol, arg12)              \
    X(trigger_price, arg13)               \
    X(bypass_warning, arg14)
#define TVX_MARKETREP_DERIVATIVES_PLACE(X) \
    X(symbol, arg3)                        \
    X(price, arg4)                         \
    X(volume, arg5)                        \
    X(side, arg6)                          \
    X(position, arg7)                      \
    X(price_type, arg8)                    \
    X(validity, arg9)                      \
    X(trigger_condition, arg10)            \
    X(trigger_symbol, arg11)               \
    X(trigger_price, arg12)                \
    X(bypass_warning, arg13)
#define TVX_INVESTOR_EQUITY_PLACE(X) \
    X(symbol, arg3)                  \
    X(price, arg4)                   \
    X(volume, arg5)                  \
    X(side, arg6)                    \
    X(pin, arg7)                     \
    X(price_type, arg8)              \
    X(validity, arg9)                \
    X(trustee, arg10)                \
    X(order_type, arg11)             \
    X(nvdr, arg12)                   \
    X(iceberg, arg13)                \
    X(bypass_warning, arg14)
#define TVX_MARKETREP_EQUITY_PLACE(X) \
    X(symbol, arg3)                   \
    X(price, arg4)                    \
    X(volume, arg5)                   \
    X(side, arg6)                     \
    X(price_type, arg7)               \
    X(validity, arg8)                 \
    X(trustee, arg9)                  \
    X(order_type, arg10)              \
    X(nvdr, arg11)                    \
    X(iceberg, arg12)                 \
    X(bypass_warning, arg13)
#define TVX_TRADE_REPORT(X)  \
    X(account, arg2)         \
    X(symbol, arg3)          \
    X(price, arg4)           \
    X(volume, arg5)          \
    X(side, arg6)            \
    X(position, arg7)        \
    X(counter_account, arg8) \
    X(counter_position, arg9)
#define TVX_INVESTOR_TEXT(X) X(pin, arg4)
#define TVX_INVESTOR_DERIVATIVES_CHANGE(X) \
    X(price, arg4)                         \
    X(volume, arg5)                        \
    X(pin, arg6)                           \
    X(price_type, arg7)                    \
    X(validity, arg8)
#define TVX_MARKETREP_DERIVATIVES_CHANGE(X) \
    X(account, arg4)                        \
    X(price, arg5)                          \
    X(volume, arg6)                         \
    X(price_type, arg7)                     \
    X(validity, arg8)
#define TVX_INVESTOR_EQUITY_CHANGE(X) \
    X(price, arg4)                    \
    X(volume, arg5)                   \
    X(pin, arg6)                      \
    X(trustee, arg7)                  \
    X(iceberg, arg8)                  \
    X(price_type, arg9)               \
    X(bypass_warning, arg10)
#define TVX_MARKETREP_EQUITY_CHANGE(X) \
    X(account, arg4)                   \
    X(price, arg5)                     \
    X(volume, arg6)                    \
    X(iceberg, arg7)                   \
    X(trustee, arg8)                   \
    X(price_type, arg9)                \
    X(bypass_warning, arg10)           \
    X(nvdr, arg11)
#define TVX_CANDLESTICKS(X) \
    X(symbol, arg2)         \
    X(interval, arg3)       \
    X(count, arg4)          \
    X(normalized, arg5)     \
    X(start, arg6)          \
    X(end, arg7)
#define TVX_CONNECTION(X) X(channel, channel_id) X(daemon_type, daemon_type)

// Request<R>: the record's fields by meaning; Request<R>::texts: the offsets
// of its text fields.
template <class R>
struct Request;

#define TVX_VIEW_MEMBER(meaning, field) std::remove_cvref_t<decltype(std::declval<Record>().field)> meaning{};
#define TVX_VIEW_COPY(meaning, field) v.meaning = q.field;
#define TVX_VIEW_TEXT(meaning, field) \
    +(std::is_same_v<std::remove_cvref_t<decltype(std::declval<Record>().field)>, wire::text> ? 1 : 0)
#define TVX_VIEW_TEXT_AT(meaning, field)                                                                   \
    if constexpr (std::is_same_v<std::remove_cvref_t<decltype(std::declval<Record>().field)>, wire::text>) \
        out[k++] = offsetof(Record, field);
#define TVX_REQUEST(R, LIST)                                             \
    template <>                                                          \
    struct Request<wire::R> {                                            \
        using Record = wire::R;                                          \
        static constexpr const char* name = #R;                          \
        LIST(TVX_VIEW_MEMBER)                                            \
        static Request of(const Record& q) {                             \
            Request v;                                                   \
            LIST(TVX_VIEW_COPY)                                          \
            return v;                                                    \
        }                                                                \
        static constexpr std::size_t text_count = 0 LIST(TVX_VIEW_TEXT); \
        static constexpr auto texts = [] {                               \
            std::array<std::size_t, text_count> out{};                   \
            std::size_t k = 0;                                           \
            LIST(TVX_VIEW_TEXT_AT)                                       \
            return out;                                                  \
        }();                                                             \
    };
TVX_REQUEST(InvestorDerivativesPlaceRequest, TVX_INVESTOR_DERIVATIVES_PLACE)
TVX_REQUEST(MarketrepDerivativesPlaceRequest, TVX_MARKETREP_DERIVATIVES_PLACE)
TVX_REQUEST(InvestorEquityPlaceRequest, TVX_INVESTOR_EQUITY_PLACE)
TVX_REQUEST(MarketrepEquityPlaceRequest, TVX_MARKETREP_EQUITY_PLACE)
TVX_REQUEST(TradeReportRequest, TVX_TRADE_REPORT)
TVX_REQUEST(InvestorTextRecord, TVX_INVESTOR_TEXT)
TVX_REQUEST(InvestorDerivativesChangeRequest, TVX_INVESTOR_DERIVATIVES_CHANGE)
TVX_REQUEST(MarketrepDerivativesChangeRequest, TVX_MARKETREP_DERIVATIVES_CHANGE)
TVX_REQUEST(InvestorEquityChangeRequest, TVX_INVESTOR_EQUITY_CHANGE)
TVX_REQUEST(MarketrepEquityChangeRequest, TVX_MARKETREP_EQUITY_CHANGE)
TVX_REQUEST(CandlestickRequest, TVX_CANDLESTICKS)
TVX_REQUEST(ConnectionConfig, TVX_CONNECTION)
#undef TVX_REQUEST
#undef TVX_VIEW_TEXT_AT
#undef TVX_VIEW_TEXT
#undef TVX_VIEW_COPY
#undef TVX_VIEW_MEMBER

}  // namespace tvx::sandbox
