// Times one image uploaded to many bootloader-sim processes at once, each answering 1 ms after
// a command (--delay-ms 1): by `bootloader-cli upload --devices-from` and by fleet_client, the
// least a client can do. Both run as child processes, timed from fork to exit, their CPU time
// (user + system) taken from wait4, so they are measured alike; runs alternate which goes
// first. Every upload must exit 0 with every device "ok", and a few simulators save what they
// received, compared with the image after each upload.
// Prints details, then one "ROW|measure|median|target|met|notes" line per measure.
//
// Every child gets SIGKILL when this process dies (PR_SET_PDEATHSIG); on a normal exit, a
// failure or SIGINT/SIGTERM/SIGHUP the simulators are stopped here as well.

#include "core/firmwareimage.h"

#include <QByteArray>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int Exchanges = 2 + FirmwareImageSize / WriteBlockSize; // Start, 1792 Writes, End
constexpr int MaxChildren = 4200;
// Datagram sizes: type, sequence, name length, name, payload.
constexpr long long RequestBytes =
    (3 + 5) + (FirmwareImageSize / WriteBlockSize) * (3 + 5 + 512) + (3 + 3); // Start, Writes, End
constexpr int PingBytes = 3 + 4;
// What Qt says when the simulator asks for a reply timer of negative interval: the reply then
// waits for the next datagram to reach that simulator (a stall; see docs/performance.md).
const char StallWarning[] = "Timers cannot have negative intervals";

// Every live child, for the signal handler: plain array, async-signal-safe to walk.
pid_t g_children[MaxChildren];
volatile sig_atomic_t g_childCount = 0;
std::string g_tempDir;
char g_tempDirPath[PATH_MAX]; // the same, for the signal handler's rm

void killAllNow()
{
    for (int i = 0; i < g_childCount; ++i)
        if (g_children[i] > 0)
            ::kill(g_children[i], SIGKILL);
}

void onSignal(int signalNumber)
{
    killAllNow();
    if (g_tempDirPath[0]) { // fork, execve and waitpid are async-signal-safe
        const pid_t rm = ::fork();
        if (rm == 0) {
            char rmPath[] = "/bin/rm", recursive[] = "-rf";
            char *const args[] = {rmPath, recursive, g_tempDirPath, nullptr};
            char *const noEnvironment[] = {nullptr};
            ::execve(rmPath, args, noEnvironment);
            ::_exit(127);
        }
        if (rm > 0)
            ::waitpid(rm, nullptr, 0);
    }
    ::_exit(128 + signalNumber);
}

double nowMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

void forget(pid_t pid)
{
    for (int i = 0; i < g_childCount; ++i)
        if (g_children[i] == pid)
            g_children[i] = 0;
}

// Stops every child: SIGTERM, up to 5 s to go, then SIGKILL. Also removes the temporary folder.
void stopChildren()
{
    for (int i = 0; i < g_childCount; ++i)
        if (g_children[i] > 0)
            ::kill(g_children[i], SIGTERM);
    const double deadline = nowMs() + 5000;
    for (int i = 0; i < g_childCount; ++i) {
        while (g_children[i] > 0) {
            const pid_t done = ::waitpid(g_children[i], nullptr, WNOHANG);
            if (done == g_children[i] || (done < 0 && errno == ECHILD)) {
                g_children[i] = 0;
            } else if (nowMs() > deadline) {
                ::kill(g_children[i], SIGKILL);
                ::waitpid(g_children[i], nullptr, 0);
                g_children[i] = 0;
            } else {
                const timespec pause{0, 2000000};
                ::nanosleep(&pause, nullptr);
            }
        }
    }
    g_childCount = 0;
    if (!g_tempDir.empty()) {
        const std::string command = "rm -rf '" + g_tempDir + "'";
        if (std::system(command.c_str()) != 0)
            std::fprintf(stderr, "bench_fleet: could not remove %s\n", g_tempDir.c_str());
        g_tempDir.clear();
        g_tempDirPath[0] = 0;
    }
}

[[noreturn]] void fail(const std::string &why)
{
    std::fprintf(stderr, "bench_fleet: %s\n", why.c_str());
    std::exit(1); // atexit stops the children
}

// Starts `argv` with stdout on `stdoutFd` and stderr on `stderrFd` (-1: inherited), SIGCHLD
// unblocked, killed with us.
pid_t spawn(const std::vector<std::string> &argv, int stdoutFd, int stderrFd = -1)
{
    if (g_childCount >= MaxChildren)
        fail("too many children");
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0)
        fail(std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if (stdoutFd >= 0)
            ::dup2(stdoutFd, STDOUT_FILENO);
        if (stderrFd >= 0)
            ::dup2(stderrFd, STDERR_FILENO);
        std::vector<char *> args;
        for (const std::string &arg : argv)
            args.push_back(const_cast<char *>(arg.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    g_children[g_childCount] = pid;
    g_childCount = g_childCount + 1;
    return pid;
}

struct Simulator
{
    pid_t pid = 0;
    int port = 0;
    std::string savePath; // empty: does not save
};

std::string simulatorLogPath()
{
    return g_tempDir + "/simulators-stderr.txt";
}

// How many lines of the simulators' shared stderr contain `text`.
int simulatorLogCount(const char *text)
{
    std::ifstream log(simulatorLogPath());
    std::string line;
    int count = 0;
    while (std::getline(log, line))
        count += line.find(text) != std::string::npos;
    return count;
}

// Starts `count` simulators on 127.0.0.1, port 0, then reads each one's "listening" line.
// Their stderr goes to one file, looked at after each upload.
std::vector<Simulator> startSimulators(const std::string &program, int count)
{
    const int log = ::open(simulatorLogPath().c_str(),
                           O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
    if (log < 0)
        fail("cannot create " + simulatorLogPath());
    std::vector<Simulator> simulators(size_t(count), Simulator{});
    std::vector<int> pipes(size_t(count), -1);
    for (int i = 0; i < count; ++i) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
            fail("pipe2 failed");
        std::vector<std::string> argv{program, "--bind",     "127.0.0.1", "--port",
                                      "0",     "--delay-ms", "1",         "--quiet"};
        if (i == 0 || i == count / 2 || i == count - 1) {
            simulators[size_t(i)].savePath = g_tempDir + "/saved-" + std::to_string(i) + ".bin";
            argv.push_back("--save");
            argv.push_back(simulators[size_t(i)].savePath);
        }
        simulators[size_t(i)].pid = spawn(argv, ends[1], log);
        ::close(ends[1]);
        pipes[size_t(i)] = ends[0];
    }
    ::close(log);
    const double deadline = nowMs() + 30000 + 200.0 * count;
    for (int i = 0; i < count; ++i) {
        std::string line;
        char c = 0;
        while (line.size() < 200) {
            pollfd readable{pipes[size_t(i)], POLLIN, 0};
            const int left = int(deadline - nowMs());
            if (left <= 0 || ::poll(&readable, 1, left) <= 0)
                fail("a simulator did not say where it listens");
            if (::read(pipes[size_t(i)], &c, 1) != 1 || c == '\n')
                break;
            line += c;
        }
        unsigned port = 0;
        char rest = 0;
        if (std::sscanf(line.c_str(), "bootloader-sim listening on 127.0.0.1:%u%c", &port, &rest) !=
                1 ||
            port == 0 || port > 65535)
            fail("unexpected first line from a simulator: \"" + line + "\"");
        simulators[size_t(i)].port = int(port);
        // --quiet: nothing more comes; closing our end is harmless.
        ::close(pipes[size_t(i)]);
    }
    return simulators;
}

// CPU seconds used so far by the simulators (utime + stime from /proc, in clock ticks).
double simulatorsCpuMs(const std::vector<Simulator> &simulators)
{
    static const double tickMs = 1000.0 / double(::sysconf(_SC_CLK_TCK));
    double total = 0;
    for (const Simulator &simulator : simulators) {
        std::ifstream stat("/proc/" + std::to_string(simulator.pid) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const size_t close = text.rfind(')');
        if (close == std::string::npos)
            fail("a simulator has gone");
        std::istringstream fields(text.substr(close + 2));
        std::string field;
        double ticks = 0;
        for (int i = 0; i < 13 && fields >> field; ++i)
            if (i == 11 || i == 12) // utime, stime
                ticks += std::stod(field);
        total += ticks * tickMs;
    }
    return total;
}

struct Timed
{
    double wallMs = 0;
    double cpuMs = 0;
    double userMs = 0;
    int status = 0;
    std::string output;
};

// Runs `argv` to its end (at most limitMs, else it is killed and the benchmark fails), its
// stdout into a file; wall time from fork to reaping, CPU time from wait4.
Timed runTimed(const std::vector<std::string> &argv, double limitMs)
{
    const std::string outPath = g_tempDir + "/stdout.txt";
    const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0)
        fail("cannot create " + outPath);
    sigset_t childSignal;
    sigemptyset(&childSignal);
    sigaddset(&childSignal, SIGCHLD);
    Timed result;
    const double start = nowMs();
    const pid_t pid = spawn(argv, out);
    ::close(out);
    rusage usage{};
    for (;;) {
        int status = 0;
        const pid_t done = ::wait4(pid, &status, WNOHANG, &usage);
        if (done == pid) {
            result.wallMs = nowMs() - start;
            result.status = status;
            break;
        }
        const double left = start + limitMs - nowMs();
        if (left <= 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            forget(pid);
            fail(argv[0] + " took longer than " + std::to_string(int(limitMs / 1000)) + " s");
        }
        const timespec wait{time_t(left / 1000), long(std::fmod(left, 1000.0) * 1e6)};
        ::sigtimedwait(&childSignal, nullptr, &wait); // a child ended, or the time is up
    }
    forget(pid);
    auto ms = [](const timeval &t) {
        return double(t.tv_sec) * 1e3 + double(t.tv_usec) / 1e3;
    };
    result.userMs = ms(usage.ru_utime);
    result.cpuMs = result.userMs + ms(usage.ru_stime);
    std::ifstream text(outPath);
    result.output.assign(std::istreambuf_iterator<char>(text), std::istreambuf_iterator<char>());
    return result;
}

std::string exitText(int status)
{
    if (WIFEXITED(status))
        return "exit " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "signal " + std::to_string(WTERMSIG(status));
    return "status " + std::to_string(status);
}

void removeSaves(const std::vector<Simulator> &simulators)
{
    for (const Simulator &simulator : simulators)
        if (!simulator.savePath.empty())
            ::unlink(simulator.savePath.c_str());
}

// The saving simulators must each hold exactly the image, saved by this upload's End.
void checkSaves(const std::vector<Simulator> &simulators, const QByteArray &image, const char *who)
{
    for (const Simulator &simulator : simulators) {
        if (simulator.savePath.empty())
            continue;
        std::ifstream file(simulator.savePath, std::ios::binary);
        const std::string saved((std::istreambuf_iterator<char>(file)),
                                std::istreambuf_iterator<char>());
        if (saved.size() != size_t(image.size()) ||
            std::memcmp(saved.data(), image.constData(), saved.size()) != 0)
            fail(std::string(who) + ": simulator on port " + std::to_string(simulator.port) +
                 " did not receive the image (" + std::to_string(saved.size()) + " bytes saved)");
    }
}

// Counts the CLI's "result" lines that say "ok", and the pings it sent (from bytes_sent).
void readCliReport(const std::string &json, int *ok, long long *pings)
{
    *ok = 0;
    *pings = 0;
    std::istringstream lines(json);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.find("\"event\":\"result\"") == std::string::npos)
            continue;
        if (line.find("\"result\":\"ok\"") != std::string::npos)
            ++*ok;
        const size_t at = line.find("\"bytes_sent\":");
        if (at != std::string::npos) {
            const long long sent = std::atoll(line.c_str() + at + 13);
            *pings += (sent - RequestBytes) / PingBytes;
        }
    }
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string fixed(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string spread(const std::vector<double> &v)
{
    return "min " + fixed(*std::min_element(v.begin(), v.end()), 1) + " ms, max " +
           fixed(*std::max_element(v.begin(), v.end()), 1) + " ms, " + std::to_string(v.size()) +
           (v.size() == 1 ? " run" : " runs");
}

void row(const std::string &measure, const std::string &value, const std::string &notes)
{
    std::printf("ROW|%s|%s|—|—|%s\n", measure.c_str(), value.c_str(), notes.c_str());
    std::fflush(stdout);
}

struct Series
{
    std::vector<double> wall, cpu, user, simCpu;
    int stalls = 0;
};

std::string stallNote(int stalls)
{
    if (!stalls)
        return "";
    return "; " + std::to_string(stalls) + (stalls == 1 ? " reply" : " replies") +
           " stalled in the simulators";
}

std::string load()
{
    std::ifstream file("/proc/loadavg");
    std::string one;
    file >> one;
    return one;
}

} // namespace

int main(int argc, char *argv[])
{
    std::string sim, cli, client;
    int devices = 64;
    int runs = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--sim")
            sim = argv[i + 1];
        else if (option == "--cli")
            cli = argv[i + 1];
        else if (option == "--client")
            client = argv[i + 1];
        else if (option == "--devices")
            devices = std::atoi(argv[i + 1]);
        else if (option == "--runs")
            runs = std::atoi(argv[i + 1]);
        else
            fail("unknown option " + option);
    }
    if (argc % 2 == 0 || sim.empty() || cli.empty() || client.empty() || devices < 1 ||
        devices > 4000 || runs < 1)
        fail("usage: bench_fleet --sim PATH --cli PATH --client PATH [--devices N (1-4000)] "
             "[--runs N]");

    sigset_t childSignal;
    sigemptyset(&childSignal);
    sigaddset(&childSignal, SIGCHLD);
    ::sigprocmask(SIG_BLOCK, &childSignal, nullptr); // waited for with sigtimedwait
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP})
        std::signal(signalNumber, onSignal);
    std::atexit(stopChildren);

    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/bench-fleet-XXXXXX";
    if (!::mkdtemp(&pattern[0]))
        fail("no temporary folder");
    g_tempDir = pattern;
    std::snprintf(g_tempDirPath, sizeof g_tempDirPath, "%s", pattern.c_str());

    QByteArray raw(FirmwareBodySize - 1000, 0);
    for (int i = 0; i < raw.size(); ++i)
        raw[i] = char(i * 13 + i / 509);
    const QByteArray image = buildFirmwareImage(raw);
    const std::string imagePath = g_tempDir + "/image.bin";
    const std::string listPath = g_tempDir + "/devices.txt";
    {
        std::ofstream file(imagePath, std::ios::binary);
        file.write(image.constData(), image.size());
        if (!file)
            fail("cannot write " + imagePath);
    }

    const double startedMs = nowMs();
    const std::vector<Simulator> simulators = startSimulators(sim, devices);
    {
        std::ofstream list(listPath);
        list << "# " << devices << " bootloader-sim processes, --delay-ms 1\n";
        for (const Simulator &simulator : simulators)
            list << "127.0.0.1:" << simulator.port << "\n";
        if (!list)
            fail("cannot write " + listPath);
    }
    std::printf("%d simulators started in %.0f ms (load %s)\n", devices, nowMs() - startedMs,
                load().c_str());

    // Start-up and the image check, paid once per CLI run whatever the number of devices.
    const Timed inspect = runTimed({cli, "inspect", imagePath}, 30000);
    if (!WIFEXITED(inspect.status) || WEXITSTATUS(inspect.status) != 0)
        fail("bootloader-cli inspect: " + exitText(inspect.status));

    const double limitMs = 60000 + 500.0 * devices;
    const std::vector<std::string> cliArgs{cli,      "upload",         imagePath, "--quiet",
                                           "--json", "--devices-from", listPath};
    const std::vector<std::string> clientArgs{client, imagePath, listPath};
    Series cliRuns, clientRuns;
    long long pingsMax = 0;
    for (int run = 0; run < runs; ++run) {
        for (int turn = 0; turn < 2; ++turn) {
            const bool isCli = (turn == 0) == (run % 2 == 0); // alternate who goes first
            removeSaves(simulators);
            const int stallsBefore = simulatorLogCount(StallWarning);
            const double simBefore = simulatorsCpuMs(simulators);
            const Timed timed = runTimed(isCli ? cliArgs : clientArgs, limitMs);
            const double simCpu = simulatorsCpuMs(simulators) - simBefore;
            const int stalls = simulatorLogCount(StallWarning) - stallsBefore;
            const char *who = isCli ? "bootloader-cli" : "fleet_client";
            if (!WIFEXITED(timed.status) || WEXITSTATUS(timed.status) != 0)
                fail(std::string(who) + " upload failed (" + exitText(timed.status) +
                     "): " + timed.output.substr(0, 2000));
            if (isCli) {
                int ok = 0;
                long long pings = 0;
                readCliReport(timed.output, &ok, &pings);
                if (ok != devices)
                    fail("bootloader-cli: " + std::to_string(ok) + " of " +
                         std::to_string(devices) + " devices ok");
                pingsMax = std::max(pingsMax, pings);
                std::printf("run %d  bootloader-cli  %8.1f ms wall  %7.1f ms cpu (user %6.1f)  "
                            "simulators %7.1f ms cpu  %d/%d ok, %lld pings, %d stalls  "
                            "(load %s)\n",
                            run + 1, timed.wallMs, timed.cpuMs, timed.userMs, simCpu, ok, devices,
                            pings, stalls, load().c_str());
            } else {
                const std::string said =
                    "fleet_client: " + std::to_string(devices) + " devices ok, ";
                const size_t at = timed.output.find(said);
                if (at == std::string::npos)
                    fail("fleet_client did not report every device ok");
                const long long pings = std::atoll(timed.output.c_str() + at + said.size());
                std::printf("run %d  fleet_client    %8.1f ms wall  %7.1f ms cpu (user %6.1f)  "
                            "simulators %7.1f ms cpu  %d/%d ok, %lld pings, %d stalls  "
                            "(load %s)\n",
                            run + 1, timed.wallMs, timed.cpuMs, timed.userMs, simCpu, devices,
                            devices, pings, stalls, load().c_str());
            }
            std::fflush(stdout);
            checkSaves(simulators, image, who);
            Series &series = isCli ? cliRuns : clientRuns;
            series.wall.push_back(timed.wallMs);
            series.cpu.push_back(timed.cpuMs);
            series.user.push_back(timed.userMs);
            series.simCpu.push_back(simCpu);
            series.stalls += stalls;
        }
    }

    const double exchanges = double(devices) * Exchanges;
    const double cliUs = median(cliRuns.cpu) * 1000 / exchanges;
    const double clientUs = median(clientRuns.cpu) * 1000 / exchanges;
    const std::string n = std::to_string(devices);
    const long saving = std::count_if(simulators.begin(), simulators.end(),
                                      [](const Simulator &s) { return !s.savePath.empty(); });
    const std::string checked = "exit 0 and every device ok in every run; what " +
                                std::to_string(saving) + " simulators saved equals the image";
    row("6. CLI upload to " + n + " simulators --delay-ms 1, start to exit",
        fixed(median(cliRuns.wall), 1) + " ms",
        spread(cliRuns.wall) + "; " + checked + "; device time alone 1794 ms" +
            stallNote(cliRuns.stalls));
    row("6. C client upload to the same " + n + " simulators",
        fixed(median(clientRuns.wall), 1) + " ms",
        spread(clientRuns.wall) + "; " + checked + stallNote(clientRuns.stalls));
    row("6. CLI CPU per exchange, " + n + " devices", fixed(cliUs, 1) + " µs",
        "CPU median " + fixed(median(cliRuns.cpu), 1) + " ms (user " +
            fixed(median(cliRuns.user), 1) + " ms) / (" + n + " × 1794 exchanges); " +
            fixed(cliUs / clientUs, 2) + " × the C client; pings not counted (at most " +
            std::to_string(pingsMax) + " a run, +" +
            fixed(100.0 * double(pingsMax) / exchanges, 2) + " %); includes " +
            fixed(inspect.cpuMs, 1) + " ms of start-up and image check (an inspect)");
    row("6. C client CPU per exchange, " + n + " devices", fixed(clientUs, 1) + " µs",
        "CPU median " + fixed(median(clientRuns.cpu), 1) + " ms (user " +
            fixed(median(clientRuns.user), 1) +
            " ms), same count, pings to silent devices "
            "only; simulators' CPU per exchange " +
            fixed(median(cliRuns.simCpu) * 1000 / exchanges, 1) + " µs (CLI runs), " +
            fixed(median(clientRuns.simCpu) * 1000 / exchanges, 1) + " µs (C client runs)");
    return 0;
}
