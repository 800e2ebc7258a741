#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "support/probe_run.h"
#include "support/process.h"
#include "support/responder.h"

// What only pelldor.exe has to show: it runs from a .cmd script, it counts its command line
// as Windows does, and it is a GUI program with its version and manifest built in that
// imports only DLLs that cannot be planted beside it. That it logs as the Linux build does,
// in a folder whose name needs more than ASCII too, the drop-in's table shows when it runs
// against pelldor.exe.
namespace pelldor::testing {
namespace {

using namespace std::chrono_literals;

// Run only against pelldor.exe; the presets leave these out of the Linux builds' runs.
class WindowsDropIn : public ::testing::Test {
protected:
    void SetUp() override {
        if (!ProbeBinary().ends_with(".exe")) GTEST_SKIP() << "the binary under test is not pelldor.exe";
    }
};

// The way schedulers and scripts use it: the program named bare and quoted, and the
// verdict read with `if errorlevel 100`, which holds for any status of 100 or more.
TEST_F(WindowsDropIn, ACmdScriptReadsTheVerdictThroughErrorlevel) {
    const TempDir scripts;
    const std::string script = scripts.File("probe.cmd");
    std::ofstream(script, std::ios::binary) << "@echo off\r\n"
                                               "cd /d \"%~dp0\"\r\n"
                                               "pelldor.exe %1 %2 %3\r\n"
                                               "if errorlevel 100 goto usable\r\n"
                                               "exit /b 1\r\n"
                                               ":usable\r\n"
                                               "\"%~dp0pelldor.exe\" %1 %2 \"%3\"\r\n"
                                               "if errorlevel 100 exit /b 42\r\n"
                                               "exit /b 2\r\n";
    const auto withProgram = [](const std::string& folder) { CopyExecutable(ProbeBinary(), folder); };
    // cmd.exe and two runs; Wine's cmd can take seconds to start on a loaded machine.
    constexpr auto kScriptBound = 60s;

    NtpResponder healthy;
    const std::string port = std::to_string(healthy.port());
    // A timeout that a healthy answer never waits for, but that a loaded machine's Wine
    // cannot outrun.
    const ProbeRun usable = RunProbe(script, {"5", "0", healthy.Peer()},
                                     {.logging = true, .killAfter = kScriptBound, .prepare = withProgram});
    ExpectEnd(usable, 42);
    EXPECT_EQ(healthy.requests(), 2);
    // Taken as typed: the quotes the script put around the server stay in the tail.
    std::vector<std::string> expected = AnsweredLog("5 0 " + healthy.Peer(), "127.0.0.1", port, 100);
    const auto quoted = AnsweredLog("5 0 \"" + healthy.Peer() + "\"", "127.0.0.1", port, 100);
    expected.insert(expected.end(), quoted.begin(), quoted.end());
    ExpectLog(usable, expected);

    NtpResponder silent({.kind = ReplyKind::Silent});
    const ProbeRun unusable =
        RunProbe(script, {"1", "0", silent.Peer()}, {.killAfter = kScriptBound, .prepare = withProgram});
    ExpectEnd(unusable, 1);
    EXPECT_EQ(silent.requests(), 1);
}

// Windows counts a command line in UTF-16 code units, and so does the drop-in's limit:
// 12,000 CJK characters are far below it, though their UTF-8 is longer.
TEST_F(WindowsDropIn, TheCommandLineLimitCountsUtf16CodeUnits) {
    NtpResponder healthy;
    std::string cjk;
    for (int i = 0; i < 12'000; ++i) cjk += "\xe6\x99\x82";
    ExpectEnd(RunProbe(ProbeBinary(), {"5", "0", healthy.Peer(), cjk}), 100);
    EXPECT_EQ(healthy.requests(), 1);
}

// Its identity, as Explorer's Details tab and an inventory read it, and the manifest that
// Windows reads before the start: no elevation, the systems it knows, long paths.
TEST_F(WindowsDropIn, AVersionResourceAndAManifestAreBuiltIn) {
    const RunResult dump = RunProgram("/usr/bin/x86_64-w64-mingw32-windres", {"-i", ProbeBinary(), "-O", "rc"}, 30s);
    ASSERT_TRUE(dump.exited && dump.exitStatus == 0) << dump.err;
    const std::string version = PELLDOR_VERSION;
    const std::string numbers = std::regex_replace(version, std::regex(R"(\.)"), ", ") + ", 0";
    // windres shows the manifest as quoted lines, its quotes doubled.
    for (const std::string& expected : std::vector<std::string>{
             "FILEVERSION " + numbers, "PRODUCTVERSION " + numbers, "\"FileVersion\", \"" + version + "\"",
             "\"ProductVersion\", \"" + version + "\"", "\"OriginalFilename\", \"pelldor.exe\"",
             "\"ProductName\", \"Pelldor\"", "\"FileDescription\", \"Pelldor ", "level=\"\"asInvoker\"\"",
             "<supportedOS Id=\"\"{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  // Windows 8
             "<supportedOS Id=\"\"{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  // 8.1
             "<supportedOS Id=\"\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  // 10 and 11
             "WindowsSettings\"\">true</longPathAware>"}) {
        EXPECT_NE(dump.out.find(expected), std::string::npos) << expected << " in\n" << dump.out;
    }
}

TEST_F(WindowsDropIn, AGuiProgramThatImportsOnlyKnownDlls) {
    const RunResult dump = RunProgram("/usr/bin/x86_64-w64-mingw32-objdump", {"-p", ProbeBinary()}, 30s);
    ASSERT_TRUE(dump.exited && dump.exitStatus == 0) << dump.err;
    // Windows takes a KnownDLL from the system folder alone; any other DLL imported
    // statically is looked for first in the program's own folder, where whoever may create
    // the log switch could plant one. API sets are resolved without a search.
    const std::set<std::string> knownDlls{"advapi32.dll", "gdi32.dll",  "kernel32.dll", "msvcrt.dll", "ole32.dll",
                                          "shell32.dll",  "user32.dll", "ws2_32.dll"};
    EXPECT_TRUE(std::regex_search(dump.out, std::regex(R"(\nSubsystem\s+00000002\s+\(Windows GUI\)\n)"))) << dump.out;
    EXPECT_TRUE(std::regex_search(dump.out, std::regex(R"(\nMajorSubsystemVersion\s+6\n)")))
        << "the header should ask for Windows 8 (6.2) at least";
    std::set<std::string> imports;
    const std::regex dllName(R"(DLL Name: (\S+))");
    for (std::sregex_iterator it(dump.out.begin(), dump.out.end(), dllName), end; it != end; ++it) {
        std::string dll = (*it)[1];
        for (char& c : dll) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        imports.insert(dll);
    }
    EXPECT_TRUE(imports.contains("kernel32.dll"));
    for (const std::string& dll : imports) {
        EXPECT_TRUE(knownDlls.contains(dll) || dll.starts_with("api-ms-win-")) << dll << " is no KnownDLL";
    }
}

}  // namespace
}  // namespace pelldor::testing
