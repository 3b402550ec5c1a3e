// Black-box tests: exact standard output, standard error and exit status.
// Most cases are rows of one table; what needs code of its own follows it.
#include "harness.hpp"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <termios.h>

#include <map>
#include <random>
#include <thread>

using namespace harness;
using namespace std::string_literals;
using testing::PrintToString;

namespace {

const std::string a128(chunk, 'a'), b128(chunk, 'b'), c44(44, 'c'), hello = "hello\n";
const std::string file300 = a128 + a128 + c44, two_chunks = a128 + "\n" + a128 + "\n";
const std::string eio = error(read_prefix, strerror(EIO));
const auto printed = [](const std::string &chunks) { return Result{chunks + closing, "", 0}; };
const auto opening = [](int code) { return Result{"", error(open_prefix, strerror(code)), 1}; };
const auto reading = [](int code) { return Result{"", error(read_prefix, strerror(code)), 255}; };
const auto writing = [](int code, const std::string &out = "") {
	return Result{out, error(write_prefix, strerror(code)), 255};
};
const auto refusal = [](const std::string &out) {
	return Result{out, error(open_prefix, same_file), 1};
};
const Result hello_out = printed(hello + "\n"), refused = refusal(hello);

struct Row {
	std::string name;
	std::string file = file300; // the bytes of `path`, in the folder the run starts in
	std::uintmax_t size = 0;    // when larger, `path` is extended to it with a hole
	std::vector<std::string> args{"f"};
	// `link` is a hard link of it; `g` and `lower`, "old\n", are numbered above and below it.
	const char *path = "f";
	std::string shell{}; // redirections, as sh takes them, or all it does around "$@"
	// Made here: "socket in"; "pipe in", each piece once the one before was read;
	// "pipe in, pipe out" or "..., terminal out", each once its chunks came out,
	// "..., hanging up" after the first; "socket out"; "broken pipe out";
	// "stalled pipe out", never read; "growing": f grows by b128 once read.
	std::string stream{};
	// A failure that strace injects ("read:when=3:error=EIO") on f and g alone,
	// whatever the loader and the C library do.
	const char *fault = nullptr;
	std::vector<std::string> prefix{}; // a command that runs chunkcat
	// Run by a user that does not own the file, of this mode: as root, nobody,
	// in the file's group; else the user, on a file of /etc.
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
	    " && shift && \"$@\" $i/f >$o/g; s=$? && cat $o/g && exit $s";
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
const Result mib_out = printed(chunked(mib, "")), kib128_out = printed(chunked(kib128, ""));
const std::vector<std::string> in_stdin{"/dev/stdin"};

// Rows made by rule. Holes appended to themselves, at sizes that an int makes
// negative, 0 or small. A failed write, wherever it falls: in a chunk, the last
// or one before, in the closing text, or in the final flush. So, around each of
// the first block ends, files at both sides of the two edges: where the output,
// with the closing text, then without, first passes it. The first block goes
// to /dev/full; a later one passes the file size limit.
std::vector<Row> by_rule(std::vector<Row> rows)
{
	for (const std::uintmax_t size : {2 * gib - 1, 2 * gib, 4 * gib - 1, 4 * gib, 4 * gib + 1})
		rows.push_back({.name = "holes_appended_" + std::to_string(size),
		                .file = "",
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
		const std::size_t end = written + output_block,
		                  closing_past = first_past(end, closing.size()),
		                  chunk_past = first_past(end, 0);
		for (const std::size_t size : {closing_past - 1, closing_past, chunk_past - 1,
		                               chunk_past, chunk_past + chunk})
			rows.push_back({.name = "write_fails_" + std::to_string(size),
			                .file = z(size),
			                .shell = written == 0 ? ">/dev/full" : ">g",
			                .prefix = written == 0 ? std::vector<std::string>{}
			                                       : size_limit(written),
			                .want = writing(written == 0 ? ENOSPC : EFBIG,
			                                chunked(z(size)).substr(0, written))});
	}
	return rows;
}

// clang-format off
const std::vector<Row> rows = by_rule({
    // A newline after every 128 bytes, then the closing text.
    {.name = "empty", .file = "", .want = printed("")},
    {.name = "one_line", .file = hello, .want = hello_out},
    {.name = "exactly_128", .file = a128, .want = printed(a128 + "\n")},
    {.name = "129", .file = a128 + "b", .want = printed(a128 + "\nb\n")},
    {.name = "300", .file = a128 + b128 + c44, .want = printed(a128 + '\n' + b128 + '\n' + c44 + '\n')},
    {.name = "nul_inside", .file = "ab\0cd\n"s, .want = printed("ab\0cd\n\n"s)},
    {.name = "nul_starts_chunk", .file = a128 + "\0z"s, .want = printed(a128 + "\n\0z\n"s)},
    {.name = "dash_names_a_file", .file = "-\n", .args = {"-"}, .path = "-", .want = printed("-\n\n")},
    {.name = "help_names_a_file", .file = "--help\n", .args = {"--help"}, .path = "--help",
     .want = printed("--help\n\n")},
    // Files whose size tells nothing: /proc's say 0; one grows after a read.
    {.name = "proc_file", .args = {"/proc/filesystems"},
     .want = printed(chunked(read_file("/proc/filesystems"), ""))},
    {.name = "growing", .file = c44, .stream = "growing", .fault = "read:when=1:delay_exit=500000",
     .want = printed(c44 + "\n" + b128 + "\n")},
    // Usage and open failures: status 1, nothing printed.
    {.name = "no_operand", .args = {}, .want = {usage, "", 1}},
    {.name = "two_operands", .args = {"f", "f"}, .want = {usage, "", 1}},
    {.name = "missing", .args = {"missing"}, .want = opening(ENOENT)},
    {.name = "empty_operand", .args = {""}, .want = opening(ENOENT)},
    {.name = "dash_is_a_path", .args = {"-"}, .want = opening(ENOENT)},
    {.name = "help_is_a_path", .args = {"--help"}, .want = opening(ENOENT)},
    {.name = "name_too_long", .args = {z(5000)}, .want = opening(ENAMETOOLONG)},
    {.name = "too_many_files", .fault = "open,openat:when=1:error=EMFILE", .want = opening(EMFILE)},
    {.name = "fstat_fails", .fault = "fstat,fstat64,newfstatat,statx:when=1:error=EIO",
     .want = opening(EIO)},
    {.name = "unreadable", .mode = 0, .want = opening(EACCES)},
    // The descriptions are the default locale's, whatever the environment says.
    {.name = "no_locale", .args = {"missing"}, .prefix = {"env", "LANG=C.UTF-8", "LANGUAGE=de"},
     .needs = {"/usr/share/locale/de/LC_MESSAGES/libc.mo", "libc-l10n"}, .want = opening(ENOENT)},
    // /dev/stdin is opened anew: from the file's start, and not for a socket.
    {.name = "stdin_opened_anew", .file = "one\ntwo\n", .args = in_stdin,
     .shell = "{ read -r l; exec \"$@\"; } <f", .want = printed("one\ntwo\n\n")},
    {.name = "stdin_a_socket", .args = in_stdin, .stream = "socket in", .want = opening(ENXIO)},
    // Read failures: status 255; what was read before stays printed.
    {.name = "directory", .args = {"."}, .want = reading(EISDIR)},
    {.name = "directory_as_stdout_too", .args = {"."}, .shell = "1<.", .want = reading(EISDIR)},
    {.name = "directory_into_null_device", .args = {"."}, .shell = ">/dev/null", .want = reading(EISDIR)},
    {.name = "read_fails_first", .fault = "read:when=1:error=EIO", .want = reading(EIO)},
    {.name = "read_interrupted", .fault = "read:when=1:error=EINTR", .want = reading(EINTR)},
    {.name = "read_fails_third", .fault = "read:when=3:error=EIO", .want = {two_chunks, eio, 255}},
    {.name = "read_fails_third_one_stream", .shell = "2>&1", .fault = "read:when=3:error=EIO",
     .want = {two_chunks + eio, "", 255}},
    // Write failures: status 255 at once, wherever the failure falls (see by_rule).
    {.name = "read_fails_and_disk_full", .shell = ">/dev/full", .fault = "read:when=3:error=EIO",
     .want = {"", error(write_prefix, strerror(ENOSPC)) + eio, 255}},
    // The open takes standard output's number.
    {.name = "stdout_closed", .shell = ">&-", .prefix = traced({"-Z", "-e", "trace=close"}),
     .want = writing(EBADF)},
    {.name = "pipe_closed", .stream = "broken pipe out", .want = {"", "", 128 + SIGPIPE}},
    {.name = "pipe_closed_sigpipe_ignored", .stream = "broken pipe out",
     .prefix = {"env", "--ignore-signal=PIPE"}, .want = writing(EPIPE)},
    {.name = "pipe_never_drained", .file = z(2 * block_file), .stream = "stalled pipe out",
     .want = writing(EAGAIN)},
    {.name = "closing_flush_closed", .file = z(block_file), .shell = ">&-", .want = writing(EBADF)},
    {.name = "last_write_fails", .file = z(block_file), .shell = ">g",
     .fault = "write,writev:when=2:error=EIO", .want = writing(EIO, first_block(z(block_file)))},
    {.name = "file_size_limit", .file = z(2 * block_file), .shell = ">g",
     .prefix = size_limit(output_block), .want = writing(EFBIG, first_block(z(2 * block_file)))},
    // Beyond 32-bit offsets, sparse: it opens and is read, NUL bytes and all.
    {.name = "sparse_5_gib", .file = "", .size = 5 * gib, .shell = ">g",
     .prefix = size_limit(output_block),
     .want = writing(EFBIG, first_block(std::string(2 * block_file, '\0')))},
    // Each chunk at once, on a terminal or where stdbuf asks, while the input
    // is open; a terminal that hangs up ends the run at the next chunk.
    {.name = "terminal", .args = in_stdin, .stream = "pipe in, terminal out", .want = fed(file300)},
    {.name = "terminal_hangs_up", .args = in_stdin, .stream = "pipe in, terminal out, hanging up",
     .want = writing(EIO, chunked(file300.substr(0, piece), ""))},
    {.name = "stdbuf_line", .args = in_stdin, .stream = "pipe in, pipe out", .prefix = {"stdbuf", "-oL"},
     .want = fed(file300)},
    {.name = "stdbuf_unbuffered", .args = in_stdin, .stream = "pipe in, pipe out",
     .prefix = {"stdbuf", "-o0"}, .want = fed(file300)},
    // Else whole blocks, 16 for 1 MiB (none with stdio's own 4 KiB), whatever
    // the streams and the reads; a size that stdbuf chose stands.
    {.name = "blocks_chunkcat_chooses", .file = mib, .block = output_block, .want = mib_out},
    {.name = "blocks_stdbuf_smaller", .file = mib, .prefix = {"stdbuf", "-o1000"}, .block = 1000,
     .want = mib_out},
    {.name = "blocks_stdbuf_larger", .file = mib, .prefix = {"stdbuf", "-o100000"}, .block = 100000,
     .want = mib_out},
    {.name = "blocks_pipe_into_pipe", .file = kib128, .args = in_stdin, .shell = "cat f | \"$@\"",
     .block = output_block, .want = kib128_out},
    {.name = "blocks_slow_pipe_into_pipe", .file = kib128, .args = in_stdin, .stream = "pipe in",
     .block = output_block, .want = fed(kib128)},
    {.name = "blocks_into_null_device", .file = mib, .shell = ">/dev/null", .block = output_block},
    {.name = "blocks_into_socket", .file = kib128, .stream = "socket out", .block = output_block,
     .want = kib128_out},
    // Into a file: printed, but never into the file itself, where it would be
    // read back; an empty file holds nothing to read back.
    {.name = "into_another_file", .file = hello, .shell = ">g", .want = hello_out},
    {.name = "into_a_file_numbered_lower", .file = hello, .shell = ">lower", .want = hello_out},
    {.name = "appended_to_another_file", .file = hello, .shell = ">>g", .want = printed("old\n" + hello + "\n")},
    {.name = "into_itself_emptied_first", .file = hello, .shell = ">f", .want = printed("")},
    {.name = "appended_to_itself", .file = hello, .shell = ">>f", .want = refused},
    {.name = "one_byte_appended_to_itself", .file = "x", .shell = ">>f", .want = refusal("x")},
    {.name = "appended_to_itself_at_its_end", .file = hello, .shell = "{ echo x; exec \"$@\"; } >>f",
     .want = refusal(hello + "x\n")},
    // With standard input or error closed, the open takes its number.
    {.name = "appended_to_itself_stdin_closed", .file = hello, .shell = "<&- >>f", .want = refused},
    {.name = "appended_to_itself_stderr_closed", .file = hello, .shell = "2>&- >>f",
     .want = {hello, "", 1}},
    {.name = "stdin_and_stdout_closed", .shell = "<&- >&-", .want = writing(EBADF)},
    {.name = "appended_to_itself_beyond_a_block", .file = z(100000), .shell = ">>f",
     .want = refusal(z(100000))},
    {.name = "read_write", .file = hello, .shell = "1<>f", .want = refused},
    {.name = "hard_link", .file = hello, .args = {"link"}, .shell = ">>f", .want = refused},
    {.name = "stdin_reopened", .file = hello, .args = in_stdin, .shell = "<f >>f", .want = refused},
    {.name = "empty_appended_to_itself", .file = "", .shell = ">>f", .want = printed("")},
    {.name = "null_device", .args = {"/dev/null"}, .shell = ">/dev/null"},
    {.name = "same_inode_output_device_higher", .file = hello, .args = {},
     .prefix = two_file_systems("-lt"), .want = hello_out},
    {.name = "same_inode_output_device_lower", .file = hello, .args = {},
     .prefix = two_file_systems("-gt"), .want = hello_out},
    // As users run it: on files that another user owns.
    {.name = "theirs_readable_by_all", .file = hello, .mode = 0644, .want = hello_out},
    {.name = "theirs_readable_by_group", .file = hello, .mode = 0640, .want = hello_out},
});
// clang-format on

// Waits, within the time limit, until all that was written to `fd` has been read.
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

// How often `what` stands in `text`.
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
	const Row &row = rows[GetParam()];
	// Three new files are named in the order of their inode numbers, which
	// the file system may give out in any order.
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
	SKIP_IF_LACKING(row.needs[0] == nullptr || std::filesystem::exists(row.needs[0])
	                    ? ""
	                    : row.needs[0] + " is missing (Debian: "s + row.needs[1] + ")");
	if (row.mode > 0 && geteuid() != 0) {
		const std::string file = theirs(row.mode);
		SKIP_IF_LACKING(file.empty() ? "/etc holds no such file of another user's" : "");
		args = {file};
		want = printed(chunked(read_file(file), ""));
	}
	// root reads any file: run as nobody, in the file's group (below), from a
	// copy that nobody can reach.
	if (row.mode >= 0 && geteuid() == 0) {
		struct statvfs folder = {};
		SKIP_IF_LACKING(
		    statvfs(dir.c_str(), &folder) == 0 && (folder.f_flag & ST_NOEXEC) != 0
		        ? dir + " is on a noexec file system: no copy of chunkcat runs there"
		        : "");
		ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
		options.program = dir + "/chunkcat";
		std::filesystem::copy_file(program, options.program);
		options.prefix = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
	}
	SKIP_IF_LACKING(lacking(options));
	// The files get their bytes once the helpers' probe, which may write, has run.
	create(row.path, row.file);
	if (row.size > row.file.size())
		std::filesystem::resize_file(f, row.size);
	ASSERT_EQ(link(f.c_str(), (dir + "/link").c_str()), 0);
	create("g", "old\n");
	create("lower", "old\n");
	ASSERT_TRUE(row.mode < 0 || chmod(f.c_str(), mode_t(row.mode)) == 0);
	// Once setpriv has shown that the machine has group 65534.
	ASSERT_TRUE(row.mode < 0 || geteuid() != 0 || chown(f.c_str(), 0, 65534) == 0);
	// chunkcat reads in[0] and writes out[1]; a thread works the other ends.
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
				ADD_FAILURE() << "not shown while the input was open: "
				              << PrintToString(seen);
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
		const auto size = std::filesystem::file_size(into);
		result.out =
		    size > output_limit ? std::to_string(size) + " bytes" : read_file(into);
	}
	EXPECT_RUN(result, want);
	const std::string writes = read_file(dir + "/writes"),
	                  whole = ", " + std::to_string(row.block) + ") = ";
	const std::string written = row.shell == ">/dev/null" ? chunked(row.file) : want.out;
	EXPECT_EQ(count(writes, whole), row.block != 0 ? written.size() / row.block : 0)
	    << writes.substr(0, 400);
	EXPECT_LE(count(read_file(dir + "/faults"), "<" + f + ">)"), 1U) << "closes of f";
}

INSTANTIATE_TEST_SUITE_P(Runs, Table, testing::Range(std::size_t{0}, std::size(rows)),
                         [](const auto &info) { return rows[info.param].name; });

TEST(Program, IsExecutable)
{
	EXPECT_TRUE(executable(program)) << program << " is not an executable file";
}

// Random input against the model of the output: MODEL_SEED=N repeats the run
// whose failure printed that seed.
class Model : public Chunkcat {
      protected:
	const unsigned seed =
	    env("MODEL_SEED").empty() ? std::random_device{}() : std::stoul(env("MODEL_SEED"));
	std::mt19937 random{seed};
	std::string bytes(std::size_t size)
	{
		std::uniform_int_distribution<int> byte(0, 255);
		std::string result(size, '\0');
		std::ranges::generate(result, [&] { return static_cast<char>(byte(random)); });
		return result;
	}
};

TEST_F(Model, RandomFiles)
{
	SCOPED_TRACE("seed " + std::to_string(seed));
	std::uniform_int_distribution<int> any(0, 4096), chunks(0, 32), near(-1, 1);
	for (int i = 0; i < 50; ++i) {
		// Every other size lies at or next to a chunk boundary.
		const int size = i % 2 == 0
		                     ? any(random)
		                     : std::max(0, chunks(random) * int{chunk} + near(random));
		const std::string file = bytes(static_cast<std::size_t>(size));
		ASSERT_RUN(run({create("f", file)}), printed(chunked(file, ""))) << "size " << size;
	}
}

// However the writes and reads of a pipe interleave, the chunks joined give
// back the bytes written, and each holds 1 to 128 of them.
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
