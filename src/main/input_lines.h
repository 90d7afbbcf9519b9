// The framing of standard input into lines: bytes up to each line feed, the UTF-8 byte order mark
// dropped from the first line, one trailing carriage return dropped from every line.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

class InputLines {
  public:
    // Reads up to `capacity` bytes, blocking for at least one; 0 at the end of input.
    using Source = std::function<std::size_t(char* buffer, std::size_t capacity)>;

    explicit InputLines(Source reader) : source(std::move(reader)) {}

    // The next non-empty line into `line` (its buffer is reused); false at the end of input. The
    // last line counts even without a line feed.
    bool next(std::string& line);

  private:
    bool readLine(std::string& line);

    Source source;
    std::string buffer;     // bytes read but not yet handed out
    std::size_t start = 0;  // where the unread part of `buffer` begins
    bool ended = false;
    bool firstLine = true;
};
