#pragma once
#include "common/file_identity.h"
#include "common/output_stream.h"

#include <string>
#include <sys/types.h>

// Where the document is written. A regular output, or one that does not exist yet, is written to
// a hidden temporary file in the same directory and renamed over the output once it is complete
// and on disk, so that the output path holds either its old content or the whole document, never
// a part of it. An output with other hard links, or whose directory cannot take a new file, is
// written in place; a device, a pipe or any other non-regular output is written directly.
struct output_file {
    std::string path;       // the output path as given
    std::string target;     // the file the document ends up in: `path`, or where its link points
    std::string temporary;  // the temporary file while there is one, else empty
    bool removable = false; // a failed run removes `path` (only a regular output is removed)
    // Set before opening: a file that takes the output's name while the document is written is
    // not replaced; the run fails instead.
    bool no_replace = false;
    output_identities identities;
};

// Opens the output for `path` into `stream`: the temporary file, or the output itself. Returns
// false, with nothing created, when neither can be opened. Records the identity of the file
// written (and of the file it will replace), so that a walk of a tree can leave both out. Throws
// std::bad_alloc only before anything is created.
bool open_output(const char *path, output_file &file, output_stream &stream);

// Flushes and closes the stream; when the document is `complete`, puts it in place (a temporary
// file is synced and renamed over the target). Returns 0, or the errno of the first failure.
int close_output_file(output_file &file, output_stream &stream, bool complete);

// Removes what a failed run leaves: the temporary file, and a regular output.
void discard_output(const output_file &file);
