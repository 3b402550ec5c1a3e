/*
 * chunkcat: print a file in chunks of at most 128 bytes, each followed by a
 * newline, then a closing text.
 */
/* The C headers, not <cstdio> and its kin: a C library's headers alone
 * build the program, as with musl-gcc, which brings no C++ headers. */
#include <errno.h>
#include <stddef.h>
#include <stdio.h>

#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int expected_argc = 2; /* the program's name and one path */
constexpr size_t chunk_size = 128;
constexpr size_t output_block_size = size_t{64} * 1024;

constexpr const char *usage_text = "Program is expecting one argument";
constexpr const char *closing_text = "You have reached the end of the line.";
constexpr const char *open_prefix = "Error opening file\n";
constexpr const char *read_prefix = "Error reading!";
constexpr const char *write_prefix = "Error writing!";
constexpr const char *same_file_reason = "Input file is output file";

/* Ends a run whose output is incomplete, with an exit status of 255. */
int fail(const char *prefix, int fd)
{
	perror(prefix);
	(void)close(fd);
	return -1;
}

} // namespace

int main(int argc, char *argv[])
{
	static char output_block[output_block_size];
	char chunk[chunk_size + 1]; /* a chunk and the newline after it */
	struct stat in = {};
	struct stat out = {};
	ssize_t count = 0;

	if (argc != expected_argc) {
		(void)puts(usage_text);
		return 1;
	}
	const int fd = open(argv[1], O_RDONLY);
	if (fd == -1) {
		perror(open_prefix);
		return 1;
	}
	if (fstat(fd, &in) == -1) {
		perror(open_prefix);
		(void)close(fd);
		return 1;
	}
	/*
	 * A file that standard output writes to would be read back as it grows
	 * or is overwritten: refuse before anything is written. An empty file
	 * holds nothing to read back. A closed standard output, whose number
	 * the open may have taken, is left for the first write to report.
	 */
	if (S_ISREG(in.st_mode) && in.st_size > 0 && fd != STDOUT_FILENO &&
	    fstat(STDOUT_FILENO, &out) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino) {
		(void)fprintf(stderr, "%s: %s\n", open_prefix, same_file_reason);
		(void)close(fd);
		return 1;
	}
	/*
	 * stdio writes a pipe or a file every 4 KiB; 64 KiB blocks take a
	 * sixteenth of the writes. That is only the default: a terminal stays
	 * line-buffered, so that each chunk shows as it is read, and buffering
	 * chosen before main (stdbuf's) stays, which a stream shows by having a
	 * buffer or line buffering before its first write. stdio ignores the
	 * size asked of setvbuf unless it is handed the buffer too; the buffer
	 * is static because exit flushes standard output after main returns.
	 */
	if (__fbufsize(stdout) == 0 && __flbf(stdout) == 0 && isatty(STDOUT_FILENO) == 0)
		(void)setvbuf(stdout, output_block, _IOFBF, sizeof output_block);

	/* One thread: standard output's lock is not taken for each chunk. */
	while ((count = read(fd, chunk, chunk_size)) > 0) {
		const auto length = static_cast<size_t>(count) + 1;
		chunk[count] = '\n';
		/*
		 * On a line-buffered stream a failed flush still returns the full
		 * count, and stdio drops what it failed to write, so that a later
		 * fclose succeeds: the error flag tells.
		 */
		if (fwrite_unlocked(chunk, 1, length, stdout) != length ||
		    ferror_unlocked(stdout) != 0)
			return fail(write_prefix, fd);
	}
	if (count == -1) {
		const int read_error = errno;
		/* What was read goes out ahead of the diagnostic. */
		if (fflush(stdout) == EOF)
			perror(write_prefix);
		errno = read_error;
		return fail(read_prefix, fd);
	}
	if (fputs_unlocked(closing_text, stdout) == EOF || ferror_unlocked(stdout) != 0)
		return fail(write_prefix, fd);
	/*
	 * The file is read to its end. When standard output was closed at
	 * start, the open took its number, and fclose closes the file.
	 */
	if (fd != STDOUT_FILENO)
		(void)close(fd);
	if (fclose(stdout) == EOF) {
		perror(write_prefix);
		return -1;
	}
	return 0;
}
