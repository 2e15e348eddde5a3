#include "metainfo/bencode.h"

#include <cassert>
#include <charconv>
#include <utility>

namespace {
// "i", a 64-bit decimal with its sign, "e".
constexpr std::size_t longest_integer = 22;
} // namespace

bencode_writer::bencode_writer(output_stream &file) : file_(&file) {}

bencode_writer::bencode_writer(std::string &memory) : memory_(&memory) {}

bool bencode_writer::put(const void *data, std::size_t size) {
    if (tap_) {
        tap_(static_cast<const unsigned char *>(data), size);
    }
    if (memory_ != nullptr) {
        memory_->append(static_cast<const char *>(data), size);
        return true;
    }
    return out_write(*file_, data, size);
}

void bencode_writer::integer(std::int64_t value) {
    char text[longest_integer];
    text[0] = 'i';
    char *last = std::to_chars(text + 1, text + longest_integer - 1, value).ptr;
    *last++ = 'e';
    put(text, static_cast<std::size_t>(last - text));
}

void bencode_writer::string_head(std::int64_t length) {
    char text[longest_integer];
    char *last = std::to_chars(text, text + longest_integer - 1, length).ptr;
    *last++ = ':';
    put(text, static_cast<std::size_t>(last - text));
}

bool bencode_writer::string_part(const void *bytes, std::size_t size) {
    return size == 0 || put(bytes, size);
}

void bencode_writer::string(std::string_view bytes) {
    string_head(static_cast<std::int64_t>(bytes.size()));
    string_part(bytes.data(), bytes.size());
}

void bencode_writer::begin_container(char marker, bool is_dict) {
    if (pending_tap_) {
        tap_ = std::exchange(pending_tap_, nullptr);
        tap_depth_ = open_.size() + 1;
    }
    open_.push_back({is_dict, false, {}});
    put(&marker, 1);
}

void bencode_writer::begin_list() {
    begin_container('l', false);
}

void bencode_writer::begin_dict() {
    begin_container('d', true);
}

void bencode_writer::key(std::string_view name) {
    assert(!open_.empty() && open_.back().is_dict);
#ifndef NDEBUG
    open_container &dict = open_.back();
    assert(!dict.has_key || std::string_view(dict.last_key) < name);
    dict.has_key = true;
    dict.last_key.assign(name);
#endif
    string(name);
}

void bencode_writer::end() {
    assert(!open_.empty());
    put("e", 1);
    if (tap_ && open_.size() == tap_depth_) {
        tap_ = nullptr;
    }
    if (!open_.empty()) {
        open_.pop_back();
        complete_ = open_.empty();
    }
}

void bencode_writer::tap_next_container(byte_tap tap) {
    pending_tap_ = std::move(tap);
}

bool bencode_writer::failed() const {
    return file_ != nullptr && file_->first_error != 0;
}

bool bencode_writer::complete() const {
    return complete_;
}
