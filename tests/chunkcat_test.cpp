// Black-box tests: chunkcat runs as a user or a script runs it, within limits. A model of its
// manual says, for an environment of streams, faults and sizes, what comes out on each stream,
// the status, the closes of each descriptor and the write requests. The suite runs it over a
// pairwise cover of the environments, and rows for what the model does not say.
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
#include <sys/fanotify.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::string_literals;
using Words = std::vector<std::string>;

namespace {

// chunkcat's messages and sizes; what follows a prefix is strerror's wording.
const std::string usage = "Program is expecting one argument",
                  closing = "You have reached the end of the line.",
                  open_prefix = "Error opening file\n", read_prefix = "Error reading!",
                  write_prefix = "Error writing!",
                  refusal = open_prefix + ": Input file is output file\n";
constexpr std::size_t chunk = 128, output_block = std::size_t{64} * 1024;
// A run is stopped past either limit; the longest honest one prints 1 MiB in well under a second.
constexpr int time_limit = RUN_SECONDS;
constexpr std::size_t output_limit = std::size_t{4} << 20;

const auto env = [](const char *name) { return std::string(getenv(name) ? getenv(name) : ""); };
// The one built, unless CHUNKCAT names another, relative to where ctest started:
// ctest runs each test in a folder of its own, but leaves PWD as it was.
const std::string under_test =
    env("CHUNKCAT").empty()
        ? CHUNKCAT_PATH
        : std::filesystem::absolute(std::filesystem::path(env("PWD")) / env("CHUNKCAT"));
const unsigned seed =
    env("MODEL_SEED").empty() ? std::random_device{}() : std::stoul(env("MODEL_SEED"));

std::string read_file(const std::string &path)
{
	std::ifstream file(path, std::ios::binary);
	return {std::istreambuf_iterator<char>(file), {}};
}
const auto error = [](const std::string &prefix, int e) {
	return prefix + ": " + strerror(e) + '\n';
};
template <class List = std::initializer_list<std::string_view>>
bool any(std::string_view word, const List &words)
{
	return std::ranges::find(words, word) != std::ranges::end(words);
}

struct Result {
	std::string out, err;
	int status; // exit status, or 128 + the signal that ended the process
	bool operator==(const Result &) const = default;
};
// Sizes, and bytes from a little before the first difference.
void PrintTo(const Result &r, std::ostream *to)
{
	*to << "status " << r.status << ", stderr " << testing::PrintToString(r.err) << ", "
	    << r.out.size() << " bytes of stdout";
}
std::string difference(const std::string &got, const std::string &want)
{
	const auto at = std::size_t(std::ranges::mismatch(got, want).in1 - got.begin()),
	           from = at - std::min<std::size_t>(at, 128);
	return "stdout differs at " + std::to_string(at) + ", shown from " + std::to_string(from) +
	       "\n  got      " + testing::PrintToString(got.substr(from, 384)) + "\n  expected " +
	       testing::PrintToString(want.substr(from, 384));
}

// In a process group of its own, with `in`, `out` and a file for standard error, and the test
// failed past the time limit or the output limit (which RLIMIT_FSIZE sets for files). `in` and
// `out` are closed once it has started. The run ends with the process it starts: what that
// leaves is killed, and a guard kills it all if the test ends first, however it ends.
Result run(Words argv, const std::string &cwd, int in, int out, int drain, auto started)
{
	std::vector<char *> argp(argv.size() + 1); // and a null pointer at the end
	std::ranges::transform(argv, argp.begin(), [](std::string &arg) { return arg.data(); });
	const int err = memfd_create("stderr", MFD_CLOEXEC);
	std::array<int, 2> life{-1, -1}; // the guard's lifeline, whose end the test holds
	(void)pipe2(life.data(), O_CLOEXEC);
	const pid_t pid = fork();
	if (pid == 0) {
		const rlimit fsize{output_limit, output_limit};
		(void)setpgid(0, 0);
		(void)setrlimit(RLIMIT_FSIZE, &fsize);
		if (in >= 0)
			(void)dup2(in, STDIN_FILENO);
		(void)dup2(out, STDOUT_FILENO);
		(void)dup2(err, STDERR_FILENO);
		(void)signal(SIGPIPE, SIG_DFL); // as a shell starts it, whatever ran the tests
		if (chdir(cwd.c_str()) == 0)
			execvp(argp[0], argp.data());
		(void)dprintf(STDERR_FILENO, "cannot run %s: %s\n", argp[0], strerror(errno));
		_exit(127);
	}
	(void)setpgid(pid, pid);
	const pid_t guard = fork();
	if (guard == 0) { // holding no end of the run's streams, which would keep them open
		for (int fd = 3; fd < 1024; ++fd)
			(void)(fd == life[0] || close(fd));
		(void)read(life[0], &life[1], 1);
		(void)kill(-pid, SIGKILL);
		_exit(0);
	}
	for (const int fd : {in, out, life[0]})
		(void)close(fd);
	started(pid);
	const auto child = static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); // readable at its end
	pollfd watch[2] = {{drain, POLLIN, 0}, {child, POLLIN, 0}};
	using namespace std::chrono;
	const auto deadline = steady_clock::now() + seconds(time_limit);
	std::string bytes, stopped;
	while (stopped.empty() && (watch[0].fd != -1 || watch[1].fd != -1)) {
		const auto left = ceil<milliseconds>(deadline - steady_clock::now()).count();
		char buffer[65536];
		ssize_t n = 0;
		if (left <= 0 || poll(watch, 2, int(left)) == 0)
			stopped = "still running after " + std::to_string(time_limit) + " s";
		else if (watch[0].revents != 0 && (n = read(drain, buffer, sizeof buffer)) > 0)
			bytes.append(buffer, std::size_t(n));
		else if (watch[0].revents != 0) // the end, or a terminal's EIO once all closed it
			watch[0].fd = -1;
		if (watch[1].revents != 0) { // what it leaves goes too: a dead strace's tracee
			watch[1].fd = -1;
			(void)kill(-pid, SIGKILL);
		}
		if (bytes.size() > output_limit)
			stopped = "more than " + std::to_string(output_limit) + " bytes of output";
	}
	int status = 0;
	(void)close(life[1]);
	(void)waitpid(guard, nullptr, 0);
	if (!stopped.empty())
		ADD_FAILURE() << argv[0] << " stopped: " << stopped;
	(void)waitpid(pid, &status, 0);
	if (WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ)
		ADD_FAILURE() << argv[0] << " stopped: a file passed the output limit";
	const std::string errors = read_file("/proc/self/fd/" + std::to_string(err));
	for (const int fd : {drain, err, child})
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

// Why the commands before chunkcat do not work here, or empty. They run `true`; stdbuf,
// whose library loads into chunkcat, runs chunkcat with no operand, which is silent there.
std::string lacking(Words prefix, const std::string &program, const std::string &cwd)
{
	const bool itself = std::ranges::count(prefix, "stdbuf") > 0;
	if (prefix.empty())
		return "";
	prefix.push_back(itself ? program : "true");
	const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
	const Result probe = run(prefix, cwd, -1, null, -1, [](pid_t) {});
	if (itself ? probe.err.empty() : probe.status == 0)
		return "";
	const std::string said = probe.err.substr(0, probe.err.find('\n'));
	return "the machine cannot run this test's helpers: " +
	       (said.empty() ? "status " + std::to_string(probe.status) : said);
}

// ---- An environment, in words: each field takes the words of its dimension alone.
struct Env {
	std::string operands = "one", in = "file", size = "300", bytes = "text", out = "pipe",
	            err = "open", fault = "none", at = "first", ignored = "none", stdbuf = "none";
};
// The operand, the path of what it opens (in the test's folder, unless absolute; none where
// strace cannot watch it), or why it cannot be opened.
struct Input {
	std::string operand, path;
	int error = 0;
};
// Standard output as sh redirects it, the file that stands for it, and what it takes before
// it fails, with which error.
struct Output {
	std::string shell, file;
	std::size_t room = SIZE_MAX;
	int error = 0;
};
const std::string n255(255, 'n'), deep = [] { // 4020 bytes of folders
	std::string path;
	for (int i = 0; i < 20; ++i)
		path += std::string(200, 'd') + "/";
	return path;
}();
// clang-format off
const std::vector<std::pair<std::string Env::*, Words>> dimensions = {
    {&Env::operands, {"one", "none", "two", "-- first", "--help, naming nothing"}},
    // What the operand names. Every regular file is f, by one name or another.
    {&Env::in, {"file", "hard link", "file named -", "name of 255", "path of 4095", "/dev/stdin of a file",
      "pipe", "fifo", "/proc file", "/dev/null", "directory", "missing", "empty operand", "name of 256",
      "path of 4096", "socket", "closed stdin"}},
    // At the edges of a chunk, of the output block (the first or the second) that the closing
    // text or the chunks fill or pass, and of 2^31 and 2^32, which are holes.
    {&Env::size, {"0", "1", "128", "129", "300", "random", "closing fills block", "closing passes block",
      "chunks fill block", "chunks pass block", "closing passes block 2", "chunks pass block 2",
      "2^31 - 1", "2^31", "2^32", "2^32 + 1"}},
    {&Env::bytes, {"text", "binary", "control", "no newline"}},
    {&Env::out, {"pipe", "socket", "another file", "file limited to a block", "itself appended",
      "itself read-write", "itself read-only", "itself emptied", "/dev/full", "/dev/null", "terminal",
      "hung-up terminal", "closed", "broken pipe"}},
    {&Env::err, {"open", "closed", "into stdout"}},
    // strace's: a trace alone, or a failure at the `at`-th call on the input's path or
    // standard output's; or a signal, which stops no one, sent while chunkcat waits to read.
    {&Env::fault, {"none", "traced", "read", "read EINTR", "write", "close in", "close out", "open",
      "fstat", "signal"}},
    {&Env::at, {"first", "second", "last"}},
    {&Env::ignored, {"none", "SIGPIPE"}},
    {&Env::stdbuf, {"none", "-oL", "-o0", "-o1000"}}};
const std::map<std::string, Input> inputs = {
    {"file", {"f", "f"}}, {"hard link", {"link", "link"}}, {"file named -", {"-", "-"}},
    {"name of 255", {n255, n255}}, {"path of 4095", {deep + n255.substr(0, 75), ""}},
    {"/dev/stdin of a file", {"/dev/stdin", "f"}}, {"pipe", {"/dev/stdin", "pipe"}},
    {"fifo", {"fifo", "fifo"}}, {"/proc file", {"/proc/filesystems", "/proc/filesystems"}},
    {"/dev/null", {"/dev/null", "/dev/null"}}, {"directory", {".", "."}},
    {"missing", {"missing", "", ENOENT}}, {"empty operand", {"", "", ENOENT}},
    {"name of 256", {n255 + "n", "", ENAMETOOLONG}},
    {"path of 4096", {deep + n255.substr(0, 76), "", ENAMETOOLONG}},
    {"socket", {"/dev/stdin", "", ENXIO}}, {"closed stdin", {"/dev/stdin", "", ENOENT}}};
const std::map<std::string, Output> outputs = {
    {"pipe", {}}, {"socket", {}}, {"another file", {">>g", "g"}},
    {"file limited to a block", {">g", "g", output_block, EFBIG}},
    {"itself appended", {">>f", "f"}}, {"itself read-write", {"1<>f", "f"}},
    {"itself read-only", {"1<f", "f", 0, EBADF}}, {"itself emptied", {">f", "f"}},
    {"/dev/full", {">/dev/full", "/dev/full", 0, ENOSPC}}, {"/dev/null", {">/dev/null", "/dev/null"}},
    {"terminal", {}}, {"hung-up terminal", {"", "", 0, EIO}}, {"closed", {">&-", "", 0, EBADF}},
    {"broken pipe", {"", "", 0, EPIPE}}};
// What strace fails, at the `at`-th call on the input's path or standard output's.
const std::map<std::string, std::string> injections = {
    {"read", "read:error=EIO"}, {"read EINTR", "read:error=EINTR"}, {"write", "write,writev:error=EIO"},
    {"close in", "close:error=EIO"}, {"close out", "close:error=EIO"},
    {"open", "open,openat:error=EMFILE"}, {"fstat", "fstat,fstat64,newfstatat,statx:error=EIO"}};
// The operands but one, and standard error as sh redirects it.
const std::map<std::string, Words> operands = {{"none", {}}, {"two", {"f", "f"}},
    {"-- first", {"--", "f"}}, {"--help, naming nothing", {"--help"}}};
const std::map<std::string, std::string> redirected = {{"open", ""}, {"closed", " 2>&-"}, {"into stdout", " 2>&1"}};
const std::string calls = "trace=read,write,writev,close,open,openat,fstat,fstat64,newfstatat,statx,dup,dup2,dup3";
// clang-format on
const auto nth = [](const Env &e, int last) {
	return e.at == "first" ? 1 : e.at == "second" ? 2 : last;
};
const auto fed = [](const Env &e) { return e.in == "pipe" || e.in == "fifo"; };
const auto traced = [](const Env &e) { return e.fault != "none" && e.fault != "signal"; };
const auto itself = [](const Env &e) {
	return e.out.starts_with("itself") && e.out != "itself emptied";
};
const auto watched_out = [](const Env &e) {
	return !outputs.at(e.out).file.empty() || e.out == "closed";
};
const auto regular = [](const Env &e) {
	return any(e.in, {"file", "hard link", "file named -", "name of 255", "path of 4095",
	                  "/dev/stdin of a file"});
};

// Whether sh and strace can make an environment, and its run ends within the limits: a file
// of 2 GiB is refused, or its output fails early, and takes no message.
bool valid(const Env &e)
{
	const bool huge = e.size.starts_with("2^"),
	           ends_early = outputs.at(e.out).room < output_limit || itself(e) ||
	                        e.out == "itself emptied" || any(e.fault, {"open", "fstat"}) ||
	                        (e.fault.starts_with("read") && e.at != "last");
	if ((e.err == "into stdout" && e.out == "closed") || (e.fault == "signal" && !fed(e)) ||
	    (huge && (!regular(e) || !ends_early || e.operands != "one" || e.err == "into stdout")))
		return false;
	if (e.operands != "one")
		return e.fault == "none" || e.fault == "traced";
	if ((any(e.fault, {"read", "read EINTR", "close in"}) && inputs.at(e.in).path.empty()) ||
	    (any(e.fault, {"write", "close out"}) && outputs.at(e.out).file.empty()))
		return false;
	return e.fault == "open" || e.fault == "fstat" ? e.in == "file"
	                                               : !traced(e) || e.in != "path of 4095";
}

// ---- What a run is made of: the file's first bytes (beyond them, holes) and a pipe's pieces,
// each written once the last was read.
// Of a file of 2 GiB and more, which every run leaves within two blocks, only this is made.
constexpr std::uintmax_t read_at_most = 4 * output_block;
struct Material {
	std::uintmax_t size = 0;
	std::string bytes;
	std::vector<std::size_t> pieces{};
};
const auto block_of = [](const Env &e) { return e.stdbuf == "-o1000" ? 1000 : output_block; };
Material make(const Env &e, std::mt19937 &random)
{
	Material m;
	// The longest file whose chunks (and closing text) fit the block or two, or one byte more.
	const std::size_t end = block_of(e) * (e.size.ends_with(" 2") ? 2 : 1),
	                  tail = e.size.starts_with("closing") ? closing.size() : 0;
	const bool block = e.size.find("block") != e.size.npos;
	while (block && m.size + 1 + (m.size + chunk) / chunk + tail <= end)
		++m.size;
	if (e.size.starts_with("2^")) // 2^31 - 1, 2^31, 2^32, 2^32 + 1
		m.size = (1ULL << std::stoi(e.size.substr(2))) + e.size.ends_with("+ 1") -
		         e.size.ends_with("- 1");
	else if (!block)
		m.size = e.size == "random" ? random() % 4097 : std::stoull(e.size);
	m.size += block && e.size.find("pass") != e.size.npos;
	const std::string control = "\0\r\t\b\x1b\x7f\x04\n"s;
	for (std::size_t line = 0; m.bytes.size() < std::min(m.size, read_at_most);) {
		const auto r = random();
		if (e.bytes == "binary")
			m.bytes += char(r);
		else if (e.bytes == "control")
			m.bytes += r % 2 ? control[r / 2 % control.size()] : char(' ' + r / 2 % 95);
		else if (e.bytes == "text" && line-- == 0)
			m.bytes += '\n', line = r % 300; // lines of every length, empty ones too
		else
			m.bytes += char(' ' + r % 95);
	}
	for (std::size_t left = fed(e) ? m.size : 0, n = 0; left > 0; left -= n)
		m.pieces.push_back(n = std::min<std::size_t>(left, 1 + random() % 300));
	return m;
}

// ---- The model: what chunkcat does, as its manual says, with stdio's buffering: a block
// buffer is written when a record no longer fits; a line buffer's first call writes at each
// newline, later ones up to their last; an unbuffered stream at each call. A failed write
// drops what the buffer held.
struct Expected {
	Result result;
	std::vector<std::size_t> writes{}; // standard output's write requests
	int fd1_closes = 0, in_closes = 0; // of standard output's descriptor, and of the input's
	int requests = 0, when = 1;        // to the paths that strace watches; the call it fails
};
const auto unfaulted = [](Env e) { return e.fault = "traced", e; };

Expected model(const Env &e, const Material &m, const std::string &proc)
{
	Expected x{{"", "", 1}};
	const Output &to = outputs.at(e.out);
	std::size_t room = to.room;
	const int fail_at = e.fault == "write" ? nth(e, model(unfaulted(e), m, proc).requests) : 0;
	x.when = std::max(1, fail_at);
	std::string sink, buffer; // what reached standard output (and error, merged), what waits
	bool killed = false, first = true;
	const auto write = [&](int fd, std::string data) { // stdio's, which writes what is left
		if (fd == 2 && e.err != "into stdout")
			return x.result.err += e.err == "open" && !killed ? data : "",
			       e.err == "open";
		while (!killed && !data.empty()) {
			if (fd == 1)
				x.writes.push_back(data.size());
			if (++x.requests == fail_at)
				return errno = EIO, false;
			killed = room == 0 && to.error == EPIPE && e.ignored != "SIGPIPE";
			if (room == 0)
				return errno = to.error, false;
			const std::size_t n = std::min(room, data.size());
			sink += data.substr(0, n);
			room -= room == SIZE_MAX ? 0 : n;
			data.erase(0, n);
		}
		return !killed;
	};
	const auto perror = [&](const std::string &prefix, int n) { write(2, error(prefix, n)); };
	const bool line = e.stdbuf == "-oL" || (e.stdbuf == "none" && e.out == "terminal");
	const auto flush = [&] { return buffer.empty() || write(1, std::exchange(buffer, "")); };
	const auto put = [&](const std::string &record) {
		if (e.stdbuf == "-o0")
			return write(1, record);
		for (std::size_t at = 0; line && first && at < record.size(); ++at)
			if ((buffer += record[at]).back() == '\n' && !flush())
				return false;
		if (line && std::exchange(first, false))
			return true;
		const std::size_t cut = line ? record.rfind('\n') + 1 : block_of(e) - buffer.size();
		const std::string rest = record.substr(std::min(cut, record.size()));
		buffer += record.substr(0, cut);
		if (line ? cut == 0 : record.size() <= cut)
			return buffer += rest, true;
		return flush() && (buffer = rest, true);
	};
	const auto fail = [&](const std::string &prefix, int n) { // and the file closed
		perror(prefix, n);
		x.in_closes += !killed;
		x.result.status = 255;
	};
	const Input &in = inputs.at(e.in);
	const bool emptied = e.out == "itself emptied" && regular(e);
	const std::string &file = e.in == "/proc file" ? proc : emptied ? "" : m.bytes;
	const std::uintmax_t size = e.in == "/proc file"     ? proc.size()
	                            : regular(e) && !emptied ? m.size
	                                                     : 0;
	if (e.operands != "one" && !e.operands.starts_with("--help")) {
		(void)(put(usage) && put("\n") && flush());
	} else if (e.fault == "open" || e.operands != "one" || in.error != 0) {
		perror(open_prefix, e.fault == "open"     ? EMFILE
		                    : e.operands != "one" ? ENOENT
		                                          : in.error);
	} else if (e.fault == "fstat" || (regular(e) && size > 0 && itself(e))) {
		write(2, e.fault == "fstat" ? error(open_prefix, EIO) : refusal);
		x.in_closes += !killed;
	} else {
		// A file's chunks, or each piece of a pipe in chunks; then the end, or a failed
		// read: a directory's first, or the one that strace fails, if chunkcat makes it.
		std::vector<std::string> chunks;
		for (std::uintmax_t at = 0; at < size && at < read_at_most; at += chunk) {
			const auto n = std::size_t(std::min<std::uintmax_t>(chunk, size - at));
			chunks.push_back(at < file.size() ? file.substr(at, n) : "");
			chunks.back().resize(n, '\0');
		}
		for (std::size_t at = 0; const std::size_t piece : m.pieces)
			for (const std::size_t end = at + piece; at < end;
			     at += std::min(chunk, end - at))
				chunks.push_back(file.substr(at, std::min(chunk, end - at)));
		const int reads = int(chunks.size()) + 1,
		          k = e.fault.starts_with("read") ? nth(e, reads) : 0,
		          failing = k != 0 && k <= reads ? k : e.in == "directory";
		x.when = std::max(x.when, k);
		bool written = true;
		for (int r = 1; written && r < reads && r != failing; ++r)
			written = put(chunks[std::size_t(r) - 1] + "\n");
		if (!written || (failing == 0 && !put(closing))) {
			fail(write_prefix, errno);
		} else if (failing != 0) {
			if (!flush())
				perror(write_prefix, errno);
			fail(read_prefix, failing != k ? EISDIR : e.fault == "read" ? EIO : EINTR);
		} else { // fclose, whose failed close is a failed write too
			x.in_closes += e.out != "closed";
			const bool flushed = flush(),
			           closed = e.fault == "close out" ||
			                    (e.fault == "close in" && e.out == "closed");
			const int n = closed ? EIO : errno;
			(e.out == "closed" ? x.in_closes : x.fd1_closes) += !killed;
			x.result.status = flushed && !closed ? 0 : 255;
			if (x.result.status == 255)
				perror(write_prefix, n);
			buffer.clear();
		}
	}
	(void)flush(); // at exit
	x.result.status = killed ? 128 + SIGPIPE : x.result.status;
	// What standard output got, as the harness finds it: a file of 4 MiB and more by its size.
	const auto big = [](const std::string &bytes, std::uintmax_t n) {
		return n > output_limit ? std::to_string(n) + " bytes" : bytes;
	};
	const std::string after = m.bytes.substr(std::min(sink.size(), m.bytes.size()));
	const std::map<std::string, std::string> seen_as = {
	    {"another file", "old\n" + sink},
	    {"itself appended", big(m.bytes + sink, m.size + sink.size())},
	    {"itself read-only", big(m.bytes, m.size)},
	    {"itself read-write", big(sink + after, std::max<std::uintmax_t>(sink.size(), m.size))},
	    {"pipe", sink},
	    {"socket", sink},
	    {"file limited to a block", sink},
	    {"itself emptied", sink}};
	x.result.out = seen_as.contains(e.out) ? seen_as.at(e.out) : "";
	for (const char c : e.out == "terminal" ? sink : "")
		x.result.out += c == '\n' ? "\r\n" : std::string(1, c);
	return x;
}

// ---- A pairwise cover: every two words of two dimensions, where both change anything, in some
// environment that can be made. Fixed, so that every process lists the same tests.
std::vector<Env> cover()
{
	std::mt19937 random(1);
	std::vector<std::size_t> first{0}; // the words of all dimensions, numbered in a row
	for (const auto &[field, words] : dimensions)
		first.push_back(first.back() + words.size());
	const std::size_t n = first.back();
	using Numbers = std::array<std::size_t, 10>; // of an environment's words
	// The environment of numbered words, with a and b put in, and whether both matter there,
	// as the words in `of` do: a failed open writes to standard error alone; the usage is one
	// text on standard output.
	Env e;
	std::vector<std::size_t> of;
	const auto holds = [&](Numbers w, std::size_t a, std::size_t b) {
		for (const std::size_t v : {a, b})
			w[std::size_t(std::ranges::upper_bound(first, v) - first.begin()) - 1] = v;
		for (std::size_t d = 0; d < w.size(); ++d)
			e.*dimensions[d].first = dimensions[d].second[w[d] - first[d]];
		const bool one = e.operands == "one", opens = one && inputs.at(e.in).error == 0,
		           usage = !one && !e.operands.starts_with("--help"),
		           sized = opens && (regular(e) || fed(e)), shown = opens || usage;
		const bool matters[] = {
		    true,  one,    sized, sized && e.size != "0",
		    shown, !usage, one,   opens && any(e.fault, {"read", "read EINTR", "write"}),
		    shown, shown};
		of.clear();
		for (std::size_t d = 0; d < w.size(); ++d)
			if (matters[d])
				of.push_back(w[d]);
		return std::ranges::count(of, a) && std::ranges::count(of, b);
	};
	// The pairs to cover: those that matter together beside a read fault, where most matter.
	Numbers base;
	std::copy_n(first.begin(), base.size(), base.begin());
	base[6] += 2;
	std::vector<char> open(n * n, 0);
	for (std::size_t a = 0; a < n; ++a)
		for (std::size_t b = a + 1; b < n; ++b)
			open[a * n + b] = holds(base, a, b);
	// For each pair still open, of some environments that hold it, the one that covers most.
	std::vector<Env> cases;
	for (std::size_t pair = 0; pair < n * n; ++pair) {
		int best_gain = -1;
		std::vector<std::size_t> best_of;
		Env best;
		for (int tries = 0, found = 0; open[pair] && tries < 400 && found < 30; ++tries) {
			Numbers w; // the first word of each dimension, the cheapest, most often
			for (std::size_t d = 0; d < w.size(); ++d)
				w[d] = first[d] +
				       (random() % 2 ? 0 : random() % (first[d + 1] - first[d]));
			if (!holds(w, pair / n, pair % n) || !valid(e))
				continue;
			int gain = 0;
			++found;
			for (const std::size_t a : of)
				for (const std::size_t b : of)
					gain += open[a * n + b];
			if (gain > best_gain)
				best_gain = gain, best_of = of, best = e;
		}
		for (const std::size_t a : best_of)
			for (const std::size_t b : best_of)
				open[a * n + b] = 0;
		if (best_gain >= 0)
			cases.push_back(best);
	}
	return cases;
}

// ---- The rows: what the model does not say, each with what it wants, or else the model's.
struct Row {
	Env env{};
	std::string shell{}; // a script around "$@", as sh takes it, for the env's streams
	Words prefix{};      // commands that run chunkcat, after the env's
	std::string into{};  // the file that stands for standard output, with `shell`
	std::string how{};   // "cover", "growing", "stalled pipe"
	int mode = -1;       // f's, as a user that does not own it: what it holds, or EACCES
	std::array<const char *, 2> needs{}; // a file of the machine's, and its Debian package
	std::optional<Result> want{};
};
std::string chunked(const std::string &file)
{
	std::string out;
	for (std::size_t at = 0; at < file.size(); at += chunk)
		out += file.substr(at, chunk) + '\n';
	return out + closing;
}
const std::string b128(chunk, 'b'), c44(44, 'c'), file300 = std::string(256, 'a') + c44;
const Result refused{file300, refusal, 1}, printed{chunked(file300), "", 0};
// f, in a new file system, into g in another, each the first file there: the two share an
// inode number. $1 orders their device numbers.
const std::string two_file_systems =
    "mkdir -p a b && mount -t tmpfs a a && mount -t tmpfs b b && i=a o=b && "
    "{ [ $(stat -c %d a) $1 $(stat -c %d b) ] || i=b o=a; } && cp f $i && shift && "
    "(cd $i && exec \"$@\" >../$o/g); s=$? && cat $o/g && exit $s";
// clang-format off
const std::map<std::string, Row> rows = {
    // The size tells nothing: f grows by b128 after its first read.
    {"growing", {.env = {.size = "0"}, .how = "growing", .want = Result{c44 + "\n" + b128 + "\n" + closing, "", 0}}},
    {"same_inode_output_device_higher", {.prefix = {"unshare", "-rm", "sh", "-c", two_file_systems, "sh", "-lt"}, .want = printed}},
    {"same_inode_output_device_lower", {.prefix = {"unshare", "-rm", "sh", "-c", two_file_systems, "sh", "-gt"}, .want = printed}},
    // Standard output is compared as descriptor 1, not as /dev/stdout, which a chroot may lack.
    {"refused_without_dev_stdout", {.env = {.out = "itself appended"},
     .prefix = {"unshare", "-rm", "sh", "-c", "mount -t tmpfs none /dev && exec \"$@\"", "sh"}}},
    {"appended_to_itself_at_its_end", {.shell = "{ echo x; exec \"$@\"; } >>f", .into = "f",
     .want = Result{file300 + "x\n", refused.err, 1}}},
    // The open takes the number of a closed standard stream.
    {"appended_to_itself_stdin_closed", {.shell = "exec \"$@\" <&- >>f", .into = "f", .want = refused}},
    {"stdin_and_stdout_closed", {.shell = "exec \"$@\" <&- >&-", .want = Result{"", error(write_prefix, EBADF), 255}}},
    {"into_a_file_numbered_lower", {.shell = "exec \"$@\" >lower", .into = "lower", .want = printed}},
    {"directory_as_stdout_too", {.env = {.in = "directory"}, .shell = "exec \"$@\" 1<.",
     .want = Result{"", error(read_prefix, EISDIR), 255}}},
    {"pipe_never_drained", {.env = {.size = "chunks pass block 2"}, .how = "stalled pipe",
     .want = Result{"", error(write_prefix, EAGAIN), 255}}},
    // Words that the cover may not bring together.
    {"terminal_written_by_line", {.env = {.out = "terminal", .fault = "traced"}}},
    {"sigpipe_ignored_past_the_block", {.env = {.size = "chunks pass block", .out = "broken pipe", .ignored = "SIGPIPE"}}},
    {"read_fails_last_into_merged_stderr", {.env = {.err = "into stdout", .fault = "read", .at = "last"}}},
    {"read_fails_last_into_full_device", {.env = {.out = "/dev/full", .fault = "read", .at = "last"}}},
    // The descriptions are the default locale's, whatever the environment says.
    {"no_locale", {.env = {.in = "missing"}, .prefix = {"env", "LANG=C.UTF-8", "LANGUAGE=de"},
     .needs = {"/usr/share/locale/de/LC_MESSAGES/libc.mo", "libc-l10n"}}},
    {"theirs_readable_by_all", {.mode = 0644}},
    {"theirs_readable_by_group", {.mode = 0640}},
    {"unreadable", {.mode = 0}},
};
// clang-format on
// The rows, each a test, then the cover's environments, a test for each input (with stdbuf or
// without) and at most 24 of them. The suite refuses to start on a word that no dimension has,
// or on fields that contradict.
const std::vector<std::pair<std::string, std::vector<Row>>> table = [] {
	std::vector<std::pair<std::string, std::vector<Row>>> all;
	for (const auto &[name, row] : rows) {
		for (const auto &[field, words] : dimensions)
			if (!any(row.env.*field, words))
				throw std::logic_error(name + ": no dimension has " +
				                       row.env.*field);
		if (!any(row.how, {"", "growing", "stalled pipe"}) ||
		    row.shell.empty() > row.into.empty() || (row.mode >= 0 && row.want) ||
		    (!row.shell.empty() && (row.env.out != "pipe" || row.env.err != "open")))
			throw std::logic_error(name + ": fields that contradict each other");
		all.push_back({name, {row}});
	}
	std::map<std::string, std::vector<Row>> groups;
	std::map<std::string, int> counts;
	for (const Env &e : cover()) {
		std::string name = "cover_" + e.in + (e.stdbuf == "none" ? "" : "_stdbuf");
		name += "_" + std::to_string(counts[name]++ / 24);
		std::ranges::replace_if(
		    name, [](unsigned char c) { return !std::isalnum(c); }, '_');
		groups[name].push_back({.env = e, .how = "cover"});
	}
	all.insert(all.end(), groups.begin(), groups.end());
	return all;
}();
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
const auto fd_path = [](int fd) {
	std::error_code error;
	return std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), error).string();
};

// What strace saw: standard output's write requests, and the closes of descriptor 1 and of
// the input's, which its first read or fstat shows. One closed again shows without a path;
// perror's copy of standard error may take either number, and ends what it stood for.
Expected seen(const std::string &trace, const std::string &in, const std::string &out)
{
	Expected x;
	int in_fd = -1;
	bool stdout_open = true;
	for (std::size_t at = 0, next; (next = trace.find('\n', at)) != trace.npos; at = next + 1) {
		const std::string l = trace.substr(at, next - at);
		const std::size_t call = l.find('('), end = l.rfind(')', l.rfind(" = "));
		if (!std::isdigit(static_cast<unsigned char>(l[call + 1])))
			continue;
		const std::string name = l.substr(0, call), path = l.substr(l.find('<') + 1);
		const int fd = std::stoi(l.substr(call + 1));
		const bool bare = l.find('<') > l.find(')'),
		           ours = !bare && path.starts_with(in + ">"),
		           theirs = bare || path.starts_with(out + ">");
		in_fd = in_fd == -1 && ours && name != "close" && name != "write" ? fd : in_fd;
		if (name.starts_with("dup") &&
		    l.find(" = " + std::to_string(in_fd) + "<", end) != l.npos)
			in_fd = -2;
		stdout_open =
		    stdout_open && !(name.starts_with("dup") && l.find(" = 1<", end) != l.npos);
		if (name == "write" && fd == 1 && stdout_open && theirs)
			x.writes.push_back(std::stoul(l.substr(l.rfind(", ", end) + 2)));
		x.in_closes += name == "close" && fd == in_fd && (bare || ours);
		x.fd1_closes += name == "close" && fd == 1 && in_fd != 1 && stdout_open && theirs;
	}
	return x;
}

// The harness's side of a run. For `growing`, it answers fanotify's event for each read of f,
// having grown f before the second; for a pipe or a fifo, it writes the pieces, each once the
// last was read, after a signal that stops no one has reached chunkcat waiting in a read.
void feed(const Env &e, const Material &m, int w, pid_t pid, int watch, const std::string &dir,
          const std::string &waiting)
{
	const int child = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
	pollfd events[2] = {{watch, POLLIN, 0}, {child, POLLIN, 0}};
	fanotify_event_metadata event{};
	for (int reads = 0; watch != -1 && poll(events, 2, time_limit * 1000) > 0 &&
	                    events[1].revents == 0 && read(watch, &event, sizeof event) > 0;) {
		if (++reads == 2)
			std::ofstream(dir + "/f", std::ios::app) << b128;
		const fanotify_response allow{event.fd, FAN_ALLOW};
		(void)write(watch, &allow, sizeof allow);
		(void)close(event.fd);
	}
	(void)close(child);
	if (e.in == "fifo" && e.operands == "one")
		w = open((dir + "/fifo").c_str(), O_WRONLY | O_CLOEXEC);
	(void)fcntl(w, F_SETPIPE_SZ, 1); // one page: it polls writable only when empty
	// The signal once chunkcat waits in its read, then no data until chunkcat has taken it, if
	// it has a handler: a read that data or the end has ended is not interrupted. Its state is
	// looked at again each millisecond.
	const std::string proc = "/proc/" + std::to_string(pid);
	const auto pending = [&] {
		const std::string s = read_file(proc + "/status");
		const std::size_t shared = s.find("ShdPnd:"), own = s.find("SigPnd:");
		return shared != s.npos && own != s.npos &&
		       ((std::stoull(s.substr(shared + 7), nullptr, 16) |
		         std::stoull(s.substr(own + 7), nullptr, 16)) >>
		            (SIGWINCH - 1) &
		        1);
	};
	for (std::string stat; e.fault == "signal" && kill(pid, 0) == 0 &&
	                       (stat = read_file(proc + "/stat")).find(waiting) == stat.npos;)
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	(void)kill(pid, e.fault == "signal" ? SIGWINCH : 0);
	while (e.fault == "signal" && pending())
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	pollfd empty{w, POLLOUT, 0};
	for (std::size_t at = 0; const std::size_t n : m.pieces)
		if (write(w, &m.bytes[at], n) != ssize_t(n) ||
		    poll(&empty, 1, time_limit * 1000) != 1 || (empty.revents & POLLERR) ||
		    (at += n, false))
			break;
	(void)close(w);
}

struct Folder { // for a run, removed with all it holds
	std::string path = std::filesystem::temp_directory_path() / "chunkcat.XXXXXX";
	~Folder() { std::filesystem::remove_all(path); }
};
void create(const std::string &path, const std::string &bytes)
{
	if (!(std::ofstream(path, std::ios::binary) << bytes << std::flush))
		throw std::runtime_error("cannot write " + path);
}

void check(const Row &r)
{
	const Env &e = r.env;
	std::string describe = "MODEL_SEED=" + std::to_string(seed);
	for (const auto &[field, words] : dimensions)
		describe += ", " + e.*field;
	SCOPED_TRACE(describe);
	Folder folder;
	ASSERT_NE(mkdtemp(folder.path.data()), nullptr) << strerror(errno);
	const std::string dir = std::filesystem::canonical(folder.path), f = dir + "/f";
	std::mt19937 random(seed);
	const Material m =
	    r.how == "cover" || e.size != "300" ? make(e, random) : Material{300, file300};
	// lower, f and g, numbered in this order whatever the file system gives.
	std::map<ino_t, std::string> made;
	for (struct stat s = {}; const char *name : {"0", "1", "2"})
		if ((create(dir + "/" + name, ""), stat((dir + "/" + name).c_str(), &s)) == 0)
			made[s.st_ino] = name;
	ASSERT_EQ(made.size(), 3U);
	for (auto at = made.begin(); const char *name : {"lower", "f", "g"})
		std::filesystem::rename(dir + "/" + at++->second, dir + "/" + name);
	const Input &in = inputs.at(e.in);
	const Output &to = outputs.at(e.out);
	// strace matches the open's path as chunkcat passes it: a whole one for its faults (not for
	// the rows, whose scripts may run chunkcat elsewhere).
	const bool faulty = injections.contains(e.fault);
	Words args = e.operands == "one" ? Words{e.in == "file" && faulty ? f : in.operand}
	                                 : operands.at(e.operands);
	const std::string exec = "exec \"$@\"" + (e.in == "closed stdin" ? " <&- "s : " ") +
	                         to.shell + redirected.at(e.err);
	// f's other names (a path of 4095 bytes only from the test's folder), then the run.
	const std::string names =
	    "ln f link && ln f - && ln f " + n255 + " && echo old >g && echo old >lower && " +
	    (e.in.starts_with("path of")
	         ? "mkdir -p " + deep + " && ln f " + deep + n255.substr(0, 75) + " && "
	         : "");
	Words prefix = {"sh", "-c", names + (r.shell.empty() ? exec : r.shell), "sh"};
	if (e.in == "/dev/stdin of a file")
		prefix[2] = names + "{ head -c 1 >/dev/null; " + exec + "; } <f";
	// The streams: {the child's end, the harness's} of the input, {the harness's, the child's}
	// of the output, which the harness drains unless no one is ever to read it.
	std::array<int, 2> input{-1, -1}, output{-1, -1};
	const auto socket = [](std::array<int, 2> &ends) {
		return socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends.data()) == 0;
	};
	ASSERT_TRUE((e.in != "socket" || socket(input)) && (e.out != "socket" || socket(output)));
	ASSERT_TRUE(e.in != "pipe" || pipe2(input.data(), O_CLOEXEC) == 0);
	if (e.out.ends_with("terminal") && (output[0] = posix_openpt(O_RDWR | O_NOCTTY)) != -1 &&
	    grantpt(output[0]) == 0 && unlockpt(output[0]) == 0)
		output[1] = open(ptsname(output[0]), O_RDWR | O_NOCTTY | O_CLOEXEC);
	if (e.out.ends_with("terminal") && output[1] == -1)
		SKIP_IF_LACKING("no pseudo-terminal: "s + strerror(errno));
	const bool stalled = r.how == "stalled pipe";
	ASSERT_TRUE(output[0] != -1 ||
	            pipe2(output.data(), O_CLOEXEC | (stalled ? O_NONBLOCK : 0)) == 0);
	const auto in_dir = [&](const std::string &p) {
		return p.empty() || p[0] == '/' ? p : dir + "/" + p;
	};
	const std::string in_path =
	    in.path == "pipe" ? fd_path(input[1]) : in_dir(in.path == "." ? dir : in.path);
	const std::string out_path = e.out == "closed" ? in_path
	                             : to.file.empty() ? fd_path(output[1])
	                                               : in_dir(to.file);
	const std::string proc = read_file("/proc/filesystems");
	const Expected x = model(e, m, proc);
	const int when = e.fault == "close out" && !in_path.empty() ? 2 : x.when;
	// With a fault, strace watches the input's path and standard output's, and makes every
	// other close there do nothing, so that a second one shows with its path.
	Words tracer = {"strace", "-qq", "-y", "-o", dir + "/trace", "-e", calls};
	for (const std::string &path : {in_path, watched_out(e) ? out_path : ""})
		if (faulty && !path.empty())
			tracer.insert(tracer.end(), {"-P", path});
	if (faulty)
		tracer.insert(tracer.end(), {"-e", "inject=" + injections.at(e.fault) +
		                                       ":when=" + std::to_string(when)});
	if (faulty && !e.fault.starts_with("close"))
		tracer.insert(tracer.end(), {"-e", "inject=close:retval=0"});
	if (!traced(e))
		tracer.clear();
	// The helpers that load into chunkcat are probed alone: sh's redirections may hide what
	// they say, and strace's failure shows as an empty trace.
	// The ASan runtime's leak check is off under a tracer, where it cannot work, and for the
	// buffer of a size that stdbuf's library allocates and never frees.
	const Words leaks_off = {"env", "ASAN_OPTIONS=" + env("ASAN_OPTIONS") + ":detect_leaks=0"};
	Words probe = e.stdbuf == "-o1000" ? leaks_off : Words{};
	if (e.stdbuf != "none")
		probe.insert(probe.end(), {"stdbuf", e.stdbuf});
	probe.insert(probe.end(), r.prefix.begin(), r.prefix.end());
	const Words ignored = {"env", "--ignore-signal=PIPE"},
	            limited = {"env", "--ignore-signal=XFSZ", "prlimit",
	                       "--fsize=" + std::to_string(output_block)};
	for (const Words &w :
	     {traced(e) ? leaks_off : Words{}, tracer, e.ignored == "SIGPIPE" ? ignored : Words{},
	      e.out == "file limited to a block" ? limited : Words{}, probe})
		prefix.insert(prefix.end(), w.begin(), w.end());
	if (r.needs[0] != nullptr && !std::filesystem::exists(r.needs[0]))
		SKIP_IF_LACKING(r.needs[0] + " is missing (Debian: "s + r.needs[1] + ")");
	if (e.in == "/proc file" && proc.empty())
		SKIP_IF_LACKING("/proc/filesystems is empty or missing: /proc is not mounted");
	std::optional<Result> want = r.want;
	std::string program = under_test;
	if (r.mode > 0 && geteuid() != 0) {
		args = {theirs(r.mode)};
		SKIP_IF_LACKING(args[0].empty() ? "/etc holds no such file of another user's" : "");
	}
	if (r.mode >= 0)
		want = r.mode == 0
		           ? Result{"", error(open_prefix, EACCES), 1}
		           : Result{chunked(geteuid() == 0 ? m.bytes : read_file(args[0])), "", 0};
	// root reads any file: nobody, in the file's group (below), runs a copy it can reach.
	if (r.mode >= 0 && geteuid() == 0) {
		if (struct statvfs v = {}; statvfs(dir.c_str(), &v) == 0 && (v.f_flag & ST_NOEXEC))
			SKIP_IF_LACKING(dir + " is mounted noexec: no copy of chunkcat runs there");
		ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
		std::filesystem::copy_file(under_test, program = dir + "/chunkcat");
		// A coverage build's counts go to a folder that uid 65534 may write.
		std::filesystem::create_directory(dir + "/counts");
		std::filesystem::permissions(dir + "/counts", std::filesystem::perms::all);
		prefix = {"setpriv",        "--reuid=65534", "--regid=65534",
		          "--clear-groups", "env",           "GCOV_PREFIX=" + dir + "/counts"};
		probe = prefix;
	}
	SKIP_IF_LACKING(lacking(probe, program, dir));
	// fanotify holds each read of f until the harness answers.
	const int watch =
	    r.how == "growing" ? fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY) : -1;
	if (r.how == "growing" && watch == -1)
		SKIP_IF_LACKING("fanotify's permission events: "s + strerror(errno));
	// The files get their bytes once the helpers' probe, which may write, has run.
	create(f, r.how == "growing" ? c44 : m.bytes);
	if (m.size > m.bytes.size())
		std::filesystem::resize_file(f, m.size);
	ASSERT_TRUE(e.in != "fifo" || mkfifo((dir + "/fifo").c_str(), 0600) == 0);
	ASSERT_TRUE(r.mode < 0 || chmod(f.c_str(), mode_t(r.mode)) == 0);
	// Once setpriv has shown that the machine has group 65534.
	ASSERT_TRUE(r.mode < 0 || geteuid() != 0 || chown(f.c_str(), 0, 65534) == 0);
	ASSERT_TRUE(watch == -1 ||
	            fanotify_mark(watch, FAN_MARK_ADD, FAN_ACCESS_PERM, AT_FDCWD, f.c_str()) == 0);
	if (e.out == "hung-up terminal" || e.out == "broken pipe")
		(void)close(std::exchange(output[0], -1)); // no reader, ever
	const std::string waiting =
	    "(" + std::filesystem::path(program).filename().string().substr(0, 15) + ") S ";
	std::thread harness;
	prefix.push_back(program);
	prefix.insert(prefix.end(), args.begin(), args.end());
	Result result =
	    run(prefix, dir, input[0], output[1], stalled ? -1 : output[0], [&](pid_t pid) {
		    harness =
		        std::thread([&, pid] { feed(e, m, input[1], pid, watch, dir, waiting); });
	    });
	if (e.in == "fifo") // a writer still waiting for chunkcat to open the fifo
		(void)close(open((dir + "/fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
	harness.join();
	for (const int fd : {watch, stalled ? output[0] : -1})
		(void)close(fd);
	if (const std::string into = r.into.empty() ? out_path : dir + "/" + r.into;
	    !r.into.empty() || (!to.file.empty() && !to.file.starts_with("/dev/"))) {
		const auto n = std::filesystem::file_size(into);
		result.out = n > output_limit ? std::to_string(n) + " bytes" : read_file(into);
	}
	const std::string trace = read_file(dir + "/trace");
	// Nothing on the paths strace watches, or strace cannot trace here.
	if (traced(e) && trace.empty())
		SKIP_IF_LACKING(lacking(tracer, program, dir));
	want = want.value_or(x.result);
	EXPECT_EQ(result, want) << (result.out == want->out ? ""
	                                                    : difference(result.out, want->out));
	if (!traced(e))
		return;
	const Expected got = seen(trace, in_path, out_path);
	EXPECT_EQ(got.in_closes, x.in_closes) << "closes of the input";
	// With a fault, strace sees only the paths it watches: no pipe, socket or terminal.
	if (!faulty || watched_out(e)) {
		EXPECT_EQ(got.writes, x.writes) << "write requests";
		EXPECT_EQ(got.fd1_closes, x.fd1_closes) << "closes of stdout";
	}
}

class Suite : public testing::TestWithParam<std::size_t> {};
TEST_P(Suite, Run)
{
	ASSERT_TRUE(access(under_test.c_str(), X_OK) == 0 &&
	            std::filesystem::is_regular_file(under_test))
	    << under_test << " is not an executable file";
	(void)signal(SIGPIPE, SIG_IGN); // a feeder's write fails once chunkcat has left
	// A test ends at its first failure: a hang waits out one run, not every one.
	for (const Row &row : table[GetParam()].second)
		if (check(row), HasFailure())
			return;
}
INSTANTIATE_TEST_SUITE_P(Table, Suite, testing::Range(std::size_t{0}, table.size()),
                         [](const auto &info) { return table[info.param].first; });

} // namespace
