// Broker mode's realtime operations: subscriptions are accepted for a known
// channel and kept with their receiver and key, for the streams to come.
#pragma once
#include "broker.h"

namespace tvx::sandbox {

#define TVX_BROKER_SUBSCRIBE(n)                                                                      \
    template <>                                                                                      \
    struct Broker<n, SubscribeResult> {                                                              \
        static SubscribeResult call(text daemon_type, text channel_id, text topic, text subject,    \
                                    EventReceiver receiver, text key);                              \
    };
TVX_BROKER_SUBSCRIBE(43)
TVX_BROKER_SUBSCRIBE(45)
TVX_BROKER_SUBSCRIBE(46)
TVX_BROKER_SUBSCRIBE(47)
#undef TVX_BROKER_SUBSCRIBE

template <>
struct Broker<44, SubscribeResult> {
    static SubscribeResult call(text daemon_type, text channel_id, text topic, text subject, text subject2,
                                EventReceiver receiver, text key);
};

template <>
struct Broker<48, UnsubscribeResult> {
    static UnsubscribeResult call(text daemon_type, text channel_id, std::uint64_t handle);
};

}  // namespace tvx::sandbox
