// Records exchanged with the Trading interface library: little-endian, natural
// alignment, 8-byte pointers. Member names are the dictionary keys wherever a
// record field becomes a dictionary item, so the converter tables can name them.
#pragma once
#include <cstddef>
#include <cstdint>

namespace tvx::wire {

using text = const char*;   // NUL-terminated UTF-8, owned by whoever handed it over; null = no value
using flag = std::uint8_t;  // non-zero = true

#define TVX_AT(T, m, off) static_assert(offsetof(T, m) == (off), #T "::" #m " offset")
#define TVX_SIZE(T, n) static_assert(sizeof(T) == (n), #T " size")

// ---------------------------------------------------------------- connection
struct ConnectionConfig {
    std::uint64_t reserved0;
    text channel_id;
    std::uint64_t reserved1;
    flag enable_queue;
    text daemon_type;
    std::int32_t max_torelation;
};
TVX_SIZE(ConnectionConfig, 48);
TVX_AT(ConnectionConfig, channel_id, 8);
TVX_AT(ConnectionConfig, enable_queue, 24);
TVX_AT(ConnectionConfig, daemon_type, 32);
TVX_AT(ConnectionConfig, max_torelation, 40);

struct LoginResult {
    flag success;
    std::uint8_t unread0[15];
    text channel_id;
    std::uint8_t unread1[32];
    text message;
    text internal_error;
};
TVX_SIZE(LoginResult, 72);
TVX_AT(LoginResult, channel_id, 16);
TVX_AT(LoginResult, message, 56);
TVX_AT(LoginResult, internal_error, 64);

// ---------------------------------------------------------- common envelopes
template <class Record>
struct SingleResult {
    flag success;
    std::int32_t status_code;
    Record record;
    text message;
    text internal_error;
};

template <class Item>
struct RecordList {
    const Item* items;
    std::int64_t count;
    std::uint64_t unread;
    flag success;
    std::int32_t status_code;
    text message;
    text internal_error;
};

struct StatusResult {
    flag success;
    std::int32_t status_code;
    text message;
    text internal_error;
};
TVX_SIZE(StatusResult, 24);
TVX_AT(StatusResult, status_code, 4);
TVX_AT(StatusResult, message, 8);
TVX_AT(StatusResult, internal_error, 16);

// ------------------------------------------------------------------ accounts
struct DerivativesAccount {
    double credit_line;
    double excess_equity;
    double cash_balance;
    double equity;
    double total_mr;
    double total_mm;
    text call_force_flag;
    double call_force_margin;
};
using DerivativesAccountResult = SingleResult<DerivativesAccount>;
TVX_SIZE(DerivativesAccountResult, 88);
TVX_AT(DerivativesAccountResult, status_code, 4);
TVX_AT(DerivativesAccountResult, record, 8);
TVX_AT(DerivativesAccountResult, message, 72);
TVX_AT(DerivativesAccountResult, internal_error, 80);
TVX_AT(DerivativesAccount, credit_line, 0);
TVX_AT(DerivativesAccount, excess_equity, 8);
TVX_AT(DerivativesAccount, cash_balance, 16);
TVX_AT(DerivativesAccount, equity, 24);
TVX_AT(DerivativesAccount, total_mr, 32);
TVX_AT(DerivativesAccount, total_mm, 40);
TVX_AT(DerivativesAccount, call_force_flag, 48);
TVX_AT(DerivativesAccount, call_force_margin, 56);

struct EquityAccount {
    text account_type;
    double actual_cash_balance;
    double actual_margin_loan;
    double additional_data;
    double asset;
    double available_cash_balance;
    double available_margin_loan;
    double buy_mr;
    double call_amount;
    double call_margin;
    flag can_buy;
    flag can_sell;
    double cash_balance;
    text client_type;
    double cm_adjust;
    double collateral;
    flag credit_balance;
    double credit_limit;
    text customer_type;
    double equity_balance;
    double excess_equity;
    double fm_adjust;
    double force_amount;
    double force_margin;
    double im_adjust;
    double initial_cash_balance;
    double initial_credit_limit;
    double initial_line_available;
    double liabilities;
    double line_avail_50;
    double line_avail_60;
    double line_avail_70;
    double line_avail_80;
    double line_available;
    double long_market_value;
    double margin_cm;
    double margin_fm;
    double margin_im;
    double mr;
    text mtm_realtime;
    double net_settlement_line;
    double percent_mm;
    double purchasing_power;
    double value_force_sale;
};
TVX_SIZE(EquityAccount, 344);
TVX_AT(EquityAccount, account_type, 0);
TVX_AT(EquityAccount, actual_cash_balance, 8);
TVX_AT(EquityAccount, actual_margin_loan, 16);
TVX_AT(EquityAccount, additional_data, 24);
TVX_AT(EquityAccount, asset, 32);
TVX_AT(EquityAccount, available_cash_balance, 40);
TVX_AT(EquityAccount, available_margin_loan, 48);
TVX_AT(EquityAccount, buy_mr, 56);
TVX_AT(EquityAccount, call_amount, 64);
TVX_AT(EquityAccount, call_margin, 72);
TVX_AT(EquityAccount, can_buy, 80);
TVX_AT(EquityAccount, can_sell, 81);
TVX_AT(EquityAccount, cash_balance, 88);
TVX_AT(EquityAccount, client_type, 96);
TVX_AT(EquityAccount, cm_adjust, 104);
TVX_AT(EquityAccount, collateral, 112);
TVX_AT(EquityAccount, credit_balance, 120);
TVX_AT(EquityAccount, credit_limit, 128);
TVX_AT(EquityAccount, customer_type, 136);
TVX_AT(EquityAccount, equity_balance, 144);
TVX_AT(EquityAccount, excess_equity, 152);
TVX_AT(EquityAccount, fm_adjust, 160);
TVX_AT(EquityAccount, force_amount, 168);
TVX_AT(EquityAccount, force_margin, 176);
TVX_AT(EquityAccount, im_adjust, 184);
TVX_AT(EquityAccount, initial_cash_balance, 192);
TVX_AT(EquityAccount, initial_credit_limit, 200);
TVX_AT(EquityAccount, initial_line_available, 208);
TVX_AT(EquityAccount, liabilities, 216);
TVX_AT(EquityAccount, line_avail_50, 224);
TVX_AT(EquityAccount, line_avail_60, 232);
TVX_AT(EquityAccount, line_avail_70, 240);
TVX_AT(EquityAccount, line_avail_80, 248);
TVX_AT(EquityAccount, line_available, 256);
TVX_AT(EquityAccount, long_market_value, 264);
TVX_AT(EquityAccount, margin_cm, 272);
TVX_AT(EquityAccount, margin_fm, 280);
TVX_AT(EquityAccount, margin_im, 288);
TVX_AT(EquityAccount, mr, 296);
TVX_AT(EquityAccount, mtm_realtime, 304);
TVX_AT(EquityAccount, net_settlement_line, 312);
TVX_AT(EquityAccount, percent_mm, 320);
TVX_AT(EquityAccount, purchasing_power, 328);
TVX_AT(EquityAccount, value_force_sale, 336);
using EquityAccountResult = SingleResult<EquityAccount>;
TVX_SIZE(EquityAccountResult, 368);
TVX_AT(EquityAccountResult, record, 8);
TVX_AT(EquityAccountResult, message, 352);
TVX_AT(EquityAccountResult, internal_error, 360);

// ----------------------------------------------------------------- positions
struct DerivativesPosition {
    flag has_long_position;
    text account_no;
    std::int32_t actual_long_position;
    std::int32_t actual_short_position;
    text as_of_date_xrt;
    std::int32_t available_long_position;
    std::int32_t available_short_position;
    double avg_xrt_long;
    double avg_xrt_long_cost;
    double avg_xrt_short;
    double avg_xrt_short_cost;
    text broker_id;
    std::int32_t close_long_position;
    std::int32_t close_short_position;
    text currency;
    double current_xrt;
    text last_trading_date;
    double long_avg_cost;
    double long_avg_price;
    double market_price;
    double multiplier;
    std::int32_t open_long_position;
    std::int32_t open_short_position;
    double realized_pl;
    double realized_pl_by_cost;
    double realized_pl_by_cost_currency;
    double realized_pl_currency;
    text security_type;
    double short_avg_cost;
    double short_avg_price;
    double start_long_cost;
    std::int32_t start_long_position;
    double start_long_price;
    double start_short_cost;
    std::int32_t start_short_position;
    double start_short_price;
    double start_xrt_long;
    double start_xrt_long_cost;
    double start_xrt_short;
    double start_xrt_short_cost;
    text symbol;
    text underlying;
    flag has_short_position;
};
TVX_SIZE(DerivativesPosition, 312);
TVX_AT(DerivativesPosition, has_long_position, 0);
TVX_AT(DerivativesPosition, account_no, 8);
TVX_AT(DerivativesPosition, actual_long_position, 16);
TVX_AT(DerivativesPosition, actual_short_position, 20);
TVX_AT(DerivativesPosition, as_of_date_xrt, 24);
TVX_AT(DerivativesPosition, available_long_position, 32);
TVX_AT(DerivativesPosition, available_short_position, 36);
TVX_AT(DerivativesPosition, avg_xrt_long, 40);
TVX_AT(DerivativesPosition, avg_xrt_long_cost, 48);
TVX_AT(DerivativesPosition, avg_xrt_short, 56);
TVX_AT(DerivativesPosition, avg_xrt_short_cost, 64);
TVX_AT(DerivativesPosition, broker_id, 72);
TVX_AT(DerivativesPosition, close_long_position, 80);
TVX_AT(DerivativesPosition, close_short_position, 84);
TVX_AT(DerivativesPosition, currency, 88);
TVX_AT(DerivativesPosition, current_xrt, 96);
TVX_AT(DerivativesPosition, last_trading_date, 104);
TVX_AT(DerivativesPosition, long_avg_cost, 112);
TVX_AT(DerivativesPosition, long_avg_price, 120);
TVX_AT(DerivativesPosition, market_price, 128);
TVX_AT(DerivativesPosition, multiplier, 136);
TVX_AT(DerivativesPosition, open_long_position, 144);
TVX_AT(DerivativesPosition, open_short_position, 148);
TVX_AT(DerivativesPosition, realized_pl, 152);
TVX_AT(DerivativesPosition, realized_pl_by_cost, 160);
TVX_AT(DerivativesPosition, realized_pl_by_cost_currency, 168);
TVX_AT(DerivativesPosition, realized_pl_currency, 176);
TVX_AT(DerivativesPosition, security_type, 184);
TVX_AT(DerivativesPosition, short_avg_cost, 192);
TVX_AT(DerivativesPosition, short_avg_price, 200);
TVX_AT(DerivativesPosition, start_long_cost, 208);
TVX_AT(DerivativesPosition, start_long_position, 216);
TVX_AT(DerivativesPosition, start_long_price, 224);
TVX_AT(DerivativesPosition, start_short_cost, 232);
TVX_AT(DerivativesPosition, start_short_position, 240);
TVX_AT(DerivativesPosition, start_short_price, 248);
TVX_AT(DerivativesPosition, start_xrt_long, 256);
TVX_AT(DerivativesPosition, start_xrt_long_cost, 264);
TVX_AT(DerivativesPosition, start_xrt_short, 272);
TVX_AT(DerivativesPosition, start_xrt_short_cost, 280);
TVX_AT(DerivativesPosition, symbol, 288);
TVX_AT(DerivativesPosition, underlying, 296);
TVX_AT(DerivativesPosition, has_short_position, 304);

struct EquityPosition {
    double actual_volume;
    double amount;
    double average_price;
    double commission_rate;
    double current_volume;
    text flag;
    double liabilities;
    double margin_rate;
    double market_price;
    double market_value;
    text nvdr_flag;
    double percent_profit;
    text port_flag;
    double profit;
    double realize_profit;
    wire::flag show_n_a;
    double start_price;
    double start_volume;
    text symbol;
    double vat_rate;
};
TVX_SIZE(EquityPosition, 160);
TVX_AT(EquityPosition, actual_volume, 0);
TVX_AT(EquityPosition, amount, 8);
TVX_AT(EquityPosition, average_price, 16);
TVX_AT(EquityPosition, commission_rate, 24);
TVX_AT(EquityPosition, current_volume, 32);
TVX_AT(EquityPosition, flag, 40);
TVX_AT(EquityPosition, liabilities, 48);
TVX_AT(EquityPosition, margin_rate, 56);
TVX_AT(EquityPosition, market_price, 64);
TVX_AT(EquityPosition, market_value, 72);
TVX_AT(EquityPosition, nvdr_flag, 80);
TVX_AT(EquityPosition, percent_profit, 88);
TVX_AT(EquityPosition, port_flag, 96);
TVX_AT(EquityPosition, profit, 104);
TVX_AT(EquityPosition, realize_profit, 112);
TVX_AT(EquityPosition, show_n_a, 120);
TVX_AT(EquityPosition, start_price, 128);
TVX_AT(EquityPosition, start_volume, 136);
TVX_AT(EquityPosition, symbol, 144);
TVX_AT(EquityPosition, vat_rate, 152);

// -------------------------------------------------------------------- trades
struct DerivativesTrade {
    text account_no;
    text broker_id;
    text currency;
    text deal_no;
    text entry_id;
    text ledger_date;
    std::int32_t ledger_seq;
    text ledger_time;
    double multiplier;
    text open_close;
    std::int32_t order_no;
    double px;
    std::int32_t qty;
    std::int32_t rectified_qty;
    text ref_ledger_date;
    std::int32_t ref_ledger_seq;
    text reject_code;
    text reject_reason;
    text side;
    text status;
    text symbol;
    text trade_date;
    text trade_no;
    text trade_time;
    text trade_type;
};
TVX_SIZE(DerivativesTrade, 192);
TVX_AT(DerivativesTrade, account_no, 0);
TVX_AT(DerivativesTrade, broker_id, 8);
TVX_AT(DerivativesTrade, currency, 16);
TVX_AT(DerivativesTrade, deal_no, 24);
TVX_AT(DerivativesTrade, entry_id, 32);
TVX_AT(DerivativesTrade, ledger_date, 40);
TVX_AT(DerivativesTrade, ledger_seq, 48);
TVX_AT(DerivativesTrade, ledger_time, 56);
TVX_AT(DerivativesTrade, multiplier, 64);
TVX_AT(DerivativesTrade, open_close, 72);
TVX_AT(DerivativesTrade, order_no, 80);
TVX_AT(DerivativesTrade, px, 88);
TVX_AT(DerivativesTrade, qty, 96);
TVX_AT(DerivativesTrade, rectified_qty, 100);
TVX_AT(DerivativesTrade, ref_ledger_date, 104);
TVX_AT(DerivativesTrade, ref_ledger_seq, 112);
TVX_AT(DerivativesTrade, reject_code, 120);
TVX_AT(DerivativesTrade, reject_reason, 128);
TVX_AT(DerivativesTrade, side, 136);
TVX_AT(DerivativesTrade, status, 144);
TVX_AT(DerivativesTrade, symbol, 152);
TVX_AT(DerivativesTrade, trade_date, 160);
TVX_AT(DerivativesTrade, trade_no, 168);
TVX_AT(DerivativesTrade, trade_time, 176);
TVX_AT(DerivativesTrade, trade_type, 184);

struct EquityTrade {
    text account_no;
    text broker_id;
    double brokerage_fee;
    double clearing_fee;
    text deal_no;
    text entry_id;
    text order_no;
    double px;
    std::int32_t qty;
    text side;
    text symbol;
    text trade_date;
    text trade_no;
    text trade_time;
    double trading_fee;
    text trustee_id;
};
TVX_SIZE(EquityTrade, 128);
TVX_AT(EquityTrade, account_no, 0);
TVX_AT(EquityTrade, broker_id, 8);
TVX_AT(EquityTrade, brokerage_fee, 16);
TVX_AT(EquityTrade, clearing_fee, 24);
TVX_AT(EquityTrade, deal_no, 32);
TVX_AT(EquityTrade, entry_id, 40);
TVX_AT(EquityTrade, order_no, 48);
TVX_AT(EquityTrade, px, 56);
TVX_AT(EquityTrade, qty, 64);
TVX_AT(EquityTrade, side, 72);
TVX_AT(EquityTrade, symbol, 80);
TVX_AT(EquityTrade, trade_date, 88);
TVX_AT(EquityTrade, trade_no, 96);
TVX_AT(EquityTrade, trade_time, 104);
TVX_AT(EquityTrade, trading_fee, 112);
TVX_AT(EquityTrade, trustee_id, 120);

// -------------------------------------------------------------------- orders
struct DerivativesOrder {
    text account_no;
    std::int32_t balance_qty;
    std::int32_t cancel_qty;
    text entry_date;
    text entry_id;
    text entry_time;
    text is_stop_order_not_activate;
    std::int32_t match_qty;
    std::int32_t order_no;
    text position;
    double price;
    text price_type;
    std::int32_t qty;
    std::int32_t reject_code;
    text reject_reason;
    text show_status;
    text side;
    text status;
    text status_meaning;
    text symbol;
    text tfx_order_no;
    text trigger_condition;
    double trigger_price;
    text trigger_symbol;
    text validity;
    std::int32_t version;
};
TVX_SIZE(DerivativesOrder, 184);
TVX_AT(DerivativesOrder, account_no, 0);
TVX_AT(DerivativesOrder, balance_qty, 8);
TVX_AT(DerivativesOrder, cancel_qty, 12);
TVX_AT(DerivativesOrder, entry_date, 16);
TVX_AT(DerivativesOrder, entry_id, 24);
TVX_AT(DerivativesOrder, entry_time, 32);
TVX_AT(DerivativesOrder, is_stop_order_not_activate, 40);
TVX_AT(DerivativesOrder, match_qty, 48);
TVX_AT(DerivativesOrder, order_no, 52);
TVX_AT(DerivativesOrder, position, 56);
TVX_AT(DerivativesOrder, price, 64);
TVX_AT(DerivativesOrder, price_type, 72);
TVX_AT(DerivativesOrder, qty, 80);
TVX_AT(DerivativesOrder, reject_code, 84);
TVX_AT(DerivativesOrder, reject_reason, 88);
TVX_AT(DerivativesOrder, show_status, 96);
TVX_AT(DerivativesOrder, side, 104);
TVX_AT(DerivativesOrder, status, 112);
TVX_AT(DerivativesOrder, status_meaning, 120);
TVX_AT(DerivativesOrder, symbol, 128);
TVX_AT(DerivativesOrder, tfx_order_no, 136);
TVX_AT(DerivativesOrder, trigger_condition, 144);
TVX_AT(DerivativesOrder, trigger_price, 152);
TVX_AT(DerivativesOrder, trigger_symbol, 160);
TVX_AT(DerivativesOrder, validity, 168);
TVX_AT(DerivativesOrder, version, 176);
using DerivativesOrderResult = SingleResult<DerivativesOrder>;
TVX_SIZE(DerivativesOrderResult, 208);
TVX_AT(DerivativesOrderResult, record, 8);
TVX_AT(DerivativesOrderResult, message, 192);
TVX_AT(DerivativesOrderResult, internal_error, 200);

struct EquityOrder {
    flag can_cancel;
    flag can_change_account;
    text account_no;
    std::int32_t balance;
    text cancel_id;
    text cancel_time;
    std::int32_t cancelled;
    text counter_party_member;
    text enter_id;
    text entry_time;
    std::int32_t iceberg_vol;
    std::int32_t matched;
    text nvdr_flag;
    text order_no;
    text order_type;
    double price;
    text price_type;
    std::int32_t reject_code;
    text reject_reason;
    text set_order_no;
    text show_order_status;
    text show_order_status_meaning;
    text side;
    text status;
    text symbol;
    text trade_date;
    text trade_report_type;
    text trade_time;
    text validity;
    std::int32_t version;
    std::int32_t vol;
    flag can_change_price_vol;
    flag can_change_trustee_id;
    flag trade_report;
};
TVX_SIZE(EquityOrder, 232);
TVX_AT(EquityOrder, can_cancel, 0);
TVX_AT(EquityOrder, can_change_account, 1);
TVX_AT(EquityOrder, account_no, 8);
TVX_AT(EquityOrder, balance, 16);
TVX_AT(EquityOrder, cancel_id, 24);
TVX_AT(EquityOrder, cancel_time, 32);
TVX_AT(EquityOrder, cancelled, 40);
TVX_AT(EquityOrder, counter_party_member, 48);
TVX_AT(EquityOrder, enter_id, 56);
TVX_AT(EquityOrder, entry_time, 64);
TVX_AT(EquityOrder, iceberg_vol, 72);
TVX_AT(EquityOrder, matched, 76);
TVX_AT(EquityOrder, nvdr_flag, 80);
TVX_AT(EquityOrder, order_no, 88);
TVX_AT(EquityOrder, order_type, 96);
TVX_AT(EquityOrder, price, 104);
TVX_AT(EquityOrder, price_type, 112);
TVX_AT(EquityOrder, reject_code, 120);
TVX_AT(EquityOrder, reject_reason, 128);
TVX_AT(EquityOrder, set_order_no, 136);
TVX_AT(EquityOrder, show_order_status, 144);
TVX_AT(EquityOrder, show_order_status_meaning, 152);
TVX_AT(EquityOrder, side, 160);
TVX_AT(EquityOrder, status, 168);
TVX_AT(EquityOrder, symbol, 176);
TVX_AT(EquityOrder, trade_date, 184);
TVX_AT(EquityOrder, trade_report_type, 192);
TVX_AT(EquityOrder, trade_time, 200);
TVX_AT(EquityOrder, validity, 208);
TVX_AT(EquityOrder, version, 216);
TVX_AT(EquityOrder, vol, 220);
TVX_AT(EquityOrder, can_change_price_vol, 224);
TVX_AT(EquityOrder, can_change_trustee_id, 225);
TVX_AT(EquityOrder, trade_report, 226);
using EquityOrderResult = SingleResult<EquityOrder>;
TVX_SIZE(EquityOrderResult, 256);
TVX_AT(EquityOrderResult, record, 8);
TVX_AT(EquityOrderResult, message, 240);
TVX_AT(EquityOrderResult, internal_error, 248);

// ------------------------------------------------------------- order actions
// Placement requests: field names say which argument position fills them
// (argN = the Python function's N-th argument, the context dictionary being 1).
struct InvestorDerivativesPlaceRequest {
    flag arg14;
    text arg8;
    text arg7;
    double arg4;
    text arg9;
    text arg6;
    text arg11;
    double arg13;
    text arg12;
    text arg3;
    text arg10;
    std::int32_t arg5;
};
TVX_SIZE(InvestorDerivativesPlaceRequest, 96);
TVX_AT(InvestorDerivativesPlaceRequest, arg14, 0);
TVX_AT(InvestorDerivativesPlaceRequest, arg8, 8);
TVX_AT(InvestorDerivativesPlaceRequest, arg7, 16);
TVX_AT(InvestorDerivativesPlaceRequest, arg4, 24);
TVX_AT(InvestorDerivativesPlaceRequest, arg9, 32);
TVX_AT(InvestorDerivativesPlaceRequest, arg6, 40);
TVX_AT(InvestorDerivativesPlaceRequest, arg11, 48);
TVX_AT(InvestorDerivativesPlaceRequest, arg13, 56);
TVX_AT(InvestorDerivativesPlaceRequest, arg12, 64);
TVX_AT(InvestorDerivativesPlaceRequest, arg3, 72);
TVX_AT(InvestorDerivativesPlaceRequest, arg10, 80);
TVX_AT(InvestorDerivativesPlaceRequest, arg5, 88);

struct MarketrepDerivativesPlaceRequest {
    flag arg13;
    text arg7;
    double arg4;
    text arg8;
    text arg6;
    text arg10;
    double arg12;
    text arg11;
    text arg3;
    text arg9;
    std::int32_t arg5;
};
TVX_SIZE(MarketrepDerivativesPlaceRequest, 88);
TVX_AT(MarketrepDerivativesPlaceRequest, arg13, 0);
TVX_AT(MarketrepDerivativesPlaceRequest, arg7, 8);
TVX_AT(MarketrepDerivativesPlaceRequest, arg4, 16);
TVX_AT(MarketrepDerivativesPlaceRequest, arg8, 24);
TVX_AT(MarketrepDerivativesPlaceRequest, arg6, 32);
TVX_AT(MarketrepDerivativesPlaceRequest, arg10, 40);
TVX_AT(MarketrepDerivativesPlaceRequest, arg12, 48);
TVX_AT(MarketrepDerivativesPlaceRequest, arg11, 56);
TVX_AT(MarketrepDerivativesPlaceRequest, arg3, 64);
TVX_AT(MarketrepDerivativesPlaceRequest, arg9, 72);
TVX_AT(MarketrepDerivativesPlaceRequest, arg5, 80);

struct InvestorEquityPlaceRequest {
    flag arg14;
    flag arg12;
    text arg10;
    text arg7;
    double arg4;
    text arg8;
    std::int32_t arg13;
    text arg6;
    text arg3;
    text arg11;
    text arg9;
    std::int32_t arg5;
};
TVX_SIZE(InvestorEquityPlaceRequest, 88);
TVX_AT(InvestorEquityPlaceRequest, arg14, 0);
TVX_AT(InvestorEquityPlaceRequest, arg12, 1);
TVX_AT(InvestorEquityPlaceRequest, arg10, 8);
TVX_AT(InvestorEquityPlaceRequest, arg7, 16);
TVX_AT(InvestorEquityPlaceRequest, arg4, 24);
TVX_AT(InvestorEquityPlaceRequest, arg8, 32);
TVX_AT(InvestorEquityPlaceRequest, arg13, 40);
TVX_AT(InvestorEquityPlaceRequest, arg6, 48);
TVX_AT(InvestorEquityPlaceRequest, arg3, 56);
TVX_AT(InvestorEquityPlaceRequest, arg11, 64);
TVX_AT(InvestorEquityPlaceRequest, arg9, 72);
TVX_AT(InvestorEquityPlaceRequest, arg5, 80);

struct MarketrepEquityPlaceRequest {
    flag arg13;
    flag arg11;
    text arg9;
    double arg4;
    text arg7;
    std::int32_t arg12;
    text arg6;
    text arg3;
    text arg10;
    text arg8;
    std::int32_t arg5;
};
TVX_SIZE(MarketrepEquityPlaceRequest, 80);
TVX_AT(MarketrepEquityPlaceRequest, arg13, 0);
TVX_AT(MarketrepEquityPlaceRequest, arg11, 1);
TVX_AT(MarketrepEquityPlaceRequest, arg9, 8);
TVX_AT(MarketrepEquityPlaceRequest, arg4, 16);
TVX_AT(MarketrepEquityPlaceRequest, arg7, 24);
TVX_AT(MarketrepEquityPlaceRequest, arg12, 32);
TVX_AT(MarketrepEquityPlaceRequest, arg6, 40);
TVX_AT(MarketrepEquityPlaceRequest, arg3, 48);
TVX_AT(MarketrepEquityPlaceRequest, arg10, 56);
TVX_AT(MarketrepEquityPlaceRequest, arg8, 64);
TVX_AT(MarketrepEquityPlaceRequest, arg5, 72);

struct TradeReportRequest {
    text arg8;
    text arg3;
    text arg6;
    double arg4;
    text arg9;
    text arg2;
    text arg7;
    std::int32_t arg5;
};
TVX_SIZE(TradeReportRequest, 64);
TVX_AT(TradeReportRequest, arg8, 0);
TVX_AT(TradeReportRequest, arg3, 8);
TVX_AT(TradeReportRequest, arg6, 16);
TVX_AT(TradeReportRequest, arg4, 24);
TVX_AT(TradeReportRequest, arg9, 32);
TVX_AT(TradeReportRequest, arg2, 40);
TVX_AT(TradeReportRequest, arg7, 48);
TVX_AT(TradeReportRequest, arg5, 56);

struct DerivativesOrderNoResult {
    flag success;
    std::int32_t status_code;
    std::int32_t order_no;
    text message;
    text internal_error;
};
TVX_SIZE(DerivativesOrderNoResult, 32);
TVX_AT(DerivativesOrderNoResult, order_no, 8);
TVX_AT(DerivativesOrderNoResult, message, 16);
TVX_AT(DerivativesOrderNoResult, internal_error, 24);

struct EquityOrderNoResult {
    flag success;
    std::int32_t status_code;
    text order_no;
    text message;
    text internal_error;
};
TVX_SIZE(EquityOrderNoResult, 32);
TVX_AT(EquityOrderNoResult, order_no, 8);
TVX_AT(EquityOrderNoResult, message, 16);
TVX_AT(EquityOrderNoResult, internal_error, 24);

using TradeReportResult = RecordList<std::int32_t>;

struct InvestorTextRecord {
    text arg4;
};
TVX_SIZE(InvestorTextRecord, 8);

struct DerivativesOrderActionError {
    text code;
    text message;
    text http_status;
    std::int32_t http_status_code;
    std::int32_t order_no;
};
TVX_SIZE(DerivativesOrderActionError, 32);
TVX_AT(DerivativesOrderActionError, code, 0);
TVX_AT(DerivativesOrderActionError, message, 8);
TVX_AT(DerivativesOrderActionError, http_status, 16);
TVX_AT(DerivativesOrderActionError, http_status_code, 24);
TVX_AT(DerivativesOrderActionError, order_no, 28);

struct EquityOrderActionError {
    text code;
    text message;
    text http_status;
    std::int32_t http_status_code;
    text order_no;
};
TVX_SIZE(EquityOrderActionError, 40);
TVX_AT(EquityOrderActionError, code, 0);
TVX_AT(EquityOrderActionError, message, 8);
TVX_AT(EquityOrderActionError, http_status, 16);
TVX_AT(EquityOrderActionError, http_status_code, 24);
TVX_AT(EquityOrderActionError, order_no, 32);

// Change requests.
struct InvestorDerivativesChangeRequest {
    text arg6;
    text arg7;
    double arg4;
    std::int32_t arg5;
    text arg8;
};
TVX_SIZE(InvestorDerivativesChangeRequest, 40);
TVX_AT(InvestorDerivativesChangeRequest, arg6, 0);
TVX_AT(InvestorDerivativesChangeRequest, arg7, 8);
TVX_AT(InvestorDerivativesChangeRequest, arg4, 16);
TVX_AT(InvestorDerivativesChangeRequest, arg5, 24);
TVX_AT(InvestorDerivativesChangeRequest, arg8, 32);

struct MarketrepDerivativesChangeRequest {
    text arg4;
    text arg7;
    double arg5;
    text arg8;
    std::int32_t arg6;
};
TVX_SIZE(MarketrepDerivativesChangeRequest, 40);
TVX_AT(MarketrepDerivativesChangeRequest, arg4, 0);
TVX_AT(MarketrepDerivativesChangeRequest, arg7, 8);
TVX_AT(MarketrepDerivativesChangeRequest, arg5, 16);
TVX_AT(MarketrepDerivativesChangeRequest, arg8, 24);
TVX_AT(MarketrepDerivativesChangeRequest, arg6, 32);

struct InvestorEquityChangeRequest {
    flag arg10;
    std::int32_t arg8;
    double arg4;
    text arg7;
    text arg9;
    std::int32_t arg5;
    text arg6;
};
TVX_SIZE(InvestorEquityChangeRequest, 48);
TVX_AT(InvestorEquityChangeRequest, arg10, 0);
TVX_AT(InvestorEquityChangeRequest, arg8, 4);
TVX_AT(InvestorEquityChangeRequest, arg4, 8);
TVX_AT(InvestorEquityChangeRequest, arg7, 16);
TVX_AT(InvestorEquityChangeRequest, arg9, 24);
TVX_AT(InvestorEquityChangeRequest, arg5, 32);
TVX_AT(InvestorEquityChangeRequest, arg6, 40);

struct MarketrepEquityChangeRequest {
    flag arg11;
    text arg4;
    std::int32_t arg7;
    double arg5;
    text arg8;
    text arg9;
    std::int32_t arg6;
    flag arg10;
};
TVX_SIZE(MarketrepEquityChangeRequest, 56);
TVX_AT(MarketrepEquityChangeRequest, arg11, 0);
TVX_AT(MarketrepEquityChangeRequest, arg4, 8);
TVX_AT(MarketrepEquityChangeRequest, arg7, 16);
TVX_AT(MarketrepEquityChangeRequest, arg5, 24);
TVX_AT(MarketrepEquityChangeRequest, arg8, 32);
TVX_AT(MarketrepEquityChangeRequest, arg9, 40);
TVX_AT(MarketrepEquityChangeRequest, arg6, 48);
TVX_AT(MarketrepEquityChangeRequest, arg10, 52);

// ---------------------------------------------------------------- candlesticks
struct CandlestickRequest {
    text arg2;
    text arg3;
    std::int32_t arg4;
    flag arg5;
    text arg6;
    text arg7;
};
TVX_SIZE(CandlestickRequest, 40);
TVX_AT(CandlestickRequest, arg2, 0);
TVX_AT(CandlestickRequest, arg3, 8);
TVX_AT(CandlestickRequest, arg4, 16);
TVX_AT(CandlestickRequest, arg5, 20);
TVX_AT(CandlestickRequest, arg6, 24);
TVX_AT(CandlestickRequest, arg7, 32);

template <class T>
struct Column {
    const T* items;
    std::int64_t count;
    std::uint64_t unread;
};

struct CandlestickResult {
    Column<std::int32_t> time;
    Column<double> open;
    Column<double> high;
    Column<double> low;
    Column<double> close;
    Column<std::int32_t> volume;
    flag success;
    std::int32_t status_code;
    std::int32_t last_sequence;
    text message;
    text internal_error;
};
TVX_SIZE(CandlestickResult, 176);
TVX_AT(CandlestickResult, time, 0);
TVX_AT(CandlestickResult, open, 24);
TVX_AT(CandlestickResult, high, 48);
TVX_AT(CandlestickResult, low, 72);
TVX_AT(CandlestickResult, close, 96);
TVX_AT(CandlestickResult, volume, 120);
TVX_AT(CandlestickResult, success, 144);
TVX_AT(CandlestickResult, status_code, 148);
TVX_AT(CandlestickResult, last_sequence, 152);
TVX_AT(CandlestickResult, message, 160);
TVX_AT(CandlestickResult, internal_error, 168);

// ------------------------------------------------------------------ realtime
struct EventRecord {
    flag cache;
    text subscription_key;
    text cache_key;
    std::uint8_t unread[16];
    text payload;
};
TVX_SIZE(EventRecord, 48);
TVX_AT(EventRecord, subscription_key, 8);
TVX_AT(EventRecord, cache_key, 16);
TVX_AT(EventRecord, payload, 40);

using EventReceiver = void (*)(const EventRecord*);

struct SubscribeResult {
    flag success;
    std::uint64_t handle;
    text error;
};
TVX_SIZE(SubscribeResult, 24);
TVX_AT(SubscribeResult, handle, 8);
TVX_AT(SubscribeResult, error, 16);

struct UnsubscribeResult {
    flag remove_cache;
    text cache_key;
    text internal_error;
};
TVX_SIZE(UnsubscribeResult, 24);
TVX_AT(UnsubscribeResult, cache_key, 8);
TVX_AT(UnsubscribeResult, internal_error, 16);

// Every list result shares one layout whatever its items.
using AnyRecordList = RecordList<void>;
TVX_SIZE(AnyRecordList, 48);
TVX_AT(AnyRecordList, count, 8);
TVX_AT(AnyRecordList, success, 24);
TVX_AT(AnyRecordList, status_code, 28);
TVX_AT(AnyRecordList, message, 32);
TVX_AT(AnyRecordList, internal_error, 40);

#undef TVX_AT
#undef TVX_SIZE
}  // namespace tvx::wire
