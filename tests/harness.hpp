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
#include <sys/socket.h>
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

inline constexpr std::size_t chunk = 128;
// Standard output gets the output in blocks (the blocks_ rows pin the size). A
// file of block_file bytes has the longest output whose chunks fill a block.
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

inline std::string env(const char *name)
{
	const char *value = getenv(name);
	return value != nullptr ? value : "";
}

// The executable under test: the one built, unless CHUNKCAT names another. A
// relative name is taken from the folder that ctest was started in: ctest runs
// each test in a folder of its own, but leaves PWD as it was.
inline const std::string program =
    env("CHUNKCAT").empty()
        ? CHUNKCAT_PATH
        : std::filesystem::absolute(std::filesystem::path(env("PWD")) / env("CHUNKCAT")).string();

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
// bytes, escaped, from a little before the first difference; then the statuses.
inline testing::AssertionResult same_run(const char *, const char *, const Result &got,
                                         const Result &want)
{
	if (got.out == want.out && got.err == want.err && got.status == want.status)
		return testing::AssertionSuccess();
	auto report = testing::AssertionFailure();
	for (const auto &[stream, g, w] :
	     {std::tuple{"stdout", got.out, want.out}, std::tuple{"stderr", got.err, want.err}}) {
		const auto at = std::size_t(
		    std::mismatch(g.begin(), g.end(), w.begin(), w.end()).first - g.begin());
		const std::size_t from = at - std::min(at, std::size_t{128});
		if (g != w)
			report << stream << ": " << g.size() << " bytes, expected " << w.size()
			       << "; first difference at " << at << ", shown from " << from
			       << "\n  got      " << testing::PrintToString(g.substr(from, 384))
			       << "\n  expected " << testing::PrintToString(w.substr(from, 384))
			       << "\n";
	}
	return report << "status: " << got.status << ", expected " << want.status << "\n";
}
#define EXPECT_RUN(got, want) EXPECT_PRED_FORMAT2(harness::same_run, got, want)
#define ASSERT_RUN(got, want) ASSERT_PRED_FORMAT2(harness::same_run, got, want)

struct Options {
	std::vector<std::string> prefix{}; // a command that runs chunkcat: strace, stdbuf...
	std::string program = harness::program;
	std::string cwd = ".";
	int in = -1;         // standard input, when not inherited
	int out = -1;        // standard output, when not a pipe that the harness drains
	bool socket = false; // a socket that the harness drains, for that pipe
};

// Runs the program in a process group of its own, killed with all it started
// when the run passes the time limit or its output the output limit (which
// RLIMIT_FSIZE holds output to a file to); the test then fails, saying so.
inline Result run(const std::vector<std::string> &args, const Options &o = {})
{
	std::vector<std::string> argv = o.prefix;
	argv.push_back(o.program);
	argv.insert(argv.end(), args.begin(), args.end());
	std::vector<char *> argp(argv.size() + 1); // and a null pointer at the end
	std::ranges::transform(argv, argp.begin(), [](std::string &arg) { return arg.data(); });
	int out[2];
	const int err = memfd_create("stderr", MFD_CLOEXEC);
	if (err == -1 || (o.socket ? socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, out)
	                           : pipe2(out, O_CLOEXEC)) == -1)
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
inline const bool no_skip = env("CHUNKCAT_NO_SKIP") == "1";
#define SKIP_IF_LACKING(lack)                                                                      \
	do {                                                                                       \
		if (const std::string why = (lack); !why.empty()) {                                \
			if (harness::no_skip)                                                      \
				FAIL() << why << " (CHUNKCAT_NO_SKIP=1)";                          \
			GTEST_SKIP() << why;                                                       \
		}                                                                                  \
	} while (false)

// What the machine lacks to run the commands put in front of chunkcat, from the
// first line they report; empty when they work. They run with `true` in its
// place; stdbuf, whose library loads into chunkcat, and a trace to standard
// error, which under qemu-user shows the emulator's calls, run chunkcat with no
// operand, which writes nothing there.
inline std::string lacking(Options o)
{
	const auto has = [&](const char *word) { return std::ranges::count(o.prefix, word) > 0; };
	const bool itself = has("stdbuf") || (has("strace") && !has("-o"));
	if (!itself)
		o.program = "true";
	const Result probe = o.prefix.empty() ? Result{} : run({}, o);
	if (itself ? probe.err.empty() : probe.status == 0)
		return "";
	// Standard output, when the row sends standard error there.
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
