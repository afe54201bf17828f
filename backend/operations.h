// The 47 operations of the Trading interface library, by ordinal.
//
// On Linux operation N is the C symbol TavrolixInterfacePY_N. On Windows the
// library exports ordinals only; TavrolixInterfacePY.def in this directory maps
// the same names to their ordinals for the import library, so these
// declarations bind unchanged.
#pragma once
#include "records.h"

#if defined(_WIN32) && defined(TVX_BUILDING_LIBRARY)
#define TVX_LIBRARY_API  // exported by ordinal through the .def file
#elif defined(_WIN32)
#define TVX_LIBRARY_API __declspec(dllimport)
#elif defined(TVX_BUILDING_LIBRARY)
#define TVX_LIBRARY_API __attribute__((visibility("default")))
#else
#define TVX_LIBRARY_API
#endif

namespace tvx::wire {
using Cfg = const ConnectionConfig*;
}

// X(ordinal, result, name, (parameters), (argument names))
#define TVX_OPERATIONS(X)                                                                                              \
    X(1, StatusResult, cancel_investor_derivatives_order,                                                              \
      (Cfg cfg, text account_no, std::int32_t order_no, const InvestorTextRecord* extra),                              \
      (cfg, account_no, order_no, extra))                                                                              \
    X(2, RecordList<DerivativesOrderActionError>, cancel_investor_derivatives_orders,                                  \
      (Cfg cfg, text account_no, const std::int32_t* order_nos, std::int32_t count, text extra),                       \
      (cfg, account_no, order_nos, count, extra))                                                                      \
    X(3, StatusResult, cancel_investor_equity_order,                                                                   \
      (Cfg cfg, text account_no, text order_no, const InvestorTextRecord* extra), (cfg, account_no, order_no, extra))  \
    X(4, RecordList<EquityOrderActionError>, cancel_investor_equity_orders,                                            \
      (Cfg cfg, text account_no, const text* order_nos, std::int32_t count, text extra),                               \
      (cfg, account_no, order_nos, count, extra))                                                                      \
    X(5, StatusResult, cancel_marketrep_derivatives_order, (Cfg cfg, text account_no, std::int32_t order_no),          \
      (cfg, account_no, order_no))                                                                                     \
    X(6, RecordList<DerivativesOrderActionError>, cancel_marketrep_derivatives_orders,                                 \
      (Cfg cfg, text account_no, const std::int32_t* order_nos, std::int32_t count),                                   \
      (cfg, account_no, order_nos, count))                                                                             \
    X(7, StatusResult, cancel_marketrep_equity_order, (Cfg cfg, text account_no, text order_no),                       \
      (cfg, account_no, order_no))                                                                                     \
    X(8, RecordList<EquityOrderActionError>, cancel_marketrep_equity_orders,                                           \
      (Cfg cfg, text account_no, const text* order_nos, std::int32_t count), (cfg, account_no, order_nos, count))      \
    X(9, StatusResult, change_investor_derivatives_order,                                                              \
      (Cfg cfg, text account_no, std::int32_t order_no, const InvestorDerivativesChangeRequest* r),                    \
      (cfg, account_no, order_no, r))                                                                                  \
    X(10, StatusResult, change_investor_equity_order,                                                                  \
      (Cfg cfg, text account_no, text order_no, const InvestorEquityChangeRequest* r), (cfg, account_no, order_no, r)) \
    X(11, StatusResult, change_marketrep_derivatives_order,                                                            \
      (Cfg cfg, text account_no, std::int32_t order_no, const MarketrepDerivativesChangeRequest* r),                   \
      (cfg, account_no, order_no, r))                                                                                  \
    X(12, StatusResult, change_marketrep_equity_order,                                                                 \
      (Cfg cfg, text account_no, text order_no, const MarketrepEquityChangeRequest* r),                                \
      (cfg, account_no, order_no, r))                                                                                  \
    X(13, LoginResult, login,                                                                                          \
      (text daemon_type, text a1, text a2, text a3, text a4, text version, text platform, bool enable_queue,           \
       std::int32_t constant),                                                                                         \
      (daemon_type, a1, a2, a3, a4, version, platform, enable_queue, constant))                                        \
    X(14, DerivativesAccountResult, get_investor_derivatives_account_info, (Cfg cfg, text account_no),                 \
      (cfg, account_no))                                                                                               \
    X(15, DerivativesOrderResult, get_investor_derivatives_order, (Cfg cfg, text account_no, std::int32_t order_no),   \
      (cfg, account_no, order_no))                                                                                     \
    X(16, RecordList<DerivativesOrder>, get_investor_derivatives_orders, (Cfg cfg, text account_no),                   \
      (cfg, account_no))                                                                                               \
    X(17, RecordList<DerivativesPosition>, get_investor_derivatives_portfolios, (Cfg cfg, text account_no),            \
      (cfg, account_no))                                                                                               \
    X(18, RecordList<DerivativesTrade>, get_investor_derivatives_trades, (Cfg cfg, text account_no),                   \
      (cfg, account_no))                                                                                               \
    X(19, EquityAccountResult, get_investor_equity_account_info, (Cfg cfg, text account_no), (cfg, account_no))        \
    X(20, EquityOrderResult, get_investor_equity_order, (Cfg cfg, text account_no, text order_no),                     \
      (cfg, account_no, order_no))                                                                                     \
    X(21, RecordList<EquityOrder>, get_investor_equity_orders, (Cfg cfg, text account_no), (cfg, account_no))          \
    X(22, RecordList<EquityPosition>, get_investor_equity_portfolios, (Cfg cfg, text account_no), (cfg, account_no))   \
    X(23, RecordList<EquityTrade>, get_investor_equity_trades, (Cfg cfg, text account_no), (cfg, account_no))          \
    X(24, DerivativesAccountResult, get_marketrep_derivatives_account_info, (Cfg cfg, text account_no),                \
      (cfg, account_no))                                                                                               \
    X(25, DerivativesOrderResult, get_marketrep_derivatives_order, (Cfg cfg, std::int32_t order_no), (cfg, order_no))  \
    X(26, RecordList<DerivativesOrder>, get_marketrep_derivatives_orders, (Cfg cfg), (cfg))                            \
    X(27, RecordList<DerivativesOrder>, get_marketrep_derivatives_orders_by_account_no, (Cfg cfg, text account_no),    \
      (cfg, account_no))                                                                                               \
    X(28, RecordList<DerivativesPosition>, get_marketrep_derivatives_portfolios, (Cfg cfg, text account_no),           \
      (cfg, account_no))                                                                                               \
    X(29, RecordList<DerivativesTrade>, get_marketrep_derivatives_trades, (Cfg cfg, text account_no),                  \
      (cfg, account_no))                                                                                               \
    X(30, EquityAccountResult, get_marketrep_equity_account_info, (Cfg cfg, text account_no), (cfg, account_no))       \
    X(31, EquityOrderResult, get_marketrep_equity_order, (Cfg cfg, text order_no), (cfg, order_no))                    \
    X(32, RecordList<EquityOrder>, get_marketrep_equity_orders, (Cfg cfg), (cfg))                                      \
    X(33, RecordList<EquityOrder>, get_marketrep_equity_orders_by_account_no, (Cfg cfg, text account_no),              \
      (cfg, account_no))                                                                                               \
    X(34, RecordList<EquityPosition>, get_marketrep_equity_portfolios, (Cfg cfg, text account_no), (cfg, account_no))  \
    X(35, RecordList<EquityTrade>, get_marketrep_equity_trades, (Cfg cfg, text account_no), (cfg, account_no))         \
    X(37, CandlestickResult, get_candlesticks, (Cfg cfg, const CandlestickRequest* r), (cfg, r))                       \
    X(38, DerivativesOrderNoResult, place_investor_derivatives_order,                                                  \
      (Cfg cfg, text account_no, const InvestorDerivativesPlaceRequest* r), (cfg, account_no, r))                      \
    X(39, EquityOrderNoResult, place_investor_equity_order,                                                            \
      (Cfg cfg, text account_no, const InvestorEquityPlaceRequest* r), (cfg, account_no, r))                           \
    X(40, DerivativesOrderNoResult, place_marketrep_derivatives_order,                                                 \
      (Cfg cfg, text account_no, const MarketrepDerivativesPlaceRequest* r), (cfg, account_no, r))                     \
    X(41, TradeReportResult, place_marketrep_derivatives_trade_report, (Cfg cfg, const TradeReportRequest* r),         \
      (cfg, r))                                                                                                        \
    X(42, EquityOrderNoResult, place_marketrep_equity_order,                                                           \
      (Cfg cfg, text account_no, const MarketrepEquityPlaceRequest* r), (cfg, account_no, r))                          \
    X(43, SubscribeResult, subscribe_bid_offer,                                                                        \
      (text daemon_type, text channel_id, text topic, text subject, EventReceiver receiver, text key),                 \
      (daemon_type, channel_id, topic, subject, receiver, key))                                                        \
    X(44, SubscribeResult, subscribe_candlestick,                                                                      \
      (text daemon_type, text channel_id, text topic, text subject, text subject2, EventReceiver receiver, text key),  \
      (daemon_type, channel_id, topic, subject, subject2, receiver, key))                                              \
    X(45, SubscribeResult, subscribe_derivatives_order,                                                                \
      (text daemon_type, text channel_id, text topic, text subject, EventReceiver receiver, text key),                 \
      (daemon_type, channel_id, topic, subject, receiver, key))                                                        \
    X(46, SubscribeResult, subscribe_equity_order,                                                                     \
      (text daemon_type, text channel_id, text topic, text subject, EventReceiver receiver, text key),                 \
      (daemon_type, channel_id, topic, subject, receiver, key))                                                        \
    X(47, SubscribeResult, subscribe_price_info,                                                                       \
      (text daemon_type, text channel_id, text topic, text subject, EventReceiver receiver, text key),                 \
      (daemon_type, channel_id, topic, subject, receiver, key))                                                        \
    X(48, UnsubscribeResult, unsubscribe, (text daemon_type, text channel_id, std::uint64_t handle),                   \
      (daemon_type, channel_id, handle))

extern "C" {
#define TVX_DECLARE_OPERATION(n, R, name, params, args) TVX_LIBRARY_API tvx::wire::R TavrolixInterfacePY_##n params;
namespace tvx::wire {
TVX_OPERATIONS(TVX_DECLARE_OPERATION)
}
#undef TVX_DECLARE_OPERATION
}

namespace tvx::op {
// Readable names for the module's side: op::login is TavrolixInterfacePY_13.
#define TVX_NAME_OPERATION(n, R, name, params, args) inline constexpr auto& name = tvx::wire::TavrolixInterfacePY_##n;
TVX_OPERATIONS(TVX_NAME_OPERATION)
#undef TVX_NAME_OPERATION
}  // namespace tvx::op
