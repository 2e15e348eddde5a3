#pragma once
#include "common/output_stream.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Receives a copy of written bytes, e.g. to hash a dictionary exactly as it went out.
using byte_tap = std::function<void(const unsigned char *data, std::size_t size)>;

// Writes bencoded values front to back: the only code of the tool that formats bencode. The
// target is the output file, written as the values come (nothing is held back), or a buffer in
// memory, for a part that can only be placed once it is complete.
//
// Within each dictionary the keys must come in strictly ascending byte order; debug builds
// assert it. Values are not checked against their keys: a run that fails half-way still ends
// its document with the end markers it always wrote, whatever is open by then.
class bencode_writer {
  public:
    explicit bencode_writer(output_stream &file);
    explicit bencode_writer(std::string &memory);

    void integer(std::int64_t value);
    void string(std::string_view bytes);

    // A byte string whose bytes are not known yet: its length now, then exactly that many
    // bytes in parts. A part returns whether it was taken.
    void string_head(std::int64_t length);
    bool string_part(const void *bytes, std::size_t size);

    void begin_list();
    void begin_dict();
    void key(std::string_view name);
    // Closes the innermost open list or dictionary.
    void end();

    // Hands every byte of the next list or dictionary, from its opening to its end marker, to
    // `tap` as well.
    void tap_next_container(byte_tap tap);

    // Whether a write to the output file has failed.
    bool failed() const;

    // Whether the outermost container has been closed: the document is complete.
    bool complete() const;

  private:
    struct open_container {
        bool is_dict = false;
        bool has_key = false;
        std::string last_key; // tracked only where the key order is asserted
    };

    bool put(const void *data, std::size_t size);
    void begin_container(char marker, bool is_dict);

    output_stream *file_ = nullptr;
    std::string *memory_ = nullptr;
    std::vector<open_container> open_;
    byte_tap pending_tap_;
    byte_tap tap_;
    std::size_t tap_depth_ = 0; // open containers while the tapped one is the innermost
    bool complete_ = false;
};
