/*
 * chunkcat: print a file in chunks of at most 128 bytes, each followed by a
 * newline, then a closing text.
 */
#include <cerrno>
#include <cstddef>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int expected_argc = 2; /* the program's name and one path */
constexpr std::size_t chunk_size = 128;
constexpr std::size_t output_buffer_size = std::size_t{64} * 1024;

constexpr const char *usage_text = "Program is expecting one argument";
constexpr const char *closing_text = "You have reached the end of the line.";

/* Ends a run whose output is incomplete. */
int fail(const char *prefix, int fd)
{
	perror(prefix);
	(void)close(fd);
	return -1;
}

} // namespace

int main(int argc, char *argv[])
{
	/*
	 * stdio flushes a pipe or a file every 4 KiB, and it ignores the size
	 * asked of setvbuf unless it is handed the buffer as well. The buffer
	 * is static because exit flushes standard output after main returns.
	 */
	static char output_buffer[output_buffer_size];
	char chunk[chunk_size + 1]; /* a chunk and the newline after it */
	ssize_t count = 0;

	if (argc != expected_argc) {
		(void)puts(usage_text);
		return 1;
	}
	const int fd = open(argv[1], O_RDONLY);
	if (fd == -1) {
		perror("Error opening file\n");
		return 1;
	}
	/* A terminal stays line-buffered: each chunk shows as it is read. */
	if (isatty(STDOUT_FILENO) == 0)
		(void)setvbuf(stdout, output_buffer, _IOFBF, sizeof output_buffer);

	/*
	 * The program has one thread: standard output's lock is not taken for each
	 * chunk. A failed flush on a line-buffered stream still returns the
	 * full count, and stdio drops what it failed to write, so that a later
	 * fclose succeeds: the error flag is checked after every write.
	 */
	while ((count = read(fd, chunk, chunk_size)) > 0) {
		const auto length = static_cast<std::size_t>(count) + 1;
		chunk[count] = '\n';
		if (fwrite_unlocked(chunk, 1, length, stdout) != length ||
		    ferror_unlocked(stdout) != 0)
			return fail("Error writing!", fd);
	}
	if (count == -1) {
		const int read_error = errno;
		/* What was read goes out ahead of the diagnostic. */
		if (fflush(stdout) == EOF)
			perror("Error writing!");
		errno = read_error;
		return fail("Error reading!", fd);
	}
	if (fputs_unlocked(closing_text, stdout) == EOF || ferror_unlocked(stdout) != 0 ||
	    fclose(stdout) == EOF)
		return fail("Error writing!", fd);
	(void)close(fd);
	return 0;
}
