#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// The command line of kelvara-wlserver.
struct ServerOptions
{
    std::uint16_t port = 0;
    std::string aeTitle = "KELVARA_WL";
    std::string folder;                    // --dir
    std::optional<std::size_t> demoCount;  // --demo
    bool latin1 = false;                   // --charset latin1
    std::string bindAddress = "127.0.0.1"; // --bind
    unsigned maxAssociations = 16;         // --max-associations
    int deadlineSeconds = 120;             // --association-deadline
    std::string tlsCertificate; // --tls-cert; with --tls-key: every connection speaks TLS
    std::string tlsKey;         // --tls-key
    std::string tlsClientCa;    // --tls-ca: clients must show a certificate chaining to it
    bool quiet = false;
    bool verbose = false;
    bool help = false;

    // Parses argv; false with `error` set on a bad command line.
    [[nodiscard]] static bool parse(int argc, char** argv, ServerOptions& options,
                                    std::string& error);
    [[nodiscard]] static std::string usage();
};
