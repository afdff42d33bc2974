#pragma once
// A JSON text built in a caller's fixed buffer, for the report and the port
// listing: no heap, no stdio, no locale, so a signal handler may use it. Past the buffer's end
// the text is cut and the writer remembers it overflowed.

#include <cstddef>
#include <cstdint>

class JsonOut {
  public:
    JsonOut(char* buffer, size_t cap) : buffer_(buffer), cap_(cap) {}

    // Raw text, as is.
    void Raw(const char* text);
    void Raw(const char* text, size_t length);
    // A JSON string of at most `length` bytes of `text` (up to its first
    // NUL): quotes, backslashes and control characters escaped (\n, \t, \r,
    // \b, \f, else \u00XX); valid UTF-8 kept; every byte not part of a valid
    // UTF-8 sequence becomes the character of that value (U+0080 to U+00FF,
    // as Latin-1 reads it), so any bytes give valid JSON the same way.
    void String(const char* text, size_t length = SIZE_MAX);
    // A string or null.
    void StringOrNull(const char* text, size_t length = SIZE_MAX);
    void Unsigned(uint64_t value);
    void Signed(int64_t value);
    // `micros` as seconds with three decimals.
    void Seconds(uint64_t micros);
    // `digits` lower-case hex digits in a string, without "0x".
    void HexString(uint64_t value, int digits);
    // Lower-case hex of `length` bytes in a string.
    void HexBytes(const uint8_t* bytes, size_t length);
    // `"key":`, preceded by a comma unless it is the object's first.
    void Key(const char* key, bool first = false);

    size_t Length() const { return at_; }
    bool Overflowed() const { return overflowed_; }

  private:
    void Put(char c);
    char* buffer_;
    size_t cap_;
    size_t at_ = 0;
    bool overflowed_ = false;
};
