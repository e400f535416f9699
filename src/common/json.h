// json.h - the JSON that the tools print with --json: one object per answer,
// keys in the order they are added, strings escaped, numbers as integers.
// Nothing here parses JSON.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The text as a JSON string, quotes included. Bytes that are not valid UTF-8
// are written as \u00XX of the byte, so the output is always valid JSON.
std::string json_string(const std::string& text);

struct json_object {
    std::string body; // the members so far, without the braces

    void add(const char* key, const std::string& value);
    void add(const char* key, const char* value);
    void add(const char* key, int64_t value);
    void add(const char* key, uint64_t value);
    void add_bool(const char* key, bool value);
    void add_null(const char* key);
    void add_list(const char* key, const std::vector<std::string>& values);
    // value: JSON text made elsewhere (an object or an array).
    void add_raw(const char* key, const std::string& value);
    std::string text() const { return "{" + body + "}"; }
};

// "[a,b,...]" of JSON texts made elsewhere.
std::string json_array(const std::vector<std::string>& items);
