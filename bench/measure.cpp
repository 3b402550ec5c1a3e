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

#include <fcntl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int startup_runs = 300;

struct Sample {
	double cpu;  // seconds, user + system
	double wall; // seconds
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
	return {seconds(usage.ru_utime) + seconds(usage.ru_stime), wall};
}

// Peak RSS in KiB of PROGRAM FILE, output to /dev/null. A forked child's
// ru_maxrss counts the parent's pages from before exec, so the peak is read
// from /proc as the process stops on its way out, under ptrace.
long peak_rss(const std::string &program, const std::string &file)
{
	const pid_t pid = fork();
	if (pid == 0) {
		const int null = open("/dev/null", O_WRONLY);
		(void)dup2(null, STDOUT_FILENO);
		(void)ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
		execlp(program.c_str(), program.c_str(), file.c_str(),
		       static_cast<char *>(nullptr));
		_exit(127);
	}
	int status = 0;
	(void)waitpid(pid, &status, 0); // stopped after exec
	(void)ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACEEXIT);
	(void)ptrace(PTRACE_CONT, pid, nullptr, nullptr);
	(void)waitpid(pid, &status, 0); // stopped on its way out
	long peak = -1;
	FILE *proc = fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
	for (char line[256]; proc != nullptr && fgets(line, sizeof line, proc) != nullptr;)
		(void)sscanf(line, "VmHWM: %ld kB", &peak);
	if (proc != nullptr)
		(void)fclose(proc);
	(void)ptrace(PTRACE_CONT, pid, nullptr, nullptr);
	(void)waitpid(pid, &status, 0);
	return peak;
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
	printf("CPU time (user + system), median of %d paired rounds, output to a pipe;\n"
	       "vs floor: the median of each round's ratio to the floor's time\n\n",
	       rounds);
	printf("| program  | CPU time (s) | vs floor |\n|---|---:|---:|\n");
	for (std::size_t p = 0; p < programs.size(); ++p) {
		std::vector<double> ratios;
		for (std::size_t round = 0; round < cpu[p].size(); ++round)
			ratios.push_back(cpu[p][round] / cpu[1][round]);
		printf("| %-8s | %12.3f | %7.3fx |\n", names[p].c_str(), median(cpu[p]),
		       median(ratios));
	}

	const long rss_empty = peak_rss(argv[1], empty);
	const long rss_large = peak_rss(argv[1], sparse);
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
