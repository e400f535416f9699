// wire.h - big-endian writers and readers for the protocol's byte layouts.
//
// The writer and the reader are bounded cursors over a caller's buffer: a
// write that would pass the end, or a read that would pass the data, sets the
// cursor's failed flag and changes nothing (a failed read returns 0 or null).
// Once failed, a cursor stays failed. Callers check the flag once at the end
// instead of after every field. Pointers returned point into the caller's
// buffer. Pure code, no allocation; shared by the
// client and the reference server.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

inline void put_be16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void put_be32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++)
        p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
inline void put_be64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; i++)
        p[i] = static_cast<uint8_t>(v >> (56 - 8 * i));
}
inline uint16_t get_be16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline uint32_t get_be32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}
inline uint64_t get_be64(const uint8_t* p) {
    return (static_cast<uint64_t>(get_be32(p)) << 32) | get_be32(p + 4);
}

struct wire_writer {
    uint8_t* p;
    size_t cap;
    size_t pos;
    bool failed;
};

inline wire_writer wire_writer_over(uint8_t* p, size_t cap) {
    return wire_writer{p, cap, 0, false};
}

// Reserves n bytes; null (and failed set) when they do not fit.
inline uint8_t* wire_room(wire_writer* w, size_t n) {
    if (w->failed || n > w->cap - w->pos) {
        w->failed = true;
        return nullptr;
    }
    uint8_t* at = w->p + w->pos;
    w->pos += n;
    return at;
}
inline void wire_put_u8(wire_writer* w, uint8_t v) {
    if (uint8_t* at = wire_room(w, 1)) at[0] = v;
}
inline void wire_put_be16(wire_writer* w, uint16_t v) {
    if (uint8_t* at = wire_room(w, 2)) put_be16(at, v);
}
inline void wire_put_be32(wire_writer* w, uint32_t v) {
    if (uint8_t* at = wire_room(w, 4)) put_be32(at, v);
}
inline void wire_put_be64(wire_writer* w, uint64_t v) {
    if (uint8_t* at = wire_room(w, 8)) put_be64(at, v);
}
inline void wire_put_bytes(wire_writer* w, const void* data, size_t n) {
    if (uint8_t* at = wire_room(w, n))
        if (n) memcpy(at, data, n);
}
// A text with a 1-byte length; texts over 255 bytes fail the writer.
inline void wire_put_text8(wire_writer* w, const char* text, size_t n) {
    if (n > 0xFF) {
        w->failed = true;
        return;
    }
    wire_put_u8(w, static_cast<uint8_t>(n));
    wire_put_bytes(w, text, n);
}
// A text with a 2-byte length; texts over 65535 bytes fail the writer.
inline void wire_put_text16(wire_writer* w, const char* text, size_t n) {
    if (n > 0xFFFF) {
        w->failed = true;
        return;
    }
    wire_put_be16(w, static_cast<uint16_t>(n));
    wire_put_bytes(w, text, n);
}

struct wire_reader {
    const uint8_t* p;
    size_t len;
    size_t pos;
    bool failed;
};

inline wire_reader wire_reader_over(const uint8_t* p, size_t len) {
    return wire_reader{p, len, 0, false};
}

// The next n bytes, or null (and failed set) when fewer remain.
inline const uint8_t* wire_take(wire_reader* r, size_t n) {
    if (r->failed || n > r->len - r->pos) {
        r->failed = true;
        return nullptr;
    }
    const uint8_t* at = r->p + r->pos;
    r->pos += n;
    return at;
}
inline uint8_t wire_get_u8(wire_reader* r) {
    const uint8_t* at = wire_take(r, 1);
    return at ? at[0] : 0;
}
inline uint16_t wire_get_be16(wire_reader* r) {
    const uint8_t* at = wire_take(r, 2);
    return at ? get_be16(at) : 0;
}
inline uint32_t wire_get_be32(wire_reader* r) {
    const uint8_t* at = wire_take(r, 4);
    return at ? get_be32(at) : 0;
}
inline uint64_t wire_get_be64(wire_reader* r) {
    const uint8_t* at = wire_take(r, 8);
    return at ? get_be64(at) : 0;
}
// Reads a text with a 1-byte length into a field of size bytes, cut to
// size - 1 and terminated. The whole text must be present.
inline void wire_get_text8_into(wire_reader* r, char* field, size_t size) {
    size_t n = wire_get_u8(r);
    const uint8_t* at = wire_take(r, n);
    if (size == 0) return;
    if (!at) n = 0;
    if (n > size - 1) n = size - 1;
    if (n) memcpy(field, at, n);
    field[n] = 0;
}
