// Preloaded into chunkcat to fail one call that ordinary files cannot make
// fail on demand. FAULT_CALL names the call ("open", "fstat" or "read"), FAULT_WHEN
// which of the program's calls to it fails (1 is the first) and FAULT_ERRNO
// the error number that call then reports.
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool due(const char *call, int &calls)
{
	const char *name = getenv("FAULT_CALL");
	const char *when = getenv("FAULT_WHEN");
	const char *error = getenv("FAULT_ERRNO");
	if (name == nullptr || when == nullptr || error == nullptr || strcmp(name, call) != 0 ||
	    ++calls != atoi(when))
		return false;
	errno = atoi(error);
	return true;
}

template <typename Function> Function next(const char *name)
{
	return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" {

ssize_t read(int fd, void *buffer, size_t count)
{
	static int calls;
	if (due("read", calls))
		return -1;
	return next<ssize_t (*)(int, void *, size_t)>("read")(fd, buffer, count);
}

int open(const char *path, int flags, ...)
{
	static int calls;
	if (due("open", calls))
		return -1;
	va_list args;
	va_start(args, flags);
	const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(args, mode_t) : 0;
	va_end(args);
	return next<int (*)(const char *, int, ...)>("open")(path, flags, mode);
}

// chunkcat is built with 64-bit file offsets, so glibc's headers turn its
// calls into these names, on 64-bit systems too.
int open64(const char *path, int flags, ...) __attribute__((alias("open")));

int fstat64(int fd, struct stat64 *status)
{
	static int calls;
	if (due("fstat", calls))
		return -1;
	return next<int (*)(int, struct stat64 *)>("fstat64")(fd, status);
}
}
