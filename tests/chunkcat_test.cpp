// Black-box tests: exact standard output, standard error and exit status.
#include "harness.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <type_traits>

using namespace harness;
using namespace std::string_literals;

namespace {

const std::string s128(128, 'a');

// A table's row prints as its name: its bytes can run to many kilobytes.
template <typename Row>
concept named_row = std::is_same_v<decltype(Row::name), const char *>;
void PrintTo(const named_row auto &row, std::ostream *os)
{
	*os << row.name;
}

struct Printed {
	const char *name;
	std::string file;
	std::string out; // without the closing text
};

class Prints : public testing::TestWithParam<Printed> {};

TEST_P(Prints, ChunksThenClosingText)
{
	const TempDir dir;
	const Result expected{GetParam().out + closing, "", 0};
	EXPECT_RUN(run({dir.write("f", GetParam().file)}), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Files, Prints,
    testing::Values(Printed{"empty", "", ""}, Printed{"one_line", "hello\n", "hello\n\n"},
                    Printed{"exactly_128", s128, s128 + "\n"},
                    Printed{"129", s128 + "b", s128 + "\nb\n"},
                    Printed{"300", s128 + std::string(128, 'b') + std::string(44, 'c'),
                            s128 + "\n" + std::string(128, 'b') + "\n" + std::string(44, 'c') +
                                "\n"},
                    Printed{"nul_inside", "ab\0cd\n"s, "ab\0cd\n\n"s},
                    Printed{"nul_starts_chunk", s128 + "\0z"s, s128 + "\n\0z\n"s}),
    [](const auto &info) { return std::string(info.param.name); });

struct Failure {
	const char *name;
	// "@": a 300-byte file, "@dir": a folder, "@N": a file of N bytes
	std::vector<std::string> args;
	Options options;
	Result expected;
};

class Fails : public testing::TestWithParam<Failure> {};

std::vector<std::string> fault(const char *call, int when, int error)
{
	return {"LD_PRELOAD=" + fault_library, std::string("FAULT_CALL=") + call,
	        "FAULT_WHEN=" + std::to_string(when), "FAULT_ERRNO=" + std::to_string(error)};
}

// Runs chunkcat under strace with the given options. LeakSanitizer cannot
// work under a tracer; a sanitized build checks for leaks in the other runs.
std::vector<std::string> traced(std::vector<std::string> options)
{
	const char *asan = getenv("ASAN_OPTIONS");
	const std::string leaks = std::string(asan != nullptr ? asan : "") + ":detect_leaks=0";
	options.insert(options.begin(), {"env", "ASAN_OPTIONS=" + leaks, "strace", "-qq"});
	return options;
}

// stdio calls its own internal write, which no preloaded library can
// replace: the failure is injected into the system call itself, write for
// glibc and writev for musl.
std::vector<std::string> failing_write(int when, const char *error)
{
	return traced(
	    {"-o", "/dev/null", "-e", "trace=write,writev", "-e",
	     "inject=write,writev:error=" + std::string(error) + ":when=" + std::to_string(when)});
}

// The output of a file of `size` bytes when only its first block is written.
// The closing text of a block_file-byte file straddles the end of that
// block; that of a file twice as large the end of the second.
std::string first_block(std::size_t size)
{
	return chunked(std::string(size, 'z')).substr(0, output_block);
}

const std::string at_block = "@" + std::to_string(block_file);
const std::string at_two_blocks = "@" + std::to_string(2 * block_file);

const std::string two_chunks = s128 + "\n" + s128 + "\n";

TEST_P(Fails, WithMessageAndStatus)
{
	const TempDir dir;
	const std::string file = dir.write("file", s128 + s128 + std::string(44, 'c'));
	auto args = GetParam().args;
	for (auto &arg : args)
		if (arg == "@")
			arg = file;
		else if (arg == "@dir")
			arg = dir.path();
		else if (arg.starts_with("@"))
			arg = dir.write("f", std::string(std::stoul(arg.substr(1)), 'z'));
	Options options = GetParam().options;
	options.cwd = dir.path();
	EXPECT_RUN(run(args, options), GetParam().expected);
}

const std::string no_entry = open_error(ENOENT);
const std::string eio = read_error(EIO);
const std::string no_space = write_error(ENOSPC);
const std::string bad_fd = write_error(EBADF);

INSTANTIATE_TEST_SUITE_P(
    Runs, Fails,
    testing::Values(
        Failure{"no_operand", {}, {}, {usage, "", 1}},
        Failure{"two_operands", {"@", "@"}, {}, {usage, "", 1}},
        Failure{"missing", {"missing"}, {}, {"", no_entry, 1}},
        Failure{"empty_operand", {""}, {}, {"", no_entry, 1}},
        Failure{"dash_is_a_path", {"-"}, {}, {"", no_entry, 1}},
        Failure{"help_is_a_path", {"--help"}, {}, {"", no_entry, 1}},
        Failure{"name_too_long", {std::string(5000, 'n')}, {}, {"", open_error(ENAMETOOLONG), 1}},
        Failure{"too_many_files",
                {"@"},
                {.env = fault("open", 1, EMFILE)},
                {"", open_error(EMFILE), 1}},
        Failure{"fstat_fails", {"@"}, {.env = fault("fstat", 1, EIO)}, {"", open_error(EIO), 1}},
        Failure{"directory", {"@dir"}, {}, {"", read_error(EISDIR), 255}},
        Failure{"read_fails_first", {"@"}, {.env = fault("read", 1, EIO)}, {"", eio, 255}},
        Failure{"read_interrupted",
                {"@"},
                {.env = fault("read", 1, EINTR)},
                {"", read_error(EINTR), 255}},
        Failure{"read_fails_third", {"@"}, {.env = fault("read", 3, EIO)}, {two_chunks, eio, 255}},
        Failure{"read_fails_third_one_stream",
                {"@"},
                {.env = fault("read", 3, EIO), .stderr_to_stdout = true},
                {two_chunks + eio, "", 255}},
        Failure{"disk_full", {"@"}, {.out = Stdout::full}, {"", no_space, 255}},
        Failure{"disk_full_midway", {"@100000"}, {.out = Stdout::full}, {"", no_space, 255}},
        Failure{"read_fails_and_disk_full",
                {"@"},
                {.env = fault("read", 3, EIO), .out = Stdout::full},
                {"", no_space + eio, 255}},
        Failure{"stdout_closed", {"@"}, {.out = Stdout::closed}, {"", bad_fd, 255}},
        Failure{"pipe_closed_sigpipe_ignored",
                {"@"},
                {.out = Stdout::broken_pipe, .ignored_signal = SIGPIPE},
                {"", write_error(EPIPE), 255}},
        Failure{"pipe_closed", {"@"}, {.out = Stdout::broken_pipe}, {"", "", 128 + SIGPIPE}},
        Failure{"closing_flush_disk_full", {at_block}, {.out = Stdout::full}, {"", no_space, 255}},
        Failure{"closing_flush_closed", {at_block}, {.out = Stdout::closed}, {"", bad_fd, 255}},
        Failure{"last_write_fails",
                {at_block},
                {.prefix = failing_write(2, "EIO")},
                {first_block(block_file), write_error(EIO), 255}},
        Failure{"file_size_limit",
                {at_two_blocks},
                {.prefix = {"prlimit", "--fsize=" + std::to_string(output_block)},
                 .ignored_signal = SIGXFSZ},
                {first_block(2 * block_file), write_error(EFBIG), 255}},
        Failure{"pipe_never_drained",
                {at_two_blocks},
                {.out = Stdout::stalled_pipe},
                {"", write_error(EAGAIN), 255}}),
    [](const auto &info) { return std::string(info.param.name); });

// A failed write must end the run wherever it falls, the closing text and the
// final flush included: sweep the sizes whose output ends near the end of each
// of the first three 64 KiB output blocks.
TEST(Stdout, FullAtEveryEndNearABlockBoundary)
{
	const TempDir dir;
	const Options full{.out = Stdout::full};
	const Result expected{"", no_space, 255};
	for (std::size_t end = block_file; end <= 3 * block_file; end += block_file)
		for (std::size_t size = end - 64; size <= end + 64; ++size)
			EXPECT_RUN(run({dir.write("f", std::string(size, 'z'))}, full), expected)
			    << "size " << size;
}

// Without stdbuf, a pipe gets whole blocks: 16 for a 1 MiB file, none with
// stdio's own 4 KiB buffer. Requests are counted, not writes, for a pipe write
// can return short on a loaded machine and be followed by one for the rest.
TEST(Stdout, PipeGetsWholeBlocks)
{
	const TempDir dir;
	const std::string file(std::size_t{1} << 20, 'z');
	const std::string out = chunked(file);
	const Options options{.prefix = traced({"-o", dir.path() + "/trace", "-e", "trace=write"}),
	                      .out = Stdout::pipe};
	EXPECT_RUN(run({dir.write("f", file)}, options), (Result{out, "", 0}));
	const std::string trace = read_file(dir.path() + "/trace");
	const std::string whole = ", " + std::to_string(output_block) + ") = ";
	std::size_t blocks = 0;
	for (std::size_t at = 0; (at = trace.find(whole, at)) != std::string::npos; ++at)
		++blocks;
	EXPECT_EQ(blocks, out.size() / output_block) << trace.substr(0, 400);
}

struct IntoItself {
	const char *name;
	std::string file;    // what f holds before the run
	const char *operand; // f, a hard link of f, or another path
	const char *output;  // what standard output opens, with `flags`
	int flags;           // O_APPEND for >>, O_RDWR alone for 1<>
	Result expected;
	std::string after; // what f holds after the run
};

class OwnOutput : public testing::TestWithParam<IntoItself> {};

// A file is never printed into itself. Standard input is f too, for the
// /dev/stdin row; a file size limit stops a program that would fill the disk.
TEST_P(OwnOutput, IsRefusedWhenItWouldBeReadBack)
{
	const TempDir dir;
	const IntoItself &p = GetParam();
	const std::string f = dir.write("f", p.file);
	ASSERT_EQ(link(f.c_str(), (dir.path() + "/link").c_str()), 0);
	const int in = open(f.c_str(), O_RDONLY | O_CLOEXEC);
	const int out = open(p.output[0] == '/' ? p.output : (dir.path() + "/" + p.output).c_str(),
	                     p.flags | O_CLOEXEC);
	ASSERT_TRUE(in >= 0 && out >= 0) << strerror(errno);
	const Options options{
	    .prefix = {"prlimit", "--fsize=1048576"}, .cwd = dir.path(), .in = in, .out_fd = out};
	EXPECT_RUN(run({p.operand}, options), p.expected);
	(void)close(in);
	(void)close(out);
	EXPECT_PRED_FORMAT2(same_bytes, read_file(dir.path() + "/f"), p.after);
}

const Result refused{"", open_error("Input file is output file"), 1};
constexpr int append = O_WRONLY | O_APPEND;

INSTANTIATE_TEST_SUITE_P(
    Runs, OwnOutput,
    testing::Values(
        IntoItself{"appended", "hello\n", "f", "f", append, refused, "hello\n"},
        IntoItself{"appended_beyond_a_block", std::string(100000, 'z'), "f", "f", append, refused,
                   std::string(100000, 'z')},
        IntoItself{"read_write", "hello\n", "f", "f", O_RDWR, refused, "hello\n"},
        IntoItself{"hard_link", "hello\n", "link", "f", append, refused, "hello\n"},
        IntoItself{"stdin_reopened", "hello\n", "/dev/stdin", "f", append, refused, "hello\n"},
        IntoItself{"empty_is_printed", "", "f", "f", append, {"", "", 0}, closing},
        IntoItself{"null_device", "", "/dev/null", "/dev/null", O_WRONLY, {"", "", 0}, ""}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Operand, DashAndHelpAreFileNames)
{
	const TempDir dir;
	for (const std::string name : {"-", "--help"}) {
		dir.write(name, name + "\n");
		EXPECT_RUN(run({name}, {.cwd = dir.path()}),
		           (Result{name + "\n\n" + closing, "", 0}));
	}
}

TEST(Operand, UnreadableFile)
{
	const TempDir dir;
	const std::string file = dir.write("secret", "x");
	ASSERT_EQ(chmod(file.c_str(), 0), 0);
	ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
	Options options;
	if (geteuid() == 0) {
		// root reads any file: run as nobody instead, from a copy of the
		// program that nobody can reach wherever the build folder is
		if (access("/usr/bin/setpriv", X_OK) != 0)
			GTEST_SKIP() << "running as root without setpriv: cannot drop privileges";
		options.prefix = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
		options.program = dir.path() + "/chunkcat";
		std::filesystem::copy_file(program, options.program);
	}
	EXPECT_RUN(run({file}, options), (Result{"", open_error(EACCES), 1}));
}

// Reads from the master side of a terminal until `want` has arrived after
// what is already in `seen`, or until the other side is gone.
bool await(int master, std::string &seen, const std::string &want)
{
	const std::size_t start = seen.size();
	char buffer[512];
	while (seen.size() - start < want.size()) {
		pollfd p{master, POLLIN, 0};
		if (poll(&p, 1, 10000) != 1) // a safety net, not a timing assumption
			return false;
		const ssize_t n = read(master, buffer, sizeof buffer);
		if (n <= 0)
			return false;
		seen.append(buffer, static_cast<std::size_t>(n));
	}
	return seen.compare(start, std::string::npos, want) == 0;
}

// Standard output is a pseudo-terminal in raw mode, so that what chunkcat
// writes to `terminal` reaches `master` unchanged.
class Terminal : public testing::Test {
      protected:
	void SetUp() override
	{
		master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
		if (master == -1)
			GTEST_SKIP() << "no pseudo-terminal";
		ASSERT_EQ(grantpt(master), 0);
		ASSERT_EQ(unlockpt(master), 0);
		terminal = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
		ASSERT_GE(terminal, 0);
		termios raw{};
		ASSERT_EQ(tcgetattr(terminal, &raw), 0);
		cfmakeraw(&raw);
		ASSERT_EQ(tcsetattr(terminal, TCSANOW, &raw), 0);
	}
	// master is each test's to close: closing it is how HangsUp hangs up.
	void TearDown() override { (void)close(terminal); }
	int master = -1, terminal = -1;
};

// A terminal shows each chunk as it is made, so the next piece of the input
// is written only once the last chunk has appeared.
TEST_F(Terminal, EachReadOfAPipeIsOneChunk)
{
	int in[2];
	ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);

	std::thread writer([&] {
		std::string seen;
		for (const std::string &piece : {"one"s, "two pieces"s, std::string(200, 'x')}) {
			if (write(in[1], piece.data(), piece.size()) != ssize_t(piece.size()))
				break;
			const std::string shown = chunked(piece);
			EXPECT_TRUE(
			    await(master, seen, shown.substr(0, shown.size() - closing.size())))
			    << seen;
		}
		(void)close(in[1]);
		EXPECT_TRUE(await(master, seen, closing)) << seen;
	});
	const Result result = run({"/dev/stdin"}, {.in = in[0], .out_fd = terminal});
	writer.join();
	(void)close(in[0]);
	(void)close(master);
	EXPECT_RUN(result, (Result{"", "", 0}));
}

// A terminal that hangs up ends the run at the next chunk, though the input
// never ends: timeout stops a program that would read /dev/zero on.
TEST_F(Terminal, HangsUp)
{
	std::thread hangup([&] {
		pollfd p{master, POLLIN, 0};
		EXPECT_EQ(poll(&p, 1, 10000), 1) << "nothing shown";
		(void)close(master);
	});
	const Result result = run({"/dev/zero"}, {.prefix = {"timeout", "10"}, .out_fd = terminal});
	hangup.join();
	EXPECT_RUN(result, (Result{"", write_error(EIO), 255}));
}

// Buffering chosen with stdbuf stands: the first chunk reaches a reading pipe
// while the input is still open.
TEST(Stdout, StdbufChoiceStands)
{
	// stdbuf preloads a library built for this machine's word size.
	const auto elf_class = [](const std::string &path) { return read_file(path).substr(0, 5); };
	if (elf_class(program) != elf_class("/proc/self/exe"))
		GTEST_SKIP() << "stdbuf's library cannot load into a chunkcat of another word size";
	for (const char *mode : {"-oL", "-o0"}) {
		SCOPED_TRACE(mode);
		int in[2], out[2];
		ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
		ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
		std::thread writer([&] {
			std::string seen;
			EXPECT_EQ(write(in[1], "one", 3), 3);
			EXPECT_TRUE(await(out[0], seen, "one\n"))
			    << "nothing while the input was open";
			(void)close(in[1]);
		});
		const Result result = run(
		    {"/dev/stdin"}, {.prefix = {"stdbuf", mode}, .in = in[0], .out_fd = out[1]});
		writer.join();
		for (const int fd : {in[0], out[0], out[1]})
			(void)close(fd);
		EXPECT_RUN(result, (Result{"", "", 0}));
	}
}

} // namespace
