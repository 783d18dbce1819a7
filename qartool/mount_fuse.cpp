// The mount on Linux, through FUSE 3's low-level interface. The folder is
// inode 1; the file tree.files[n] is inode n + 2. The snapshot never changes
// while mounted, so the kernel may keep names, attributes and file contents
// as long as it likes. Requests are served by FUSE's worker threads; each
// read asks the record cache, which decodes outside its lock.
#define FUSE_USE_VERSION FUSE_MAKE_VERSION(3, 12)

#include <dirent.h>
#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "mount_system.h"
#include "names.h"

namespace {

constexpr fuse_ino_t FIRST_FILE_INODE = FUSE_ROOT_ID + 1;

// How long the kernel may keep what a lookup or an attribute request gave:
// the folder never changes while it is mounted.
constexpr double KEEP_SECONDS = 86400.0;

struct FuseMount {
    MountService* service;
    uid_t uid;
    gid_t gid;
    struct timespec archive_time;  // for the folder, and for records without a time
};

FuseMount* mount_of(fuse_req_t req) { return static_cast<FuseMount*>(fuse_req_userdata(req)); }

// The number of the file behind an inode (its place in tree.files); false
// for the folder and for unknown inodes.
bool file_of(const FuseMount* mount, fuse_ino_t ino, size_t* n) {
    if (ino < FIRST_FILE_INODE || ino - FIRST_FILE_INODE >= mount->service->tree.files.size())
        return false;
    *n = size_t(ino - FIRST_FILE_INODE);
    return true;
}

void folder_attributes(const FuseMount* mount, struct stat* st) {
    memset(st, 0, sizeof *st);
    st->st_ino = FUSE_ROOT_ID;
    st->st_mode = S_IFDIR | 0555;
    st->st_nlink = 2;
    st->st_uid = mount->uid;
    st->st_gid = mount->gid;
    st->st_mtim = st->st_ctim = st->st_atim = mount->archive_time;
}

void file_attributes(const FuseMount* mount, size_t n, struct stat* st) {
    const MountFile& file = mount->service->tree.files[n];
    memset(st, 0, sizeof *st);
    st->st_ino = fuse_ino_t(n) + FIRST_FILE_INODE;
    st->st_mode = S_IFREG | 0444;
    st->st_nlink = 1;
    st->st_uid = mount->uid;
    st->st_gid = mount->gid;
    st->st_size = off_t(file.size);
    st->st_blksize = 4096;
    st->st_blocks = blkcnt_t((uint64_t(file.size) + 511) / 512);
    if (file.mtime == QAR_TIME_UNKNOWN) {
        st->st_mtim = mount->archive_time;
    } else {
        st->st_mtim.tv_sec = time_t(file.mtime);
        st->st_mtim.tv_nsec = 0;
    }
    st->st_ctim = st->st_atim = st->st_mtim;
}

void entry_of(const FuseMount* mount, size_t n, fuse_entry_param* entry) {
    memset(entry, 0, sizeof *entry);
    entry->ino = fuse_ino_t(n) + FIRST_FILE_INODE;
    entry->generation = 1;
    entry->attr_timeout = KEEP_SECONDS;
    entry->entry_timeout = KEEP_SECONDS;
    file_attributes(mount, n, &entry->attr);
}

// A writer's lock on the archive, seen by asking for a shared one: that is
// refused only while a writer holds the exclusive lock, and a shared lock
// taken is let go at once.
bool writer_holds_lock(int fd) {
    while (flock(fd, LOCK_SH | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        return errno == EWOULDBLOCK;
    }
    flock(fd, LOCK_UN);
    return false;
}

// Runs one request's handler; running out of memory on the way answers
// ENOMEM rather than letting the exception into FUSE's C code. Every handler
// replies as its last step, so no request is answered twice.
template <typename Handler>
void guarded(fuse_req_t req, Handler handler) {
    try {
        handler();
    } catch (const std::bad_alloc&) {
        fuse_reply_err(req, ENOMEM);
    }
}

// ---------------------------------------------------------------------------
// Requests

// Every listing brings the files' attributes along, not only the first part
// of it: ls -l of a fresh mount then asks nothing more per file.
void on_init(void*, fuse_conn_info* conn) {
    if (conn->capable & FUSE_CAP_READDIRPLUS) conn->want |= FUSE_CAP_READDIRPLUS;
    conn->want &= ~unsigned(FUSE_CAP_READDIRPLUS_AUTO);
}

void on_lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    FuseMount* mount = mount_of(req);
    const MountFile* file =
        parent == FUSE_ROOT_ID ? mount_tree_find(mount->service->tree, name) : nullptr;
    if (!file) {
        // Remembered by the kernel as missing: the folder never gains a name.
        fuse_entry_param none;
        memset(&none, 0, sizeof none);
        none.entry_timeout = KEEP_SECONDS;
        fuse_reply_entry(req, &none);
        return;
    }
    fuse_entry_param entry;
    entry_of(mount, size_t(file - mount->service->tree.files.data()), &entry);
    fuse_reply_entry(req, &entry);
}

void on_getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
    FuseMount* mount = mount_of(req);
    struct stat st;
    if (ino == FUSE_ROOT_ID) {
        folder_attributes(mount, &st);
    } else if (size_t n; file_of(mount, ino, &n)) {
        file_attributes(mount, n, &st);
    } else {
        fuse_reply_err(req, ENOENT);
        return;
    }
    fuse_reply_attr(req, &st, KEEP_SECONDS);
}

// Opening a file also starts the decoding of the files after it.
void on_open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    FuseMount* mount = mount_of(req);
    size_t n;
    if (!file_of(mount, ino, &n)) {
        fuse_reply_err(req, ino == FUSE_ROOT_ID ? EISDIR : ENOENT);
        return;
    }
    if ((fi->flags & O_ACCMODE) != O_RDONLY) {
        fuse_reply_err(req, EROFS);
        return;
    }
    fi->keep_cache = 1;
    fi->noflush = 1;
    cache_opened(&mount->service->cache, n);
    fuse_reply_open(req, fi);
}

void on_read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
    FuseMount* mount = mount_of(req);
    size_t n;
    if (!file_of(mount, ino, &n)) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    const CacheRead read = mount_read_file(mount->service, n);
    if (!read.bytes) {
        fuse_reply_err(req, read.damaged ? EIO : ENOMEM);
        return;
    }
    const std::vector<uint8_t>& bytes = *read.bytes;
    if (offset < 0 || uint64_t(offset) >= bytes.size()) {
        fuse_reply_buf(req, nullptr, 0);
        return;
    }
    const size_t left = bytes.size() - size_t(offset);
    fuse_reply_buf(req, reinterpret_cast<const char*>(bytes.data()) + offset,
                   size < left ? size : left);
}

// Once for every open that succeeded. Should one be missed (a forced
// unmount), the record is only never let go for decoding ahead.
void on_release(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
    FuseMount* mount = mount_of(req);
    size_t n;
    if (file_of(mount, ino, &n)) cache_closed(&mount->service->cache, n);
    fuse_reply_err(req, 0);
}

void on_opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    if (ino != FUSE_ROOT_ID) {
        fuse_reply_err(req, ENOTDIR);
        return;
    }
    mount_check_archive(mount_of(req)->service);
    fi->keep_cache = 1;
    fi->cache_readdir = 1;
    fuse_reply_open(req, fi);
}

// Entry k of the listing: "." (0), ".." (1), then the files in index order.
// With plus, each file's attributes come along (ls -l needs no lookups).
void list_folder(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, bool plus) {
    FuseMount* mount = mount_of(req);
    if (ino != FUSE_ROOT_ID) {
        fuse_reply_err(req, ENOTDIR);
        return;
    }
    const std::vector<MountFile>& files = mount->service->tree.files;
    const uint64_t total = uint64_t(files.size()) + 2;
    std::string buffer(size, '\0');
    size_t used = 0;
    for (uint64_t k = offset < 0 ? total : uint64_t(offset); k < total; ++k) {
        char* at = &buffer[used];
        const size_t room = size - used;
        size_t need;
        if (k < 2) {
            struct stat st;
            memset(&st, 0, sizeof st);
            st.st_ino = FUSE_ROOT_ID;
            st.st_mode = S_IFDIR;
            const char* name = k == 0 ? "." : "..";
            if (plus) {
                fuse_entry_param entry;
                memset(&entry, 0, sizeof entry);
                entry.attr = st;
                need = fuse_add_direntry_plus(req, at, room, name, &entry, off_t(k + 1));
            } else {
                need = fuse_add_direntry(req, at, room, name, &st, off_t(k + 1));
            }
        } else {
            const size_t n = size_t(k - 2);
            fuse_entry_param entry;
            entry_of(mount, n, &entry);
            need = plus ? fuse_add_direntry_plus(req, at, room, files[n].name.c_str(), &entry,
                                                 off_t(k + 1))
                        : fuse_add_direntry(req, at, room, files[n].name.c_str(), &entry.attr,
                                            off_t(k + 1));
        }
        if (need > room) break;
        used += need;
    }
    fuse_reply_buf(req, buffer.data(), used);
}

// ---------------------------------------------------------------------------
// Mounting

struct FuseArgs {
    fuse_args args = FUSE_ARGS_INIT(0, nullptr);
    ~FuseArgs() { fuse_opt_free_args(&args); }
};

struct FuseSession {
    fuse_session* session = nullptr;
    bool mounted = false;
    bool handlers = false;
    ~FuseSession() {
        if (!session) return;
        if (handlers) fuse_remove_signal_handlers(session);
        if (mounted) fuse_session_unmount(session);
        fuse_session_destroy(session);
    }
};

struct LoopConfig {
    fuse_loop_config* config = fuse_loop_cfg_create();
    ~LoopConfig() {
        if (config) fuse_loop_cfg_destroy(config);
    }
};

std::string absolute_path(const std::string& path) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (!resolved) return path;
    std::string result(resolved);
    free(resolved);
    return result;
}

}  // namespace

std::string mount_system_missing() {
    const int fd = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
        close(fd);
        return "";
    }
    const int error = errno;
    if (error == ENOENT || error == ENODEV || error == ENXIO)
        return "this machine has no FUSE (/dev/fuse is missing); install fuse3 and load the "
               "fuse module";
    if (error == EACCES || error == EPERM)
        return "no permission to use FUSE (/dev/fuse cannot be opened)";
    return std::string("FUSE cannot be used (/dev/fuse: ") + strerror(error) + ")";
}

std::string mount_folder_unusable(const char* folder) {
    struct stat st;
    if (stat(folder, &st) != 0) {
        if (errno == ENOENT) return "no such folder";
        return strerror(errno);
    }
    if (!S_ISDIR(st.st_mode)) return "not a folder";
    DIR* dir = opendir(folder);
    if (!dir) return strerror(errno);
    bool empty = true;
    while (dirent* entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
            empty = false;
            break;
        }
    }
    closedir(dir);
    return empty ? "" : "the folder is not empty";
}

ArchiveFileState mount_archive_file_state(const char* archive_path) {
    ArchiveFileState state{};
    const int fd = open(archive_path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return state;
    struct stat st;
    if (fstat(fd, &st) == 0) {
        state.present = true;
        state.size = int64_t(st.st_size);
        state.mtime_ns = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        state.volume = uint64_t(st.st_dev);
        state.file = uint64_t(st.st_ino);
        state.writer_locked = writer_holds_lock(fd);
    }
    close(fd);
    return state;
}

int mount_serve(MountService* service, const char* folder, bool detach) {
    service->archive_path = absolute_path(service->archive_path);
    FuseMount mount{service, getuid(), getgid(), {0, 0}};
    struct stat archive_stat;
    if (stat(service->archive_path.c_str(), &archive_stat) == 0)
        mount.archive_time = archive_stat.st_mtim;

    fuse_lowlevel_ops ops;
    memset(&ops, 0, sizeof ops);
    ops.init = on_init;
    ops.lookup = [](fuse_req_t req, fuse_ino_t parent, const char* name) {
        guarded(req, [&] { on_lookup(req, parent, name); });
    };
    ops.getattr = on_getattr;
    ops.open = [](fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
        guarded(req, [&] { on_open(req, ino, fi); });
    };
    ops.read = [](fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset,
                  fuse_file_info* fi) { guarded(req, [&] { on_read(req, ino, size, offset, fi); }); };
    ops.release = on_release;
    ops.opendir = [](fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
        guarded(req, [&] { on_opendir(req, ino, fi); });
    };
    ops.readdir = [](fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset,
                     fuse_file_info*) {
        guarded(req, [&] { list_folder(req, ino, size, offset, false); });
    };
    ops.readdirplus = [](fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset,
                         fuse_file_info*) {
        guarded(req, [&] { list_folder(req, ino, size, offset, true); });
    };

    FuseArgs args;
    if (fuse_opt_add_arg(&args.args, "qartool") != 0 ||
        fuse_opt_add_arg(&args.args, "-o") != 0 ||
        fuse_opt_add_arg(&args.args, "ro,default_permissions,fsname=qartool,subtype=qar") != 0) {
        fprintf(stderr, "ERROR: out of memory\n");
        return 1;
    }
    FuseSession session;
    session.session = fuse_session_new(&args.args, &ops, sizeof ops, &mount);
    if (!session.session) {
        fprintf(stderr, "ERROR: could not start FUSE for \"%s\"\n", display_text(folder).c_str());
        return 1;
    }
    if (fuse_set_signal_handlers(session.session) != 0) {
        fprintf(stderr, "ERROR: could not set the signal handlers for the mount\n");
        return 1;
    }
    session.handlers = true;
    if (fuse_session_mount(session.session, folder) != 0) {
        fprintf(stderr, "ERROR: could not mount qar \"%s\" at \"%s\"\n",
                display_text(service->archive_name.c_str()).c_str(),
                display_text(folder).c_str());
        return 1;
    }
    session.mounted = true;
    const std::string shown = display_text(folder);
    if (detach)
        printf("qar \"%s\" mounted at \"%s\" in the background; unmount with: fusermount3 -u "
               "\"%s\"\n",
               display_text(service->archive_name.c_str()).c_str(), shown.c_str(),
               shown.c_str());
    else
        printf("qar \"%s\" mounted at \"%s\"; unmount with: fusermount3 -u \"%s\" (or "
               "Ctrl+C here)\n",
               display_text(service->archive_name.c_str()).c_str(), shown.c_str(),
               shown.c_str());
    fflush(stdout);
    if (detach && fuse_daemonize(0) != 0) {
        fprintf(stderr, "ERROR: could not go on in the background\n");
        return 1;
    }

    LoopConfig loop;
    if (!loop.config) {
        fprintf(stderr, "ERROR: out of memory\n");
        return 1;
    }
    fuse_loop_cfg_set_clone_fd(loop.config, 0);
    mount_start_ahead(service);
    AheadWorkers ahead{&service->cache};
    // 0 once unmounted, the signal's number when told to stop; both end well.
    const int result = fuse_session_loop_mt(session.session, loop.config);
    if (result >= 0) return 0;
    fprintf(stderr, "ERROR: serving \"%s\" failed: %s\n", shown.c_str(), strerror(-result));
    return 1;
}
