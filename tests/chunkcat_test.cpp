// Black-box tests: exact standard output, standard error and exit status.
// Most cases are rows of one table; what needs code of its own follows it.
#include "harness.hpp"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <termios.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <thread>

using namespace harness;
using namespace std::string_literals;
using testing::PrintToString;

namespace {

const std::string a128(chunk, 'a'), b128(chunk, 'b'), c44(44, 'c'), hello = "hello\n";
const std::string file300 = a128 + a128 + c44, two_chunks = a128 + "\n" + a128 + "\n";
const std::string eio = error(read_prefix, EIO), no_space = error(write_prefix, ENOSPC);
const Result no_entry{"", error(open_prefix, ENOENT), 1}, full{"", no_space, 255},
    bad_fd{"", error(write_prefix, EBADF), 255};
const Result refused{hello, error(open_prefix, same_file), 1};

struct Row {
	const char *name;
	std::string file = file300; // the bytes of `path`, in the folder the run starts in
	std::uintmax_t size = 0;    // when larger, `path` is extended to it with a hole
	std::vector<std::string> args{"f"};
	// `link` is a hard link of it; `g` and `lower` hold "old\n", and the
	// inode number of `lower` is lower than that of `path`, that of `g` higher.
	const char *path = "f";
	// Redirections, as sh takes them; "broken pipe" is a pipe whose reader has
	// gone, "stalled pipe" a non-blocking one that nobody reads.
	std::string shell{};
	// A failure that strace injects, in its own words ("read:when=3:error=EIO"),
	// into calls on f and g alone, whatever the loader and the C library do.
	const char *fault = nullptr;
	std::vector<std::string> prefix{}; // a command that runs chunkcat
	// The file's mode, with chunkcat run by a user that does not own it: as
	// root, nobody, in the file's group; else the user, on a file of /etc.
	int mode = -1;
	Result expected{}; // out: the pipe's bytes, or what the output file then holds
};

// Runs chunkcat under strace with the given options. LeakSanitizer cannot
// work under a tracer; a sanitized build checks for leaks in the other runs.
std::vector<std::string> traced(std::vector<std::string> options)
{
	const char *asan = getenv("ASAN_OPTIONS");
	const std::string leaks =
	    "ASAN_OPTIONS="s + (asan != nullptr ? asan : "") + ":detect_leaks=0";
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
// Runs chunkcat on f in a new file system into g in another, the first file of
// each: they share an inode number. $1 compares the device numbers of the two.
const auto two_file_systems = [](const char *order) {
	const std::string script =
	    "mkdir -p a b && mount -t tmpfs a a && mount -t tmpfs b b && i=a o=b"
	    " && { [ $(stat -c %d a) $1 $(stat -c %d b) ] || i=b o=a; } && cp f $i"
	    " && shift && \"$@\" $i/f >$o/g; s=$? && cat $o/g && exit $s";
	return std::vector<std::string>{"unshare", "-rm", "sh", "-c", script, "sh", order};
};
const auto z = [](std::size_t size) { return std::string(size, 'z'); };
// The output of `file` when only its first block is written.
const auto first_block = [](const std::string &f) { return chunked(f).substr(0, output_block); };
// Runs chunkcat with files limited to `bytes`: a write past it fails.
const auto size_limit = [](std::size_t bytes) {
	return std::vector<std::string>{"env", "--ignore-signal=XFSZ", "prlimit",
	                                "--fsize=" + std::to_string(bytes)};
};
const auto printed = [](const std::string &chunks) { return Result{chunks + closing, "", 0}; };
const Result hello_out = printed(hello + "\n");

// clang-format off
const Row rows[] = {
    // A newline after every 128 bytes, then the closing text.
    {.name = "empty", .file = "", .expected = printed("")},
    {.name = "one_line", .file = hello, .expected = hello_out},
    {.name = "exactly_128", .file = a128, .expected = printed(a128 + "\n")},
    {.name = "129", .file = a128 + "b", .expected = printed(a128 + "\nb\n")},
    {.name = "300", .file = a128 + b128 + c44,
     .expected = printed(a128 + "\n" + b128 + "\n" + c44 + "\n")},
    {.name = "nul_inside", .file = "ab\0cd\n"s, .expected = printed("ab\0cd\n\n"s)},
    {.name = "nul_starts_chunk", .file = a128 + "\0z"s, .expected = printed(a128 + "\n\0z\n"s)},
    {.name = "dash_names_a_file", .file = "-\n", .args = {"-"}, .path = "-",
     .expected = printed("-\n\n")},
    {.name = "help_names_a_file", .file = "--help\n", .args = {"--help"}, .path = "--help",
     .expected = printed("--help\n\n")},
    // Usage and open failures: status 1, nothing printed.
    {.name = "no_operand", .args = {}, .expected = {usage, "", 1}},
    {.name = "two_operands", .args = {"f", "f"}, .expected = {usage, "", 1}},
    {.name = "missing", .args = {"missing"}, .expected = no_entry},
    {.name = "empty_operand", .args = {""}, .expected = no_entry},
    {.name = "dash_is_a_path", .args = {"-"}, .expected = no_entry},
    {.name = "help_is_a_path", .args = {"--help"}, .expected = no_entry},
    {.name = "name_too_long", .args = {z(5000)},
     .expected = {"", error(open_prefix, ENAMETOOLONG), 1}},
    {.name = "too_many_files", .fault = "open,openat:when=1:error=EMFILE",
     .expected = {"", error(open_prefix, EMFILE), 1}},
    {.name = "fstat_fails", .fault = "fstat,fstat64,newfstatat,statx:when=1:error=EIO",
     .expected = {"", error(open_prefix, EIO), 1}},
    {.name = "unreadable", .mode = 0, .expected = {"", error(open_prefix, EACCES), 1}},
    // Read failures: status 255; what was read before stays printed.
    {.name = "directory", .args = {"."}, .expected = {"", error(read_prefix, EISDIR), 255}},
    {.name = "directory_as_stdout_too", .args = {"."}, .shell = "1<.",
     .expected = {"", error(read_prefix, EISDIR), 255}},
    {.name = "read_fails_first", .fault = "read:when=1:error=EIO", .expected = {"", eio, 255}},
    {.name = "read_interrupted", .fault = "read:when=1:error=EINTR",
     .expected = {"", error(read_prefix, EINTR), 255}},
    {.name = "read_fails_third", .fault = "read:when=3:error=EIO",
     .expected = {two_chunks, eio, 255}},
    {.name = "read_fails_third_one_stream", .shell = "2>&1", .fault = "read:when=3:error=EIO",
     .expected = {two_chunks + eio, "", 255}},
    // Write failures: status 255 at once, wherever the failure falls.
    {.name = "disk_full", .shell = ">/dev/full", .expected = full},
    {.name = "disk_full_midway", .file = z(100000), .shell = ">/dev/full", .expected = full},
    {.name = "read_fails_and_disk_full", .shell = ">/dev/full", .fault = "read:when=3:error=EIO",
     .expected = {"", no_space + eio, 255}},
    // The open takes standard output's number; the file is still closed once.
    {.name = "stdout_closed", .shell = ">&-",
     .prefix = traced({"-Z", "-e", "trace=close"}), .expected = bad_fd},
    {.name = "pipe_closed", .shell = "broken pipe", .expected = {"", "", 128 + SIGPIPE}},
    {.name = "pipe_closed_sigpipe_ignored", .shell = "broken pipe",
     .prefix = {"env", "--ignore-signal=PIPE"},
     .expected = {"", error(write_prefix, EPIPE), 255}},
    {.name = "pipe_never_drained", .file = z(2 * block_file), .shell = "stalled pipe",
     .expected = {"", error(write_prefix, EAGAIN), 255}},
    {.name = "closing_flush_disk_full", .file = z(block_file), .shell = ">/dev/full",
     .expected = full},
    {.name = "closing_flush_closed", .file = z(block_file), .shell = ">&-", .expected = bad_fd},
    {.name = "last_write_fails", .file = z(block_file), .shell = ">g",
     .fault = "write,writev:when=2:error=EIO",
     .expected = {first_block(z(block_file)), error(write_prefix, EIO), 255}},
    {.name = "file_size_limit", .file = z(2 * block_file), .shell = ">g",
     .prefix = size_limit(output_block),
     .expected = {first_block(z(2 * block_file)), error(write_prefix, EFBIG), 255}},
    // Beyond 32-bit offsets, sparse: it opens and is read, NUL bytes and all.
    {.name = "sparse_5_gib", .file = "", .size = std::uintmax_t{5} << 30, .shell = ">g",
     .prefix = size_limit(output_block),
     .expected = {first_block(std::string(2 * block_file, '\0')), error(write_prefix, EFBIG), 255}},
    // Into a file: printed, but never into the file itself, where it would be
    // read back; an empty file holds nothing to read back.
    {.name = "into_another_file", .file = hello, .shell = ">g", .expected = hello_out},
    {.name = "into_a_file_numbered_lower", .file = hello, .shell = ">lower", .expected = hello_out},
    {.name = "appended_to_another_file", .file = hello, .shell = ">>g",
     .expected = printed("old\n" + hello + "\n")},
    {.name = "into_itself_emptied_first", .file = hello, .shell = ">f", .expected = printed("")},
    {.name = "appended_to_itself", .file = hello, .shell = ">>f", .expected = refused},
    {.name = "one_byte_appended_to_itself", .file = "x", .shell = ">>f",
     .expected = {"x", refused.err, 1}},
    // With standard input or error closed, the open takes its number.
    {.name = "appended_to_itself_stdin_closed", .file = hello, .shell = "<&- >>f",
     .expected = refused},
    {.name = "appended_to_itself_stderr_closed", .file = hello, .shell = "2>&- >>f",
     .expected = {hello, "", 1}},
    {.name = "stdin_and_stdout_closed", .shell = "<&- >&-", .expected = bad_fd},
    {.name = "appended_to_itself_beyond_a_block", .file = z(100000), .shell = ">>f",
     .expected = {z(100000), refused.err, 1}},
    {.name = "read_write", .file = hello, .shell = "1<>f", .expected = refused},
    {.name = "hard_link", .file = hello, .args = {"link"}, .shell = ">>f", .expected = refused},
    {.name = "stdin_reopened", .file = hello, .args = {"/dev/stdin"}, .shell = "<f >>f",
     .expected = refused},
    {.name = "empty_appended_to_itself", .file = "", .shell = ">>f", .expected = printed("")},
    {.name = "holes_appended_to_itself", .file = "", .size = 1 << 20, .shell = ">>f",
     .expected = {std::string(1 << 20, '\0'), refused.err, 1}},
    {.name = "null_device", .args = {"/dev/null"}, .shell = ">/dev/null"},
    {.name = "same_inode_output_device_higher", .file = hello, .args = {},
     .prefix = two_file_systems("-lt"), .expected = hello_out},
    {.name = "same_inode_output_device_lower", .file = hello, .args = {},
     .prefix = two_file_systems("-gt"), .expected = hello_out},
    // As users run it: on files that another user owns.
    {.name = "theirs_readable_by_all", .file = hello, .mode = 0644, .expected = hello_out},
    {.name = "theirs_readable_by_group", .file = hello, .mode = 0640, .expected = hello_out},
};
// clang-format on

class Table : public Chunkcat, public testing::WithParamInterface<std::size_t> {};

TEST_P(Table, Row)
{
	const Row &row = rows[GetParam()];
	// Three new files are named in the order of their inode numbers, which
	// the file system may give out in any order.
	std::vector<std::pair<ino_t, std::string>> made;
	for (const char *name : {"0", "1", "2"}) {
		struct stat made_file = {};
		ASSERT_EQ(stat(create(name, "").c_str(), &made_file), 0) << strerror(errno);
		made.emplace_back(made_file.st_ino, name);
	}
	std::ranges::sort(made);
	for (std::size_t i = 0; i < made.size(); ++i)
		std::filesystem::rename(dir + "/" + made[i].second,
		                        dir + "/" + std::array{"lower", row.path, "g"}[i]);
	const std::string f = create(row.path, row.file);
	if (row.size > row.file.size())
		std::filesystem::resize_file(f, row.size);
	ASSERT_EQ(link(f.c_str(), (dir + "/link").c_str()), 0);
	create("g", "old\n");
	create("lower", "old\n");
	Options options{.cwd = dir};
	const auto prefix = [&](const std::vector<std::string> &words) {
		options.prefix.insert(options.prefix.end(), words.begin(), words.end());
	};
	int ends[2] = {-1, -1};
	if (row.shell.ends_with(" pipe")) {
		ASSERT_EQ(pipe2(ends, O_CLOEXEC | (row.shell == "stalled pipe" ? O_NONBLOCK : 0)),
		          0);
		if (row.shell == "broken pipe")
			(void)close(std::exchange(ends[0], -1)); // no reader, ever
		options.out = ends[1];
	} else if (!row.shell.empty()) {
		prefix({"sh", "-c", "exec \"$@\" " + row.shell, "sh"});
	}
	if (row.fault != nullptr)
		prefix(traced(
		    {"-o", "/dev/null", "-P", f, "-P", dir + "/g", "-e", "inject="s + row.fault}));
	prefix(row.prefix);
	// strace matches an open's path as the program passes it: a whole one.
	std::vector<std::string> args = row.fault != nullptr ? std::vector{f} : row.args;
	Result expected = row.expected;
	ASSERT_TRUE(row.mode < 0 || chmod(f.c_str(), mode_t(row.mode)) == 0);
	if (row.mode > 0 && geteuid() != 0) {
		const std::string file = theirs(row.mode);
		SKIP_IF_LACKING(file.empty() ? "/etc holds no such file of another user's" : "");
		args = {file};
		expected = {chunked(read_file(file)), "", 0};
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
	// Once setpriv has shown that the machine has group 65534.
	ASSERT_TRUE(row.mode < 0 || geteuid() != 0 || chown(f.c_str(), 0, 65534) == 0);
	Result result = run(args, options);
	const std::size_t to = row.shell.find_last_of('>');
	if (to != std::string::npos && row.shell.find_first_of("/&", to) == std::string::npos)
		result.out = read_file(dir + "/" + row.shell.substr(to + 1));
	EXPECT_RUN(result, expected);
	for (const int fd : ends)
		(void)close(fd);
}

INSTANTIATE_TEST_SUITE_P(Runs, Table, testing::Range(std::size_t{0}, std::size(rows)),
                         [](const auto &info) { return std::string(rows[info.param].name); });

TEST(Program, IsExecutable)
{
	EXPECT_TRUE(executable(program)) << program << " is not an executable file";
}

using Blocks = Chunkcat;

// A failed write must end the run wherever it falls: in a chunk, the last or
// one before it, in the closing text, or in the final flush. Around each of
// the first block ends, the sizes at both sides of the two edges: where the
// closing text, then the chunks, first pass it. The write of the first block
// goes to /dev/full; a later one passes the file size limit, which lets the
// blocks before it be written (and standard error, a file too).
TEST_F(Blocks, WriteFailsAtEachPlaceAroundAnEnd)
{
	const auto chunks = [](std::size_t size) { return chunked(z(size), "").size(); };
	const auto output = [](std::size_t size) { return chunked(z(size)).size(); };
	// The smallest file whose `length` of output passes `end`.
	const auto first_past = [](std::size_t end, const auto &length) {
		std::vector<std::size_t> sizes(end);
		std::iota(sizes.begin(), sizes.end(), std::size_t{0});
		return *std::partition_point(sizes.begin(), sizes.end(),
		                             [&](std::size_t size) { return length(size) <= end; });
	};
	for (std::size_t end = output_block; end <= 3 * output_block; end += output_block) {
		const std::size_t written = end - output_block;
		const std::string sink = written == 0 ? "/dev/full" : dir + "/g";
		Options options{};
		if (written > 0)
			options.prefix = size_limit(written);
		SKIP_IF_LACKING(lacking(options));
		const std::string reason = error(write_prefix, written == 0 ? ENOSPC : EFBIG);
		const std::size_t closing_past = first_past(end, output),
		                  chunk_past = first_past(end, chunks);
		for (const std::size_t size : {closing_past - 1, closing_past, chunk_past - 1,
		                               chunk_past, chunk_past + chunk}) {
			options.out =
			    open(sink.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
			ASSERT_NE(options.out, -1) << sink << ": " << strerror(errno);
			Result result = run({create("f", z(size))}, options);
			(void)close(options.out);
			result.out = read_file(dir + "/g");
			ASSERT_RUN(result,
			           (Result{chunked(z(size)).substr(0, written), reason, 255}))
			    << "size " << size << ", block end " << end;
		}
	}
}

// Without stdbuf, a pipe gets whole blocks: 16 for a 1 MiB file, none with
// stdio's own 4 KiB buffer. A size that stdbuf chose stands, smaller or
// larger. Requests are counted, not writes, for a pipe write can return short
// on a loaded machine and be followed by one for the rest.
struct Buffer {
	const char *name;
	std::vector<std::string> prefix;
	std::size_t block;
};
const Buffer buffers[] = {{"chunkcat_chooses", {}, output_block},
                          {"stdbuf_smaller", {"stdbuf", "-o1000"}, 1000},
                          {"stdbuf_larger", {"stdbuf", "-o100000"}, 100000}};
class Sizes : public Chunkcat, public testing::WithParamInterface<std::size_t> {};

TEST_P(Sizes, PipeGetsWholeBlocks)
{
	const Buffer &b = buffers[GetParam()];
	const std::string file = z(std::size_t{1} << 20), out = chunked(file);
	Options options{.prefix = traced({"-o", dir + "/trace", "-e", "trace=write"})};
	options.prefix.insert(options.prefix.end(), b.prefix.begin(), b.prefix.end());
	SKIP_IF_LACKING(lacking(options));
	EXPECT_RUN(run({create("f", file)}, options), (Result{out, "", 0}));
	const std::string trace = read_file(dir + "/trace");
	const std::string whole = ", " + std::to_string(b.block) + ") = ";
	std::size_t blocks = 0;
	for (std::size_t at = 0; (at = trace.find(whole, at)) != std::string::npos; ++at)
		++blocks;
	EXPECT_EQ(blocks, out.size() / b.block) << trace.substr(0, 400);
}

INSTANTIATE_TEST_SUITE_P(Blocks, Sizes, testing::Range(std::size_t{0}, std::size(buffers)),
                         [](const auto &info) { return std::string(buffers[info.param].name); });

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

struct Stream {
	const char *name;
	std::vector<std::string> prefix; // none: a terminal
	bool hang_up;                    // the terminal hangs up after the first chunk
	Result expected;                 // out: nothing, for the test reads it all
};
const Stream streams[] = {{"terminal", {}, false, {}},
                          {"terminal_hangs_up", {}, true, {"", error(write_prefix, EIO), 255}},
                          {"stdbuf_line", {"stdbuf", "-oL"}, false, {}},
                          {"stdbuf_unbuffered", {"stdbuf", "-o0"}, false, {}}};
class Streams : public Chunkcat, public testing::WithParamInterface<std::size_t> {};

// Each read of a pipe is one chunk, and reaches the reader while the input is
// still open: on a terminal, or into a pipe when stdbuf asks. A piece goes in
// only once the chunks before it came out, so every chunk must go at once. A
// terminal that hangs up ends the run at the next chunk, the input still open.
TEST_P(Streams, EachChunkAtOnce)
{
	const Stream &s = streams[GetParam()];
	const bool terminal = s.prefix.empty();
	SKIP_IF_LACKING(lacking({.prefix = s.prefix}));
	std::array<int, 2> in{}, out = terminal ? open_terminal() : std::array{-1, -1};
	ASSERT_TRUE(terminal || pipe2(out.data(), O_CLOEXEC) == 0);
	SKIP_IF_LACKING(out[1] == -1 ? "no pseudo-terminal: "s + strerror(errno) : "");
	ASSERT_EQ(pipe2(in.data(), O_CLOEXEC), 0);
	std::thread writer([&] {
		std::string seen;
		for (const std::string &piece : {"one"s, "two pieces"s, std::string(200, 'x')}) {
			if (write(in[1], piece.data(), piece.size()) != ssize_t(piece.size()) ||
			    out[0] == -1)
				return; // hung up: the run is to end at this chunk
			if (!await(out[0], seen, chunked(piece, ""))) {
				ADD_FAILURE() << "not shown while the input was open: "
				              << PrintToString(seen);
				break;
			}
			if (s.hang_up)
				(void)close(std::exchange(out[0], -1));
		}
		(void)close(std::exchange(in[1], -1));
		EXPECT_TRUE(await(out[0], seen, closing)) << PrintToString(seen);
	});
	const Result result = run({"/dev/stdin"}, {.prefix = s.prefix, .in = in[0], .out = out[1]});
	writer.join();
	for (const int fd : {in[0], in[1], out[0], out[1]})
		(void)close(fd); // -1 for one closed already
	EXPECT_RUN(result, s.expected);
}

INSTANTIATE_TEST_SUITE_P(Pipes, Streams, testing::Range(std::size_t{0}, std::size(streams)),
                         [](const auto &info) { return std::string(streams[info.param].name); });

// Random input against the model of the output: MODEL_SEED=N repeats the run
// whose failure printed that seed.
class Model : public Chunkcat {
      protected:
	std::string bytes(std::size_t size, bool newlines)
	{
		std::uniform_int_distribution<int> byte(0, 255);
		std::string result;
		while (result.size() < size)
			if (const char c = static_cast<char>(byte(random)); newlines || c != '\n')
				result += c;
		return result;
	}
	const char *chosen_seed = getenv("MODEL_SEED");
	const unsigned seed =
	    chosen_seed != nullptr ? std::stoul(chosen_seed) : std::random_device{}();
	std::mt19937 random{seed};
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
		const std::string file = bytes(static_cast<std::size_t>(size), true);
		ASSERT_RUN(run({create("f", file)}), (Result{chunked(file), "", 0}))
		    << "size " << size;
	}
}

// However the writes and reads of a pipe interleave, the chunks joined give
// back the bytes written, and each holds 1 to 128 of them.
TEST_F(Model, PipeInRandomPieces)
{
	SCOPED_TRACE("seed " + std::to_string(seed));
	const std::string data = bytes(8192, false);
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
