// Runs chunkcat as a user or a script would, within a time and an output limit,
// and captures the bytes of standard output and standard error and the status.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace harness {

// chunkcat's messages and sizes, each stated here once. The reasons are the
// platform's own wording, as perror prints it.
inline const std::string usage = "Program is expecting one argument\n";
inline const std::string closing = "You have reached the end of the line.";
inline const std::string same_file = "Input file is output file";
inline const std::string open_prefix = "Error opening file\n", read_prefix = "Error reading!",
                         write_prefix = "Error writing!";
inline std::string error(const std::string &prefix, const std::string &reason)
{
	return prefix + ": " + reason + "\n";
}
inline std::string error(const std::string &prefix, int code)
{
	return error(prefix, std::string(strerror(code)));
}

inline constexpr std::size_t chunk = 128;
// A pipe or a file gets the output in blocks (Blocks.PipeGetsWhole pins the size).
// A file of block_file bytes has the longest output whose chunks fill a block.
inline constexpr std::size_t output_block = std::size_t{64} * 1024;
inline constexpr std::size_t block_file = output_block / (chunk + 1) * chunk;

// What a complete run prints for a regular file: a newline after every chunk
// counted from its start, then the closing text.
inline std::string chunked(const std::string &file, const std::string &end = closing)
{
	std::string out;
	for (std::size_t at = 0; at < file.size(); at += chunk)
		out += file.substr(at, chunk) + '\n';
	return out + end;
}

// Each run is stopped when it passes either limit. The longest honest run
// takes a fraction of a second and prints about 1 MiB.
inline constexpr int time_limit = RUN_SECONDS;
inline constexpr std::size_t output_limit = std::size_t{4} << 20;

// The executable under test: the one built, unless CHUNKCAT names another. A
// relative name is taken from the folder that ctest was started in: ctest runs
// each test in a folder of its own, but leaves PWD as it was.
inline const std::string program = [] {
	const char *value = getenv("CHUNKCAT"), *start = getenv("PWD");
	if (value == nullptr || *value == '\0')
		return std::string(CHUNKCAT_PATH);
	return (start != nullptr && *start == '/' ? std::filesystem::path(start) / value
	                                          : std::filesystem::absolute(value))
	    .string();
}();

inline std::string read_file(const std::string &path)
{
	std::ifstream file(path, std::ios::binary);
	return {std::istreambuf_iterator<char>(file), {}};
}

struct Result {
	std::string out, err;
	int status; // exit status, or 128 + the signal that ended the process
};

// For EXPECT_PRED_FORMAT2: each stream that differs, with both sizes and its
// bytes, control and NUL bytes escaped; whole, or from a little before the
// first difference when long. Then the statuses, when they differ.
inline testing::AssertionResult same_run(const char *, const char *, const Result &got,
                                         const Result &want)
{
	constexpr std::size_t whole = 1024, before = 128, after = 256;
	auto report = testing::AssertionFailure();
	for (const auto &[stream, g, w] : {std::tuple{"stdout", &got.out, &want.out},
	                                   std::tuple{"stderr", &got.err, &want.err}}) {
		if (*g == *w)
			continue;
		const auto at = static_cast<std::size_t>(
		    std::mismatch(g->begin(), g->end(), w->begin(), w->end()).first - g->begin());
		const bool cut = std::max(g->size(), w->size()) > whole;
		const std::size_t from = cut && at > before ? at - before : 0;
		const std::size_t length = cut ? at + after - from : std::string::npos;
		report << stream << ": " << g->size() << " bytes, expected " << w->size()
		       << "; first difference at offset " << at;
		if (cut)
			report << "; from offset " << from;
		report << "\n  got      " << testing::PrintToString(g->substr(from, length))
		       << "\n  expected " << testing::PrintToString(w->substr(from, length))
		       << "\n";
	}
	if (got.status != want.status)
		report << "status: " << got.status << ", expected " << want.status << "\n";
	if (got.out == want.out && got.err == want.err && got.status == want.status)
		return testing::AssertionSuccess();
	return report;
}
#define EXPECT_RUN(got, want) EXPECT_PRED_FORMAT2(harness::same_run, got, want)
#define ASSERT_RUN(got, want) ASSERT_PRED_FORMAT2(harness::same_run, got, want)

struct Options {
	std::vector<std::string> prefix{}; // a command that runs chunkcat: strace, stdbuf...
	std::string program = harness::program;
	std::string cwd = ".";
	int in = -1;  // standard input, when not inherited
	int out = -1; // standard output, when not a pipe that the harness drains
};

// Runs the program in a process group of its own, killed with all it started
// when the run passes the time limit or its output the output limit (which
// RLIMIT_FSIZE holds output to a file to); the test then fails, saying so.
inline Result run(const std::vector<std::string> &args, const Options &o = {})
{
	std::vector<std::string> argv = o.prefix;
	argv.push_back(o.program);
	argv.insert(argv.end(), args.begin(), args.end());
	std::vector<char *> argp;
	for (auto &arg : argv)
		argp.push_back(arg.data());
	argp.push_back(nullptr);
	int out[2];
	const int err = memfd_create("stderr", MFD_CLOEXEC);
	if (err == -1 || pipe2(out, O_CLOEXEC) == -1)
		throw std::runtime_error("cannot capture the output");
	const pid_t pid = fork();
	if (pid == 0) {
		const rlimit fsize{output_limit, output_limit};
		(void)setpgid(0, 0);
		(void)setrlimit(RLIMIT_FSIZE, &fsize);
		if (o.in >= 0)
			(void)dup2(o.in, STDIN_FILENO);
		(void)dup2(o.out >= 0 ? o.out : out[1], STDOUT_FILENO);
		(void)dup2(err, STDERR_FILENO);
		(void)signal(SIGPIPE, SIG_DFL); // as a shell starts it, whatever ran the tests
		if (chdir(o.cwd.c_str()) == 0)
			execvp(argp[0], argp.data());
		(void)dprintf(STDERR_FILENO, "cannot run %s: %s\n", argp[0], strerror(errno));
		_exit(127);
	}
	(void)setpgid(pid, pid);
	(void)close(out[1]);
	const auto child = static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); // readable at its end
	pollfd watch[2] = {{out[0], POLLIN, 0}, {child, POLLIN, 0}};
	using namespace std::chrono;
	const auto deadline = steady_clock::now() + seconds(time_limit);
	std::string bytes, stopped;
	while (stopped.empty() && (watch[0].fd != -1 || watch[1].fd != -1)) {
		const auto left = ceil<milliseconds>(deadline - steady_clock::now());
		char buffer[65536];
		ssize_t n = 0;
		if (left.count() <= 0 || poll(watch, 2, static_cast<int>(left.count())) == 0)
			stopped = "still running after " + std::to_string(time_limit) + " s";
		else if (watch[0].revents != 0 && (n = read(out[0], buffer, sizeof buffer)) > 0)
			bytes.append(buffer, static_cast<std::size_t>(n));
		else if (watch[0].revents != 0)
			watch[0].fd = -1; // the end of the output
		if (watch[1].revents != 0)
			watch[1].fd = -1;
		if (bytes.size() > output_limit)
			stopped = "more than " + std::to_string(output_limit) + " bytes of output";
	}
	int status = 0;
	if (!stopped.empty()) {
		(void)kill(-pid, SIGKILL);
		ADD_FAILURE() << o.program << " stopped: " << stopped;
	}
	(void)waitpid(pid, &status, 0);
	if (WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ)
		ADD_FAILURE() << o.program << " stopped: a file passed the output limit";
	const std::string errors = read_file("/proc/self/fd/" + std::to_string(err));
	for (const int fd : {out[0], err, child})
		(void)close(fd);
	return {bytes, errors, WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status)};
}

// A test that needs what the machine lacks (strace and ptrace, user
// namespaces, another uid...) is skipped with one line that says what, for
// chunkcat is not at fault. CHUNKCAT_NO_SKIP=1 fails it instead: where
// everything is at hand, as in CI, a skip would only hide a regression.
inline const bool no_skip =
    getenv("CHUNKCAT_NO_SKIP") != nullptr && std::string(getenv("CHUNKCAT_NO_SKIP")) == "1";
#define SKIP_IF_LACKING(lack)                                                                      \
	do {                                                                                       \
		if (const std::string why = (lack); !why.empty()) {                                \
			if (harness::no_skip)                                                      \
				FAIL() << why << " (CHUNKCAT_NO_SKIP=1)";                          \
			GTEST_SKIP() << why;                                                       \
		}                                                                                  \
	} while (false)

// What the machine lacks to run the commands put in front of chunkcat
// (strace, unshare, setpriv...): they run once with `true` in its place; or,
// with chunkcat and no operand, which writes nothing to standard error,
// stdbuf, whose library must load into chunkcat itself, and a trace to
// standard error, which must show chunkcat's calls alone (under qemu-user it
// shows the emulator's). The first line of what they report tells. Empty
// when they work.
inline std::string lacking(Options o)
{
	const auto has = [&](const char *word) { return std::ranges::count(o.prefix, word) > 0; };
	if (o.prefix.empty())
		return "";
	const bool itself = has("stdbuf") || (has("strace") && !has("-o"));
	if (!itself)
		o.program = "true";
	const Result probe = run({}, o);
	if (itself ? probe.err.empty() : probe.status == 0)
		return "";
	// A helper's messages go to standard output when the row sends
	// standard error there.
	const std::string &said = probe.err.empty() ? probe.out : probe.err;
	std::string command;
	for (const auto &word : o.prefix)
		command += word + " ";
	return "the machine cannot run this test's helpers: " +
	       (said.empty() ? command + "true: status " + std::to_string(probe.status)
	                     : said.substr(0, said.find('\n')));
}

inline const auto executable = [](const std::string &path) {
	return access(path.c_str(), X_OK) == 0 && std::filesystem::is_regular_file(path);
};

// Every test runs the program in a fresh folder of its own. When the program
// is not an executable, Program.IsExecutable fails saying so, and the rest skip.
class Chunkcat : public testing::Test {
      protected:
	void SetUp() override
	{
		if (!executable(program))
			GTEST_SKIP() << program << " is not an executable file";
		ASSERT_NE(mkdtemp(dir.data()), nullptr) << strerror(errno);
	}
	void TearDown() override { std::filesystem::remove_all(dir); }
	std::string create(const std::string &name, const std::string &bytes) const
	{
		std::ofstream file(dir + "/" + name, std::ios::binary);
		if (!(file << bytes << std::flush))
			throw std::runtime_error("cannot write " + name);
		return dir + "/" + name;
	}
	std::string dir = std::filesystem::temp_directory_path() / "chunkcat.XXXXXX";
};

} // namespace harness
