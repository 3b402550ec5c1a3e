#include "harness.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace harness {
namespace {

std::string slurp(int fd)
{
	std::string bytes;
	char buffer[4096];
	(void)lseek(fd, 0, SEEK_SET);
	for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
		bytes.append(buffer, static_cast<std::size_t>(n));
	(void)close(fd);
	return bytes;
}

std::vector<char *> pointers(std::vector<std::string> &strings)
{
	std::vector<char *> result;
	for (auto &s : strings)
		result.push_back(s.data());
	result.push_back(nullptr);
	return result;
}

// Sets up the child's standard output as asked; -1 leaves it closed.
int child_stdout(const Options &options, int captured)
{
	switch (options.out) {
	case Stdout::captured:
	case Stdout::pipe:
		return options.out_fd >= 0 ? options.out_fd : captured;
	case Stdout::closed:
		return -1;
	case Stdout::full:
		return open("/dev/full", O_WRONLY);
	case Stdout::broken_pipe: {
		int ends[2]; // the read end is closed at once: no reader, ever
		return pipe(ends) == -1 || close(ends[0]) == -1 ? -1 : ends[1];
	}
	case Stdout::stalled_pipe: {
		int ends[2]; // the read end stays open, unread, in the program
		return pipe2(ends, O_NONBLOCK) == -1 ? -1 : ends[1];
	}
	}
	return -1;
}

// One stream's difference, if any: both sizes, and the bytes around the
// first differing offset.
std::string difference(const char *stream, const std::string &got, const std::string &want)
{
	if (got == want)
		return "";
	std::size_t at = 0;
	while (at < got.size() && at < want.size() && got[at] == want[at])
		++at;
	const std::size_t from = at < 16 ? 0 : at - 16;
	std::ostringstream os;
	os << stream << ": " << got.size() << " bytes, expected " << want.size()
	   << "; first difference at offset " << at << "\n  got      "
	   << testing::PrintToString(got.substr(from, 48)) << "\n  expected "
	   << testing::PrintToString(want.substr(from, 48)) << "\n";
	return os.str();
}

testing::AssertionResult verdict(const std::string &differences)
{
	if (differences.empty())
		return testing::AssertionSuccess();
	return testing::AssertionFailure() << differences;
}

} // namespace

testing::AssertionResult same_run(const char *, const char *, const Result &actual,
                                  const Result &expected)
{
	const std::string status =
	    std::to_string(actual.status) + ", expected " + std::to_string(expected.status);
	return verdict(difference("stdout", actual.out, expected.out) +
	               difference("stderr", actual.err, expected.err) +
	               (actual.status != expected.status ? "status: " + status + "\n" : ""));
}

testing::AssertionResult same_bytes(const char *actual_text, const char *,
                                    const std::string &actual, const std::string &expected)
{
	return verdict(difference(actual_text, actual, expected));
}

Result run(const std::vector<std::string> &args, const Options &options)
{
	for (const auto &word : options.prefix)
		if (word == "strace" && system("command -v strace >/dev/null") != 0)
			throw std::runtime_error("this test needs strace, which is not installed");
	std::vector<std::string> argv = options.prefix;
	argv.push_back(options.program);
	argv.insert(argv.end(), args.begin(), args.end());
	std::vector<std::string> envp;
	for (char **e = environ; *e != nullptr; ++e)
		envp.emplace_back(*e);
	envp.insert(envp.end(), options.env.begin(), options.env.end());
	auto argp = pointers(argv);
	auto envpp = pointers(envp);

	int out = memfd_create("stdout", 0);
	int drained[2] = {-1, -1};
	if (options.out == Stdout::pipe) {
		if (pipe2(drained, O_CLOEXEC) == -1)
			throw std::runtime_error("pipe failed");
		(void)close(out);
		out = drained[0];
	}
	const int err = memfd_create("stderr", 0);
	const pid_t pid = fork();
	if (pid == 0) {
		const int target = child_stdout(options, drained[1] >= 0 ? drained[1] : out);
		if (options.in >= 0)
			(void)dup2(options.in, STDIN_FILENO);
		if (target >= 0)
			(void)dup2(target, STDOUT_FILENO);
		else
			(void)close(STDOUT_FILENO);
		(void)dup2(options.stderr_to_stdout ? STDOUT_FILENO : err, STDERR_FILENO);
		if (options.ignored_signal != 0)
			(void)signal(options.ignored_signal, SIG_IGN);
		if (!options.cwd.empty() && chdir(options.cwd.c_str()) == -1)
			_exit(126);
		execvpe(argp[0], argp.data(), envpp.data());
		_exit(127);
	}
	std::string piped; // drained before the child can block on a full pipe
	if (drained[1] >= 0) {
		(void)close(drained[1]); // reading ends when the child's end closes
		piped = slurp(out);
	}
	int status = 0;
	while (waitpid(pid, &status, 0) == -1 && errno == EINTR) {
	}
	return {drained[1] >= 0 ? piped : slurp(out), slurp(err),
	        WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status)};
}

TempDir::TempDir()
{
	std::string pattern = std::filesystem::temp_directory_path() / "chunkcat.XXXXXX";
	if (mkdtemp(pattern.data()) == nullptr)
		throw std::runtime_error("mkdtemp failed");
	path_ = pattern;
}

TempDir::~TempDir()
{
	std::filesystem::remove_all(path_);
}

std::string TempDir::write(const std::string &name, const std::string &bytes) const
{
	const std::string path = path_ + "/" + name;
	FILE *file = fopen(path.c_str(), "wb");
	if (file == nullptr || fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() ||
	    fclose(file) != 0)
		throw std::runtime_error("cannot write " + path);
	return path;
}

std::string read_file(const std::string &path)
{
	return slurp(open(path.c_str(), O_RDONLY | O_CLOEXEC));
}

} // namespace harness
