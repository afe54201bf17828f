// Serialises what an operation received, for tests to read back by offset;
// a request record's texts are found from its field list (requests.h).
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "blobs.h"
#include "requests.h"
#include "sandbox.h"

namespace tvx::sandbox {

class ArgLog {
   public:
    void add(const wire::ConnectionConfig* c) { record(c); }
    void add(wire::text t) {
        open("text");
        out_ += ",\"ptr\":" + std::to_string(reinterpret_cast<std::uintptr_t>(t)) + ",\"value\":";
        text(t);
        out_ += '}';
    }
    void add(std::int32_t v) {
        if (pending_) return add_array(v);
        scalar("i32", std::to_string(v));
    }
    void add(std::uint64_t v) { scalar("u64", std::to_string(v)); }
    void add(bool v) { scalar("bool", v ? "1" : "0"); }
    void add(double v) {
        char buf[40];
        if (v != v)
            std::snprintf(buf, sizeof buf, "NaN");
        else if (v > 1.7976931348623157e308)
            std::snprintf(buf, sizeof buf, "Infinity");
        else if (v < -1.7976931348623157e308)
            std::snprintf(buf, sizeof buf, "-Infinity");
        else
            std::snprintf(buf, sizeof buf, "%.17g", v);
        scalar("f64", buf);
    }
    void add(wire::EventReceiver f) { scalar("receiver", std::to_string(reinterpret_cast<std::uintptr_t>(f))); }
    // An array address is logged with its items once its count arrives.
    void add(const std::int32_t* p) {
        pending_ints_ = p, pending_texts_ = nullptr, pending_ = true, pending_text_ = false;
    }
    void add(const wire::text* p) {
        pending_texts_ = p, pending_ints_ = nullptr, pending_ = true, pending_text_ = true;
    }
    template <class T>
    void add(const T* rec) {
        record(rec);
    }

    std::string finish() { return "[" + out_ + "]"; }

   private:
    template <class T>
    void record(const T* rec) {
        open("record");
        out_ += ",\"type\":\"";
        out_ += Request<T>::name;
        out_ += "\",\"ptr\":" + std::to_string(reinterpret_cast<std::uintptr_t>(rec));
        if (rec) {
            out_ += ",\"bytes\":\"";
            append_hex(out_, reinterpret_cast<const unsigned char*>(rec), sizeof(T));
            out_ += "\",\"texts\":{";
            bool first = true;
            for (std::size_t off : Request<T>::texts) {
                wire::text t;
                std::memcpy(&t, reinterpret_cast<const char*>(rec) + off, sizeof t);
                if (!first) out_ += ',';
                first = false;
                out_ += "\"" + std::to_string(off) + "\":";
                text(t);
            }
            out_ += '}';
        }
        out_ += '}';
    }
    void add_array(std::int32_t count) {
        const std::int32_t* ints = pending_ints_;
        const wire::text* texts = pending_texts_;
        const bool is_text = pending_text_;
        pending_ints_ = nullptr, pending_texts_ = nullptr, pending_ = false;
        const void* p = ints ? static_cast<const void*>(ints) : texts;
        open(is_text ? "text_array" : "i32_array");
        out_ += ",\"ptr\":" + std::to_string(reinterpret_cast<std::uintptr_t>(p));
        out_ += ",\"count\":" + std::to_string(count) + ",\"items\":[";
        for (std::int32_t i = 0; p && i < count; ++i) {
            if (i) out_ += ',';
            if (ints)
                out_ += std::to_string(ints[i]);
            else
                text(texts[i]);
        }
        out_ += "]}";
        scalar("i32", std::to_string(count));
    }
    void open(const char* kind) {
        if (!out_.empty()) out_ += ',';
        out_ += "{\"kind\":\"";
        out_ += kind;
        out_ += '"';
    }
    void scalar(const char* kind, const std::string& v) {
        open(kind);
        out_ += ",\"value\":" + v + '}';
    }
    void text(wire::text t) {
        if (!t) {
            out_ += "null";
            return;
        }
        out_ += "{\"ptr\":" + std::to_string(reinterpret_cast<std::uintptr_t>(t)) + ",\"hex\":\"";
        append_hex(out_, reinterpret_cast<const unsigned char*>(t), std::strlen(t));
        out_ += "\"}";
    }

    std::string out_;
    const std::int32_t* pending_ints_ = nullptr;
    const wire::text* pending_texts_ = nullptr;
    bool pending_ = false;
    bool pending_text_ = false;
};

}  // namespace tvx::sandbox
