// Just enough JSON for event payloads, the broker's state dump and the
// settings the control package sends.
#pragma once
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "text.h"

namespace tvx::sandbox::json {

// Appends JSON to a string; keys and values are written in call order and
// commas are placed automatically.
class Writer {
   public:
    Writer& begin_object() { return open('{'); }
    Writer& end_object() { return close('}'); }
    Writer& begin_array() { return open('['); }
    Writer& end_array() { return close(']'); }
    Writer& key(const std::string& k) {
        comma();
        quote(k);
        out_ += ':';
        after_key_ = true;
        return *this;
    }
    Writer& value(const std::string& s) {
        comma();
        quote(s);
        return *this;
    }
    Writer& value(const char* s) {
        if (!s) return null();
        return value(std::string(s));
    }
    Writer& value(double v) {
        comma();
        if (!std::isfinite(v)) {
            out_ += "null";
            return *this;
        }
        char buf[40];
        // As printf's %.15g, without its locale and format parsing.
        const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 15);
        out_.append(buf, r.ptr);
        return *this;
    }
    Writer& value(std::int64_t v) {
        comma();
        out_ += std::to_string(v);
        return *this;
    }
    Writer& value(int v) { return value(static_cast<std::int64_t>(v)); }
    Writer& value(std::uint64_t v) {
        comma();
        out_ += std::to_string(v);
        return *this;
    }
    Writer& value(bool v) {
        comma();
        out_ += v ? "true" : "false";
        return *this;
    }
    Writer& null() {
        comma();
        out_ += "null";
        return *this;
    }
    // A finished JSON text as one value.
    Writer& raw(const std::string& j) {
        comma();
        out_ += j;
        return *this;
    }
    template <class T>
    Writer& field(const std::string& k, const T& v) {
        key(k);
        return value(v);
    }
    const std::string& str() const { return out_; }
    std::string take() { return std::move(out_); }

   private:
    Writer& open(char c) {
        comma();
        out_ += c;
        first_ = true;
        return *this;
    }
    Writer& close(char c) {
        out_ += c;
        first_ = false;
        return *this;
    }
    void comma() {
        if (after_key_) {
            after_key_ = false;
            return;
        }
        if (!first_ && !out_.empty()) out_ += ',';
        first_ = false;
    }
    void quote(const std::string& raw) {
        // Nearly every text is plain ASCII with nothing to escape: one scan, one append.
        bool plain = true;
        for (unsigned char c : raw)
            if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\') {
                plain = false;
                break;
            }
        if (plain) {
            out_ += '"';
            out_ += raw;
            out_ += '"';
            return;
        }
        if (!is_valid_utf8(raw)) return quote(valid_utf8(raw));
        const std::string& s = raw;
        out_ += '"';
        for (unsigned char c : s) {
            switch (c) {
                case '"':
                    out_ += "\\\"";
                    break;
                case '\\':
                    out_ += "\\\\";
                    break;
                case '\n':
                    out_ += "\\n";
                    break;
                case '\r':
                    out_ += "\\r";
                    break;
                case '\t':
                    out_ += "\\t";
                    break;
                default:
                    if (c < 0x20) {
                        char buf[8];
                        std::snprintf(buf, sizeof buf, "\\u%04x", c);
                        out_ += buf;
                    } else {
                        out_ += static_cast<char>(c);
                    }
            }
        }
        out_ += '"';
    }

    std::string out_;
    bool first_ = true;
    bool after_key_ = false;
};

// A parsed value. Objects keep their keys sorted; the settings we read do not
// care about order.
struct Value {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool b = false;
    double n = 0;
    std::string s;
    std::vector<Value> items;
    std::map<std::string, Value> fields;

    bool has(const std::string& k) const { return kind == Object && fields.count(k); }
    const Value& operator[](const std::string& k) const {
        static const Value none;
        auto it = fields.find(k);
        return it == fields.end() ? none : it->second;
    }
    bool is_null() const { return kind == Null; }
    double number(double fallback) const { return kind == Number ? n : fallback; }
    std::int64_t integer(std::int64_t fallback) const {
        return kind == Number ? static_cast<std::int64_t>(std::llround(n)) : fallback;
    }
    bool boolean(bool fallback) const { return kind == Bool ? b : fallback; }
    std::string string(const std::string& fallback) const { return kind == String ? s : fallback; }
};

class Parser {
   public:
    explicit Parser(const std::string& text) : t_(text) {}
    Value parse() {
        Value v = value();
        space();
        if (i_ != t_.size()) fail("trailing characters");
        return v;
    }

   private:
    [[noreturn]] void fail(const char* what) {
        throw std::invalid_argument(std::string("bad JSON: ") + what + " at offset " + std::to_string(i_));
    }
    void space() {
        while (i_ < t_.size() && (t_[i_] == ' ' || t_[i_] == '\n' || t_[i_] == '\r' || t_[i_] == '\t')) ++i_;
    }
    bool eat(char c) {
        space();
        if (i_ < t_.size() && t_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }
    bool word(const char* w) {
        const std::string s(w);
        if (t_.compare(i_, s.size(), s) == 0) {
            i_ += s.size();
            return true;
        }
        return false;
    }
    Value value() {
        space();
        if (i_ >= t_.size()) fail("unexpected end");
        Value v;
        const char c = t_[i_];
        if (c == '{') {
            ++i_;
            v.kind = Value::Object;
            if (eat('}')) return v;
            do {
                space();
                std::string k = string();
                if (!eat(':')) fail("expected ':'");
                v.fields[k] = value();
            } while (eat(','));
            if (!eat('}')) fail("expected '}'");
        } else if (c == '[') {
            ++i_;
            v.kind = Value::Array;
            if (eat(']')) return v;
            do v.items.push_back(value());
            while (eat(','));
            if (!eat(']')) fail("expected ']'");
        } else if (c == '"') {
            v.kind = Value::String;
            v.s = string();
        } else if (word("true")) {
            v.kind = Value::Bool, v.b = true;
        } else if (word("false")) {
            v.kind = Value::Bool;
        } else if (word("null")) {
        } else {
            const char* start = t_.c_str() + i_;
            char* end = nullptr;
            v.n = std::strtod(start, &end);
            if (end == start) fail("unexpected character");
            v.kind = Value::Number;
            i_ += static_cast<std::size_t>(end - start);
        }
        return v;
    }
    std::string string() {
        if (i_ >= t_.size() || t_[i_] != '"') fail("expected a string");
        ++i_;
        std::string out;
        while (i_ < t_.size() && t_[i_] != '"') {
            char c = t_[i_++];
            if (c != '\\') {
                out += c;
                continue;
            }
            if (i_ >= t_.size()) fail("bad escape");
            c = t_[i_++];
            switch (c) {
                case 'n':
                    out += '\n';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'u': {
                    if (i_ + 4 > t_.size()) fail("bad escape");
                    const unsigned cp = static_cast<unsigned>(std::stoul(t_.substr(i_, 4), nullptr, 16));
                    i_ += 4;
                    // Basic plane only; the settings are plain ASCII in practice.
                    if (cp < 0x80) {
                        out += static_cast<char>(cp);
                    } else if (cp < 0x800) {
                        out += static_cast<char>(0xC0 | (cp >> 6));
                        out += static_cast<char>(0x80 | (cp & 0x3F));
                    } else {
                        out += static_cast<char>(0xE0 | (cp >> 12));
                        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                        out += static_cast<char>(0x80 | (cp & 0x3F));
                    }
                    break;
                }
                default:
                    out += c;
            }
        }
        if (i_ >= t_.size()) fail("unterminated string");
        ++i_;
        return out;
    }

    const std::string& t_;
    std::size_t i_ = 0;
};

inline Value parse(const std::string& text) { return Parser(text).parse(); }

}  // namespace tvx::sandbox::json
