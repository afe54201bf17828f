#include "candlesticks.h"

#include "../backend/operations.h"
#include "../core/frame.h"

namespace tvx::marketdata {
namespace {
using namespace tvx::core;
using wire::CandlestickResult;

// `data` carries every key whatever the outcome; a refusal only empties the columns.
const RecordTable candlesticks{sizeof(CandlestickResult),
                               {
                                   TVX_FIELD(CandlestickResult, last_sequence),
                                   TVX_FIELD(CandlestickResult, time),
                                   TVX_FIELD(CandlestickResult, open),
                                   TVX_FIELD(CandlestickResult, high),
                                   TVX_FIELD(CandlestickResult, low),
                                   TVX_FIELD(CandlestickResult, close),
                                   TVX_FIELD(CandlestickResult, volume),
                               }};

}  // namespace

py::dict get_candlesticks(const py::dict& context, const std::string& text1, const std::string& text2,
                          std::int32_t number, bool flag, const std::string& text3, const std::string& text4) {
    wire::CandlestickRequest request{};
    put(request.arg2, text1), put(request.arg3, text2), put(request.arg4, number), put(request.arg5, flag);
    put(request.arg6, text3), put(request.arg7, text4);
    const CandlestickResult r = call_library(context, op::get_candlesticks, &request);
    // Unlike the other queries, the library's message stands on success too.
    return envelope_of(r, candlesticks.convert(&r, r.success ? Columns::Read : Columns::Empty), Message::Always);
}

}  // namespace tvx::marketdata
