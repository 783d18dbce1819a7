#include "file_replace.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// The temporary file that a fatal signal must remove. A signal handler may use
// only this fixed buffer, never the std::string that owns the name.
char g_pending_temp[PATH_MAX];
volatile sig_atomic_t g_pending = 0;

const int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};
struct sigaction g_previous[sizeof kCleanupSignals / sizeof kCleanupSignals[0]];

void remove_pending_and_die(int sig) {
    if (g_pending) unlink(g_pending_temp);
    signal(sig, SIG_DFL);
    raise(sig);
}

void watch_temp(const std::string& temp) {
    if (temp.size() >= sizeof g_pending_temp) return;  // too long to note; not removed on a signal
    std::memcpy(g_pending_temp, temp.c_str(), temp.size() + 1);
    g_pending = 1;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = remove_pending_and_die;
    sigemptyset(&sa.sa_mask);
    for (size_t i = 0; i < sizeof kCleanupSignals / sizeof kCleanupSignals[0]; ++i) {
        sigaction(kCleanupSignals[i], &sa, &g_previous[i]);
    }
}

void unwatch_temp() {
    if (!g_pending) return;
    for (size_t i = 0; i < sizeof kCleanupSignals / sizeof kCleanupSignals[0]; ++i) {
        sigaction(kCleanupSignals[i], &g_previous[i], nullptr);
    }
    g_pending = 0;
}

// Follows a symbolic link so that the link stays and its target is replaced.
std::string resolve_target(const char* path) {
    struct stat st;
    if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
        char* real = realpath(path, nullptr);
        if (real) {
            std::string resolved(real);
            std::free(real);
            return resolved;
        }
    }
    return path;
}

void close_and_remove(FileReplacement* r) {
    if (r->stream) std::fclose(r->stream);
    r->stream = nullptr;
    if (!r->temp.empty()) {
        unlink(r->temp.c_str());
        unwatch_temp();
        r->temp.clear();
    }
}

}  // namespace

bool begin_replacement(const char* path, FileReplacement* r) {
    r->target = resolve_target(path);
    r->temp.clear();
    r->stream = nullptr;
    struct stat st;
    mode_t mode;
    if (stat(r->target.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            r->stream = std::fopen(r->target.c_str(), "wb");
            return r->stream != nullptr;
        }
        // Test that the user may write the file, without emptying it.
        int probe = open(r->target.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (probe < 0) return false;
        close(probe);
        mode = st.st_mode & 07777;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    std::string temp = r->target + ".tmp.XXXXXX";
    int fd = mkstemp(&temp[0]);
    if (fd < 0) return false;
    r->temp = temp;
    watch_temp(r->temp);
    r->stream = fchmod(fd, mode) == 0 ? fdopen(fd, "wb") : nullptr;
    if (!r->stream) {
        int saved = errno;
        close(fd);
        close_and_remove(r);
        errno = saved;
        return false;
    }
    return true;
}

bool commit_replacement(FileReplacement* r) {
    bool ok = std::fflush(r->stream) == 0 && !std::ferror(r->stream);
    if (ok && !r->temp.empty()) ok = fsync(fileno(r->stream)) == 0;
    ok = std::fclose(r->stream) == 0 && ok;
    r->stream = nullptr;
    if (r->temp.empty()) return ok;
    if (ok) ok = std::rename(r->temp.c_str(), r->target.c_str()) == 0;
    if (ok) {
        unwatch_temp();
        r->temp.clear();
    } else {
        close_and_remove(r);
    }
    return ok;
}

void abandon_replacement(FileReplacement* r) {
    close_and_remove(r);
}
