// Preloaded into quillet by the fault tests (LD_PRELOAD): makes one chosen call fail.
//
// QUILLET_FAULT="KIND N ERRNO PREFIX" makes the N-th call (counting from 1) of KIND fail with
// ERRNO, counting only calls on descriptors whose path starts with PREFIX. KIND "write" counts
// what puts the document on disk (fwrite, fflush, fsync, fclose, write, writev, pwrite); "read"
// counts read, readv and pread; "resize" counts reads too (see resize_after); "map" counts
// mappings of a file, and "resize_map" counts them too (see resize_after). When the fault is
// injected, the file named by QUILLET_FAULT_LOG is created, so that the test knows the run went
// that far.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {
struct fault_plan {
    bool parsed = false;
    std::string kind;
    long call = 0;
    int error = 0;
    std::string prefix;
};

const fault_plan &plan() {
    static const fault_plan parsed = [] {
        fault_plan p;
        const char *text = std::getenv("QUILLET_FAULT");
        char kind[16] = {};
        char prefix[4096] = {};
        if (text != nullptr &&
            std::sscanf(text, "%15s %ld %d %4095s", kind, &p.call, &p.error, prefix) == 4) {
            p.parsed = true;
            p.kind = kind;
            p.prefix = prefix;
        }
        return p;
    }();
    return parsed;
}

std::atomic<long> calls{0};

bool on_watched_file(int fd) {
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    char target[4096];
    const ssize_t length = readlink(link.c_str(), target, sizeof target);
    return length > 0 &&
           std::string(target, static_cast<std::size_t>(length)).rfind(plan().prefix, 0) == 0;
}

// Whether this call of `kind` on `fd` is the one that fails; sets errno when it is.
bool inject(const char *kind, int fd) {
    if (fd < 0) {
        return false; // anonymous memory: some is mapped at start-up, before the plan can be read
    }
    const fault_plan &p = plan();
    if (!p.parsed || p.kind != kind || !on_watched_file(fd)) {
        return false;
    }
    if (calls.fetch_add(1) + 1 != p.call) {
        return false;
    }
    if (const char *log = std::getenv("QUILLET_FAULT_LOG")) {
        const int marker = open(log, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (marker >= 0) {
            close(marker);
        }
    }
    errno = p.error;
    return true;
}

template <typename function> function *next(const char *name) {
    return reinterpret_cast<function *>(dlsym(RTLD_NEXT, name));
}

// KIND "resize" ("resize_map"): once the N-th read (mapping) of the file has returned, the file
// is cut or grown to ERRNO bytes, as another program might do while quillet reads it; the call's
// own result stands.
template <typename result_type>
result_type resize_after(int fd, result_type result, const char *kind = "resize") {
    if (inject(kind, fd)) {
        const off_t new_length = errno;
        const std::string link = "/proc/self/fd/" + std::to_string(fd);
        if (truncate(link.c_str(), new_length) != 0) {
            std::abort(); // the test would not test what it says
        }
    }
    return result;
}
} // namespace

extern "C" {
void *mmap(void *address, size_t length, int protection, int flags, int fd, off_t offset) {
    static auto *real = next<void *(void *, size_t, int, int, int, off_t)>("mmap");
    return inject("map", fd)
               ? MAP_FAILED
               : resize_after(fd, real(address, length, protection, flags, fd, offset),
                              "resize_map");
}

ssize_t read(int fd, void *buffer, size_t size) {
    static auto *real = next<ssize_t(int, void *, size_t)>("read");
    return inject("read", fd) ? -1 : resize_after(fd, real(fd, buffer, size));
}

ssize_t pread(int fd, void *buffer, size_t size, off_t offset) {
    static auto *real = next<ssize_t(int, void *, size_t, off_t)>("pread");
    return inject("read", fd) ? -1 : resize_after(fd, real(fd, buffer, size, offset));
}

ssize_t pread64(int fd, void *buffer, size_t size, off_t offset) {
    static auto *real = next<ssize_t(int, void *, size_t, off_t)>("pread64");
    return inject("read", fd) ? -1 : resize_after(fd, real(fd, buffer, size, offset));
}

ssize_t readv(int fd, const struct iovec *vector, int count) {
    static auto *real = next<ssize_t(int, const struct iovec *, int)>("readv");
    return inject("read", fd) ? -1 : real(fd, vector, count);
}

ssize_t write(int fd, const void *buffer, size_t size) {
    static auto *real = next<ssize_t(int, const void *, size_t)>("write");
    return inject("write", fd) ? -1 : real(fd, buffer, size);
}

ssize_t pwrite(int fd, const void *buffer, size_t size, off_t offset) {
    static auto *real = next<ssize_t(int, const void *, size_t, off_t)>("pwrite");
    return inject("write", fd) ? -1 : real(fd, buffer, size, offset);
}

ssize_t writev(int fd, const struct iovec *vector, int count) {
    static auto *real = next<ssize_t(int, const struct iovec *, int)>("writev");
    return inject("write", fd) ? -1 : real(fd, vector, count);
}

size_t fwrite(const void *data, size_t size, size_t count, FILE *stream) {
    static auto *real = next<size_t(const void *, size_t, size_t, FILE *)>("fwrite");
    return inject("write", fileno(stream)) ? 0 : real(data, size, count, stream);
}

int fflush(FILE *stream) {
    static auto *real = next<int(FILE *)>("fflush");
    return stream != nullptr && inject("write", fileno(stream)) ? EOF : real(stream);
}

int fsync(int fd) {
    static auto *real = next<int(int)>("fsync");
    return inject("write", fd) ? -1 : real(fd);
}

// The stream is closed either way, as a failing close does.
int fclose(FILE *stream) {
    static auto *real = next<int(FILE *)>("fclose");
    const bool fail = inject("write", fileno(stream));
    const int error = errno;
    const int closed = real(stream);
    if (fail) {
        errno = error;
        return EOF;
    }
    return closed;
}
}
