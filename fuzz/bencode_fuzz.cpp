// libFuzzer target: the bencode reader on any bytes. Besides the sanitizers' findings, it traps
// when a document it accepted breaks what its users rely on.
#include "reader/bencode_reader.h"
#include "require.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {
// Every value's span lies in the input and inside its container's, and a container's entries
// walk to exactly its end.
void check_structure(const bencode_document &document) {
    const std::size_t size = document.bytes.size();
    require(!document.values.empty() && span_of(document, 0).size == size);
    for (value_index at = 0; at < document.values.size(); ++at) {
        const byte_span span = span_of(document, at);
        require(span.offset < size && span.size <= size - span.offset);
        require(end_of(document, at) > at && end_of(document, at) <= document.values.size());
        if (is_kind(document, at, bencode_kind::list))
            require(elements_of(document, at).size() == count_of(document, at));
        if (is_kind(document, at, bencode_kind::dictionary))
            for (const bencode_entry &entry : entries_of(document, at))
                require(is_kind(document, entry.key, bencode_kind::string));
        // An integer read again from its digits is the one its encoding shows.
        if (is_kind(document, at, bencode_kind::integer))
            require(encoding_of(document, at) ==
                    "i" + std::to_string(integer_of(document, at)) + "e");
    }
}

// A value's own bytes read alone give the same values again: what `edit` copies verbatim
// stays valid bencode.
void check_spans_reread(const bencode_document &document) {
    for (const bencode_entry &entry : entries_of(document, 0)) {
        const bencode_outcome again = read_bencode(encoding_of(document, entry.value));
        require(again.document.has_value());
        require(again.document->values.size() == end_of(document, entry.value) - entry.value);
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    const bencode_outcome outcome = read_bencode(bytes);
    if (!outcome.document) {
        require(outcome.error.offset <= size && !outcome.error.reason.empty());
        return 0;
    }
    check_structure(*outcome.document);
    check_spans_reread(*outcome.document);
    return 0;
}
