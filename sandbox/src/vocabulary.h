// The library's one vocabulary: the engine's enums (book.h, ledger.h) are the
// broker's too, and one table reads each from the texts callers type
// (without regard to ASCII case) and writes it back.
#pragma once
#include <cstddef>
#include <string>
#include <type_traits>

#include "ledger.h"

namespace tvx::sandbox {

using engine::Market;
using engine::PositionMode;
using engine::PriceType;
using engine::Side;
using engine::Trigger;
using engine::Validity;

namespace vocabulary {

template <class E>
struct Word {
    const char* text;
    E value;
    bool derivatives_only = false;  // LONG and SHORT name sides only there; BUY and SELL everywhere
    bool equity_only = false;
};

inline constexpr Word<Side> kSides[] = {
    {"BUY", Side::Buy}, {"SELL", Side::Sell}, {"LONG", Side::Buy, true, false}, {"SHORT", Side::Sell, true, false}};
inline constexpr Word<PriceType> kPriceTypes[] = {{"LIMIT", PriceType::Limit}, {"MARKET", PriceType::Market}};
inline constexpr Word<Validity> kValidities[] = {
    {"DAY", Validity::Day}, {"IOC", Validity::IOC}, {"FOK", Validity::FOK}};
inline constexpr Word<PositionMode> kPositions[] = {
    {"OPEN", PositionMode::Open}, {"CLOSE", PositionMode::Close}, {"AUTO", PositionMode::Auto}};
inline constexpr Word<Trigger> kTriggers[] = {{"LAST_PAID_OR_HIGHER", Trigger::LastPaidOrHigher},
                                              {"LAST_PAID_OR_LOWER", Trigger::LastPaidOrLower}};

template <class E>
constexpr auto& table() {
    if constexpr (std::is_same_v<E, Side>)
        return kSides;
    else if constexpr (std::is_same_v<E, PriceType>)
        return kPriceTypes;
    else if constexpr (std::is_same_v<E, Validity>)
        return kValidities;
    else if constexpr (std::is_same_v<E, Trigger>)
        return kTriggers;
    else
        return kPositions;
}

}  // namespace vocabulary

// Texts a user types (symbols, intervals, order numbers, sides...) match
// without regard to ASCII case.
inline char lower_ascii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
inline bool same_text(const char* a, const char* b) {
    if (!a || !b) return false;
    for (; *a && *b; ++a, ++b)
        if (lower_ascii(*a) != lower_ascii(*b)) return false;
    return *a == *b;
}

// The value `text` names in `market`; false when it names none.
template <class E>
bool read_word(const char* text, Market market, E& out) {
    for (const auto& w : vocabulary::table<E>()) {
        if ((w.derivatives_only && market != Market::Derivatives) || (w.equity_only && market != Market::Equity))
            continue;
        if (same_text(text, w.text)) {
            out = w.value;
            return true;
        }
    }
    return false;
}

// How `value` reads in `market`: its first word there.
template <class E>
const char* word_of(E value, Market market) {
    for (const auto& w : vocabulary::table<E>()) {
        if ((w.derivatives_only && market != Market::Derivatives) || (w.equity_only && market != Market::Equity))
            continue;
        if (w.value == value) return w.text;
    }
    return "";
}

// The words `market` knows for E, as "A, B or C" for messages.
template <class E>
std::string words_of(Market market) {
    std::string out;
    std::size_t n = 0, k = 0;
    for (const auto& w : vocabulary::table<E>())
        n += !((w.derivatives_only && market != Market::Derivatives) || (w.equity_only && market != Market::Equity));
    for (const auto& w : vocabulary::table<E>()) {
        if ((w.derivatives_only && market != Market::Derivatives) || (w.equity_only && market != Market::Equity))
            continue;
        out += k == 0 ? "" : (k + 1 == n ? " or " : ", ");
        out += w.text;
        ++k;
    }
    return out;
}

}  // namespace tvx::sandbox
