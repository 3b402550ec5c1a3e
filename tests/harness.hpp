// Runs the built chunkcat as a user or a script would, and captures what it
// leaves behind: the bytes of standard output and standard error and the
// exit status.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace harness {

// chunkcat's messages, each spelled here once.
inline const std::string usage = "Program is expecting one argument\n";
inline const std::string closing = "You have reached the end of the line.";
inline std::string open_error(const std::string &reason)
{
	return "Error opening file\n: " + reason + "\n";
}
// The reasons are the platform's own wording, as perror prints it.
inline std::string open_error(int code)
{
	return open_error(std::string(strerror(code)));
}
inline std::string read_error(int code)
{
	return "Error reading!: " + std::string(strerror(code)) + "\n";
}
inline std::string write_error(int code)
{
	return "Error writing!: " + std::string(strerror(code)) + "\n";
}

// chunkcat writes a pipe or a file in blocks of this size
// (Stdout.PipeGetsWholeBlocks pins it). A file of `block_file` bytes makes
// the longest output whose chunks fill the first block: 504 chunks of 128
// bytes and their newlines, with the closing text beyond its end.
inline constexpr std::size_t output_block = std::size_t{64} * 1024;
inline constexpr std::size_t block_file = output_block / 129 * 128;

// What a complete run prints for a regular file: a newline after every 128
// bytes counted from its start, then the closing text.
inline std::string chunked(const std::string &file)
{
	std::string out;
	for (std::size_t at = 0; at < file.size(); at += 128)
		out += file.substr(at, 128) + '\n';
	return out + closing;
}

// The executable under test and the fault library to preload into it, unless
// CHUNKCAT and CHUNKCAT_FAULT name others (a 32-bit chunkcat needs a 32-bit one).
inline std::string chosen(const char *variable, const char *built)
{
	const char *value = getenv(variable);
	return value != nullptr && *value != '\0' ? value : built;
}
inline const std::string program = chosen("CHUNKCAT", CHUNKCAT_PATH);
inline const std::string fault_library = chosen("CHUNKCAT_FAULT", FAULT_SHIM);

// pipe: a pipe that the harness drains into Result::out;
// stalled_pipe: a non-blocking pipe that nobody drains
enum class Stdout { captured, pipe, closed, full, broken_pipe, stalled_pipe };

struct Options {
	std::vector<std::string> env{};         // NAME=value added to the environment
	std::vector<std::string> prefix{};      // a command that runs chunkcat, e.g. setpriv
	std::string program = harness::program; // the executable to run
	std::string cwd{};
	Stdout out = Stdout::captured;
	int ignored_signal = 0;        // a signal that the program starts with ignored
	bool stderr_to_stdout = false; // both streams into one place, as 2>&1
	int in = -1;                   // standard input, when not inherited
	int out_fd = -1;               // standard output, when given (a terminal, say)
};

struct Result {
	std::string out;
	std::string err;
	int status; // exit status, or 128 + the signal that ended the process
	bool operator==(const Result &) const = default;
};

// For EXPECT_PRED_FORMAT2: on a difference, the sizes and the first
// differing offset of each stream, with the bytes around it.
testing::AssertionResult same_run(const char *actual_text, const char *expected_text,
                                  const Result &actual, const Result &expected);
testing::AssertionResult same_bytes(const char *actual_text, const char *expected_text,
                                    const std::string &actual, const std::string &expected);
#define EXPECT_RUN(actual, expected) EXPECT_PRED_FORMAT2(harness::same_run, actual, expected)
#define ASSERT_RUN(actual, expected) ASSERT_PRED_FORMAT2(harness::same_run, actual, expected)

// The bytes of a file.
std::string read_file(const std::string &path);

Result run(const std::vector<std::string> &args, const Options &options = {});

// A fresh folder, removed with everything in it when the object goes.
class TempDir {
      public:
	TempDir();
	~TempDir();
	TempDir(const TempDir &) = delete;
	TempDir &operator=(const TempDir &) = delete;
	const std::string &path() const { return path_; }
	std::string write(const std::string &name, const std::string &bytes) const;

      private:
	std::string path_;
};

} // namespace harness
