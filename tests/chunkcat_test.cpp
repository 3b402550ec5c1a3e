// Black-box tests: chunkcat runs as a user or a script runs it, within limits, and its
// standard output, standard error and status are compared byte for byte, mostly in rows.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using namespace std::string_literals;
using testing::PrintToString;

namespace {

// chunkcat's messages and sizes; the reasons after a message are strerror's wording.
const std::string usage = "Program is expecting one argument\n",
                  closing = "You have reached the end of the line.",
                  same_file = "Input file is output file", open_prefix = "Error opening file\n",
                  read_prefix = "Error reading!", write_prefix = "Error writing!";
constexpr std::size_t chunk = 128, output_block = std::size_t{64} * 1024;
// The longest file whose output, but for the closing text, fits a block.
constexpr std::size_t block_file = output_block / (chunk + 1) * chunk;

// A regular file's output: a newline after every chunk, then the closing text.
std::string chunked(const std::string &file, const std::string &end = closing)
{
	std::string out;
	for (std::size_t at = 0; at < file.size(); at += chunk)
		out += file.substr(at, chunk) + '\n';
	return out + end;
}

// A run is stopped past either limit; the longest honest one prints 1 MiB in well under a second.
constexpr int time_limit = RUN_SECONDS;
constexpr std::size_t output_limit = std::size_t{4} << 20;

std::string env(const char *name)
{
	const char *value = getenv(name);
	return value != nullptr ? value : "";
}

// The one built, unless CHUNKCAT names another, relative to where ctest started:
// ctest runs each test in a folder of its own, but leaves PWD as it was.
const std::string under_test =
    env("CHUNKCAT").empty()
        ? CHUNKCAT_PATH
        : std::filesystem::absolute(std::filesystem::path(env("PWD")) / env("CHUNKCAT")).string();

std::string read_file(const std::string &path)
{
	std::ifstream file(path, std::ios::binary);
	return {std::istreambuf_iterator<char>(file), {}};
}

struct Result {
	std::string out, err;
	int status; // exit status, or 128 + the signal that ended the process
};

// Each stream that differs: sizes and bytes from a little before the first difference.
testing::AssertionResult same_run(const char *, const char *, const Result &got, const Result &want)
{
	if (got.out == want.out && got.err == want.err && got.status == want.status)
		return testing::AssertionSuccess();
	auto report = testing::AssertionFailure();
	for (const auto &[stream, g, w] :
	     {std::tuple{"stdout", got.out, want.out}, std::tuple{"stderr", got.err, want.err}}) {
		const auto at = std::size_t(std::ranges::mismatch(g, w).in1 - g.begin());
		const std::size_t from = at - std::min(at, std::size_t{128});
		if (g != w)
			report << stream << ": " << g.size() << " bytes, expected " << w.size()
			       << "; first difference at " << at << ", shown from " << from
			       << "\n  got      " << PrintToString(g.substr(from, 384))
			       << "\n  expected " << PrintToString(w.substr(from, 384)) << "\n";
	}
	return report << "status: " << got.status << ", expected " << want.status << "\n";
}
#define EXPECT_RUN(got, want) EXPECT_PRED_FORMAT2(same_run, got, want)
#define ASSERT_RUN(got, want) ASSERT_PRED_FORMAT2(same_run, got, want)

struct Options {
	std::vector<std::string> prefix{}; // a command that runs chunkcat: strace, stdbuf...
	std::string program = under_test;
	std::string cwd = ".";
	int in = -1;         // standard input, when not inherited
	int out = -1;        // standard output, when not a pipe that the harness drains
	bool socket = false; // a socket that the harness drains, for that pipe
};

// In a process group of its own, killed with all it started, and the test failed,
// past the time limit or the output limit (which RLIMIT_FSIZE sets for files).
Result run(const std::vector<std::string> &args, const Options &o = {})
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

// A test skips, saying what the machine lacks; CHUNKCAT_NO_SKIP=1 (all at hand) fails it.
const bool no_skip = env("CHUNKCAT_NO_SKIP") == "1";
#define SKIP_IF_LACKING(lack)                                                                      \
	do {                                                                                       \
		if (const std::string why = (lack); !why.empty()) {                                \
			if (no_skip)                                                               \
				FAIL() << why << " (CHUNKCAT_NO_SKIP=1)";                          \
			GTEST_SKIP() << why;                                                       \
		}                                                                                  \
	} while (false)

// Why the commands before chunkcat do not work here, or empty. They run `true`;
// stdbuf, whose library loads into chunkcat, and a trace to standard error (under
// qemu-user, it shows qemu's calls) run chunkcat with no operand, which is silent there.
std::string lacking(Options o)
{
	const auto has = [&](const char *word) { return std::ranges::count(o.prefix, word) > 0; };
	const bool itself = has("stdbuf") || (has("strace") && !has("-o"));
	if (!itself)
		o.program = "true";
	const Result probe = o.prefix.empty() ? Result{} : run({}, o);
	if (itself ? probe.err.empty() : probe.status == 0)
		return "";
	const std::string &said = probe.err.empty() ? probe.out : probe.err; // or with 2>&1
	return "the machine cannot run this test's helpers: " +
	       (said.empty() ? "status " + std::to_string(probe.status)
	                     : said.substr(0, said.find('\n')));
}

const auto executable = [](const std::string &path) {
	return access(path.c_str(), X_OK) == 0 && std::filesystem::is_regular_file(path);
};

// A fresh folder for each test; all but Program.IsExecutable skip without the program.
class Chunkcat : public testing::Test {
      protected:
	void SetUp() override
	{
		if (!executable(under_test))
			GTEST_SKIP() << under_test << " is not an executable file";
		ASSERT_NE(mkdtemp(dir.data()), nullptr) << strerror(errno);
	}
	void TearDown() override { std::filesystem::remove_all(dir); }
	std::string create(const std::string &name, const std::string &bytes) const
	{
		if (!(std::ofstream(dir + "/" + name, std::ios::binary) << bytes << std::flush))
			throw std::runtime_error("cannot write " + name);
		return dir + "/" + name;
	}
	std::string dir = std::filesystem::temp_directory_path() / "chunkcat.XXXXXX";
};

const std::string a128(chunk, 'a'), b128(chunk, 'b'), c44(44, 'c'), hello = "hello\n";
const std::string file300 = a128 + a128 + c44, two_chunks = a128 + "\n" + a128 + "\n";
const auto error = [](std::string prefix, std::string why) { return prefix + ": " + why + '\n'; };
const std::string eio = error(read_prefix, strerror(EIO));
const auto printed = [](std::string chunks) { return Result{chunks + closing, "", 0}; };
const auto whole = [](const std::string &file) { return printed(chunked(file, "")); };
const auto opening = [](int e) { return Result{"", error(open_prefix, strerror(e)), 1}; };
const auto reading = [](int e) { return Result{"", error(read_prefix, strerror(e)), 255}; };
const auto writing = [](int e, std::string out = "") {
	return Result{out, error(write_prefix, strerror(e)), 255};
};
const auto refusal = [](std::string out) { return Result{out, error(open_prefix, same_file), 1}; };
const Result hello_out = printed(hello + "\n"), refused = refusal(hello), out300 = whole(file300);

struct Row {
	std::string file = file300; // the bytes of `path`, in the folder the run starts in
	std::uintmax_t size = 0;    // when larger, `path` is extended to it with a hole
	std::vector<std::string> args{"f"};
	// `link` is a hard link of it; `g` and `lower`, "old\n", are numbered above and below it.
	const char *path = "f";
	std::string shell{}; // redirections, as sh takes them, or all it does around "$@"
	// "socket in"; "pipe in", each piece once the last was read; "pipe in, pipe out"
	// or "..., terminal out", each once its chunks came out, "..., hanging up" after
	// one; "socket out"; "broken pipe out"; "stalled pipe out"; "growing" by b128.
	std::string stream{};
	// A failure that strace injects on f and g alone, whatever the loader and libc do.
	const char *fault = nullptr;
	std::vector<std::string> prefix{}; // a command that runs chunkcat
	// As a user that does not own the file, of this mode (as root, nobody in its group).
	int mode = -1;
	std::array<const char *, 2> needs{}; // a file of the machine's, and its Debian package
	std::size_t block = 0;               // standard output's write requests are of this size
	Result want{}; // out: what standard output got, or the output file (its size, when large)
};

// LeakSanitizer cannot work under a tracer; the runs without one check for leaks.
std::vector<std::string> traced(std::vector<std::string> options)
{
	const std::string leaks = "ASAN_OPTIONS=" + env("ASAN_OPTIONS") + ":detect_leaks=0";
	options.insert(options.begin(), {"env", leaks, "strace", "-qq"});
	return options;
}
// A file of /etc that another user owns, with `mode`, and that this user may read.
std::string theirs(int mode)
{
	std::error_code error;
	for (const auto &entry : std::filesystem::directory_iterator("/etc", error))
		if (struct stat s{}; stat(entry.path().c_str(), &s) == 0 && S_ISREG(s.st_mode) &&
		                     s.st_uid != geteuid() && int(s.st_mode & 07777) == mode &&
		                     s.st_size < 65536 && access(entry.path().c_str(), R_OK) == 0)
			return entry.path();
	return "";
}
// f, in a new file system, into g in another, each the first file there: the
// two share an inode number. $1 orders their device numbers.
const auto two_file_systems = [](const char *order) {
	const std::string script =
	    "mkdir -p a b && mount -t tmpfs a a && mount -t tmpfs b b && i=a o=b"
	    " && { [ $(stat -c %d a) $1 $(stat -c %d b) ] || i=b o=a; } && cp f $i"
	    " && shift && (cd $i && exec \"$@\" >../$o/g); s=$? && cat $o/g && exit $s";
	return std::vector<std::string>{"unshare", "-rm", "sh", "-c", script, "sh", order};
};
const auto z = [](std::size_t size) { return std::string(size, 'z'); };
const auto first_block = [](const std::string &f) { return chunked(f).substr(0, output_block); };
// A write past `bytes` of a file fails.
const auto size_limit = [](std::size_t bytes) {
	return std::vector<std::string>{"env", "--ignore-signal=XFSZ", "prlimit",
	                                "--fsize=" + std::to_string(bytes)};
};
// A pipe is fed in pieces of this size, one read each: two chunks, or one short.
constexpr std::size_t piece = 200;
const auto fed = [](const std::string &file) {
	std::string out;
	for (std::size_t at = 0; at < file.size(); at += piece)
		out += chunked(file.substr(at, piece), "");
	return printed(out);
};
constexpr std::uintmax_t gib = std::uintmax_t{1} << 30;
const std::string mib = z(std::size_t{1} << 20), kib128 = z(std::size_t{128} << 10);
const Result mib_out = whole(mib), kib128_out = whole(kib128);
const std::vector<std::string> in_stdin{"/dev/stdin"};

// Holes appended to themselves, at sizes that an int makes negative, 0 or small. A
// write that fails in a chunk, the last or one before, the closing text or the final
// flush: files at both sides of where the output, then its chunks, first pass each of
// the first block ends. The first block goes to /dev/full; a later one past a size limit.
std::multimap<std::string, Row> by_rule(std::multimap<std::string, Row> rows)
{
	for (const std::uintmax_t size : {2 * gib - 1, 2 * gib, 4 * gib - 1, 4 * gib, 4 * gib + 1})
		rows.emplace("holes_appended_" + std::to_string(size),
		             Row{.file = "",
		                 .size = size,
		                 .shell = ">>f",
		                 .want = refusal(std::to_string(size) + " bytes")});
	const auto first_past = [](std::size_t end, std::size_t tail) {
		std::size_t size = 0;
		while (size + (size + chunk - 1) / chunk + tail <= end)
			++size;
		return size;
	};
	for (std::size_t written = 0; written < 3 * output_block; written += output_block) {
		const bool full = written == 0; // else a size limit
		const std::size_t end = written + output_block,
		                  closing_past = first_past(end, closing.size()),
		                  chunk_past = first_past(end, 0);
		for (const std::size_t size : {closing_past - 1, closing_past, chunk_past - 1,
		                               chunk_past, chunk_past + chunk})
			rows.emplace(
			    "write_fails_" + std::to_string(size),
			    Row{.file = z(size),
			        .shell = full ? ">/dev/full" : ">g",
			        .prefix = full ? std::vector<std::string>{} : size_limit(written),
			        .want = writing(full ? ENOSPC : EFBIG,
			                        chunked(z(size)).substr(0, written))});
	}
	return rows;
}

// clang-format off
const std::multimap<std::string, Row> rows = by_rule({
    {"empty", {.file = "", .want = printed("")}},
    {"one_line", {.file = hello, .want = hello_out}},
    {"exactly_128", {.file = a128, .want = printed(a128 + "\n")}},
    {"129", {.file = a128 + "b", .want = printed(a128 + "\nb\n")}},
    {"300", {.file = a128 + b128 + c44, .want = printed(a128 + '\n' + b128 + '\n' + c44 + '\n')}},
    {"nul_inside", {.file = "ab\0cd\n"s, .want = printed("ab\0cd\n\n"s)}},
    {"nul_starts_chunk", {.file = a128 + "\0z"s, .want = printed(a128 + "\n\0z\n"s)}},
    {"dash_names_a_file", {.file = "-\n", .args = {"-"}, .path = "-", .want = printed("-\n\n")}},
    {"help_names_a_file", {.args = {"--help"}, .path = "--help", .want = out300}},
    // Files whose size tells nothing: /proc's say 0; one grows after a read.
    {"proc_file", {.args = {"/proc/filesystems"}, .want = whole(read_file("/proc/filesystems"))}},
    {"growing", {.file = c44, .stream = "growing", .fault = "read:when=1:delay_exit=500000",
     .want = printed(c44 + "\n" + b128 + "\n")}},
    // Usage and open failures: status 1, nothing printed.
    {"no_operand", {.args = {}, .want = {usage, "", 1}}},
    {"two_operands", {.args = {"f", "f"}, .want = {usage, "", 1}}},
    {"missing", {.args = {"missing"}, .want = opening(ENOENT)}},
    {"empty_operand", {.args = {""}, .want = opening(ENOENT)}},
    {"dash_is_a_path", {.args = {"-"}, .want = opening(ENOENT)}},
    {"help_is_a_path", {.args = {"--help"}, .want = opening(ENOENT)}},
    {"name_too_long", {.args = {z(5000)}, .want = opening(ENAMETOOLONG)}},
    {"too_many_files", {.fault = "open,openat:when=1:error=EMFILE", .want = opening(EMFILE)}},
    {"fstat_fails", {.fault = "fstat,fstat64,newfstatat,statx:when=1:error=EIO",
     .want = opening(EIO)}},
    {"unreadable", {.mode = 0, .want = opening(EACCES)}},
    // The descriptions are the default locale's, whatever the environment says.
    {"no_locale", {.args = {"missing"}, .prefix = {"env", "LANG=C.UTF-8", "LANGUAGE=de"},
     .needs = {"/usr/share/locale/de/LC_MESSAGES/libc.mo", "libc-l10n"}, .want = opening(ENOENT)}},
    // /dev/stdin is opened anew: from the file's start, and not for a socket.
    {"stdin_opened_anew", {.file = "one\ntwo\n", .args = in_stdin,
     .shell = "{ read -r l; exec \"$@\"; } <f", .want = printed("one\ntwo\n\n")}},
    {"stdin_a_socket", {.args = in_stdin, .stream = "socket in", .want = opening(ENXIO)}},
    // Read failures: status 255; what was read before stays printed.
    {"directory", {.args = {"."}, .want = reading(EISDIR)}},
    {"directory_as_stdout_too", {.args = {"."}, .shell = "1<.", .want = reading(EISDIR)}},
    {"directory_into_null_device", {.args = {"."}, .shell = ">/dev/null", .want = reading(EISDIR)}},
    {"read_fails_first", {.fault = "read:when=1:error=EIO", .want = reading(EIO)}},
    {"read_interrupted", {.fault = "read:when=1:error=EINTR", .want = reading(EINTR)}},
    {"read_fails_third", {.fault = "read:when=3:error=EIO", .want = {two_chunks, eio, 255}}},
    {"read_fails_third_one_stream", {.shell = "2>&1", .fault = "read:when=3:error=EIO",
     .want = {two_chunks + eio, "", 255}}},
    // Write failures: status 255 at once, wherever the failure falls (see by_rule).
    {"read_fails_and_disk_full", {.shell = ">/dev/full", .fault = "read:when=3:error=EIO",
     .want = {"", error(write_prefix, strerror(ENOSPC)) + eio, 255}}},
    // The open takes standard output's number.
    {"stdout_closed", {.shell = ">&-", .prefix = traced({"-Z", "-e", "trace=close"}),
     .want = writing(EBADF)}},
    {"pipe_closed", {.stream = "broken pipe out", .want = {"", "", 128 + SIGPIPE}}},
    {"pipe_closed_sigpipe_ignored", {.stream = "broken pipe out",
     .prefix = {"env", "--ignore-signal=PIPE"}, .want = writing(EPIPE)}},
    {"pipe_never_drained", {.file = z(2 * block_file), .stream = "stalled pipe out",
     .want = writing(EAGAIN)}},
    {"closing_flush_closed", {.file = z(block_file), .shell = ">&-", .want = writing(EBADF)}},
    {"last_write_fails", {.file = z(block_file), .shell = ">g",
     .fault = "write,writev:when=2:error=EIO", .want = writing(EIO, first_block(z(block_file)))}},
    {"file_size_limit", {.file = z(2 * block_file), .shell = ">g",
     .prefix = size_limit(output_block), .want = writing(EFBIG, first_block(z(2 * block_file)))}},
    // Beyond 32-bit offsets, sparse: it opens and is read, NUL bytes and all.
    {"sparse_5_gib", {.file = "", .size = 5 * gib, .shell = ">g",
     .prefix = size_limit(output_block),
     .want = writing(EFBIG, first_block(std::string(2 * block_file, '\0')))}},
    // Each chunk at once on a terminal or where stdbuf asks; a hang-up ends the run.
    {"terminal", {.args = in_stdin, .stream = "pipe in, terminal out", .want = fed(file300)}},
    {"terminal_hangs_up", {.args = in_stdin, .stream = "pipe in, terminal out, hanging up",
     .want = writing(EIO, chunked(file300.substr(0, piece), ""))}},
    {"stdbuf_line", {.args = in_stdin, .stream = "pipe in, pipe out", .prefix = {"stdbuf", "-oL"},
     .want = fed(file300)}},
    {"stdbuf_unbuffered", {.args = in_stdin, .stream = "pipe in, pipe out",
     .prefix = {"stdbuf", "-o0"}, .want = fed(file300)}},
    // Else whole blocks (none with stdio's 4 KiB), whatever the streams; stdbuf's stand.
    {"blocks_chunkcat_chooses", {.file = mib, .block = output_block, .want = mib_out}},
    {"blocks_stdbuf_smaller", {.file = mib, .prefix = {"stdbuf", "-o1000"}, .block = 1000,
     .want = mib_out}},
    {"blocks_stdbuf_larger", {.file = mib, .prefix = {"stdbuf", "-o100000"}, .block = 100000,
     .want = mib_out}},
    {"blocks_pipe_into_pipe", {.file = kib128, .args = in_stdin, .shell = "cat f | \"$@\"",
     .block = output_block, .want = kib128_out}},
    {"blocks_slow_pipe_into_pipe", {.file = kib128, .args = in_stdin, .stream = "pipe in",
     .block = output_block, .want = fed(kib128)}},
    {"blocks_into_null_device", {.file = mib, .shell = ">/dev/null", .block = output_block}},
    {"blocks_into_socket", {.file = kib128, .stream = "socket out", .block = output_block,
     .want = kib128_out}},
    // Never into the file itself, where it would be read back; an empty one holds nothing.
    {"into_another_file", {.file = hello, .shell = ">g", .want = hello_out}},
    {"into_a_file_numbered_lower", {.file = hello, .shell = ">lower", .want = hello_out}},
    {"appended_to_another_file", {.file = hello, .shell = ">>g",
     .want = printed("old\n" + hello + "\n")}},
    {"into_itself_emptied_first", {.file = hello, .shell = ">f", .want = printed("")}},
    {"appended_to_itself", {.file = hello, .shell = ">>f", .want = refused}},
    {"one_byte_appended_to_itself", {.file = "x", .shell = ">>f", .want = refusal("x")}},
    {"appended_to_itself_at_its_end", {.file = hello, .shell = "{ echo x; exec \"$@\"; } >>f",
     .want = refusal(hello + "x\n")}},
    // With standard input or error closed, the open takes its number.
    {"appended_to_itself_stdin_closed", {.file = hello, .shell = "<&- >>f", .want = refused}},
    {"appended_to_itself_stderr_closed", {.file = hello, .shell = "2>&- >>f",
     .want = {hello, "", 1}}},
    {"stdin_and_stdout_closed", {.shell = "<&- >&-", .want = writing(EBADF)}},
    {"appended_to_itself_beyond_a_block", {.file = z(100000), .shell = ">>f",
     .want = refusal(z(100000))}},
    {"read_write", {.file = hello, .shell = "1<>f", .want = refused}},
    {"hard_link", {.file = hello, .args = {"link"}, .shell = ">>f", .want = refused}},
    {"stdin_reopened", {.file = hello, .args = in_stdin, .shell = "<f >>f", .want = refused}},
    {"empty_appended_to_itself", {.file = "", .shell = ">>f", .want = printed("")}},
    {"null_device", {.args = {"/dev/null"}, .shell = ">/dev/null"}},
    {"same_inode_output_device_higher", {.prefix = two_file_systems("-lt"), .want = out300}},
    {"same_inode_output_device_lower", {.prefix = two_file_systems("-gt"), .want = out300}},
    // As users run it: on files that another user owns.
    {"theirs_readable_by_all", {.file = hello, .mode = 0644, .want = hello_out}},
    {"theirs_readable_by_group", {.file = hello, .mode = 0640, .want = hello_out}},
});
// clang-format on

// Whether all that was written to `fd` has been read, within the time limit.
bool drained(int fd)
{
	const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(time_limit);
	for (int queued = 0; ioctl(fd, FIONREAD, &queued) == 0 && queued > 0;)
		if (std::chrono::steady_clock::now() > deadline)
			return false;
	return true;
}

// Reads `fd` until `want` has come after what `seen` holds, within the time limit.
bool await(int fd, std::string &seen, const std::string &want)
{
	const std::size_t start = seen.size();
	char buffer[512];
	pollfd p{fd, POLLIN, 0};
	for (ssize_t n = 0; seen.size() - start < want.size(); seen.append(buffer, std::size_t(n)))
		if (poll(&p, 1, time_limit * 1000) != 1 ||
		    (n = read(fd, buffer, sizeof buffer)) <= 0)
			return false;
	return seen.compare(start, std::string::npos, want) == 0;
}

std::size_t count(const std::string &text, const std::string &what)
{
	std::size_t n = 0;
	for (std::size_t at = 0; (at = text.find(what, at)) != std::string::npos; ++at)
		++n;
	return n;
}

// A pseudo-terminal in raw mode, so that what is written to its terminal side
// reaches the master unchanged: {master, terminal}, with -1 for none.
std::array<int, 2> open_terminal()
{
	const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
	if (master == -1 || grantpt(master) != 0 || unlockpt(master) != 0)
		return {master, -1};
	const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
	termios raw{};
	if (terminal != -1 && tcgetattr(terminal, &raw) == 0)
		cfmakeraw(&raw);
	return {master, tcsetattr(terminal, TCSANOW, &raw) == 0 ? terminal : -1};
}

class Table : public Chunkcat, public testing::WithParamInterface<std::size_t> {};

TEST_P(Table, Row)
{
	const Row &row = std::next(rows.begin(), GetParam())->second;
	// Three new files, named in the order of their inode numbers, which may be any.
	std::map<ino_t, std::string> made;
	for (const char *name : {"0", "1", "2"})
		if (struct stat s = {}; stat(create(name, "").c_str(), &s) == 0)
			made[s.st_ino] = name;
	ASSERT_EQ(made.size(), 3U);
	for (auto at = made.begin(); const char *name : {"lower", row.path, "g"})
		std::filesystem::rename(dir + "/" + at++->second, dir + "/" + name);
	const std::string f = dir + "/" + row.path;
	Options options{.cwd = dir};
	const auto prefix = [&](const std::vector<std::string> &words) {
		options.prefix.insert(options.prefix.end(), words.begin(), words.end());
	};
	if (const bool around = row.shell.find("\"$@\"") != std::string::npos; !row.shell.empty())
		prefix({"sh", "-c", around ? row.shell : "exec \"$@\" " + row.shell, "sh"});
	// Each close of f does nothing, so that a second one would show in the trace.
	if (row.fault != nullptr)
		prefix(traced({"-y", "-o", dir + "/faults", "-P", f, "-P", dir + "/g", "-e",
		               "inject="s + row.fault, "-e", "inject=close:retval=0"}));
	if (row.block != 0) // requests, not writes, for a pipe write may return short
		prefix(traced({"-o", dir + "/writes", "-e", "trace=write"}));
	prefix(row.prefix);
	// strace matches an open's path as the program passes it: a whole one.
	std::vector<std::string> args = row.fault != nullptr ? std::vector{f} : row.args;
	Result want = row.want;
	if (row.needs[0] != nullptr && !std::filesystem::exists(row.needs[0]))
		SKIP_IF_LACKING(row.needs[0] + " is missing (Debian: "s + row.needs[1] + ")");
	if (row.mode > 0 && geteuid() != 0) {
		args = {theirs(row.mode)};
		SKIP_IF_LACKING(args[0].empty() ? "/etc holds no such file of another user's" : "");
		want = whole(read_file(args[0]));
	}
	// root reads any file: nobody, in the file's group (below), runs a copy it can reach.
	if (row.mode >= 0 && geteuid() == 0) {
		if (struct statvfs v = {}; statvfs(dir.c_str(), &v) == 0 && (v.f_flag & ST_NOEXEC))
			SKIP_IF_LACKING(dir + " is mounted noexec: no copy of chunkcat runs there");
		ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
		options.program = dir + "/chunkcat";
		std::filesystem::copy_file(under_test, options.program);
		options.prefix = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
	}
	SKIP_IF_LACKING(lacking(options));
	// The files get their bytes once the helpers' probe, which may write, has run.
	create(row.path, row.file);
	if (row.size > row.file.size())
		std::filesystem::resize_file(f, row.size);
	ASSERT_EQ(link(f.c_str(), (dir + "/link").c_str()), 0);
	for (const char *name : {"g", "lower"})
		create(name, "old\n");
	ASSERT_TRUE(row.mode < 0 || chmod(f.c_str(), mode_t(row.mode)) == 0);
	// Once setpriv has shown that the machine has group 65534.
	ASSERT_TRUE(row.mode < 0 || geteuid() != 0 || chown(f.c_str(), 0, 65534) == 0);
	const auto has = [&](const char *s) { return row.stream.find(s) != std::string::npos; };
	const bool awaited = has("in, ");
	std::array<int, 2> in{-1, -1}, out = has("terminal") ? open_terminal() : in;
	if (has("terminal") && out[1] == -1)
		SKIP_IF_LACKING("no pseudo-terminal: "s + strerror(errno));
	ASSERT_TRUE(!has("socket in") ||
	            socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in.data()) == 0);
	ASSERT_TRUE(!has("pipe in") || pipe2(in.data(), O_CLOEXEC) == 0);
	ASSERT_TRUE(!has("pipe out") ||
	            pipe2(out.data(), O_CLOEXEC | (has("stalled") ? O_NONBLOCK : 0)) == 0);
	if (has("broken"))
		(void)close(std::exchange(out[0], -1)); // no reader, ever
	options.in = in[0];
	options.out = out[1];
	options.socket = has("socket out");
	const int watch = has("growing") ? inotify_init1(IN_CLOEXEC) : -1;
	ASSERT_TRUE(watch == -1 || inotify_add_watch(watch, f.c_str(), IN_ACCESS) != -1);
	std::string seen; // what came out, when it is awaited here
	std::thread feeder([&] {
		pollfd read_once{watch, POLLIN, 0};
		if (watch != -1 && poll(&read_once, 1, time_limit * 1000) == 1)
			std::ofstream(f, std::ios::app) << b128;
		for (std::size_t at = 0; has("pipe in") && at < row.file.size(); at += piece) {
			const std::string p = row.file.substr(at, piece);
			if ((!awaited && !drained(in[0])) ||
			    write(in[1], p.data(), p.size()) != ssize_t(p.size()))
				break;
			if (awaited && out[0] == -1)
				return; // hung up: the run is to end at this chunk, the input open
			if (awaited && !await(out[0], seen, chunked(p, ""))) {
				ADD_FAILURE() << "not shown at once: " << PrintToString(seen);
				break;
			}
			if (has("hanging up"))
				(void)close(std::exchange(out[0], -1));
		}
		(void)close(std::exchange(in[1], -1));
		EXPECT_TRUE(!awaited || await(out[0], seen, closing)) << PrintToString(seen);
	});
	Result result = run(args, options);
	feeder.join();
	for (const int fd : {in[0], in[1], out[0], out[1], watch})
		(void)close(fd); // -1 for one closed already
	if (awaited)
		result.out = seen;
	const std::size_t to = row.shell.find_last_of('>');
	if (to != std::string::npos && row.shell.find_first_of("/&", to) == std::string::npos) {
		const std::string into = dir + "/" + row.shell.substr(to + 1);
		const auto n = std::filesystem::file_size(into);
		result.out = n > output_limit ? std::to_string(n) + " bytes" : read_file(into);
	}
	EXPECT_RUN(result, want);
	const std::string writes = read_file(dir + "/writes"), block = std::to_string(row.block);
	const std::string written = row.shell == ">/dev/null" ? chunked(row.file) : want.out;
	EXPECT_EQ(count(writes, ", " + block + ") = "), row.block ? written.size() / row.block : 0)
	    << writes.substr(0, 400);
	EXPECT_LE(count(read_file(dir + "/faults"), "<" + f + ">)"), 1U) << "closes of f";
}

INSTANTIATE_TEST_SUITE_P(Runs, Table, testing::Range(std::size_t{0}, rows.size()),
                         [](const auto &info) {
	                         return std::next(rows.begin(), info.param)->first;
                         });

TEST(Program, IsExecutable)
{
	EXPECT_TRUE(executable(under_test)) << under_test << " is not an executable file";
}

// Random input against the model of the output: MODEL_SEED=N repeats a failed run.
class Model : public Chunkcat {
      protected:
	const std::string chosen = env("MODEL_SEED");
	const unsigned seed = chosen.empty() ? std::random_device{}() : std::stoul(chosen);
	std::mt19937 random{seed};
	std::string bytes(std::size_t size)
	{
		std::string result(size, '\0');
		std::ranges::generate(result, [&] { return char(random()); });
		return result;
	}
};

TEST_F(Model, RandomFiles)
{
	SCOPED_TRACE("seed " + std::to_string(seed));
	std::uniform_int_distribution<int> any(0, 4096), chunks(0, 32), off(-1, 1);
	for (int i = 0; i < 50; ++i) {
		// Every other size lies at or next to a chunk boundary.
		const int size =
		    i % 2 ? std::max(0, chunks(random) * int{chunk} + off(random)) : any(random);
		const std::string file = bytes(std::size_t(size));
		ASSERT_RUN(run({create("f", file)}), whole(file)) << "size " << size;
	}
}

// However a pipe's writes and reads interleave, chunks of 1 to 128 bytes give them back.
TEST_F(Model, PipeInRandomPieces)
{
	SCOPED_TRACE("seed " + std::to_string(seed));
	std::string data = bytes(8192);
	std::erase(data, '\n');
	int in[2];
	ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
	std::thread writer([&] {
		std::uniform_int_distribution<std::size_t> piece(1, 300);
		for (std::size_t at = 0, n = 0; at < data.size(); at += n)
			if (n = std::min(piece(random), data.size() - at);
			    write(in[1], &data[at], n) <= 0)
				break;
		(void)close(in[1]);
	});
	const Result result = run({"/dev/stdin"}, {.in = in[0]});
	writer.join();
	(void)close(in[0]);
	ASSERT_EQ(result.status, 0) << result.err;
	std::string joined = result.out;
	std::erase(joined, '\n');
	EXPECT_EQ(joined, data + closing);
	for (std::size_t at = 0, end; at < result.out.size() - closing.size(); at = end + 1) {
		end = result.out.find('\n', at);
		ASSERT_TRUE(end != std::string::npos && end > at && end - at <= chunk)
		    << "a chunk of " << end - at << " bytes, or one without its newline";
	}
}

} // namespace
