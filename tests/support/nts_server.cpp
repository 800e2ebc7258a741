#include "support/nts_server.h"

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "support/chronyd.h"
#include "support/polling.h"

namespace pelldor::testing {

using namespace std::chrono_literals;

std::string MakeCertificate(const TempDir& dir, const std::string& name, const std::string& san, const std::string& shift) {
    const std::string openssl = FindProgram("openssl"), libfaketime = shift == "0" ? "" : FindLibfaketime();
    if (openssl.empty() || (shift != "0" && libfaketime.empty())) {
        throw Unavailable("openssl and libfaketime make the test certificates");
    }
    const std::string pem = dir.File(name + ".pem");
    std::vector<std::string> args{openssl, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                                  "-nodes", "-days", "30", "-keyout", dir.File(name + ".key"), "-out", pem, "-subj",
                                  "/CN=pelldor-test", "-addext", "subjectAltName=" + san};
    if (shift != "0") args.insert(args.begin(), {"LD_PRELOAD=" + libfaketime, "FAKETIME=" + shift});
    const RunResult made = RunProgram("/usr/bin/env", args, 20s);
    if (!made.exited || made.exitStatus != 0) throw std::runtime_error("openssl made no certificate: " + made.err);
    return pem;
}

namespace {

// Arguments: the fault, the certificate, its key, and the file to write the port to once listening.
constexpr const char* kServer = R"(import os, socket, ssl, sys
fault, pem, key, ready = sys.argv[1:]
tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
tls.load_cert_chain(pem, key)
if fault == "Tls12Only": tls.maximum_version = ssl.TLSVersion.TLSv1_2
# With no protocol in common the server names none, as a plain TLS server would.
tls.set_alpn_protocols(["http/1.1" if fault == "WrongAlpn" else "ntske/1"])
# Records of type, length, body: an error "bad request", or agreement without a cookie.
answer = bytes.fromhex({"ErrorRecord": "8002 0002 0001 8000 0000",
                        "NoCookie": "8001 0002 0000 8004 0002 000f 8000 0000"}.get(fault, ""))
listener = socket.create_server(("127.0.0.1", 0))
with open(ready + ".new", "w") as out: out.write(str(listener.getsockname()[1]))
os.rename(ready + ".new", ready)
held = []  # a silent server keeps its clients connected, unanswered
while True:
    client = listener.accept()[0]
    if fault == "Silent":
        held.append(client)
        continue
    # A client that stops talking cannot keep the server, and so the test, waiting.
    client.settimeout(2)
    try:
        with tls.wrap_socket(client, server_side=True) as session:
            if session.recv(1024) and answer: session.sendall(answer)
            session.unwrap()
    except OSError:
        client.close()
)";

}  // namespace

NtsKeServer::NtsKeServer(KeFault fault, const std::string& certificate) {
    static const char* const kFaults[] = {"ErrorRecord", "NoCookie", "WrongAlpn", "Tls12Only", "Silent"};
    const std::string stem = certificate.substr(0, certificate.size() - 4), ready = stem + ".ke-port";
    daemon_.emplace(DaemonSetup{.args = {"/usr/bin/python3", "-c", kServer, kFaults[static_cast<int>(fault)], certificate,
                                         stem + ".key", ready},
                                .env = {},
                                .output = stem + ".ke-log",
                                .netns = {}});
    const auto listening = [&] { return (port_ = static_cast<std::uint16_t>(std::atoi(Contents(ready).c_str()))) != 0; };
    if (!daemon_->AwaitReady(10s, 20ms, listening)) {
        throw std::runtime_error("the NTS-KE server did not start: " + daemon_->Ending() + Contents(stem + ".ke-log"));
    }
}

}  // namespace pelldor::testing
