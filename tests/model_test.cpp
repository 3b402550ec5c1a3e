// Random input against an independent model of what chunkcat must print.
#include "harness.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>

using namespace harness;

namespace {

std::string random_bytes(std::mt19937 &random, std::size_t size, bool newlines)
{
	std::uniform_int_distribution<int> byte(0, 255);
	std::string bytes;
	while (bytes.size() < size) {
		const char c = static_cast<char>(byte(random));
		if (newlines || c != '\n')
			bytes += c;
	}
	return bytes;
}

class Model : public testing::Test {
      protected:
	// MODEL_SEED=N repeats the run whose failure printed that seed.
	const unsigned seed =
	    getenv("MODEL_SEED") != nullptr
	        ? static_cast<unsigned>(strtoul(getenv("MODEL_SEED"), nullptr, 10))
	        : std::random_device{}();
	std::mt19937 random{seed};
};

TEST_F(Model, RandomFiles)
{
	SCOPED_TRACE("seed " + std::to_string(seed));
	const TempDir dir;
	std::uniform_int_distribution<int> any(0, 4096), chunks(0, 32), near(-1, 1);
	for (int i = 0; i < 100; ++i) {
		// Every other size lies at or next to a chunk boundary.
		const int size =
		    i % 2 == 0 ? any(random) : std::max(0, chunks(random) * 128 + near(random));
		const std::string file = random_bytes(random, static_cast<std::size_t>(size), true);
		ASSERT_RUN(run({dir.write("f", file)}), (Result{chunked(file), "", 0}))
		    << "size " << size;
	}
}

// However the writes and reads of a pipe interleave, the chunks joined give
// back the bytes written, and each holds 1 to 128 of them.
TEST_F(Model, PipeInRandomPieces)
{
	SCOPED_TRACE("seed " + std::to_string(seed));
	const std::string data = random_bytes(random, 8192, false);
	int in[2];
	ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
	std::thread writer([&] {
		std::uniform_int_distribution<std::size_t> piece(1, 300);
		for (std::size_t at = 0; at < data.size();) {
			const std::size_t n = std::min(piece(random), data.size() - at);
			if (write(in[1], data.data() + at, n) != static_cast<ssize_t>(n))
				break;
			at += n;
		}
		(void)close(in[1]);
	});
	const Result result = run({"/dev/stdin"}, {.in = in[0]});
	writer.join();
	(void)close(in[0]);

	ASSERT_EQ(result.status, 0) << result.err;
	ASSERT_TRUE(result.out.ends_with(closing));
	std::string joined;
	const std::string chunks = result.out.substr(0, result.out.size() - closing.size());
	for (std::size_t at = 0, end; at < chunks.size(); at = end + 1) {
		end = chunks.find('\n', at);
		ASSERT_NE(end, std::string::npos) << "a chunk without its newline";
		ASSERT_GE(end - at, 1U);
		ASSERT_LE(end - at, 128U);
		joined += chunks.substr(at, end - at);
	}
	EXPECT_EQ(joined, data);
}

} // namespace
