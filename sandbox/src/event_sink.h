// What the components write what happens to: the streams implement it, a
// component test may listen instead. Nothing is formatted for a topic
// nobody watches.
#pragma once
#include <functional>
#include <string>

namespace tvx::sandbox {

enum class Topic { BidOffer, Info, Candle, DerivativesOrder, EquityOrder };
// The topic's name on the interface.
const char* topic_name(Topic t);
inline bool is_market(Topic t) { return t == Topic::BidOffer || t == Topic::Info || t == Topic::Candle; }

class EventSink {
   public:
    // Makes the payload for a subscription's second subject (a candle's interval).
    using Maker = std::function<std::string(const std::string& subject2)>;
    virtual bool watched(Topic t, const std::string& subject) const = 0;
    // An event of the current operation; `make` holds the picture as it is now.
    virtual void note(Topic t, const std::string& subject, int conflate_key, Maker make) = 0;

   protected:
    ~EventSink() = default;
};

}  // namespace tvx::sandbox
