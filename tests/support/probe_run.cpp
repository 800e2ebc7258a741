#include "support/probe_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string_view>
#include <thread>

#include "support/bounds.h"
#include "support/polling.h"

namespace pelldor::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using namespace std::chrono_literals;

constexpr std::size_t kStampLength = 19;
const std::regex kStamp(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)");
const std::regex kNotice(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\dError \d+: .* \(netClock_Error\)$)");

std::string LocalNowText() {
    const time_t now = system_clock::to_time_t(system_clock::now());
    tm fields{};
    localtime_r(&now, &fields);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &fields);
    return text;
}

std::regex Pattern(const std::string& text) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    const std::string escaped = std::regex_replace(text, special, R"(\$&)");
    const std::string stamped = std::regex_replace(escaped, std::regex(R"(\\\{ts\\\})"), R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)");
    return std::regex(std::regex_replace(stamped, std::regex(R"(\\\{any\\\})"), ".+"));
}

}  // namespace

ProbeRun RunProbe(const std::string& binary, const std::vector<std::string>& args, const ProbeSetup& setup) {
    const TempDir dir;
    const fs::path folder = fs::path(dir.path()) / setup.folder;
    fs::create_directories(folder);
    const std::string copy = CopyExecutable(binary, folder.string());
    const std::string log = (folder / "ntpdebug.txt").string();
    if (setup.logging) std::ofstream(log, std::ios::binary).flush();
    if (setup.prepare) setup.prepare(folder.string());

    std::vector<std::string> commandLine = setup.via;
    commandLine.insert(commandLine.end(), Launcher().begin(), Launcher().end());
    commandLine.push_back(copy);
    commandLine.insert(commandLine.end(), args.begin(), args.end());
    const std::string program = commandLine.front();
    commandLine.erase(commandLine.begin());

    ProbeRun run;
    run.logging = setup.logging;
    std::atomic<bool> over{false};
    std::thread helper;
    if (setup.during) helper = std::thread([&] { setup.during(log, over); });
    run.before = LocalNowText();
    run.result = RunProgram(program, commandLine, setup.killAfter.count() > 0 ? setup.killAfter : 15s);
    run.after = LocalNowText();
    over = true;
    if (helper.joinable()) helper.join();

    // A link in the log's place is not read: it may lead to anything.
    run.logExists = fs::is_regular_file(fs::symlink_status(log));
    const std::string text = run.logExists ? Contents(log) : std::string();
    std::string_view rest = text;
    for (std::size_t end; (end = rest.find("\r\n")) != std::string_view::npos; rest.remove_prefix(end + 2)) {
        run.lines.emplace_back(rest.substr(0, end));
    }
    run.tail = rest;
    if (setup.inspect) setup.inspect(folder.string());
    return run;
}

ProbeRun RunDropIn(int timeout, int retries, const std::string& server, ProbeSetup setup) {
    if (setup.killAfter.count() == 0) {
        const long mostNotices = 2L * (std::max(retries, 0) + 1);
        const int waited = timeout == kPatientTimeout ? 0 : timeout;
        setup.killAfter = bounds::DropInRun(waited, retries, true, mostNotices) + 2 * kSlack;
    }
    return RunProbe(ProbeBinary(), {std::to_string(timeout), std::to_string(retries), server}, setup);
}

milliseconds Bound(const ProbeRun& run, int timeout, int retries) {
    const auto notices = std::count_if(run.lines.begin(), run.lines.end(),
                                       [](const std::string& line) { return std::regex_match(line, kNotice); });
    return bounds::DropInRun(timeout == kPatientTimeout ? 0 : timeout, retries, run.logging, notices) + kSlack;
}

std::vector<std::string> WithReaderGone(const std::string& stream) {
    return {FindProgram("python3"), "-c",
            "import os, subprocess, sys\n"
            "read, write = os.pipe()\n"
            "os.close(read)\n"
            "status = subprocess.call(sys.argv[2:], **{sys.argv[1]: write})\n"
            "sys.exit(status if status >= 0 else 128 - status)\n",
            stream};
}

const std::string& UnshareTool() {
    static const std::string path = FindProgram("unshare");
    return path;
}

bool CanIsolate() {
    static const bool can = [] {
        if (UnshareTool().empty()) return false;
        const RunResult probe = RunProgram(UnshareTool(), {"--net", "--", "/bin/true"}, 5s);
        return probe.exited && probe.exitStatus == 0;
    }();
    return can;
}

const std::string& BuiltBinary() {
    static const std::string path = PELLDOR_BINARY;
    return path;
}

const std::string& ProbeBinary() {
    static const std::string path = [] {
        const char* named = std::getenv("PELLDOR_SYSTEM_BINARY");
        return named != nullptr && *named != '\0' ? std::string(named) : BuiltBinary();
    }();
    return path;
}

const std::vector<std::string>& Launcher() {
    static const std::vector<std::string> words = [] {
        std::vector<std::string> split;
        const char* named = std::getenv("PELLDOR_SYSTEM_LAUNCHER");
        std::istringstream text(named != nullptr ? named : "");
        for (std::string word; text >> word;) split.push_back(word);
        return split;
    }();
    return words;
}

bool UnderWine() {
    return std::any_of(Launcher().begin(), Launcher().end(), [](const std::string& word) {
        return fs::path(word).filename().string().find("wine") != std::string::npos;
    });
}

std::string Dump(const ProbeRun& run) {
    std::string text = "exit " + std::to_string(run.result.exitStatus) + " signal " +
                       std::to_string(run.result.signal) + " after " + std::to_string(run.result.elapsed.count()) +
                       " ms; stderr: " + run.result.err + "; log:\n";
    for (const auto& line : run.lines) text += "  |" + line.substr(0, 200) + "\n";
    return text;
}

void ExpectEnd(const ProbeRun& run, int status) {
    EXPECT_EQ(run.tail, "") << "the log does not end with CR LF";
    EXPECT_FALSE(run.result.killed) << Dump(run);
    ASSERT_TRUE(run.result.exited) << Dump(run);
    EXPECT_EQ(run.result.exitStatus, status) << Dump(run);
    EXPECT_EQ(run.result.out, "");
    EXPECT_EQ(run.result.err, "");
    EXPECT_EQ(run.logExists, run.logging);
}

void ExpectEndWithin(const ProbeRun& run, int status, int timeout, int retries) {
    ExpectEnd(run, status);
    EXPECT_LE(run.result.elapsed, Bound(run, timeout, retries)) << Dump(run);
}

void ExpectElapsed(const ProbeRun& run, milliseconds least, milliseconds most) {
    EXPECT_GE(run.result.elapsed, least) << Dump(run);
    EXPECT_LE(run.result.elapsed, most + kSlack) << Dump(run);
}

void ExpectLog(const ProbeRun& run, const std::vector<std::string>& expected, const Stray& stray) {
    if (!run.logging) return;
    std::vector<std::string> kept;
    std::string previous = run.before;
    int strays = 0;
    for (std::size_t at = 0; at < run.lines.size(); ++at) {
        const std::string& line = run.lines[at];
        if (line.empty()) {
            kept.push_back(line);
            continue;
        }
        ASSERT_TRUE(std::regex_search(line, kStamp)) << "line " << at << " has no timestamp\n" << Dump(run);
        const std::string stamp = line.substr(0, kStampLength);
        EXPECT_GE(stamp, previous) << "line " << at << "\n" << Dump(run);
        EXPECT_LE(stamp, run.after) << "line " << at << "\n" << Dump(run);
        previous = stamp;
        if (!stray.text.empty() && std::regex_match(line.substr(kStampLength), Pattern(stray.text))) {
            ++strays;
        } else {
            kept.push_back(line);
        }
    }
    EXPECT_LE(strays, stray.most) << Dump(run);
    ASSERT_EQ(kept.size(), expected.size()) << Dump(run);
    for (std::size_t i = 0; i < kept.size(); ++i) {
        if (expected[i].empty()) {
            EXPECT_EQ(kept[i], "") << "line " << i << "\n" << Dump(run);
        } else {
            EXPECT_TRUE(!kept[i].empty() && std::regex_match(kept[i].substr(kStampLength), Pattern(expected[i])))
                << "line " << i << " should be <ts>" << expected[i] << "\n"
                << Dump(run);
        }
    }
}

std::vector<std::string> AnsweredLog(const std::string& tail, const std::string& host, const std::string& port,
                                     int status) {
    return {"",
            " Start",
            " CommandLine = " + tail,
            " --> Sending Query to " + host + " on port " + port,
            " --- Server Time: {ts}",
            " --- Local  Time: {ts}",
            " Return Value: " + std::to_string(status)};
}

std::vector<std::string> FailedLog(const std::string& tail, const std::string& host, const std::string& port,
                                   const std::string& notice, int attempts) {
    std::vector<std::string> lines{"", " Start", " CommandLine = " + tail};
    for (int i = 0; i < attempts; ++i) {
        lines.push_back(" --> Sending Query to " + host + " on port " + port);
        if (!notice.empty()) lines.push_back(notice + " (netClock_Error)");
    }
    lines.insert(lines.end(), {" --- Server Time: n/a", " --- Local  Time: {ts}", " Return Value: 0"});
    return lines;
}

long long LoggedLag(const ProbeRun& run) {
    std::string server;
    std::string local;
    for (const auto& line : run.lines) {
        if (line.size() < kStampLength) continue;
        const std::string text = line.substr(kStampLength);
        if (text.starts_with(" --- Server Time: ")) server = text.substr(18);
        if (text.starts_with(" --- Local  Time: ")) local = text.substr(18);
    }
    // Read on the naive calendar, where only the difference matters.
    tm serverFields{};
    tm localFields{};
    const bool read = strptime(server.c_str(), "%Y-%m-%d %H:%M:%S", &serverFields) != nullptr &&
                      strptime(local.c_str(), "%Y-%m-%d %H:%M:%S", &localFields) != nullptr;
    EXPECT_TRUE(read) << Dump(run);
    return read ? timegm(&serverFields) - timegm(&localFields) : 0;
}

}  // namespace pelldor::testing
