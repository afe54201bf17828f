#include "candlesticks.h"

#include "../backend/operations.h"
#include "../core/frame.h"

namespace tvx::marketdata {
namespace {
using namespace tvx::core;
using wire::CandlestickResult;

// `data` carries every key whatever the outcome; a refusal only empties the columns.
const RecordTable candlesticks{sizeof(CandlestickResult), {
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
    request.arg2 = text_copy(text1);
    request.arg3 = text_copy(text2);
    request.arg4 = number;
    request.arg5 = flag ? 1 : 0;
    request.arg6 = text_copy(text3);
    request.arg7 = text_copy(text4);
    const CandlestickResult r = call_library(context, op::get_candlesticks, &request);
    const bool ok = r.success != 0;
    py::dict data = candlesticks.convert(&r, ok ? Columns::Read : Columns::Empty);
    // Unlike the other queries, the library's message stands on success too.
    return envelope(ok, r.status_code, std::move(data), text_or_none(r.message));
}

}  // namespace tvx::marketdata
