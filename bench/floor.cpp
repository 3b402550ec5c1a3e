/*
 * The least work any correct chunkcat can do: one read of at most a chunk's
 * size per chunk, and the output handed to write in chunkcat's blocks, whose
 * sizes and closing text bench/run passes in FLOOR_CHUNK, FLOOR_BLOCK and
 * FLOOR_CLOSING, then checks that it prints what chunkcat prints. Error
 * handling is left out: it costs nothing on the path measured.
 */
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

void write_all(const char *bytes, std::size_t size)
{
	while (size > 0) {
		const ssize_t n = write(STDOUT_FILENO, bytes, size);
		if (n <= 0)
			_exit(1);
		bytes += n;
		size -= static_cast<std::size_t>(n);
	}
}

std::size_t number(const char *name)
{
	const char *value = getenv(name);
	return value != nullptr ? strtoul(value, nullptr, 10) : 0;
}

} // namespace

int main(int argc, char *argv[])
{
	const std::size_t chunk_size = number("FLOOR_CHUNK");
	const std::size_t block_size = number("FLOOR_BLOCK");
	const char *closing_text = getenv("FLOOR_CLOSING");
	char *const block = static_cast<char *>(malloc(block_size));
	std::size_t used = 0;
	ssize_t count = 0;

	if (argc != 2 || chunk_size == 0 || block_size <= chunk_size || closing_text == nullptr ||
	    block == nullptr)
		return 2;
	const int fd = open(argv[1], O_RDONLY);
	if (fd == -1)
		return 1;
	for (;;) {
		if (block_size - used < chunk_size + 1) {
			write_all(block, used);
			used = 0;
		}
		count = read(fd, block + used, chunk_size);
		if (count <= 0)
			break;
		used += static_cast<std::size_t>(count);
		block[used++] = '\n';
	}
	write_all(block, used);
	write_all(closing_text, strlen(closing_text));
	return count == 0 ? 0 : 255;
}
