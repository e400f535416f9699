// json.cpp - writing the tools' JSON answers.
#include "common/json.h"

#include <cstdio>

namespace {

// Length of the valid UTF-8 sequence at p (of n bytes left), 0 if none.
size_t utf8_length(const unsigned char* p, size_t n) {
    const unsigned char c = p[0];
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (len == 0 || len > n) return 0;
    for (size_t i = 1; i < len; i++)
        if ((p[i] & 0xC0) != 0x80) return 0;
    return len;
}

} // namespace

std::string json_string(const std::string& text) {
    std::string out = "\"";
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    size_t n = text.size();
    for (size_t i = 0; i < n;) {
        const unsigned char c = p[i];
        char esc[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            i++;
        } else if (c == '\n') {
            out += "\\n";
            i++;
        } else if (c == '\t') {
            out += "\\t";
            i++;
        } else if (c == '\r') {
            out += "\\r";
            i++;
        } else if (c < 0x20 || c == 0x7f) {
            snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
            i++;
        } else {
            const size_t len = utf8_length(p + i, n - i);
            if (len == 0) {
                snprintf(esc, sizeof esc, "\\u%04x", c);
                out += esc;
                i++;
            } else {
                out.append(text, i, len);
                i += len;
            }
        }
    }
    return out + "\"";
}

static void member(std::string* body, const char* key, const std::string& value) {
    if (!body->empty()) *body += ",";
    *body += json_string(key) + ":" + value;
}

void json_object::add(const char* key, const std::string& value) {
    member(&body, key, json_string(value));
}

void json_object::add(const char* key, const char* value) {
    member(&body, key, json_string(value ? value : ""));
}

void json_object::add(const char* key, int64_t value) {
    member(&body, key, std::to_string(value));
}

void json_object::add(const char* key, uint64_t value) {
    member(&body, key, std::to_string(value));
}

void json_object::add_bool(const char* key, bool value) {
    member(&body, key, value ? "true" : "false");
}

void json_object::add_null(const char* key) {
    member(&body, key, "null");
}

void json_object::add_list(const char* key, const std::vector<std::string>& values) {
    std::vector<std::string> items;
    for (const std::string& v : values)
        items.push_back(json_string(v));
    member(&body, key, json_array(items));
}

void json_object::add_raw(const char* key, const std::string& value) {
    member(&body, key, value);
}

std::string json_array(const std::vector<std::string>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); i++) {
        if (i) out += ",";
        out += items[i];
    }
    return out + "]";
}
