// Replacing a file as a whole: the new contents go to a temporary file beside
// the old one, which is renamed over it only when everything was written. An
// interrupted run, or output that could not be produced, leaves the old file
// as it was and leaves no temporary file behind (an interruption or a
// termination from outside removes it before the process ends).
#pragma once

#include <cstdio>
#include <string>

struct FileReplacement {
    std::string target;  // the file replaced on commit, symbolic links resolved
    std::string temp;    // the temporary file; empty when `target` is written directly
    FILE* stream;        // open for binary writing; owned until commit or abandon
    FILE* lock;          // the old target, open only to hold the writers' lock; owned
    const char* failed;  // after a failed commit: "write", "flush", "close" or "rename"
    int error;           // and the system's error number
};

// Only one process replaces a file at a time: an existing target is locked
// from begin_replacement until it has been replaced or the replacement is
// abandoned. A second writer waits for the lock; after a second of waiting it
// calls on_wait(path) once (set_replacement_wait_notice; none at start).
void set_replacement_wait_notice(void (*on_wait)(const char* path));

// Opens `path` for replacement. An existing `path` must be writable (checked
// without changing it); the new file gets its permission bits, a new one gets
// 0666 less the umask. A target that exists and is no regular file (a device,
// a pipe) is opened and written directly instead. Returns false, with errno
// set and nothing created or changed, when that is not possible.
bool begin_replacement(const char* path, FileReplacement* r);

// Flushes, syncs and closes the stream and renames the temporary file over the
// target. Returns false when any write failed or the rename failed, with the
// step in `failed` and `error`; the temporary file is then removed and the
// target is left as it was.
bool commit_replacement(FileReplacement* r);

// Closes the stream and removes the temporary file; the target is untouched.
void abandon_replacement(FileReplacement* r);
