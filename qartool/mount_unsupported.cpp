// The mount on systems without FUSE: every mount is refused before anything
// is opened.
#include "mount_system.h"

std::string mount_system_missing() {
    return "mounting a qar as a folder works on Linux only";
}

std::string mount_folder_unusable(const char*) { return ""; }

ArchiveFileState mount_archive_file_state(const char*) { return ArchiveFileState{}; }

int mount_serve(MountService*, const char*, bool) { return 1; }
