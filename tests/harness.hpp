// Runs the built chunkcat as a user or a script would, and captures what it
// leaves behind: the bytes of standard output and standard error and the
// exit status.
#pragma once

#include <iomanip>
#include <ostream>
#include <string>
#include <vector>

namespace harness {

// What a complete run prints last, with no newline after it.
inline const std::string closing = "You have reached the end of the line.";

// What a complete run prints for a regular file: a newline after every 128
// bytes counted from its start, then the closing text.
inline std::string chunked(const std::string &file)
{
	std::string out;
	for (std::size_t at = 0; at < file.size(); at += 128)
		out += file.substr(at, 128) + '\n';
	return out + closing;
}

// pipe: a pipe that the harness drains into Result::out;
// stalled_pipe: a non-blocking pipe that nobody drains
enum class Stdout { captured, pipe, closed, full, broken_pipe, stalled_pipe };

struct Options {
	std::vector<std::string> env{};      // NAME=value added to the environment
	std::vector<std::string> prefix{};   // a command that runs chunkcat, e.g. setpriv
	std::string program = CHUNKCAT_PATH; // the executable to run
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

inline void PrintTo(const Result &r, std::ostream *os)
{
	*os << "{out " << std::quoted(r.out) << ", err " << std::quoted(r.err) << ", status "
	    << r.status << "}";
}

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
	std::string read(const std::string &name) const;

      private:
	std::string path_;
};

} // namespace harness
