#include "account_info.h"

#include <cstring>

#include "../backend/operations.h"
#include "../core/frame.h"

namespace tvx::queries {
namespace {
using namespace tvx::core;
using wire::DerivativesAccount;
using wire::EquityAccount;

const RecordTable derivatives_account{sizeof(DerivativesAccount),
                                      {
                                          TVX_FIELD(DerivativesAccount, call_force_flag),
                                          TVX_FIELD(DerivativesAccount, call_force_margin),
                                          TVX_FIELD(DerivativesAccount, cash_balance),
                                          TVX_FIELD(DerivativesAccount, credit_line),
                                          TVX_FIELD(DerivativesAccount, equity),
                                          TVX_FIELD(DerivativesAccount, excess_equity),
                                          TVX_FIELD(DerivativesAccount, total_mm),
                                          TVX_FIELD(DerivativesAccount, total_mr),
                                      }};

// Credit-balance accounts: every field but the three initial_ ones.
const RecordTable credit_balance_account{sizeof(EquityAccount),
                                         {
                                             TVX_FIELD(EquityAccount, account_type),
                                             TVX_FIELD(EquityAccount, actual_cash_balance),
                                             TVX_FIELD(EquityAccount, actual_margin_loan),
                                             TVX_FIELD(EquityAccount, additional_data),
                                             TVX_FIELD(EquityAccount, asset),
                                             TVX_FIELD(EquityAccount, available_cash_balance),
                                             TVX_FIELD(EquityAccount, available_margin_loan),
                                             TVX_FIELD(EquityAccount, buy_mr),
                                             TVX_FIELD(EquityAccount, call_amount),
                                             TVX_FIELD(EquityAccount, call_margin),
                                             TVX_FIELD(EquityAccount, can_buy),
                                             TVX_FIELD(EquityAccount, can_sell),
                                             TVX_FIELD(EquityAccount, cash_balance),
                                             TVX_FIELD(EquityAccount, client_type),
                                             TVX_FIELD(EquityAccount, cm_adjust),
                                             TVX_FIELD(EquityAccount, collateral),
                                             TVX_FIELD(EquityAccount, credit_balance),
                                             TVX_FIELD(EquityAccount, credit_limit),
                                             TVX_FIELD(EquityAccount, customer_type),
                                             TVX_FIELD(EquityAccount, equity_balance),
                                             TVX_FIELD(EquityAccount, excess_equity),
                                             TVX_FIELD(EquityAccount, fm_adjust),
                                             TVX_FIELD(EquityAccount, force_amount),
                                             TVX_FIELD(EquityAccount, force_margin),
                                             TVX_FIELD(EquityAccount, im_adjust),
                                             TVX_FIELD(EquityAccount, liabilities),
                                             TVX_FIELD(EquityAccount, line_avail_50),
                                             TVX_FIELD(EquityAccount, line_avail_60),
                                             TVX_FIELD(EquityAccount, line_avail_70),
                                             TVX_FIELD(EquityAccount, line_avail_80),
                                             TVX_FIELD(EquityAccount, line_available),
                                             TVX_FIELD(EquityAccount, long_market_value),
                                             TVX_FIELD(EquityAccount, margin_cm),
                                             TVX_FIELD(EquityAccount, margin_fm),
                                             TVX_FIELD(EquityAccount, margin_im),
                                             TVX_FIELD(EquityAccount, mr),
                                             TVX_FIELD(EquityAccount, mtm_realtime),
                                             TVX_FIELD(EquityAccount, net_settlement_line),
                                             TVX_FIELD(EquityAccount, percent_mm),
                                             TVX_FIELD(EquityAccount, purchasing_power),
                                             TVX_FIELD(EquityAccount, value_force_sale),
                                         }};

const RecordTable cash_account{sizeof(EquityAccount),
                               {
                                   TVX_FIELD(EquityAccount, account_type),
                                   TVX_FIELD(EquityAccount, additional_data),
                                   TVX_FIELD(EquityAccount, can_buy),
                                   TVX_FIELD(EquityAccount, can_sell),
                                   TVX_FIELD(EquityAccount, cash_balance),
                                   TVX_FIELD(EquityAccount, client_type),
                                   TVX_FIELD(EquityAccount, credit_balance),
                                   TVX_FIELD(EquityAccount, credit_limit),
                                   TVX_FIELD(EquityAccount, customer_type),
                                   TVX_FIELD(EquityAccount, initial_cash_balance),
                                   TVX_FIELD(EquityAccount, initial_credit_limit),
                                   TVX_FIELD(EquityAccount, initial_line_available),
                                   TVX_FIELD(EquityAccount, line_available),
                                   TVX_FIELD(EquityAccount, net_settlement_line),
                               }};

py::dict equity_envelope(const wire::EquityAccountResult& r) {
    // A refused result's record is not read, its account type included.
    const char* type = r.success ? r.record.account_type : nullptr;
    const bool credit = type && std::strcmp(type, "CREDIT_BALANCE") == 0;
    return record_envelope(r, credit ? credit_balance_account : cash_account);
}

}  // namespace

py::dict get_investor_derivatives_account_info(const py::dict& context, const std::string& account_no) {
    return record_envelope(call_library(context, op::get_investor_derivatives_account_info, account_no),
                           derivatives_account);
}

py::dict get_marketrep_derivatives_account_info(const py::dict& context, const std::string& account_no) {
    return record_envelope(call_library(context, op::get_marketrep_derivatives_account_info, account_no),
                           derivatives_account);
}

py::dict get_investor_equity_account_info(const py::dict& context, const std::string& account_no) {
    return equity_envelope(call_library(context, op::get_investor_equity_account_info, account_no));
}

py::dict get_marketrep_equity_account_info(const py::dict& context, const std::string& account_no) {
    return equity_envelope(call_library(context, op::get_marketrep_equity_account_info, account_no));
}

}  // namespace tvx::queries
