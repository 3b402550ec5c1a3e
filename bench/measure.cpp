/*
 * Times programs over the same file, standard output to a pipe, in paired,
 * interleaved rounds, and prints one table: each one's median CPU time (user
 * + system) and the median of its per-round ratio to the second program's.
 * Interleaving lets a slow spell of a shared machine fall on all programs
 * alike, which hyperfine, running one program's runs after the other's,
 * does not (doc/performance.md compares the two). Start-up time and peak RSS
 * are left to hyperfine and GNU time.
 *
 * usage: measure FILE ROUNDS PROGRAM...
 */
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

double seconds(const timeval &t)
{
	return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// CPU seconds of PROGRAM FILE, with standard output to a pipe that is read
// and dropped.
double cpu_time(const char *program, const char *file)
{
	int out[2];
	if (pipe(out) == -1) {
		perror("pipe");
		exit(2);
	}
	const pid_t pid = fork();
	if (pid == 0) {
		(void)dup2(out[1], STDOUT_FILENO);
		(void)close(out[0]);
		(void)close(out[1]);
		execlp(program, program, file, static_cast<char *>(nullptr));
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
	if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
		fprintf(stderr, "%s %s failed\n", program, file);
		exit(2);
	}
	return seconds(usage.ru_utime) + seconds(usage.ru_stime);
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
	if (argc < 5) {
		fprintf(stderr, "usage: measure FILE ROUNDS PROGRAM...\n");
		return 2;
	}
	const char *file = argv[1];
	const int rounds = std::max(1, atoi(argv[2]));
	const std::vector<const char *> programs(argv + 3, argv + argc);

	// One run each first, untimed, so that no round pays for a cold cache.
	for (const char *program : programs)
		(void)cpu_time(program, file);
	// Each round runs all, in a rotating order.
	std::vector<std::vector<double>> cpu(programs.size());
	for (int round = 0; round < rounds; ++round)
		for (std::size_t i = 0; i < programs.size(); ++i) {
			const std::size_t p =
			    (i + static_cast<std::size_t>(round)) % programs.size();
			cpu[p].push_back(cpu_time(programs[p], file));
		}
	printf("CPU time (user + system), median of %d paired rounds, output to a pipe; the\n"
	       "ratio is the median of each round's ratio to %s\n\n",
	       rounds, programs[1]);
	printf("| program | CPU time (s) | ratio |\n|---|---:|---:|\n");
	for (std::size_t p = 0; p < programs.size(); ++p) {
		std::vector<double> ratios;
		for (std::size_t round = 0; round < cpu[p].size(); ++round)
			ratios.push_back(cpu[p][round] / cpu[1][round]);
		printf("| %s | %.3f | %.3fx |\n", programs[p], median(cpu[p]), median(ratios));
	}
	return 0;
}
