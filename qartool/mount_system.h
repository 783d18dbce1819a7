// The system's side of the mount command: FUSE on Linux (mount_fuse.cpp);
// on other systems a refusal (mount_unsupported.cpp). The build compiles
// one of them. None of these functions prints except where it says so.
#pragma once

#include <string>

#include "mount.h"

// Why an archive cannot be mounted on this machine (no FUSE device, no
// permission to use it, a system without FUSE), or "" when it can.
std::string mount_system_missing();

// Why the folder cannot be mounted on (missing, not a folder, not empty,
// unreadable), or "" when it can.
std::string mount_folder_unusable(const char* folder);

// The archive file's state now (see ArchiveFileState); present is false when
// the path names nothing.
ArchiveFileState mount_archive_file_state(const char* archive_path);

// Mounts the service's archive read-only at the folder and serves it until
// the folder is unmounted or the process is told to stop (interrupt,
// termination, hang-up), then unmounts, leaving the folder as it was. Says
// on standard output that the folder is mounted and how to unmount it; with
// detach, goes on in the background (its standard streams closed) and
// returns 0 in the foreground process. Returns the exit status: 1, with the
// reason on standard error, when mounting failed.
int mount_serve(MountService* service, const char* folder, bool detach);
