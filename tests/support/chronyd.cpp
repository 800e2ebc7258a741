#include "support/chronyd.h"

#include <pwd.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "support/polling.h"

namespace pelldor::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Preloading the library straight into a program, rather than through the faketime
// wrapper, keeps it our own child: the wrapper forks, so stopping it would orphan chronyd; a
// killed wrapper leaves its shared memory behind, and wrappers started side by side can
// collide on their semaphore's name.
std::string FindLibfaketime() {
    std::vector<fs::path> folders{"/usr/lib", "/usr/lib64", "/usr/local/lib"};
    std::error_code error;
    for (fs::directory_iterator it("/usr/lib", error), end; !error && it != end; it.increment(error)) {
        if (it->is_directory(error)) folders.push_back(it->path());
    }
    for (const auto& folder : folders) {
        const fs::path candidate = folder / "faketime" / "libfaketime.so.1";
        if (fs::is_regular_file(candidate, error)) return candidate.string();
    }
    return {};
}

ChronydServer::ChronydServer(ChronydOptions options) : options_(std::move(options)) {
    const std::string chronyd = FindProgram("chronyd");
    if (chronyd.empty()) throw ChronydUnavailable("chronyd is not installed (Debian package chrony)");
    DaemonSetup setup{.output = dir_.File("chronyd.log"),
                      .netns = options_.netns != nullptr ? options_.netns->Path() : std::string()};
    if (options_.shift != "0") {
        const std::string libfaketime = FindLibfaketime();
        if (libfaketime.empty()) {
            throw ChronydUnavailable("libfaketime is not installed (Debian packages faketime and libfaketime)");
        }
        setup.env = {"LD_PRELOAD=" + libfaketime, "FAKETIME=" + options_.shift + "s"};
    }
    const passwd* user = ::getpwuid(::geteuid());

    std::string failures;
    for (int attempt = 1; attempt <= 3; ++attempt) {
        // Another test may take the port between our probe and chronyd's bind: try anew.
        port_ = options_.netns != nullptr ? 123 : ClosedPort();
        ntsPort_ = options_.ntsCertificate.empty() ? 0 : ClosedPort();
        const std::string config = WriteConfig();
        if (attempt == 1) {
            const RunResult check = RunProgram(chronyd, {"-p", "-f", config}, 5s);
            if (!check.exited || check.exitStatus != 0) {
                const std::string why = "chronyd -p rejects the configuration: " + check.err;
                // Only the rate limit uses a directive that older chronyd versions lack.
                if (options_.rateLimited) throw ChronydUnavailable(why + " (ratelimit's kod option needs chrony 4.6)");
                throw std::runtime_error(why);
            }
        }
        std::error_code ignored;
        fs::remove(dir_.File("chronyd.pid"), ignored);
        fs::remove(setup.output, ignored);
        setup.args = {chronyd, "-x", "-d", "-u", user != nullptr ? user->pw_name : "root", "-f", config};
        daemon_.emplace(setup);
        const auto answers = [&] { return AskOnce(port_, 200ms, options_.netns, options_.address).has_value(); };
        if (daemon_->AwaitReady(5s, 100ms, answers)) return;
        failures += "attempt " + std::to_string(attempt) + " on port " + std::to_string(port_) + ":\n" + Output() + "\n";
        daemon_.reset();
    }
    throw std::runtime_error("chronyd did not answer on " + options_.address + ":\n" + failures);
}

ChronydServer::~ChronydServer() = default;

std::string ChronydServer::Output() const { return Contents(dir_.File("chronyd.log")); }

std::string ChronydServer::WriteConfig() const {
    const std::string path = dir_.File("chronyd.conf");
    std::ofstream out(path, std::ios::trunc);
    out << "port " << port_ << "\n"
        << "bindaddress " << options_.address << "\n"
        << (options_.netns != nullptr ? "allow\n" : "allow 127.0.0.1\n")
        << "cmdport 0\n"
        // No command socket under /run: parallel chronyds would fight over it.
        << "bindcmdaddress /\n"
        << "pidfile " << dir_.File("chronyd.pid") << "\n";
    if (options_.synchronised) out << "local stratum 8\n";
    if (!options_.ntsCertificate.empty()) {
        const std::string& pem = options_.ntsCertificate;
        out << "ntsport " << ntsPort_ << "\nntsservercert " << pem << "\nntsserverkey " << pem.substr(0, pem.size() - 4)
            << ".key\nntsprocesses 0\nntsdumpdir " << dir_.path() << "\n";
    }
    if (options_.rateLimited) {
        // One answer per 16 s after a burst of one, so a client asking every second or
        // faster is over the limit for the whole test; the fewest plain answers leak
        // through (1 in 16) and half of the excess is answered with a KoD RATE.
        out << "ratelimit interval 4 burst 1 leak 4 kod 1\n";
    }
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path);
    return path;
}

}  // namespace pelldor::testing
