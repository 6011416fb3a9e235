#include "core/debug_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

// glibc's XSI strerror_r. C++ builds always see the GNU variant under the plain name, so
// the XSI symbol is named directly: it fills the caller's buffer and returns 0 or an error.
extern "C" int __xpg_strerror_r(int errnum, char* buf, size_t buflen);

namespace {

struct LogState {
    std::uint32_t to_screen = 1;
    std::uint32_t line_start = 1;
    char log_name[256] = {};
    char backup_name[256] = {};
};

LogState g_log;

constexpr int kMessageRoom = 4096;

// The log file, open for appending and created when missing, with its size; -1 unless what
// the name holds is a regular file of this user with one link: a link, a FIFO or a file of
// someone else planted under /tmp is never written through (nor waited on).
int open_log(const char* name, off_t* size) {
    const int fd =
        open(name, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) return -1;
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1) {
        *size = st.st_size;
        return fd;
    }
    close(fd);
    return -1;
}

// The log file ready for the next message: beyond kLogRotateBytes it becomes the backup (a
// rename, which replaces whatever the backup name held without following it) and a new one
// is started; when it cannot become the backup, it is emptied.
FILE* open_for_message(const LogState& st) {
    off_t size = 0;
    int fd = open_log(st.log_name, &size);
    if (fd >= 0 && size > kLogRotateBytes) {
        if (rename(st.log_name, st.backup_name) == 0) {
            close(fd);
            fd = open_log(st.log_name, &size);
        } else if (ftruncate(fd, 0) != 0) {
            close(fd);
            fd = -1;
        }
    }
    if (fd < 0) return nullptr;
    FILE* fp = fdopen(fd, "a");
    if (!fp) close(fd);
    return fp;
}

}  // namespace

void dbg_to_screen() { g_log.to_screen = 1; }
void dbg_to_file() { g_log.to_screen = 0; }

void dbg_set_logfile(const char* name) {
    std::snprintf(g_log.log_name, sizeof g_log.log_name, "%s", name);
    std::snprintf(g_log.backup_name, sizeof g_log.backup_name, "%s.bak", name);
}

const char* dbg_logfile_name() { return g_log.log_name; }
const char* dbg_backup_name() { return g_log.backup_name; }

std::int32_t get_file_size(const char* name) {
    struct stat st {};
    if (stat(name, &st) != 0) return -1;
    return static_cast<std::int32_t>(st.st_size);
}

void trim_line_end(char* text) {
    for (std::size_t n = std::strlen(text); n > 0; --n) {
        char& c = text[n - 1];
        if (c != '\n' && c != '\r' && c != ' ') break;
        c = '\0';
    }
}

void dbg_printf(const char* format, ...) {
    char message[kMessageRoom];
    va_list args;

    if (g_log.to_screen) {
        va_start(args, format);
        std::vsnprintf(message, kMessageRoom - 1, format, args);
        va_end(args);
        std::fputs(message, stdout);
        std::fflush(stdout);
        return;
    }

    const int saved_errno = errno;
    FILE* fp = open_for_message(g_log);
    if (!fp) {
        errno = saved_errno;
        return;
    }

    if (g_log.line_start) {
        std::time_t now = std::time(nullptr);
        char stamp[64];
        std::snprintf(stamp, sizeof stamp, "%s", std::asctime(std::localtime(&now)));
        trim_line_end(stamp);
        std::fprintf(fp, "[%s] ", stamp);
        g_log.line_start = 0;
    }
    // The format, not the formatted text, decides: a message ending in "\n" or "\n\r"
    // closes the line, so the next message gets the time prefix.
    if (std::size_t n = std::strlen(format);
        n > 0 && (format[n - 1] == '\n' || format[n - 1] == '\r'))
        g_log.line_start = 1;

    va_start(args, format);
    std::vsnprintf(message, kMessageRoom - 1, format, args);
    va_end(args);
    std::fputs(message, fp);
    std::fclose(fp);
    errno = saved_errno;
}

void dbg_perror(const char* text) {
    const int err = errno;
    char reason[256];
    if (__xpg_strerror_r(err, reason, sizeof reason) != 0)
        std::snprintf(reason, sizeof reason, "Unknown error %d", err);
    dbg_printf("%s ::: %s\n", text, reason);
}
