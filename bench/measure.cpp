/*
 * Runs chunkcat, the floor program and cat over the same files with standard
 * output to a pipe, and prints one table: median CPU time (user + system)
 * over paired, interleaved rounds, peak RSS for an empty and a large file,
 * and start-up wall time on an empty file.
 *
 * usage: measure CHUNKCAT FLOOR TEXT EMPTY SPARSE [ROUNDS]
 */
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int startup_runs = 300;

struct Sample {
	double cpu;    // seconds, user + system
	double wall;   // seconds
	long peak_rss; // KiB
};

double seconds(const timeval &t)
{
	return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

double now()
{
	timespec t{};
	(void)clock_gettime(CLOCK_MONOTONIC, &t);
	return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Runs PROGRAM FILE with standard output to a pipe that is read and dropped.
Sample run(const std::string &program, const std::string &file)
{
	int out[2];
	if (pipe(out) == -1) {
		perror("pipe");
		exit(2);
	}
	const double start = now();
	const pid_t pid = fork();
	if (pid == 0) {
		(void)dup2(out[1], STDOUT_FILENO);
		(void)close(out[0]);
		(void)close(out[1]);
		execlp(program.c_str(), program.c_str(), file.c_str(),
		       static_cast<char *>(nullptr));
		_exit(127);
	}
	(void)close(out[1]);
	static char sink[1 << 16];
	while (read(out[0], sink, sizeof sink) > 0) {
	}
	(void)close(out[0]);
	int status = 0;
	rusage usage{};
	(void)wait4(pid, &status, 0, &usage);
	const double wall = now() - start;
	if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
		fprintf(stderr, "%s %s failed\n", program.c_str(), file.c_str());
		exit(2);
	}
	return {seconds(usage.ru_utime) + seconds(usage.ru_stime), wall, usage.ru_maxrss};
}

double median(std::vector<double> values)
{
	std::sort(values.begin(), values.end());
	const std::size_t mid = values.size() / 2;
	return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

} // namespace

int main(int argc, char *argv[])
{
	if (argc < 6) {
		fprintf(stderr, "usage: measure CHUNKCAT FLOOR TEXT EMPTY SPARSE [ROUNDS]\n");
		return 2;
	}
	const std::vector<std::string> programs = {argv[1], argv[2], "cat"};
	const std::vector<std::string> names = {"chunkcat", "floor", "cat"};
	const std::string text = argv[3], empty = argv[4], sparse = argv[5];
	const int rounds = argc > 6 ? std::max(1, atoi(argv[6])) : 5;

	// Paired and interleaved: each round runs all three, in a rotating order,
	// so that a slow spell of the machine falls on all of them alike.
	std::vector<std::vector<double>> cpu(programs.size());
	for (int round = 0; round < rounds; ++round)
		for (std::size_t i = 0; i < programs.size(); ++i) {
			const std::size_t p =
			    (i + static_cast<std::size_t>(round)) % programs.size();
			cpu[p].push_back(run(programs[p], text).cpu);
		}
	const double floor_cpu = median(cpu[1]);
	printf("CPU time (user + system), median of %d paired rounds, output to a pipe\n\n",
	       rounds);
	printf("| program  | CPU time (s) | vs floor |\n|---|---:|---:|\n");
	for (std::size_t p = 0; p < programs.size(); ++p)
		printf("| %-8s | %12.3f | %7.3fx |\n", names[p].c_str(), median(cpu[p]),
		       median(cpu[p]) / floor_cpu);

	const long rss_empty = run(argv[1], empty).peak_rss;
	const long rss_large = run(argv[1], sparse).peak_rss;
	printf("\nchunkcat peak RSS: %ld KiB on an empty file, %ld KiB on a 256 MiB file "
	       "(difference %ld KiB)\n",
	       rss_empty, rss_large, rss_large - rss_empty);

	std::vector<double> start_chunkcat, start_cat;
	for (int i = 0; i < startup_runs; ++i) {
		start_chunkcat.push_back(run(argv[1], empty).wall);
		start_cat.push_back(run("cat", empty).wall);
	}
	const double own = median(start_chunkcat), cat = median(start_cat);
	printf("start-up on an empty file, median of %d: chunkcat %.0f us, cat %.0f us (%.2fx)\n",
	       startup_runs, own * 1e6, cat * 1e6, own / cat);
	return 0;
}
